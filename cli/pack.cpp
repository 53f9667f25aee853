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
static bool StoredName(const std::string &name, const Encoding &encoding, char separator,
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
static bool Inputs(const std::vector<std::string> &arguments, bool sorted, const Options &options,
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
static bool InputsLeaveOut(const std::string &archive, const InputFiles &inputs) {
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
static void FromFile(const InputFiles &inputs, size_t i, const std::string &stored,
                     NewEntry *entry) {
    *entry = NewEntry();
    entry->storedName = stored;
    entry->shownName = InputName(inputs, i);
    entry->size = InputSize(inputs, i);
    entry->file = InputPath(inputs, i);
    entry->bytes = entry->file.empty() ? "" : nullptr; // a folder entry has no file
}

static NewEntry FromFile(const InputFiles &inputs, size_t i, const std::string &stored) {
    NewEntry entry;
    FromFile(inputs, i, stored, &entry);
    return entry;
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

// The target's rules (CheckWriteTarget), the failure printed.
static bool TargetAllowed(const std::string &path) {
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

// A name as a key for matching files to entries: '\' and '/' both separate folders.
static std::string Key(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

// What update writes: the archive's entries in their order, some replaced
// by files, then the files that are new. A kept entry is not copied: it is
// made from its record each time the writer asks for it, so that a million
// of them cost no more than the listing.
struct UpdatePlan {
    const Archive *archive = nullptr;
    const Listing *listing = nullptr;
    const Repair *repair = nullptr; // if needed, its entries stand for the listing's
    const Encoding *encoding = nullptr;
    size_t kept = 0;
    std::unordered_map<size_t, NewEntry> replaced; // by place among the kept
    const InputFiles *inputs = nullptr;
    std::vector<size_t> added;           // the inputs that are new, in order,
    std::vector<std::string> addedNames; // and their names as stored
    NewEntry scratch;
};

// A repaired directory's entry as a record: its whole name, where its line
// is, its size.
static EntryRecord RepairedRecord(const DirectoryEntry &entry) {
    EntryRecord record;
    record.filename = entry.name.c_str();
    record.position = (uint32_t)entry.position;
    record.filesize = (uint32_t)(entry.end - entry.start);
    return record;
}

static EntryRecord KeptRecord(const UpdatePlan &plan, size_t i) {
    return plan.repair->needed ? RepairedRecord(plan.repair->entries[i]) : (*plan.listing)[i];
}

// Entry i of the new archive, valid until the next call. A repaired
// directory's entries are read from the archive itself, as the listing may
// not show them.
static const NewEntry &PlannedEntry(UpdatePlan *plan, size_t i) {
    if (i >= plan->kept) {
        FromFile(*plan->inputs, plan->added[i - plan->kept], plan->addedNames[i - plan->kept],
                 &plan->scratch);
        return plan->scratch;
    }
    auto replaced = plan->replaced.find(i);
    if (replaced != plan->replaced.end())
        return replaced->second;
    EntryRecord record = KeptRecord(*plan, i);
    NewEntry &entry = plan->scratch;
    entry = NewEntry(); // it may hold an added file's fields
    entry.storedName = record.filename;
    entry.encoding = plan->encoding;
    entry.size = record.filesize;
    if (plan->repair->needed) {
        entry.file = plan->archive->path;
        entry.slice = true;
        entry.offset = plan->repair->entries[i].start;
    } else {
        entry.archive = plan->archive;
        entry.record = record;
    }
    return entry;
}

// Entry i's stored name, which lives as long as the plan.
static const char *PlannedName(const UpdatePlan &plan, size_t i) {
    if (i >= plan.kept)
        return plan.addedNames[i - plan.kept].c_str();
    auto replaced = plan.replaced.find(i);
    return replaced != plan.replaced.end() ? replaced->second.storedName.c_str()
                                           : KeptRecord(plan, i).filename;
}

// The new archive holds each path once, and no name as both a file and a
// folder, as the old one did: a file given twice, or a folder given where the
// archive holds a file of its name, is refused, since every writer refuses
// to rewrite an archive that holds such names.
static bool NewNamesAreDistinct(const std::string &path, UpdatePlan *plan) {
    size_t count = plan->kept + plan->added.size();
    std::vector<NameClash> clashes = FindNameClashes(
        count, [&](size_t i) { return PlannedName(*plan, i); },
        [&](size_t i) { return PlannedEntry(plan, i).size == 0; }, *plan->encoding);
    if (clashes.empty())
        return true;
    const NameClash &clash = clashes[0];
    std::string entry = ShownEntryName(PlannedEntry(plan, clash.entry));
    std::string other = ShownEntryName(PlannedEntry(plan, clash.other));
    if (clash.duplicate)
        Error(path, _("%s would be stored more than once; the archive is left as it is"),
              other.c_str());
    else
        Error(path, _("%s would be both a file and a folder (of %s); the archive is left as it is"),
              entry.c_str(), other.c_str());
    return false;
}

int Update(const Options &options) {
    RemoveTemporaryOnInterrupt();
    const std::string &path = options.operands[0];
    Selection selection;
    if (OpenListingOrReport(path, options.encoding, &selection) != kExitOk)
        return kExitArchive;
    const Archive &archive = selection.archive;
    const Listing &listing = selection.listing;
    Encoding encoding = selection.encoding;
    // A rewrite keeps only what the listing shows, so the listing must be the
    // whole archive, each name one entry's.
    std::string refusal;
    uint64_t unowned = 0;
    Repair repair;
    int status = kExitOk;
    int held = -1;
    Failure failure;
    if (!HoldTarget(path, &held, &failure)) {
        PrintFailure(failure);
        status = kExitArchive;
    } else if (!TargetAllowed(path)) {
        status = kExitArchive;
    } else if (!ListingAccountsForArchive(archive, listing, options.dropUnowned, &refusal, &unowned,
                                          &repair)) {
        if (unowned > 0)
            Error(path, _("%s; --drop-unowned-bytes writes the archive without them"),
                  refusal.c_str());
        else if (repair.possible && !options.dropUnowned)
            Error(path,
                  _("%s; --drop-unowned-bytes writes the archive without the lines that are no "
                    "entry lines"),
                  refusal.c_str());
        else
            Error(path, _("%s; the archive is left as it is"), refusal.c_str());
        status = kExitArchive;
    } else if (!repair.needed && !ListingNamesAreDistinct(listing, encoding, &refusal)) {
        Error(path, _("%s; the archive is left as it is"), refusal.c_str());
        status = kExitArchive;
    }
    // "auto" decides by the names kept, which the listing may not show.
    if (repair.needed) {
        bool allUtf8 = true;
        for (const DirectoryEntry &entry : repair.entries)
            allUtf8 = allUtf8 && ValidUtf8(entry.name.data(), entry.name.size());
        encoding = ResolveEncoding(options.encoding, allUtf8);
    }
    InputFiles inputs;
    std::vector<std::string> arguments(options.operands.begin() + 1, options.operands.end());
    if (status == kExitOk &&
        (!Inputs(arguments, true, options, &inputs) || !InputsLeaveOut(path, inputs)))
        status = kExitArchive;

    // New entries follow the archive's own separator: '/' if its names use
    // only that, else '\', as pack stores by default.
    bool slash = false, backslash = false;
    std::map<std::string, size_t> byKey;
    for (size_t i = 0; i < InputCount(inputs); i++)
        byKey.emplace(Key(std::string(InputName(inputs, i))), i);
    std::vector<bool> used(InputCount(inputs));
    UpdatePlan plan;
    plan.archive = &archive;
    plan.listing = &listing;
    plan.repair = &repair;
    plan.encoding = &encoding;
    plan.inputs = &inputs;
    plan.kept = repair.needed ? repair.entries.size() : listing.count;
    std::string name;
    for (size_t i = 0; status == kExitOk && i < plan.kept; i++) {
        EntryRecord record = KeptRecord(plan, i);
        FileInfo whole;
        if (!repair.needed && strlen(record.filename) == (size_t)kMaxNameLength &&
            LookUpEntry(archive, listing, record.filename, &whole) != SPI_OK) {
            Error(path, _("%s: the entry's name is longer than 199 bytes and cannot be kept"),
                  ShownName(record, encoding).c_str());
            status = kExitArchive;
        }
        auto input = RecordName(record, encoding, &name) ? byKey.find(Key(name)) : byKey.end();
        if (input != byKey.end()) {
            plan.replaced[i] = FromFile(inputs, input->second, record.filename);
            used[input->second] = true;
        }
        slash = slash || name.find('/') != std::string::npos;
        backslash = backslash || name.find('\\') != std::string::npos;
    }
    char separator = SeparatorFor(slash, backslash);
    for (size_t i = 0; status == kExitOk && i < InputCount(inputs); i++) {
        std::string stored, why;
        if (used[i])
            continue;
        std::string name(InputName(inputs, i));
        if (!StoredName(name, encoding, separator, &stored, &why)) {
            Error(EscapeControls(name), "%s", why.c_str());
            status = kExitArchive;
        }
        plan.added.push_back(i);
        plan.addedNames.push_back(stored);
    }
    EntrySource entries;
    entries.count = plan.kept + plan.added.size();
    entries.at = [&plan](size_t i) -> const NewEntry & { return PlannedEntry(&plan, i); };
    if (status == kExitOk && entries.count == 0) {
        Error(path, "%s", _("no input files"));
        status = kExitArchive;
    }
    std::string reason;
    if (status == kExitOk && !CheckNewArchive(path, entries, &reason)) {
        PrintReason(reason);
        status = kExitArchive;
    }
    // Replaced entries keep their names, which the listing's check covered.
    if (status == kExitOk && (repair.needed || !plan.added.empty()) &&
        !NewNamesAreDistinct(path, &plan))
        status = kExitArchive;
    WriteWatch watch;
    watch.source = &archive;
    watch.progress = true;
    if (status == kExitOk && (status = WriteArchive(path, entries, &watch)) != kExitOk)
        PrintReason(watch.reason);
    if (status == kExitOk && repair.droppedLines > 0)
        Error(path,
              P_("%zu directory line that was no entry line was left out",
                 "%zu directory lines that were no entry lines were left out", repair.droppedLines),
              repair.droppedLines);
    if (status == kExitOk && unowned > 0)
        Error(path,
              P_("%llu byte that belonged to no entry was left out",
                 "%llu bytes that belonged to no entry were left out", (unsigned long)unowned),
              (unsigned long long)unowned);
    ReleaseArchive(held);
    FreeSelection(&selection);
    return status;
}
