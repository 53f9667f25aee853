#include "archive.h"

#include "linebuf/linebuf.h"

#include <string.h>

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
    // It is unsigned, so archives reach 4 GiB - 1.
    OVERLAPPED at;
    memset(&at, 0, sizeof at);
    at.Offset = offset;
    DWORD got = 0;
    ReadFile(file, buffer, size, &got, &at);
    return got;
}

int64_t ArchiveSize(HANDLE file) {
    LARGE_INTEGER size;
    return GetFileSizeEx(file, &size) ? (int64_t)size.QuadPart : -1;
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
