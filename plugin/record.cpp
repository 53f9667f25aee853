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
    // The record names the entry without climbing parts; its position
    // still leads GetFile to the stored line.
    int32_t cut = CutNameLength(line, nameLength);
    memcpy(record->filename, line, (size_t)cut);
    int32_t kept = DropClimbingName(record->filename, cut);
    memset(record->filename + kept, 0, (size_t)(cut - kept));
    record->position = start;
    record->compsize = end - start;
    record->filesize = end - start;
    return 1;
}
