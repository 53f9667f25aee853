// GetArchiveInfo and GetFileInfo, and what their wide forms share with them:
// the listing lock, loading a directory into the line buffer and walking its
// entry lines (also for the native quorvel, which lists without a block).
#include "plugin.h"

#include "archive/archive.h"
#include "linebuf/linebuf.h"

#include <string.h>

// Listings go through the one module-wide line buffer, so hosts that list on
// several threads are served one call at a time. The lock needs no set-up.
static SRWLOCK listingLock = SRWLOCK_INIT;

int32_t LoadEntries(HANDLE file, char **directory, bool lineBuffer) {
    AcquireSRWLockExclusive(&listingLock);
    *directory = LoadDirectory(file);
    if (*directory != nullptr && (lineBuffer ? LineBufferSetText(*directory) == 0
                                             : strlen(*directory) <= kLargestLineBufferText))
        return SPI_OK;
    GlobalFree(*directory);
    *directory = nullptr;
    ReleaseSRWLockExclusive(&listingLock);
    return SPI_NO_MEMORY;
}

void ReleaseEntries(char *directory, bool clear) {
    GlobalFree(directory);
    if (clear)
        LineBufferClear();
    ReleaseSRWLockExclusive(&listingLock);
}

int32_t EntryLineCount(void) {
    // The line buffer's last line is what follows the text's last line end:
    // empty (a length of 1, its closing zero) unless the closing line has no
    // LF of its own, and is then that line. The line buffer appends an LF to
    // such a line unless it is a single byte, so a one-byte closing line
    // would otherwise hide the entry line before it.
    int32_t last = LineBufferLineCount();
    int32_t lines = LineBufferGetLine(nullptr, last, 0) > 1 ? last - 1 : last - 2;
    return lines > 0 ? lines : 0;
}

int32_t LoadWalkDirectory(HANDLE file, char **directory) {
    int32_t result = LoadEntries(file, directory, false);
    // The walker owns its text; only the load needs the lock.
    if (result == SPI_OK)
        ReleaseSRWLockExclusive(&listingLock);
    return result;
}

static bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// The length of the line that starts at `from`, its line end included (a
// pair of CR and LF is one), or 0 when no line end follows.
static uint32_t LineLength(const EntryWalk *walk, uint32_t from) {
    const char *text = walk->directory;
    uint32_t size = walk->size;
    if (from > size)
        return 0;
    const char *lf = (const char *)memchr(text + from, '\n', size - from);
    uint32_t end = lf != nullptr ? (uint32_t)(lf - text) : size;
    const char *cr = (const char *)memchr(text + from, '\r', end - from);
    if (cr != nullptr)
        end = (uint32_t)(cr - text);
    else if (lf == nullptr)
        return walk->closed ? 0 : size - from + 1; // the LF the line buffer adds
    if (end + 1 < size && IsLineEnd(text[end + 1]) && text[end + 1] != text[end])
        end++;
    return end - from + 1;
}

void StartWalk(EntryWalk *walk, const char *directory) {
    memset(walk, 0, sizeof *walk);
    walk->directory = directory;
    size_t size = strlen(directory);
    walk->size = (uint32_t)size;
    walk->closed = (size >= 1 && IsLineEnd(directory[size - 1])) ||
                   (size >= 2 && IsLineEnd(directory[size - 2]));
    // The magic line is no entry; positions count it as 21 bytes, whatever
    // it holds.
    walk->nextOffset = LineLength(walk, 0);
    walk->nextLength = walk->nextOffset > 0 ? LineLength(walk, walk->nextOffset) : 0;
    walk->nextPosition = kMagicSize;
}

bool NextEntry(EntryWalk *walk) {
    while (walk->nextLength > 0) {
        uint32_t length = walk->nextLength;
        const char *line = walk->directory + walk->nextOffset;
        walk->position = walk->nextPosition;
        walk->nextOffset += length;
        walk->nextPosition += length;
        // A line is an entry line only if a closing line follows it: another
        // line that ends, or the one byte without a line end that the line
        // buffer leaves as its own last line.
        walk->nextLength = LineLength(walk, walk->nextOffset);
        if (walk->nextLength == 0 && walk->nextOffset >= walk->size)
            return false;
        // Without its line end: LF, CR, or a pair of the two.
        if (length > 0 && IsLineEnd(line[length - 1]))
            length--;
        if (length > 0 && IsLineEnd(line[length - 1]) && line[length - 1] != line[length])
            length--;
        const char *tab = (const char *)memchr(line, '\t', (size_t)length);
        if (tab != nullptr) {
            walk->line = line;
            walk->length = (int32_t)length;
            walk->nameLength = (int32_t)(tab - line);
            return true;
        }
    }
    return false;
}

// A zero-terminated scratch copy of the current entry line, or null when
// memory is short.
static char *CopyEntryLine(const EntryWalk *walk) {
    char *line = (char *)GlobalAlloc(GPTR, (size_t)walk->length + 1);
    if (line != nullptr)
        memcpy(line, walk->line, (size_t)walk->length);
    return line;
}

// Fills one record per entry line, then the closing record.
static int32_t FillRecords(FileInfo *records, const char *directory, int64_t stamp) {
    EntryWalk walk;
    StartWalk(&walk, directory);
    int32_t filled = 0;
    int32_t result = SPI_OK;
    while (result == SPI_OK && NextEntry(&walk)) {
        char *line = CopyEntryLine(&walk);
        if (line == nullptr) {
            result = SPI_NO_MEMORY;
        } else {
            ParseEntryLine(&records[filled], line);
            records[filled].position = walk.position;
            records[filled].timestamp = stamp; // a 32-bit record keeps the low 32 bits
            filled++;
        }
        GlobalFree(line);
    }
    records[filled].method[0] = '\0';
    return result;
}

static int32_t ListEntries(HANDLE file, const char *directory, SpiBlock *recordsOut) {
    uint64_t bytes = ((uint64_t)EntryLineCount() + 1) * sizeof(FileInfo);
    HLOCAL block =
        bytes <= kLargestRecordBlock ? LocalAlloc(LMEM_MOVEABLE, (SIZE_T)bytes) : nullptr;
    FileInfo *records = block != nullptr ? (FileInfo *)LocalLock(block) : nullptr;
    int32_t result = SPI_NO_MEMORY;
    if (records != nullptr) {
        result = FillRecords(records, directory, ArchiveTimestamp(file));
        LocalUnlock(block);
    }
    if (result != SPI_OK) {
        LocalFree(block);
        block = nullptr;
    }
    *recordsOut = block;
    return result;
}

int32_t SPI_API GetArchiveInfo(const char *fileName, intptr_t, uint32_t flags,
                               SpiBlock *recordsOut) {
    if (recordsOut == nullptr)
        return SPI_UNSUPPORTED_MODE;
    // Hosts preset their variable and test it for null after a failure.
    *recordsOut = nullptr;
    if ((flags & SPI_INPUT_MASK) != SPI_INPUT_FILE)
        return SPI_UNSUPPORTED_MODE;
    HANDLE file = OpenArchive(fileName);
    if (file == INVALID_HANDLE_VALUE)
        return SPI_FILE_ERROR;
    char *directory;
    int32_t result = LoadEntries(file, &directory);
    if (result == SPI_OK) {
        result = ListEntries(file, directory, recordsOut);
        // A listing keeps the directory in the line buffer until the next one.
        ReleaseEntries(directory, result != SPI_OK);
    }
    CloseHandle(file);
    return result;
}

// How an entry line's name matches the host's: not at all, whole, or only
// as a listing shows it (a name over 199 bytes, cut, or the record's name
// without climbing parts).
enum { kNoMatch, kWholeName, kListedName };

static bool SameName(const char *name, const char *entryName, bool ignoreCase) {
    return ignoreCase ? SameNameIgnoringCase(name, entryName) != 0 : strcmp(name, entryName) == 0;
}

// Compares the name of the walk's current line with entryName; SPI_NO_MEMORY
// when the line cannot be copied.
static int32_t MatchName(const EntryWalk *walk, const char *entryName, bool ignoreCase,
                         int32_t *match) {
    char *line = CopyEntryLine(walk);
    if (line == nullptr)
        return SPI_NO_MEMORY;
    *match = kNoMatch;
    line[walk->nameLength] = '\0';
    if (SameName(line, entryName, ignoreCase))
        *match = kWholeName;
    int32_t cut = CutNameLength(line, walk->nameLength);
    line[cut] = '\0';
    if (*match == kNoMatch && cut < walk->nameLength && SameName(line, entryName, ignoreCase))
        *match = kListedName;
    int32_t kept = DropClimbingName(line, cut);
    line[kept] = '\0';
    if (*match == kNoMatch && kept < cut && SameName(line, entryName, ignoreCase))
        *match = kListedName;
    GlobalFree(line);
    return SPI_OK;
}

// The first entry whose whole name is entryName; failing that, the first
// whose name as listed is (cut, or as its record names it), so that both
// the stored names and every name a listing shows are found.
static int32_t LookupEntry(HANDLE file, const char *directory, const char *entryName,
                           uint32_t flags, FileInfo *recordOut) {
    bool ignoreCase = (flags & SPI_IGNORE_CASE) != 0;
    EntryWalk walk, found;
    StartWalk(&walk, directory);
    int32_t result = SPI_OK;
    int32_t best = kNoMatch;
    while (result == SPI_OK && best != kWholeName && NextEntry(&walk)) {
        int32_t match = kNoMatch;
        result = MatchName(&walk, entryName, ignoreCase, &match);
        if (match == kWholeName || (match == kListedName && best == kNoMatch)) {
            found = walk;
            best = match;
        }
    }
    char *line = result == SPI_OK && best != kNoMatch ? CopyEntryLine(&found) : nullptr;
    if (line != nullptr) {
        ParseEntryLine(recordOut, line);
        recordOut->position = found.position;
        recordOut->timestamp = ArchiveTimestamp(file);
    } else if (result == SPI_OK) {
        result = best == kNoMatch ? SPI_NO_SUCH_ENTRY : SPI_NO_MEMORY;
    }
    GlobalFree(line);
    return result;
}

int32_t SPI_API GetFileInfo(const char *fileName, intptr_t, const char *entryName, uint32_t flags,
                            FileInfo *recordOut) {
    if ((flags & SPI_INPUT_MASK) != SPI_INPUT_FILE || recordOut == nullptr)
        return SPI_UNSUPPORTED_MODE;
    if (entryName == nullptr)
        return SPI_NO_SUCH_ENTRY;
    HANDLE file = OpenArchive(fileName);
    if (file == INVALID_HANDLE_VALUE)
        return SPI_FILE_ERROR;
    // A lookup walks the directory text itself: it needs no line buffer.
    char *directory;
    int32_t result = LoadEntries(file, &directory, false);
    if (result == SPI_OK) {
        result = LookupEntry(file, directory, entryName, flags, recordOut);
        ReleaseEntries(directory, false);
    }
    CloseHandle(file);
    return result;
}
