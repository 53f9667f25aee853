// Whether an entry line's offsets fit the 32 bits the plug-in reads them
// in: apart from the rest of the format, so that a host may link it alone.
#include "archive.h"

static bool DecimalFits(const char *text) {
    uint64_t value = 0;
    for (const char *p = text; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + (uint64_t)(*p - '0');
        if (value > UINT32_MAX)
            return false;
    }
    return true;
}

int32_t EntryRangeFits(const char *line, int32_t length) {
    // The TAB as FindChar finds it: the text ends at a zero byte.
    const char *tab = nullptr;
    for (int32_t i = 0; i < length && line[i] != '\0' && tab == nullptr; i++)
        tab = line[i] == '\t' ? line + i : nullptr;
    if (tab == nullptr)
        return 1;
    int32_t fromTab = length - (int32_t)(tab - line);
    bool endFits = fromTab < kEndAfterTab || DecimalFits(tab + kEndAfterTab);
    return DecimalFits(tab + kStartAfterTab) && endFits ? 1 : 0;
}
