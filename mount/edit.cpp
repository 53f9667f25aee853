// The operations only a writable mount has: creating, writing, cutting,
// flushing, making and removing folders, deleting and renaming; what the
// format cannot hold (links, devices, attributes) is refused.
#include "mount/mounted.h"

#include <algorithm>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// The path below the root of a name in a folder, as the journal names it,
// or "" if the folder has left the tree (a process may still stand in it).
static std::string PathIn(fuse_ino_t parent, const char *name) {
    size_t folder = NodeOfInode(parent);
    if (folder == kNone || mounted.nodes[folder].removed || !mounted.nodes[folder].folder)
        return "";
    std::string path = PathOf(folder);
    return path.empty() ? name : path + "/" + name;
}

// Answers a change that made or kept a node with that node, else with the error.
static void ReplyMade(fuse_req_t request, int error, const std::string &path) {
    size_t node = error == 0 ? Find(path) : kNone;
    if (node != kNone)
        ReplyEntry(request, node);
    else
        fuse_reply_err(request, error != 0 ? -error : EIO);
}

static void Create(fuse_req_t request, fuse_ino_t parent, const char *name, mode_t,
                   struct fuse_file_info *file) {
    std::string path = PathIn(parent, name), stored;
    int error = path.empty() ? -ENOENT : StoredPath(path, &stored);
    uint64_t stage = 0;
    if (error == 0)
        error = ReserveStage(&mounted.sidecar, &stage);
    int fd = error == 0 ? CreateStaged(&mounted.sidecar, stage) : -1;
    if (error == 0 && fd < 0)
        error = fd;
    if (fd >= 0)
        close(fd);
    if (error == 0)
        error = Change({"new", path, std::to_string(stage)});
    if (error != 0 && fd >= 0)
        RemoveStaged(mounted.sidecar, stage);
    size_t node = error == 0 ? Find(path) : kNone;
    if (node != kNone)
        error = OpenHandle(node, file);
    if (error != 0) {
        fuse_reply_err(request, -error);
        return;
    }
    struct fuse_entry_param entry;
    FillEntry(node, &entry);
    if (fuse_reply_create(request, &entry, file) != 0)
        Forsake(file);
}

static void Write(fuse_req_t request, fuse_ino_t, const char *buffer, size_t size, off_t offset,
                  struct fuse_file_info *file) {
    Handle *handle = HandleOf(file);
    if (handle == nullptr) {
        fuse_reply_err(request, EBADF);
        return;
    }
    size_t node = handle->node;
    if (file->flags & O_APPEND)
        offset = (off_t)mounted.nodes[node].size;
    int error = offset < 0 || (uint64_t)offset + size > kLargestFile ? -EFBIG : 0;
    // The first write to an unchanged file stages it.
    if (error == 0 && handle->fd < 0 && mounted.nodes[node].stage == 0)
        error = Stage(node, mounted.nodes[node].size);
    if (error == 0 && handle->fd < 0) {
        handle->fd = OpenStaged(mounted.sidecar, mounted.nodes[node].stage);
        error = handle->fd < 0 ? handle->fd : 0;
        handle->fd = std::max(handle->fd, -1);
    }
    ssize_t done = error == 0 ? pwrite(handle->fd, buffer, size, offset) : -1;
    if (error == 0 && done < 0)
        error = -errno;
    if (error != 0) {
        fuse_reply_err(request, -error);
        return;
    }
    handle->wrote = true;
    Node &n = mounted.nodes[node];
    n.size = std::max<uint64_t>(n.size, (uint64_t)offset + (uint64_t)done);
    fuse_reply_write(request, (size_t)done);
}

// A new size cuts or extends the file; modes, owners and times are not
// stored: accepted, and nothing changes.
static void SetAttributes(fuse_req_t request, fuse_ino_t inode, struct stat *attributes, int set,
                          struct fuse_file_info *file) {
    Handle *handle = file != nullptr ? HandleOf(file) : nullptr;
    size_t node = handle != nullptr ? handle->node : NodeOfInode(inode);
    int error = node == kNone ? -ENOENT : 0;
    if (error == 0 && (set & FUSE_SET_ATTR_SIZE))
        error = mounted.nodes[node].folder ? -EISDIR : Resize(node, (uint64_t)attributes->st_size);
    if (error != 0) {
        fuse_reply_err(request, -error);
        return;
    }
    struct stat st;
    FillAttributes(node, &st);
    fuse_reply_attr(request, &st, CacheSeconds());
}

static void Sync(fuse_req_t request, fuse_ino_t, int, struct fuse_file_info *file) {
    Handle *handle = HandleOf(file);
    int error = handle != nullptr && handle->fd >= 0 && fsync(handle->fd) != 0 ? -errno : 0;
    if (error == 0 && handle != nullptr)
        error = NoteWritten(handle);
    if (error == 0)
        error = SyncSidecar(mounted.sidecar);
    fuse_reply_err(request, -error);
}

// Each close of a written file: the kernel waits for this one, not for the release.
static void Flush(fuse_req_t request, fuse_ino_t, struct fuse_file_info *file) {
    Handle *handle = HandleOf(file);
    fuse_reply_err(request, handle != nullptr ? -NoteWritten(handle) : 0);
}

// A folder's fsync makes its renames and deletions durable: they are lines
// of the journal.
static void SyncFolder(fuse_req_t request, fuse_ino_t, int, struct fuse_file_info *) {
    fuse_reply_err(request, -SyncSidecar(mounted.sidecar));
}

static void MakeDirectory(fuse_req_t request, fuse_ino_t parent, const char *name, mode_t) {
    std::string path = PathIn(parent, name), stored;
    int error = path.empty() ? -ENOENT : StoredPath(path, &stored);
    ReplyMade(request, error != 0 ? error : Change({"mkdir", path}), path);
}

// A file deleted while still open stays readable and writable through its
// open files; its place among the entries goes to a file renamed onto its
// path next, as an editor saves over a file another program holds open.
static void Unlink(fuse_req_t request, fuse_ino_t parent, const char *name) {
    std::string path = PathIn(parent, name);
    size_t node = path.empty() ? kNone : Find(path);
    bool open = node != kNone && !mounted.nodes[node].folder && mounted.nodes[node].opens > 0;
    fuse_reply_err(request, node == kNone ? ENOENT : -Change({open ? "hide" : "unlink", path}));
}

static void RemoveDirectory(fuse_req_t request, fuse_ino_t parent, const char *name) {
    std::string path = PathIn(parent, name);
    fuse_reply_err(request, path.empty() ? ENOENT : -Change({"rmdir", path}));
}

static void RenameNode(fuse_req_t request, fuse_ino_t parent, const char *name,
                       fuse_ino_t newParent, const char *newName, unsigned int flags) {
    std::string source = PathIn(parent, name), target = PathIn(newParent, newName);
    size_t node = source.empty() || target.empty() ? kNone : Find(source);
    // Of the ways to rename, only a plain one and one that replaces nothing.
    int error = flags & ~RENAME_NOREPLACE                             ? -EINVAL
                : node == kNone                                       ? -ENOENT
                : (flags & RENAME_NOREPLACE) && Find(target) != kNone ? -EEXIST
                                                                      : CheckNames(node, target);
    if (error == 0)
        error = Change({"rename", source, target});
    fuse_reply_err(request, -error);
}

// Links, devices and extended attributes have no place in an archive.
static void RefuseLink(fuse_req_t request, const char *, fuse_ino_t, const char *) {
    fuse_reply_err(request, EPERM);
}
static void RefuseHardLink(fuse_req_t request, fuse_ino_t, fuse_ino_t, const char *) {
    fuse_reply_err(request, EPERM);
}
static void RefuseNode(fuse_req_t request, fuse_ino_t, const char *, mode_t, dev_t) {
    fuse_reply_err(request, EPERM);
}
static void RefuseAttribute(fuse_req_t request, fuse_ino_t, const char *, const char *, size_t,
                            int) {
    fuse_reply_err(request, ENOTSUP);
}

void AddEditOperations(struct fuse_lowlevel_ops *operations) {
    operations->create = Create;
    operations->write = Write;
    operations->setattr = SetAttributes;
    operations->fsync = Sync;
    operations->fsyncdir = SyncFolder;
    operations->flush = Flush;
    operations->mkdir = MakeDirectory;
    operations->unlink = Unlink;
    operations->rmdir = RemoveDirectory;
    operations->rename = RenameNode;
    operations->symlink = RefuseLink;
    operations->link = RefuseHardLink;
    operations->mknod = RefuseNode;
    operations->setxattr = RefuseAttribute;
}
