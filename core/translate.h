// Messages in the user's language. _() marks a message for translation and
// gives it translated; N_() only marks it, for tables whose texts are
// translated where they are shown; P_() picks the singular or the plural.
// On Linux this is GNU gettext; on Windows the Japanese catalog is built into
// the program and looked up by catalog.h.
#ifndef AXQ_QUORVEL_TRANSLATE_H
#define AXQ_QUORVEL_TRANSLATE_H

#ifdef _WIN32
const char *Translate(const char *message) __attribute__((format_arg(1)));
const char *TranslatePlural(const char *singular, const char *plural, unsigned long n)
    __attribute__((format_arg(1))) __attribute__((format_arg(2)));
#define _(message) Translate(message)
// True when the messages are Japanese (system messages follow them).
bool SpeaksJapanese();
#define P_(singular, plural, n) TranslatePlural(singular, plural, n)
#else
#include <libintl.h>
// The domain is named on each call: the Python module shares its process
// with other programs' messages, and sets no default domain.
#define _(message) dgettext("quorvel", message)
#define P_(singular, plural, n) dngettext("quorvel", singular, plural, n)
#endif
#define N_(message) message

#include <string>

// Chooses the language from the environment (and on Windows, the user's
// display language); called once, first thing.
void StartTranslation();
#ifndef _WIN32
// The same for the Python module, whose catalogs lie beside the module file
// at `module` (PREFIX/lib/python3/dist-packages/quorvel*.so installed, or
// in the build tree): only the messages' category follows the locale, the
// rest of the process is Python's.
void StartModuleTranslation(const std::string &module);
#endif

#endif
