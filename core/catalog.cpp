// Reads a compiled message catalog in memory (the Windows programs carry
// theirs inside), and decides the language as gettext would.
#include "core/catalog.h"

#include <stdint.h>
#include <string.h>

static constexpr uint32_t kMagic = 0x950412de;

static uint32_t Word(const unsigned char *at) {
    return (uint32_t)at[0] | (uint32_t)at[1] << 8 | (uint32_t)at[2] << 16 | (uint32_t)at[3] << 24;
}

// String `i` of the table at `table`: null unless it lies whole in the
// catalog, its terminating zero included.
static const char *String(const unsigned char *mo, size_t size, uint32_t table, uint32_t i) {
    uint64_t slot = (uint64_t)table + (uint64_t)i * 8;
    if (slot + 8 > size)
        return nullptr;
    uint64_t length = Word(mo + slot), offset = Word(mo + slot + 4);
    if (offset + length >= size || mo[offset + length] != '\0')
        return nullptr;
    return (const char *)mo + offset;
}

const char *CatalogLookUp(const unsigned char *mo, size_t size, const char *message) {
    if (size < 20 || Word(mo) != kMagic)
        return nullptr;
    uint32_t count = Word(mo + 8), originals = Word(mo + 12), translations = Word(mo + 16);
    // msgfmt sorts the originals, so a binary search finds one. A plural
    // original is "singular\0plural", which compares as its singular.
    uint32_t low = 0, high = count;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        const char *original = String(mo, size, originals, middle);
        if (original == nullptr)
            return nullptr;
        int order = strcmp(message, original);
        if (order == 0)
            return String(mo, size, translations, middle);
        if (order < 0)
            high = middle;
        else
            low = middle + 1;
    }
    return nullptr;
}

// "ja", "ja_JP", "ja_JP.UTF-8", "ja@...": Japanese.
static bool IsJapanese(const char *name, size_t length) {
    return length >= 2 && name[0] == 'j' && name[1] == 'a' &&
           (length == 2 || name[2] == '_' || name[2] == '.' || name[2] == '@');
}

static bool IsSet(const char *value) { return value != nullptr && value[0] != '\0'; }

bool WantsJapanese(const char *language, const char *lcAll, const char *lcMessages,
                   const char *lang, unsigned displayLanguage) {
    const char *locale = IsSet(lcAll) ? lcAll : IsSet(lcMessages) ? lcMessages : lang;
    // The C locale means untranslated messages, whatever LANGUAGE says.
    if (IsSet(locale) && (strcmp(locale, "C") == 0 || strcmp(locale, "POSIX") == 0))
        return false;
    // LANGUAGE lists languages in order of preference; only Japanese has a
    // catalog, so any mention of it wins.
    if (IsSet(language)) {
        for (const char *item = language; *item != '\0';) {
            size_t length = strcspn(item, ":");
            if (IsJapanese(item, length))
                return true;
            item += length + (item[length] == ':' ? 1 : 0);
        }
        return false;
    }
    if (IsSet(locale))
        return IsJapanese(locale, strlen(locale));
    constexpr unsigned kJapanese = 0x11; // LANG_JAPANESE, the low ten bits of a language id
    return (displayLanguage & 0x3ff) == kJapanese;
}
