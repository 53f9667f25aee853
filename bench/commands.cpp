// Whole commands as a user runs them, each as a process: quorvel against
// cat and bsdtar, the writable mount's save against cp, a foreground mount
// and archivemount, and the peak memory of a command.
#include "bench/bench.h"
#include "platform/platform.h"

#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char **environ;

// The peak memory of a command, measured by GNU time. A process forked or
// spawned from this one would carry this process's own peak into its count
// (Linux keeps the old image's high-water mark across exec), so the command
// is started by a small process instead.
long PeakKiB(const std::vector<std::string> &argv) {
    std::string report = dataDir + "/peak.txt";
    std::vector<char *> args = {(char *)"/usr/bin/time", (char *)"-f", (char *)"%M", (char *)"-o",
                                (char *)report.c_str()};
    for (const std::string &a : argv)
        args.push_back((char *)a.c_str());
    args.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execv(args[0], args.data());
        _exit(127);
    }
    int status;
    waitpid(child, &status, 0);
    long kib = 0;
    FILE *f = fopen(report.c_str(), "r");
    if (f == nullptr || fscanf(f, "%ld", &kib) != 1)
        abort();
    fclose(f);
    return kib;
}

std::string SelfPath() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        abort();
    self[n] = '\0';
    return self;
}

// The least a host of the plug-in does to hand on a whole entry, as a
// process: the bytes read into a fresh block of their size, as GetFile must
// hand them over, and the block written to standard output.
int ReadBlockOnce(const char *path) {
    int fd = open(path, O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return 1;
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE, (SIZE_T)st.st_size);
    char *bytes = (char *)LocalLock(block);
    bool done = bytes != nullptr && pread(fd, bytes, (size_t)st.st_size, 0) == st.st_size &&
                write(1, bytes, (size_t)st.st_size) == st.st_size;
    LocalFree(block);
    close(fd);
    return done ? 0 : 1;
}

// One run of a command, as a whole process: its wall time.
struct Run {
    double seconds;
};

// Runs argv with standard output to `output`; aborts if it fails.
static Run RunCommand(const std::vector<std::string> &argv, const char *output = "/dev/null") {
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back((char *)a.c_str());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_TRUNC | O_CREAT, 0644);
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child;
    if (posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ) != 0)
        abort();
    int status;
    waitpid(child, &status, 0);
    clock_gettime(CLOCK_MONOTONIC, &end);
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "bench: %s failed\n", argv.back().c_str());
        abort();
    }
    return {(double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9};
}

// The fastest of several runs of each of two commands, taken in turn, after
// one untimed run each; `between` runs before each timed run, untimed. A
// pair whose untimed runs take minutes is timed once each.
struct Pair {
    Run ours, peer;
};

static Pair Compare(
    const std::vector<std::string> &ours, const std::vector<std::string> &peer,
    const std::function<void()> &between = [] {}) {
    constexpr int kRuns = 7;
    constexpr double kSlowSeconds = 60;
    std::vector<Run> a, b;
    between();
    double warm = RunCommand(ours).seconds;
    between();
    warm += RunCommand(peer).seconds;
    for (int i = 0; i < (warm > kSlowSeconds ? 1 : kRuns); i++) {
        between();
        a.push_back(RunCommand(ours));
        between();
        b.push_back(RunCommand(peer));
    }
    // The least time is the one least disturbed by the rest of the machine.
    auto fastest = [](const std::vector<Run> &runs) {
        return *std::min_element(runs.begin(), runs.end(),
                                 [](const Run &x, const Run &y) { return x.seconds < y.seconds; });
    };
    return {fastest(a), fastest(b)};
}

std::vector<std::string> Shell(const std::string &command) { return {"sh", "-c", command}; }

static void PrintCommandRow(const char *workload, const char *peer, const Pair &pair) {
    printf("%-34s %10.1f %-16s %10.1f %8.2f\n", workload, pair.ours.seconds * 1e3, peer,
           pair.peer.seconds * 1e3, pair.ours.seconds / pair.peer.seconds);
}

void CompareRow(const char *workload, const char *peer, const std::vector<std::string> &ours,
                const std::vector<std::string> &theirs, const std::function<void()> &between) {
    PrintCommandRow(workload, peer, Compare(ours, theirs, between));
}

static void RunShell(const std::string &command) {
    if (system(command.c_str()) != 0)
        abort();
}

// Changing one entry of a 1 GiB archive of 10,000 entries, then unmounting
// (the save writes, flushes and renames a new archive) against cp of the
// archive, and against cp followed by a flush of the copy; the same, mount
// included, through quorvel umount against a foreground mount ended by
// SIGTERM, which saves before it ends, and against archivemount's save of the
// same content as a tar, flushed; and the peak memory of a writable mount
// that has read every entry of it.
void SaveRows(const std::string &quorvel, const std::string &mountPoint) {
    std::vector<Entry> entries = Content(10000, 107374);
    std::string pristine = Prepare("edit-10000", entries, "dat");
    std::string edited = dataDir + "/edited.dat", copy = dataDir + "/copy.dat";
    std::string entry = mountPoint + "/" + entries[5000].name;
    std::string unmount = "'" + quorvel + "' umount '" + mountPoint + "' 2>/dev/null; ";
    auto copied = [&] {
        RunShell(unmount + "rm -f '" + copy + "'; cp '" + pristine + "' '" + edited + "' && sync");
    };
    auto fresh = [&] {
        copied();
        RunShell("'" + quorvel + "' mount --write '" + edited + "' '" + mountPoint + "'");
    };
    auto save =
        Shell("printf changed >'" + entry + "' && '" + quorvel + "' umount '" + mountPoint + "'");
    Pair bare = Compare(save, {"cp", pristine, copy}, fresh);
    PrintCommandRow("change 1 entry of 1 GiB, umount", "cp", bare);
    Pair flushed =
        Compare(save, Shell("cp '" + pristine + "' '" + copy + "' && sync '" + copy + "'"), fresh);
    PrintCommandRow("change 1 entry of 1 GiB, umount", "cp, sync", flushed);
    auto viaUmount = Shell("'" + quorvel + "' mount --write '" + edited + "' '" + mountPoint +
                           "' && printf changed >'" + entry + "' && '" + quorvel + "' umount '" +
                           mountPoint + "'");
    auto viaSignal = Shell("'" + quorvel + "' mount -f --write '" + edited + "' '" + mountPoint +
                           "' & p=$!; until mountpoint -q '" + mountPoint +
                           "'; do sleep 0.001; done; printf changed >'" + entry +
                           "' && kill -TERM $p && wait $p");
    Pair ended = Compare(viaUmount, viaSignal, copied);
    PrintCommandRow("mount, change 1 of 1 GiB, umount", "-f, SIGTERM", ended);
    // archivemount saving the same content as a tar, flushed, its mount included.
    std::string tarPristine = Prepare("edit-10000", entries, "tar");
    std::string tarEdited = dataDir + "/edited.tar";
    auto bothCopied = [&] {
        copied();
        RunShell("fusermount -u '" + mountPoint + "' 2>/dev/null; cp '" + tarPristine + "' '" +
                 tarEdited + "' && sync");
    };
    auto viaArchivemount = Shell(
        "archivemount -f -o nobackup '" + tarEdited + "' '" + mountPoint + "' & p=$!; " +
        "until mountpoint -q '" + mountPoint + "'; do sleep 0.001; done; printf changed >'" +
        entry + "' && fusermount -u '" + mountPoint + "' && wait $p && sync '" + tarEdited + "'");
    Pair peer = Compare(viaUmount, viaArchivemount, bothCopied);
    PrintCommandRow("mount, change 1 of 1 GiB, umount", "archivemount+sync", peer);
    RunShell(unmount + "rm -f '" + copy + "' '" + edited + "' '" + tarEdited + "'");

    // The peak of a foreground writable mount with a 64 MiB cache, after
    // every entry was read through it.
    std::string report = dataDir + "/peak.txt";
    RunShell("/usr/bin/time -f %M -o '" + report + "' '" + quorvel +
             "' mount -f --write --cache-size 64M '" + pristine + "' '" + mountPoint +
             "' & sleep 2; find '" + mountPoint + "' -type f -exec cat {} + >/dev/null; '" +
             quorvel + "' umount '" + mountPoint + "'; wait");
    long kib = 0;
    FILE *f = fopen(report.c_str(), "r");
    if (f == nullptr || fscanf(f, "%ld", &kib) != 1)
        abort();
    fclose(f);
    printf("peak memory of mount --write --cache-size 64M after reading 1 GiB: %.1f MiB\n",
           kib / 1024.0);
}

// mount --write: reads of unchanged entries against the read-only mount,
// then the save rows.
void WritableMountRows(const std::string &quorvel, const std::string &small,
                       const std::string &mountPoint, const std::function<void()> &remount) {
    auto remountWritable = [&] {
        RunShell("'" + quorvel + "' umount '" + mountPoint + "' 2>/dev/null; '" + quorvel +
                 "' mount --write '" + small + "' '" + mountPoint + "'");
    };
    auto readAll = Shell("find '" + mountPoint + "' -type f -exec cat {} + >/dev/null");
    Pair reads = Compare(readAll, readAll, [&, turn = 0]() mutable {
        turn++ % 2 == 0 ? remountWritable() : remount();
    });
    PrintCommandRow("read 10,000 x 4 KiB, mount --write", "mount", reads);
    RunShell("'" + quorvel + "' umount '" + mountPoint + "' 2>/dev/null; true");
    SaveRows(quorvel, mountPoint);
}

// cat of a 256 MiB entry against cat, the fresh-block floor and cat | wc -c,
// and extract of 10,000 x 4 KiB against bsdtar -xf of the same as a tar,
// each run as a whole process.
void ReadRows(const std::string &quorvel) {
    Prepare("large", {{"movie/intro.bin", 256u << 20}}, "dat");
    for (const char *ext : {"dat", "tar"})
        Prepare("small-10000", Content(10000, 4096), ext);
    std::string large = dataDir + "/large.dat", raw = dataDir + "/large.raw";
    struct stat st;
    if (stat(raw.c_str(), &st) != 0)
        RunCommand({quorvel, "cat", large, "movie/intro.bin"}, raw.c_str());
    Warm(raw);
    printf("\n%-34s %10s %-16s %10s %8s\n", "command", "ours (ms)", "peer", "peer (ms)", "ratio");
    PrintCommandRow("cat 256 MiB entry > /dev/null", "cat",
                    Compare({quorvel, "cat", large, "movie/intro.bin"}, {"cat", raw}));
    PrintCommandRow("cat 256 MiB entry > /dev/null", "read, block",
                    Compare({quorvel, "cat", large, "movie/intro.bin"},
                            {SelfPath(), dataDir, "--read-block", raw}));
    PrintCommandRow("cat 256 MiB entry | wc -c", "cat | wc -c",
                    Compare(Shell("'" + quorvel + "' cat " + large + " movie/intro.bin | wc -c"),
                            Shell("cat " + raw + " | wc -c")));
    printf("peak memory of cat 256 MiB entry: %.1f MiB\n",
           PeakKiB({quorvel, "cat", large, "movie/intro.bin"}) / 1024.0);
    std::string small = dataDir + "/small-10000", ours = dataDir + "/out-ours",
                theirs = dataDir + "/out-bsdtar";
    auto empty = [&] {
        std::string command =
            "rm -rf '" + ours + "' '" + theirs + "' && mkdir '" + ours + "' '" + theirs + "'";
        if (system(command.c_str()) != 0)
            abort();
    };
    PrintCommandRow("extract 10,000 x 4 KiB to disk", "bsdtar -xf",
                    Compare({quorvel, "extract", small + ".dat", "-C", ours},
                            {"bsdtar", "-xf", small + ".tar", "-C", theirs}, empty));
}

// quorvel against cat, bsdtar, cp and archivemount, each run as a whole process.
void CommandTable(const std::string &quorvel) {
    ReadRows(quorvel);
    std::string small = dataDir + "/small-10000", ours = dataDir + "/out-ours";
    auto empty = [&] {
        std::string command = "rm -rf '" + ours + "' && mkdir '" + ours + "'";
        if (system(command.c_str()) != 0)
            abort();
    };

    // Every entry read through a mount, mounted afresh before each run so
    // that no cache of the mount's or the kernel's holds it yet.
    std::string mountPoint = dataDir + "/mnt";
    mkdir(mountPoint.c_str(), 0755);
    auto remount = [&] {
        empty();
        std::string command = "fusermount3 -u '" + mountPoint + "' 2>/dev/null; '" + quorvel +
                              "' mount '" + small + ".dat' '" + mountPoint + "'";
        if (system(command.c_str()) != 0)
            abort();
    };
    PrintCommandRow("read 10,000 x 4 KiB through mount", "quorvel extract",
                    Compare(Shell("find '" + mountPoint + "' -type f -exec cat {} + >/dev/null"),
                            {quorvel, "extract", small + ".dat", "-C", ours}, remount));
    RunCommand({"fusermount3", "-u", mountPoint});
    WritableMountRows(quorvel, small + ".dat", mountPoint, remount);

    EveryEntryTable(quorvel);
    ScaleRows(quorvel);
}
