// quorvel umount: ends a mount, waiting a while for one that is busy, and
// for a writable one waits for its save and tells how it went. Nothing here
// reads through the mount: a mount whose process is stopped or hung would
// never answer.
#include "core/edits.h"
#include "mount/processes.h"
#include "core/output.h"
#include "core/status.h"
#include "mount/mount.h"
#include "core/translate.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static constexpr long kPollMilliseconds = 20;
// fusermount3 sets no locale: its messages are in English.
static const char kBusy[] = "Device or resource busy"; // untranslated: fusermount3's text

static double Now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static void Pause() {
    struct timespec pause = {0, kPollMilliseconds * 1000000};
    nanosleep(&pause, nullptr);
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

// DIR as an absolute path, found from its parent: a look at the mount point
// itself would ask the mount's process.
static std::string PointOf(const std::string &dir) {
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    size_t slash = path.rfind('/');
    std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    char absolute[PATH_MAX];
    if (last == "." || last == "..")
        return realpath(dir.c_str(), absolute) != nullptr ? absolute : "";
    if (realpath(parent.c_str(), absolute) == nullptr)
        return "";
    return std::string(absolute) + (strcmp(absolute, "/") == 0 ? "" : "/") + last;
}

// What is mounted at `point`: its type ("fuse.quorvel-edit", ...) and
// source, or an empty type where nothing is.
static void MountAt(const std::string &point, std::string *type, std::string *source) {
    FILE *info = fopen("/proc/self/mountinfo", "re");
    type->clear();
    source->clear();
    char line[8192];
    while (info != nullptr && fgets(line, sizeof line, info) != nullptr) {
        char at[4096], kind[256], from[4096];
        const char *dash = strstr(line, " - ");
        if (dash == nullptr || sscanf(line, "%*s %*s %*s %*s %4095s", at) != 1 ||
            sscanf(dash, " - %255s %4095s", kind, from) != 2)
            continue;
        // The last mount at a point is the one seen there.
        if (Unescape(at) == point) {
            *type = kind;
            *source = Unescape(from);
        }
    }
    if (info != nullptr)
        fclose(info);
}

// The archive of a writable mount at `point`, or "" for any other mount.
static std::string WritableMountOf(const std::string &point) {
    std::string type, source;
    MountAt(point, &type, &source);
    return type == "fuse.quorvel-edit" ? source : "";
}

// One fusermount3 -u; *said is what it printed.
static bool RunFusermount(const std::string &dir, std::string *said) {
    const char *arguments[] = {"fusermount3", "-u", dir.c_str(), nullptr};
    int pipes[2];
    if (pipe2(pipes, O_CLOEXEC) != 0) {
        *said = strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipes[1], 2);
    pid_t child;
    int status = -1;
    int error = posix_spawnp(&child, arguments[0], &actions, nullptr, (char **)arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipes[1]);
    said->clear();
    char buffer[512];
    for (ssize_t n; (n = read(pipes[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);)
        said->append(buffer, n > 0 ? (size_t)n : 0);
    close(pipes[0]);
    if (error != 0)
        *said = std::string("fusermount3: ") + strerror(error); // untranslated: a program's name
    else
        waitpid(child, &status, 0);
    while (!said->empty() && said->back() == '\n')
        said->pop_back();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Unmounts DIR, trying again while it is busy for up to `seconds`. False
// with fusermount3's last message, and whether it said the mount was busy.
static bool UnmountWithin(const std::string &dir, double seconds, std::string *said, bool *busy) {
    double deadline = Now() + seconds;
    bool unmounted;
    while (!(unmounted = RunFusermount(dir, said)) &&
           (*busy = said->find(kBusy) != std::string::npos) && Now() < deadline)
        Pause();
    return unmounted;
}

// Names every process that keeps the mount at `point` busy.
static void SayWhoHolds(const std::string &dir, const std::string &point, int seconds) {
    size_t unseen = 0;
    std::vector<Holder> holders = HoldersOf(point, &unseen);
    Error(dir,
          P_("the mount is still in use after %d second, so it was not ended; close these "
             "files and leave these folders, then umount again (--wait SECONDS waits longer):",
             "the mount is still in use after %d seconds, so it was not ended; close these "
             "files and leave these folders, then umount again (--wait SECONDS waits longer):",
             (unsigned long)seconds),
          seconds);
    for (const Holder &holder : holders)
        Error(dir, _("process %d (%s): %s %s"), (int)holder.pid, holder.command.c_str(),
              holder.how.c_str(), holder.path.c_str());
    if (holders.empty())
        Error(dir, "%s",
              unseen > 0 ? _("no process this user may look at holds it: another user's may, "
                             "or a mount inside it")
                         : _("no process holds it: a mount inside it may"));
}

// Waits while the mount's process holds the sidecar's journal: as long as
// it runs, reads, writes or waits for its disk (a large save takes a
// while), and `seconds` at most while it does none of these (stopped, or
// hung). False in that case; *state is then the process's state letter.
static bool AwaitSave(int watched, pid_t server, int seconds, char *state) {
    Activity last = server > 0 ? ActivityOf(server) : Activity();
    double quiet = Now(); // since when the process has done nothing
    for (int poll = 1; MountHoldsSidecar(watched); poll++) {
        Pause();
        if (server <= 0 || poll % 10 != 0)
            continue;
        Activity now = ActivityOf(server);
        bool working = now.state == 'R' || now.state == 'D' || now.work != last.work;
        if (working || now.state == 0)
            quiet = Now();
        last = now;
        if (Now() - quiet > seconds) {
            *state = now.state;
            return false;
        }
    }
    return true;
}

int Unmount(const std::string &dir, int waitSeconds) {
    std::string point = PointOf(dir);
    // Said here, in the user's language, rather than left to fusermount3.
    std::string type, source;
    MountAt(point, &type, &source);
    if (point.empty() || type.rfind("fuse", 0) != 0) {
        Error(dir, "%s", _("nothing of quorvel's is mounted here"));
        return kExitArchive;
    }
    std::string archive = point.empty() ? "" : WritableMountOf(point);
    std::string sidecar = archive.empty() ? "" : SidecarPath(archive);
    // Opened before the unmount, so that the wait is for this mount's save.
    int watched = sidecar.empty() ? -1 : WatchSidecar(sidecar);
    pid_t server = watched >= 0 ? NotedMountProcess(sidecar) : 0;
    // The save's notes follow what the journal holds now (notes of an
    // earlier save that was stopped come before).
    struct stat st;
    off_t from = watched >= 0 && fstat(watched, &st) == 0 ? st.st_size : 0;
    std::string said;
    bool busy = false;
    bool unmounted = UnmountWithin(dir, waitSeconds, &said, &busy);
    if (!unmounted && busy)
        SayWhoHolds(dir, point, waitSeconds);
    else if (!unmounted && !said.empty())
        PrintErrorText(said + "\n");
    if (!unmounted && server > 0 && ActivityOf(server).state == 'T')
        Error(dir,
              _("the mount's process %d is stopped: programs waiting for it keep the mount "
                "busy (kill -CONT %d lets it go on)"),
              (int)server, (int)server);
    // A writable mount saves after it is unmounted: wait for it to finish.
    // One that was killed may be gone already; it holds nothing any more.
    bool ended = watched >= 0 && (unmounted || !MountHoldsSidecar(watched));
    char state = 0;
    if (ended && !AwaitSave(watched, server, waitSeconds, &state)) {
        if (state == 'T') // by a signal; a debugger's stop ('t') is its own
            Error(dir,
                  _("the mount's process %d is stopped: the mount has ended, and its save runs "
                    "when the process goes on (kill -CONT %d); until then the edits are kept in "
                    "%s"),
                  (int)server, (int)server, sidecar.c_str());
        else
            Error(dir,
                  P_("the mount's process %d has done nothing for %d second: the mount has "
                     "ended, but its save has not; the edits are kept in %s until it is done",
                     "the mount's process %d has done nothing for %d seconds: the mount has "
                     "ended, but its save has not; the edits are kept in %s until it is done",
                     (unsigned long)waitSeconds),
                  (int)server, waitSeconds, sidecar.c_str());
        close(watched);
        return kExitArchive;
    }
    std::vector<std::string> empty;
    bool saved = ended && SaveOutcome(watched, from, &empty);
    for (const std::string &folder : empty)
        Error(archive, _("%s: an empty folder is not stored (the format has none)"),
              folder.c_str());
    if (ended && !saved) {
        std::string failure = SaveFailureOf(sidecar);
        if (failure.empty())
            Error(archive,
                  _("the mount ended before its save was done; the edits are kept in %s, and the "
                    "next mount --write resumes them"),
                  sidecar.c_str());
        else
            fprintf(stderr, "%s\n", failure.c_str());
        return kExitArchive;
    }
    if (watched >= 0 && !ended)
        close(watched);
    return unmounted ? kExitOk : kExitArchive;
}
