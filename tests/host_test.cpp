// A Windows host in miniature: loads the plug-in module with LoadLibraryA,
// finds the five exports by name and drives them as a host does, reading
// records by their byte offsets and locking and freeing the blocks it
// receives. Built for both variants: the 32-bit one loads axquorvel.spi and
// reads 428-byte records, the 64-bit one loads axquorvel.sph and reads
// 448-byte records, and also runs the thread stress.
//   host_test          the host contract
//   host_test --cp932  names in a double-byte ANSI code page (run under a
//                      Japanese locale; skipped, exit 77, under another)
// Run under Wine by CTest; exits nonzero if any check fails.
#include "platform/platform.h"
#include "plugin/spi.h"

#include "archive_builder.h"

#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

static int failures;

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);                   \
            failures++;                                                                            \
        }                                                                                          \
    } while (0)

static decltype(&GetPluginInfo) getPluginInfo;
static decltype(&IsSupported) isSupported;
static decltype(&GetArchiveInfo) getArchiveInfo;
static decltype(&GetFileInfo) getFileInfo;
static decltype(&GetFile) getFile;

// The record as the host's variant lays it out, by byte offset.
#if SPI_64BIT
static const char kModule[] = "axquorvel.sph";
static constexpr int kStride = 448, kWide = 8;
static constexpr int kPosition = 8, kCompsize = 16, kFilesize = 24, kTimestamp = 32;
static constexpr int kPath = 40, kFilename = 240, kCrc = 440, kPadding = 444;
#else
static const char kModule[] = "axquorvel.spi";
static constexpr int kStride = 428, kWide = 4;
static constexpr int kPosition = 8, kCompsize = 12, kFilesize = 16, kTimestamp = 20;
static constexpr int kPath = 24, kFilename = 224, kCrc = 424, kPadding = -1;
#endif

static const std::vector<TestEntry> kThree = {
    {"a.bmp", "AAAA"}, {"b.png", PatternBytes(1000, 2)}, {"c.txt", "CC"}};

static std::vector<int64_t> steps;

static int32_t SPI_API Progress(int32_t step, int32_t total, intptr_t user) {
    steps.push_back(step * 1000 + total * 100 + (int64_t)(user & 0xFF));
    CHECK(user == (intptr_t)7 || (SPI_64BIT && (uint64_t)user == 0x123456789ull));
    return 1;
}

// A number field of record i, read straight from the block by offset.
static int64_t Field(const char *records, int i, int offset) {
    int64_t value = 0;
    memcpy(&value, records + i * kStride + offset,
           offset == kCrc || offset == kPadding ? 4 : kWide);
    if (kWide == 4 && offset == kTimestamp)
        value = (int32_t)value;
    return value;
}

static const char *Text(const char *records, int i, int offset) {
    return records + i * kStride + offset;
}

static std::string Extract(const char *path, intptr_t position, int32_t *result,
                           intptr_t user = 7) {
    HLOCAL block = INVALID_HANDLE_VALUE; // as hosts preset it
    steps.clear();
    *result = getFile(path, position, &block, 0x100, Progress, user);
    if (*result != 0) {
        CHECK(block == nullptr);
        return "";
    }
    std::string bytes(LocalSize(block), '\0');
    if (!bytes.empty())
        memcpy(&bytes[0], LocalLock(block), bytes.size());
    LocalUnlock(block);
    CHECK(LocalFree(block) == nullptr);
    return bytes;
}

static HANDLE OpenForReading(const char *path) {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

static void Identity() {
    char buffer[128];
    CHECK(getPluginInfo(0, buffer, sizeof buffer) == 4 && strcmp(buffer, "00AM") == 0);
    CHECK(getPluginInfo(1, buffer, sizeof buffer) > 33);
    CHECK(strncmp(buffer, "Quorvel extract plug-in ver.0.03 ", 33) == 0);
    CHECK(getPluginInfo(2, buffer, sizeof buffer) == 5 && strcmp(buffer, "*.dat") == 0);
    CHECK(getPluginInfo(3, buffer, 8) == 7 && strcmp(buffer, "Quorvel") == 0);
    CHECK(getPluginInfo(4, buffer, sizeof buffer) == 0);
    CHECK(getPluginInfo(0, nullptr, 10) == 0);

    // The head by address, by a real handle, and a made-up handle.
    std::string head = BuildArchive(kThree);
    CHECK(isSupported("x\\GAME.DAT", (uintptr_t)head.data()) == 1);
    CHECK(isSupported("game.bin", (uintptr_t)head.data()) == 0);
    CHECK(isSupported(nullptr, (uintptr_t)head.data()) == 0);
    WriteFile("files\\game.dat", head);
    WriteFile("files\\short.dat", "FILECMB-DATA-LIST-IN");
    HANDLE file = OpenForReading("files\\game.dat");
    CHECK(file != INVALID_HANDLE_VALUE && ((uintptr_t)file >> 16) == 0);
    CHECK(isSupported("game.dat", (uintptr_t)file) == 1);
    CHECK(SetFilePointer(file, 0, nullptr, FILE_CURRENT) == 22);
    CloseHandle(file);
    file = OpenForReading("files\\short.dat");
    CHECK(isSupported("short.dat", (uintptr_t)file) == 0);
    CloseHandle(file);
    CHECK(isSupported("game.dat", (uintptr_t)0x7F) == 0);
}

static void Listing() {
    const char *path = "files\\game.dat";
    HLOCAL block = nullptr;
    CHECK(getArchiveInfo(path, 0, 0, &block) == 0);
    const char *records = (const char *)LocalLock(block);
    CHECK(records != nullptr);
    CHECK(LocalSize(block) >= (SIZE_T)4 * kStride);
    const int64_t positions[] = {21, 49, 77};
    for (int i = 0; i < 3; i++) {
        CHECK(strcmp(Text(records, i, 0), "Quorvel") == 0);
        CHECK(Field(records, i, kPosition) == positions[i]);
        CHECK(Field(records, i, kCompsize) == (int64_t)kThree[i].data.size());
        CHECK(Field(records, i, kFilesize) == (int64_t)kThree[i].data.size());
        CHECK(Field(records, i, kTimestamp) == Field(records, 0, kTimestamp));
        CHECK(memcmp(Text(records, i, kPath), std::string(200, '\0').data(), 200) == 0);
        CHECK(strcmp(Text(records, i, kFilename), kThree[i].name.c_str()) == 0);
        CHECK(Field(records, i, kCrc) == 0);
        if (kPadding > 0)
            CHECK(Field(records, i, kPadding) == 0);
    }
    CHECK(records[3 * kStride] == '\0');

    // The stamp is the last-write time nine hours ahead, read as local
    // standard time, whatever this machine's zone.
    FILETIME written;
    HANDLE file = OpenForReading(path);
    GetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
    int64_t unix =
        (int64_t)((((uint64_t)written.dwHighDateTime << 32) | written.dwLowDateTime) / 10000000) -
        11644473600LL;
    TIME_ZONE_INFORMATION zone;
    GetTimeZoneInformation(&zone);
    int64_t stamp = unix + 9 * 3600 + zone.Bias * 60;
    CHECK(Field(records, 0, kTimestamp) == (kWide == 4 ? (int32_t)stamp : stamp));
    LocalUnlock(block);
    CHECK(LocalFree(block) == nullptr);

    FileInfo record;
    CHECK(getFileInfo(path, 0, "B.PNG", 0, &record) == 2);
    CHECK(getFileInfo(path, 0, "B.PNG", 0x80, &record) == 0);
    CHECK(record.position == 49 && strcmp(record.filename, "b.png") == 0);
    CHECK(getFileInfo(path, 0, "b", 0, &record) == 2);
    CHECK(getFileInfo("files\\missing.dat", 0, "b.png", 0, &record) == 6);

    // Thousands of entries, listed many times: a calling-convention mismatch
    // would have worn the stack away long before the end.
    std::vector<TestEntry> many;
    for (int i = 0; i < 3000; i++)
        many.push_back({"d\\f" + std::to_string(i), std::string(i % 5, 'q')});
    WriteFile("files\\many.dat", BuildArchive(many));
    for (int round = 0; round < 20; round++) {
        CHECK(getArchiveInfo("files\\many.dat", 0, 0, &block) == 0);
        records = (const char *)LocalLock(block);
        CHECK(strcmp(Text(records, 2999, kFilename), "d\\f2999") == 0);
        CHECK(Field(records, 2999, kPosition) == EntryPosition(many, 2999));
        CHECK(records[3000 * kStride] == '\0');
        LocalUnlock(block);
        LocalFree(block);
    }
}

// Hosts preset the handle variable and test it for null after a failure.
static void FailuresLeaveNoHandle() {
    WriteFile("files\\not.dat", "FILECMB-DATA-LIST-IN\n" + EntryLine("a", 4294967295u, 0));
    struct {
        const char *path;
        uint32_t flags;
        int32_t result;
    } listings[] = {{"files\\game.dat", 1, -1},
                    {"files\\missing.dat", 0, 6},
                    {"files", 0, 6},
                    {"files\\not.dat", 0, 4}};
    for (const auto &c : listings) {
        HLOCAL block = INVALID_HANDLE_VALUE;
        CHECK(getArchiveInfo(c.path, 0, c.flags, &block) == c.result);
        CHECK(block == nullptr);
    }
    HLOCAL block = INVALID_HANDLE_VALUE;
    CHECK(getFile("files\\game.dat", 49, &block, 0, nullptr, 0) == -1 && block == nullptr);
    block = INVALID_HANDLE_VALUE;
    CHECK(getFile("files\\missing.dat", 49, &block, 0x100, nullptr, 0) == 6 && block == nullptr);
    block = INVALID_HANDLE_VALUE;
    CHECK(getFile("files\\game.dat", 55, &block, 0x100, nullptr, 0) == 6 && block == nullptr);
    WriteFile("files\\huge.dat", "FILECMB-DATA-LIST-IN\n" + EntryLine("a", 100, 50) + "END\n");
    block = INVALID_HANDLE_VALUE;
    CHECK(getFile("files\\huge.dat", 21, &block, 0x100, nullptr, 0) == 6 && block == nullptr);
}

static void Extraction() {
    int32_t result;
    CHECK(Extract("files\\game.dat", 49, &result) == kThree[1].data && result == 0);
    CHECK((steps == std::vector<int64_t>{307, 1307, 2307, 3307}));
    CHECK(Extract("files\\missing.dat", 49, &result).empty() && result == 6);
    CHECK((steps == std::vector<int64_t>{307}));
    for (intptr_t position : {0, 55, 105, 100000, -1}) {
        Extract("files\\game.dat", position, &result);
        CHECK(result == 6);
    }
#if SPI_64BIT
    // Positions and user values are pointer-sized: a user value above 2^32
    // comes back whole, and a position past 32 bits is no entry line, even
    // where its low 32 bits would be one.
    CHECK(Extract("files\\game.dat", 49, &result, (intptr_t)0x123456789ll) == kThree[1].data);
    CHECK((steps == std::vector<int64_t>{0x89 + 300, 0x89 + 1300, 0x89 + 2300, 0x89 + 3300}));
    CHECK(Extract("files\\game.dat", (intptr_t)0x100000031ll, &result).empty() && result == 6);
    CHECK(Extract("files\\game.dat", (intptr_t)-0x100000000ll + 49, &result).empty() &&
          result == 6);
#endif

    std::vector<TestEntry> entries = {{"empty", ""}, {"big", PatternBytes(6 << 20, 5)}};
    std::string bytes = BuildArchive(entries);
    WriteFile("files\\big.dat", bytes);
    CHECK(Extract("files\\big.dat", 21, &result).empty() && result == 0);
    CHECK(Extract("files\\big.dat", EntryPosition(entries, 1), &result) == entries[1].data);
    WriteFile("files\\cut.dat", bytes.substr(0, bytes.size() - 1));
    CHECK(Extract("files\\cut.dat", EntryPosition(entries, 1), &result).empty() && result == 6);
    // An empty entry that starts past the end of the file is outside it too.
    WriteFile("files\\past.dat", "FILECMB-DATA-LIST-IN\n" + EntryLine("a", 500, 500) + "\n");
    CHECK(Extract("files\\past.dat", 21, &result).empty() && result == 6);
}

#if SPI_64BIT
// Hosts that list on worker threads: listings, lookups and extractions of
// different archives at once each get their own archive's answer.
struct Worker {
    int index;
    std::string path;
    std::vector<TestEntry> entries;
    int wrong;
};

static DWORD WINAPI Work(void *argument) {
    Worker *w = (Worker *)argument;
    for (int round = 0; round < 40; round++) {
        HLOCAL block = nullptr;
        if (getArchiveInfo(w->path.c_str(), 0, 0, &block) != 0) {
            w->wrong++;
            continue;
        }
        const char *records = (const char *)LocalLock(block);
        size_t n = 0;
        for (; records[n * kStride] != '\0'; n++) {
            if (w->entries[n].name != Text(records, (int)n, kFilename) ||
                Field(records, (int)n, kFilesize) != (int64_t)w->entries[n].data.size())
                w->wrong++;
        }
        if (n != w->entries.size())
            w->wrong++;
        LocalUnlock(block);
        LocalFree(block);
        size_t pick = (size_t)(round * 7) % n;
        FileInfo record;
        if (getFileInfo(w->path.c_str(), 0, w->entries[pick].name.c_str(), 0, &record) != 0 ||
            record.position != EntryPosition(w->entries, pick)) {
            w->wrong++;
            continue;
        }
        block = nullptr;
        if (getFile(w->path.c_str(), (intptr_t)record.position, &block, 0x100, nullptr, 0) != 0 ||
            LocalSize(block) != w->entries[pick].data.size() ||
            (LocalSize(block) > 0 &&
             memcmp(LocalLock(block), w->entries[pick].data.data(), LocalSize(block)) != 0))
            w->wrong++;
        LocalFree(block);
    }
    return 0;
}

static void ThreadStress() {
    constexpr int kThreads = 6;
    Worker workers[kThreads];
    HANDLE threads[kThreads];
    for (int t = 0; t < kThreads; t++) {
        Worker &w = workers[t];
        w.index = t;
        w.wrong = 0;
        for (int i = 0; i <= 60 * t + 5; i++)
            w.entries.push_back({"t" + std::to_string(t) + "\\e" + std::to_string(i),
                                 PatternBytes((size_t)(i % 11) * 97, (uint32_t)(t * 1000 + i))});
        w.path = "files\\t" + std::to_string(t) + ".dat";
        WriteFile(w.path, BuildArchive(w.entries));
    }
    for (int t = 0; t < kThreads; t++)
        threads[t] = CreateThread(nullptr, 0, Work, &workers[t], 0, nullptr);
    WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
    for (int t = 0; t < kThreads; t++) {
        CloseHandle(threads[t]);
        CHECK(workers[t].wrong == 0);
    }
}
#endif

// Names in Shift_JIS, whose trail bytes can be letters and backslashes:
// ア is 83 41, ヂ is 83 61, ソ is 83 5C, 表 is 95 5C.
static void DoubleByteNames() {
    const std::string a = "\x83\x41.png", di = "\x83\x61.png", so = "\x83\x5c\\x.txt";
    std::vector<TestEntry> entries = {{a, "A"}, {di, "DI"}, {so, "SO"}, {"Readme.TXT", "R"}};
    // 99 two-byte characters and a letter: 199 bytes would cut the last one in half.
    std::string longName = "x" + std::string();
    for (int i = 0; i < 100; i++)
        longName += "\x95\x5c";
    entries.push_back({longName, "L"});
    WriteFile("files\\sjis.dat", BuildArchive(entries));
    FileInfo record;
    CHECK(getFileInfo("files\\sjis.dat", 0, di.c_str(), 0x80, &record) == 0);
    CHECK(strcmp(record.filename, di.c_str()) == 0 && record.filesize == 2);
    CHECK(getFileInfo("files\\sjis.dat", 0, a.c_str(), 0x80, &record) == 0);
    CHECK(strcmp(record.filename, a.c_str()) == 0);
    CHECK(getFileInfo("files\\sjis.dat", 0, "\x83\x41.PNG", 0x80, &record) == 0);
    CHECK(strcmp(record.filename, a.c_str()) == 0);
    CHECK(getFileInfo("files\\sjis.dat", 0, "\x83\x7c\\X.TXT", 0x80, &record) == 2);
    CHECK(getFileInfo("files\\sjis.dat", 0, "\x83\x5c\\X.TXT", 0x80, &record) == 0);
    CHECK(getFileInfo("files\\sjis.dat", 0, "readme.txt", 0x80, &record) == 0);

    HLOCAL block = nullptr;
    CHECK(getArchiveInfo("files\\sjis.dat", 0, 0, &block) == 0);
    const char *records = (const char *)LocalLock(block);
    CHECK(strlen(Text(records, 4, kFilename)) == 199);
    CHECK(memcmp(Text(records, 4, kFilename), longName.data(), 199) == 0);
    CHECK(records[4 * kStride + kFilename + 199] == '\0');
    LocalUnlock(block);
    LocalFree(block);
    // Cut where a character would be split: 198 bytes, no lone lead byte.
    WriteFile("files\\cut-name.dat", BuildArchive({{longName.substr(1), "x"}}));
    CHECK(getArchiveInfo("files\\cut-name.dat", 0, 0, &block) == 0);
    records = (const char *)LocalLock(block);
    CHECK(strlen(Text(records, 0, kFilename)) == 198);
    LocalUnlock(block);
    LocalFree(block);
}

int main(int argc, char **argv) {
    bool doubleByte = argc > 1 && strcmp(argv[1], "--cp932") == 0;
    if (doubleByte && GetACP() != 932) {
        printf("skipped: the ANSI code page is %u, not 932 (no Japanese locale here?)\n", GetACP());
        return 77;
    }
    CreateDirectoryA("files", nullptr);
    HMODULE module = LoadLibraryA(kModule);
    if (module == nullptr) {
        printf("cannot load %s\n", kModule);
        return 1;
    }
    getPluginInfo = (decltype(getPluginInfo))(void *)GetProcAddress(module, "GetPluginInfo");
    isSupported = (decltype(isSupported))(void *)GetProcAddress(module, "IsSupported");
    getArchiveInfo = (decltype(getArchiveInfo))(void *)GetProcAddress(module, "GetArchiveInfo");
    getFileInfo = (decltype(getFileInfo))(void *)GetProcAddress(module, "GetFileInfo");
    getFile = (decltype(getFile))(void *)GetProcAddress(module, "GetFile");
    if (!getPluginInfo || !isSupported || !getArchiveInfo || !getFileInfo || !getFile) {
        printf("an export is missing\n");
        return 1;
    }
    if (doubleByte) {
        DoubleByteNames();
    } else {
        Identity();
        Listing();
        FailuresLeaveNoHandle();
        Extraction();
#if SPI_64BIT
        ThreadStress();
#endif
    }
    FreeLibrary(module);
    printf("host test (%s%s): %d failed checks\n", kModule, doubleByte ? ", code page 932" : "",
           failures);
    return failures == 0 ? 0 : 1;
}
