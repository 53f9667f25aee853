// A Windows host in miniature: loads axquorvel.spi with LoadLibraryA, finds
// the five exports by name and drives them as a host does, reading records
// by their byte offsets and locking and freeing the blocks it receives.
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

static const std::vector<TestEntry> kThree = {
    {"a.bmp", "AAAA"}, {"b.png", PatternBytes(1000, 2)}, {"c.txt", "CC"}};

static std::vector<int32_t> steps;

static int32_t SPI_API Progress(int32_t step, int32_t total, int32_t user) {
    steps.push_back(step * 1000 + total * 100 + user);
    return 1;
}

// Reads a field of record i straight from the block, by offset.
static uint32_t Field(const char *records, int i, int offset) {
    uint32_t value;
    memcpy(&value, records + i * 428 + offset, 4);
    return value;
}

static std::string Extract(const char *path, int32_t position, int32_t *result) {
    HLOCAL block = (HLOCAL)1;
    steps.clear();
    *result = getFile(path, position, &block, 0x100, Progress, 7);
    if (*result != 0) {
        CHECK(block == nullptr || block == (HLOCAL)1);
        return "";
    }
    std::string bytes(LocalSize(block), '\0');
    if (!bytes.empty())
        memcpy(&bytes[0], LocalLock(block), bytes.size());
    LocalUnlock(block);
    CHECK(LocalFree(block) == nullptr);
    return bytes;
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

    std::string head = BuildArchive(kThree);
    CHECK(isSupported("x\\GAME.DAT", (uintptr_t)head.data()) == 1);
    CHECK(isSupported("game.bin", (uintptr_t)head.data()) == 0);
    CHECK(isSupported(nullptr, (uintptr_t)head.data()) == 0);
    WriteFile("files\\game.dat", head);
    WriteFile("files\\short.dat", "FILECMB-DATA-LIST-IN");
    HANDLE file = CreateFileA("files\\game.dat", GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(file != INVALID_HANDLE_VALUE && ((uintptr_t)file >> 16) == 0);
    CHECK(isSupported("game.dat", (uintptr_t)file) == 1);
    CHECK(SetFilePointer(file, 0, nullptr, FILE_CURRENT) == 22);
    CloseHandle(file);
    file = CreateFileA("files\\short.dat", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(isSupported("short.dat", (uintptr_t)file) == 0);
    CloseHandle(file);
}

static void Listing() {
    const char *path = "files\\game.dat";
    HLOCAL block = nullptr;
    CHECK(getArchiveInfo(path, 0, 0, &block) == 0);
    const char *records = (const char *)LocalLock(block);
    CHECK(records != nullptr);
    CHECK(LocalSize(block) >= 4 * 428);
    const uint32_t positions[] = {21, 49, 77};
    for (int i = 0; i < 3; i++) {
        CHECK(strcmp(records + i * 428, "Quorvel") == 0);
        CHECK(Field(records, i, 8) == positions[i]);
        CHECK(Field(records, i, 12) == kThree[i].data.size());
        CHECK(Field(records, i, 16) == kThree[i].data.size());
        CHECK(strcmp(records + i * 428 + 224, kThree[i].name.c_str()) == 0);
        CHECK(records[i * 428 + 24] == '\0');
        CHECK(Field(records, i, 424) == 0);
    }
    CHECK(records[3 * 428] == '\0');

    // The stamp is the last-write time nine hours ahead, read as local
    // standard time, whatever this machine's zone.
    FILETIME written;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    GetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
    int64_t unix =
        (int64_t)((((uint64_t)written.dwHighDateTime << 32) | written.dwLowDateTime) / 10000000) -
        11644473600LL;
    TIME_ZONE_INFORMATION zone;
    GetTimeZoneInformation(&zone);
    CHECK((int32_t)Field(records, 0, 20) == (int32_t)(unix + 9 * 3600 + zone.Bias * 60));
    LocalUnlock(block);
    CHECK(LocalFree(block) == nullptr);

    FileInfo record;
    CHECK(getFileInfo(path, 0, "B.PNG", 0, &record) == 2);
    CHECK(getFileInfo(path, 0, "B.PNG", 0x80, &record) == 0);
    CHECK(record.position == 49 && strcmp(record.filename, "b.png") == 0);
    CHECK(getFileInfo(path, 0, "b", 0, &record) == 2);
    CHECK(getFileInfo("files\\missing.dat", 0, "b.png", 0, &record) == 6);
    CHECK(getArchiveInfo(path, 0, 1, &block) == -1);

    // Thousands of entries, listed many times: a calling-convention mismatch
    // would have worn the stack away long before the end.
    std::vector<TestEntry> many;
    for (int i = 0; i < 3000; i++)
        many.push_back({"d\\f" + std::to_string(i), std::string(i % 5, 'q')});
    WriteFile("files\\many.dat", BuildArchive(many));
    for (int round = 0; round < 20; round++) {
        CHECK(getArchiveInfo("files\\many.dat", 0, 0, &block) == 0);
        records = (const char *)LocalLock(block);
        CHECK(strcmp(records + 2999 * 428 + 224, "d\\f2999") == 0);
        CHECK(Field(records, 2999, 8) == EntryPosition(many, 2999));
        CHECK(records[3000 * 428] == '\0');
        LocalUnlock(block);
        LocalFree(block);
    }
}

static void Extraction() {
    int32_t result;
    CHECK(Extract("files\\game.dat", 49, &result) == kThree[1].data && result == 0);
    CHECK((steps == std::vector<int32_t>{307, 1307, 2307, 3307}));
    CHECK(Extract("files\\missing.dat", 49, &result).empty() && result == 6);
    CHECK((steps == std::vector<int32_t>{307}));
    HLOCAL block = nullptr;
    CHECK(getFile("files\\game.dat", 49, &block, 0, Progress, 7) == -1);
    CHECK(getFile("files\\game.dat", 49, &block, 0x101, nullptr, 7) == -1);
    for (int32_t position : {0, 55, 105, 100000, -1}) {
        Extract("files\\game.dat", position, &result);
        CHECK(result == 6);
    }

    std::vector<TestEntry> entries = {{"empty", ""}, {"big", PatternBytes(6 << 20, 5)}};
    std::string bytes = BuildArchive(entries);
    WriteFile("files\\big.dat", bytes);
    CHECK(Extract("files\\big.dat", 21, &result).empty() && result == 0);
    CHECK(Extract("files\\big.dat", EntryPosition(entries, 1), &result) == entries[1].data);
    WriteFile("files\\cut.dat", bytes.substr(0, bytes.size() - 1));
    CHECK(Extract("files\\cut.dat", EntryPosition(entries, 1), &result).empty() && result == 6);
}

int main() {
    CreateDirectoryA("files", nullptr);
    HMODULE module = LoadLibraryA("axquorvel.spi");
    if (module == nullptr) {
        printf("cannot load axquorvel.spi\n");
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
    Identity();
    Listing();
    Extraction();
    FreeLibrary(module);
    printf("host test: %d failed checks\n", failures);
    return failures == 0 ? 0 : 1;
}
