#include "linebuf.h"

#include "platform/platform.h"

#include <string.h>

// The index starts with room for this many entries, and its room is always a
// multiple of it. It doubles when full, so that indexing a directory of a
// million lines copies the entries a few times, not ten thousand times.
static constexpr int32_t kIndexStep = 100;
static constexpr int32_t kLargestIndex = 0x1FFFFFFF / kIndexStep * kIndexStep;
static constexpr size_t kLargestText = kLargestLineBufferText;

static char *text;
static int32_t *lineIndex; // lineIndex[j]: offset of the last character of line end j
static int32_t count;
static char *savedText;
static int32_t *savedIndex;
static int32_t savedCount;
static int32_t snapshotFlag;

static void *Obtain(size_t bytes) { return GlobalAlloc(GPTR, bytes); }
static void Release(void *block) { GlobalFree(block); }

static bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

static int32_t LineStart(int32_t k) { return k == 0 ? 0 : lineIndex[k - 1] + 1; }

static int32_t LineLength(int32_t k) {
    return k == 0 ? lineIndex[0] + 1 : lineIndex[k] - lineIndex[k - 1];
}

static int32_t TextLength(const char *s) { return (int32_t)strlen(s); }

int32_t LineBufferSetText(const char *source) {
    if (source == nullptr) {
        LineBufferClear();
        return -1;
    }
    Release(text);
    Release(lineIndex);
    text = nullptr;
    lineIndex = nullptr;
    count = 0;
    size_t length = strlen(source);
    if (length > kLargestText)
        return -1;
    text = (char *)Obtain(length + 3);
    if (text == nullptr)
        return -1;
    memcpy(text, source, length + 1);
    // A text whose last line is unterminated gets a line feed, unless the
    // character before the last already ends a line.
    bool endsLine = (length >= 1 && IsLineEnd(text[length - 1])) ||
                    (length >= 2 && IsLineEnd(text[length - 2]));
    if (!endsLine) {
        text[length] = '\n';
        text[length + 1] = '\0';
    }
    return LineBufferBuildIndex();
}

int32_t LineBufferBuildIndex(void) {
    if (text == nullptr)
        return 0;
    count = 0;
    Release(lineIndex);
    lineIndex = (int32_t *)Obtain(kIndexStep * sizeof(int32_t));
    if (lineIndex == nullptr)
        return -1;
    int32_t result = 0;
    int32_t room = kIndexStep;
    int32_t n = 0;
    for (int32_t i = 0;; i++) {
        if (n + 1 >= room) {
            int32_t larger = room <= kLargestIndex / 2 ? room * 2 : kLargestIndex;
            int32_t *grown =
                larger > room ? (int32_t *)Obtain((size_t)larger * sizeof(int32_t)) : nullptr;
            if (grown == nullptr) {
                result = -1;
                break;
            }
            memcpy(grown, lineIndex, (size_t)room * sizeof(int32_t));
            Release(lineIndex);
            lineIndex = grown;
            room = larger;
        }
        char c = text[i];
        if (c == '\0') {
            lineIndex[n++] = i;
            break;
        }
        if (IsLineEnd(c)) {
            // CR LF and LF CR are one line end, recorded at its second character.
            if (IsLineEnd(text[i + 1]) && text[i + 1] != c)
                i++;
            lineIndex[n++] = i;
        }
    }
    lineIndex[n] = lineIndex[n - 1];
    count = n - 1;
    return result;
}

int32_t LineBufferClear(void) {
    Release(text);
    Release(lineIndex);
    Release(savedText);
    Release(savedIndex);
    text = nullptr;
    lineIndex = nullptr;
    savedText = nullptr;
    savedIndex = nullptr;
    count = 0;
    savedCount = 0;
    snapshotFlag = 0;
    return 1;
}

int32_t LineBufferLineCount(void) { return text == nullptr ? -1 : count; }

int32_t LineBufferGetLine(char *destination, int32_t k, int32_t capacity) {
    if (k > count || k < 0 || text == nullptr || lineIndex == nullptr)
        return 0;
    int32_t length = LineLength(k);
    if (destination == nullptr || capacity < 1)
        return length;
    destination[0] = '\0';
    CopySpan(destination, text, length, LineStart(k), capacity);
    size_t copied = strlen(destination);
    if (copied > 0 && IsLineEnd(destination[copied - 1]))
        destination[copied - 1] = '\0';
    return 0;
}

void CopySpan(char *destination, const char *source, int32_t length, int32_t offset,
              int32_t capacity) {
    int32_t m = length < capacity ? length : capacity;
    if (m < 1)
        return;
    int32_t i = 0;
    for (; i < m - 1 && source[offset + i] != '\0'; i++)
        destination[i] = source[offset + i];
    destination[i] = '\0';
    destination[m] = '\0';
}

int32_t LineBufferGetText(char *destination, int32_t capacity) {
    if (text == nullptr)
        return -1;
    int32_t length = TextLength(text);
    if (destination != nullptr && capacity > 0) {
        int32_t n = capacity - 1 < length ? capacity - 1 : length;
        memcpy(destination, text, (size_t)n);
        destination[n] = '\0';
        if (capacity >= length)
            return 0;
    }
    return length;
}

int32_t LineBufferInsertLine(char *line, int32_t k, int32_t replace) {
    if (text == nullptr)
        return -1;
    if (line == nullptr || k < -1)
        return 0;
    int32_t lineLength = TextLength(line);
    ReplaceChar(line, '\r', '\0', lineLength);
    ReplaceChar(line, '\n', '\0', lineLength);
    int32_t T = TextLength(text);
    int32_t M = TextLength(line);
    if ((size_t)T + (size_t)M + 6 > kLargestText)
        return 0;
    int32_t limit = T + M + 5;
    char *next = (char *)Obtain((size_t)limit + 1);
    if (next == nullptr)
        return 0;
    // The new text is: `keep` bytes of the old text, the line and LF, then `rest`.
    int32_t keep;
    const char *rest;
    if (k == -1) {
        keep = T;
        rest = "";
    } else if ((replace & 0xFFFF) != 0 && count > 0 && k < count) {
        keep = LineStart(k);
        rest = text + lineIndex[k] + 1;
    } else if (count == 0 || k == 0) {
        keep = 0;
        rest = count > 0 ? text : "";
    } else {
        if (k > count)
            k = count; // inserting at the end drops an unterminated last stretch
        keep = LineStart(k);
        rest = k < count ? text + keep : "";
    }
    memcpy(next, text, (size_t)keep);
    AppendBounded(next, line, limit);
    AppendBounded(next, "\n", limit);
    AppendBounded(next, rest, limit);
    Release(text);
    text = next;
    LineBufferBuildIndex();
    return 1;
}

int32_t LineBufferDeleteLine(int32_t k) {
    if (text == nullptr || lineIndex == nullptr || k < 0 || k > count)
        return -1;
    // After a delete that left the index unrebuilt, its entries may lie past
    // the shortened text; never move bytes from beyond the closing zero.
    int32_t length = TextLength(text);
    int32_t start = LineStart(k) < length ? LineStart(k) : length;
    int32_t after = lineIndex[k] + 1 < length ? lineIndex[k] + 1 : length;
    memmove(text + start, text + after, (size_t)(length - after + 1));
    if (count > 1)
        LineBufferBuildIndex();
    else
        count = 0;
    return 0;
}

int32_t LineBufferFindLine(int32_t *positionOut, const char *needle, int32_t firstLine) {
    if (text == nullptr)
        return -1;
    int32_t result = 0;
    int32_t found = -1;
    if (firstLine < 0) {
        // Lines before line 0 are empty, and an empty line's search gives -2.
        result = -2;
        firstLine = 0;
    }
    for (int32_t k = firstLine; k < count; k++) {
        int32_t length = LineBufferGetLine(nullptr, k, 0);
        char *copy = (char *)Obtain((size_t)length + 1);
        if (copy == nullptr)
            continue;
        LineBufferGetLine(copy, k, length);
        result = FindSubstring(copy, needle, 0);
        Release(copy);
        if (result >= 0) {
            found = k;
            break;
        }
    }
    if (positionOut != nullptr)
        *positionOut = result;
    return found;
}

int32_t LineBufferSave(void) {
    if (snapshotFlag == 1)
        return 0;
    snapshotFlag = 1;
    Release(savedText);
    Release(savedIndex);
    savedText = text;
    savedIndex = lineIndex;
    savedCount = count;
    text = nullptr;
    lineIndex = nullptr;
    count = 0;
    return 1;
}

int32_t LineBufferRestore(void) {
    if (snapshotFlag == 0)
        return 0;
    snapshotFlag = 0;
    Release(text);
    Release(lineIndex);
    text = savedText;
    lineIndex = savedIndex;
    count = savedCount;
    savedText = nullptr;
    savedIndex = nullptr;
    savedCount = 0;
    return 1;
}

int32_t LineBufferSwap(void) {
    if (snapshotFlag == 0)
        return 0;
    char *t = text;
    int32_t *x = lineIndex;
    int32_t c = count;
    text = savedText;
    lineIndex = savedIndex;
    count = savedCount;
    savedText = t;
    savedIndex = x;
    savedCount = c;
    return 1;
}

int32_t FindSubstring(const char *haystack, const char *needle, int32_t from) {
    if (haystack == nullptr || needle == nullptr || *haystack == '\0' || *needle == '\0')
        return -2;
    if (from < 0)
        from = 0;
    int32_t length = TextLength(haystack);
    for (int32_t i = from; i < length; i++) {
        int32_t j = 0;
        while (needle[j] != '\0' && haystack[i + j] == needle[j])
            j++;
        if (needle[j] == '\0')
            return i;
    }
    return -1;
}

void ReplaceChar(char *text, char c, char replacement, int32_t limit) {
    for (int32_t i = 0; i < limit; i++) {
        if (c != '\0') {
            if (text[i] == '\0')
                return;
            if (text[i] == c)
                text[i] = replacement;
        } else if (text[i] == '\0') {
            // The byte after the limit is never read: the walk ends there anyway.
            bool last = i + 1 >= limit || text[i + 1] == '\0';
            text[i] = replacement;
            if (last)
                return;
        }
    }
}

void AppendBounded(char *destination, const char *source, int32_t limit) {
    int32_t n = 0;
    while (n < limit && destination[n] != '\0')
        n++;
    if (n >= limit)
        return;
    while (n < limit && *source != '\0')
        destination[n++] = *source++;
    destination[n] = '\0';
}
