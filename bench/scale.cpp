// The rows on scale: quorvel list at 100,000 and 1,000,000 entries against
// bsdtar, a mount's readiness against archivemount's, and the peak memory of
// every command at 1,000,000 and 4,000,000 entries (pack of as many files)
// against the bounds it must keep (measured here, not in the timed tests).
#include "bench/bench.h"

#include <fcntl.h>
#include <set>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The size of the directory text of `entries`: the magic line, one line per
// entry and the closing line.
static double DirectoryMiB(const std::vector<Entry> &entries) {
    double bytes = 22;
    for (const Entry &e : entries)
        bytes += (double)(e.name.size() + 23);
    return bytes / 1048576.0;
}

// An archive near the format's limit without its bytes on disk: the
// directory written, the entries' bytes left a hole.
static std::string PrepareSparse(const std::string &set, const std::vector<Entry> &entries) {
    std::string path = dataDir + "/" + set + ".dat";
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return path;
    std::string temporary = path + ".tmp";
    FILE *f = fopen(temporary.c_str(), "wb");
    if (f == nullptr)
        abort();
    uint64_t start = WriteDirectory(f, entries);
    fflush(f);
    if (ftruncate(fileno(f), (off_t)start) != 0)
        abort();
    fclose(f);
    rename(temporary.c_str(), path.c_str());
    return path;
}

static void Shell(const std::string &command) {
    if (system(command.c_str()) != 0) {
        fprintf(stderr, "bench: %s failed\n", command.c_str());
        abort();
    }
}

static bool boundsKept = true;

bool BoundsKept() { return boundsKept; }

// `checked`: the row is this build's, whose bound the run keeps.
static void PrintPeak(const char *what, size_t n, double peakMiB, double boundMiB,
                      bool checked = true) {
    boundsKept = boundsKept && (!checked || peakMiB <= boundMiB);
    printf("peak memory of %-38s %9zu entries: %8.1f MiB; bound %8.1f MiB; ratio %.2f %s\n", what,
           n, peakMiB, boundMiB, peakMiB / boundMiB, peakMiB <= boundMiB ? "within" : "OVER");
    fflush(stdout);
}

// A walk that looks up every path below `dir`: find asks for each file's
// size, which a listing's kinds alone do not give.
static std::string LookUpAll(const std::string &dir) {
    return "find '" + dir + "' -size +0 >/dev/null";
}

// A foreground mount's peak after `then` ran against it; the mount is ended
// by quorvel umount.
static double MountPeakMiB(const std::string &quorvel, const std::string &archive,
                           const std::string &options, const std::string &then) {
    std::string mountPoint = dataDir + "/mnt", report = dataDir + "/peak.txt";
    mkdir(mountPoint.c_str(), 0755);
    Shell("/usr/bin/time -f %M -o '" + report + "' '" + quorvel + "' mount -f " + options + " '" +
          archive + "' '" + mountPoint + "' & until mountpoint -q '" + mountPoint +
          "'; do sleep 0.01; done; " + then + "; '" + quorvel + "' umount '" + mountPoint +
          "'; wait");
    long kib = 0;
    FILE *f = fopen(report.c_str(), "r");
    if (f == nullptr || fscanf(f, "%ld", &kib) != 1)
        abort();
    fclose(f);
    return (double)kib / 1024.0;
}

// The peaks of every command on one archive of `entries`, against the
// bounds: check, list, test, update, cat and extract within 1.5 x the
// directory + 32 MiB, a mount within 5 x the directory + 64 MiB.
static void PeakRows(const std::string &quorvel, const std::string &archive,
                     const std::vector<Entry> &entries, bool readAll) {
    double directory = DirectoryMiB(entries);
    double small = 1.5 * directory + 32, mount = 5 * directory + 64;
    size_t n = entries.size();
    PrintPeak("quorvel check", n, PeakKiB({quorvel, "check", archive}) / 1024.0, small);
    PrintPeak("quorvel list", n, PeakKiB({quorvel, "list", archive}) / 1024.0, small);
    PrintPeak("quorvel test", n, PeakKiB({quorvel, "test", archive}) / 1024.0, small);
    // update of one entry, on a copy (holes stay holes) in a folder that
    // holds the replacing file under the entry's name.
    std::string copy = dataDir + "/update.dat", folder = dataDir + "/update-input";
    const std::string &name = entries[n / 2].name;
    Shell("rm -rf '" + folder + "' && mkdir -p \"$(dirname '" + folder + "/" + name +
          "')\" && printf changed >'" + folder + "/" + name + "' && cp --sparse=always '" +
          archive + "' '" + copy + "'");
    PrintPeak(
        "quorvel update (1 entry)", n,
        PeakKiB({"sh", "-c",
                 "cd '" + folder + "' && '" + quorvel + "' update '" + copy + "' '" + name + "'"}) /
            1024.0,
        small);
    Shell("rm -rf '" + folder + "' '" + copy + "'");
    // One entry by its name: looked up among the entries, then read.
    PrintPeak("quorvel cat (1 entry)", n, PeakKiB({quorvel, "cat", archive, name}) / 1024.0, small);
    std::string into = dataDir + "/extract-one";
    Shell("rm -rf '" + into + "' && mkdir '" + into + "'");
    PrintPeak("quorvel extract (1 entry)", n,
              PeakKiB({quorvel, "extract", archive, "-C", into, name}) / 1024.0, small);
    Shell("rm -rf '" + into + "'");
    std::string mountPoint = dataDir + "/mnt";
    std::string walk = readAll ? "find '" + mountPoint + "' -type f -exec cat {} + >/dev/null"
                               : LookUpAll(mountPoint);
    const char *what = readAll ? "mount, every file read" : "mount, every path looked up";
    PrintPeak(what, n, MountPeakMiB(quorvel, archive, "", walk), mount);
    PrintPeak(readAll ? "mount --write, every file read" : "mount --write, every path", n,
              MountPeakMiB(quorvel, archive, "--write", walk), mount);
}

// A folder that holds `entries` as files of their sizes (holes, on the
// disk), made once: what pack of that many files reads.
static std::string PrepareTree(const std::string &set, const std::vector<Entry> &entries) {
    std::string tree = dataDir + "/tree-" + set, done = tree + "/.complete";
    struct stat st;
    if (stat(done.c_str(), &st) == 0)
        return tree;
    std::set<std::string> folders;
    for (const Entry &e : entries) {
        std::string path = tree + "/" + e.name;
        std::string parent = path.substr(0, path.rfind('/'));
        if (folders.insert(parent).second)
            Shell("mkdir -p '" + parent + "'");
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ftruncate(fd, (off_t)e.size) != 0 || close(fd) != 0)
            abort();
    }
    Shell("touch '" + done + "'");
    return tree;
}

// pack of every file of a folder of `entries`, then extract of all it
// wrote, within the bound of list; with `before` (another build, or "")
// pack is measured for both in turn (what extract reads is the same).
static void PackRows(const std::string &quorvel, const std::string &set,
                     const std::vector<Entry> &entries, const std::string &before) {
    std::string tree = PrepareTree(set, entries), packed = dataDir + "/packed.dat",
                into = dataDir + "/extract-all";
    double small = 1.5 * DirectoryMiB(entries) + 32;
    auto pack = [&](const std::string &which) {
        return PeakKiB({"sh", "-c",
                        "cd '" + tree + "' && '" + which + "' pack -o '" + packed + "' data"}) /
               1024.0;
    };
    if (!before.empty())
        PrintPeak("quorvel pack (before)", entries.size(), pack(before), small, false);
    PrintPeak("quorvel pack", entries.size(), pack(quorvel), small);
    Shell("rm -rf '" + into + "' && mkdir '" + into + "'");
    PrintPeak("quorvel extract (all)", entries.size(),
              PeakKiB({quorvel, "extract", packed, "-C", into}) / 1024.0, small);
    Shell("rm -rf '" + into + "' '" + packed + "'");
}

void PackScaleRows(const std::string &quorvel, const std::string &before) {
    PackRows(quorvel, "4000000", Content(4000000, 1000), before);
    PackRows(quorvel, "1000000", Content(1000000, 0), before);
}

// The mount's peaks at 1,000,000 entries, every path looked up and every
// file read, read-only and --write; with `before` (another build of
// quorvel, or "") each row is measured for both in turn, side by side.
void MountScaleRows(const std::string &quorvel, const std::string &before) {
    std::vector<Entry> million = Content(1000000, 0);
    std::string archive = Prepare("list-1000000", million, "dat");
    double bound = 5 * DirectoryMiB(million) + 64;
    std::string mountPoint = dataDir + "/mnt";
    const char *walks[] = {"every path looked up", "every file read"};
    for (int readAll = 0; readAll < 2; readAll++) {
        std::string walk = readAll ? "find '" + mountPoint + "' -type f -exec cat {} + >/dev/null"
                                   : LookUpAll(mountPoint);
        // Read, every file's block may stay in the cache (--cache-size, 8M by
        // default): without it, the rows show what the mount itself keeps.
        for (const char *options : {"", "--write", "--cache-size 0", "--write --cache-size 0"}) {
            if (!readAll && strstr(options, "--cache-size") != nullptr)
                continue;
            std::string what =
                std::string(strncmp(options, "--write", 7) == 0 ? "mount --write, " : "mount, ") +
                walks[readAll] + (strstr(options, "--cache-size") != nullptr ? ", no cache" : "");
            PrintPeak(what.c_str(), million.size(), MountPeakMiB(quorvel, archive, options, walk),
                      bound);
            if (!before.empty() && strstr(options, "--cache-size") == nullptr)
                PrintPeak((what + " (before)").c_str(), million.size(),
                          MountPeakMiB(before, archive, options, walk), bound, false);
        }
    }
}

void ScaleRows(const std::string &quorvel) {
    printf("\n%-34s %10s %-16s %10s %8s\n", "command", "ours (ms)", "peer", "peer (ms)", "ratio");
    for (size_t n : {(size_t)100000, (size_t)1000000}) {
        std::vector<Entry> entries = Content(n, 0);
        std::string dat = Prepare("list-" + std::to_string(n), entries, "dat");
        std::string tar = Prepare("list-" + std::to_string(n), entries, "tar");
        CompareRow(("list " + std::to_string(n) + " entries").c_str(), "bsdtar -tf",
                   {quorvel, "list", dat}, {"bsdtar", "-tf", tar}, [] {});
    }
    // Ready: the mount returns and its root lists; each run mounts afresh.
    std::vector<Entry> million = Content(1000000, 0);
    std::string dat = Prepare("list-1000000", million, "dat");
    std::string tar = Prepare("list-1000000", million, "tar");
    std::string mountPoint = dataDir + "/mnt";
    mkdir(mountPoint.c_str(), 0755);
    std::string end = "fusermount3 -u '" + mountPoint + "' 2>/dev/null; true";
    CompareRow("mount 1,000,000 entries, ls root", "archivemount",
               {"sh", "-c",
                "'" + quorvel + "' mount '" + dat + "' '" + mountPoint + "' && ls '" + mountPoint +
                    "' >/dev/null"},
               {"sh", "-c",
                "archivemount -o readonly '" + tar + "' '" + mountPoint + "' && ls '" + mountPoint +
                    "' >/dev/null"},
               [&] {
                   if (system(end.c_str()) != 0)
                       abort();
               });
    Shell(end);
    PeakRows(quorvel, dat, million, true);
    PackRows(quorvel, "1000000", million, "");
    // Near the format's limit: 4,000,000 entries of 1,000 bytes, sparse.
    std::vector<Entry> most = Content(4000000, 1000);
    PeakRows(quorvel, PrepareSparse("sparse-4000000", most), most, false);
    PackRows(quorvel, "4000000", most, "");
}
