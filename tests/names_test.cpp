// quorvel's names layer: code pages, the paths names may become, and
// pattern matching, on decoded characters.
#include "core/names.h"

#include <fnmatch.h>
#include <gtest/gtest.h>
#include <random>

namespace {

Encoding Named(const char *name) {
    Encoding encoding;
    EXPECT_TRUE(ParseEncoding(name, &encoding)) << name;
    return encoding;
}

std::string Decoded(const char *encoding, const std::string &bytes) {
    std::string text;
    return DecodeName(Named(encoding), bytes.data(), bytes.size(), &text) ? text : "<invalid>";
}

std::string Encoded(const char *encoding, const std::string &text) {
    std::string bytes;
    return EncodeName(Named(encoding), text, &bytes) ? bytes : "<none>";
}

// Each code page's names with trail bytes that look like '\' or a letter.
TEST(Names, DoubleByteCodePagesRoundTrip) {
    struct {
        const char *encoding, *bytes, *text;
    } cases[] = {
        {"CP932", "\x83\x5c\x83\x74\x83\x67/\x95\x5c\x8e\xa6.txt", "ソフト/表示.txt"},
        {"SHIFT_JIS", "\x83\x41\x83\x61.png", "アヂ.png"},
        {"GBK", "\xe5\x5c\xd0\x5c\\\xfc\x5c.bin", "錦衆\\黒.bin"},
        {"BIG5", "\xb3\x5c\xa5\x5c\xbb\x5c.txt", "許功蓋.txt"},
        {"UHC", "\x81\x41\x8c\x63.dat", "갂똠.dat"},
        {"CP1252", "caf\xe9.txt", "café.txt"},
        {"UTF-8", "caf\xc3\xa9.txt", "café.txt"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Decoded(c.encoding, c.bytes), c.text) << c.encoding;
        EXPECT_EQ(Encoded(c.encoding, c.text), c.bytes) << c.encoding;
    }
}

TEST(Names, BytesThatAreNoCharacterAreRefused) {
    EXPECT_EQ(Decoded("CP932", "abc\x83"), "<invalid>");      // a lone lead byte at the end
    EXPECT_EQ(Decoded("CP932", "\x81\x20x"), "<invalid>");    // a lead byte without its trail
    EXPECT_EQ(Decoded("UTF-8", "\xc0\xaf"), "<invalid>");     // an overlong '/'
    EXPECT_EQ(Decoded("UTF-8", "\xed\xa0\x80"), "<invalid>"); // a surrogate
    EXPECT_EQ(Decoded("CP932", ""), "<invalid>");
    // Characters the code page has no form for: no look-alike is stored.
    EXPECT_EQ(Encoded("CP1252", "ソ"), "<none>");
    EXPECT_EQ(Encoded("CP932", "café"), "<none>");
    EXPECT_EQ(Encoded("CP932", "\xf0\x9f\x98\x80"), "<none>");
    EXPECT_EQ(Encoded("CP932", "bad \xff utf-8"), "<none>");
}

TEST(Names, EncodingsByNameAndAuto) {
    Encoding encoding;
    for (const char *alias : {"cp932", "Shift_JIS", "SJIS", "ms932"})
        EXPECT_TRUE(ParseEncoding(alias, &encoding) && encoding.name == "CP932") << alias;
    EXPECT_TRUE(ParseEncoding("gbk", &encoding) && encoding.codePage == 936);
    EXPECT_TRUE(ParseEncoding("big5", &encoding) && encoding.codePage == 950);
    EXPECT_TRUE(ParseEncoding("uhc", &encoding) && encoding.codePage == 949);
    EXPECT_FALSE(ParseEncoding("EBCDIC-FR", &encoding));
    EXPECT_FALSE(ParseEncoding("", &encoding));
    EXPECT_TRUE(ParseEncoding("auto", &encoding) && encoding.codePage == 0);
    NameSurvey utf8, other;
    SurveyName("a", 1, &utf8);
    SurveyName("\x83\x5c", 2, &other);
    EXPECT_EQ(ResolveEncoding(encoding, utf8).name, "UTF-8");
    EXPECT_EQ(ResolveEncoding(encoding, other).name, "CP932");
    EXPECT_EQ(ResolveEncoding(Named("GBK"), utf8).name, "CP936");
}

TEST(Names, EscapedBytesShowWhatCouldNotBeRead) {
    EXPECT_EQ(EscapeBytes("a\x83\\z\n", 5), "a\\x83\\x5cz\\x0a");
}

std::string Path(const std::string &name, bool windows = false) {
    std::vector<std::string> components;
    std::string why, joined;
    if (!EntryPath(name, windows, &components, &why))
        return "refused: " + why;
    for (const std::string &c : components)
        joined += "<" + c + ">";
    return joined;
}

TEST(Names, PathsSplitAtDecodedSeparatorsOnly) {
    // ソ and 表 end in the byte of '\', but decoded they are no separators.
    EXPECT_EQ(Path(Decoded("CP932", "\x83\x5c\x83\x74\x83\x67/\x95\x5c\x8e\xa6.txt")),
              "<ソフト><表示.txt>");
    EXPECT_EQ(Path("a\\b//./c"), "<a><b><c>");
    EXPECT_EQ(Path("..a/b.."), "<..a><b..>");
    for (const char *bad :
         {"", "/etc/passwd", "\\x", "C:x", "c:/x", "./d:x", "a/../../b", "..", "./",
          "a\x01"
          "b",
          "tab\there"})
        EXPECT_EQ(Path(bad).rfind("refused: ", 0), 0u) << bad;
}

TEST(Names, WindowsRulesRefuseWhatIsNoPlainFile) {
    for (const char *bad : {"CON", "a/nul.txt", "Com1.tar.gz", "LPT9 ", "aux .x", "prn",
                            "COM\xc2\xb9", "a:b", "x/file:stream", "dot.", "space ", "a<b", "q?"})
        EXPECT_EQ(Path(bad, true).rfind("refused: ", 0), 0u) << bad;
    for (const char *good : {"CONSOLE", "a/nul2.txt", "COM10", "LPT", "x.y", "ｃｏｎ"})
        EXPECT_EQ(Path(good, true).rfind("<", 0), 0u) << good;
    // The same names are plain files on Linux.
    EXPECT_EQ(Path("a/CON.txt"), "<a><CON.txt>");
    EXPECT_EQ(Path("dot."), "<dot.>");
}

TEST(Names, PatternsMatchCharacters) {
    EXPECT_TRUE(MatchName("?.txt", "表.txt", false));
    EXPECT_FALSE(MatchName("??.txt", "表.txt", false));
    EXPECT_TRUE(MatchName("[ア-ン].png", "ヂ.png", false));
    EXPECT_TRUE(MatchName("[!ア].png", "ヂ.png", false));
    EXPECT_TRUE(MatchName("*/*.png", "data/img/x.png", false)); // '/' is not special
    EXPECT_TRUE(MatchName("data\\*", "data\\x", false));        // nor is '\'
    EXPECT_TRUE(MatchName("ЖУК*", "жук.txt", true));
    EXPECT_TRUE(MatchName("ＡＢ", "ａｂ", true));
    EXPECT_FALSE(MatchName("ＡＢ", "ａｂ", false));
    EXPECT_TRUE(MatchName("[", "[", false));
    EXPECT_TRUE(MatchName("[]]", "]", false));
}

// On ASCII, where glibc's fnmatch is reliable (beyond it, glibc 2.36 lets
// "??" match the one character "É"), the matcher agrees with it on every
// pattern.
TEST(Names, PatternsAgreeWithFnmatch) {
    const std::vector<std::string> alphabet = {"a", "b", "A", "/", ".",  "*", "?", "[",
                                               "]", "!", "-", "^", "\\", "B", "z"};
    std::mt19937 random(1);
    auto word = [&](size_t most, bool pattern) {
        std::string text;
        size_t n = random() % (most + 1);
        for (size_t i = 0; i < n; i++) {
            std::string c = alphabet[random() % alphabet.size()];
            if (!pattern && (c == "*" || c == "?" || c == "["))
                c = "a";
            text += c;
        }
        return text;
    };
    for (int i = 0; i < 200000; i++) {
        std::string pattern = word(6, true), name = word(6, false);
        if (pattern.find("[:") != std::string::npos || pattern.find("[=") != std::string::npos ||
            pattern.find("[.") != std::string::npos)
            continue; // classes and collating elements are not ours
        for (bool fold : {false, true}) {
            int flags = FNM_NOESCAPE | (fold ? FNM_CASEFOLD : 0);
            bool expected = fnmatch(pattern.c_str(), name.c_str(), flags) == 0;
            ASSERT_EQ(MatchName(pattern, name, fold), expected)
                << "pattern '" << pattern << "' name '" << name << "' fold " << fold;
        }
    }
}

} // namespace
