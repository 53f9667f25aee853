// The operations only a writable mount has: creating, writing, cutting,
// flushing, making and removing folders, deleting and renaming; what the
// format cannot hold (links, devices, attributes) is refused.
#include "tools/quorvel/mount/mounted.h"

#include <algorithm>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static int Create(const char *path, mode_t, struct fuse_file_info *file) {
    if (!mounted.writable)
        return -EROFS;
    std::string relative = Relative(path), stored;
    int error = StoredPath(relative, &stored);
    uint64_t stage = 0;
    if (error == 0)
        error = ReserveStage(&mounted.sidecar, &stage);
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

static int Write(const char *, const char *buffer, size_t size, off_t offset,
                 struct fuse_file_info *file) {
    Handle *handle = HandleOf(file);
    if (handle == nullptr)
        return -EBADF;
    size_t node = handle->node;
    if (file->flags & O_APPEND)
        offset = (off_t)mounted.nodes[node].size;
    if (offset < 0 || (uint64_t)offset + size > kLargestFile)
        return -EFBIG;
    // The first write to an unchanged file stages it.
    int error = 0;
    if (handle->fd < 0 && mounted.nodes[node].stage == 0)
        error = Stage(node, mounted.nodes[node].size);
    if (error == 0 && handle->fd < 0) {
        handle->fd = OpenStaged(mounted.sidecar, mounted.nodes[node].stage);
        error = handle->fd < 0 ? handle->fd : 0;
        handle->fd = std::max(handle->fd, -1);
    }
    if (error != 0)
        return error;
    ssize_t done = pwrite(handle->fd, buffer, size, offset);
    if (done < 0)
        return -errno;
    handle->wrote = true;
    Node &n = mounted.nodes[node];
    n.size = std::max<uint64_t>(n.size, (uint64_t)offset + (uint64_t)done);
    return (int)done;
}

static int Truncate(const char *path, off_t size, struct fuse_file_info *file) {
    if (!mounted.writable)
        return -EROFS;
    size_t node = NodeOf(path, file);
    if (node == kNone)
        return -ENOENT;
    if (mounted.nodes[node].folder)
        return -EISDIR;
    return Resize(node, (uint64_t)size);
}

static int Sync(const char *, int, struct fuse_file_info *file) {
    Handle *handle = HandleOf(file);
    if (handle != nullptr && handle->fd >= 0 && fsync(handle->fd) != 0)
        return -errno;
    int error = handle != nullptr ? NoteWritten(handle) : 0;
    return error != 0 ? error : SyncSidecar(mounted.sidecar);
}

// Each close of a written file: the kernel waits for this one, not for the release.
static int Flush(const char *, struct fuse_file_info *file) {
    Handle *handle = HandleOf(file);
    return handle != nullptr ? NoteWritten(handle) : 0;
}

// A folder's fsync makes its renames and deletions durable: they are lines
// of the journal.
static int SyncFolder(const char *, int, struct fuse_file_info *) {
    return SyncSidecar(mounted.sidecar);
}

static int MakeDirectory(const char *path, mode_t) {
    if (!mounted.writable)
        return -EROFS;
    std::string relative = Relative(path), stored;
    int error = StoredPath(relative, &stored);
    return error != 0 ? error : Change({"mkdir", relative});
}

static int Unlink(const char *path) {
    std::string relative = Relative(path);
    // FUSE's removal of a hidden file at its last close: it left the tree
    // when it was deleted.
    if (IsHiddenName(relative) && Find(relative) == kNone) {
        size_t erased = mounted.hidden.erase(relative.substr(relative.rfind('/') + 1));
        return erased > 0 ? 0 : -ENOENT;
    }
    return Change({"unlink", relative});
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
    // FUSE keeps a file deleted while open under a hidden name until its
    // last close. It leaves the tree now, journaled as deleted, so that
    // neither a listing nor a crash shows it, and stays reachable by that
    // name alone.
    if (IsHiddenName(target) && Find(target) == kNone && !mounted.nodes[node].folder &&
        mounted.nodes[node].opens > 0) {
        int error = Change({"hide", source});
        if (error == 0)
            mounted.hidden[target.substr(target.rfind('/') + 1)] = node;
        return error;
    }
    int error = CheckNames(node, target);
    return error != 0 ? error : Change({"rename", source, target});
}

// Modes, owners and times are not stored: accepted, and nothing changes.
static int Accept(const char *path, struct fuse_file_info *file) {
    return NodeOf(path, file) == kNone ? -ENOENT : 0;
}
static int ChangeMode(const char *path, mode_t, struct fuse_file_info *file) {
    return Accept(path, file);
}
static int ChangeOwner(const char *path, uid_t, gid_t, struct fuse_file_info *file) {
    return Accept(path, file);
}
static int ChangeTimes(const char *path, const struct timespec *, struct fuse_file_info *file) {
    return Accept(path, file);
}

// Links, devices and extended attributes have no place in an archive.
static int RefuseLink(const char *, const char *) { return -EPERM; }
static int RefuseNode(const char *, mode_t, dev_t) { return -EPERM; }
static int RefuseAttribute(const char *, const char *, const char *, size_t, int) {
    return -ENOTSUP;
}

void AddEditOperations(struct fuse_operations *operations) {
    operations->create = Create;
    operations->write = Write;
    operations->truncate = Truncate;
    operations->fsync = Sync;
    operations->fsyncdir = SyncFolder;
    operations->flush = Flush;
    operations->mkdir = MakeDirectory;
    operations->unlink = Unlink;
    operations->rmdir = RemoveDirectory;
    operations->rename = RenameNode;
    operations->chmod = ChangeMode;
    operations->chown = ChangeOwner;
    operations->utimens = ChangeTimes;
    operations->symlink = RefuseLink;
    operations->link = RefuseLink;
    operations->mknod = RefuseNode;
    operations->setxattr = RefuseAttribute;
}
