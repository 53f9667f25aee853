// What both kinds of mount share: attributes, folder listings, opening and
// reading files, the kept blocks of unchanged entries, and the mount's start.
#include "mount/mounted.h"

#include "core/output.h"

#include "archive/archive.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

fuse_ino_t InodeOf(size_t node) { return (fuse_ino_t)node + FUSE_ROOT_ID; }

size_t NodeOfInode(fuse_ino_t inode) {
    return inode >= FUSE_ROOT_ID && inode - FUSE_ROOT_ID < mounted.nodes.size()
               ? (size_t)(inode - FUSE_ROOT_ID)
               : kNone;
}

// Read-only, names and sizes never change while mounted: the kernel may
// keep them. Writable, every change comes through here, briefly kept.
double CacheSeconds() { return mounted.writable ? 1.0 : 3600.0; }

void FillAttributes(size_t node, struct stat *st) {
    memset(st, 0, sizeof *st);
    const Node &n = mounted.nodes[node];
    mode_t access = mounted.writable ? (n.folder ? 0755 : 0644) : (n.folder ? 0555 : 0444);
    st->st_ino = InodeOf(node);
    st->st_mode = (n.folder ? S_IFDIR : S_IFREG) | access;
    // A file or folder out of the tree, still open, has no name left.
    st->st_nlink = n.removed ? 0 : n.folder ? 2 : 1;
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
}

void FillEntry(size_t node, struct fuse_entry_param *entry) {
    memset(entry, 0, sizeof *entry);
    entry->ino = InodeOf(node);
    entry->attr_timeout = entry->entry_timeout = CacheSeconds();
    FillAttributes(node, &entry->attr);
}

void ReplyEntry(fuse_req_t request, size_t node) {
    struct fuse_entry_param entry;
    FillEntry(node, &entry);
    fuse_reply_entry(request, &entry);
}

// Nodes are never reused while mounted, so an inode stays valid for as
// long as the kernel knows it, and the kernel's counts of them need no
// bookkeeping here: a looked-up path costs this process nothing.
static void LookUp(fuse_req_t request, fuse_ino_t parent, const char *name) {
    size_t folder = NodeOfInode(parent);
    if (folder == kNone || !mounted.nodes[folder].folder || mounted.nodes[folder].removed) {
        fuse_reply_err(request, folder == kNone ? ENOENT : ENOTDIR);
        return;
    }
    size_t node = Child(folder, name);
    if (node != kNone) {
        ReplyEntry(request, node);
    } else if (!mounted.writable) {
        // A name that is not there stays not there: the kernel may remember that too.
        struct fuse_entry_param none;
        memset(&none, 0, sizeof none);
        none.entry_timeout = CacheSeconds();
        fuse_reply_entry(request, &none);
    } else {
        fuse_reply_err(request, ENOENT);
    }
}

static void Forget(fuse_req_t request, fuse_ino_t, uint64_t) { fuse_reply_none(request); }

static void ForgetMany(fuse_req_t request, size_t, struct fuse_forget_data *) {
    fuse_reply_none(request);
}

static void GetAttributes(fuse_req_t request, fuse_ino_t inode, struct fuse_file_info *) {
    size_t node = NodeOfInode(inode);
    if (node == kNone) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    struct stat st;
    FillAttributes(node, &st);
    fuse_reply_attr(request, &st, CacheSeconds());
}

// An open folder lists its children as they were when it was opened, by
// position, so that a listing read in pieces neither repeats nor skips a
// name; a child removed since is left out.
static void OpenFolder(fuse_req_t request, fuse_ino_t inode, struct fuse_file_info *file) {
    size_t node = NodeOfInode(inode);
    if (node == kNone || mounted.nodes[node].removed) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    if (!mounted.nodes[node].folder) {
        fuse_reply_err(request, ENOTDIR);
        return;
    }
    std::vector<size_t> *children = new (std::nothrow) std::vector<size_t>();
    if (children == nullptr) {
        fuse_reply_err(request, ENOMEM);
        return;
    }
    *children = ChildrenOf(node);
    file->fh = (uint64_t)(uintptr_t)children;
    if (fuse_reply_open(request, file) != 0)
        delete children;
}

static void ReadFolder(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset,
                       struct fuse_file_info *file) {
    const std::vector<size_t> &children = *(std::vector<size_t> *)(uintptr_t)file->fh;
    std::vector<char> buffer(size);
    size_t used = 0;
    // Positions 0 and 1 are "." and "..", then the children in order.
    for (size_t at = offset < 0 ? 0 : (size_t)offset; at < children.size() + 2; at++) {
        size_t node = at < 2 ? NodeOfInode(inode) : children[at - 2];
        if (at >= 2 && mounted.nodes[node].removed)
            continue;
        struct stat kind;
        memset(&kind, 0, sizeof kind);
        kind.st_ino = InodeOf(node);
        kind.st_mode = mounted.nodes[node].folder ? S_IFDIR : S_IFREG;
        std::string name = at == 0 ? "." : at == 1 ? ".." : NameOf(node);
        size_t need = fuse_add_direntry(request, buffer.data() + used, size - used, name.c_str(),
                                        &kind, (off_t)at + 1);
        if (need > size - used)
            break;
        used += need;
    }
    fuse_reply_buf(request, buffer.data(), used);
}

static void ReleaseFolder(fuse_req_t request, fuse_ino_t, struct fuse_file_info *file) {
    delete (std::vector<size_t> *)(uintptr_t)file->fh;
    fuse_reply_err(request, 0);
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
        int32_t result = ReadListedEntry(&mounted.reader, mounted.listing[record], &held.entry);
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

static void Open(fuse_req_t request, fuse_ino_t inode, struct fuse_file_info *file) {
    bool writing = (file->flags & O_ACCMODE) != O_RDONLY || (file->flags & O_TRUNC) != 0;
    size_t node = NodeOfInode(inode);
    int error = writing && !mounted.writable ? EROFS
                : node == kNone              ? ENOENT
                : mounted.nodes[node].folder ? EISDIR
                                             : 0;
    // Opened to be cut to nothing, a file keeps its staged bytes if it has
    // them, so that every writer of it writes one file, as on a local disk.
    // Opened for writing, it is staged at its first write: an open that
    // writes nothing changes nothing.
    if (error == 0 && (file->flags & O_TRUNC))
        error = -Resize(node, 0);
    if (error == 0)
        error = -OpenHandle(node, file);
    if (error != 0)
        fuse_reply_err(request, error);
    else if (fuse_reply_open(request, file) != 0)
        Forsake(file);
}

Handle *HandleOf(struct fuse_file_info *file) {
    auto found = mounted.handles.find(file->fh);
    return found == mounted.handles.end() ? nullptr : &found->second;
}

static void Read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset,
                 struct fuse_file_info *file) {
    Handle *handle = HandleOf(file);
    if (handle == nullptr) {
        fuse_reply_err(request, EBADF);
        return;
    }
    const Node &n = mounted.nodes[handle->node];
    // A file changed through another open file is read from its staged bytes.
    if (handle->fd < 0 && n.stage != 0) {
        int fd = OpenStaged(mounted.sidecar, n.stage);
        if (fd < 0) {
            fuse_reply_err(request, -fd);
            return;
        }
        handle->fd = fd;
    }
    if (handle->fd >= 0) {
        std::vector<char> buffer(size);
        ssize_t got = pread(handle->fd, buffer.data(), size, offset);
        if (got < 0)
            fuse_reply_err(request, errno);
        else
            fuse_reply_buf(request, buffer.data(), (size_t)got);
        return;
    }
    if (!StillTheArchive()) {
        fuse_reply_err(request, EIO);
        return;
    }
    const EntryBytes &entry = mounted.held[handle->held].entry;
    if (offset < 0 || (uint64_t)offset >= entry.size) {
        fuse_reply_buf(request, nullptr, 0);
        return;
    }
    size_t count = size < entry.size - (size_t)offset ? size : entry.size - (size_t)offset;
    fuse_reply_buf(request, (const char *)entry.bytes + offset, count);
}

int NoteWritten(Handle *handle) {
    int error = 0;
    if (handle->wrote && !mounted.nodes[handle->node].removed)
        error = NoteSize(handle->node);
    handle->wrote = error != 0;
    return error;
}

void Forsake(struct fuse_file_info *file) {
    Handle *handle = HandleOf(file);
    if (handle == nullptr)
        return;
    Node &n = mounted.nodes[handle->node];
    NoteWritten(handle);
    if (handle->held != kNone)
        Unhold(handle->held);
    if (handle->fd >= 0)
        close(handle->fd);
    if (--n.opens == 0 && n.removed && n.stage != 0)
        RemoveStaged(mounted.sidecar, n.stage);
    mounted.handles.erase(file->fh);
}

static void Release(fuse_req_t request, fuse_ino_t, struct fuse_file_info *file) {
    Forsake(file);
    fuse_reply_err(request, 0);
}

static void FileSystemStatus(fuse_req_t request, fuse_ino_t) {
    struct statvfs st;
    memset(&st, 0, sizeof st);
    st.f_bsize = 4096;
    st.f_namemax = 255;
    if (mounted.writable && fstatvfs(mounted.sidecar.folder, &st) != 0)
        fuse_reply_err(request, errno);
    else
        fuse_reply_statfs(request, &st);
}

void AddViewOperations(struct fuse_lowlevel_ops *operations) {
    operations->lookup = LookUp;
    operations->forget = Forget;
    operations->forget_multi = ForgetMany;
    operations->getattr = GetAttributes;
    operations->opendir = OpenFolder;
    operations->readdir = ReadFolder;
    operations->releasedir = ReleaseFolder;
    operations->open = Open;
    operations->read = Read;
    operations->release = Release;
    operations->statfs = FileSystemStatus;
}
