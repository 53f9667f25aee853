// What /proc tells quorvel umount of the processes around a mount (Linux):
// which of them hold it, and whether the mount's own process is at work.
#ifndef AXQ_QUORVEL_MOUNT_PROCESSES_H
#define AXQ_QUORVEL_MOUNT_PROCESSES_H

#include <stdint.h>
#include <string>
#include <sys/types.h>
#include <vector>

// A process that keeps a mount busy, and by what.
struct Holder {
    pid_t pid = 0;
    std::string command; // its name, as /proc/PID/comm has it
    std::string how;     // "working folder", "open file"... (translated)
    std::string path;    // as /proc shows it: at or below the mount point
};

// Every process but this one whose working or root folder, open file or
// mapped file lies at or below `point` (absolute), read from /proc links
// alone, so that nothing is asked of the mount. *unseen counts the processes
// this user may not look at.
std::vector<Holder> HoldersOf(const std::string &point, size_t *unseen);

// What a process is doing: its state letter (R running, S sleeping, D
// waiting for a disk, T or t stopped; 0 once it has ended) and a count that
// grows while it runs, reads or writes.
struct Activity {
    char state = 0;
    uint64_t work = 0;
};
Activity ActivityOf(pid_t pid);

#endif
