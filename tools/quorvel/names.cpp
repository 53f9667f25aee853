// The names layer's rules on decoded text: which encodings there are, how
// "auto" decides, escaping, the path a name may become, and pattern matching.
// The conversions themselves are the platform's (codepage.cpp).
#include "tools/quorvel/names.h"

#include <algorithm>
#include <ctype.h>
#include <stdio.h>
#include <string.h>

struct EncodingName {
    const char *name;
    uint32_t codePage;
};

// Canonical names first: the first name of a code page is the one shown.
static const EncodingName kEncodings[] = {
    {"UTF-8", kUtf8CodePage}, {"UTF8", kUtf8CodePage},
    {"CP932", 932},           {"SHIFT_JIS", 932},
    {"SHIFT-JIS", 932},       {"SJIS", 932},
    {"MS932", 932},           {"WINDOWS-31J", 932},
    {"CP936", 936},           {"GBK", 936},
    {"CP949", 949},           {"UHC", 949},
    {"CP950", 950},           {"BIG5", 950},
    {"CP1252", 1252},         {"WINDOWS-1252", 1252},
};

static constexpr uint32_t kAutoFallback = 932;

static std::string Upper(std::string text) {
    for (char &c : text)
        c = (char)toupper((unsigned char)c);
    return text;
}

Encoding EncodingOf(uint32_t codePage) {
    for (const EncodingName &e : kEncodings) {
        if (e.codePage == codePage)
            return Encoding{e.name, codePage};
    }
    return Encoding{"CP" + std::to_string(codePage), codePage};
}

bool ParseEncoding(const std::string &text, Encoding *out) {
    std::string upper = Upper(text);
    if (upper == "AUTO") {
        *out = Encoding{"auto", 0};
        return true;
    }
    for (const EncodingName &e : kEncodings) {
        if (upper == e.name && CodePageConverts(e.codePage)) {
            *out = EncodingOf(e.codePage);
            return true;
        }
    }
    return false;
}

std::string AcceptedEncodings() {
    std::string list = "auto";
    for (const EncodingName &e : kEncodings)
        list += std::string(", ") + e.name;
    return list;
}

Encoding ResolveEncoding(const Encoding &chosen, bool allNamesUtf8) {
    if (chosen.codePage != 0)
        return chosen;
    return EncodingOf(allNamesUtf8 ? kUtf8CodePage : kAutoFallback);
}

// The length of the UTF-8 sequence at text[0] and its code point, or 0 if
// it is not a well-formed one.
static size_t DecodeUtf8(const unsigned char *text, size_t size, char32_t *point) {
    unsigned char c = text[0];
    size_t length = c < 0x80 ? 1 : c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
    if (length == 0 || length > size)
        return 0;
    char32_t value = length == 1 ? c : c & (0x7F >> length);
    for (size_t i = 1; i < length; i++) {
        if ((text[i] & 0xC0) != 0x80)
            return 0;
        value = value << 6 | (text[i] & 0x3F);
    }
    static const char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *point = value;
    return length;
}

bool ValidUtf8(const char *bytes, size_t size) {
    const unsigned char *text = (const unsigned char *)bytes;
    for (size_t i = 0; i < size;) {
        char32_t point;
        if (text[i] < 0x80) {
            i++;
            continue;
        }
        size_t length = DecodeUtf8(text + i, size - i, &point);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

bool Utf8ToCodePoints(const std::string &text, std::u32string *points) {
    points->clear();
    const unsigned char *bytes = (const unsigned char *)text.data();
    for (size_t i = 0; i < text.size();) {
        char32_t point;
        size_t length = DecodeUtf8(bytes + i, text.size() - i, &point);
        if (length == 0)
            return false;
        points->push_back(point);
        i += length;
    }
    return true;
}

std::string CodePointsToUtf8(const std::u32string &points) {
    std::string text;
    for (char32_t p : points) {
        if (p < 0x80) {
            text += (char)p;
        } else if (p < 0x800) {
            text += (char)(0xC0 | p >> 6);
            text += (char)(0x80 | (p & 0x3F));
        } else if (p < 0x10000) {
            text += (char)(0xE0 | p >> 12);
            text += (char)(0x80 | (p >> 6 & 0x3F));
            text += (char)(0x80 | (p & 0x3F));
        } else {
            text += (char)(0xF0 | p >> 18);
            text += (char)(0x80 | (p >> 12 & 0x3F));
            text += (char)(0x80 | (p >> 6 & 0x3F));
            text += (char)(0x80 | (p & 0x3F));
        }
    }
    return text;
}

std::string EscapeBytes(const char *bytes, size_t size) {
    std::string text;
    for (size_t i = 0; i < size; i++) {
        unsigned char c = (unsigned char)bytes[i];
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += (char)c;
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            text += hex;
        }
    }
    return text;
}

std::string EscapeControls(const std::string &text) {
    std::string shown;
    for (char c : text) {
        unsigned char u = (unsigned char)c;
        if (u < 0x20 || u == 0x7F)
            shown += EscapeBytes(&c, 1);
        else
            shown += c;
    }
    return shown;
}

// Windows opens these as devices, whatever follows a dot and however written.
static bool IsDeviceName(const std::string &component) {
    std::string base = Upper(component.substr(0, component.find('.')));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *device : kDevices) {
        if (base == device)
            return true;
    }
    // COM0-COM9 and LPT0-LPT9, also with a superscript digit (U+00B9, U+00B2, U+00B3).
    std::string port = base.substr(0, 3);
    std::string digit = base.size() > 3 ? base.substr(3) : "";
    bool isPort = port == "COM" || port == "LPT";
    return isPort && ((digit.size() == 1 && isdigit((unsigned char)digit[0])) ||
                      digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3");
}

static bool WindowsRefuses(const std::string &component, std::string *why) {
    if (component.find(':') != std::string::npos)
        *why = "a ':' names a stream on Windows";
    else if (component.find_first_of("<>\"|?*") != std::string::npos)
        *why = "Windows does not allow < > \" | ? * in file names";
    else if (component.back() == '.' || component.back() == ' ')
        *why = "Windows drops a name's trailing dot or space";
    else if (IsDeviceName(component))
        *why = "a device name on Windows";
    else
        return false;
    return true;
}

bool EntryPath(const std::string &name, bool windowsRules, std::vector<std::string> *components,
               std::string *why) {
    components->clear();
    auto refuse = [&](const char *reason) {
        *why = reason;
        components->clear();
        return false;
    };
    if (name.empty())
        return refuse("the name is empty");
    if (name[0] == '/' || name[0] == '\\')
        return refuse("an absolute name");
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F)
            return refuse("a name with a control character");
    }
    size_t from = 0;
    while (from <= name.size()) {
        size_t end = name.find_first_of("/\\", from);
        if (end == std::string::npos)
            end = name.size();
        std::string part = name.substr(from, end - from);
        if (part == "..")
            return refuse("a name with a '..' component");
        if (!part.empty() && part != ".") {
            if (windowsRules && WindowsRefuses(part, why)) {
                components->clear();
                return false;
            }
            components->push_back(part);
        }
        from = end + 1;
    }
    if (components->empty())
        return refuse("the name is empty");
    // A drive letter, also behind "./": joined with '\' on Windows it would name a drive.
    const std::string &first = components->front();
    if (first.size() >= 2 && first[1] == ':' && isalpha((unsigned char)first[0]))
        return refuse("a name with a drive letter");
    return true;
}

bool HasPatternChars(const std::string &text) {
    return text.find_first_of("*?[") != std::string::npos;
}

// The end of the bracket expression that opens at p[at] ('['), or 0 if it
// is not closed (then '[' is an ordinary character).
static size_t BracketEnd(const std::u32string &p, size_t at) {
    size_t i = at + 1;
    if (i < p.size() && (p[i] == '!' || p[i] == '^'))
        i++;
    if (i < p.size() && p[i] == ']') // a ']' first is one of the set
        i++;
    while (i < p.size() && p[i] != ']')
        i++;
    return i < p.size() ? i : 0;
}

static bool InBracket(const std::u32string &p, size_t open, size_t close, char32_t c) {
    size_t i = open + 1;
    bool negate = p[i] == '!' || p[i] == '^';
    if (negate)
        i++;
    bool found = false;
    while (i < close) {
        // "a-z" is a range of code points; a '-' first or last in the set is itself.
        if (i + 2 < close && p[i + 1] == '-') {
            found = found || (p[i] <= c && c <= p[i + 2]);
            i += 3;
        } else {
            found = found || p[i] == c;
            i++;
        }
    }
    return found != negate;
}

// Iterative matching with one backtrack point for the last '*', as fnmatch
// does without FNM_PATHNAME: linear for the patterns people write.
static bool Match(const std::u32string &p, const std::u32string &s) {
    size_t pi = 0, si = 0, starP = std::u32string::npos, starS = 0;
    while (si < s.size()) {
        if (pi < p.size() && p[pi] == '*') {
            starP = ++pi;
            starS = si;
            continue;
        }
        if (pi < p.size()) {
            size_t close = p[pi] == '[' ? BracketEnd(p, pi) : 0;
            if (close != 0 && InBracket(p, pi, close, s[si])) {
                pi = close + 1;
                si++;
                continue;
            }
            if (close == 0 && (p[pi] == '?' || p[pi] == s[si])) {
                pi++;
                si++;
                continue;
            }
        }
        if (starP == std::u32string::npos)
            return false;
        pi = starP;
        si = ++starS;
    }
    while (pi < p.size() && p[pi] == '*')
        pi++;
    return pi == p.size();
}

bool MatchName(const std::string &pattern, const std::string &name, bool ignoreCase) {
    std::u32string p, s;
    if (!Utf8ToCodePoints(pattern, &p) || !Utf8ToCodePoints(name, &s))
        return false;
    if (ignoreCase) {
        p = FoldCase(p);
        s = FoldCase(s);
    }
    return Match(p, s);
}
