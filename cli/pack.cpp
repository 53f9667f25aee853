// The commands that write archives: pack (a new one from files) and update
// (an existing one with files replaced or added). Names are converted into
// the archive's code page here; the writing is the writer's.
#include "core/account.h"
#include "core/files.h"
#include "core/host.h"
#include "core/names.h"
#include "core/output.h"
#include "cli/quorvel.h"
#include "core/select.h"
#include "core/writer.h"
#include "core/translate.h"

#include "archive/archive.h"

#include <algorithm>
#include <functional>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <string.h>

// Control characters that extract refuses; a TAB, CR or LF is refused as
// the format's own limit when the whole archive is checked.
static bool HasControlCharacter(const std::string &name) {
    std::string other = name;
    other.erase(std::remove_if(other.begin(), other.end(),
                               [](char c) { return c == '\t' || c == '\r' || c == '\n'; }),
                other.end());
    return HasControl(other);
}

// The name to store for an input file, converted into the archive's code
// page, with `separator` between folders; false with the reason.
bool StoredName(const std::string &name, const Encoding &encoding, char separator,
                std::string *stored, std::string *why) {
    bool outside = name.empty() || name[0] == '/' || name == ".." || name.rfind("../", 0) == 0 ||
                   (name.size() >= 2 && name[1] == ':');
    if (!ValidUtf8(name.data(), name.size()))
        *why = _("its name is not valid UTF-8 text");
    else if (outside)
        *why = _("give it as a path below the current folder");
    else if (HasControlCharacter(name))
        *why = _("a name with a control character is not stored, as extract refuses it");
#ifndef _WIN32
    else if (name.find('\\') != std::string::npos)
        *why = _("a backslash in a name would read as a folder separator");
#else
    // Windows opens another file than such a name says (it drops a trailing
    // dot or space), a stream or a device; extract refuses them too.
    std::vector<std::string> components;
    if (why->empty())
        EntryPath(name, true, &components, why);
#endif
    if (!why->empty())
        return false;
    std::string text = name;
    std::replace(text.begin(), text.end(), '/', separator);
    if (!EncodeName(encoding, text, stored)) {
        *why = Format(_("the name has no representation in %s (see --encoding)"),
                      encoding.name.c_str());
        return false;
    }
    return true;
}

// Gives `each` the lines of a list file ("-" for standard input), one at a
// time as they are read: one file or folder each, where '\' separates
// folders as '/' does (the output of list names entries as stored). A line
// is UTF-8 where it is valid UTF-8 (a byte-order mark before the first is
// skipped), else text in `encoding`, decoded before its separators are
// read: a double-byte character's second byte may be '\'. False, reported,
// when the file cannot be read or `each` returns false.
static bool ReadListFile(const std::string &path, const Encoding &encoding,
                         const std::function<bool(const std::string &)> &each) {
    FILE *in = path == "-" ? stdin : OpenFile(path, "rb");
    if (in == nullptr) {
        Error(path, "%s", SystemText(errno).c_str());
        return false;
    }
    std::string line, text;
    int c;
    bool taken = true, first = true;
    while (taken && ((c = fgetc(in)) != EOF || !line.empty())) {
        if (c == '\n' || c == EOF) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (first && line.rfind("\xEF\xBB\xBF", 0) == 0)
                line.erase(0, 3);
            first = false;
            if (!ValidUtf8(line.data(), line.size()) &&
                DecodeName(encoding, line.data(), line.size(), &text))
                line.swap(text);
            std::replace(line.begin(), line.end(), '\\', '/');
            taken = line.empty() || each(line);
            line.clear();
        } else {
            line += (char)c;
        }
    }
    bool failed = ferror(in) != 0;
    if (failed)
        Error(path, "%s", SystemText(errno).c_str());
    if (in != stdin)
        fclose(in);
    return taken && !failed;
}

// Sorts the inputs from `first` on by name. Inputs of one name are one file
// given twice, which is refused whatever their order, so the sort need not
// be stable (a stable one would hold a copy of them all).
static void SortInputs(InputFiles *inputs, size_t first) {
    std::sort(inputs->inputs.begin() + (ptrdiff_t)first, inputs->inputs.end(),
              [inputs](const InputFiles::Input &a, const InputFiles::Input &b) {
                  return InputName(*inputs, a) < InputName(*inputs, b);
              });
}

// Adds the input files of one argument, its folder's files sorted unless
// all are sorted together afterwards (`sortedLater`). In a
// list file's line (`listed`), a folder named with a separator at its end is
// a folder entry (as list shows one), and not the files below it, which
// their own lines name.
static bool AddArgument(const std::string &argument, bool listed, bool sortedLater,
                        const Options &options, InputFiles *inputs) {
    // -C: the files are read relative to that folder, and named from it.
    std::string base = options.directory == "." ? "" : options.directory;
    size_t last = argument.find_last_not_of('/');
    bool folderEntry = listed && last != std::string::npos && last + 1 < argument.size();
    size_t first = InputCount(*inputs);
    if (!CollectInputs(folderEntry ? argument.substr(0, last + 1) : argument, inputs, base,
                       folderEntry, PrintFailure))
        return false;
    if (!sortedLater)
        SortInputs(inputs, first);
    return true;
}

// The input files of the arguments, in their order (each folder's files
// sorted), or sorted all together.
bool Inputs(const std::vector<std::string> &arguments, bool sorted, const Options &options,
            InputFiles *inputs) {
    for (const std::string &argument : arguments)
        if (!AddArgument(argument, false, sorted, options, inputs))
            return false;
    if (sorted)
        SortInputs(inputs, 0);
    return true;
}

// The archive being written is never one of its own inputs (found by file,
// whatever path names it): a second `pack -o out.dat .` would store the old
// archive inside the new one, which then doubles each time.
bool InputsLeaveOut(const std::string &archive, const InputFiles &inputs) {
    FileIdentity target, input;
    if (!IdentityOf(archive, &target))
        return true;
    for (size_t i = 0; i < InputCount(inputs); i++) {
        if (InputSize(inputs, i) == target.size && IdentityOf(InputPath(inputs, i), &input) &&
            input == target) {
            Error(archive,
                  _("is the archive being written, so it cannot be one of its inputs (%s); the "
                    "archive is left as it is"),
                  EscapeControls(std::string(InputName(inputs, i))).c_str());
            return false;
        }
    }
    return true;
}

// Input i as the entry `stored`, into `entry`, which may be one reused:
// nothing of what it was stays.
void FromFile(const InputFiles &inputs, size_t i, const std::string &stored, NewEntry *entry) {
    *entry = NewEntry();
    entry->storedName = stored;
    entry->shownName = InputName(inputs, i);
    entry->size = InputSize(inputs, i);
    entry->file = InputPath(inputs, i);
    entry->bytes = entry->file.empty() ? "" : nullptr; // a folder entry has no file
}

// Every input's name as stored can be stored, and no two are one: the first
// input, in order, that cannot or whose stored name an input before it has
// is reported. Stored names are compared by hash, and only the few whose
// hashes meet by name, so that a million names are not held twice.
static bool StoredNamesAreDistinct(const InputFiles &inputs, const Encoding &encoding,
                                   char separator) {
    size_t count = InputCount(inputs), failed = count;
    std::string stored, failure;
    std::vector<uint64_t> hashes;
    hashes.reserve(count);
    for (size_t i = 0; i < count && failed == count; i++) {
        std::string why;
        if (StoredName(std::string(InputName(inputs, i)), encoding, separator, &stored, &why))
            hashes.push_back(std::hash<std::string>{}(stored));
        else
            failed = i, failure = why;
    }
    std::sort(hashes.begin(), hashes.end());
    std::unordered_set<uint64_t> repeated;
    for (size_t i = 1; i < hashes.size(); i++)
        if (hashes[i] == hashes[i - 1])
            repeated.insert(hashes[i]);
    std::vector<uint64_t>().swap(hashes);
    std::unordered_set<std::string> seen;
    for (size_t i = 0; i < failed && !repeated.empty(); i++) {
        std::string why;
        StoredName(std::string(InputName(inputs, i)), encoding, separator, &stored, &why);
        if (repeated.count(std::hash<std::string>{}(stored)) != 0 && !seen.insert(stored).second)
            failed = i, failure = _("is given more than once");
    }
    if (failed < count)
        Error(EscapeControls(std::string(InputName(inputs, failed))), "%s", failure.c_str());
    return failed == count;
}

bool TargetAllowed(const std::string &path) {
    Failure failure;
    if (CheckWriteTarget(path, &failure))
        return true;
    PrintFailure(failure);
    return false;
}

int Pack(const Options &options) {
    RemoveTemporaryOnInterrupt();
    if (!TargetAllowed(options.output))
        return kExitArchive;
    // A list's lines are taken as they are read, and keep their order.
    InputFiles inputs;
    // A list not in UTF-8 is in the archive's code page (--encoding), or
    // the system's.
    Encoding listEncoding = options.encoding.codePage != 0 ? options.encoding : SystemEncoding();
    if (!options.listFile.empty() &&
        !ReadListFile(options.listFile, listEncoding, [&](const std::string &line) {
            return AddArgument(line, true, false, options, &inputs);
        }))
        return kExitArchive;
    if (!Inputs(options.operands, options.listFile.empty(), options, &inputs) ||
        !InputsLeaveOut(options.output, inputs))
        return kExitArchive;
    // Names are stored as the system writes them unless an encoding is given.
    Encoding encoding = options.encoding.codePage != 0 ? options.encoding : SystemEncoding();
    if (!StoredNamesAreDistinct(inputs, encoding, options.separator))
        return kExitArchive;
    // An entry is made from its input each time the writer asks for it: its
    // stored name again, which the check above found can be made.
    NewEntry scratch;
    EntrySource entries;
    entries.count = InputCount(inputs);
    entries.at = [&](size_t i) -> const NewEntry & {
        std::string stored, why;
        StoredName(std::string(InputName(inputs, i)), encoding, options.separator, &stored, &why);
        FromFile(inputs, i, stored, &scratch);
        return scratch;
    };
    if (entries.count == 0) {
        Error(options.output, "%s", _("no input files"));
        return kExitArchive;
    }
    std::string reason;
    if (!CheckNewArchive(options.output, entries, &reason)) {
        PrintReason(reason);
        return kExitArchive;
    }
    int held = -1;
    Failure failure;
    if (!HoldTarget(options.output, &held, &failure)) {
        PrintFailure(failure);
        return kExitArchive;
    }
    WriteWatch watch;
    watch.progress = true;
    int status = WriteArchive(options.output, entries, &watch);
    if (status != kExitOk)
        PrintReason(watch.reason);
    ReleaseArchive(held);
    return status;
}
