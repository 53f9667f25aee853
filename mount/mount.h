// The mount as the command line starts and ends it: what it is given, and
// the exit status it returns (core/status.h). Linux only.
#ifndef AXQ_MOUNT_MOUNT_H
#define AXQ_MOUNT_MOUNT_H

#include "core/codepage.h"

#include <stdint.h>
#include <string>

struct MountOptions {
    std::string archive, folder; // mount ARCHIVE DIR
    Encoding encoding{"auto", 0};
    bool foreground = false;        // -f: stay in the foreground
    bool write = false;             // --write
    bool discardEdits = false;      // --discard-edits
    uint64_t cacheBytes = 8u << 20; // --cache-size
};

// Mounts the archive at the folder; returns when the mount ends (in the
// foreground) or once it is up (in the background).
int Mount(const MountOptions &options);

// Ends the mount at `folder`, waiting up to waitSeconds for a writable one's save.
int Unmount(const std::string &folder, int waitSeconds);

#endif
