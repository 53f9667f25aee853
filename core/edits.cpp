// The sidecar of a writable mount: making, resuming and removing it, the
// journal of changes, and the staged bytes of changed and new files.
#include "core/edits.h"

#include "core/output.h"
#include "core/translate.h"

#include <algorithm>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static const char kHeader[] = "quorvel-edits";
static const char kVersion[] = "1";
static const char kJournal[] = "journal";
static const char kFiles[] = "files";
static const char kProcess[] = "mount.pid";
static const char kFailure[] = "save-failed";
static const char kSaving[] = "saving";
static const char kSavingNew[] = "saving.new";

std::string SidecarPath(const std::string &archive) {
    size_t slash = archive.rfind('/');
    std::string folder = slash == std::string::npos ? "." : archive.substr(0, slash);
    std::string name = slash == std::string::npos ? archive : archive.substr(slash + 1);
    return folder + "/." + name + ".quorvel-edits";
}

// What ties a journal to one state of its archive: a journal made for
// another file, or before the archive changed, is never applied.
static std::string HeaderLine(const Archive &archive) {
    char line[160];
    snprintf(line, sizeof line, "%s\t%s\t%llu\t%lld\t%lld\n", kHeader, kVersion,
             (unsigned long long)archive.state.size, (long long)archive.state.modified,
             (long long)archive.state.modifiedNanoseconds);
    return line;
}

static std::vector<std::string> Fields(const std::string &line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

static bool IsNumber(const std::string &text) {
    return !text.empty() && text.size() < 19 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

// A change as the journal holds it: a known operation with its fields.
static bool WellFormed(const std::vector<std::string> &f) {
    const std::string &op = f[0];
    if (op == "new" || op == "stage")
        return f.size() == 3 && !f[1].empty() && IsNumber(f[2]) && f[2] != "0";
    if (op == "reserve")
        return f.size() == 2 && IsNumber(f[1]) && f[1] != "0";
    if (op == "size")
        return f.size() == 3 && IsNumber(f[1]) && f[1] != "0" && IsNumber(f[2]);
    if (op == "mkdir" || op == "rmdir" || op == "unlink" || op == "hide" || op == "empty")
        return f.size() == 2 && !f[1].empty();
    return op == "rename" && f.size() == 3 && !f[1].empty() && !f[2].empty();
}

static bool ReadAll(int fd, std::string *text) {
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text->append(buffer, (size_t)n);
    return n == 0;
}

// Reads the journal of a resumed sidecar. A last line without its line end
// is a change that was never answered (the mount stopped while writing it)
// and is left out.
static bool ReadJournal(Sidecar *sidecar, const Archive &archive,
                        std::vector<std::vector<std::string>> *changes, std::string *why) {
    std::string text;
    if (!ReadAll(sidecar->journal, &text)) {
        *why = Format(_("its journal cannot be read: %s"), strerror(errno));
        return false;
    }
    size_t end = text.find('\n');
    if (end == std::string::npos || text.substr(0, end + 1) != HeaderLine(archive)) {
        *why = text.compare(0, sizeof kHeader - 1, kHeader) == 0
                   ? _("its edits were made to another archive, or the archive changed since")
                   : _("its journal is damaged");
        return false;
    }
    for (size_t at = end + 1; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::vector<std::string> fields = Fields(text.substr(at, end - at));
        if (!WellFormed(fields)) {
            *why = _("its journal is damaged");
            return false;
        }
        // Every number the journal names is used: files/N are never reused.
        const std::string &number = fields[0] == "new" || fields[0] == "stage"      ? fields[2]
                                    : fields[0] == "reserve" || fields[0] == "size" ? fields[1]
                                                                                    : "0";
        sidecar->nextStage =
            std::max<uint64_t>(sidecar->nextStage, strtoull(number.c_str(), nullptr, 10) + 1);
        if (fields[0] != "empty") // a save's note for quorvel umount, no change
            changes->push_back(fields);
    }
    return true;
}

static void RemoveContents(const std::string &path) {
    DIR *files = opendir((path + "/" + kFiles).c_str());
    for (struct dirent *e; files != nullptr && (e = readdir(files)) != nullptr;) {
        if (e->d_name[0] != '.')
            unlinkat(dirfd(files), e->d_name, 0);
    }
    if (files != nullptr)
        closedir(files);
    rmdir((path + "/" + kFiles).c_str());
    for (const char *name : {kProcess, kFailure, kJournal, kSaving, kSavingNew})
        unlink((path + "/" + name).c_str());
    rmdir(path.c_str());
}

// Where a sidecar goes while it is removed.
static std::string Removed(const std::string &path) { return path + ".removed"; }

// Removes what a removal stopped halfway left.
static void SweepRemoved(const std::string &path) {
    struct stat st;
    if (lstat(Removed(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        RemoveContents(Removed(path));
}

// Removes a sidecar: first renamed out of the way at once, so that a
// removal stopped halfway leaves no part of a sidecar that a later mount
// would take for edits, only a folder that the next mount removes.
static void RemoveAll(const std::string &path) {
    SweepRemoved(path);
    RemoveContents(rename(path.c_str(), Removed(path).c_str()) == 0 ? Removed(path) : path);
}

static bool MakeSidecar(Sidecar *sidecar, const Archive &archive, std::string *why) {
    std::string header = HeaderLine(archive);
    bool made = mkdir(sidecar->path.c_str(), 0700) == 0;
    int error = errno;
    if (made) {
        made = mkdir((sidecar->path + "/" + kFiles).c_str(), 0700) == 0;
        sidecar->journal = open((sidecar->path + "/" + kJournal).c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
        made = made && sidecar->journal >= 0 &&
               write(sidecar->journal, header.data(), header.size()) == (ssize_t)header.size() &&
               fsync(sidecar->journal) == 0;
        error = errno;
        if (!made)
            RemoveAll(sidecar->path);
    }
    if (!made)
        *why = Format(_("cannot keep edits beside the archive: %s"), strerror(error));
    return made;
}

// Locks the archive's file, whatever name it is reached by.
static bool LockArchive(Sidecar *sidecar, const Archive &archive, std::string *why) {
    struct stat st;
    sidecar->archive = open(archive.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (sidecar->archive < 0 || fstat(sidecar->archive, &st) != 0) {
        *why = Format(_("the archive cannot be opened: %s"), strerror(errno));
        return false;
    }
    if ((uint64_t)st.st_dev != archive.state.device || (uint64_t)st.st_ino != archive.state.inode) {
        *why = _("the archive changed while it was being mounted");
        return false;
    }
    if (flock(sidecar->archive, LOCK_EX | LOCK_NB) != 0) {
        *why = _("the archive is mounted for writing already (perhaps through another name)");
        return false;
    }
    return true;
}

static std::string ReadNote(const std::string &path, const char *name);
static void RemoveSidecarFiles(Sidecar *sidecar);

// The note of a save under way: its temporary file, device and inode.
static bool SavingNoteOf(const std::string &path, std::string *temporary, uint64_t *device,
                         uint64_t *inode) {
    std::vector<std::string> fields = Fields(ReadNote(path, kSaving));
    if (fields.size() != 3 || !IsNumber(fields[1]) || !IsNumber(fields[2]))
        return false;
    *temporary = fields[0];
    *device = strtoull(fields[1].c_str(), nullptr, 10);
    *inode = strtoull(fields[2].c_str(), nullptr, 10);
    return true;
}

bool SaveFinished(const std::string &path, const Archive &archive) {
    std::string temporary;
    uint64_t device, inode;
    return SavingNoteOf(path, &temporary, &device, &inode) && inode != 0 &&
           device == archive.state.device && inode == archive.state.inode;
}

// What an earlier mount's save left when it was killed: its temporary file
// is removed; true if it had already put the new archive in place.
static bool EarlierSaveFinished(const Sidecar &sidecar, const Archive &archive) {
    std::string temporary;
    uint64_t device, inode;
    if (!SavingNoteOf(sidecar.path, &temporary, &device, &inode))
        return false;
    if (inode != 0 && device == archive.state.device && inode == archive.state.inode)
        return true;
    // Noted before it was made, the temporary file is known by its name alone.
    struct stat st;
    if (lstat(temporary.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        (inode == 0 || ((uint64_t)st.st_dev == device && (uint64_t)st.st_ino == inode)))
        unlink(temporary.c_str());
    unlinkat(sidecar.folder, kSaving, 0);
    return false;
}

bool OpenSidecar(const Archive &archive, bool discard, Sidecar *sidecar,
                 std::vector<std::vector<std::string>> *changes, std::string *why,
                 const Report &report) {
    sidecar->path = SidecarPath(archive.path);
    sidecar->nextStage = 1;
    if (!LockArchive(sidecar, archive, why)) {
        CloseSidecar(sidecar, false);
        return false;
    }
    SweepRemoved(sidecar->path);
    struct stat st;
    bool exists = lstat(sidecar->path.c_str(), &st) == 0;
    if (exists && !S_ISDIR(st.st_mode)) {
        *why = _("it is not a folder");
        CloseSidecar(sidecar, false);
        return false;
    }
    if (exists) {
        sidecar->journal = open((sidecar->path + "/" + kJournal).c_str(),
                                O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
        // A save stopped while it removed the sidecar leaves its note last.
        if (sidecar->journal < 0 && errno == ENOENT && SaveFinished(sidecar->path, archive)) {
            RemoveAll(sidecar->path);
            report(Fail(FailureKind::kNone, sidecar->path,
                        N_("the save of an earlier mount had put the archive in place before it "
                           "was stopped; its edits are in the archive")));
            exists = false;
        } else if (sidecar->journal < 0) {
            *why = _("it holds no journal");
            CloseSidecar(sidecar, false);
            return false;
        }
    }
    if (exists) {
        if (flock(sidecar->journal, LOCK_EX | LOCK_NB) != 0) {
            *why = _("the archive is mounted for writing already");
            CloseSidecar(sidecar, false);
            return false;
        }
        sidecar->folder = open(sidecar->path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (sidecar->folder >= 0 && EarlierSaveFinished(*sidecar, archive)) {
            RemoveSidecarFiles(sidecar);
            report(Fail(FailureKind::kNone, sidecar->path,
                        N_("the save of an earlier mount had put the archive in place before it "
                           "was stopped; its edits are in the archive")));
            exists = false;
        } else if (discard) {
            RemoveSidecarFiles(sidecar);
            report(Fail(FailureKind::kNone, sidecar->path, N_("unsaved edits discarded")));
            exists = false;
        } else if (!ReadJournal(sidecar, archive, changes, why)) {
            CloseSidecar(sidecar, false);
            return false;
        }
    }
    if (!exists &&
        (!MakeSidecar(sidecar, archive, why) || flock(sidecar->journal, LOCK_EX | LOCK_NB) != 0)) {
        CloseSidecar(sidecar, false);
        return false;
    }
    if (sidecar->folder >= 0)
        close(sidecar->folder);
    sidecar->folder = open(sidecar->path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    sidecar->files =
        open((sidecar->path + "/" + kFiles).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (sidecar->folder < 0 || sidecar->files < 0) {
        *why = Format(_("it cannot be opened: %s"), strerror(errno));
        CloseSidecar(sidecar, false);
        return false;
    }
    unlinkat(sidecar->folder, kFailure, 0);
    return true;
}

int AppendChange(Sidecar *sidecar, const std::vector<std::string> &fields) {
    std::string line;
    for (const std::string &field : fields)
        line += (line.empty() ? "" : "\t") + field;
    line += "\n";
    // One write with O_APPEND: the line is there whole, or the mount stopped
    // before answering the change.
    ssize_t n = write(sidecar->journal, line.data(), line.size());
    if (n == (ssize_t)line.size())
        return 0;
    int error = n < 0 ? errno : ENOSPC;
    // Take a part of a line back, so that the journal stays whole.
    if (n > 0) {
        off_t size = lseek(sidecar->journal, 0, SEEK_END);
        if (size >= n && ftruncate(sidecar->journal, size - n) != 0)
            error = EIO;
    }
    return -error;
}

std::string StagedPath(const Sidecar &sidecar, uint64_t stage) {
    return sidecar.path + "/" + kFiles + "/" + std::to_string(stage);
}

int ReserveStage(Sidecar *sidecar, uint64_t *stage) {
    *stage = sidecar->nextStage;
    int error = AppendChange(sidecar, {"reserve", std::to_string(*stage)});
    if (error == 0)
        sidecar->nextStage++;
    return error;
}

int CreateStaged(Sidecar *sidecar, uint64_t stage) {
    int fd = openat(sidecar->files, std::to_string(stage).c_str(),
                    O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    return fd >= 0 ? fd : -errno;
}

int OpenStaged(const Sidecar &sidecar, uint64_t stage) {
    int fd = openat(sidecar.files, std::to_string(stage).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    return fd >= 0 ? fd : -errno;
}

void RemoveStaged(const Sidecar &sidecar, uint64_t stage) {
    unlinkat(sidecar.files, std::to_string(stage).c_str(), 0);
}

void SweepStaged(const Sidecar &sidecar, const std::vector<uint64_t> &live) {
    int fd = dup(sidecar.files);
    DIR *files = fd >= 0 ? fdopendir(fd) : nullptr;
    for (struct dirent *e; files != nullptr && (e = readdir(files)) != nullptr;) {
        if (IsNumber(e->d_name) &&
            !std::binary_search(live.begin(), live.end(), strtoull(e->d_name, nullptr, 10)))
            unlinkat(sidecar.files, e->d_name, 0);
    }
    if (files != nullptr)
        closedir(files);
    else if (fd >= 0)
        close(fd);
}

int SyncSidecar(const Sidecar &sidecar) {
    for (int fd : {sidecar.journal, sidecar.files, sidecar.folder}) {
        if (fsync(fd) != 0)
            return -errno;
    }
    return 0;
}

static void WriteNote(const Sidecar &sidecar, const char *name, const std::string &text) {
    int fd = openat(sidecar.folder, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ssize_t ignored = write(fd, text.data(), text.size());
        (void)ignored; // a note that cannot be written only leaves umount less to say
        close(fd);
    }
}

void NoteMountProcess(const Sidecar &sidecar) {
    WriteNote(sidecar, kProcess, std::to_string(getpid()) + "\n");
}

void NoteEmptyFolder(Sidecar *sidecar, const std::string &folder) {
    AppendChange(sidecar, {"empty", folder}); // if it fails, umount only names less
}

int NoteSaving(const Sidecar &sidecar, const std::string &temporary, bool made) {
    struct stat st;
    memset(&st, 0, sizeof st);
    if (made && stat(temporary.c_str(), &st) != 0)
        return -errno;
    std::string text = temporary + "\t" + std::to_string((uint64_t)st.st_dev) + "\t" +
                       std::to_string((uint64_t)st.st_ino) + "\n";
    // Written whole beside the note and renamed over it: a kill leaves the
    // old note or the new one, never an empty one.
    int fd = openat(sidecar.folder, kSavingNew, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int error = fd < 0 ? -errno : 0;
    if (error == 0 &&
        (write(fd, text.data(), text.size()) != (ssize_t)text.size() || fsync(fd) != 0))
        error = errno != 0 ? -errno : -EIO;
    if (fd >= 0)
        close(fd);
    if (error == 0 && renameat(sidecar.folder, kSavingNew, sidecar.folder, kSaving) != 0)
        error = -errno;
    // The note is on the disk before the new archive can replace the old.
    if (error == 0 && fsync(sidecar.folder) != 0)
        error = -errno;
    return error;
}

void NoteSaveFailure(const Sidecar &sidecar, const std::string &message) {
    WriteNote(sidecar, kFailure, message + "\n");
    unlinkat(sidecar.folder, kSaving, 0);
}

// Removes the sidecar and closes its descriptors; the archive stays locked.
static void RemoveSidecarFiles(Sidecar *sidecar) {
    RemoveAll(sidecar->path);
    for (int *fd : {&sidecar->files, &sidecar->folder, &sidecar->journal}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

void CloseSidecar(Sidecar *sidecar, bool remove) {
    if (remove)
        RemoveAll(sidecar->path);
    // The journal's lock goes last but for the archive's: quorvel umount
    // takes its release as the end of the save.
    for (int *fd : {&sidecar->files, &sidecar->folder, &sidecar->journal, &sidecar->archive}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

static std::string ReadNote(const std::string &path, const char *name) {
    std::string text;
    int fd = open((path + "/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
        ReadAll(fd, &text);
        close(fd);
    }
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

int WatchSidecar(const std::string &path) {
    return open((path + "/" + kJournal).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
}

bool MountHoldsSidecar(int watched) {
    bool held = flock(watched, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (!held)
        flock(watched, LOCK_UN);
    return held;
}

bool SaveOutcome(int watched, off_t from, std::vector<std::string> *empty) {
    struct stat st;
    bool saved = fstat(watched, &st) == 0 && st.st_nlink == 0;
    std::string text;
    if (saved && lseek(watched, from, SEEK_SET) == from)
        ReadAll(watched, &text);
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::vector<std::string> fields = Fields(text.substr(at, end - at));
        if (fields.size() == 2 && fields[0] == "empty")
            empty->push_back(fields[1]);
    }
    close(watched);
    return saved;
}

pid_t NotedMountProcess(const std::string &path) {
    std::string noted = ReadNote(path, kProcess);
    pid_t pid = IsNumber(noted) ? (pid_t)strtol(noted.c_str(), nullptr, 10) : 0;
    // A note left by an earlier mount may name a process that is now another.
    std::string folder = "/proc/" + std::to_string(pid) + "/fd", journal = path + "/" + kJournal;
    DIR *fds = pid > 0 ? opendir(folder.c_str()) : nullptr;
    bool holds = false;
    char target[PATH_MAX];
    for (struct dirent *e; !holds && fds != nullptr && (e = readdir(fds)) != nullptr;) {
        ssize_t n = readlinkat(dirfd(fds), e->d_name, target, sizeof target);
        holds = n > 0 && (size_t)n < sizeof target && journal == std::string(target, (size_t)n);
    }
    if (fds != nullptr)
        closedir(fds);
    return holds ? pid : 0;
}

std::string SaveFailureOf(const std::string &path) { return ReadNote(path, kFailure); }
