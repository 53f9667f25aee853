// The names layer's rules on decoded text: escaping, the path a name may
// become, and pattern matching. Code pages and conversions are codepage.cpp's.
#include "core/names.h"
#include "core/translate.h"

#include <algorithm>
#include <ctype.h>
#include <stdio.h>
#include <string.h>

static std::string Upper(std::string text) {
    for (char &c : text)
        c = (char)toupper((unsigned char)c);
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

static bool IsControl(char c) { return (unsigned char)c < 0x20 || c == 0x7F; }

std::string EscapeControls(const std::string &text) {
    // Most names hold none: they are shown as they are, without a copy
    // built a character at a time. C2 may lead a C1 control.
    if (std::none_of(text.begin(), text.end(),
                     [](char c) { return IsControl(c) || (unsigned char)c == 0xC2; }))
        return text;
    std::string shown;
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char u = (unsigned char)text[i];
        // U+0080-U+009F (C2 80-9F) are controls too: U+009B starts a
        // terminal's control sequence as ESC [ does.
        unsigned char next = i + 1 < text.size() ? (unsigned char)text[i + 1] : 0;
        bool c1 = u == 0xC2 && next >= 0x80 && next < 0xA0;
        if (u < 0x20 || u == 0x7F)
            shown += EscapeBytes(&text[i], 1);
        else if (c1)
            shown += EscapeBytes(&text[i++], 2);
        else
            shown += text[i];
    }
    return shown;
}

bool IsDeviceName(const std::string &component) {
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
        *why = _("a ':' names a stream on Windows");
    else if (component.find_first_of("<>\"|?*") != std::string::npos)
        *why = _("Windows does not allow < > \" | ? * in file names");
    else if (component.back() == '.' || component.back() == ' ')
        *why = _("Windows drops a name's trailing dot or space");
    else if (IsDeviceName(component))
        *why = _("a device name on Windows");
    else
        return false;
    return true;
}

bool HasControl(const std::string &text) {
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char c = (unsigned char)text[i];
        // U+0080-U+009F are C2 80-9F in UTF-8.
        bool c1 = c == 0xC2 && i + 1 < text.size() && (unsigned char)text[i + 1] >= 0x80 &&
                  (unsigned char)text[i + 1] < 0xA0;
        if (c < 0x20 || c == 0x7F || c1)
            return true;
    }
    return false;
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
        return refuse(_("the name is empty"));
    if (name[0] == '/' || name[0] == '\\')
        return refuse(_("an absolute name"));
    if (HasControl(name))
        return refuse(_("a name with a control character"));
    size_t from = 0;
    while (from <= name.size()) {
        size_t end = name.find_first_of("/\\", from);
        if (end == std::string::npos)
            end = name.size();
        std::string part = name.substr(from, end - from);
        if (part == "..")
            return refuse(_("a name with a '..' component"));
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
        return refuse(_("the name is empty"));
    // A drive letter, also behind "./": joined with '\' on Windows it would name a drive.
    const std::string &first = components->front();
    if (first.size() >= 2 && first[1] == ':' && isalpha((unsigned char)first[0]))
        return refuse(_("a name with a drive letter"));
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

char SeparatorFor(bool anySlash, bool anyBackslash) {
    return anySlash && !anyBackslash ? '/' : '\\';
}

bool FolderEntry(const std::string &name, uint64_t size) {
    return size == 0 && !name.empty() && (name.back() == '/' || name.back() == '\\');
}
