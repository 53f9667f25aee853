// A Windows host in miniature: loads the plug-in module with LoadLibraryA,
// finds the five exports by name and drives them as a host does, reading
// records by their byte offsets and locking and freeing the blocks it
// receives. Built for both variants: the 32-bit one loads axquorvel.spi and
// reads 428-byte records, the 64-bit one loads axquorvel.sph and reads
// 448-byte records, and also runs the thread stress.
//   host_test          the host contract
//   host_test --cp932  names in a double-byte ANSI code page (run under a
//                      Japanese locale; skipped, exit 77, under another)
//   host_test --wide   the 64-bit module's wide-character exports, under
//                      whatever locale CTest gives it (English, Japanese,
//                      Chinese): names decode by the archive's code page
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

    // Records name no entry outside the host's folder; each is still taken
    // at its position and found by either name.
    const std::vector<TestEntry> climbing = {{"..\\up.txt", "U"},
                                             {"\\abs", "A"},
                                             {"C:\\y", "Y"},
                                             {"a\\..\\..\\b", "B"},
                                             {"ok\\n.txt", "N"}};
    const char *listed[] = {"up.txt", "abs", "y", "a\\b", "ok\\n.txt"};
    WriteFile("files\\climbing.dat", BuildArchive(climbing));
    CHECK(getArchiveInfo("files\\climbing.dat", 0, 0, &block) == 0);
    records = (const char *)LocalLock(block);
    for (int i = 0; i < 5; i++) {
        CHECK(strcmp(Text(records, i, kFilename), listed[i]) == 0);
        int32_t result = -1;
        CHECK(Extract("files\\climbing.dat", (intptr_t)Field(records, i, kPosition), &result) ==
              climbing[i].data);
        for (const char *name : {climbing[i].name.c_str(), listed[i]})
            CHECK(getFileInfo("files\\climbing.dat", 0, name, 0, &record) == 0 &&
                  (int64_t)record.position == Field(records, i, kPosition) &&
                  strcmp(record.filename, listed[i]) == 0);
    }
    LocalUnlock(block);
    CHECK(LocalFree(block) == nullptr);

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
    // Output to disk: the argument is the host's path, not a handle variable.
    CHECK(getFile("files\\game.dat", 49, &block, 0, nullptr, 0) == -1 &&
          block == INVALID_HANDLE_VALUE);
    CHECK(getFile("files\\game.dat", 49, &block, 0x101, nullptr, 0) == -1 && block == nullptr);
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
static decltype(&GetPluginInfoW) getPluginInfoW;
static decltype(&IsSupportedW) isSupportedW;
static decltype(&GetArchiveInfoW) getArchiveInfoW;
static decltype(&GetFileInfoW) getFileInfoW;
static decltype(&GetFileW) getFileW;

static std::vector<FileInfoW> ListW(const std::wstring &path, int32_t *result = nullptr) {
    HLOCAL block = INVALID_HANDLE_VALUE;
    int32_t r = getArchiveInfoW(path.c_str(), 0, 0, &block);
    if (result != nullptr)
        *result = r;
    std::vector<FileInfoW> records;
    if (r != 0) {
        CHECK(block == nullptr);
        return records;
    }
    const FileInfoW *all = (const FileInfoW *)LocalLock(block);
    for (size_t i = 0; all[i].method[0] != '\0'; i++)
        records.push_back(all[i]);
    // Hosts check that the block holds the records and less than one more.
    CHECK(LocalSize(block) >= (records.size() + 1) * sizeof(FileInfoW) &&
          LocalSize(block) < (records.size() + 2) * sizeof(FileInfoW));
    LocalUnlock(block);
    CHECK(LocalFree(block) == nullptr);
    return records;
}
#endif

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
        if (w->index % 2 == 1) {
            // Wide listings beside the ANSI ones share the module's one lock.
            std::wstring path(w->path.begin(), w->path.end());
            std::vector<FileInfoW> records = ListW(path);
            if (records.size() != w->entries.size())
                w->wrong++;
            for (size_t i = 0; i < records.size() && i < w->entries.size(); i++) {
                std::wstring name = std::wstring(records[i].path) + records[i].filename;
                if (name != std::wstring(w->entries[i].name.begin(), w->entries[i].name.end()) ||
                    records[i].position != EntryPosition(w->entries, i))
                    w->wrong++;
            }
            continue;
        }
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
#if SPI_64BIT
// Every position the module lists, GetFile takes, with the listed size:
// over random directories with CR, CR LF and lines without an LF, as the
// native plug-in test checks it.
static void EveryListedPositionIsTaken() {
    uint32_t random = 1;
    auto next = [&random] { return (random = random * 1103515245u + 12345u) >> 8; };
    for (int seed = 0; seed < 200; seed++) {
        std::string directory = LineEndsArchive(next);
        WriteFile("files\\ends.dat", directory);
        HLOCAL block = nullptr;
        CHECK(getArchiveInfo("files\\ends.dat", 0, 0, &block) == 0);
        const char *records = (const char *)LocalLock(block);
        for (int i = 0; records != nullptr && records[i * kStride] != '\0'; i++) {
            int32_t result = 0;
            std::string got =
                Extract("files\\ends.dat", (intptr_t)Field(records, i, kPosition), &result);
            CHECK(result == 0 && (int64_t)got.size() == Field(records, i, kFilesize));
        }
        LocalUnlock(block);
        LocalFree(block);
    }
}
#endif

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

#if SPI_64BIT
static bool WriteWide(const std::wstring &path, const std::string &bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool ok = file != INVALID_HANDLE_VALUE &&
              WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr) &&
              written == bytes.size();
    CloseHandle(file);
    return ok;
}

static std::string ReadWide(const std::wstring &path, FILETIME *written = nullptr) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD got = 0;
    if (!bytes.empty())
        ReadFile(file, &bytes[0], (DWORD)bytes.size(), &got, nullptr);
    if (written != nullptr)
        GetFileTime(file, nullptr, nullptr, written);
    CloseHandle(file);
    return bytes;
}

static std::vector<std::wstring> FilesIn(const std::wstring &folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            names.push_back(found.cFileName);
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    return names;
}

// Names decode by the archive's code page: UTF-8 when all names are, else a
// double-byte system code page, else CP932. Run under English (1252),
// Japanese (932) and Chinese (936) locales.
static void WideNames() {
    UINT acp = GetACP();
    bool doubleByte = acp == 932 || acp == 936 || acp == 949 || acp == 950;
    UINT fallback = doubleByte ? acp : 932;
    printf("wide names under ANSI code page %u\n", acp);

    const std::string sofuto = "\x83\x5c\x83\x74\x83\x67", hyouji = "\x95\x5c\x8e\xa6";
    std::vector<TestEntry> sjis = {{"readme.txt", "R"},
                                   {sofuto + "\\" + hyouji + ".txt", "S"},
                                   {"\x83\x41.png", "A"},
                                   {"\x83\x61.png", "DI"},
                                   {"ok\x83", "bad"}};
    std::vector<TestEntry> utf8 = {{"img/001.png", "PNG"},
                                   {"\xe3\x82\xbd\xe3\x83\x95\xe3\x83\x88/x.txt", "U"},
                                   {"\xc3\x89t\xc3\xa9.txt", "E"},
                                   {std::string(198, 'a') + "\xf0\x9f\x98\x80" + ".txt", "P"}};
    std::vector<TestEntry> gbk = {{"\xd6\xd0\xce\xc4\\\xcb\xb5\xc3\xf7.txt", "G"}};
    WriteFile("files\\sjis.dat", BuildArchive(sjis));
    WriteFile("files\\utf8.dat", BuildArchive(utf8));
    WriteFile("files\\gbk.dat", BuildArchive(gbk));

    std::vector<FileInfoW> records = ListW(L"files\\utf8.dat");
    CHECK(records.size() == 4);
    if (records.size() == 4) {
        CHECK(std::wstring(records[0].path) == L"img\\" &&
              std::wstring(records[0].filename) == L"001.png");
        CHECK(std::wstring(records[1].path) == L"\u30bd\u30d5\u30c8\\");
        CHECK(std::wstring(records[3].filename) == std::wstring(198, L'a'));
    }
    FileInfoW record;
    CHECK(getFileInfoW(L"files\\utf8.dat", 0, L"img\\001.png", 0, &record) == 0);
    CHECK(getFileInfoW(L"files\\utf8.dat", 0, L"img/001.png", 0, &record) == 0);
    CHECK(getFileInfoW(L"files\\utf8.dat", 0, L"IMG/001.PNG", 0, &record) == 2);
    CHECK(getFileInfoW(L"files\\utf8.dat", 0, L"IMG/001.PNG", 0x80, &record) == 0);
    CHECK(getFileInfoW(L"files\\utf8.dat", 0, L"\u00e9T\u00c9.TXT", 0x80, &record) == 0);
    CHECK(record.position == EntryPosition(utf8, 2));

    records = ListW(L"files\\sjis.dat");
    CHECK(records.size() == 5);
    if (records.size() == 5) {
        bool right = std::wstring(records[1].path) == L"\u30bd\u30d5\u30c8\\" &&
                     std::wstring(records[1].filename) == L"\u8868\u793a.txt";
        CHECK(right == (fallback == 932));
        CHECK(std::wstring(records[2].filename) != records[3].filename);
        CHECK(std::wstring(records[4].filename) == L"ok\ufffd");
    }
    if (fallback == 932) {
        CHECK(getFileInfoW(L"files\\sjis.dat", 0, L"\u30bd\u30d5\u30c8/\u8868\u793a.TXT", 0x80,
                           &record) == 0);
        CHECK(getFileInfoW(L"files\\sjis.dat", 0, L"\u30a2.PNG", 0x80, &record) == 0 &&
              record.position == EntryPosition(sjis, 2));
        CHECK(getFileInfoW(L"files\\sjis.dat", 0, L"\u30c2.png", 0, &record) == 0 &&
              record.position == EntryPosition(sjis, 3));
    }
    records = ListW(L"files\\gbk.dat");
    CHECK(records.size() == 1);
    if (records.size() == 1) {
        bool right = std::wstring(records[0].path) == L"\u4e2d\u6587\\" &&
                     std::wstring(records[0].filename) == L"\u8bf4\u660e.txt";
        CHECK(right == (fallback == 936));
    }
}

// The wide exports against the ANSI ones, output into a folder, failures.
static void WideExports() {
    wchar_t buffer[64];
    CHECK(getPluginInfoW(0, buffer, 64) == 4 && wcscmp(buffer, L"00AM") == 0);
    CHECK(getPluginInfoW(3, buffer, 8) == 7 && wcscmp(buffer, L"Quorvel") == 0);
    CHECK(getPluginInfoW(4, buffer, 64) == 0);
    std::string head = BuildArchive(kThree);
    CHECK(isSupportedW(L"x\\GAME.DAT", (uintptr_t)head.data()) == 1);
    CHECK(isSupportedW(L"game.bin", (uintptr_t)head.data()) == 0);
    CHECK(isSupportedW(L"", (uintptr_t)head.data()) == 0);
    CHECK(isSupportedW(nullptr, (uintptr_t)head.data()) == 0);
    CHECK(isSupportedW(L"game.dat", 0x7F) == 0);

    // An archive in a folder whose name no ANSI code page holds.
    const std::wstring folder = L"files\\\U00020BB7";
    CreateDirectoryW(folder.c_str(), nullptr);
    std::vector<TestEntry> entries = {{"img/001.png", PatternBytes(2500000, 3)},
                                      {"x/CON.txt", "device"},
                                      {"..", "up"},
                                      {"e", ""}};
    const std::wstring archive = folder + L"\\game.dat";
    CHECK(WriteWide(archive, BuildArchive(entries)));
    std::vector<FileInfoW> records = ListW(archive);
    CHECK(records.size() == entries.size());
    WriteFile("files\\ascii.dat", BuildArchive(entries));
    HLOCAL block = nullptr;
    CHECK(getArchiveInfo("files\\ascii.dat", 0, 0, &block) == 0);
    const char *ansi = (const char *)LocalLock(block);
    for (size_t i = 0; i < records.size(); i++) {
        CHECK((int64_t)records[i].position == Field(ansi, (int)i, kPosition));
        CHECK((int64_t)records[i].filesize == Field(ansi, (int)i, kFilesize));
        CHECK((int64_t)records[i].compsize == Field(ansi, (int)i, kCompsize));
        CHECK(records[i].crc == 0 && records[i].padding == 0);
        HLOCAL bytes = INVALID_HANDLE_VALUE;
        CHECK(getFileW(archive.c_str(), (intptr_t)records[i].position, &bytes, 0x100, nullptr, 0) ==
              0);
        CHECK(LocalSize(bytes) == entries[i].data.size());
        CHECK(LocalSize(bytes) == 0 ||
              memcmp(LocalLock(bytes), entries[i].data.data(), LocalSize(bytes)) == 0);
        LocalFree(bytes);
    }
    LocalUnlock(block);
    LocalFree(block);

    // Wide records split a climbing entry's name without its climbing parts.
    std::vector<FileInfoW> climbing = ListW(L"files\\climbing.dat");
    const wchar_t *split[][2] = {
        {L"", L"up.txt"}, {L"", L"abs"}, {L"", L"y"}, {L"a\\", L"b"}, {L"ok\\", L"n.txt"}};
    CHECK(climbing.size() == 5);
    for (size_t i = 0; i < climbing.size() && i < 5; i++)
        CHECK(wcscmp((const wchar_t *)climbing[i].path, split[i][0]) == 0 &&
              wcscmp((const wchar_t *)climbing[i].filename, split[i][1]) == 0);
    FileInfoW found;
    for (const wchar_t *name : {L"..\\up.txt", L"up.txt"})
        CHECK(getFileInfoW(L"files\\climbing.dat", 0, (const SpiWideChar *)name, 0, &found) == 0 &&
              found.position == climbing[0].position);

    // Into a folder: created, then replaced; the user's other files stay.
    const std::wstring out = folder + L"\\out";
    CreateDirectoryW(out.c_str(), nullptr);
    CHECK(WriteWide(out + L"\\mine.txt", "mine"));
    CHECK(WriteWide(out + L"\\001.png", "old"));
    steps.clear();
    CHECK(getFileW(archive.c_str(), 21, (void *)out.c_str(), 0, Progress,
                   (intptr_t)0x123456789ll) == 0);
    CHECK((steps == std::vector<int64_t>{0x89 + 300, 0x89 + 1300, 0x89 + 2300, 0x89 + 3300}));
    FILETIME archiveTime, fileTime;
    ReadWide(archive, &archiveTime);
    CHECK(ReadWide(out + L"\\001.png", &fileTime) == entries[0].data);
    CHECK(CompareFileTime(&archiveTime, &fileTime) == 0);
    CHECK(ReadWide(out + L"\\mine.txt") == "mine");
    CHECK(getFileW(archive.c_str(), EntryPosition(entries, 3), (void *)out.c_str(), 0, nullptr,
                   0) == 0);
    CHECK(ReadWide(out + L"\\e").empty());
    for (size_t refused : {1, 2})
        CHECK(getFileW(archive.c_str(), EntryPosition(entries, refused), (void *)out.c_str(), 0,
                       nullptr, 0) == 6);
    CHECK(getFileW(archive.c_str(), 21, (void *)(folder + L"\\missing").c_str(), 0, nullptr, 0) ==
          6);
    std::vector<std::wstring> files = FilesIn(out);
    CHECK(files.size() == 3); // 001.png, e, mine.txt: nothing refused, nothing temporary

    // Every failure, with the host's handle preset.
    int32_t result;
    ListW(L"files\\missing.dat", &result);
    CHECK(result == 6);
    ListW(L"files\\not.dat", &result);
    CHECK(result == 4);
    ListW(L"files\\\xD842game.dat", &result);
    CHECK(result == 6);
    block = INVALID_HANDLE_VALUE;
    CHECK(getArchiveInfoW(archive.c_str(), 0, 1, &block) == -1 && block == nullptr);
    block = INVALID_HANDLE_VALUE;
    CHECK(getFileW(archive.c_str(), 21, &block, 0x101, nullptr, 0) == -1 && block == nullptr);
    block = INVALID_HANDLE_VALUE;
    CHECK(getFileW(archive.c_str(), 35, &block, 0x100, nullptr, 0) == 6 && block == nullptr);
    block = INVALID_HANDLE_VALUE;
    CHECK(getFileW(L"files\\missing.dat", 21, &block, 0x100, nullptr, 0) == 6 && block == nullptr);
    FileInfoW record;
    record.method[0] = 'z';
    CHECK(getFileInfoW(archive.c_str(), 0, L"img\\\xD800.png", 0, &record) == 2);
    CHECK(getFileInfoW(L"files\\missing.dat", 0, L"e", 0, &record) == 6 && record.method[0] == 'z');
}
#endif

int main(int argc, char **argv) {
    bool doubleByte = argc > 1 && strcmp(argv[1], "--cp932") == 0;
    bool wideNames = argc > 1 && strcmp(argv[1], "--wide") == 0;
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
#if SPI_64BIT
    getPluginInfoW = (decltype(getPluginInfoW))(void *)GetProcAddress(module, "GetPluginInfoW");
    isSupportedW = (decltype(isSupportedW))(void *)GetProcAddress(module, "IsSupportedW");
    getArchiveInfoW = (decltype(getArchiveInfoW))(void *)GetProcAddress(module, "GetArchiveInfoW");
    getFileInfoW = (decltype(getFileInfoW))(void *)GetProcAddress(module, "GetFileInfoW");
    getFileW = (decltype(getFileW))(void *)GetProcAddress(module, "GetFileW");
    if (!getPluginInfoW || !isSupportedW || !getArchiveInfoW || !getFileInfoW || !getFileW) {
        printf("a wide export is missing\n");
        return 1;
    }
#endif
    if (wideNames) {
#if SPI_64BIT
        WideNames();
#else
        printf("skipped: the 32-bit module has no wide exports\n");
        return 77;
#endif
    } else if (doubleByte) {
        DoubleByteNames();
    } else {
        Identity();
        Listing();
        FailuresLeaveNoHandle();
        Extraction();
#if SPI_64BIT
        WideExports();
        ThreadStress();
        EveryListedPositionIsTaken();
#endif
    }
    FreeLibrary(module);
    printf("host test (%s%s%s): %d failed checks\n", kModule, doubleByte ? ", code page 932" : "",
           wideNames ? ", wide names" : "", failures);
    return failures == 0 ? 0 : 1;
}
