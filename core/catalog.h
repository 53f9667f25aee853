// A compiled message catalog (the .mo file msgfmt writes) read in memory,
// and the choice of language on a system without gettext.
#ifndef AXQ_QUORVEL_CATALOG_H
#define AXQ_QUORVEL_CATALOG_H

#include <stddef.h>

// The translation of `message` in the little-endian catalog `mo`, or null
// when it has none (or the catalog is not one).
const char *CatalogLookUp(const unsigned char *mo, size_t size, const char *message);

// Whether a user wants Japanese, as gettext decides from LANGUAGE, LC_ALL,
// LC_MESSAGES and LANG (each null when unset), and otherwise from the display
// language (a Windows language id; 0x11 is Japanese in its low ten bits).
bool WantsJapanese(const char *language, const char *lcAll, const char *lcMessages,
                   const char *lang, unsigned displayLanguage);

#endif
