// What the benchmark's two halves share: the content of the test archives
// and where they live, and the whole-command rows that main runs.
#ifndef AXQ_BENCH_BENCH_H
#define AXQ_BENCH_BENCH_H

#include <functional>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string>
#include <vector>

struct Entry {
    std::string name;
    uint32_t size;
};

// The folder of the test data.
extern std::string dataDir;

// N entries with names and sizes like a game's data folder; fixed seed.
std::vector<Entry> Content(size_t n, uint32_t fixedSize);

// The archive of `entries` as dataDir/set.ext (dat, tar or zip), made once,
// then read so that every contender finds it in the page cache.
std::string Prepare(const std::string &set, const std::vector<Entry> &entries, const char *ext);

// Writes the directory of `entries` (the magic line, an entry line each,
// the closing line) with their bytes to follow it in order; returns the
// archive's size.
uint64_t WriteDirectory(FILE *f, const std::vector<Entry> &entries);

// Reads a whole file so that every contender finds it in the page cache.
void Warm(const std::string &path);

// The peak memory of a command in KiB, measured by GNU time.
long PeakKiB(const std::vector<std::string> &argv);
// This program's own path, to run it as a command.
std::string SelfPath();

// Reads FILE into a fresh block of its size and writes the block out: the
// least a host does to hand on a whole entry.
int ReadBlockOnce(const char *path);

// The writable mount's save rows, with the mount at mountPoint.
void SaveRows(const std::string &quorvel, const std::string &mountPoint);
// Every whole-command row, then the rows on scale.
void CommandTable(const std::string &quorvel);
// The fastest of several runs of two commands, taken in turn (`between` runs
// untimed before each), printed as one row.
void CompareRow(const char *workload, const char *peer, const std::vector<std::string> &ours,
                const std::vector<std::string> &theirs, const std::function<void()> &between);
// list against bsdtar, mount against archivemount, and every command's peak
// memory against its bound, at 100,000 to 4,000,000 entries.
void ScaleRows(const std::string &quorvel);
// The mount's peak memory at 1,000,000 entries against its bound, each row
// also for the quorvel `before` if it is not "".
void MountScaleRows(const std::string &quorvel, const std::string &before);
// pack of 4,000,000 and 1,000,000 files, and extract of what it wrote:
// their peak memory against the bound, pack also for the quorvel
// `before` if it is not "".
void PackScaleRows(const std::string &quorvel, const std::string &before);
// cat of a 256 MiB entry and extract of 10,000 small files against their
// peers and floors.
void ReadRows(const std::string &quorvel);
// update and test of 1,000,000 and 4,000,000 entries, and every file read
// through a mount, each against its floor.
void EveryEntryTable(const std::string &quorvel);
// False once a peak printed by the rows on scale was over its bound: the
// benchmark then ends with status 1.
bool BoundsKept();

#endif
