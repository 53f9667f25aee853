// Entry lines into the host's records.
#include "plugin/plugin.h"

#include "archive/archive.h"

#include <string.h>

int32_t ParseEntryLine(FileInfo *record, const char *line) {
    return ParseEntry(record, line, (int32_t)strlen(line));
}

int32_t ParseEntry(FileInfo *record, const char *line, int32_t length) {
    uint32_t start, end;
    int32_t nameLength = ParseEntryRange(line, length, &start, &end);
    memset(record, 0, sizeof *record);
    if (nameLength < 0)
        return 0;
    memcpy(record->method, kMethod, sizeof kMethod);
    memcpy(record->filename, line, (size_t)CutNameLength(line, nameLength));
    record->position = start;
    record->compsize = end - start;
    record->filesize = end - start;
    return 1;
}
