// The save of a writable mount when it ends: the tree as entries in their
// places, written anew as update writes an archive, and the sidecar removed
// only once the new archive is in place.
#include "tools/quorvel/mount/mounted.h"

#include "tools/quorvel/output.h"
#include "tools/quorvel/quorvel.h"

#include "archive/archive.h"

#include <algorithm>

// The folders that hold no file, to be named in a warning.
static void EmptyFolders(size_t node, std::vector<std::string> *empty, bool *holdsFile) {
    *holdsFile = !mounted.nodes[node].folder;
    for (const auto &child : mounted.nodes[node].children) {
        bool below = false;
        EmptyFolders(child.second, empty, &below);
        *holdsFile = *holdsFile || below;
    }
    if (!*holdsFile && node != 0)
        empty->push_back(PathOf(node));
}

static void CollectFiles(size_t node, std::vector<size_t> *files) {
    if (!mounted.nodes[node].folder)
        files->push_back(node);
    for (const auto &child : mounted.nodes[node].children)
        CollectFiles(child.second, files);
}

// The entries of the archive as the tree now has them, in their places;
// *changed says whether that is not the archive as it is.
static int NewEntries(std::vector<NewEntry> *entries, bool *changed) {
    const FileInfo *records = mounted.listing.records;
    std::vector<std::pair<size_t, NewEntry>> placed;
    // Entries the tree could not show are kept as they are.
    for (size_t i = 0; i < mounted.listing.count; i++) {
        if (mounted.recordPath[i].empty()) {
            NewEntry entry;
            entry.storedName = records[i].filename;
            entry.shownName = ShownName(records[i], mounted.encoding);
            entry.size = records[i].filesize;
            entry.archive = &mounted.archive;
            entry.record = records[i];
            placed.push_back({i, entry});
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
        bool sameName = n.place < mounted.listing.count && mounted.recordPath[n.place] == path;
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
        placed.push_back({n.place, entry});
    }
    std::sort(placed.begin(), placed.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    *changed = placed.size() != mounted.listing.count;
    for (size_t i = 0; i < placed.size(); i++) {
        const NewEntry &entry = placed[i].second;
        *changed = *changed || placed[i].first != i || !entry.file.empty() ||
                   entry.record.position != records[i].position ||
                   entry.storedName != records[i].filename;
        entries->push_back(entry);
    }
    return error;
}

// Writes the archive anew from the tree, as update would, and removes the
// sidecar; on any failure the archive and the sidecar stay as they are.
int Save() {
    std::vector<NewEntry> entries;
    bool changed = false;
    std::string problem;
    if (NewEntries(&entries, &changed) != 0)
        problem = "a name cannot be stored";
    for (const NewEntry &entry : entries) {
        // A name of 199 bytes may have been cut by the listing.
        FileInfo whole;
        if (problem.empty() && entry.file.empty() && entry.storedName.size() == 199 &&
            LookUpEntry(mounted.archive, entry.storedName, &whole) != SPI_OK)
            problem = entry.shownName + ": the entry's name is longer than 199 bytes";
    }
    if (problem.empty() && changed && !ArchiveUnchanged(mounted.archive))
        problem = "the archive changed on disk since it was mounted";
    int status = kExitOk;
    if (!problem.empty()) {
        Error(mounted.archive.path, "%s", problem.c_str());
        status = kExitArchive;
    } else if (changed) {
        status = CheckNewArchive(mounted.archive.path, entries)
                     ? WriteArchive(mounted.archive.path, entries)
                     : kExitArchive;
        if (status != kExitOk)
            problem = "the archive could not be written";
    }
    if (status == kExitOk) {
        std::vector<std::string> empty;
        bool holdsFile;
        EmptyFolders(0, &empty, &holdsFile);
        for (const std::string &folder : empty)
            Error(mounted.archive.path, "%s: an empty folder is not stored (the format has none)",
                  folder.c_str());
        CloseSidecar(&mounted.sidecar, true);
    } else {
        std::string message = "quorvel: " + mounted.archive.path + ": " + problem +
                              "; the edits are kept in " + mounted.sidecar.path +
                              " and the next mount --write resumes them";
        Error(mounted.sidecar.path, "the edits are kept; the next mount --write resumes them");
        NoteSaveFailure(mounted.sidecar, message);
        CloseSidecar(&mounted.sidecar, false);
    }
    return status;
}
