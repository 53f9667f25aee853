// quorvel umount: ends a mount, and for a writable one waits for its save
// and tells how it went.
#include "tools/quorvel/mount/edits.h"
#include "tools/quorvel/output.h"
#include "tools/quorvel/quorvel.h"
#include "tools/quorvel/translate.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

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
        bool isFolder = e->d_type != DT_UNKNOWN
                            ? e->d_type == DT_DIR
                            : fstatat(dirfd(folder), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                  S_ISDIR(st.st_mode);
        bool below = !isFolder || WarnEmptyFolders(dir + "/" + e->d_name, name, archive);
        holdsFile = holdsFile || below;
    }
    if (folder != nullptr)
        closedir(folder);
    if (!holdsFile && !shown.empty())
        Error(archive, _("%s: an empty folder is not stored (the format has none)"), shown.c_str());
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
    // Opened before the unmount, so that the wait is for this mount's save.
    int watched = sidecar.empty() ? -1 : WatchSidecar(sidecar);
    const char *arguments[] = {"fusermount3", "-u", dir.c_str(), nullptr};
    pid_t child;
    int status = -1;
    if (posix_spawnp(&child, arguments[0], nullptr, nullptr, (char **)arguments, environ) != 0) {
        Error("fusermount3", "%s", strerror(errno)); // untranslated: a program's name
        status = 1;
    } else {
        waitpid(child, &status, 0);
    }
    bool unmounted = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    int result = unmounted ? kExitOk : kExitArchive;
    // A writable mount saves after it is unmounted: wait for it to finish.
    // One that was killed may be gone already; it holds nothing any more.
    bool ended = watched >= 0 && (unmounted || !MountHoldsSidecar(watched));
    if (ended && !WaitForSave(watched)) {
        std::string failure = SaveFailureOf(sidecar);
        if (failure.empty())
            Error(archive,
                  _("the mount ended before its save was done; the edits are kept in %s, and the "
                    "next mount --write resumes them"),
                  sidecar.c_str());
        else
            fprintf(stderr, "%s\n", failure.c_str());
        result = kExitArchive;
    } else if (watched >= 0 && !ended) {
        close(watched);
    }
    return result;
}
