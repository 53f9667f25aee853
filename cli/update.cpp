// The update command: an archive rewritten with some entries replaced or
// added (from files, or from a patch's entries) or removed. Kept entries
// keep their place, stored name and bytes.
#include "core/account.h"
#include "core/diff.h"
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
#include <string.h>
#include <unordered_map>
#include <unordered_set>

// A name as a key for matching files to entries: '\' and '/' both separate folders.
static std::string Key(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

// How a file given to update meets an entry's key: as it is, and on Windows
// without regard to case, as Windows finds files (SRC\B.TXT is src\b.txt).
static std::string FileKey(const std::string &key) {
#ifdef _WIN32
    std::u32string points;
    if (Utf8ToCodePoints(key, &points))
        return CodePointsToUtf8(FoldCase(points));
#endif
    return key;
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
    size_t kept = 0;                               // the archive's entries
    std::vector<size_t> left;                      // if some are removed: those left
    bool removing = false;                         // (update --remove)
    std::unordered_map<size_t, NewEntry> replaced; // by place among the kept
    const InputFiles *inputs = nullptr;
    const Selection *patch = nullptr;    // update --from: entries come from it
    std::vector<size_t> added;           // the inputs (or the patch's places) that are new,
    std::vector<std::string> addedNames; // and their names as stored
    NewEntry scratch;
    size_t KeptCount() const { return removing ? left.size() : kept; }
    size_t Count() const { return KeptCount() + added.size(); }
    // The place among the archive's entries of the new archive's entry i.
    size_t Kept(size_t i) const { return removing ? left[i] : i; }
};

// Entry `place` of the patch as an entry stored as `stored`.
static void FromPatch(const Selection &patch, size_t place, const std::string &stored,
                      NewEntry *entry) {
    *entry = NewEntry();
    entry->storedName = stored;
    entry->shownName = ShownName(patch.listing[place], patch.encoding);
    entry->size = patch.listing[place].filesize;
    entry->archive = &patch.archive;
    entry->record = patch.listing[place];
}

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
    if (i >= plan->KeptCount()) {
        size_t j = i - plan->KeptCount();
        if (plan->patch != nullptr)
            FromPatch(*plan->patch, plan->added[j], plan->addedNames[j], &plan->scratch);
        else
            FromFile(*plan->inputs, plan->added[j], plan->addedNames[j], &plan->scratch);
        return plan->scratch;
    }
    i = plan->Kept(i);
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
    if (i >= plan.KeptCount())
        return plan.addedNames[i - plan.KeptCount()].c_str();
    i = plan.Kept(i);
    auto replaced = plan.replaced.find(i);
    return replaced != plan.replaced.end() ? replaced->second.storedName.c_str()
                                           : KeptRecord(plan, i).filename;
}

// The new archive holds each path once, and no name as both a file and a
// folder, as the old one did: a file given twice, or a folder given where the
// archive holds a file of its name, is refused, since every writer refuses
// to rewrite an archive that holds such names.
static bool NewNamesAreDistinct(const std::string &path, UpdatePlan *plan) {
    size_t count = plan->Count();
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

// Update, once the archive is held.
static int UpdateHeld(const Options &options) {
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
    Failure failure;
    if (!TargetAllowed(path)) {
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
        NameSurvey survey;
        for (const DirectoryEntry &entry : repair.entries)
            SurveyListedName(entry.name.data(), entry.name.size(), &survey);
        encoding = ResolveEncoding(options.encoding, survey);
    }
    // What comes in: files, a patch's entries (--from), or names to drop
    // (--remove), each found by the key of its name.
    InputFiles inputs;
    Selection patch;
    bool patchOpen = false;
    std::vector<Failure> unmatched;
    std::vector<std::string> arguments(options.operands.begin() + 1, options.operands.end());
    std::unordered_map<std::string, size_t> byKey;
    size_t candidates = 0;
    if (status == kExitOk && !options.from.empty()) {
        Choice choice;
        choice.names = arguments;
        patchOpen = SelectPatch(options.from, options.encoding, encoding, choice, &patch, &failure,
                                &unmatched);
        // A NAME that matches nothing leaves the archive as it is, as the
        // module's apply() does.
        if (patchOpen && !CheckPatch(path, patch, &failure)) {
            FreeSelection(&patch);
            patchOpen = false;
        }
        if (!patchOpen)
            PrintFailure(failure);
        PrintFaults(unmatched);
        status = patchOpen && unmatched.empty() ? kExitOk : kExitArchive;
        candidates = patchOpen ? patch.listing.count : 0;
        for (size_t i = 0; status == kExitOk && i < patch.Count(); i++)
            byKey.emplace(EntryKey(patch[i], patch.encoding), patch.all ? i : patch.chosen[i]);
    } else if (status == kExitOk && options.remove) {
        // A name given twice is one removal; a name that does not decode is
        // given by its bytes, or escaped as list shows it (lone\x83).
        candidates = arguments.size();
        for (size_t i = 0; i < arguments.size(); i++) {
            byKey.emplace(Key(arguments[i]), i);
            byKey.emplace(std::string(1, '\0') + arguments[i], i);
        }
    } else if (status == kExitOk) {
        if (!Inputs(arguments, true, options, &inputs) || !InputsLeaveOut(path, inputs))
            status = kExitArchive;
        candidates = InputCount(inputs);
        for (size_t i = 0; i < InputCount(inputs); i++)
            byKey.emplace(FileKey(Key(std::string(InputName(inputs, i)))), i);
    }

    // New entries follow the archive's own separator: '/' if its names use
    // only that, else '\', as pack stores by default.
    bool slash = false, backslash = false;
    std::vector<bool> used(candidates), removed;
    UpdatePlan plan;
    plan.archive = &archive;
    plan.listing = &listing;
    plan.repair = &repair;
    plan.encoding = &encoding;
    plan.inputs = &inputs;
    plan.patch = patchOpen ? &patch : nullptr;
    plan.kept = repair.needed ? repair.entries.size() : listing.count;
    plan.removing = options.remove;
    // A removal by a name as list escapes it (lone\x83) takes an entry
    // whose name does not decode only if no entry's decoded name it is.
    std::unordered_set<std::string> decodedKeys;
    for (size_t i = 0; options.remove && i < plan.kept; i++) {
        std::string key = EntryKey(KeptRecord(plan, i), encoding);
        if (key[0] != '\0')
            decodedKeys.insert(key);
    }
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
        bool files = plan.patch == nullptr && !options.remove;
        std::string key = EntryKey(record, encoding);
        auto found = byKey.find(files ? FileKey(key) : key);
        if (found == byKey.end() && options.remove && key[0] == '\0') {
            found = byKey.find(Key(EscapeBytes(record.filename, strlen(record.filename))));
            if (found != byKey.end() && decodedKeys.count(found->first) > 0)
                found = byKey.end();
        }
        bool drop = found != byKey.end() && options.remove;
        if (found != byKey.end() && plan.patch != nullptr)
            FromPatch(patch, found->second, record.filename, &plan.replaced[i]);
        else if (found != byKey.end() && !drop)
            FromFile(inputs, found->second, record.filename, &plan.replaced[i]);
        if (found != byKey.end())
            used[found->second] = true;
        if (options.remove && !drop)
            plan.left.push_back(i);
        if (!RecordName(record, encoding, &name))
            name.clear();
        slash = slash || name.find('/') != std::string::npos;
        backslash = backslash || name.find('\\') != std::string::npos;
    }
    char separator = SeparatorFor(slash, backslash);
    bool partly = false;
    for (size_t i = 0; status == kExitOk && i < candidates; i++) {
        std::string stored, why;
        if (used[i] || (plan.patch != nullptr && !patch.all &&
                        !std::binary_search(patch.chosen.begin(), patch.chosen.end(), i)))
            continue;
        if (options.remove && used[byKey.at(Key(arguments[i]))])
            continue; // the same name given again
        if (options.remove) {
            Error(EscapeControls(arguments[i]), "%s", _("no entry of that name to remove"));
            partly = true;
            continue;
        }
        if (plan.patch == nullptr) {
            name = InputName(inputs, i);
        } else if (!RecordName(patch.listing[i], patch.encoding, &name)) {
            Error(
                patch.archive.path, "%s: %s", ShownName(patch.listing[i], patch.encoding).c_str(),
                Format(_("the name is not valid %s (see --encoding)"), patch.encoding.name.c_str())
                    .c_str());
            status = kExitArchive;
            continue;
        } else { // stored as files are: '\' and '/' both separate folders
            name = Key(name);
        }
        if (!StoredName(name, encoding, separator, &stored, &why)) {
            Error(EscapeControls(name), "%s", why.c_str());
            status = kExitArchive;
        }
        plan.added.push_back(i);
        plan.addedNames.push_back(stored);
    }
    EntrySource entries;
    entries.count = plan.Count();
    entries.at = [&plan](size_t i) -> const NewEntry & { return PlannedEntry(&plan, i); };
    // Removals and a patch may leave an archive of no entries, which is valid.
    if (status == kExitOk && entries.count == 0 && options.from.empty() && !options.remove) {
        Error(path, "%s", _("no input files"));
        status = kExitArchive;
    }
    std::string reason;
    if (status == kExitOk && !CheckNewArchive(path, entries, &reason)) {
        PrintReason(reason);
        status = kExitArchive;
    }
    // Replaced entries keep their names, which the listing's check covered.
    if (status == kExitOk && (repair.needed || !plan.added.empty() || plan.patch != nullptr) &&
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
    if (patchOpen)
        FreeSelection(&patch);
    FreeSelection(&selection);
    return status == kExitOk && partly ? kExitPartial : status;
}

// The archive is held before it is read: under Wine a file that any process
// has open cannot be replaced, so the quorvel holding it could not rename
// its new archive over one that another was reading to find it held.
int Update(const Options &options) {
    RemoveTemporaryOnInterrupt();
    int held = -1;
    Failure failure;
    int status = kExitArchive;
    if (HoldTarget(options.operands[0], &held, &failure)) {
        status = UpdateHeld(options);
        ReleaseArchive(held);
    } else {
        PrintFailure(failure);
    }
    return status;
}
