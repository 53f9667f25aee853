// The rows of the commands that touch every entry, each against its floor
// in the same run: update of one entry against list plus a flushed copy of
// the archive, test against list, and every file read through a mount
// against extract of the same files.
#include "bench/bench.h"

#include <stdlib.h>
#include <sys/stat.h>

static void Run(const std::string &command) {
    if (system(command.c_str()) != 0)
        abort();
}

static std::string Quoted(const std::string &text) { return "'" + text + "'"; }

// update of the middle entry, on a fresh copy each run (untimed), against
// list and a copy of the archive flushed to the disk: what an update cannot
// do without. Then test against list.
static void EveryEntryRows(const std::string &quorvel, size_t n) {
    std::vector<Entry> entries = Content(n, 16);
    std::string set = "update-" + std::to_string(n);
    std::string archive = Prepare(set, entries, "dat");
    std::string copy = dataDir + "/" + set + "-copy.dat", floor = dataDir + "/" + set + "-cp.dat";
    std::string folder = dataDir + "/" + set + "-input", &name = entries[n / 2].name;
    Run("rm -rf " + Quoted(folder) + " && mkdir -p \"$(dirname " + Quoted(folder + "/" + name) +
        ")\" && printf changed >" + Quoted(folder + "/" + name));
    std::string count =
        n >= 1000000 ? std::to_string(n / 1000000) + ",000,000" : std::to_string(n / 1000) + ",000";
    CompareRow(
        ("update 1 entry of " + count).c_str(), "list+cp+fsync",
        {"sh", "-c",
         "cd " + Quoted(folder) + " && " + Quoted(quorvel) + " update " + Quoted(copy) + " " +
             Quoted(name) + " >/dev/null"},
        {"sh", "-c",
         Quoted(quorvel) + " list " + Quoted(archive) + " >/dev/null && cp " + Quoted(archive) +
             " " + Quoted(floor) + " && sync " + Quoted(floor)},
        [&] { Run("rm -f " + Quoted(floor) + " && cp " + Quoted(archive) + " " + Quoted(copy)); });
    CompareRow(("test " + count + " entries").c_str(), "list", {quorvel, "test", archive},
               {quorvel, "list", archive}, [] {});
    Run("rm -rf " + Quoted(folder) + " " + Quoted(copy) + " " + Quoted(floor));
}

// Every file of 100,000 x 64 B read through a read-only mount, mounted
// afresh before each run, against extract of them into an empty folder.
static void MountReadRow(const std::string &quorvel) {
    std::vector<Entry> entries = Content(100000, 64);
    std::string archive = Prepare("small64-100000", entries, "dat");
    std::string mountPoint = dataDir + "/mnt", into = dataDir + "/out-small64";
    mkdir(mountPoint.c_str(), 0755);
    auto fresh = [&] {
        Run("fusermount3 -u " + Quoted(mountPoint) + " 2>/dev/null; rm -rf " + Quoted(into) +
            " && mkdir " + Quoted(into) + " && " + Quoted(quorvel) + " mount " + Quoted(archive) +
            " " + Quoted(mountPoint));
    };
    CompareRow("read 100,000 x 64 B through mount", "quorvel extract",
               {"sh", "-c", "find " + Quoted(mountPoint) + " -type f -exec cat {} + >/dev/null"},
               {quorvel, "extract", archive, "-C", into}, fresh);
    Run("fusermount3 -u " + Quoted(mountPoint) + "; rm -rf " + Quoted(into));
}

void EveryEntryTable(const std::string &quorvel) {
    printf("\n%-34s %10s %-16s %10s %8s\n", "command", "ours (ms)", "peer", "peer (ms)", "ratio");
    MountReadRow(quorvel);
    for (size_t n : {(size_t)1000000, (size_t)4000000})
        EveryEntryRows(quorvel, n);
}
