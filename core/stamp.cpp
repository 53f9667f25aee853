// The time a record's stamp stands for, and times as text.
#include "core/host.h"

#include <stdint.h>
#include <stdio.h>
#include <string>
#include <time.h>

// The plug-in's records carry the last-write time nine hours ahead.
static constexpr int kStampHourShift = 9;

static bool UtcFields(int64_t time, struct tm *fields) {
    time_t t = (time_t)time;
#ifdef _WIN32
    return gmtime_s(fields, &t) == 0;
#else
    return gmtime_r(&t, fields) != nullptr;
#endif
}

static bool LocalFields(int64_t time, struct tm *fields) {
    time_t t = (time_t)time;
#ifdef _WIN32
    return localtime_s(fields, &t) == 0;
#else
    return localtime_r(&t, fields) != nullptr;
#endif
}

// The stamp the plug-in gives an archive last written at `time`.
static int64_t StampOf(int64_t time) {
    struct tm fields;
    if (!UtcFields(time, &fields))
        return 0;
    fields.tm_hour += kStampHourShift;
    fields.tm_isdst = 0;
    return (int64_t)mktime(&fields);
}

int64_t LastWriteTime(int64_t stamp) {
    // Every entry of an archive has the same stamp, and mktime is not cheap.
    static int64_t lastStamp = INT64_MIN, lastTime;
    if (stamp == lastStamp)
        return lastTime;
    // Right where local standard time is UTC; a few steps find the time
    // whose stamp it is wherever the offset differs (it may change during
    // the year or over the years).
    int64_t time = stamp - kStampHourShift * 3600;
    for (int step = 0; step < 4; step++) {
        int64_t off = stamp - StampOf(time);
        if (off == 0)
            break;
        time += off;
    }
    lastStamp = stamp;
    lastTime = time;
    return time;
}

std::string FormatTime(int64_t time, bool iso) {
    struct tm fields;
    if (!LocalFields(time, &fields))
        return iso ? "" : "-";
    char text[64];
    strftime(text, sizeof text, iso ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &fields);
    if (!iso)
        return text;
        // The zone's offset then: the wall-clock fields read as UTC, less the time.
#ifdef _WIN32
    int64_t offset = (int64_t)_mkgmtime(&fields) - time;
#else
    int64_t offset = (int64_t)timegm(&fields) - time;
#endif
    char zone[16];
    int64_t minutes = (offset < 0 ? -offset : offset) / 60;
    snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', (int)(minutes / 60),
             (int)(minutes % 60));
    return std::string(text) + zone;
}
