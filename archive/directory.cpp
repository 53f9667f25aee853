// Reading an archive: opening it, reading at an offset, and its directory
// text, whose size the first entry line gives.
#include "archive.h"

#include "linebuf/linebuf.h"

#include <string.h>

// One read asks for at most this much: some systems deliver at most about
// 2 GiB per call, and a short piece then means the end of the file.
static constexpr uint32_t kReadPiece = 1u << 30;

HANDLE OpenArchive(const char *fileName) {
    return CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

uint32_t ReadArchive(HANDLE file, void *buffer, uint32_t size) {
    DWORD got = 0;
    ReadFile(file, buffer, size, &got, nullptr);
    return got;
}

uint32_t ReadArchiveAt(HANDLE file, uint32_t offset, void *buffer, uint32_t size) {
    // The offset travels with the read: one system call instead of a seek
    // and a read, which is most of the cost of extracting a small entry.
    uint32_t done = 0;
    bool more = true;
    while (more && done < size) {
        uint32_t piece = size - done < kReadPiece ? size - done : kReadPiece;
        OVERLAPPED at;
        memset(&at, 0, sizeof at);
        uint64_t from = (uint64_t)offset + done;
        at.Offset = (DWORD)from;
        at.OffsetHigh = (DWORD)(from >> 32);
        DWORD got = 0;
        ReadFile(file, (char *)buffer + done, piece, &got, &at);
        done += got;
        more = got == piece;
    }
    return done;
}

int64_t ArchiveSize(HANDLE file) {
    LARGE_INTEGER size;
    return GetFileSizeEx(file, &size) ? (int64_t)size.QuadPart : -1;
}

static bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// Past the line end at `p`: LF, CR, or a pair of the two, as the line buffer reads them.
static const char *PastLineEnd(const char *p) {
    return IsLineEnd(p[1]) && p[1] != p[0] ? p + 2 : p + 1;
}

uint32_t DirectorySize(const char *head) {
    const char *line = head;
    while (*line != '\0' && !IsLineEnd(*line))
        line++;
    if (*line == '\0')
        return 0;
    line = PastLineEnd(line);
    int32_t length = 0;
    while (line[length] != '\0' && !IsLineEnd(line[length]))
        length++;
    return length >= kStartBeforeLf ? ParseDecimal(line + length - kStartBeforeLf) : 0;
}

char *LoadDirectory(HANDLE file) {
    char *directory = nullptr;
    // The probe's last byte stays zero, so it is always a zero-terminated text.
    char *head = (char *)GlobalAlloc(GPTR, kHeadProbeSize + 1);
    if (head == nullptr)
        return nullptr;
    ReadArchiveAt(file, 0, head, kHeadProbeSize);
    int32_t loaded = LineBufferSetText(head);
    GlobalFree(head);
    int32_t length = LineBufferGetLine(nullptr, 1, 0);
    char *line = loaded == 0 ? (char *)GlobalAlloc(GPTR, (size_t)length + 1) : nullptr;
    if (line != nullptr) {
        LineBufferGetLine(line, 1, length);
        // The first entry's start field ends the directory. A line too short
        // to hold one gives an empty directory.
        int32_t copied = (int32_t)strlen(line);
        uint32_t size = copied >= kStartBeforeLf ? ParseDecimal(line + copied - kStartBeforeLf) : 0;
        GlobalFree(line);
        // size + 1 must not wrap to 0.
        if (size < UINT32_MAX)
            directory = (char *)GlobalAlloc(GPTR, (size_t)size + 1);
        if (directory != nullptr)
            ReadArchiveAt(file, 0, directory, size);
    }
    LineBufferClear();
    return directory;
}

uint32_t ParseDecimal(const char *text) {
    if (text == nullptr)
        return 0;
    // Only digits are stepped over, and a digit is always a single-byte
    // character, so a double-byte character ends the number.
    uint32_t value = 0;
    for (const char *p = text; *p >= '0' && *p <= '9'; p++)
        value = value * 10 + (uint32_t)(*p - '0');
    return value;
}

const char *FindChar(const char *text, char c, int32_t limit) {
    for (int32_t i = 0; i < limit && text[i] != '\0'; i++) {
        if (text[i] == c)
            return text + i;
    }
    return nullptr;
}
