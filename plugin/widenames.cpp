// Entry names for the wide exports: the archive's code page, decoding with
// the system's converters, and the split into a record's path and filename.
#include "wide.h"

#include "archive/archive.h"

#include <string.h>

static constexpr UINT kMostArchivesCodePage = 932;
static constexpr int32_t kFieldUnits = 200; // a record field, its closing zero included
static constexpr SpiWideChar kReplacement = 0xFFFD;
// Names up to this many bytes decode on the stack; every name GetFile can
// read back is shorter.
static constexpr int32_t kStackUnits = 512;

static bool ValidUtf8(const char *name, int32_t length) {
    int32_t i = 0;
    while (i < length && (unsigned char)name[i] < 0x80)
        i++;
    return i == length ||
           MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, length, nullptr, 0) > 0;
}

UINT NamesCodePage(const char *directory) {
    EntryWalk walk;
    StartWalk(&walk, directory);
    while (NextEntry(&walk)) {
        if (!ValidUtf8(walk.line, walk.nameLength)) {
            UINT ansi = GetACP();
            bool doubleByte = ansi == 932 || ansi == 936 || ansi == 949 || ansi == 950;
            return doubleByte ? ansi : kMostArchivesCodePage;
        }
    }
    return CP_UTF8;
}

// Decodes a name into `units` (room for length + 2) and returns how many
// came. Bytes that do not decode become U+FFFD each, character by character,
// so that one bad byte costs one character and not the name.
static int32_t Decode(UINT codePage, const char *name, int32_t length, SpiWideChar *units) {
    if (length == 0)
        return 0;
    int32_t n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, name, length, units, length);
    if (n > 0)
        return n;
    n = 0;
    for (int32_t i = 0; i < length;) {
        int32_t size = i + 1 < length && IsDBCSLeadByteEx(codePage, (BYTE)name[i]) ? 2 : 1;
        int32_t got =
            MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, name + i, size, units + n, 2);
        if (got > 0) {
            n += got;
            i += size;
        } else {
            units[n++] = kReplacement;
            i++; // a bad pair's second byte may be a character of its own
        }
    }
    return n;
}

static bool IsSeparator(SpiWideChar c) { return c == '/' || c == '\\'; }

// Copies at most 199 units into a zeroed field, never half a surrogate pair.
static void StoreField(SpiWideChar *field, const SpiWideChar *units, int32_t count) {
    if (count > kFieldUnits - 1) {
        count = kFieldUnits - 1;
        if (units[count - 1] >= 0xD800 && units[count - 1] <= 0xDBFF)
            count--;
    }
    memcpy(field, units, (size_t)count * sizeof *units);
}

int32_t FillWideRecord(FileInfoW *wide, const FileInfo *record, const char *name,
                       int32_t nameLength, UINT codePage) {
    memset(wide, 0, sizeof *wide);
    SpiWideChar stack[kStackUnits];
    SpiWideChar *units = stack;
    if (nameLength + 2 > kStackUnits)
        units = (SpiWideChar *)GlobalAlloc(GPTR, ((size_t)nameLength + 2) * sizeof *units);
    if (units == nullptr)
        return SPI_NO_MEMORY;
    memcpy(wide->method, record->method, sizeof wide->method);
    wide->position = record->position;
    wide->compsize = record->compsize;
    wide->filesize = record->filesize;
    wide->timestamp = record->timestamp;
    int32_t n = Decode(codePage, name, nameLength, units);
    // path is everything up to the last separator, each written as '\'.
    int32_t split = n;
    while (split > 0 && !IsSeparator(units[split - 1]))
        split--;
    for (int32_t i = 0; i < split; i++) {
        if (IsSeparator(units[i]))
            units[i] = '\\';
    }
    StoreField(wide->path, units, split);
    StoreField(wide->filename, units + split, n - split);
    if (units != stack)
        GlobalFree(units);
    return SPI_OK;
}
