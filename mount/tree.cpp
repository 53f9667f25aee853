// The tree of a mount: built from the listing, walked by path, and the
// names a writable mount may give its files (those pack would store).
#include "mount/mounted.h"

#include "core/names.h"
#include "core/output.h"
#include "core/translate.h"

#include "archive/archive.h"

#include <algorithm>
#include <string.h>

Mounted mounted;

// Adds an entry's path to the tree; false if a file and a folder would
// share a name (the entry listed first keeps it).
static bool AddEntry(const std::vector<std::string> &components, size_t record) {
    // A file's name that ends its stored name unchanged (no code page
    // turned it into other bytes) is named where the directory holds it.
    const std::string &leaf = components.back();
    const char *stored = mounted.listing[record].filename;
    size_t length = strlen(stored);
    stored =
        length >= leaf.size() && leaf.compare(0, leaf.size(), stored + length - leaf.size()) == 0
            ? stored + length - leaf.size()
            : nullptr;
    size_t node = 0;
    for (size_t i = 0; i < components.size(); i++) {
        bool last = i + 1 == components.size();
        size_t child = Child(node, components[i]);
        if (child != kNone && (last || !mounted.nodes[child].folder))
            return false;
        node =
            child != kNone ? child : AddNode(node, components[i], !last, last ? stored : nullptr);
    }
    Node &file = mounted.nodes[node];
    file.record = file.place = (uint32_t)record;
    file.size = mounted.listing[record].filesize;
    return true;
}

// Adds a folder entry's path as folders; false if a file listed before has
// a name on it. The entry itself is no node: the save keeps it while its
// folder stays.
static bool AddFolder(const std::vector<std::string> &components, size_t record) {
    size_t node = 0;
    for (const std::string &component : components) {
        size_t child = Child(node, component);
        if (child != kNone && !mounted.nodes[child].folder)
            return false;
        node = child != kNone ? child : AddNode(node, component, true);
    }
    mounted.entryFolders[(uint32_t)record] = (uint32_t)node;
    return true;
}

std::string EntryTreePath(const EntryRecord &record) {
    std::string name, why, path;
    std::vector<std::string> components;
    if (!RecordName(record, mounted.encoding, &name) || !EntryPath(name, false, &components, &why))
        return "";
    for (const std::string &component : components)
        path += (path.empty() ? "" : "/") + component;
    return path;
}

void BuildTree() {
    ClearTree(mounted.listing.count + 1);
    mounted.entryFolders.clear();
    mounted.shown.assign(mounted.listing.count, kEntryNotShown);
    std::string name, why;
    std::vector<std::string> components;
    const Archive &archive = mounted.archive;
    bool slash = false, backslash = false;
    for (size_t i = 0; i < mounted.listing.count; i++) {
        EntryRecord record = mounted.listing[i];
        if (!RecordName(record, mounted.encoding, &name)) {
            Error(archive.path, _("%s: left out: the name is not valid %s"),
                  ShownName(record, mounted.encoding).c_str(), mounted.encoding.name.c_str());
        } else if (!EntryPath(name, false, &components, &why)) {
            Error(archive.path, _("%s: left out: %s"), ShownName(record, mounted.encoding).c_str(),
                  why.c_str());
        } else if (FolderEntry(name, record.filesize) ? !AddFolder(components, i)
                                                      : !AddEntry(components, i)) {
            Error(
                archive.path,
                _("%s: left out: an entry listed before takes its path, as a file or as a folder"),
                ShownName(record, mounted.encoding).c_str());
            mounted.shown[i] = kEntryHidden;
        } else if (!FolderEntry(name, record.filesize)) {
            mounted.shown[i] = kEntryShown;
        }
        slash = slash || name.find('/') != std::string::npos;
        backslash = backslash || name.find('\\') != std::string::npos;
    }
    // New names follow the archive's own separator, as update's do.
    mounted.separator = SeparatorFor(slash, backslash);
    mounted.nextPlace = mounted.listing.count;
}

// The node of a path such as "/a/b" or "a/b", or kNone.
size_t Find(const std::string &path) {
    size_t node = 0;
    for (size_t at = 0; at < path.size() && node != kNone;) {
        size_t end = path.find('/', at);
        if (end == std::string::npos)
            end = path.size();
        if (end > at)
            node = mounted.nodes[node].folder ? Child(node, path.substr(at, end - at)) : kNone;
        at = end + 1;
    }
    return node;
}

// The path of a node below the root, '/' between folders, without a leading '/'.
std::string PathOf(size_t node) {
    std::string path;
    for (; node != 0; node = mounted.nodes[node].parent)
        path = NameOf(node) + (path.empty() ? "" : "/") + path;
    return path;
}

// The folder a new name goes into and the name itself; -errno if there is none.
int ParentOf(const std::string &path, size_t *parent, std::string *name) {
    size_t slash = path.rfind('/');
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
    *parent = slash == std::string::npos ? 0 : Find(path.substr(0, slash));
    if (*parent == kNone)
        return -ENOENT;
    return mounted.nodes[*parent].folder ? 0 : -ENOTDIR;
}

// The archive must still be the file that was listed: another file's bytes
// are never served as an entry's.
bool StillTheArchive() {
    if (ArchiveUnchanged(mounted.archive))
        return true;
    if (!mounted.changeReported)
        Error(mounted.archive.path, "%s",
              _("the archive changed on disk since it was mounted; reads fail until it is "
                "mounted again"));
    mounted.changeReported = true;
    return false;
}

// --- Names a writable mount may make: those pack would store ---

// The name a path is stored under: in the archive's code page, with its
// separator; -errno for a name the archive cannot hold.
int StoredPath(const std::string &path, std::string *stored) {
    std::vector<std::string> components;
    std::string why;
    if (!EntryPath(path, false, &components, &why) || path.find('\\') != std::string::npos)
        return -EINVAL;
    std::string text = path;
    std::replace(text.begin(), text.end(), '/', mounted.separator);
    if (!EncodeName(mounted.encoding, text, stored))
        return -EILSEQ;
    return stored->size() > (size_t)kMaxNameLength ? -ENAMETOOLONG : 0;
}

// Every file at or below `node` checked as if it stood at `path`.
int CheckNames(size_t node, const std::string &path) {
    std::string stored;
    int error = StoredPath(path, &stored);
    for (size_t child : ChildrenOf(node)) {
        if (error == 0)
            error = CheckNames(child, path + "/" + NameOf(child));
    }
    return error;
}
