// The names layer's conversions, done by the platform: iconv on Linux,
// MultiByteToWideChar and WideCharToMultiByte on Windows. No tables of our own.
#include "tools/quorvel/names.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <iconv.h>
#include <locale.h>
#include <map>
#include <wctype.h>
#endif

static bool IsAscii(const char *bytes, size_t size) {
    for (size_t i = 0; i < size; i++) {
        if ((unsigned char)bytes[i] >= 0x80)
            return false;
    }
    return true;
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
    return folded;
}

#endif

bool DecodeName(const Encoding &encoding, const char *bytes, size_t size, std::string *text) {
    text->clear();
    if (size == 0)
        return false;
    // ASCII is itself in every code page quorvel accepts.
    if (IsAscii(bytes, size) || encoding.codePage == kUtf8CodePage) {
        if (!ValidUtf8(bytes, size))
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
