#include "plugin.h"

#include "archive/archive.h"
#include "linebuf/linebuf.h"

#include <string.h>

// Listings go through the one module-wide line buffer, so hosts that list on
// several threads are served one call at a time. The lock needs no set-up.
static SRWLOCK listingLock = SRWLOCK_INIT;

// The record block must stay below what a 32-bit process can allocate.
static constexpr uint64_t kLargestRecordBlock = 0x7FFFFFFF;

// Opens the archive and loads its directory text. On failure nothing is left
// open and the result says why.
static int32_t OpenDirectory(const char *fileName, HANDLE *file, char **directory) {
    *file = OpenArchive(fileName);
    if (*file == INVALID_HANDLE_VALUE)
        return SPI_FILE_ERROR;
    *directory = LoadDirectory(*file);
    if (*directory == nullptr) {
        CloseHandle(*file);
        return SPI_NO_MEMORY;
    }
    return SPI_OK;
}

static void CloseDirectory(HANDLE file, char *directory) {
    GlobalFree(directory);
    CloseHandle(file);
}

static int32_t EntryCount(void) {
    // Neither the magic line nor the closing line is an entry.
    int32_t n = LineBufferLineCount() - 2;
    return n > 0 ? n : 0;
}

// A zero-filled copy of directory line k, or null when memory is short.
static char *CopyLine(int32_t k, int32_t *length) {
    *length = LineBufferGetLine(nullptr, k, 0);
    char *line = (char *)GlobalAlloc(GPTR, (size_t)*length + 1);
    if (line != nullptr)
        LineBufferGetLine(line, k, *length);
    return line;
}

// Fills one record per entry line of the loaded directory. Lines without a
// TAB are no entries and are skipped, so the host never meets an empty
// record (which it would take for the end of the list) before the last one.
static int32_t FillRecords(FileInfo *records, int32_t n, int64_t stamp) {
    uint32_t position = kMagicSize;
    int32_t filled = 0;
    int32_t result = SPI_OK;
    for (int32_t i = 0; i < n && result == SPI_OK; i++) {
        int32_t length;
        char *line = CopyLine(i + 1, &length);
        if (line == nullptr) {
            result = SPI_NO_MEMORY;
        } else if (ParseEntryLine(&records[filled], line)) {
            records[filled].position = position;
            records[filled].timestamp = stamp; // a 32-bit record keeps the low 32 bits
            filled++;
        }
        GlobalFree(line);
        position += (uint32_t)length;
    }
    records[filled].method[0] = '\0';
    return result;
}

static int32_t ListEntries(HANDLE file, const char *directory, SpiBlock *recordsOut) {
    if (LineBufferSetText(directory) != 0)
        return SPI_NO_MEMORY;
    int32_t n = EntryCount();
    uint64_t bytes = ((uint64_t)n + 1) * sizeof(FileInfo);
    HLOCAL block =
        bytes <= kLargestRecordBlock ? LocalAlloc(LMEM_MOVEABLE, (SIZE_T)bytes) : nullptr;
    FileInfo *records = block != nullptr ? (FileInfo *)LocalLock(block) : nullptr;
    int32_t result = SPI_NO_MEMORY;
    if (records != nullptr) {
        result = FillRecords(records, n, ArchiveTimestamp(file));
        LocalUnlock(block);
    }
    if (result != SPI_OK) {
        LocalFree(block);
        block = nullptr;
        LineBufferClear();
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
    HANDLE file;
    char *directory;
    AcquireSRWLockExclusive(&listingLock);
    int32_t result = OpenDirectory(fileName, &file, &directory);
    if (result == SPI_OK) {
        result = ListEntries(file, directory, recordsOut);
        CloseDirectory(file, directory);
    }
    ReleaseSRWLockExclusive(&listingLock);
    return result;
}

static int32_t LookupEntry(HANDLE file, const char *directory, const char *entryName,
                           uint32_t flags, FileInfo *recordOut) {
    if (LineBufferSetText(directory) != 0)
        return SPI_NO_MEMORY;
    bool ignoreCase = (flags & SPI_IGNORE_CASE) != 0;
    int32_t n = EntryCount();
    uint32_t position = kMagicSize;
    int32_t result = SPI_NO_SUCH_ENTRY;
    for (int32_t i = 0; i < n && result == SPI_NO_SUCH_ENTRY; i++) {
        int32_t length;
        char *line = CopyLine(i + 1, &length);
        char *tab = line != nullptr ? (char *)FindChar(line, '\t', length) : nullptr;
        if (line == nullptr) {
            result = SPI_NO_MEMORY;
        } else if (tab != nullptr) {
            // Whole names only: compare the name cut at its TAB.
            *tab = '\0';
            bool match = ignoreCase ? SameNameIgnoringCase(line, entryName) != 0
                                    : strcmp(line, entryName) == 0;
            *tab = '\t';
            if (match) {
                ParseEntryLine(recordOut, line);
                recordOut->position = position;
                recordOut->timestamp = ArchiveTimestamp(file);
                result = SPI_OK;
            }
        }
        GlobalFree(line);
        position += (uint32_t)length;
    }
    return result;
}

int32_t SPI_API GetFileInfo(const char *fileName, intptr_t, const char *entryName, uint32_t flags,
                            FileInfo *recordOut) {
    if ((flags & SPI_INPUT_MASK) != SPI_INPUT_FILE || recordOut == nullptr)
        return SPI_UNSUPPORTED_MODE;
    if (entryName == nullptr)
        return SPI_NO_SUCH_ENTRY;
    HANDLE file;
    char *directory;
    AcquireSRWLockExclusive(&listingLock);
    int32_t result = OpenDirectory(fileName, &file, &directory);
    if (result == SPI_OK) {
        result = LookupEntry(file, directory, entryName, flags, recordOut);
        CloseDirectory(file, directory);
        LineBufferClear();
    }
    ReleaseSRWLockExclusive(&listingLock);
    return result;
}
