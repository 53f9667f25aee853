// quorvel's commands and what they share: exit statuses and the options
// read from the command line.
#ifndef AXQ_QUORVEL_QUORVEL_H
#define AXQ_QUORVEL_QUORVEL_H

#include "core/failure.h"
#include "core/names.h"
#include "core/select.h"
#include "core/status.h"

#include <stdint.h>
#include <string>
#include <vector>

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

// The entries a command's NAME operands (after the archive) and excludes choose.
Choice ChoiceOf(const Options &options);

// Prints each failure (core/output's PrintFailure) on a line of its own.
void PrintFaults(const std::vector<Failure> &faults);

// OpenListing, and the failure printed: kExitOk or kExitArchive.
int OpenListingOrReport(const std::string &path, const Encoding &encoding, Selection *selection);
// Select of the archive and the entries the options choose, failures
// printed: kExitOk, kExitPartial if an operand matched nothing, or kExitArchive.
int SelectEntries(const Options &options, Selection *selection);

int Check(const Options &options);
int List(const Options &options);
int Test(const Options &options);
int Extract(const Options &options);
int Cat(const Options &options);
int Pack(const Options &options);
int Update(const Options &options);

#endif
