// Code pages of names: which encodings there are, how "auto" decides, UTF-8,
// and the conversions, done by the platform: iconv on Linux,
// MultiByteToWideChar and WideCharToMultiByte on Windows. No tables of our own.
#include "core/codepage.h"

#include <ctype.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <iconv.h>
#include <locale.h>
#include <map>
#include <wctype.h>
#endif

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

// What "auto" reads names in that are not all UTF-8: on Windows, the ANSI
// code page where it is one pack writes (932, 936, 949, 950, 1252), so that
// an archive packed there reads back under its own names; elsewhere, and on
// Linux (whose names are UTF-8), CP932, the code page of most archives.
static uint32_t AutoFallback() {
#ifdef _WIN32
    uint32_t system = GetACP();
    for (uint32_t own : {932u, 936u, 949u, 950u, 1252u}) {
        if (system == own)
            return own;
    }
#endif
    return 932;
}

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

void SurveyName(const char *bytes, size_t size, NameSurvey *survey) {
    survey->allUtf8 = survey->allUtf8 && ValidUtf8(bytes, size);
    // Only a Western Windows asks whether the names are CP932.
    if (AutoFallback() != 1252)
        survey->allCp932 = false;
    if (!survey->allCp932)
        return;
    std::string text;
    survey->allCp932 = DecodeName(EncodingOf(932), bytes, size, &text);
    // In a valid name, a byte of a lead byte's range means a double-byte
    // character (itself, or the lead before it).
    for (size_t i = 0; i < size && survey->allCp932 && !survey->doubleByte; i++) {
        unsigned char c = (unsigned char)bytes[i];
        survey->doubleByte = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    }
}

Encoding ResolveEncoding(const Encoding &chosen, const NameSurvey &survey) {
    if (chosen.codePage != 0)
        return chosen;
    if (survey.allUtf8)
        return EncodingOf(kUtf8CodePage);
    uint32_t fallback = AutoFallback();
    if (fallback == 1252 && survey.allCp932 && survey.doubleByte)
        fallback = 932;
    return EncodingOf(fallback);
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

static bool IsAscii(const char *bytes, size_t size) {
    for (size_t i = 0; i < size; i++) {
        if ((unsigned char)bytes[i] >= 0x80)
            return false;
    }
    return true;
}

// Where Unicode's simple case folding differs from lower case: final
// sigma and the Greek symbol forms, the long s, the micro sign, and the
// Cherokee letters, which fold to their capitals.
static char32_t FoldBeyondLower(char32_t c) {
    switch (c) {
    case 0x00B5:
        return 0x03BC;
    case 0x017F:
        return 0x0073;
    case 0x0345:
        return 0x03B9;
    case 0x03C2:
        return 0x03C3;
    case 0x03D0:
        return 0x03B2;
    case 0x03D1:
        return 0x03B8;
    case 0x03D5:
        return 0x03C6;
    case 0x03D6:
        return 0x03C0;
    case 0x03F0:
        return 0x03BA;
    case 0x03F1:
        return 0x03C1;
    case 0x03F5:
        return 0x03B5;
    case 0x1E9B:
        return 0x1E61;
    case 0x1FBE:
        return 0x03B9;
    default:
        break;
    }
    if (c >= 0xAB70 && c <= 0xABBF)
        return c - 0xAB70 + 0x13A0;
    if (c >= 0x13F8 && c <= 0x13FD)
        return c - 8;
    return c;
}

#ifdef _WIN32

bool CodePageConverts(uint32_t codePage) { return IsValidCodePage(codePage) != 0; }

Encoding SystemEncoding() { return EncodingOf(GetACP()); }

// Bytes in a code page to wide text; false for bytes that are not valid there.
static bool ToWide(uint32_t codePage, const char *bytes, size_t size, std::wstring *wide) {
    wide->clear();
    if (size == 0)
        return true;
    int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, (int)size, nullptr, 0);
    if (n <= 0)
        return false;
    wide->resize((size_t)n);
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, (int)size, &(*wide)[0], n) ==
           n;
}

// Wide text to bytes in a code page; false if a character has no exact form
// there (no best-fit look-alikes, no default character).
static bool FromWide(uint32_t codePage, const std::wstring &wide, std::string *bytes) {
    bytes->clear();
    if (wide.empty())
        return true;
    bool utf8 = codePage == CP_UTF8;
    DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL *used = utf8 ? nullptr : &usedDefault;
    int n = WideCharToMultiByte(codePage, flags, wide.data(), (int)wide.size(), nullptr, 0, nullptr,
                                used);
    if (n <= 0 || usedDefault)
        return false;
    bytes->resize((size_t)n);
    n = WideCharToMultiByte(codePage, flags, wide.data(), (int)wide.size(), &(*bytes)[0], n,
                            nullptr, used);
    return n == (int)bytes->size() && !usedDefault;
}

static bool Convert(uint32_t from, uint32_t to, const char *bytes, size_t size, std::string *out) {
    std::wstring wide;
    return ToWide(from, bytes, size, &wide) && FromWide(to, wide, out);
}

std::wstring Widen(const std::string &text) {
    std::wstring wide;
    ToWide(CP_UTF8, text.data(), text.size(), &wide);
    return wide;
}

std::string Narrow(const std::wstring &text) {
    std::string bytes;
    FromWide(CP_UTF8, text, &bytes);
    return bytes;
}

std::u32string FoldCase(const std::u32string &points) {
    std::wstring wide = Widen(CodePointsToUtf8(points));
    if (!wide.empty())
        LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, wide.data(), (int)wide.size(), &wide[0],
                     (int)wide.size());
    std::u32string folded;
    Utf8ToCodePoints(Narrow(wide), &folded);
    for (char32_t &c : folded)
        c = FoldBeyondLower(c);
    return folded;
}

#else

static std::string IconvName(uint32_t codePage) {
    return codePage == kUtf8CodePage ? "UTF-8" : "CP" + std::to_string(codePage);
}

// One converter per direction and code page, opened when first needed and
// kept for the life of the process (never destroyed, so never closed early).
static iconv_t Converter(uint32_t from, uint32_t to) {
    static auto *open = new std::map<std::pair<uint32_t, uint32_t>, iconv_t>;
    auto found = open->find({from, to});
    if (found != open->end())
        return found->second;
    iconv_t converter = iconv_open(IconvName(to).c_str(), IconvName(from).c_str());
    (*open)[{from, to}] = converter;
    return converter;
}

bool CodePageConverts(uint32_t codePage) {
    return Converter(codePage, kUtf8CodePage) != (iconv_t)-1 &&
           Converter(kUtf8CodePage, codePage) != (iconv_t)-1;
}

Encoding SystemEncoding() { return EncodingOf(kUtf8CodePage); }

// iconv stops with EILSEQ at bytes that are not valid (or a character with no
// form in the target) and with EINVAL at a sequence cut short: both fail.
static bool Convert(uint32_t from, uint32_t to, const char *bytes, size_t size, std::string *out) {
    iconv_t converter = Converter(from, to);
    if (converter == (iconv_t)-1)
        return false;
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    out->assign(size * 4 + 16, '\0');
    char *in = (char *)bytes;
    size_t inLeft = size;
    char *output = &(*out)[0];
    size_t outLeft = out->size();
    size_t done = iconv(converter, &in, &inLeft, &output, &outLeft);
    if (done == (size_t)-1 || inLeft != 0 ||
        iconv(converter, nullptr, nullptr, &output, &outLeft) == (size_t)-1)
        return false;
    out->resize(out->size() - outLeft);
    return true;
}

std::u32string FoldCase(const std::u32string &points) {
    // Case tables need a Unicode locale, whatever the user's is; kept for the
    // life of the process.
    static locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    std::u32string folded = points;
    if (unicode != (locale_t)0) {
        for (char32_t &c : folded)
            c = (char32_t)towlower_l((wint_t)c, unicode);
    }
    for (char32_t &c : folded)
        c = FoldBeyondLower(c);
    return folded;
}

#endif

bool DecodeName(const Encoding &encoding, const char *bytes, size_t size, std::string *text) {
    text->clear();
    if (size == 0)
        return false;
    // ASCII is itself in every code page quorvel accepts (and valid UTF-8).
    bool ascii = IsAscii(bytes, size);
    if (ascii || encoding.codePage == kUtf8CodePage) {
        if (!ascii && !ValidUtf8(bytes, size))
            return false;
        text->assign(bytes, size);
        return true;
    }
    return Convert(encoding.codePage, kUtf8CodePage, bytes, size, text) && !text->empty();
}

bool EncodeName(const Encoding &encoding, const std::string &text, std::string *bytes) {
    bytes->clear();
    if (!ValidUtf8(text.data(), text.size()))
        return false;
    if (IsAscii(text.data(), text.size()) || encoding.codePage == kUtf8CodePage) {
        *bytes = text;
        return true;
    }
    // Only an exact round trip counts: the stored name must decode to the text.
    std::string back;
    return Convert(kUtf8CodePage, encoding.codePage, text.data(), text.size(), bytes) &&
           Convert(encoding.codePage, kUtf8CodePage, bytes->data(), bytes->size(), &back) &&
           back == text;
}
