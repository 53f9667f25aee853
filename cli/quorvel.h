// quorvel's commands and what they share: exit statuses and the options
// read from the command line.
#ifndef AXQ_QUORVEL_QUORVEL_H
#define AXQ_QUORVEL_QUORVEL_H

#include "core/failure.h"
#include "core/files.h"
#include "core/names.h"
#include "core/select.h"
#include "core/status.h"
#include "core/writer.h"

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
    std::string from;               // update --from: the patch to apply
    bool remove = false;            // update --remove: the operands are entries to drop
    uint64_t cacheBytes = 8u << 20; // mount --cache-size
    int waitSeconds = 5;            // umount --wait
};

// The entries a command's NAME operands (after the archive) and excludes choose.
Choice ChoiceOf(const Options &options);

// Prints each failure (core/output's PrintFailure) on a line of its own.
void PrintFaults(const std::vector<Failure> &faults);

// OpenListing, and the failure printed: kExitOk or kExitArchive.
int OpenListingOrReport(const std::string &path, const Encoding &encoding, Selection *selection);
// Select of the archive and the entries the options choose (in operand
// order if asked: see Choice), failures printed: kExitOk, kExitPartial if
// an operand matched nothing, or kExitArchive.
int SelectEntries(const Options &options, Selection *selection, bool operandOrder = false);

int Check(const Options &options);
int List(const Options &options);
int Test(const Options &options);
int Extract(const Options &options);
int Cat(const Options &options);
int Pack(const Options &options);
int Update(const Options &options);
int Diff(const Options &options);

// What pack and update share (pack.cpp), failures printed:
// The target's rules (CheckWriteTarget).
bool TargetAllowed(const std::string &path);
// The name to store for an input file, converted into the archive's code
// page, with `separator` between folders; false with the reason.
bool StoredName(const std::string &name, const Encoding &encoding, char separator,
                std::string *stored, std::string *why);
// The files and folders given, walked; sorted unless in the order given.
bool Inputs(const std::vector<std::string> &arguments, bool sorted, const Options &options,
            InputFiles *inputs);
// The archive being written is none of its own inputs.
bool InputsLeaveOut(const std::string &archive, const InputFiles &inputs);
// Input i as the entry `stored`, into `entry`, which may be one reused.
void FromFile(const InputFiles &inputs, size_t i, const std::string &stored, NewEntry *entry);

#endif
