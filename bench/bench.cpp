// The plug-in against libarchive on the same content, stored as a Quorvel
// archive, a tar and a zip with stored entries, and against a plain read;
// then whole commands as a user runs them: quorvel against cat and bsdtar.
// usage: bench DATA_DIR QUORVEL         run every workload, print the tables
//        bench DATA_DIR QUORVEL --commands   only the whole commands (after a full run)
//        bench DATA_DIR QUORVEL --save   only the writable mount's save rows
//        bench DATA_DIR QUORVEL --scale  only the rows on scale
//        bench DATA_DIR --list-once N   list the N-entry archive once (for callgrind)
//        bench DATA_DIR --read-block FILE   read FILE into a fresh block, write it out
#include "bench/bench.h"
#include "platform/platform.h"
#include "plugin/spi.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <functional>
#include <limits.h>
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

std::string dataDir;

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
static void Fill(std::vector<char> &buffer, size_t i) {
    for (size_t j = 0; j < buffer.size(); j++)
        buffer[j] = (char)(i * 31 + j);
}

uint64_t WriteDirectory(FILE *f, const std::vector<Entry> &entries) {
    uint64_t start = 21 + 1;
    for (const Entry &e : entries)
        start += e.name.size() + 23;
    fputs("FILECMB-DATA-LIST-IN\n", f);
    for (const Entry &e : entries) {
        fprintf(f, "%s\t%010llu %010llu\n", e.name.c_str(), (unsigned long long)start,
                (unsigned long long)(start + e.size));
        start += e.size;
    }
    fputc('\n', f);
    return start;
}

static void WriteQuorvel(const std::string &path, const std::vector<Entry> &entries) {
    FILE *f = fopen(path.c_str(), "wb");
    WriteDirectory(f, entries);
    std::vector<char> buffer;
    for (size_t i = 0; i < entries.size(); i++) {
        buffer.resize(entries[i].size);
        Fill(buffer, i);
        fwrite(buffer.data(), 1, buffer.size(), f);
    }
    fclose(f);
}

static void WriteWithLibarchive(const std::string &path, const std::vector<Entry> &entries,
                                bool zip) {
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

namespace {

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
                "usage: bench DATA_DIR QUORVEL [--commands | --every-entry | --save | --scale | "
                "--mount-scale [BEFORE] | --pack-scale [BEFORE]] | bench "
                "DATA_DIR --list-once "
                "N | bench DATA_DIR --read-block FILE\n");
        return 2;
    }
    // Some rows run quorvel from another folder: both paths are made absolute.
    char absolute[PATH_MAX];
    mkdir(argv[1], 0755);
    dataDir = realpath(argv[1], absolute) != nullptr ? absolute : argv[1];
    std::string quorvel = realpath(argv[2], absolute) != nullptr ? absolute : argv[2];
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
    if (argc == 4 && strcmp(argv[3], "--scale") == 0) {
        ScaleRows(quorvel);
        return BoundsKept() ? 0 : 1;
    }
    if ((argc == 4 || argc == 5) && strcmp(argv[3], "--mount-scale") == 0) {
        MountScaleRows(quorvel, argc == 5 ? argv[4] : "");
        return BoundsKept() ? 0 : 1;
    }
    if ((argc == 4 || argc == 5) && strcmp(argv[3], "--pack-scale") == 0) {
        PackScaleRows(quorvel, argc == 5 ? argv[4] : "");
        return BoundsKept() ? 0 : 1;
    }
    if (argc == 4 && strcmp(argv[3], "--every-entry") == 0) {
        ReadRows(quorvel);
        EveryEntryTable(quorvel);
        return 0;
    }
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
    double peak = PeakKiB({SelfPath(), dataDir, "--list-once", "1000000"}) / 1024.0;
    printf("peak memory listing 1000000 entries: %.1f MiB; directory and records need %.1f MiB "
           "(ratio %.2f)\n",
           peak, need, peak / need);
    CommandTable(quorvel);
    return BoundsKept() ? 0 : 1;
}
