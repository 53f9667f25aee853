// Entry lines' offsets, and the archive's time stamp.
#include "archive.h"

#include <string.h>
#include <time.h>

// The stamp is the last-write time nine hours ahead of UTC, read as local time.
static constexpr int kStampHourShift = 9;

int32_t ParseEntryRange(const char *line, int32_t length, uint32_t *start, uint32_t *end) {
    const char *tab = FindChar(line, '\t', length);
    if (tab == nullptr)
        return -1;
    int32_t nameLength = (int32_t)(tab - line);
    // A line cut short before its end field reads that field as 0.
    int32_t fromTab = length - nameLength;
    *start = ParseDecimal(tab + kStartAfterTab);
    *end = fromTab >= kEndAfterTab ? ParseDecimal(tab + kEndAfterTab) : 0;
    return nameLength;
}

int64_t ArchiveTimestamp(HANDLE file) {
    FILETIME written;
    SYSTEMTIME utc;
    if (!GetFileTime(file, nullptr, nullptr, &written) || !FileTimeToSystemTime(&written, &utc))
        return 0;
    struct tm fields;
    memset(&fields, 0, sizeof fields);
    fields.tm_year = utc.wYear - 1900;
    fields.tm_mon = utc.wMonth - 1;
    fields.tm_mday = utc.wDay;
    fields.tm_hour = utc.wHour + kStampHourShift; // mktime carries 24 and more into the next day
    fields.tm_min = utc.wMinute;
    fields.tm_sec = utc.wSecond;
    fields.tm_isdst = 0;
    return (int64_t)mktime(&fields);
}
