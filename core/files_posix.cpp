// Extraction and new files on Linux. The target folder is walked from a
// descriptor with openat and O_NOFOLLOW, so that a symbolic link made or
// swapped while quorvel runs cannot send a write outside it.
#include "core/files.h"
#include "core/edits.h"
#include "core/output.h"
#include "core/translate.h"

#include <algorithm>
#include <errno.h>
#include <fcntl.h>
#include <filesystem>
#include <limits.h>
#include <map>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The temporary file being written, for a signal handler: its folder and
// path in a fixed buffer, noted once the file is made and forgotten once it
// is renamed or removed (never noted for a name that another file held).
static char temporaryOnInterrupt[PATH_MAX];
static volatile sig_atomic_t temporaryFolder = AT_FDCWD;
static volatile sig_atomic_t temporaryNoted = 0;

static void NoteTemporary(int folder, const std::string &path) {
    if (path.size() >= sizeof temporaryOnInterrupt)
        return;
    memcpy(temporaryOnInterrupt, path.c_str(), path.size() + 1);
    temporaryFolder = folder;
    temporaryNoted = 1;
}

static void RemoveTemporaryAndStop(int number) {
    if (temporaryNoted)
        unlinkat(temporaryFolder, temporaryOnInterrupt, 0);
    signal(number, SIG_DFL);
    raise(number);
}

// Makes a temporary file and notes it with every signal held off in
// between, so that an interrupt, whenever it comes, finds it noted.
static int OpenTemporary(int folder, const std::string &path) {
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    int fd =
        openat(folder, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    int error = errno;
    if (fd >= 0)
        NoteTemporary(folder, path);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return fd;
}

void RemoveTemporaryOnInterrupt() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = RemoveTemporaryAndStop;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ})
        sigaction(number, &action, nullptr);
}

// Names tried for a temporary file when other files hold the first ones.
static constexpr int kTemporaryAttempts = 100;

// Folders below the target stay open once entered, so that the entries of
// one folder, wherever they stand in the archive, cost no walk each.
static constexpr size_t kOpenFolders = 256;

struct ExtractTarget {
    int root = -1;                                // the target folder
    std::map<std::vector<std::string>, int> open; // folders below root entered so far
    int folderFd = -1;                            // the folder of the place last made
    std::string leaf;                             // the file's own name there
    std::string temporaryPrefix;                  // ".quorvel-PID-"
    unsigned temporaries = 0;
};

static std::string Join(const std::vector<std::string> &components, size_t count) {
    std::string path;
    for (size_t i = 0; i < count; i++)
        path += (i > 0 ? "/" : "") + components[i];
    return path;
}

ExtractTarget *OpenTarget(const std::string &folder, std::string *why) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *why = strerror(errno);
        return nullptr;
    }
    ExtractTarget *target = new ExtractTarget;
    target->root = fd;
    target->folderFd = fd;
    target->temporaryPrefix = ".quorvel-" + std::to_string(getpid()) + "-";
    return target;
}

static void CloseFolders(ExtractTarget *target) {
    for (const auto &folder : target->open)
        close(folder.second);
    target->open.clear();
    target->folderFd = target->root;
}

void CloseTarget(ExtractTarget *target) {
    if (target == nullptr)
        return;
    CloseFolders(target);
    close(target->root);
    delete target;
}

static bool IsLink(int dir, const char *name) {
    int saved = errno;
    struct stat st;
    bool link = fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
    errno = saved;
    return link;
}

// Enters (making it if needed) each folder below root in turn, never
// through a link: O_NOFOLLOW refuses one in the last step of each openat.
static bool EnterFolder(ExtractTarget *target, const std::vector<std::string> &folder,
                        std::string *why) {
    if (folder.empty()) {
        target->folderFd = target->root;
        return true;
    }
    auto known = target->open.find(folder);
    if (known != target->open.end()) {
        target->folderFd = known->second;
        return true;
    }
    if (target->open.size() >= kOpenFolders)
        CloseFolders(target);
    int fd = target->root;
    for (size_t i = 0; i < folder.size() && fd >= 0; i++) {
        const char *name = folder[i].c_str();
        int next = -1;
        if (mkdirat(fd, name, 0777) != 0 && errno != EEXIST)
            *why = Format(_("cannot create folder %s: %s"), Join(folder, i + 1).c_str(),
                          strerror(errno));
        else if ((next = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) < 0)
            *why = IsLink(fd, name)   ? std::string(_("a folder on its path is a symbolic link"))
                   : errno == ENOTDIR ? Format(_("%s is not a folder"), Join(folder, i + 1).c_str())
                                      : Join(folder, i + 1) + ": " + strerror(errno);
        if (fd != target->root)
            close(fd);
        fd = next;
    }
    if (fd < 0)
        return false;
    target->open[folder] = fd;
    target->folderFd = fd;
    return true;
}

bool PlaceFolder(ExtractTarget *target, const std::vector<std::string> &components,
                 std::string *why) {
    why->clear();
    return EnterFolder(target, components, why);
}

bool PlaceFile(ExtractTarget *target, const std::vector<std::string> &components, bool overwrite,
               std::string *why) {
    why->clear();
    std::vector<std::string> folder(components.begin(), components.end() - 1);
    if (!EnterFolder(target, folder, why))
        return false;
    target->leaf = components.back();
    struct stat st;
    if (fstatat(target->folderFd, target->leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode))
            *why = _("a folder of that name is in the way");
        else if (!overwrite)
            *why = _("exists (use --overwrite to replace it)");
    } else if (errno != ENOENT) {
        *why = strerror(errno);
    }
    return why->empty();
}

static bool WriteAll(int fd, const char *bytes, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= (size_t)n;
    }
    return true;
}

// Renames without replacing an existing file, where the file system can.
static int RenameNoReplace(int fd, const char *from, const char *to) {
    if (renameat2(fd, from, fd, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    if (linkat(fd, from, fd, to, 0) != 0)
        return -1;
    unlinkat(fd, from, 0);
    return 0;
}

// An unnamed file in `dir`, named only once it is whole (LinkUnnamed): a
// half-written file never carries a name, none is left by a kill, and a
// file costs one directory operation. -1 where the file system has none.
static int OpenUnnamed(int dir) {
    static const bool linkable = access("/proc/thread-self/fd", X_OK) == 0;
    return linkable ? openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666) : -1;
}

// Gives an unnamed file its name; fails with EEXIST where the name is taken,
// by a link too, which is not followed.
static int LinkUnnamed(int fd, int dir, const char *leaf) {
    char path[64];
    snprintf(path, sizeof path, "/proc/thread-self/fd/%d", fd);
    return linkat(AT_FDCWD, path, dir, leaf, AT_SYMLINK_FOLLOW);
}

// A temporary file with a name of its own, short: the entry's name may be
// near the length limit. A name that an entry took already is passed over.
static int OpenNamed(ExtractTarget *target, int dir, std::string *temporary) {
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < kTemporaryAttempts; attempt++) {
        *temporary = target->temporaryPrefix + std::to_string(++target->temporaries);
        fd = OpenTemporary(dir, *temporary);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    return fd;
}

bool WritePlacedFile(ExtractTarget *target, const char *bytes, size_t size, int64_t modified,
                     bool overwrite, std::string *why) {
    // A file that replaces another must be renamed over it: only a new one
    // can be unnamed until it is whole.
    std::string temporary;
    int dir = target->folderFd;
    int fd = overwrite ? -1 : OpenUnnamed(dir);
    bool unnamed = fd >= 0;
    if (!unnamed)
        fd = OpenNamed(target, dir, &temporary);
    if (fd < 0) {
        *why = strerror(errno);
        return false;
    }
    const struct timespec times[2] = {{(time_t)modified, 0}, {(time_t)modified, 0}};
    bool ok = WriteAll(fd, bytes, size);
    if (ok)
        futimens(fd, times);
    const char *leaf = target->leaf.c_str();
    int placed = -1;
    if (ok && unnamed)
        placed = LinkUnnamed(fd, dir, leaf);
    int placeError = errno;
    if (close(fd) != 0 && ok) {
        // Named already, but perhaps not whole: taken back.
        if (placed == 0)
            unlinkat(dir, leaf, 0);
        ok = false;
    } else if (ok && !unnamed) {
        placed = overwrite ? renameat(dir, temporary.c_str(), dir, leaf)
                           : RenameNoReplace(dir, temporary.c_str(), leaf);
        placeError = errno;
    }
    if (!ok) {
        *why = strerror(errno);
    } else if (placed != 0) {
        struct stat st;
        bool folder = placeError == EISDIR || placeError == ENOTEMPTY ||
                      (placeError == EEXIST && fstatat(dir, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISDIR(st.st_mode));
        if (folder)
            *why = _("a folder of that name is in the way");
        else if (placeError == EEXIST)
            *why = _("exists (use --overwrite to replace it)");
        else
            *why = strerror(placeError);
        errno = placeError;
        ok = false;
    }
    int error = errno; // the caller tells a full disk by it
    if (!ok && !unnamed)
        unlinkat(dir, temporary.c_str(), 0);
    temporaryNoted = 0;
    errno = error;
    return ok;
}

// A new archive's bytes are handed to the disk every so often while it is
// written, so that the disk works while the copying goes on and the flush
// before the rename finds little left to write.
static constexpr uint64_t kWriteBehind = 16u << 20;

struct NewFile {
    std::string target, temporary;
    int fd = -1;
    bool named = false;               // `temporary` is this file's: removed if it is abandoned
    uint64_t written = 0, handed = 0; // bytes written, and handed to the disk
};

// The temporary name for `target` that no file holds now: a file of our
// name may be left from a killed process that had our id, and is never ours
// to remove. Empty when every name tried is taken.
static std::string FreeTemporaryName(const std::string &target, int from) {
    struct stat st;
    for (int attempt = from; attempt < kTemporaryAttempts; attempt++) {
        std::string name = NewFileTemporaryFor(target);
        if (attempt > 0)
            name += "." + std::to_string(attempt);
        if (lstat(name.c_str(), &st) != 0 && errno == ENOENT)
            return name;
    }
    return "";
}

// The lock a writable mount takes on the archive's file (by its device and
// inode, whatever name reaches it).
bool HoldArchive(const std::string &path, int *held) {
    *held = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (*held < 0 || flock(*held, LOCK_EX | LOCK_NB) == 0)
        return true;
    bool busy = errno == EWOULDBLOCK;
    close(*held);
    *held = -1;
    return !busy;
}

void ReleaseArchive(int held) {
    if (held >= 0)
        close(held);
}

std::string UnsavedEditsOf(const std::string &path) {
    char real[PATH_MAX];
    struct stat st;
    if (realpath(path.c_str(), real) == nullptr)
        return "";
    std::string sidecar = SidecarPath(real);
    return stat(sidecar.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? sidecar : "";
}

// A target reached through symbolic links is the file they lead to: the new
// file replaces that one, and the links keep leading to it.
static std::string ThroughLinks(const std::string &target) {
    struct stat st;
    char resolved[PATH_MAX];
    if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) ||
        realpath(target.c_str(), resolved) == nullptr)
        return target;
    return resolved;
}

NewFile *CreateNewFile(const std::string &target, std::string *why, bool unnamed) {
    // A link that leads nowhere is kept: writing through it would make a
    // file wherever it points, and renaming over it would lose the link.
    struct stat link;
    char resolvedPath[PATH_MAX];
    if (lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
        realpath(target.c_str(), resolvedPath) == nullptr) {
        *why = _("a symbolic link that leads to no file; the link is left as it is");
        errno = 0; // refused by a rule, not by the system
        return nullptr;
    }
    std::string resolved = ThroughLinks(target);
    // Renaming over a device or a FIFO would put a file in its place.
    struct stat st;
    if (stat(resolved.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *why = S_ISDIR(st.st_mode)
                   ? strerror(EISDIR)
                   : _("not a regular file; an archive replaces only a regular file");
        errno = S_ISDIR(st.st_mode) ? EISDIR : 0;
        return nullptr;
    }
    NewFile *file = new NewFile;
    file->target = resolved;
    // Unnamed while it is written, where the file system can: a kill leaves
    // nothing behind. It takes its temporary name just before the rename.
    std::string folder = std::filesystem::path(resolved).parent_path().string();
    int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    file->temporary = FreeTemporaryName(file->target, 0);
    file->fd = unnamed && dir >= 0 && !file->temporary.empty() ? OpenUnnamed(dir) : -1;
    if (dir >= 0)
        close(dir);
    // Else a named one, passing over names that other files hold.
    for (int attempt = 0; file->fd < 0 && attempt < kTemporaryAttempts; attempt++) {
        file->temporary = FreeTemporaryName(file->target, attempt);
        errno = EEXIST;
        file->fd = file->temporary.empty() ? -1 : OpenTemporary(AT_FDCWD, file->temporary);
        file->named = file->fd >= 0;
        if (file->fd < 0 && errno != EEXIST)
            break;
    }
    if (file->fd < 0) {
        *why = strerror(errno);
        delete file;
        return nullptr;
    }
    // A replaced archive keeps its owner where the writer may give it (root
    // saving a user's archive), then its permissions, which a change of
    // owner may have cut.
    if (stat(file->target.c_str(), &st) == 0) {
        // Only root gives another owner; a group, only one the writer is in.
        int kept = fchown(file->fd, st.st_uid, st.st_gid);
        if (kept != 0)
            kept = fchown(file->fd, (uid_t)-1, st.st_gid);
        fchmod(file->fd, st.st_mode & 07777);
    }
    return file;
}

std::string NewFileTemporary(const NewFile *file) { return file->temporary; }

std::string NewFileTemporaryFor(const std::string &target) {
    return target + ".quorvel-tmp" + std::to_string(getpid());
}

// Counts bytes written, and starts their write-out a large piece at a time,
// so that the flush at the end does not wait for all of them.
static void Written(NewFile *file, uint64_t size) {
    file->written += size;
    if (file->written - file->handed >= kWriteBehind) {
        // Only starts the write-out; an error shows at the flush.
        sync_file_range(file->fd, (off_t)file->handed, (off_t)(file->written - file->handed),
                        SYNC_FILE_RANGE_WRITE);
        file->handed = file->written;
    }
}

bool WriteNewFile(NewFile *file, const void *bytes, size_t size, std::string *why) {
    if (!WriteAll(file->fd, (const char *)bytes, size)) {
        *why = strerror(errno);
        return false;
    }
    Written(file, size);
    return true;
}

bool CopyRangeToNewFile(NewFile *file, int from, uint64_t offset, uint64_t size, bool *ended,
                        std::string *why) {
    static constexpr size_t kPiece = 1u << 30, kBuffer = 1u << 20;
    *ended = false;
    off_t at = (off_t)offset;
    bool kernel = true;
    std::vector<char> buffer;
    while (size > 0) {
        size_t want = (size_t)std::min<uint64_t>(size, kernel ? kPiece : kBuffer);
        ssize_t got;
        if (kernel) {
            got = copy_file_range(from, &at, file->fd, nullptr, want, 0);
            // File systems and kernels that cannot copy between these two.
            if (got < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                            errno == EOPNOTSUPP || errno == EBADF)) {
                kernel = false;
                continue;
            }
        } else {
            buffer.resize(kBuffer);
            got = pread(from, buffer.data(), want, at);
            if (got > 0 && !WriteAll(file->fd, buffer.data(), (size_t)got))
                got = -1;
            at += got > 0 ? got : 0;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            *ended = got == 0;
            *why = got == 0 ? "" : strerror(errno);
            return false;
        }
        size -= (uint64_t)got;
        Written(file, (uint64_t)got);
    }
    return true;
}

// The folder holding `path`, flushed so that a rename in it is on the disk.
static void FlushFolderOf(const std::string &path) {
    std::string folder = std::filesystem::path(path).parent_path().string();
    int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Names an unnamed new file by its temporary name (another, if a file took
// that one meanwhile), noted for an interrupt as a named one is.
static bool NameNewFile(NewFile *file) {
    for (int attempt = 0; !file->named && attempt < kTemporaryAttempts; attempt++) {
        sigset_t all, old;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &old);
        file->named = LinkUnnamed(file->fd, AT_FDCWD, file->temporary.c_str()) == 0;
        int error = errno;
        if (file->named)
            NoteTemporary(AT_FDCWD, file->temporary);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        errno = error;
        if (!file->named && error != EEXIST)
            return false;
        if (!file->named)
            file->temporary = FreeTemporaryName(file->target, attempt + 1);
        if (file->temporary.empty())
            return false;
    }
    return file->named;
}

bool CommitNewFile(NewFile *file, std::string *why) {
    bool ok = fsync(file->fd) == 0 && NameNewFile(file);
    if (close(file->fd) != 0)
        ok = false;
    file->fd = -1;
    if (ok && rename(file->temporary.c_str(), file->target.c_str()) != 0)
        ok = false;
    if (!ok) {
        *why = strerror(errno);
        AbandonNewFile(file);
        return false;
    }
    temporaryNoted = 0;
    FlushFolderOf(file->target);
    delete file;
    return true;
}

void AbandonNewFile(NewFile *file) {
    if (file == nullptr)
        return;
    if (file->fd >= 0)
        close(file->fd);
    if (file->named)
        unlink(file->temporary.c_str());
    temporaryNoted = 0;
    delete file;
}

bool IdentityOf(const std::string &path, FileIdentity *identity) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return false;
    identity->volume = (uint64_t)status.st_dev;
    identity->index = (uint64_t)status.st_ino;
    identity->size = (uint64_t)status.st_size;
    return true;
}
