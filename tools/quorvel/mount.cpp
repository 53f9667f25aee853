// quorvel mount and umount (Linux): an archive as a read-only folder through
// FUSE 3. The tree comes from one listing; every read of an entry's bytes is
// a GetFile, whose block is kept while the file is open and then, within a
// bound, for later opens.
#include "tools/quorvel/host.h"
#include "tools/quorvel/output.h"
#include "tools/quorvel/quorvel.h"
#include "tools/quorvel/select.h"

#define FUSE_USE_VERSION 31
#include <errno.h>
#include <fuse.h>
#include <limits.h>
#include <list>
#include <map>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>

extern char **environ;

static constexpr size_t kNoRecord = (size_t)-1;

// A folder or a file of the tree; folders know their children by name, so
// that a lookup is a search and a folder's listing a walk, whatever its size.
struct Node {
    size_t record = kNoRecord; // the entry of a file
    std::map<std::string, size_t> children;
    bool Folder() const { return record == kNoRecord; }
};

// An entry's bytes while files of it are open, and afterwards while the cache has room.
struct Held {
    EntryBytes entry;
    int opens = 0;
    bool cached = false;
    std::list<size_t>::iterator place; // in the cache, newest first
};

static struct {
    Archive archive;
    Listing listing;
    Encoding encoding;
    std::vector<Node> nodes; // node 0 is the root
    int64_t time = 0;        // the archive's last-write time, for every file and folder
    uid_t owner;
    gid_t group;
    uint64_t cacheBound = 0, cachedBytes = 0;
    std::unordered_map<size_t, Held> held; // by record
    std::list<size_t> cache;               // records whose blocks are kept, newest first
    bool changeReported = false;
} mounted;

// Adds an entry's path to the tree; false if a file and a folder would
// share a name (the entry listed first keeps it).
static bool AddEntry(const std::vector<std::string> &components, size_t record) {
    size_t node = 0;
    for (size_t i = 0; i < components.size(); i++) {
        bool last = i + 1 == components.size();
        auto found = mounted.nodes[node].children.find(components[i]);
        if (found != mounted.nodes[node].children.end()) {
            node = found->second;
            if (last || !mounted.nodes[node].Folder())
                return false;
            continue;
        }
        mounted.nodes.emplace_back();
        size_t child = mounted.nodes.size() - 1;
        if (last)
            mounted.nodes[child].record = record;
        mounted.nodes[node].children.emplace(components[i], child);
        node = child;
    }
    return true;
}

static void BuildTree() {
    mounted.nodes.assign(1, Node());
    std::string name, why;
    std::vector<std::string> components;
    const Archive &archive = mounted.archive;
    for (size_t i = 0; i < mounted.listing.count; i++) {
        const FileInfo &record = mounted.listing.records[i];
        if (!RecordName(record, mounted.encoding, &name))
            Error(archive.path, "%s: left out: the name is not valid %s",
                  ShownName(record, mounted.encoding).c_str(), mounted.encoding.name.c_str());
        else if (!EntryPath(name, false, &components, &why))
            Error(archive.path, "%s: left out: %s", ShownName(record, mounted.encoding).c_str(),
                  why.c_str());
        else if (!AddEntry(components, i))
            Error(archive.path, "%s: left out: an entry listed before has its name",
                  ShownName(record, mounted.encoding).c_str());
    }
}

// The node of a path such as "/a/b", or kNoRecord.
static size_t Find(const char *path) {
    size_t node = 0;
    const char *at = path;
    while (*at != '\0') {
        while (*at == '/')
            at++;
        const char *end = strchr(at, '/');
        std::string component(at, end != nullptr ? (size_t)(end - at) : strlen(at));
        if (component.empty())
            break;
        auto found = mounted.nodes[node].children.find(component);
        if (found == mounted.nodes[node].children.end())
            return kNoRecord;
        node = found->second;
        at += component.size();
    }
    return node;
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

static int GetAttributes(const char *path, struct stat *st, struct fuse_file_info *) {
    size_t node = Find(path);
    if (node == kNoRecord)
        return -ENOENT;
    memset(st, 0, sizeof *st);
    const Node &n = mounted.nodes[node];
    st->st_mode = n.Folder() ? S_IFDIR | 0555 : S_IFREG | 0444;
    st->st_nlink = n.Folder() ? 2 : 1;
    st->st_size = n.Folder() ? 0 : (off_t)mounted.listing.records[n.record].filesize;
    st->st_blocks = (st->st_size + 511) / 512;
    st->st_uid = mounted.owner;
    st->st_gid = mounted.group;
    st->st_atime = st->st_mtime = st->st_ctime = (time_t)mounted.time;
    return 0;
}

static int ReadFolder(const char *path, void *buffer, fuse_fill_dir_t fill, off_t,
                      struct fuse_file_info *, enum fuse_readdir_flags) {
    size_t node = Find(path);
    if (node == kNoRecord || !mounted.nodes[node].Folder())
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

static int Open(const char *path, struct fuse_file_info *file) {
    if ((file->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    size_t node = Find(path);
    if (node == kNoRecord)
        return -ENOENT;
    if (mounted.nodes[node].Folder())
        return -EISDIR;
    if (!StillTheArchive())
        return -EIO;
    size_t record = mounted.nodes[node].record;
    auto found = mounted.held.find(record);
    if (found == mounted.held.end()) {
        Held held;
        int32_t result = ReadEntry(mounted.archive, mounted.listing.records[record], &held.entry);
        if (result != SPI_OK) {
            Error(mounted.archive.path, "%s: %s", path + 1, ResultText(result));
            return result == SPI_NO_MEMORY ? -ENOMEM : -EIO;
        }
        found = mounted.held.emplace(record, held).first;
    } else if (found->second.cached) {
        mounted.cache.erase(found->second.place);
        mounted.cachedBytes -= found->second.entry.size;
        found->second.cached = false;
    }
    found->second.opens++;
    file->fh = record;
    file->keep_cache = 1; // the bytes do not change while the archive does not
    return 0;
}

static int Read(const char *, char *buffer, size_t size, off_t offset,
                struct fuse_file_info *file) {
    if (!StillTheArchive())
        return -EIO;
    const EntryBytes &entry = mounted.held[file->fh].entry;
    if (offset < 0 || (uint64_t)offset >= entry.size)
        return 0;
    size_t n = size < entry.size - (size_t)offset ? size : entry.size - (size_t)offset;
    memcpy(buffer, entry.bytes + offset, n);
    return (int)n;
}

static int Release(const char *, struct fuse_file_info *file) {
    auto found = mounted.held.find(file->fh);
    if (found == mounted.held.end() || --found->second.opens > 0)
        return 0;
    Held &held = found->second;
    if (held.entry.size <= mounted.cacheBound) {
        mounted.cache.push_front(file->fh);
        held.place = mounted.cache.begin();
        held.cached = true;
        mounted.cachedBytes += held.entry.size;
        TrimCache();
    } else {
        FreeEntry(&held.entry);
        mounted.held.erase(found);
    }
    return 0;
}

static void *Start(struct fuse_conn_info *, struct fuse_config *config) {
    // Names and sizes never change while mounted: the kernel may keep them.
    config->entry_timeout = config->attr_timeout = 3600;
    config->kernel_cache = 1;
    return nullptr;
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
    BuildTree();

    struct fuse_operations operations;
    memset(&operations, 0, sizeof operations);
    operations.getattr = GetAttributes;
    operations.readdir = ReadFolder;
    operations.open = Open;
    operations.read = Read;
    operations.release = Release;
    operations.init = Start;
    std::string mountOptions =
        "ro,default_permissions,auto_unmount,fsname=" + std::string(absolute) + ",subtype=quorvel";
    const char *arguments[] = {"quorvel", "-o", mountOptions.c_str()};
    struct fuse_args args = FUSE_ARGS_INIT(3, (char **)arguments);
    struct fuse *fuse = fuse_new(&args, &operations, sizeof operations, nullptr);
    int status = kExitArchive;
    if (fuse == nullptr) {
        Error(dir, "cannot set up the mount");
    } else if (fuse_mount(fuse, dir.c_str()) != 0) {
        Error(dir, "cannot mount here (is FUSE usable on this system?)");
    } else {
        struct fuse_session *session = fuse_get_session(fuse);
        if (fuse_set_signal_handlers(session) == 0 && fuse_daemonize(options.foreground) == 0) {
            status = fuse_loop(fuse) == 0 ? kExitOk : kExitArchive;
            fuse_remove_signal_handlers(session);
        }
        fuse_unmount(fuse);
    }
    if (fuse != nullptr)
        fuse_destroy(fuse);
    for (auto &held : mounted.held)
        FreeEntry(&held.second.entry);
    FreeListing(&mounted.listing);
    return status;
}

int Unmount(const Options &options) {
    const std::string &dir = options.operands[0];
    const char *arguments[] = {"fusermount3", "-u", dir.c_str(), nullptr};
    pid_t child;
    int status = -1;
    if (posix_spawnp(&child, arguments[0], nullptr, nullptr, (char **)arguments, environ) != 0) {
        Error("fusermount3", "%s", strerror(errno));
        return kExitArchive;
    }
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kExitOk : kExitArchive;
}
