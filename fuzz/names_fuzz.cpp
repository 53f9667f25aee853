// Any bytes as an entry name, in each code page quorvel reads, under the
// Linux and the Windows rules: the names layer either refuses the name or
// gives a relative path that stays below the target folder. The path is
// checked by rules written here again, independently of the code under test.
// Input: one byte choosing the code page and the rules, then the name.
#include "core/names.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

static const char *const kEncodings[] = {"UTF-8", "CP932", "GBK", "BIG5", "UHC", "CP1252"};

static std::string Upper(std::string text) {
    for (char &c : text)
        c = (char)toupper((unsigned char)c);
    return text;
}

// Windows opens these as devices: the name before any dot, without trailing
// spaces, is CON, PRN, AUX, NUL, CONIN$, CONOUT$, or COM or LPT and a digit
// (also a superscript 1, 2 or 3).
static bool Device(const std::string &component) {
    std::string base = Upper(component);
    base = base.substr(0, base.find('.'));
    base.erase(base.find_last_not_of(' ') + 1);
    for (const char *name : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (base == name)
            return true;
    }
    if (base.size() < 4 || (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0))
        return false;
    std::string rest = base.substr(3);
    return (rest.size() == 1 && rest[0] >= '0' && rest[0] <= '9') || rest == "\xc2\xb9" ||
           rest == "\xc2\xb2" || rest == "\xc2\xb3";
}

// What a component of a path below the target may be.
static bool Safe(const std::string &component, bool windows, bool first) {
    if (component.empty() || component == "." || component == "..")
        return false;
    for (unsigned char c : component) {
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F)
            return false;
        if (windows && strchr(":<>\"|?*", c) != nullptr)
            return false;
    }
    if (first && component.size() >= 2 && isalpha((unsigned char)component[0]) &&
        component[1] == ':')
        return false; // a drive
    if (windows && (component.back() == '.' || component.back() == ' ' || Device(component)))
        return false;
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    Encoding encoding;
    if (!ParseEncoding(kEncodings[data[0] % 6], &encoding))
        abort();
    bool windows = (data[0] & 0x80) != 0;
    const char *bytes = (const char *)data + 1;
    size_t length = strnlen(bytes, size - 1); // a stored name ends at its zero byte

    std::string text;
    if (!DecodeName(encoding, bytes, length, &text))
        return 0;
    // The text is UTF-8 and encodes back to bytes that decode to it again.
    std::string stored, again;
    if (!ValidUtf8(text.data(), text.size()))
        abort();
    if (EncodeName(encoding, text, &stored) &&
        (!DecodeName(encoding, stored.data(), stored.size(), &again) || again != text))
        abort();

    std::vector<std::string> components;
    std::string why;
    if (!EntryPath(text, windows, &components, &why)) {
        if (why.empty() || !components.empty())
            abort();
        return 0;
    }
    if (components.empty())
        abort();
    for (size_t i = 0; i < components.size(); i++) {
        if (!Safe(components[i], windows, i == 0))
            abort();
    }
    // A name matches itself as a pattern when it holds no pattern characters.
    if (!HasPatternChars(text) && !MatchName(text, text, false))
        abort();
    return 0;
}
