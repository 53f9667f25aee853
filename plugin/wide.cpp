// The wide-character exports: GetPluginInfoW, IsSupportedW,
// GetArchiveInfoW, GetFileInfoW and GetFileW. Each opens the archive by its
// UTF-16 path and does the rest as its ANSI form does, with names decoded
// into UTF-16.
#include "wide.h"

#include "archive/archive.h"

#include <string.h>

static constexpr int32_t kNameEndingLength = 4;
// path and filename of one record, joined: what a lookup compares.
static constexpr int32_t kJoinedUnits = 400;

static HANDLE OpenArchiveW(const SpiWideChar *fileName) {
    if (fileName == nullptr)
        return INVALID_HANDLE_VALUE;
    return CreateFileW(fileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

int32_t SPI_API GetPluginInfoW(int32_t index, SpiWideChar *buffer, int32_t bufferLength) {
    const char *row = InformationRow(index);
    if (row == nullptr || buffer == nullptr || bufferLength < 1)
        return 0;
    int32_t n = 0;
    for (; n < bufferLength - 1 && row[n] != '\0'; n++)
        buffer[n] = (SpiWideChar)(unsigned char)row[n]; // the rows are ASCII
    buffer[n] = 0;
    return n;
}

int32_t SPI_API IsSupportedW(const SpiWideChar *fileName, uintptr_t source) {
    static const SpiWideChar kNameEnding[] = {'.', 'd', 'a', 't'};
    if (fileName == nullptr || fileName[0] == 0 || !HeadIsArchive(source))
        return 0;
    int32_t length = 0;
    while (fileName[length] != 0)
        length++;
    return length >= kNameEndingLength &&
           CompareStringOrdinal(fileName + length - kNameEndingLength, kNameEndingLength,
                                kNameEnding, kNameEndingLength, TRUE) == CSTR_EQUAL;
}

// Fills a zeroed wide record for the walk's current entry line.
static int32_t FillFromWalk(FileInfoW *wide, const EntryWalk *walk, UINT codePage, int64_t stamp,
                            bool asStored = false) {
    wide->position = walk->position;
    wide->timestamp = stamp;
    return FillWideRecord(wide, walk->line, walk->length, codePage, asStored);
}

// Fills the records and the closing record; `filled` counts the entries.
// Most archives are ASCII or UTF-8, so the walk starts out reading names as
// UTF-8 and starts again in the fallback code page at the first name that
// is not: one walk for most archives, two at most.
static int32_t FillWideRecords(FileInfoW *records, const char *directory, int64_t stamp,
                               int32_t *filled) {
    UINT codePage = CP_UTF8;
    int32_t result = SPI_OK;
    bool again = true;
    while (again) {
        again = false;
        EntryWalk walk;
        StartWalk(&walk, directory);
        *filled = 0;
        while (result == SPI_OK && !again && NextEntry(&walk)) {
            if (codePage == CP_UTF8 && !NameIsUtf8(walk.line, walk.nameLength)) {
                codePage = FallbackCodePage();
                memset(records, 0, (size_t)*filled * sizeof *records);
                again = true;
            } else {
                result = FillFromWalk(&records[*filled], &walk, codePage, stamp);
                (*filled)++;
            }
        }
    }
    records[*filled].method[0] = '\0';
    return result;
}

// A block of exactly the records and the closing record: lines without a TAB
// were counted but are no entries, so such a listing is moved into a block
// of its true size.
static HLOCAL ListWideEntries(HANDLE file, const char *directory, int32_t *result) {
    uint64_t bytes = ((uint64_t)EntryLineCount() + 1) * sizeof(FileInfoW);
    // Zeroed, so that each record is written only where it holds something.
    HLOCAL block = bytes <= kLargestRecordBlock
                       ? LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, (SIZE_T)bytes)
                       : nullptr;
    FileInfoW *records = block != nullptr ? (FileInfoW *)LocalLock(block) : nullptr;
    int32_t filled = 0;
    *result = SPI_NO_MEMORY;
    if (records != nullptr)
        *result = FillWideRecords(records, directory, ArchiveTimestamp(file), &filled);
    SIZE_T exact = ((SIZE_T)filled + 1) * sizeof(FileInfoW);
    if (*result == SPI_OK && exact < bytes) {
        HLOCAL fitted = LocalAlloc(LMEM_MOVEABLE, exact);
        void *to = fitted != nullptr ? LocalLock(fitted) : nullptr;
        if (to != nullptr)
            memcpy(to, records, exact);
        else
            *result = SPI_NO_MEMORY;
        LocalUnlock(fitted);
        LocalUnlock(block);
        LocalFree(block);
        records = nullptr;
        block = fitted;
    }
    if (records != nullptr)
        LocalUnlock(block);
    if (*result != SPI_OK) {
        LocalFree(block);
        block = nullptr;
    }
    return block;
}

int32_t SPI_API GetArchiveInfoW(const SpiWideChar *fileName, intptr_t, uint32_t flags,
                                SpiBlock *recordsOut) {
    if (recordsOut == nullptr)
        return SPI_UNSUPPORTED_MODE;
    *recordsOut = nullptr;
    if ((flags & SPI_INPUT_MASK) != SPI_INPUT_FILE)
        return SPI_UNSUPPORTED_MODE;
    HANDLE file = OpenArchiveW(fileName);
    if (file == INVALID_HANDLE_VALUE)
        return SPI_FILE_ERROR;
    char *directory;
    int32_t result = LoadEntries(file, &directory);
    if (result == SPI_OK) {
        *recordsOut = ListWideEntries(file, directory, &result);
        ReleaseEntries(directory, result != SPI_OK);
    }
    CloseHandle(file);
    return result;
}

// The host's name with every '/' written as '\', in a scratch block; null
// when memory is short.
static SpiWideChar *NormalisedName(const SpiWideChar *name, int32_t *length) {
    *length = 0;
    while (name[*length] != 0)
        (*length)++;
    SpiWideChar *copy = (SpiWideChar *)GlobalAlloc(GPTR, ((size_t)*length + 1) * sizeof *copy);
    for (int32_t i = 0; copy != nullptr && i < *length; i++)
        copy[i] = name[i] == '/' ? '\\' : name[i];
    return copy;
}

static bool SameName(const FileInfoW *record, const SpiWideChar *name, int32_t length,
                     bool ignoreCase) {
    SpiWideChar joined[kJoinedUnits];
    int32_t n = 0;
    for (int32_t i = 0; record->path[i] != 0; i++)
        joined[n++] = record->path[i];
    for (int32_t i = 0; record->filename[i] != 0; i++)
        joined[n++] = record->filename[i];
    if (ignoreCase)
        return CompareStringOrdinal(joined, n, name, length, TRUE) == CSTR_EQUAL;
    return n == length && memcmp(joined, name, (size_t)n * sizeof *name) == 0;
}

// Whether a record may name the entry otherwise than as stored: only a
// name with a dot, a ':' or a leading separator has parts that climb. None
// of these bytes is ever the second byte of a double-byte character, and a
// name's first byte starts one.
static bool MayClimb(const char *name, int32_t length) {
    return length > 0 && (name[0] == '/' || name[0] == '\\' || memchr(name, '.', (size_t)length) ||
                          memchr(name, ':', (size_t)length));
}

static int32_t LookupWide(HANDLE file, const char *directory, const SpiWideChar *entryName,
                          uint32_t flags, FileInfoW *recordOut) {
    int32_t length;
    SpiWideChar *name = NormalisedName(entryName, &length);
    if (name == nullptr)
        return SPI_NO_MEMORY;
    UINT codePage = NamesCodePage(directory);
    int64_t stamp = ArchiveTimestamp(file);
    EntryWalk walk;
    StartWalk(&walk, directory);
    int32_t result = SPI_NO_SUCH_ENTRY;
    bool ignoreCase = (flags & SPI_IGNORE_CASE) != 0;
    // The first entry whose name as stored it is; failing that, the first
    // that its record names so, as the ANSI lookup finds them.
    bool listedFound = false;
    FileInfoW listed;
    while (result == SPI_NO_SUCH_ENTRY && NextEntry(&walk)) {
        FileInfoW stored, record;
        memset(&stored, 0, sizeof stored);
        result = FillFromWalk(&stored, &walk, codePage, stamp, true);
        record = stored;
        if (result == SPI_OK && MayClimb(walk.line, walk.nameLength)) {
            memset(&record, 0, sizeof record);
            result = FillFromWalk(&record, &walk, codePage, stamp);
        }
        if (result == SPI_OK && !listedFound && SameName(&record, name, length, ignoreCase)) {
            listed = record;
            listedFound = true;
        }
        if (result == SPI_OK && !SameName(&stored, name, length, ignoreCase))
            result = SPI_NO_SUCH_ENTRY;
        if (result == SPI_OK)
            memcpy(recordOut, &record, sizeof record);
    }
    if (result == SPI_NO_SUCH_ENTRY && listedFound) {
        memcpy(recordOut, &listed, sizeof listed);
        result = SPI_OK;
    }
    GlobalFree(name);
    return result;
}

int32_t SPI_API GetFileInfoW(const SpiWideChar *fileName, intptr_t, const SpiWideChar *entryName,
                             uint32_t flags, FileInfoW *recordOut) {
    if ((flags & SPI_INPUT_MASK) != SPI_INPUT_FILE || recordOut == nullptr)
        return SPI_UNSUPPORTED_MODE;
    if (entryName == nullptr)
        return SPI_NO_SUCH_ENTRY;
    HANDLE file = OpenArchiveW(fileName);
    if (file == INVALID_HANDLE_VALUE)
        return SPI_FILE_ERROR;
    // A lookup walks the directory text itself: it needs no line buffer.
    char *directory;
    int32_t result = LoadEntries(file, &directory, false);
    if (result == SPI_OK) {
        result = LookupWide(file, directory, entryName, flags, recordOut);
        ReleaseEntries(directory, false);
    }
    CloseHandle(file);
    return result;
}

// The code page of the archive's names, for a file written into a folder.
static int32_t ArchiveCodePage(HANDLE file, UINT *codePage) {
    char *directory;
    int32_t result = LoadEntries(file, &directory, false);
    if (result == SPI_OK) {
        *codePage = NamesCodePage(directory);
        ReleaseEntries(directory, false);
    }
    return result;
}

// GetFileW into a folder after the archive was opened: the entry at
// `position` into folder\filename, filename as its record has it. Closes the
// archive.
static int32_t ExtractToFolder(HANDLE file, intptr_t position, const SpiWideChar *folder,
                               ProgressCallback progress, intptr_t userData) {
    if (file == INVALID_HANDLE_VALUE)
        return SPI_FILE_ERROR;
    UINT codePage = CP_UTF8;
    int32_t result = ArchiveCodePage(file, &codePage);
    char name[kLineProbeSize + 1];
    int32_t nameLength = 0;
    uint32_t start = 0, size = 0;
    if (result == SPI_OK)
        result =
            ReadEntryLineAt(file, position, &start, &size, name, &nameLength, progress, userData);
    FileInfoW record; // only the name is wanted
    memset(&record, 0, sizeof record);
    if (result == SPI_OK)
        result = DecodeEntryName(&record, name, nameLength, codePage);
    bool readEntry = result == SPI_OK;
    if (readEntry) {
        ReportProgress(progress, 2, userData);
        result = WriteEntryToFolder(file, start, size, folder, record.filename);
    }
    CloseHandle(file);
    if (readEntry)
        ReportProgress(progress, 3, userData);
    return result;
}

int32_t SPI_API GetFileW(const SpiWideChar *fileName, intptr_t position, void *destination,
                         uint32_t flags, ProgressCallback progress, intptr_t userData) {
    uint32_t output = flags & SPI_OUTPUT_MASK;
    if (destination == nullptr)
        return SPI_UNSUPPORTED_MODE;
    // Hosts preset their variable and test it for null after a failure.
    if (output == SPI_OUTPUT_MEMORY)
        *(SpiBlock *)destination = nullptr;
    if ((flags & SPI_INPUT_MASK) != SPI_INPUT_FILE ||
        (output != SPI_OUTPUT_MEMORY && output != SPI_OUTPUT_FOLDER))
        return SPI_UNSUPPORTED_MODE;
    ReportProgress(progress, 0, userData);
    HANDLE file = OpenArchiveW(fileName);
    if (output == SPI_OUTPUT_FOLDER)
        return ExtractToFolder(file, position, (const SpiWideChar *)destination, progress,
                               userData);
    return ExtractToMemory(file, position, (SpiBlock *)destination, progress, userData);
}
