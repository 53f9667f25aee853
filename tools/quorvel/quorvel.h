// quorvel's commands and what they share: exit statuses and the options
// read from the command line.
#ifndef AXQ_QUORVEL_QUORVEL_H
#define AXQ_QUORVEL_QUORVEL_H

#include "tools/quorvel/names.h"

#include <stdint.h>
#include <string>
#include <vector>

// Exit statuses, as the README and the manual list them.
constexpr int kExitOk = 0;
constexpr int kExitPartial =
    1; // some files were not archives, or some entries failed or were missing
constexpr int kExitUsage = 2;   // the command line was wrong
constexpr int kExitArchive = 3; // the archive, an input or an output file could not be used
constexpr int kExitPlugin = 4;  // the plug-in could not be loaded or lacks an export

struct Options {
    std::vector<std::string> operands;
    Encoding encoding{"auto", 0};
    std::string directory = "."; // extract -C
    std::string output;          // pack -o
    std::string listFile;        // pack -T
    char separator = '\\';       // pack --separator: stored between folders
    std::vector<std::string> excludes;
    bool details = false;           // list -l
    bool json = false;              // list --json
    bool ignoreCase = false;        // -i
    bool overwrite = false;         // extract --overwrite
    bool foreground = false;        // mount -f
    bool write = false;             // mount --write
    bool discardEdits = false;      // mount --discard-edits
    bool dropUnowned = false;       // update --drop-unowned-bytes
    uint64_t cacheBytes = 8u << 20; // mount --cache-size
    int waitSeconds = 5;            // umount --wait
};

int Check(const Options &options);
int List(const Options &options);
int Test(const Options &options);
int Extract(const Options &options);
int Cat(const Options &options);
int Pack(const Options &options);
int Update(const Options &options);
int Mount(const Options &options);
int Unmount(const Options &options);

#endif
