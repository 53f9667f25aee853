// The Windows programs' message catalog: looked up in memory, it gives what
// GNU gettext gives from the same file, and a damaged one gives nothing; and
// the language is chosen as gettext chooses it.
#include "core/catalog.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <libintl.h>
#include <locale.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

namespace {

// The catalog the build compiled from po/ja.po (its path comes from CTest).
std::vector<unsigned char> BuiltCatalog() {
    const char *path = getenv("AXQ_CATALOG");
    std::ifstream in(path != nullptr ? path : "", std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

uint32_t Word(const std::vector<unsigned char> &mo, size_t at) {
    return mo[at] | mo[at + 1] << 8 | mo[at + 2] << 16 | (uint32_t)mo[at + 3] << 24;
}

// Every original of the catalog, read in table order.
std::vector<std::string> Originals(const std::vector<unsigned char> &mo) {
    std::vector<std::string> originals;
    for (uint32_t i = 0; i < Word(mo, 8); i++)
        originals.push_back((const char *)&mo[Word(mo, Word(mo, 12) + 8 * i + 4)]);
    return originals;
}

TEST(Catalog, EveryMessageTranslatesAsGettextDoes) {
    std::vector<unsigned char> mo = BuiltCatalog();
    ASSERT_GT(mo.size(), 20u) << "no catalog at $AXQ_CATALOG";
    if (setlocale(LC_ALL, "ja_JP.UTF-8") == nullptr)
        GTEST_SKIP() << "no Japanese locale";
    std::string folder = getenv("AXQ_CATALOG");
    folder.erase(folder.rfind("/ja/"));
    bindtextdomain("quorvel", folder.c_str());
    bind_textdomain_codeset("quorvel", "UTF-8");
    std::vector<std::string> originals = Originals(mo);
    EXPECT_GT(originals.size(), 50u);
    for (const std::string &original : originals) {
        if (original.empty())
            continue; // the header
        const char *ours = CatalogLookUp(mo.data(), mo.size(), original.c_str());
        ASSERT_NE(ours, nullptr) << original;
        EXPECT_STREQ(ours, dgettext("quorvel", original.c_str())) << original;
        EXPECT_STRNE(ours, original.c_str()) << "untranslated: " << original;
    }
    setlocale(LC_ALL, "C");
}

TEST(Catalog, UnknownMessagesAndDamagedCatalogsGiveNothing) {
    std::vector<unsigned char> mo = BuiltCatalog();
    ASSERT_GT(mo.size(), 20u);
    EXPECT_EQ(CatalogLookUp(mo.data(), mo.size(), "no such message"), nullptr);
    EXPECT_EQ(CatalogLookUp(mo.data(), mo.size(), "~"), nullptr);
    EXPECT_EQ(CatalogLookUp(mo.data(), mo.size(), "\x01"), nullptr);
    // The catalog cut anywhere: an answer, if any, lies whole inside the part.
    const char *message = "not a Quorvel archive";
    for (size_t size = 0; size < mo.size(); size += 7) {
        const char *found = CatalogLookUp(mo.data(), size, message);
        if (found != nullptr) {
            EXPECT_LT((size_t)(found - (const char *)mo.data()) + strlen(found), size);
        }
    }
    // Offsets and counts that point outside the catalog.
    for (size_t field : {8, 12, 16}) {
        std::vector<unsigned char> damaged = mo;
        memset(&damaged[field], 0xff, 4);
        EXPECT_EQ(CatalogLookUp(damaged.data(), damaged.size(), message), nullptr) << field;
    }
    std::vector<unsigned char> swapped = mo;
    std::swap(swapped[0], swapped[3]);
    EXPECT_EQ(CatalogLookUp(swapped.data(), swapped.size(), message), nullptr);
}

TEST(Catalog, LanguageIsChosenAsGettextChoosesIt) {
    constexpr unsigned kJapanese = 0x0411, kEnglish = 0x0409;
    struct {
        const char *language, *lcAll, *lcMessages, *lang;
        unsigned display;
        bool japanese;
    } cases[] = {
        {nullptr, nullptr, nullptr, nullptr, kJapanese, true},
        {nullptr, nullptr, nullptr, nullptr, kEnglish, false},
        {nullptr, nullptr, nullptr, "ja_JP.UTF-8", kEnglish, true},
        {nullptr, nullptr, nullptr, "en_US.UTF-8", kJapanese, false},
        {nullptr, nullptr, nullptr, "C", kJapanese, false},
        {"", "", "", "", kJapanese, true}, // empty is unset
        {nullptr, "ja_JP.UTF-8", nullptr, "en_US.UTF-8", kEnglish, true},
        {nullptr, "C", "ja_JP.UTF-8", nullptr, kJapanese, false},
        {nullptr, nullptr, "ja_JP.eucJP", "en_US.UTF-8", kEnglish, true},
        {"fr:ja", nullptr, nullptr, "en_US.UTF-8", kEnglish, true},
        {"en", nullptr, nullptr, "ja_JP.UTF-8", kJapanese, false},
        {"ja", "C", nullptr, nullptr, kEnglish, false}, // gettext ignores LANGUAGE under C
        {"ja", "POSIX", nullptr, nullptr, kEnglish, false},
        {"ja", "C.UTF-8", nullptr, nullptr, kEnglish, true},
        {nullptr, nullptr, nullptr, "jam", kJapanese, false},
        {"java:en", nullptr, nullptr, nullptr, kJapanese, false},
        {"ja@latin", nullptr, nullptr, nullptr, kEnglish, true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(WantsJapanese(c.language, c.lcAll, c.lcMessages, c.lang, c.display), c.japanese)
            << (c.language ? c.language : "-") << " " << (c.lcAll ? c.lcAll : "-") << " "
            << (c.lcMessages ? c.lcMessages : "-") << " " << (c.lang ? c.lang : "-");
}

} // namespace
