// The plug-in against libarchive on the same content, stored as a Quorvel
// archive, a tar and a zip with stored entries, and against a plain read;
// then whole commands as a user runs them: quorvel against cat and bsdtar.
// usage: bench DATA_DIR QUORVEL         run every workload, print the tables
//        bench DATA_DIR QUORVEL --commands   only the whole commands (after a full run)
//        bench DATA_DIR QUORVEL --save   only the writable mount's save rows
//        bench DATA_DIR --list-once N   list the N-entry archive once (for callgrind)
//        bench DATA_DIR --read-block FILE   read FILE into a fresh block, write it out
#include "platform/platform.h"
#include "plugin/spi.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

struct Entry {
    std::string name;
    uint32_t size;
};

std::string dataDir;

// N entries with names and sizes like a game's data folder; fixed seed.
std::vector<Entry> Content(size_t n, uint32_t fixedSize) {
    static const char *const kinds[] = {"png", "ogg", "txt", "bmp", "dat", "wav"};
    std::vector<Entry> entries;
    uint32_t x = 12345;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        char name[96];
        snprintf(name, sizeof name, "data/%s/group%03zu/item%07zu.%s", kinds[(x >> 8) % 6],
                 i / 1000 % 1000, i, kinds[(x >> 16) % 6]);
        entries.push_back({name, fixedSize != 0 ? fixedSize : (x >> 12) % 2048});
    }
    return entries;
}

// The bytes of entry i: cheap to make, different for every entry.
void Fill(std::vector<char> &buffer, size_t i) {
    for (size_t j = 0; j < buffer.size(); j++)
        buffer[j] = (char)(i * 31 + j);
}

void WriteQuorvel(const std::string &path, const std::vector<Entry> &entries) {
    uint64_t start = 21 + 1;
    for (const Entry &e : entries)
        start += e.name.size() + 23;
    FILE *f = fopen(path.c_str(), "wb");
    fputs("FILECMB-DATA-LIST-IN\n", f);
    for (const Entry &e : entries) {
        fprintf(f, "%s\t%010llu %010llu\n", e.name.c_str(), (unsigned long long)start,
                (unsigned long long)(start + e.size));
        start += e.size;
    }
    fputc('\n', f);
    std::vector<char> buffer;
    for (size_t i = 0; i < entries.size(); i++) {
        buffer.resize(entries[i].size);
        Fill(buffer, i);
        fwrite(buffer.data(), 1, buffer.size(), f);
    }
    fclose(f);
}

void WriteWithLibarchive(const std::string &path, const std::vector<Entry> &entries, bool zip) {
    struct archive *a = archive_write_new();
    if (zip) {
        archive_write_set_format_zip(a);
        archive_write_set_options(a, "zip:compression=store");
    } else {
        archive_write_set_format_pax_restricted(a);
    }
    archive_write_open_filename(a, path.c_str());
    struct archive_entry *entry = archive_entry_new();
    std::vector<char> buffer;
    for (size_t i = 0; i < entries.size(); i++) {
        archive_entry_clear(entry);
        archive_entry_set_pathname(entry, entries[i].name.c_str());
        archive_entry_set_size(entry, entries[i].size);
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        archive_write_header(a, entry);
        buffer.resize(entries[i].size);
        Fill(buffer, i);
        archive_write_data(a, buffer.data(), buffer.size());
    }
    archive_entry_free(entry);
    archive_write_close(a);
    archive_write_free(a);
}

// Reads a whole file so that every contender finds it in the page cache.
void Warm(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    std::vector<char> buffer(1 << 20);
    while (read(fd, buffer.data(), buffer.size()) > 0) {
    }
    close(fd);
}

std::string Prepare(const std::string &set, const std::vector<Entry> &entries, const char *ext) {
    std::string path = dataDir + "/" + set + "." + ext;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        std::string temporary = path + ".tmp";
        if (strcmp(ext, "dat") == 0)
            WriteQuorvel(temporary, entries);
        else
            WriteWithLibarchive(temporary, entries, strcmp(ext, "zip") == 0);
        rename(temporary.c_str(), path.c_str());
    }
    Warm(path);
    return path;
}

struct archive *OpenPeer(const std::string &path) {
    struct archive *a = archive_read_new();
    archive_read_support_format_tar(a);
    archive_read_support_format_zip(a);
    if (archive_read_open_filename(a, path.c_str(), 1 << 16) != ARCHIVE_OK)
        abort();
    return a;
}

std::vector<FileInfo> ListOurs(const std::string &path) {
    SpiBlock block = nullptr;
    if (GetArchiveInfo(path.c_str(), 0, 0, &block) != SPI_OK)
        abort();
    const FileInfo *records = (const FileInfo *)LocalLock(block);
    std::vector<FileInfo> all;
    for (size_t i = 0; records[i].method[0] != '\0'; i++)
        all.push_back(records[i]);
    LocalUnlock(block);
    LocalFree(block);
    return all;
}

// Runs one untimed pass before the timed ones, for every contender: memory a
// process has never touched costs far more on a virtual machine the first
// time (the host backs it then), and that is not the code's cost.
template <typename Pass> void Measure(benchmark::State &state, Pass pass) {
    pass();
    for (auto _ : state)
        pass();
}

void List(benchmark::State &state, const std::string &path, bool ours) {
    size_t n = 0;
    Measure(state, [&] {
        n = 0;
        if (ours) {
            SpiBlock block = nullptr;
            if (GetArchiveInfo(path.c_str(), 0, 0, &block) != SPI_OK)
                abort();
            const FileInfo *records = (const FileInfo *)LocalLock(block);
            while (records[n].method[0] != '\0')
                n++;
            LocalUnlock(block);
            LocalFree(block);
        } else {
            struct archive *a = OpenPeer(path);
            struct archive_entry *entry;
            while (archive_read_next_header(a, &entry) == ARCHIVE_OK)
                n++;
            archive_read_free(a);
        }
    });
    state.counters["entries"] = (double)n;
}

void LookUp(benchmark::State &state, const std::string &path, const std::string &name, bool ours) {
    Measure(state, [&] {
        if (ours) {
            FileInfo record;
            if (GetFileInfo(path.c_str(), 0, name.c_str(), 0, &record) != SPI_OK)
                abort();
        } else {
            struct archive *a = OpenPeer(path);
            struct archive_entry *entry;
            bool found = false;
            while (!found && archive_read_next_header(a, &entry) == ARCHIVE_OK)
                found = name == archive_entry_pathname(entry);
            if (!found)
                abort();
            archive_read_free(a);
        }
    });
}

void ExtractAll(benchmark::State &state, const std::string &path, bool ours) {
    std::vector<FileInfo> records = ours ? ListOurs(path) : std::vector<FileInfo>();
    Measure(state, [&] {
        if (ours) {
            for (const FileInfo &r : records) {
                SpiBlock block = nullptr;
                if (GetFile(path.c_str(), (int32_t)r.position, &block, 0x100, nullptr, 0) != SPI_OK)
                    abort();
                LocalFree(block);
            }
        } else {
            struct archive *a = OpenPeer(path);
            struct archive_entry *entry;
            while (archive_read_next_header(a, &entry) == ARCHIVE_OK) {
                size_t size = (size_t)archive_entry_size(entry);
                char *bytes = (char *)malloc(size + 1);
                if (archive_read_data(a, bytes, size) != (la_ssize_t)size)
                    abort();
                free(bytes);
            }
            archive_read_free(a);
        }
    });
}

// The limit for extracting one large entry: a plain read of its bytes into a
// malloc'd buffer, or into a block of the same kind as the one we hand over
// (the buffer's page faults can cost more than the read).
void PlainRead(benchmark::State &state, const std::string &path, uint32_t start, uint32_t size,
               bool localBlock) {
    Measure(state, [&] {
        int fd = open(path.c_str(), O_RDONLY);
        HLOCAL block = localBlock ? LocalAlloc(LMEM_MOVEABLE, size) : nullptr;
        char *bytes = localBlock ? (char *)LocalLock(block) : (char *)malloc(size);
        if (pread(fd, bytes, size, start) != (ssize_t)size)
            abort();
        if (localBlock)
            LocalFree(block);
        else
            free(bytes);
        close(fd);
    });
}

// Collects each run's real time, by benchmark name.
class Collector : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> seconds;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs)
            seconds[run.benchmark_name()] = run.real_accumulated_time / (double)run.iterations;
        ConsoleReporter::ReportRuns(runs);
    }
};

// What the host contract costs at the least per entry: one open, the
// directory line, the entry's bytes, one close. With platformOpen the open
// and close are the platform's, as the plug-in's are: its CreateFileA refuses
// a directory as Windows does, one more system call on Linux. Otherwise they
// are a bare open and close.
void ContractFloor(benchmark::State &state, const std::string &path, bool platformOpen) {
    std::vector<FileInfo> records = ListOurs(path);
    std::vector<uint32_t> starts;
    uint32_t start = 22; // the magic line and the empty closing line
    for (const FileInfo &r : records)
        start += (uint32_t)strlen(r.filename) + 23;
    for (const FileInfo &r : records) {
        starts.push_back(start);
        start += r.filesize;
    }
    char line[282];
    Measure(state, [&] {
        for (size_t i = 0; i < records.size(); i++) {
            HANDLE file = platformOpen
                              ? CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                              : nullptr;
            int fd = platformOpen ? (int)(intptr_t)file : open(path.c_str(), O_RDONLY);
            if (pread(fd, line, sizeof line, records[i].position) <= 0)
                abort();
            char *bytes = (char *)malloc(records[i].filesize);
            if (pread(fd, bytes, records[i].filesize, starts[i]) != (ssize_t)records[i].filesize)
                abort();
            free(bytes);
            if (platformOpen)
                CloseHandle(file);
            else
                close(fd);
        }
    });
}

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

long PeakListingKiB(const std::string &size) {
    return PeakKiB({SelfPath(), dataDir, "--list-once", size});
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
Run RunCommand(const std::vector<std::string> &argv, const char *output = "/dev/null") {
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

// The median of several runs of each of two commands, taken in turn, after
// one untimed run each; `between` runs before each timed run, untimed.
struct Pair {
    Run ours, peer;
};

Pair Compare(
    const std::vector<std::string> &ours, const std::vector<std::string> &peer,
    const std::function<void()> &between = [] {}) {
    constexpr int kRuns = 7;
    std::vector<Run> a, b;
    between();
    RunCommand(ours);
    between();
    RunCommand(peer);
    for (int i = 0; i < kRuns; i++) {
        between();
        a.push_back(RunCommand(ours));
        between();
        b.push_back(RunCommand(peer));
    }
    auto median = [](std::vector<Run> runs) {
        std::sort(runs.begin(), runs.end(),
                  [](const Run &x, const Run &y) { return x.seconds < y.seconds; });
        return runs[runs.size() / 2];
    };
    return {median(a), median(b)};
}

std::vector<std::string> Shell(const std::string &command) { return {"sh", "-c", command}; }

void PrintCommandRow(const char *workload, const char *peer, const Pair &pair) {
    printf("%-34s %10.1f %-16s %10.1f %8.2f\n", workload, pair.ours.seconds * 1e3, peer,
           pair.peer.seconds * 1e3, pair.ours.seconds / pair.peer.seconds);
}

void RunShell(const std::string &command) {
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

// quorvel against cat and bsdtar, each run as a whole process.
void CommandTable(const std::string &quorvel) {
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

    std::string million = dataDir + "/list-1000000";
    Pair list = Compare({quorvel, "list", million + ".dat"}, {"bsdtar", "-tf", million + ".tar"});
    PrintCommandRow("list 1,000,000 entries", "bsdtar -tf", list);

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

    // The most listing may hold: the record block and the directory twice
    // (the plug-in's copy and its line buffer's), with a tenth and 16 MiB to spare.
    SpiBlock block = nullptr;
    GetArchiveInfo((million + ".dat").c_str(), 0, 0, &block);
    double records = (double)LocalSize(block) / 1048576.0;
    LocalFree(block);
    double directory = 22;
    for (const Entry &e : Content(1000000, 0))
        directory += (double)(e.name.size() + 23);
    directory /= 1048576.0;
    double limit = 1.1 * (records + 2 * directory) + 16;
    double peak = PeakKiB({quorvel, "list", million + ".dat"}) / 1024.0;
    printf("peak memory of quorvel list, 1,000,000 entries: %.1f MiB; limit %.1f MiB (records "
           "%.1f + 2 x directory %.1f, +10%% + 16); ratio %.2f\n",
           peak, limit, records, directory, peak / limit);
}

const char *PeerName(const char *peer) {
    if (strcmp(peer, "read") == 0)
        return "plain read";
    if (strcmp(peer, "read-block") == 0)
        return "read, block";
    if (strcmp(peer, "bare-floor") == 0)
        return "bare floor";
    return peer;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr,
                "usage: bench DATA_DIR QUORVEL [--commands | --save] | bench DATA_DIR --list-once "
                "N | bench DATA_DIR --read-block FILE\n");
        return 2;
    }
    dataDir = argv[1];
    std::string quorvel = argv[2];
    mkdir(dataDir.c_str(), 0755);
    if (argc == 4 && strcmp(argv[2], "--list-once") == 0) {
        SpiBlock block = nullptr;
        std::string path = dataDir + "/list-" + argv[3] + ".dat";
        if (GetArchiveInfo(path.c_str(), 0, 0, &block) != SPI_OK)
            return 1;
        LocalFree(block);
        return 0;
    }
    if (argc == 4 && strcmp(argv[2], "--read-block") == 0)
        return ReadBlockOnce(argv[3]);
    if (argc == 4 && strcmp(argv[3], "--commands") == 0) {
        CommandTable(quorvel);
        return 0;
    }
    if (argc == 4 && strcmp(argv[3], "--save") == 0) {
        std::string mountPoint = dataDir + "/mnt";
        mkdir(mountPoint.c_str(), 0755);
        SaveRows(quorvel, mountPoint);
        return 0;
    }
    const size_t listSizes[] = {1000, 10000, 100000, 1000000};
    std::map<std::string, std::string> lastName;
    for (size_t n : listSizes) {
        std::string set = "list-" + std::to_string(n);
        std::vector<Entry> entries = Content(n, 0);
        for (const char *ext : {"dat", "tar", "zip"}) {
            std::string path = Prepare(set, entries, ext);
            benchmark::RegisterBenchmark(
                ("list/" + std::string(ext) + "/" + std::to_string(n)).c_str(), List, path,
                strcmp(ext, "dat") == 0)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(
                ("lookup/" + std::string(ext) + "/" + std::to_string(n)).c_str(), LookUp, path,
                entries.back().name, strcmp(ext, "dat") == 0)
                ->Unit(benchmark::kMillisecond);
        }
    }
    std::vector<Entry> small = Content(10000, 4096);
    for (const char *ext : {"dat", "tar", "zip"})
        benchmark::RegisterBenchmark(("extract-small/" + std::string(ext) + "/10000").c_str(),
                                     ExtractAll, Prepare("small-10000", small, ext),
                                     strcmp(ext, "dat") == 0)
            ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("extract-small/floor/10000", ContractFloor,
                                 dataDir + "/small-10000.dat", true)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("extract-small/bare-floor/10000", ContractFloor,
                                 dataDir + "/small-10000.dat", false)
        ->Unit(benchmark::kMillisecond);
    std::vector<Entry> large = {{"movie/intro.bin", 256u << 20}};
    for (const char *ext : {"dat", "tar", "zip"})
        benchmark::RegisterBenchmark(("extract-large/" + std::string(ext) + "/1").c_str(),
                                     ExtractAll, Prepare("large", large, ext),
                                     strcmp(ext, "dat") == 0)
            ->Unit(benchmark::kMillisecond);
    std::string largeDat = dataDir + "/large.dat";
    FileInfo largeRecord = ListOurs(largeDat)[0];
    uint32_t largeStart = 21 + 1 + (uint32_t)large[0].name.size() + 23;
    benchmark::RegisterBenchmark("extract-large/read/1", PlainRead, largeDat, largeStart,
                                 largeRecord.filesize, false)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("extract-large/read-block/1", PlainRead, largeDat, largeStart,
                                 largeRecord.filesize, true)
        ->Unit(benchmark::kMillisecond);

    Collector collector;
    // Google Benchmark reads its own flags from what follows the two operands.
    argv[2] = argv[0];
    argc -= 2;
    argv += 2;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks(&collector);

    printf("\n%-14s %9s %12s %12s %12s %8s\n", "workload", "N", "ours (ms)", "peer", "peer (ms)",
           "ratio");
    for (const char *work : {"list", "lookup", "extract-small", "extract-large"}) {
        for (const std::string &n : {std::string("1"), std::string("1000"), std::string("10000"),
                                     std::string("100000"), std::string("1000000")}) {
            auto ours = collector.seconds.find(std::string(work) + "/dat/" + n);
            if (ours == collector.seconds.end())
                continue;
            for (const char *peer : {"tar", "zip", "read", "read-block", "floor", "bare-floor"}) {
                auto other = collector.seconds.find(std::string(work) + "/" + peer + "/" + n);
                if (other == collector.seconds.end())
                    continue;
                printf("%-14s %9s %12.3f %12s %12.3f %8.2f\n", work, n.c_str(), ours->second * 1e3,
                       PeerName(peer), other->second * 1e3, ours->second / other->second);
            }
        }
    }
    std::string million = dataDir + "/list-1000000.dat";
    SpiBlock block = nullptr;
    GetArchiveInfo(million.c_str(), 0, 0, &block);
    size_t records = LocalSize(block);
    LocalFree(block);
    std::vector<Entry> entries = Content(1000000, 0);
    size_t directory = 22;
    for (const Entry &e : entries)
        directory += e.name.size() + 23;
    double need = (double)(directory + records) / 1048576.0;
    double peak = PeakListingKiB("1000000") / 1024.0;
    printf("peak memory listing 1000000 entries: %.1f MiB; directory and records need %.1f MiB "
           "(ratio %.2f)\n",
           peak, need, peak / need);
    CommandTable(quorvel);
    return 0;
}
