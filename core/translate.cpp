// Chooses the language of quorvel's messages: GNU gettext on Linux; on
// Windows the Japanese catalog built into the program, when the user's
// display language is Japanese or LANGUAGE, LC_ALL, LC_MESSAGES or LANG ask
// for it.
#include "core/translate.h"

#include <stdlib.h>

#ifdef _WIN32
#include "core/catalog.h"

#include <windows.h>

// Made from po/ja.po by msgfmt at build time.
extern const unsigned char kJapaneseCatalog[];
extern const size_t kJapaneseCatalogSize;

static bool japanese;

void StartTranslation() {
    japanese = WantsJapanese(getenv("LANGUAGE"), getenv("LC_ALL"), getenv("LC_MESSAGES"),
                             getenv("LANG"), GetUserDefaultUILanguage());
}

bool SpeaksJapanese() { return japanese; }

static const char *Japanese(const char *message) {
    const char *translated =
        japanese ? CatalogLookUp(kJapaneseCatalog, kJapaneseCatalogSize, message) : nullptr;
    return translated != nullptr && translated[0] != '\0' ? translated : nullptr;
}

const char *Translate(const char *message) {
    const char *translated = Japanese(message);
    return translated != nullptr ? translated : message;
}

// Japanese has one form for every number.
const char *TranslatePlural(const char *singular, const char *plural, unsigned long n) {
    const char *translated = Japanese(singular);
    return translated != nullptr ? translated : n == 1 ? singular : plural;
}
#else
#include <limits.h>
#include <locale.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

static bool IsFolder(const std::string &path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The catalogs installed with the program: PREFIX/share/locale beside
// PREFIX/bin/quorvel, wherever PREFIX is (/usr for the package). Run from
// the build tree, the program finds the catalogs the build made beside it
// in locale/ instead.
static std::string Catalogs() {
    char program[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    if (length <= 0)
        return "/usr/share/locale";
    std::string folder(program, (size_t)length);
    folder.erase(folder.find_last_of('/') + 1);
    std::string installed = folder + "../share/locale", built = folder + "locale";
    return IsFolder(installed) || !IsFolder(built) ? installed : built;
}

void StartTranslation() {
    // Only the messages and the character set follow the locale: numbers,
    // times and names are written the same under every language.
    setlocale(LC_CTYPE, "");
    setlocale(LC_MESSAGES, "");
    // QUORVEL_LOCALEDIR names another folder of catalogs.
    const char *folder = getenv("QUORVEL_LOCALEDIR");
    std::string catalogs = folder != nullptr && folder[0] != '\0' ? folder : Catalogs();
    bindtextdomain("quorvel", catalogs.c_str());
    bind_textdomain_codeset("quorvel", "UTF-8");
}

void StartModuleTranslation(const std::string &module) {
    setlocale(LC_MESSAGES, "");
    std::string folder = module.substr(0, module.find_last_of('/') + 1);
    std::string installed = folder + "../../../share/locale", built = folder + "../locale";
    const char *given = getenv("QUORVEL_LOCALEDIR");
    std::string catalogs = given != nullptr && given[0] != '\0'      ? given
                           : IsFolder(built) && !IsFolder(installed) ? built
                                                                     : installed;
    bindtextdomain("quorvel", catalogs.c_str());
    bind_textdomain_codeset("quorvel", "UTF-8");
}
#endif
