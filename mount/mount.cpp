// quorvel mount (Linux): an archive as a folder through FUSE 3,
// read-only by default. The tree comes from one listing; every read of an
// unchanged entry's bytes is a GetFile, whose block is kept while the file
// is open and then, within a bound, for later opens. With --write the tree
// can change: every change goes to the sidecar (edits.h) before it is
// answered, and the archive is written anew, as update writes it, when the
// mount ends.
#include "core/account.h"
#include "mount/mounted.h"
#include "core/output.h"
#include "core/status.h"
#include "mount/mount.h"
#include "core/translate.h"

#include <algorithm>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char kReadOnlyType[] = "quorvel";
static const char kWritableType[] = "quorvel-edit";

// A value in FUSE's option list, where a comma ends an option and a
// backslash escapes the character after it.
static std::string OptionValue(const std::string &text) {
    std::string escaped;
    for (char c : text) {
        if (c == ',' || c == '\\')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// Opens the sidecar and replays what an earlier mount left in it.
static bool ResumeEdits(const MountOptions &options) {
    std::vector<std::vector<std::string>> changes;
    std::string why;
    if (!OpenSidecar(mounted.archive, options.discardEdits, &mounted.sidecar, &changes, &why,
                     PrintFailure)) {
        Error(SidecarPath(mounted.archive.path), _("%s; nothing is mounted"), why.c_str());
        return false;
    }
    mounted.replaying = true;
    for (const std::vector<std::string> &change : changes) {
        if (ApplyChange(change, true) != 0) {
            Error(mounted.sidecar.path, "%s",
                  _("its journal does not fit the archive; nothing is mounted"));
            CloseSidecar(&mounted.sidecar, false);
            return false;
        }
    }
    mounted.replaying = false;
    // Damaged staged bytes are found now, not by a failing open or save.
    if (!CheckStaged(&why)) {
        Error(mounted.sidecar.path,
              _("%s, so the edits cannot be resumed; nothing is mounted. Copy what you need from "
                "the folder, then mount --write --discard-edits drops them."),
              why.c_str());
        CloseSidecar(&mounted.sidecar, false);
        return false;
    }
    return true;
}

// Why DIR cannot take a mount, or "".
static std::string MountPointProblem(const std::string &dir) {
    struct stat st, parent;
    if (stat(dir.c_str(), &st) != 0)
        return strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return _("not a folder");
    if (stat((dir + "/..").c_str(), &parent) == 0 && parent.st_dev != st.st_dev)
        return _("something is already mounted there");
    return "";
}

// As fuse_daemonize, but the mount's process is noted in the sidecar before
// the command returns, so that whoever mounted may read mount.pid at once.
// In the background the command's own process waits for that and leaves; a
// child that dies first leaves it with status 3.
static bool Daemonize(bool foreground) {
    int waiter[2] = {-1, -1};
    pid_t child = 0;
    if (!foreground && (pipe(waiter) != 0 || (child = fork()) < 0)) {
        if (waiter[0] >= 0) {
            close(waiter[0]);
            close(waiter[1]);
        }
        return false;
    }
    if (child > 0) {
        char done = 0;
        close(waiter[1]);
        _exit(read(waiter[0], &done, 1) == 1 && done == 1 ? kExitOk : kExitArchive);
    }
    if (!foreground) {
        close(waiter[0]);
        setsid();
        int null = open("/dev/null", O_RDWR);
        for (int fd = 0; null >= 0 && fd <= 2; fd++)
            dup2(null, fd);
        if (null > 2)
            close(null);
    }
    // The mount uses absolute paths only, and holds no folder of the system busy.
    bool ready = chdir("/") == 0;
    if (ready && mounted.writable)
        NoteMountProcess(mounted.sidecar);
    if (!foreground) {
        // If the command's process is gone, nobody waits for the answer.
        char done = ready ? 1 : 0;
        ssize_t told = write(waiter[1], &done, 1);
        (void)told;
        close(waiter[1]);
    }
    return ready;
}

static struct fuse_lowlevel_ops Operations() {
    struct fuse_lowlevel_ops operations;
    memset(&operations, 0, sizeof operations);
    AddViewOperations(&operations);
    if (mounted.writable)
        AddEditOperations(&operations);
    return operations;
}

int Mount(const MountOptions &options) {
    const std::string &path = options.archive, &dir = options.folder;
    std::string problem = MountPointProblem(dir);
    if (!problem.empty()) {
        Error(dir, "%s", problem.c_str());
        return kExitArchive;
    }
    // The mount runs on after quorvel leaves the current folder.
    char absolute[PATH_MAX], point[PATH_MAX];
    const std::string *failed = realpath(path.c_str(), absolute) == nullptr ? &path
                                : realpath(dir.c_str(), point) == nullptr   ? &dir
                                                                            : nullptr;
    if (failed != nullptr) {
        Error(*failed, "%s", strerror(errno));
        return kExitArchive;
    }
    // The mount reads the archive by its path: an archive below the mount
    // point would be read through the mount itself, which waits for itself.
    if (strncmp(absolute, point, strlen(point)) == 0 &&
        (absolute[strlen(point)] == '/' || strcmp(point, "/") == 0)) {
        Error(dir, "%s",
              _("the archive is in this folder, which the mount would cover; mount it elsewhere"));
        return kExitArchive;
    }
    Selection selection;
    Failure failure;
    if (!OpenListing(absolute, options.encoding, &selection, &failure)) {
        PrintFailure(failure);
        return kExitArchive;
    }
    mounted.archive = selection.archive;
    mounted.listing = selection.listing;
    mounted.encoding = selection.encoding;
    mounted.time = mounted.listing.count > 0 ? LastWriteTime(mounted.listing[0].timestamp)
                                             : mounted.archive.state.modified;
    mounted.owner = getuid();
    mounted.group = getgid();
    mounted.cacheBound = options.cacheBytes;
    mounted.writable = options.write;
    BuildTree();
    OpenEntryReader(mounted.archive, &mounted.reader);
    struct stat st;
    // What is left of a save that was stopped after it put the archive in
    // place is no unsaved edit: the next mount --write clears it.
    if (!mounted.writable && stat(SidecarPath(absolute).c_str(), &st) == 0 &&
        !SaveFinished(SidecarPath(absolute), mounted.archive))
        Error(absolute, _("unsaved edits exist in %s; shown is the archive as it is on disk"),
              SidecarPath(absolute).c_str());
    // A save keeps only what the listing shows: an archive it does not wholly
    // account for is not mounted for writing, so that no edit is made that
    // cannot be saved.
    std::string why;
    if (mounted.writable &&
        !ListingAccountsForArchive(mounted.archive, mounted.listing, false, &why)) {
        Error(absolute,
              _("%s; it is not mounted for writing, since its save would drop what the "
                "listing leaves out"),
              why.c_str());
        CloseEntryReader(&mounted.reader);
        FreeListing(&mounted.listing);
        return kExitArchive;
    }
    if (mounted.writable && !ResumeEdits(options)) {
        CloseEntryReader(&mounted.reader);
        FreeListing(&mounted.listing);
        return kExitArchive;
    }

    struct fuse_lowlevel_ops operations = Operations();
    std::string mountOptions = std::string(mounted.writable ? "rw" : "ro") +
                               ",default_permissions,auto_unmount,fsname=" + OptionValue(absolute) +
                               ",subtype=" + (mounted.writable ? kWritableType : kReadOnlyType);
    const char *arguments[] = {"quorvel", "-o", mountOptions.c_str()};
    struct fuse_args args = FUSE_ARGS_INIT(3, (char **)arguments);
    struct fuse_session *session = fuse_session_new(&args, &operations, sizeof operations, nullptr);
    int status = kExitArchive;
    bool ran = false;
    if (session == nullptr) {
        Error(dir, "%s", _("cannot set up the mount"));
    } else if (fuse_session_mount(session, point) != 0) {
        Error(dir, "%s", _("cannot mount here (is FUSE usable on this system?)"));
    } else {
        if (fuse_set_signal_handlers(session) == 0 && Daemonize(options.foreground)) {
            // A signal that ends the mount is its normal end, not an error.
            status = fuse_session_loop(session) >= 0 ? kExitOk : kExitArchive;
            fuse_remove_signal_handlers(session);
            ran = true;
        }
        fuse_session_unmount(session);
    }
    if (session != nullptr)
        fuse_session_destroy(session);
    fuse_opt_free_args(&args); // fuse_session_new may have added to them
    for (auto &handle : mounted.handles) {
        if (handle.second.fd >= 0)
            close(handle.second.fd);
    }
    for (auto &held : mounted.held)
        FreeEntry(&held.second.entry);
    CloseEntryReader(&mounted.reader);
    if (mounted.writable && ran)
        status = std::max(status, Save());
    else if (mounted.writable)
        CloseSidecar(&mounted.sidecar, false);
    FreeListing(&mounted.listing);
    return status;
}
