// Names admitted for writing, and the clash check a name at a time.
#include "core/admit.h"

#include "archive/archive.h"
#include "core/account.h"
#include "core/names.h"
#include "core/translate.h"

#include <algorithm>
#include <vector>

bool AdmitName(const std::string &name, const Encoding &encoding, char separator,
               std::string *stored, Failure *failure) {
    std::string shown = ValidUtf8(name.data(), name.size()) ? EscapeControls(name)
                                                            : EscapeBytes(name.data(), name.size());
    std::vector<std::string> components;
    std::string why;
    if (!ValidUtf8(name.data(), name.size())) {
        *failure = Fail(FailureKind::kBadName, shown, N_("its name is not valid UTF-8 text"));
        return false;
    }
#ifdef _WIN32
    constexpr bool kWindowsNames = true;
#else
    constexpr bool kWindowsNames = false;
#endif
    if (!EntryPath(name, kWindowsNames, &components, &why)) {
        *failure = Fail(FailureKind::kBadName, shown, N_("refused: %s"), {why});
        return false;
    }
    // Stored as pack stores a path: its parts without empty or "." ones,
    // and a closing separator kept (it makes a folder entry).
    size_t first = name.find_first_of("/\\");
    char between = separator != 0 ? separator : first != std::string::npos ? name[first] : '/';
    std::string text;
    for (const std::string &component : components)
        text += (text.empty() ? "" : std::string(1, between)) + component;
    if (name.back() == '/' || name.back() == '\\')
        text += between;
    if (!EncodeName(encoding, text, stored)) {
        *failure =
            Fail(FailureKind::kBadName, shown,
                 N_("the name has no representation in %s (see --encoding)"), {encoding.name});
        return false;
    }
    if (stored->size() > (size_t)kMaxNameLength) {
        *failure = Fail(FailureKind::kBadName, shown,
                        N_("a name longer than 199 bytes as stored cannot be stored"));
        return false;
    }
    return true;
}

bool NameIndex::Add(const std::string &stored, bool folder, const std::string &shown,
                    Failure *failure) {
    std::string path = NamePath(stored.c_str(), folder, encoding_);
    bool raw = !path.empty() && path[0] == '\0';
    bool folderEntry = !path.empty() && path.back() == '/';
    // The folders on the way: the part before each '/'.
    std::vector<std::string> on;
    for (size_t slash = raw ? std::string::npos : path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        on.push_back(path.substr(0, slash));
    auto found = paths_.find(path);
    if (found != paths_.end() && !folderEntry) {
        *failure =
            Fail(FailureKind::kBadName, "",
                 N_("%s would be stored more than once; the archive is left as it is"), {shown});
        return false;
    }
    auto below = folders_.find(path);
    if (below != folders_.end()) {
        *failure =
            Fail(FailureKind::kBadName, "",
                 N_("%s would be both a file and a folder (of %s); the archive is left as it is"),
                 {shown, below->second});
        return false;
    }
    for (const std::string &folderPath : on) {
        auto file = paths_.find(folderPath);
        if (file != paths_.end()) {
            *failure = Fail(
                FailureKind::kBadName, "",
                N_("%s would be both a file and a folder (of %s); the archive is left as it is"),
                {file->second, shown});
            return false;
        }
    }
    paths_.emplace(path, shown);
    for (const std::string &folderPath : on)
        folders_.emplace(folderPath, shown);
    return true;
}

void NameIndex::Clear() {
    paths_.clear();
    folders_.clear();
}
