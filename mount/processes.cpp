// The processes around a mount, from /proc: those that hold it, and what
// the mount's own process is doing.
#include "mount/processes.h"

#include "core/translate.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <set>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static bool Below(const std::string &path, const std::string &point) {
    return path.compare(0, point.size(), point) == 0 &&
           (path.size() == point.size() || path[point.size()] == '/' || point == "/");
}

// Where a /proc link leads, or "" (errno says why).
static std::string Target(const std::string &link) {
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target);
    return n > 0 && (size_t)n < sizeof target ? std::string(target, (size_t)n) : "";
}

static std::string ReadSmall(const std::string &path) {
    std::string text;
    FILE *file = fopen(path.c_str(), "re");
    char buffer[4096];
    for (size_t n; file != nullptr && (n = fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
    if (file != nullptr)
        fclose(file);
    return text;
}

// What one process holds below `point`, added to `holders`; false if this
// user may not look at it.
static bool HeldBy(pid_t pid, const std::string &point, std::vector<Holder> *holders) {
    std::string base = "/proc/" + std::to_string(pid);
    std::string command = ReadSmall(base + "/comm");
    if (!command.empty() && command.back() == '\n')
        command.pop_back();
    std::set<std::string> seen; // a file mapped in several pieces is named once
    auto note = [&](const char *how, const std::string &path) {
        if (Below(path, point) && seen.insert(how + path).second)
            holders->push_back({pid, command, how, path});
    };
    std::string cwd = Target(base + "/cwd");
    if (cwd.empty())
        return errno != EACCES && errno != EPERM;
    note(_("working folder"), cwd);
    note(_("root folder"), Target(base + "/root"));
    DIR *fds = opendir((base + "/fd").c_str());
    for (struct dirent *e; fds != nullptr && (e = readdir(fds)) != nullptr;) {
        if (e->d_name[0] != '.')
            note(_("open file"), Target(base + "/fd/" + e->d_name));
    }
    if (fds != nullptr)
        closedir(fds);
    // Lines of maps: address, permissions, offset, device, inode, then the path.
    std::string maps = ReadSmall(base + "/maps");
    for (size_t at = 0, end; (end = maps.find('\n', at)) != std::string::npos; at = end + 1) {
        size_t path = maps.find('/', at);
        if (path < end)
            note(_("mapped file"), maps.substr(path, end - path));
    }
    return true;
}

std::vector<Holder> HoldersOf(const std::string &point, size_t *unseen) {
    std::vector<Holder> holders;
    *unseen = 0;
    DIR *proc = point.empty() ? nullptr : opendir("/proc");
    for (struct dirent *e; proc != nullptr && (e = readdir(proc)) != nullptr;) {
        char *end;
        long pid = strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == getpid())
            continue;
        if (!HeldBy((pid_t)pid, point, &holders))
            (*unseen)++;
    }
    if (proc != nullptr)
        closedir(proc);
    return holders;
}

Activity ActivityOf(pid_t pid) {
    Activity activity;
    std::string base = "/proc/" + std::to_string(pid), stat = ReadSmall(base + "/stat");
    // After the command's closing parenthesis: the state, ten more fields,
    // then the time it ran in user and in system mode.
    size_t close = stat.rfind(')');
    unsigned long long user = 0, system = 0;
    if (close == std::string::npos ||
        sscanf(stat.c_str() + close + 1, " %c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu %llu",
               &activity.state, &user, &system) != 3)
        return Activity();
    activity.work = user + system;
    // Bytes read and written; /proc/PID/io may be closed to this user.
    std::string io = ReadSmall(base + "/io");
    for (const char *counter : {"rchar: ", "wchar: "}) {
        size_t at = io.find(counter);
        if (at != std::string::npos)
            activity.work += strtoull(io.c_str() + at + strlen(counter), nullptr, 10);
    }
    if (activity.state == 'Z' || activity.state == 'X')
        activity.state = 0;
    return activity;
}
