// Code pages of entry names: the encodings quorvel accepts, how "auto"
// decides for an archive, UTF-8, and conversions between stored bytes and
// the UTF-8 text quorvel works with, done by the platform's converters.
#ifndef AXQ_QUORVEL_CODEPAGE_H
#define AXQ_QUORVEL_CODEPAGE_H

#include <stddef.h>
#include <stdint.h>
#include <string>

// A code page for names, by its Windows number. "auto" has number 0 until
// an archive's names decide it (see ResolveEncoding).
struct Encoding {
    std::string name;      // canonical: "UTF-8", "CP932", ...; "auto"
    uint32_t codePage = 0; // 65001, 932, 936, 949, 950, 1252, ...; 0 for auto
};

constexpr uint32_t kUtf8CodePage = 65001;

// Reads a --encoding argument (any case; aliases such as SHIFT_JIS, GBK,
// BIG5, UHC). False if the name is unknown or the platform cannot convert it.
bool ParseEncoding(const std::string &text, Encoding *out);

// The encoding of a code page number, under its canonical name.
Encoding EncodingOf(uint32_t codePage);

// True if the platform can convert names of this code page.
bool CodePageConverts(uint32_t codePage);

// The names ParseEncoding accepts, for an error message.
std::string AcceptedEncodings();

// How the system writes file names: UTF-8 on Linux, the ANSI code page on
// Windows. What pack stores by default.
Encoding SystemEncoding();

// What "auto" learns of an archive's names, one name at a time.
struct NameSurvey {
    bool allUtf8 = true;     // every name is valid UTF-8
    bool allCp932 = true;    // every name is valid CP932 (asked on a Western Windows only),
    bool doubleByte = false; // and some have double-byte characters
};
void SurveyName(const char *bytes, size_t size, NameSurvey *survey);

// Resolves "auto" for an archive: UTF-8 when every name is valid UTF-8 (as
// a tool on a UTF-8 system writes them). Else on Windows the ANSI code page
// if it is 932, 936, 949, 950 or 1252, which is what pack writes there;
// where it is 1252, names that all read as CP932, some of them double-byte,
// are an archive from Japan and read so. Else (Linux too) CP932, the code
// page of most archives. Other encodings stay as given.
Encoding ResolveEncoding(const Encoding &chosen, const NameSurvey &survey);

// Stored bytes to UTF-8 text. False if the bytes are not valid in the code
// page (a lone lead byte, an unassigned character) or decode to nothing.
bool DecodeName(const Encoding &encoding, const char *bytes, size_t size, std::string *text);

// UTF-8 text to stored bytes. False if the text is not valid UTF-8 or some
// character has no exact representation in the code page.
bool EncodeName(const Encoding &encoding, const std::string &text, std::string *bytes);

// True if the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// values past U+10FFFF).
bool ValidUtf8(const char *bytes, size_t size);

// UTF-8 to Unicode code points and back; invalid input gives false.
bool Utf8ToCodePoints(const std::string &text, std::u32string *points);
std::string CodePointsToUtf8(const std::u32string &points);

// Lower-cases every character for case-insensitive comparison, with the
// platform's Unicode case tables.
std::u32string FoldCase(const std::u32string &points);

#ifdef _WIN32
// Between the UTF-8 text quorvel works with and the wide text of Windows' API.
std::wstring Widen(const std::string &text);
std::string Narrow(const std::wstring &text);
#endif

#endif
