// Entry names in the system's ANSI code page: stepping by character, the cut
// of a long name to what a record holds, the parts a record leaves out, and
// comparison without regard to case.
#include "archive.h"

// A lead byte starts a double-byte character unless the name ends there.
static int32_t CharSize(const char *name) {
    return IsDBCSLeadByte((BYTE)name[0]) && name[1] != '\0' ? 2 : 1;
}

int32_t CutNameLength(const char *name, int32_t length) {
    if (length <= kMaxNameLength)
        return length;
    // Step whole characters, so that the cut never leaves a lone lead byte.
    int32_t cut = 0;
    while (cut + CharSize(name + cut) <= kMaxNameLength)
        cut += CharSize(name + cut);
    return cut;
}

int32_t DropClimbingName(char *name, int32_t length) {
    return DropClimbingParts(name, length, [](const char *c, int32_t left) {
        return IsDBCSLeadByte((BYTE)c[0]) && left > 1 ? 2 : 1;
    });
}

static char FoldLetter(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; }

int32_t SameNameIgnoringCase(const char *a, const char *b) {
    while (*a != '\0' && *b != '\0') {
        int32_t size = CharSize(a);
        if (size != CharSize(b))
            return 0;
        // A double-byte character matches only itself: its trail byte may
        // look like a letter, but it is not one.
        if (size == 2 && (a[0] != b[0] || a[1] != b[1]))
            return 0;
        if (size == 1 && FoldLetter(*a) != FoldLetter(*b))
            return 0;
        a += size;
        b += size;
    }
    return *a == *b;
}
