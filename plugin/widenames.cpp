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

static bool IsAscii(const char *name, int32_t length) {
    int32_t i = 0;
    while (i < length && (unsigned char)name[i] < 0x80)
        i++;
    return i == length;
}

bool NameIsUtf8(const char *name, int32_t length) {
    return IsAscii(name, length) ||
           MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, length, nullptr, 0) > 0;
}

UINT FallbackCodePage(void) {
    UINT ansi = GetACP();
    bool doubleByte = ansi == 932 || ansi == 936 || ansi == 949 || ansi == 950;
    return doubleByte ? ansi : kMostArchivesCodePage;
}

UINT NamesCodePage(const char *directory) {
    EntryWalk walk;
    StartWalk(&walk, directory);
    while (NextEntry(&walk)) {
        if (!NameIsUtf8(walk.line, walk.nameLength))
            return FallbackCodePage();
    }
    return CP_UTF8;
}

// Decodes a name into `units` (room for length + 2) and returns how many
// came. Bytes that do not decode become U+FFFD each, character by character,
// so that one bad byte costs one character and not the name.
static int32_t Decode(UINT codePage, const char *name, int32_t length, SpiWideChar *units) {
    // ASCII is itself in every code page of names: no conversion needed.
    if (IsAscii(name, length)) {
        for (int32_t i = 0; i < length; i++)
            units[i] = (SpiWideChar)name[i];
        return length;
    }
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

static int32_t UnitSize(const SpiWideChar *, int32_t) { return 1; }

// A field cut at 199 units may end in (or, where the name's first
// component was cut, be) a component of dots and spaces that the whole name
// did not hold: the cut field loses it too. A path keeps its closing '\'.
static void DropFromCutField(SpiWideChar *field, bool path) {
    int32_t n = 0;
    while (field[n] != 0)
        n++;
    int32_t kept = DropClimbingParts(field, n, UnitSize);
    if (path && kept < n && kept > 0 && field[kept - 1] != '\\')
        field[kept++] = '\\';
    memset(field + kept, 0, (size_t)(kFieldUnits - kept) * sizeof *field);
}

int32_t DecodeEntryName(FileInfoW *wide, const char *name, int32_t nameLength, UINT codePage,
                        bool asStored) {
    SpiWideChar stack[kStackUnits];
    SpiWideChar *units = stack;
    if (nameLength + 2 > kStackUnits)
        units = (SpiWideChar *)GlobalAlloc(GPTR, ((size_t)nameLength + 2) * sizeof *units);
    if (units == nullptr)
        return SPI_NO_MEMORY;
    int32_t n = Decode(codePage, name, nameLength, units);
    // Decoded, a trail byte is no separator: the parts are found in the
    // characters a host sees.
    if (!asStored)
        n = DropClimbingParts(units, n, UnitSize);
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
    if (!asStored && split > kFieldUnits - 1)
        DropFromCutField(wide->path, true);
    if (!asStored && n - split > kFieldUnits - 1)
        DropFromCutField(wide->filename, false);
    if (units != stack)
        GlobalFree(units);
    return SPI_OK;
}

int32_t FillWideRecord(FileInfoW *wide, const char *line, int32_t length, UINT codePage,
                       bool asStored) {
    uint32_t start = 0, end = 0;
    int32_t nameLength = ParseEntryRange(line, length, &start, &end);
    memcpy(wide->method, kMethod, sizeof kMethod);
    wide->compsize = end - start;
    wide->filesize = end - start;
    return DecodeEntryName(wide, line, nameLength, codePage, asStored);
}
