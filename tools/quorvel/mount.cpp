// quorvel mount and umount (Linux): an archive as a folder through FUSE 3,
// read-only by default. The tree comes from one listing; every read of an
// unchanged entry's bytes is a GetFile, whose block is kept while the file
// is open and then, within a bound, for later opens. With --write the tree
// can change: every change goes to the sidecar (edits.h) before it is
// answered, and the archive is written anew, as update writes it, when the
// mount ends.
#include "tools/quorvel/edits.h"
#include "tools/quorvel/host.h"
#include "tools/quorvel/output.h"
#include "tools/quorvel/quorvel.h"
#include "tools/quorvel/select.h"
#include "tools/quorvel/writer.h"

#include "archive/archive.h"

#define FUSE_USE_VERSION 31
#include <algorithm>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <list>
#include <map>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <unordered_map>

extern char **environ;

static constexpr size_t kNone = (size_t)-1;
static constexpr size_t kCopyPiece = 1 << 20;
static const char kReadOnlyType[] = "quorvel";
static const char kWritableType[] = "quorvel-edit";

// A folder or a file of the tree; folders know their children by name, so
// that a lookup is a search and a folder's listing a walk, whatever its size.
struct Node {
    size_t parent = 0;
    std::string name;
    bool folder = true;
    std::map<std::string, size_t> children;
    size_t record = kNone; // the entry whose bytes the file has while not staged
    size_t place = 0;      // its place among the entries of a saved archive
    uint64_t stage = 0;    // its bytes are the sidecar's files/N; 0 while not changed
    uint64_t size = 0;
};

// An entry's bytes while files of it are open, and afterwards while the cache has room.
struct Held {
    EntryBytes entry;
    int opens = 0;
    bool cached = false;
    std::list<size_t>::iterator place; // in the cache, newest first
};

// An open file: its node, and either the held bytes of its entry or a
// descriptor of its staged bytes.
struct Handle {
    size_t node = 0;
    size_t held = kNone;
    int fd = -1;
};

static struct {
    Archive archive;
    Listing listing;
    Encoding encoding;
    std::vector<Node> nodes;             // node 0 is the root; removed nodes stay unused
    std::vector<std::string> recordPath; // each entry's path in the tree, "" if left out
    int64_t time = 0; // the archive's last-write time, for unchanged files and folders
    uid_t owner;
    gid_t group;
    uint64_t cacheBound = 0, cachedBytes = 0;
    std::unordered_map<size_t, Held> held; // by record
    std::list<size_t> cache;               // records whose blocks are kept, newest first
    std::unordered_map<uint64_t, Handle> handles;
    uint64_t nextHandle = 1;
    bool changeReported = false;
    bool writable = false;
    Sidecar sidecar;
    size_t nextPlace = 0; // for new files: after every entry, in the order made
    char separator = '\\';
    bool replaying = false; // applying a resumed journal
} mounted;

static size_t Child(size_t node, const std::string &name) {
    auto found = mounted.nodes[node].children.find(name);
    return found == mounted.nodes[node].children.end() ? kNone : found->second;
}

static size_t AddNode(size_t parent, const std::string &name, bool folder) {
    mounted.nodes.emplace_back();
    size_t node = mounted.nodes.size() - 1;
    mounted.nodes[node].parent = parent;
    mounted.nodes[node].name = name;
    mounted.nodes[node].folder = folder;
    mounted.nodes[parent].children.emplace(name, node);
    return node;
}

// Adds an entry's path to the tree; false if a file and a folder would
// share a name (the entry listed first keeps it).
static bool AddEntry(const std::vector<std::string> &components, size_t record) {
    size_t node = 0;
    for (size_t i = 0; i < components.size(); i++) {
        bool last = i + 1 == components.size();
        size_t child = Child(node, components[i]);
        if (child != kNone && (last || !mounted.nodes[child].folder))
            return false;
        node = child != kNone ? child : AddNode(node, components[i], !last);
    }
    Node &file = mounted.nodes[node];
    file.record = file.place = record;
    file.size = mounted.listing.records[record].filesize;
    return true;
}

static void BuildTree() {
    mounted.nodes.assign(1, Node());
    mounted.recordPath.assign(mounted.listing.count, "");
    std::string name, why;
    std::vector<std::string> components;
    const Archive &archive = mounted.archive;
    bool slash = false, backslash = false;
    for (size_t i = 0; i < mounted.listing.count; i++) {
        const FileInfo &record = mounted.listing.records[i];
        if (!RecordName(record, mounted.encoding, &name)) {
            Error(archive.path, "%s: left out: the name is not valid %s",
                  ShownName(record, mounted.encoding).c_str(), mounted.encoding.name.c_str());
        } else if (!EntryPath(name, false, &components, &why)) {
            Error(archive.path, "%s: left out: %s", ShownName(record, mounted.encoding).c_str(),
                  why.c_str());
        } else if (!AddEntry(components, i)) {
            Error(archive.path, "%s: left out: an entry listed before has its name",
                  ShownName(record, mounted.encoding).c_str());
        } else {
            for (const std::string &component : components)
                mounted.recordPath[i] += (mounted.recordPath[i].empty() ? "" : "/") + component;
        }
        slash = slash || name.find('/') != std::string::npos;
        backslash = backslash || name.find('\\') != std::string::npos;
    }
    // New names follow the archive's own separator, as update's do.
    mounted.separator = slash && !backslash ? '/' : '\\';
    mounted.nextPlace = mounted.listing.count;
}

// The node of a path such as "/a/b" or "a/b", or kNone.
static size_t Find(const std::string &path) {
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
static std::string PathOf(size_t node) {
    std::string path;
    for (; node != 0; node = mounted.nodes[node].parent)
        path = mounted.nodes[node].name + (path.empty() ? "" : "/") + path;
    return path;
}

static std::string Relative(const char *path) { return path[0] == '/' ? path + 1 : path; }

// The folder a new name goes into and the name itself; -errno if there is none.
static int ParentOf(const std::string &path, size_t *parent, std::string *name) {
    size_t slash = path.rfind('/');
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
    *parent = slash == std::string::npos ? 0 : Find(path.substr(0, slash));
    if (*parent == kNone)
        return -ENOENT;
    return mounted.nodes[*parent].folder ? 0 : -ENOTDIR;
}

// The archive must still be the file that was listed: another file's bytes
// are never served as an entry's.
static bool StillTheArchive() {
    if (ArchiveUnchanged(mounted.archive))
        return true;
    if (!mounted.changeReported)
        Error(mounted.archive.path, "the archive changed on disk since it was mounted; reads fail "
                                    "until it is mounted again");
    mounted.changeReported = true;
    return false;
}

// --- Names a writable mount may make: those pack would store ---

// The name a path is stored under: in the archive's code page, with its
// separator; -errno for a name the archive cannot hold.
static int StoredPath(const std::string &path, std::string *stored) {
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
static int CheckNames(size_t node, const std::string &path) {
    std::string stored;
    int error = StoredPath(path, &stored);
    for (const auto &child : mounted.nodes[node].children) {
        if (error == 0)
            error = CheckNames(child.second, path + "/" + child.first);
    }
    return error;
}

// --- Changes of the tree, as the journal names them ---
// Each checks the change and, with apply, makes it. A live change is
// checked, journaled, then applied; a resumed journal is applied line by line.

static void ForgetFile(size_t node) {
    Node &n = mounted.nodes[node];
    mounted.nodes[n.parent].children.erase(n.name);
    if (n.stage != 0)
        RemoveStaged(mounted.sidecar, n.stage);
}

// The size of a file's staged bytes. A resumed journal may name staged
// bytes that a later change removed (a file replaced or deleted since).
static int StagedSize(uint64_t stage, uint64_t *size) {
    struct stat st;
    *size = 0;
    if (stat(StagedPath(mounted.sidecar, stage).c_str(), &st) != 0)
        return mounted.replaying && errno == ENOENT ? 0 : -errno;
    *size = (uint64_t)st.st_size;
    return 0;
}

static int NewFile(const std::string &path, uint64_t stage, bool apply) {
    size_t parent;
    std::string name;
    int error = ParentOf(path, &parent, &name);
    if (error == 0 && Child(parent, name) != kNone)
        error = -EEXIST;
    uint64_t size = 0;
    if (error == 0 && apply)
        error = StagedSize(stage, &size);
    if (error == 0 && apply) {
        size_t node = AddNode(parent, name, false);
        mounted.nodes[node].stage = stage;
        mounted.nodes[node].size = size;
        mounted.nodes[node].place = mounted.nextPlace++;
    }
    return error;
}

static int StageFile(const std::string &path, uint64_t stage, bool apply) {
    size_t node = Find(path);
    if (node == kNone)
        return -ENOENT;
    if (mounted.nodes[node].folder)
        return -EISDIR;
    uint64_t size = 0;
    int error = apply ? StagedSize(stage, &size) : 0;
    if (error == 0 && apply) {
        if (mounted.nodes[node].stage != 0)
            RemoveStaged(mounted.sidecar, mounted.nodes[node].stage);
        mounted.nodes[node].stage = stage;
        mounted.nodes[node].size = size;
    }
    return error;
}

static int MakeFolder(const std::string &path, bool apply) {
    size_t parent;
    std::string name;
    int error = ParentOf(path, &parent, &name);
    if (error == 0 && Child(parent, name) != kNone)
        error = -EEXIST;
    if (error == 0 && apply)
        AddNode(parent, name, true);
    return error;
}

static int RemoveNode(const std::string &path, bool folder, bool apply) {
    size_t node = Find(path);
    if (node == kNone || node == 0)
        return node == 0 ? -EBUSY : -ENOENT;
    const Node &n = mounted.nodes[node];
    if (n.folder != folder)
        return folder ? -ENOTDIR : -EISDIR;
    if (folder && !n.children.empty())
        return -ENOTEMPTY;
    if (apply)
        ForgetFile(node);
    return 0;
}

// Moves a file or a folder; a file put over a file takes that file's place
// among the entries, as editors save by writing a new file and renaming it
// over the old one.
static int Rename(const std::string &from, const std::string &to, bool apply) {
    size_t node = Find(from), parent;
    std::string name;
    if (node == kNone || node == 0)
        return node == 0 ? -EBUSY : -ENOENT;
    int error = ParentOf(to, &parent, &name);
    for (size_t up = parent; error == 0 && up != 0; up = mounted.nodes[up].parent) {
        if (up == node)
            error = -EINVAL; // a folder into itself
    }
    if (error != 0)
        return error;
    size_t target = Child(parent, name);
    if (target == node)
        return 0;
    if (target != kNone) {
        const Node &t = mounted.nodes[target];
        if (t.folder && !mounted.nodes[node].folder)
            return -EISDIR;
        if (!t.folder && mounted.nodes[node].folder)
            return -ENOTDIR;
        if (t.folder && !t.children.empty())
            return -ENOTEMPTY;
    }
    if (!apply)
        return 0;
    Node &moved = mounted.nodes[node];
    if (target != kNone) {
        if (!moved.folder)
            moved.place = mounted.nodes[target].place;
        ForgetFile(target);
    }
    mounted.nodes[moved.parent].children.erase(moved.name);
    moved.parent = parent;
    moved.name = name;
    mounted.nodes[parent].children.emplace(name, node);
    return 0;
}

static int ApplyChange(const std::vector<std::string> &f, bool apply) {
    const std::string &op = f[0];
    if (op == "new")
        return NewFile(f[1], strtoull(f[2].c_str(), nullptr, 10), apply);
    if (op == "stage")
        return StageFile(f[1], strtoull(f[2].c_str(), nullptr, 10), apply);
    if (op == "mkdir")
        return MakeFolder(f[1], apply);
    if (op == "rmdir" || op == "unlink")
        return RemoveNode(f[1], op == "rmdir", apply);
    return Rename(f[1], f[2], apply);
}

// A live change: checked, then in the journal, then made.
static int Change(const std::vector<std::string> &fields) {
    int error = ApplyChange(fields, false);
    if (error == 0)
        error = AppendChange(&mounted.sidecar, fields);
    if (error == 0)
        error = ApplyChange(fields, true);
    return error;
}

// Gives an unchanged file staged bytes: the first `keep` bytes of its entry.
static int Stage(size_t node, uint64_t keep) {
    uint64_t stage = mounted.sidecar.nextStage++;
    int fd = CreateStaged(&mounted.sidecar, stage);
    if (fd < 0)
        return fd;
    int error = 0;
    if (keep > 0) {
        EntryBytes bytes;
        const FileInfo &record = mounted.listing.records[mounted.nodes[node].record];
        int32_t result =
            StillTheArchive() ? ReadEntry(mounted.archive, record, &bytes) : kArchiveChanged;
        error = result == SPI_OK ? 0 : result == SPI_NO_MEMORY ? -ENOMEM : -EIO;
        for (uint64_t done = 0; error == 0 && done < keep;) {
            size_t piece = (size_t)std::min<uint64_t>(keep - done, kCopyPiece);
            ssize_t w = write(fd, bytes.bytes + done, piece);
            error = w < 0 ? -errno : 0;
            done += w > 0 ? (uint64_t)w : 0;
        }
        if (result == SPI_OK)
            FreeEntry(&bytes);
    }
    close(fd);
    if (error == 0)
        error = Change({"stage", PathOf(node), std::to_string(stage)});
    if (error != 0)
        RemoveStaged(mounted.sidecar, stage);
    return error;
}

// Cuts a file to `size` bytes, staging it first if it is unchanged.
static int Resize(size_t node, uint64_t size) {
    int error = 0;
    if (mounted.nodes[node].stage == 0)
        error = Stage(node, std::min<uint64_t>(size, mounted.nodes[node].size));
    Node &n = mounted.nodes[node];
    if (error == 0 && truncate(StagedPath(mounted.sidecar, n.stage).c_str(), (off_t)size) != 0)
        error = -errno;
    if (error == 0)
        n.size = size;
    return error;
}

// --- FUSE operations ---

static int GetAttributes(const char *path, struct stat *st, struct fuse_file_info *) {
    size_t node = Find(Relative(path));
    if (node == kNone)
        return -ENOENT;
    memset(st, 0, sizeof *st);
    const Node &n = mounted.nodes[node];
    mode_t access = mounted.writable ? (n.folder ? 0755 : 0644) : (n.folder ? 0555 : 0444);
    st->st_mode = (n.folder ? S_IFDIR : S_IFREG) | access;
    st->st_nlink = n.folder ? 2 : 1;
    st->st_size = n.folder ? 0 : (off_t)n.size;
    st->st_blocks = (st->st_size + 511) / 512;
    st->st_uid = mounted.owner;
    st->st_gid = mounted.group;
    st->st_atime = st->st_mtime = st->st_ctime = (time_t)mounted.time;
    struct stat staged;
    // A changed file shows when it was last written.
    if (n.stage != 0 && stat(StagedPath(mounted.sidecar, n.stage).c_str(), &staged) == 0) {
        st->st_mtim = staged.st_mtim;
        st->st_ctim = staged.st_ctim;
    }
    return 0;
}

static int ReadFolder(const char *path, void *buffer, fuse_fill_dir_t fill, off_t,
                      struct fuse_file_info *, enum fuse_readdir_flags) {
    size_t node = Find(Relative(path));
    if (node == kNone || !mounted.nodes[node].folder)
        return -ENOENT;
    fill(buffer, ".", nullptr, 0, (fuse_fill_dir_flags)0);
    fill(buffer, "..", nullptr, 0, (fuse_fill_dir_flags)0);
    for (const auto &child : mounted.nodes[node].children) {
        if (fill(buffer, child.first.c_str(), nullptr, 0, (fuse_fill_dir_flags)0) != 0)
            break;
    }
    return 0;
}

// Frees the oldest kept blocks until the cache is within its bound.
static void TrimCache() {
    while (mounted.cachedBytes > mounted.cacheBound && !mounted.cache.empty()) {
        size_t record = mounted.cache.back();
        mounted.cache.pop_back();
        Held &held = mounted.held[record];
        mounted.cachedBytes -= held.entry.size;
        FreeEntry(&held.entry);
        mounted.held.erase(record);
    }
}

// Holds an entry's bytes for one more open file.
static int Hold(size_t record, const char *path) {
    if (!StillTheArchive())
        return -EIO;
    auto found = mounted.held.find(record);
    if (found == mounted.held.end()) {
        Held held;
        int32_t result = ReadEntry(mounted.archive, mounted.listing.records[record], &held.entry);
        if (result != SPI_OK) {
            Error(mounted.archive.path, "%s: %s", path, ResultText(result));
            return result == SPI_NO_MEMORY ? -ENOMEM : -EIO;
        }
        found = mounted.held.emplace(record, held).first;
    } else if (found->second.cached) {
        mounted.cache.erase(found->second.place);
        mounted.cachedBytes -= found->second.entry.size;
        found->second.cached = false;
    }
    found->second.opens++;
    return 0;
}

static void Unhold(size_t record) {
    auto found = mounted.held.find(record);
    if (found == mounted.held.end() || --found->second.opens > 0)
        return;
    Held &held = found->second;
    if (held.entry.size <= mounted.cacheBound) {
        mounted.cache.push_front(record);
        held.place = mounted.cache.begin();
        held.cached = true;
        mounted.cachedBytes += held.entry.size;
        TrimCache();
    } else {
        FreeEntry(&held.entry);
        mounted.held.erase(found);
    }
}

static int OpenHandle(size_t node, struct fuse_file_info *file) {
    Handle handle;
    handle.node = node;
    const Node &n = mounted.nodes[node];
    int error = 0;
    if (n.stage != 0) {
        handle.fd = OpenStaged(mounted.sidecar, n.stage);
        error = handle.fd < 0 ? handle.fd : 0;
    } else {
        error = Hold(n.record, PathOf(node).c_str());
        handle.held = n.record;
    }
    if (error != 0)
        return error;
    file->fh = mounted.nextHandle++;
    mounted.handles.emplace(file->fh, handle);
    // The bytes of an unchanged entry do not change while the archive does not.
    file->keep_cache = mounted.writable ? 0 : 1;
    return 0;
}

static int Open(const char *path, struct fuse_file_info *file) {
    bool writing = (file->flags & O_ACCMODE) != O_RDONLY || (file->flags & O_TRUNC) != 0;
    if (writing && !mounted.writable)
        return -EROFS;
    size_t node = Find(Relative(path));
    if (node == kNone)
        return -ENOENT;
    if (mounted.nodes[node].folder)
        return -EISDIR;
    // Opened to be cut to nothing, a file keeps its staged bytes if it has
    // them, so that every writer of it writes one file, as on a local disk.
    int error = 0;
    if (file->flags & O_TRUNC)
        error = Resize(node, 0);
    else if (writing && mounted.nodes[node].stage == 0)
        error = Stage(node, mounted.nodes[node].size);
    return error != 0 ? error : OpenHandle(node, file);
}

static int Create(const char *path, mode_t, struct fuse_file_info *file) {
    if (!mounted.writable)
        return -EROFS;
    std::string relative = Relative(path), stored;
    int error = StoredPath(relative, &stored);
    uint64_t stage = mounted.sidecar.nextStage++;
    int fd = error == 0 ? CreateStaged(&mounted.sidecar, stage) : -1;
    if (error == 0 && fd < 0)
        error = fd;
    if (fd >= 0)
        close(fd);
    if (error == 0)
        error = Change({"new", relative, std::to_string(stage)});
    if (error != 0 && fd >= 0)
        RemoveStaged(mounted.sidecar, stage);
    return error != 0 ? error : OpenHandle(Find(relative), file);
}

static Handle *HandleOf(struct fuse_file_info *file) {
    auto found = mounted.handles.find(file->fh);
    return found == mounted.handles.end() ? nullptr : &found->second;
}

static int Read(const char *, char *buffer, size_t size, off_t offset,
                struct fuse_file_info *file) {
    Handle *handle = HandleOf(file);
    if (handle == nullptr)
        return -EBADF;
    const Node &n = mounted.nodes[handle->node];
    // A file changed through another open file is read from its staged bytes.
    if (handle->fd < 0 && n.stage != 0) {
        handle->fd = OpenStaged(mounted.sidecar, n.stage);
        if (handle->fd < 0)
            return handle->fd;
    }
    if (handle->fd >= 0) {
        ssize_t got = pread(handle->fd, buffer, size, offset);
        return got < 0 ? -errno : (int)got;
    }
    if (!StillTheArchive())
        return -EIO;
    const EntryBytes &entry = mounted.held[handle->held].entry;
    if (offset < 0 || (uint64_t)offset >= entry.size)
        return 0;
    size_t count = size < entry.size - (size_t)offset ? size : entry.size - (size_t)offset;
    memcpy(buffer, entry.bytes + offset, count);
    return (int)count;
}

static int Write(const char *, const char *buffer, size_t size, off_t offset,
                 struct fuse_file_info *file) {
    Handle *handle = HandleOf(file);
    if (handle == nullptr || handle->fd < 0)
        return -EBADF;
    Node &n = mounted.nodes[handle->node];
    if (file->flags & O_APPEND)
        offset = (off_t)n.size;
    ssize_t done = pwrite(handle->fd, buffer, size, offset);
    if (done < 0)
        return -errno;
    n.size = std::max<uint64_t>(n.size, (uint64_t)offset + (uint64_t)done);
    return (int)done;
}

static int Truncate(const char *path, off_t size, struct fuse_file_info *) {
    if (!mounted.writable)
        return -EROFS;
    size_t node = Find(Relative(path));
    if (node == kNone)
        return -ENOENT;
    if (mounted.nodes[node].folder)
        return -EISDIR;
    return Resize(node, (uint64_t)size);
}

static int Release(const char *, struct fuse_file_info *file) {
    Handle *handle = HandleOf(file);
    if (handle == nullptr)
        return 0;
    if (handle->held != kNone)
        Unhold(handle->held);
    if (handle->fd >= 0)
        close(handle->fd);
    mounted.handles.erase(file->fh);
    return 0;
}

static int Sync(const char *, int, struct fuse_file_info *file) {
    Handle *handle = HandleOf(file);
    if (handle != nullptr && handle->fd >= 0 && fsync(handle->fd) != 0)
        return -errno;
    return mounted.writable ? SyncSidecar(mounted.sidecar) : 0;
}

static int MakeDirectory(const char *path, mode_t) {
    if (!mounted.writable)
        return -EROFS;
    std::string relative = Relative(path), stored;
    int error = StoredPath(relative, &stored);
    return error != 0 ? error : Change({"mkdir", relative});
}

static int Unlink(const char *path) {
    return mounted.writable ? Change({"unlink", Relative(path)}) : -EROFS;
}

static int RemoveDirectory(const char *path) {
    return mounted.writable ? Change({"rmdir", Relative(path)}) : -EROFS;
}

static int RenameNode(const char *from, const char *to, unsigned int flags) {
    if (!mounted.writable)
        return -EROFS;
    std::string source = Relative(from), target = Relative(to);
    if (flags & RENAME_EXCHANGE)
        return -EINVAL;
    size_t node = Find(source);
    if (node == kNone)
        return -ENOENT;
    if ((flags & RENAME_NOREPLACE) && Find(target) != kNone)
        return -EEXIST;
    int error = CheckNames(node, target);
    return error != 0 ? error : Change({"rename", source, target});
}

// Modes, owners and times are not stored: accepted, and nothing changes.
static int Accept(const char *path) {
    return Find(Relative(path)) == kNone ? -ENOENT : mounted.writable ? 0 : -EROFS;
}
static int ChangeMode(const char *path, mode_t, struct fuse_file_info *) { return Accept(path); }
static int ChangeOwner(const char *path, uid_t, gid_t, struct fuse_file_info *) {
    return Accept(path);
}
static int ChangeTimes(const char *path, const struct timespec *, struct fuse_file_info *) {
    return Accept(path);
}

// Links, devices and extended attributes have no place in an archive.
static int RefuseLink(const char *, const char *) { return -EPERM; }
static int RefuseNode(const char *, mode_t, dev_t) { return -EPERM; }
static int RefuseAttribute(const char *, const char *, const char *, size_t, int) {
    return -ENOTSUP;
}

static int FileSystemStatus(const char *, struct statvfs *st) {
    if (mounted.writable)
        return fstatvfs(mounted.sidecar.folder, st) == 0 ? 0 : -errno;
    memset(st, 0, sizeof *st);
    st->f_bsize = 4096;
    st->f_namemax = 255;
    return 0;
}

static void *Start(struct fuse_conn_info *, struct fuse_config *config) {
    // Read-only, names and sizes never change while mounted: the kernel may
    // keep them. Writable, every change comes through here, briefly kept.
    config->entry_timeout = config->attr_timeout = mounted.writable ? 1 : 3600;
    config->kernel_cache = mounted.writable ? 0 : 1;
    return nullptr;
}

// --- Saving ---

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
static int Save() {
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

// Opens the sidecar and replays what an earlier mount left in it.
static bool ResumeEdits(const Options &options) {
    std::vector<std::vector<std::string>> changes;
    std::string why;
    if (!OpenSidecar(mounted.archive, options.discardEdits, &mounted.sidecar, &changes, &why)) {
        Error(SidecarPath(mounted.archive.path), "%s; nothing is mounted", why.c_str());
        return false;
    }
    mounted.replaying = true;
    for (const std::vector<std::string> &change : changes) {
        if (ApplyChange(change, true) != 0) {
            Error(mounted.sidecar.path, "its journal does not fit the archive; nothing is mounted");
            CloseSidecar(&mounted.sidecar, false);
            return false;
        }
    }
    mounted.replaying = false;
    return true;
}

// Why DIR cannot take a mount, or "".
static std::string MountPointProblem(const std::string &dir) {
    struct stat st, parent;
    if (stat(dir.c_str(), &st) != 0)
        return strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return "not a folder";
    if (stat((dir + "/..").c_str(), &parent) == 0 && parent.st_dev != st.st_dev)
        return "something is already mounted there";
    return "";
}

static struct fuse_operations Operations() {
    struct fuse_operations operations;
    memset(&operations, 0, sizeof operations);
    operations.getattr = GetAttributes;
    operations.readdir = ReadFolder;
    operations.open = Open;
    operations.read = Read;
    operations.release = Release;
    operations.init = Start;
    operations.statfs = FileSystemStatus;
    if (mounted.writable) {
        operations.create = Create;
        operations.write = Write;
        operations.truncate = Truncate;
        operations.fsync = Sync;
        operations.mkdir = MakeDirectory;
        operations.unlink = Unlink;
        operations.rmdir = RemoveDirectory;
        operations.rename = RenameNode;
        operations.chmod = ChangeMode;
        operations.chown = ChangeOwner;
        operations.utimens = ChangeTimes;
        operations.symlink = RefuseLink;
        operations.link = RefuseLink;
        operations.mknod = RefuseNode;
        operations.setxattr = RefuseAttribute;
    }
    return operations;
}

int Mount(const Options &options) {
    const std::string &path = options.operands[0], &dir = options.operands[1];
    std::string problem = MountPointProblem(dir);
    if (!problem.empty()) {
        Error(dir, "%s", problem.c_str());
        return kExitArchive;
    }
    // The mount runs on after quorvel leaves the current folder.
    char absolute[PATH_MAX];
    if (realpath(path.c_str(), absolute) == nullptr) {
        Error(path, "%s", strerror(errno));
        return kExitArchive;
    }
    Selection selection;
    if (OpenListing(absolute, options.encoding, &selection) != kExitOk)
        return kExitArchive;
    mounted.archive = selection.archive;
    mounted.listing = selection.listing;
    mounted.encoding = selection.encoding;
    mounted.time = mounted.listing.count > 0 ? LastWriteTime(mounted.listing.records[0].timestamp)
                                             : mounted.archive.state.modified;
    mounted.owner = getuid();
    mounted.group = getgid();
    mounted.cacheBound = options.cacheBytes;
    mounted.writable = options.write;
    BuildTree();
    struct stat st;
    if (!mounted.writable && stat(SidecarPath(absolute).c_str(), &st) == 0)
        Error(absolute, "unsaved edits exist in %s; shown is the archive as it is on disk",
              SidecarPath(absolute).c_str());
    if (mounted.writable && !ResumeEdits(options)) {
        FreeListing(&mounted.listing);
        return kExitArchive;
    }

    struct fuse_operations operations = Operations();
    std::string mountOptions = std::string(mounted.writable ? "rw" : "ro") +
                               ",default_permissions,auto_unmount,fsname=" + absolute +
                               ",subtype=" + (mounted.writable ? kWritableType : kReadOnlyType);
    const char *arguments[] = {"quorvel", "-o", mountOptions.c_str()};
    struct fuse_args args = FUSE_ARGS_INIT(3, (char **)arguments);
    struct fuse *fuse = fuse_new(&args, &operations, sizeof operations, nullptr);
    int status = kExitArchive;
    char point[PATH_MAX]; // absolute, for the unmount after a signal
    bool ran = false;
    if (fuse == nullptr) {
        Error(dir, "cannot set up the mount");
    } else if (realpath(dir.c_str(), point) == nullptr || fuse_mount(fuse, point) != 0) {
        Error(dir, "cannot mount here (is FUSE usable on this system?)");
    } else {
        struct fuse_session *session = fuse_get_session(fuse);
        if (fuse_set_signal_handlers(session) == 0 && fuse_daemonize(options.foreground) == 0) {
            if (mounted.writable)
                NoteMountProcess(mounted.sidecar);
            // A signal that ends the mount is its normal end, not an error.
            status = fuse_loop(fuse) >= 0 ? kExitOk : kExitArchive;
            fuse_remove_signal_handlers(session);
            ran = true;
        }
        fuse_unmount(fuse);
    }
    if (fuse != nullptr)
        fuse_destroy(fuse);
    for (auto &handle : mounted.handles) {
        if (handle.second.fd >= 0)
            close(handle.second.fd);
    }
    for (auto &held : mounted.held)
        FreeEntry(&held.second.entry);
    if (mounted.writable && ran)
        status = std::max(status, Save());
    else if (mounted.writable)
        CloseSidecar(&mounted.sidecar, false);
    FreeListing(&mounted.listing);
    return status;
}

// Undoes the octal escapes of /proc/self/mountinfo (a space is \040).
static std::string Unescape(const std::string &text) {
    std::string plain;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            plain += (char)strtol(text.substr(i + 1, 3).c_str(), nullptr, 8);
            i += 3;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

// The archive of a writable mount at `dir`, or "" for any other mount.
static std::string WritableMountOf(const std::string &dir) {
    char absolute[PATH_MAX];
    FILE *info = fopen("/proc/self/mountinfo", "r");
    if (info == nullptr || realpath(dir.c_str(), absolute) == nullptr) {
        if (info != nullptr)
            fclose(info);
        return "";
    }
    std::string archive;
    char line[8192];
    while (archive.empty() && fgets(line, sizeof line, info) != nullptr) {
        char point[4096], type[256], source[4096];
        const char *dash = strstr(line, " - ");
        if (dash == nullptr || sscanf(line, "%*s %*s %*s %*s %4095s", point) != 1 ||
            sscanf(dash, " - %255s %4095s", type, source) != 2)
            continue;
        if (Unescape(point) == absolute && strcmp(type, "fuse.quorvel-edit") == 0)
            archive = Unescape(source);
    }
    fclose(info);
    return archive;
}

// Names, for the save's warning, the folders below `dir` that hold no file.
static bool WarnEmptyFolders(const std::string &dir, const std::string &shown,
                             const std::string &archive) {
    DIR *folder = opendir(dir.c_str());
    bool holdsFile = false;
    for (struct dirent *e; folder != nullptr && (e = readdir(folder)) != nullptr;) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        std::string name = shown.empty() ? e->d_name : shown + "/" + e->d_name;
        struct stat st;
        bool isFolder =
            fstatat(dirfd(folder), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        bool below = !isFolder || WarnEmptyFolders(dir + "/" + e->d_name, name, archive);
        holdsFile = holdsFile || below;
    }
    if (folder != nullptr)
        closedir(folder);
    if (!holdsFile && !shown.empty())
        Error(archive, "%s: an empty folder is not stored (the format has none)", shown.c_str());
    return holdsFile;
}

int Unmount(const Options &options) {
    const std::string &dir = options.operands[0];
    std::string archive = WritableMountOf(dir);
    std::string sidecar = archive.empty() ? "" : SidecarPath(archive);
    // The mount saves once it is unmounted, where its own messages reach no
    // one unless it runs in the foreground: what the save will warn of is
    // said here.
    if (!archive.empty())
        WarnEmptyFolders(dir, "", archive);
    int process = sidecar.empty() ? 0 : MountProcessOf(sidecar);
    const char *arguments[] = {"fusermount3", "-u", dir.c_str(), nullptr};
    pid_t child;
    int status = -1;
    if (posix_spawnp(&child, arguments[0], nullptr, nullptr, (char **)arguments, environ) != 0) {
        Error("fusermount3", "%s", strerror(errno));
        return kExitArchive;
    }
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return kExitArchive;
    // A writable mount saves after it is unmounted: wait for it to finish.
    while (process > 0 && kill(process, 0) == 0) {
        struct timespec pause = {0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    struct stat st;
    if (!sidecar.empty() && stat(sidecar.c_str(), &st) == 0) {
        std::string failure = SaveFailureOf(sidecar);
        fprintf(stderr, "%s\n",
                failure.empty() ? ("quorvel: " + archive + ": the edits were not saved").c_str()
                                : failure.c_str());
        return kExitArchive;
    }
    return kExitOk;
}
