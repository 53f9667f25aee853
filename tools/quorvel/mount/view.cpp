// What both kinds of mount share: attributes, folder listings, opening and
// reading files, the kept blocks of unchanged entries, and the mount's start.
#include "tools/quorvel/mount/mounted.h"

#include "tools/quorvel/output.h"

#include "archive/archive.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

int GetAttributes(const char *path, struct stat *st, struct fuse_file_info *file) {
    size_t node = NodeOf(path, file);
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

int ReadFolder(const char *path, void *buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info *,
               enum fuse_readdir_flags) {
    size_t node = Find(Relative(path));
    if (node == kNone || !mounted.nodes[node].folder)
        return -ENOENT;
    fill(buffer, ".", nullptr, 0, (fuse_fill_dir_flags)0);
    fill(buffer, "..", nullptr, 0, (fuse_fill_dir_flags)0);
    // Each name with its kind, so that a walk of the tree needs no stat per name.
    struct stat kind;
    memset(&kind, 0, sizeof kind);
    for (size_t child : ChildrenOf(node)) {
        kind.st_mode = mounted.nodes[child].folder ? S_IFDIR : S_IFREG;
        if (fill(buffer, NameOf(child).c_str(), &kind, 0, (fuse_fill_dir_flags)0) != 0)
            break;
    }
    return 0;
}

// What a kept block costs besides its bytes (its place in the table and the
// list, the allocations' headers): counted against the cache's bound, so
// that a million tiny entries do not keep ten times their size.
static constexpr uint64_t kHeldOverhead = 160;

static uint64_t CacheCost(const Held &held) { return held.entry.size + kHeldOverhead; }

// Frees the oldest kept blocks until the cache is within its bound.
static void TrimCache() {
    while (mounted.cachedBytes > mounted.cacheBound && !mounted.cache.empty()) {
        size_t record = mounted.cache.back();
        mounted.cache.pop_back();
        Held &held = mounted.held[record];
        mounted.cachedBytes -= CacheCost(held);
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
        int32_t result = ReadEntry(mounted.archive, mounted.listing[record], &held.entry);
        if (result != SPI_OK) {
            Error(mounted.archive.path, "%s: %s", path, ResultText(result));
            return result == SPI_NO_MEMORY ? -ENOMEM : -EIO;
        }
        found = mounted.held.emplace(record, held).first;
    } else if (found->second.cached) {
        mounted.cache.erase(found->second.place);
        mounted.cachedBytes -= CacheCost(found->second);
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
    if (CacheCost(held) <= mounted.cacheBound) {
        mounted.cache.push_front(record);
        held.place = mounted.cache.begin();
        held.cached = true;
        mounted.cachedBytes += CacheCost(held);
        TrimCache();
    } else {
        FreeEntry(&held.entry);
        mounted.held.erase(found);
    }
}

int OpenHandle(size_t node, struct fuse_file_info *file) {
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
    mounted.nodes[node].opens++;
    file->fh = mounted.nextHandle++;
    mounted.handles.emplace(file->fh, handle);
    // The bytes of an unchanged entry do not change while the archive does not.
    file->keep_cache = mounted.writable ? 0 : 1;
    return 0;
}

int Open(const char *path, struct fuse_file_info *file) {
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
    // Opened for writing, it is staged at its first write: an open that
    // writes nothing changes nothing.
    int error = (file->flags & O_TRUNC) ? Resize(node, 0) : 0;
    return error != 0 ? error : OpenHandle(node, file);
}

Handle *HandleOf(struct fuse_file_info *file) {
    auto found = mounted.handles.find(file->fh);
    return found == mounted.handles.end() ? nullptr : &found->second;
}

// A file deleted while open is named by its open file, or by its hidden name.
size_t NodeOf(const char *path, struct fuse_file_info *file) {
    Handle *handle = file != nullptr ? HandleOf(file) : nullptr;
    if (handle != nullptr)
        return handle->node;
    size_t node = path != nullptr ? Find(Relative(path)) : kNone;
    if (node == kNone && path != nullptr && IsHiddenName(path)) {
        std::string name = path;
        auto found = mounted.hidden.find(name.substr(name.rfind('/') + 1));
        node = found != mounted.hidden.end() ? found->second : kNone;
    }
    return node;
}

int Read(const char *, char *buffer, size_t size, off_t offset, struct fuse_file_info *file) {
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

int NoteWritten(Handle *handle) {
    int error = 0;
    if (handle->wrote && !mounted.nodes[handle->node].removed)
        error = NoteSize(handle->node);
    handle->wrote = error != 0;
    return error;
}

void CloseHandle(Handle *handle) {
    Node &n = mounted.nodes[handle->node];
    NoteWritten(handle);
    if (handle->held != kNone)
        Unhold(handle->held);
    if (handle->fd >= 0)
        close(handle->fd);
    if (--n.opens == 0 && n.removed && n.stage != 0)
        RemoveStaged(mounted.sidecar, n.stage);
}

int Release(const char *, struct fuse_file_info *file) {
    Handle *handle = HandleOf(file);
    if (handle != nullptr)
        CloseHandle(handle);
    mounted.handles.erase(file->fh);
    return 0;
}

int FileSystemStatus(const char *, struct statvfs *st) {
    if (mounted.writable)
        return fstatvfs(mounted.sidecar.folder, st) == 0 ? 0 : -errno;
    memset(st, 0, sizeof *st);
    st->f_bsize = 4096;
    st->f_namemax = 255;
    return 0;
}

void *Start(struct fuse_conn_info *, struct fuse_config *config) {
    // Read-only, names and sizes never change while mounted: the kernel may
    // keep them. Writable, every change comes through here, briefly kept.
    config->entry_timeout = config->attr_timeout = mounted.writable ? 1 : 3600;
    config->kernel_cache = mounted.writable ? 0 : 1;
    return nullptr;
}
