// GetFile: reading one entry's directory line again, then its bytes into a
// block for the host.
#include "plugin.h"

#include "archive/archive.h"

#include <string.h>

// Archive offsets are 32-bit, whatever the width of a position argument.
static constexpr int64_t kLargestOffset = 0xFFFFFFFF;
// Larger entries (and empty ones) are checked against the file's size before
// any memory is asked for them; smaller ones are simply read, and a short read
// refuses them just as well, without the extra call.
static constexpr uint32_t kCheckedSize = 1u << 20;

void ReportProgress(ProgressCallback progress, int32_t step, intptr_t userData) {
    static constexpr int32_t kSteps = 3;
    if (progress != nullptr)
        progress(step, kSteps, userData);
}

// Finds the entry line's two offsets in a probe read at its first byte, as
// the listing reads them: the line ends at its first CR or LF, and its
// fields follow its first TAB. A probe without a line end holds no whole
// line, and a line without a TAB is no entry; either is refused.
static const char *ParseProbe(const char *probe, uint32_t got, uint32_t *start, uint32_t *size) {
    uint32_t length = 0;
    while (length < got && probe[length] != '\n' && probe[length] != '\r')
        length++;
    uint32_t first = 0, last = 0;
    int32_t nameLength = length < got ? ParseEntryRange(probe, (int32_t)length, &first, &last) : -1;
    if (nameLength < 0)
        return nullptr;
    *start = first;
    *size = last - first; // as the record's size, wrapped where the fields are damaged
    return probe + nameLength;
}

static bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

bool PositionInDirectory(intptr_t position, uint32_t directorySize) {
    return position >= kMagicSize && (int64_t)position <= kLargestOffset &&
           (uint32_t)position < directorySize;
}

const char *EntryLineInProbe(const char *probe, uint32_t got, uint32_t *start, uint32_t *size) {
    return got > 1 && IsLineEnd(probe[0]) ? ParseProbe(probe + 1, got - 1, start, size) : nullptr;
}

int32_t ReadEntryLineAt(HANDLE file, intptr_t position, uint32_t *start, uint32_t *size, char *name,
                        int32_t *nameLength, ProgressCallback progress, intptr_t userData) {
    // The archive's head, for the directory's size, then the probe: the byte
    // before the line and the line. The last byte of each stays zero, so
    // searching them never runs off their ends.
    char *head = (char *)GlobalAlloc(GPTR, kHeadProbeSize + 1 + kLineProbeSize + 2);
    if (head == nullptr)
        return SPI_NO_MEMORY;
    char *probe = head + kHeadProbeSize + 1;
    uint32_t got = 0;
    if (position >= kMagicSize && (int64_t)position <= kLargestOffset) {
        ReadArchiveAt(file, 0, head, kHeadProbeSize);
        if (PositionInDirectory(position, DirectorySize(head)))
            got = ReadArchiveAt(file, (uint32_t)position - 1, probe, kLineProbeSize + 1);
    }
    ReportProgress(progress, 1, userData);
    const char *line = probe + 1;
    const char *tab = EntryLineInProbe(probe, got, start, size);
    if (tab != nullptr && name != nullptr) {
        *nameLength = (int32_t)(tab - line);
        memcpy(name, line, (size_t)*nameLength);
        name[*nameLength] = '\0';
    }
    GlobalFree(head);
    return tab != nullptr ? SPI_OK : SPI_FILE_ERROR;
}

int32_t ReadRangeToMemory(HANDLE file, uint32_t start, uint32_t size, SpiBlock *handleOut) {
    *handleOut = nullptr;
    // A range that does not lie inside the file (a truncated or damaged
    // archive) is refused; a large one before any memory is asked for it.
    if ((size == 0 || size > kCheckedSize) && (int64_t)start + size > ArchiveSize(file))
        return SPI_FILE_ERROR;
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE, size);
    if (block == nullptr)
        return SPI_NO_MEMORY;
    int32_t result = SPI_OK;
    if (size > 0) {
        void *bytes = LocalLock(block);
        if (bytes == nullptr)
            result = SPI_NO_MEMORY;
        else if (ReadArchiveAt(file, start, bytes, size) != size)
            result = SPI_FILE_ERROR; // the file shrank: never hand over a partly filled block
        LocalUnlock(block);
    }
    if (result == SPI_OK)
        *handleOut = block;
    else
        LocalFree(block);
    return result;
}

int32_t ExtractToMemory(HANDLE file, intptr_t position, SpiBlock *destination,
                        ProgressCallback progress, intptr_t userData) {
    if (file == INVALID_HANDLE_VALUE)
        return SPI_FILE_ERROR;
    uint32_t start, size;
    int32_t result =
        ReadEntryLineAt(file, position, &start, &size, nullptr, nullptr, progress, userData);
    bool readEntry = result == SPI_OK;
    if (readEntry) {
        ReportProgress(progress, 2, userData);
        result = ReadRangeToMemory(file, start, size, destination);
    }
    CloseHandle(file);
    // A read of the entry's bytes, whatever its outcome, ends the sequence.
    if (readEntry)
        ReportProgress(progress, 3, userData);
    return result;
}

int32_t SPI_API GetFile(const char *fileName, intptr_t position, SpiBlock *destination,
                        uint32_t flags, ProgressCallback progress, intptr_t userData) {
    // `destination` is a handle variable only for output to memory; for any
    // other output kind it is the host's own data (a path, say), which is
    // never written.
    if ((flags & SPI_OUTPUT_MASK) != SPI_OUTPUT_MEMORY || destination == nullptr)
        return SPI_UNSUPPORTED_MODE;
    // Hosts preset their variable and test it for null after a failure.
    *destination = nullptr;
    if ((flags & SPI_INPUT_MASK) != SPI_INPUT_FILE)
        return SPI_UNSUPPORTED_MODE;
    ReportProgress(progress, 0, userData);
    return ExtractToMemory(OpenArchive(fileName), position, destination, progress, userData);
}
