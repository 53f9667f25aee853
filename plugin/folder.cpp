// GetFileW's output into a folder: the rules for a name Windows holds as a
// plain file, and writing an entry through a fresh temporary file.
#include "wide.h"

#include "archive/archive.h"

#include <string.h>

// Bytes are copied in pieces of at most this size, whatever the entry's.
static constexpr uint32_t kCopyPiece = 1u << 20;
static constexpr int32_t kTempAttempts = 64;
// ".axq" 8 hex digits "-" 8 "-" 8 ".tmp": the temporary name's units.
static constexpr int32_t kTempUnits = 40;
static constexpr int32_t kNameUnits = 200;

// Counts temporary names, so that threads and calls never pick the same one.
static LONG volatile tempNames;

static int32_t WideLength(const SpiWideChar *text) {
    int32_t n = 0;
    while (text[n] != 0)
        n++;
    return n;
}

static SpiWideChar Upper(SpiWideChar c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

// The base name (up to the first dot, trailing spaces dropped) is one of
// Windows' device names: CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9 and
// LPT0-9, the last digit also superscript 1, 2 or 3.
static bool IsDeviceName(const SpiWideChar *name) {
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    int32_t base = 0;
    while (name[base] != 0 && name[base] != '.')
        base++;
    while (base > 0 && name[base - 1] == ' ')
        base--;
    for (const char *device : kDevices) {
        int32_t i = 0;
        while (i < base && device[i] != '\0' && Upper(name[i]) == (SpiWideChar)device[i])
            i++;
        if (i == base && device[i] == '\0')
            return true;
    }
    bool port =
        base == 4 && ((Upper(name[0]) == 'C' && Upper(name[1]) == 'O' && Upper(name[2]) == 'M') ||
                      (Upper(name[0]) == 'L' && Upper(name[1]) == 'P' && Upper(name[2]) == 'T'));
    // Windows reserves COM0 and LPT0 too, and the superscript digits 1-3.
    SpiWideChar digit = name[3];
    return port &&
           ((digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3);
}

// A name Windows creates as a plain file in the folder, and nothing else: no
// device, no stream (':'), no name it would change by dropping a trailing
// dot or space, no parent or current folder.
static bool PlainFileName(const SpiWideChar *name) {
    int32_t n = WideLength(name);
    if (n == 0 || name[n - 1] == '.' || name[n - 1] == ' ' || IsDeviceName(name))
        return false;
    for (int32_t i = 0; i < n; i++) {
        SpiWideChar c = name[i];
        if (c < 0x20 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' ||
            c == '*' || c == '/' || c == '\\')
            return false;
    }
    return true;
}

// Writes folder\name into `path`, which has room for the folder, a
// separator and kNameUnits units.
static void JoinPath(SpiWideChar *path, const SpiWideChar *folder, int32_t folderLength,
                     const SpiWideChar *name) {
    memcpy(path, folder, (size_t)folderLength * sizeof *path);
    int32_t at = folderLength;
    if (at > 0 && path[at - 1] != '\\' && path[at - 1] != '/')
        path[at++] = '\\';
    int32_t n = WideLength(name);
    memcpy(path + at, name, (size_t)n * sizeof *path);
    path[at + n] = 0;
}

static void AppendHex(SpiWideChar *text, uint32_t value) {
    int32_t at = WideLength(text);
    for (int shift = 28; shift >= 0; shift -= 4)
        text[at++] = (SpiWideChar) "0123456789abcdef"[(value >> shift) & 0xF];
    text[at] = 0;
}

// Creates a temporary file in the folder under a name never used before by
// this process; it is created exclusively, so it never opens a file that is
// already there. Its path is left in `path`.
static HANDLE CreateTemporary(SpiWideChar *path, const SpiWideChar *folder, int32_t folderLength) {
    static const SpiWideChar kPrefix[] = {'.', 'a', 'x', 'q', 0};
    static const SpiWideChar kDash[] = {'-', 0};
    static const SpiWideChar kSuffix[] = {'.', 't', 'm', 'p', 0};
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int32_t attempt = 0; attempt < kTempAttempts && file == INVALID_HANDLE_VALUE; attempt++) {
        SpiWideChar name[kTempUnits];
        memcpy(name, kPrefix, sizeof kPrefix);
        AppendHex(name, GetCurrentProcessId());
        memcpy(name + WideLength(name), kDash, sizeof kDash);
        AppendHex(name, GetCurrentThreadId());
        memcpy(name + WideLength(name), kDash, sizeof kDash);
        AppendHex(name, (uint32_t)InterlockedIncrement(&tempNames));
        memcpy(name + WideLength(name), kSuffix, sizeof kSuffix);
        JoinPath(path, folder, folderLength, name);
        file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }
    return file;
}

// Copies the range piece by piece, then gives the copy the archive's time.
static bool CopyRange(HANDLE archive, uint32_t start, uint32_t size, HANDLE out, char *piece) {
    bool ok = true;
    for (uint32_t done = 0; ok && done < size;) {
        uint32_t n = size - done < kCopyPiece ? size - done : kCopyPiece;
        DWORD written = 0;
        ok = ReadArchiveAt(archive, start + done, piece, n) == n &&
             WriteFile(out, piece, n, &written, nullptr) && written == n;
        done += n;
    }
    FILETIME stamp;
    return ok && GetFileTime(archive, nullptr, nullptr, &stamp) &&
           SetFileTime(out, nullptr, nullptr, &stamp);
}

int32_t WriteEntryToFolder(HANDLE archive, uint32_t start, uint32_t size, const SpiWideChar *folder,
                           const SpiWideChar *filename) {
    if (!PlainFileName(filename) || (int64_t)start + size > ArchiveSize(archive))
        return SPI_FILE_ERROR;
    int32_t folderLength = WideLength(folder);
    size_t pathBytes = ((size_t)folderLength + 1 + kNameUnits + kTempUnits) * sizeof *folder;
    SpiWideChar *target = (SpiWideChar *)GlobalAlloc(GPTR, pathBytes);
    SpiWideChar *temporary = (SpiWideChar *)GlobalAlloc(GPTR, pathBytes);
    char *piece = (char *)GlobalAlloc(GMEM_FIXED, size < kCopyPiece ? size + 1 : kCopyPiece);
    int32_t result = SPI_NO_MEMORY;
    if (folderLength == 0) {
        result = SPI_FILE_ERROR;
    } else if (target != nullptr && temporary != nullptr && piece != nullptr) {
        JoinPath(target, folder, folderLength, filename);
        HANDLE out = CreateTemporary(temporary, folder, folderLength);
        result = SPI_FILE_ERROR;
        if (out != INVALID_HANDLE_VALUE) {
            bool copied = CopyRange(archive, start, size, out, piece);
            // Closed before the rename: Windows moves no open file.
            bool closed = CloseHandle(out) != 0;
            if (copied && closed && MoveFileExW(temporary, target, MOVEFILE_REPLACE_EXISTING))
                result = SPI_OK;
            else
                DeleteFileW(temporary);
        }
    }
    GlobalFree(piece);
    GlobalFree(temporary);
    GlobalFree(target);
    return result;
}
