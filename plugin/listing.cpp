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

int32_t LoadEntries(HANDLE file, char **directory) {
    AcquireSRWLockExclusive(&listingLock);
    *directory = LoadDirectory(file);
    if (*directory != nullptr && LineBufferSetText(*directory) == 0)
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

int32_t LoadWalkDirectory(HANDLE file, char **directory) {
    AcquireSRWLockExclusive(&listingLock);
    *directory = LoadDirectory(file);
    ReleaseSRWLockExclusive(&listingLock);
    if (*directory != nullptr && strlen(*directory) <= kLargestLineBufferText)
        return SPI_OK;
    GlobalFree(*directory);
    *directory = nullptr;
    return SPI_NO_MEMORY;
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
        // A line is an entry line only if another line end follows it: the
        // last line that ends closes the directory.
        walk->nextLength = LineLength(walk, walk->nextOffset);
        if (walk->nextLength == 0)
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

static int32_t EntryCount(void) {
    int32_t n = LineBufferLineCount() - 2;
    return n > 0 ? n : 0;
}

static int32_t ListEntries(HANDLE file, const char *directory, SpiBlock *recordsOut) {
    uint64_t bytes = ((uint64_t)EntryCount() + 1) * sizeof(FileInfo);
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

static int32_t LookupEntry(HANDLE file, const char *directory, const char *entryName,
                           uint32_t flags, FileInfo *recordOut) {
    bool ignoreCase = (flags & SPI_IGNORE_CASE) != 0;
    EntryWalk walk;
    StartWalk(&walk, directory);
    int32_t result = SPI_NO_SUCH_ENTRY;
    while (result == SPI_NO_SUCH_ENTRY && NextEntry(&walk)) {
        char *line = CopyEntryLine(&walk);
        if (line == nullptr) {
            result = SPI_NO_MEMORY;
        } else {
            // Whole names only: compare the name cut at its TAB.
            line[walk.nameLength] = '\0';
            bool match = ignoreCase ? SameNameIgnoringCase(line, entryName) != 0
                                    : strcmp(line, entryName) == 0;
            line[walk.nameLength] = '\t';
            if (match) {
                ParseEntryLine(recordOut, line);
                recordOut->position = walk.position;
                recordOut->timestamp = ArchiveTimestamp(file);
                result = SPI_OK;
            }
        }
        GlobalFree(line);
    }
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
    char *directory;
    int32_t result = LoadEntries(file, &directory);
    if (result == SPI_OK) {
        result = LookupEntry(file, directory, entryName, flags, recordOut);
        ReleaseEntries(directory, true);
    }
    CloseHandle(file);
    return result;
}
