// The save of a writable mount when it ends: the tree as entries in their
// places, written anew as update writes an archive, and the sidecar removed
// only once the new archive is in place.
#include "core/account.h"
#include "mount/mounted.h"

#include "core/files.h"
#include "core/names.h"
#include "core/output.h"
#include "core/status.h"
#include "core/translate.h"

#include "archive/archive.h"

#include <algorithm>
#include <set>
#include <string.h>
#include <sys/stat.h>

// The folders that hold no file, to be named in a warning.
static void EmptyFolders(size_t node, std::vector<std::string> *empty, bool *holdsFile) {
    *holdsFile = !mounted.nodes[node].folder;
    for (size_t child : ChildrenOf(node)) {
        bool below = false;
        EmptyFolders(child, empty, &below);
        *holdsFile = *holdsFile || below;
    }
    if (!*holdsFile && node != 0)
        empty->push_back(PathOf(node));
}

static void CollectFiles(size_t node, std::vector<size_t> *files) {
    if (!mounted.nodes[node].folder)
        files->push_back(node);
    for (size_t child : ChildrenOf(node))
        CollectFiles(child, files);
}

// An entry of the new archive, with its place among the entries and the
// path the next mount would show it at ("" for a name no mount shows).
struct Placed {
    size_t place;
    NewEntry entry;
    std::string path;
    bool hidden; // left out by this mount: an entry listed before had its name
};

// The path of the folder a folder entry stands for in the tree, or "".
static std::string FolderEntryPath(const EntryRecord &record) {
    std::string name;
    if (!RecordName(record, mounted.encoding, &name) || !FolderEntry(name, record.filesize))
        return "";
    return EntryTreePath(record);
}

// True for a folder entry whose folder the tree no longer has (deleted,
// renamed, or a file or another folder in its place): the entry goes with it.
static bool FolderGone(size_t i) {
    std::string path = FolderEntryPath(mounted.listing[i]);
    size_t node = path.empty() ? 0 : Find(path);
    auto named = mounted.entryFolders.find((uint32_t)i);
    return node == kNone || !mounted.nodes[node].folder ||
           (named != mounted.entryFolders.end() && named->second != node);
}

// The entries of the archive as the tree now has them, in their places;
// *changed says whether that is not the archive as it is.
static int NewEntries(std::vector<Placed> *placed, bool *changed) {
    const Listing &records = mounted.listing;
    // Entries the tree could not show, and folder entries, are kept as they are.
    for (size_t i = 0; i < mounted.listing.count; i++) {
        bool hidden = mounted.shown[i] == kEntryHidden;
        if (mounted.shown[i] != kEntryShown && (hidden || !FolderGone(i))) {
            NewEntry entry;
            entry.storedName = records[i].filename;
            entry.shownName = ShownName(records[i], mounted.encoding);
            entry.size = records[i].filesize;
            entry.archive = &mounted.archive;
            entry.record = records[i];
            placed->push_back({i, entry, hidden ? EntryTreePath(records[i]) : "", hidden});
        }
    }
    std::vector<size_t> files;
    CollectFiles(0, &files);
    int error = 0;
    for (size_t node : files) {
        const Node &n = mounted.nodes[node];
        NewEntry entry;
        std::string path = PathOf(node);
        entry.shownName = path;
        entry.size = n.size;
        // A file in an entry's place under that entry's name keeps its stored name.
        bool sameName = n.place < mounted.listing.count && mounted.shown[n.place] == kEntryShown &&
                        EntryTreePath(records[n.place]) == path;
        if (sameName)
            entry.storedName = records[n.place].filename;
        else if (StoredPath(path, &entry.storedName) != 0)
            error = -EILSEQ;
        if (n.stage != 0) {
            entry.file = StagedPath(mounted.sidecar, n.stage);
        } else {
            entry.archive = &mounted.archive;
            entry.record = records[n.record];
        }
        placed->push_back({n.place, entry, path, false});
    }
    std::sort(placed->begin(), placed->end(),
              [](const Placed &a, const Placed &b) { return a.place < b.place; });
    *changed = placed->size() != mounted.listing.count;
    for (size_t i = 0; i < placed->size(); i++) {
        const Placed &p = (*placed)[i];
        *changed = *changed || p.place != i || !p.entry.file.empty() ||
                   p.entry.record.position != records[i].position ||
                   p.entry.storedName != records[i].filename;
    }
    return error;
}

// An entry this mount could not show that the new archive would show in
// place of another (a second entry of one name, or a file where a folder
// is): saving would drop what was shown or bring back older bytes. The
// save refuses instead; "" if there is none.
static std::string HiddenEntryShown(const std::vector<Placed> &placed) {
    std::set<std::string> files, folders;
    for (const Placed &p : placed) {
        if (p.path.empty())
            continue;
        bool shown = files.count(p.path) == 0 && folders.count(p.path) == 0;
        for (size_t slash = p.path.find('/'); shown && slash != std::string::npos;
             slash = p.path.find('/', slash + 1))
            shown = files.count(p.path.substr(0, slash)) == 0;
        if (shown && p.hidden)
            return p.path;
        if (shown) {
            files.insert(p.path);
            for (size_t slash = p.path.find('/'); slash != std::string::npos;
                 slash = p.path.find('/', slash + 1))
                folders.insert(p.path.substr(0, slash));
        }
    }
    return "";
}

// Whether the archive's path holds no file now, or another file: the
// archive was renamed, moved, deleted or replaced rather than changed.
static bool ArchiveMoved() {
    struct stat st;
    return stat(mounted.archive.path.c_str(), &st) != 0 ||
           (uint64_t)st.st_dev != mounted.archive.state.device ||
           (uint64_t)st.st_ino != mounted.archive.state.inode;
}

// What becomes of the edits after a failed save, said of the sidecar.
static const char *WhatNext(bool stranded, bool hidden) {
    // The journal names the archive by its size and last-write time: the
    // one it was made to, put back unchanged, takes the edits again.
    if (stranded && ArchiveMoved())
        return _("the edits were made to the archive that was at this path: once it is back "
                 "under its name, unchanged, the next mount --write resumes them, and refuses "
                 "them until then; or copy what you need from files/ here, named by the "
                 "journal, then mount --write --discard-edits starts afresh");
    if (stranded)
        return _("the edits were made to the archive as it was before it changed, so the next "
                 "mount --write refuses them; the changed and new files are in files/ here, named "
                 "by the journal: copy what you need, then mount --write --discard-edits starts "
                 "afresh");
    if (hidden)
        return _("the archive is as it was; the edits are kept here, and the next mount --write "
                 "resumes them, but its save refuses them again until that change is undone "
                 "(mount --write --discard-edits drops them)");
    return _("the archive is as it was; the edits are kept here, and the next mount --write "
             "resumes them and saves again when it ends (mount --write --discard-edits drops "
             "them)");
}

// A name of 199 bytes may have been cut by the listing: true if the
// archive holds no entry of that name.
static bool NameWasCut(const std::string &storedName) {
    FileInfo whole;
    return storedName.size() == 199 &&
           LookUpEntry(mounted.archive, mounted.listing, storedName, &whole) != SPI_OK;
}

// Writes the archive anew from the tree, as update would, and removes the
// sidecar; on any failure the archive and the sidecar stay as they are, and
// the reason and what happens next are noted for quorvel umount.
int Save() {
    std::vector<Placed> placed;
    bool changed = false, stranded = false, hidden = false;
    std::string problem;
    // A tree never changed holds the archive's own entries in their places:
    // they are checked where they stand, and no copy of them is made.
    if (mounted.edited && NewEntries(&placed, &changed) != 0)
        problem = _("a name cannot be stored");
    std::vector<NewEntry> entries;
    for (const Placed &p : placed) {
        const NewEntry &entry = p.entry;
        if (problem.empty() && entry.file.empty() && NameWasCut(entry.storedName))
            problem =
                Format(_("%s: the entry's name is longer than 199 bytes"), entry.shownName.c_str());
        entries.push_back(entry);
    }
    for (size_t i = 0; !mounted.edited && problem.empty() && i < mounted.listing.count; i++) {
        EntryRecord record = mounted.listing[i];
        if (NameWasCut(record.filename))
            problem = Format(_("%s: the entry's name is longer than 199 bytes"),
                             mounted.shown[i] == kEntryShown
                                 ? EntryTreePath(record).c_str()
                                 : ShownName(record, mounted.encoding).c_str());
    }
    std::string shown = changed && problem.empty() ? HiddenEntryShown(placed) : "";
    if (!shown.empty()) {
        problem = Format(_("%s: the archive holds an entry of this name that the mount could not "
                           "show, and the edits would put it in place of the one shown"),
                         shown.c_str());
        hidden = true;
    }
    if (problem.empty() && changed && !ArchiveUnchanged(mounted.archive)) {
        problem = _("the archive changed on disk since it was mounted");
        stranded = true;
    }
    // Checked at mount too; the archive is read again, as it is now.
    if (problem.empty() && changed)
        ListingAccountsForArchive(mounted.archive, mounted.listing, false, &problem);
    int status = kExitOk;
    if (!problem.empty()) {
        Error(mounted.archive.path, "%s", problem.c_str());
        problem = mounted.archive.path + ": " + problem;
        status = kExitArchive;
    } else if (changed) {
        // The temporary file is noted before it holds anything: after a
        // crash the next mount removes it, or finishes a save that had
        // already put it in place.
        WriteWatch watch;
        watch.source = &mounted.archive;
        watch.created = [](const std::string &temporary) {
            return NoteSaving(mounted.sidecar, temporary, true);
        };
        const std::string &path = mounted.archive.path;
        int noted = NoteSaving(mounted.sidecar, NewFileTemporaryFor(path), false);
        if (noted != 0)
            watch.reason =
                path + ": " + Format(_("%s; the archive was not written"), strerror(-noted));
        status = noted == 0 && CheckNewArchive(path, entries, &watch.reason)
                     ? WriteArchive(path, entries, &watch)
                     : kExitArchive;
        problem = watch.reason;
        if (status != kExitOk)
            PrintReason(problem);
        stranded = status != kExitOk && !ArchiveUnchanged(mounted.archive);
    }
    if (status == kExitOk) {
        std::vector<std::string> empty;
        bool holdsFile;
        EmptyFolders(0, &empty, &holdsFile);
        // A folder entry kept keeps its folder.
        for (size_t i = 0; i < mounted.listing.count && !empty.empty(); i++) {
            if (!FolderGone(i))
                empty.erase(
                    std::remove(empty.begin(), empty.end(), FolderEntryPath(mounted.listing[i])),
                    empty.end());
        }
        // Said here to a mount in the foreground, and by quorvel umount from
        // the journal it holds open.
        for (const std::string &folder : empty) {
            Error(mounted.archive.path,
                  _("%s: an empty folder is not stored (the format has none)"), folder.c_str());
            NoteEmptyFolder(&mounted.sidecar, folder);
        }
        CloseSidecar(&mounted.sidecar, true);
    } else {
        const char *next = WhatNext(stranded, hidden);
        Error(mounted.sidecar.path, "%s", next);
        NoteSaveFailure(mounted.sidecar,
                        "quorvel: " + problem + "\nquorvel: " + mounted.sidecar.path + ": " + next);
        CloseSidecar(&mounted.sidecar, false);
    }
    return status;
}
