// The host contract, mode by mode: every export called with every input
// kind and every output kind (bits 0-2 and 8-10 of flags, 64 in all), and
// every kind of argument the flagless exports take, with each pointer
// argument against a no-access page (read-only where it is an input) and
// every other byte of its pages checked after the call. Natively over the
// stand-in (also under ASan), and under Wine against the real module:
// axquorvel.spi from the 32-bit build, axquorvel.sph (wide exports too) from
// the 64-bit one. A write where the contract allows none faults or shows.
//   contract_test            the table
//   contract_test --patterns the host patterns seen in the field
#include "platform/platform.h"
#include "plugin/spi.h"

#include "archive_builder.h"
#include "guard_pages.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

static int failures, calls;
static const char *currentCase = "";

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            printf("%s:%d: %s: check failed: %s\n", __FILE__, __LINE__, currentCase, #condition);  \
            failures++;                                                                            \
        }                                                                                          \
    } while (0)

#if !defined(_WIN32) || SPI_64BIT
static constexpr bool kWide = true;
#else
static constexpr bool kWide = false;
#endif

static decltype(&GetPluginInfo) getPluginInfo;
static decltype(&IsSupported) isSupported;
static decltype(&GetArchiveInfo) getArchiveInfo;
static decltype(&GetFileInfo) getFileInfo;
static decltype(&GetFile) getFile;
#if !defined(_WIN32) || SPI_64BIT
static decltype(&GetPluginInfoW) getPluginInfoW;
static decltype(&IsSupportedW) isSupportedW;
static decltype(&GetArchiveInfoW) getArchiveInfoW;
static decltype(&GetFileInfoW) getFileInfoW;
static decltype(&GetFileW) getFileW;
#endif

#ifdef _WIN32
static const char kFolder[] = "contract";
static const char kArchive[] = "contract\\game.dat";
static const char16_t kArchiveW[] = u"contract\\game.dat";
static const char16_t kFolderW[] = u"contract\\out";
static const char kOutFile[] = "contract\\out\\b.png";
#if SPI_64BIT
static const char kModule[] = "axquorvel.sph";
#else
static const char kModule[] = "axquorvel.spi";
#endif
#else
static const char kFolder[] = "contract";
static const char kArchive[] = "contract/game.dat";
static const char16_t kArchiveW[] = u"contract/game.dat";
static const char16_t kFolderW[] = u"contract/out";
static const char kOutFile[] = "contract/out/b.png";
#endif

static const std::vector<TestEntry> kThree = {
    {"a.bmp", "AAAA"}, {"b.png", PatternBytes(1000, 2)}, {"c.txt", "CC"}};
static std::string archiveBytes;
static const uint32_t kPosition = 49; // b.png's directory line

// Names the call about to be made, for the messages of its checks.
static void NameCase(const char *format, ...) {
    static char name[96];
    va_list args;
    va_start(args, format);
    vsnprintf(name, sizeof name, format, args);
    va_end(args);
    currentCase = name;
}

static int progressCalls;
static int32_t SPI_API CountProgress(int32_t, int32_t total, intptr_t user) {
    CHECK(total == 3 && user == 7);
    progressCalls++;
    return 0;
}

static bool MakeFolder(const char *path) {
#ifdef _WIN32
    return CreateDirectoryA(path, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
#else
    return mkdir(path, 0755) == 0 || errno == EEXIST;
#endif
}

static std::string ReadAll(const char *path) {
    std::string bytes;
    FILE *f = fopen(path, "rb");
    if (f == nullptr)
        return "(missing)";
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        bytes.append(buffer, n);
    fclose(f);
    return bytes;
}

static std::string BlockBytes(SpiBlock block) {
    std::string bytes(LocalSize(block), '\0');
    if (!bytes.empty())
        memcpy(&bytes[0], LocalLock(block), bytes.size());
    LocalUnlock(block);
    return bytes;
}

// The first argument as the input kind has it: the archive's path for kind
// 0, the archive's bytes for kind 1 (input from memory), its head else.
static Guarded *FirstArgument(uint32_t input, bool wide) {
    if (input == 0)
        return wide ? GuardWide(kArchiveW) : GuardText(kArchive);
    if (input == 1)
        return Guard(archiveBytes.data(), archiveBytes.size(), true);
    return Guard(archiveBytes.data(), 64, true);
}

// The output argument of GetFile as the output kind has it: a handle
// variable for kind 1, the host's path (or folder) for kind 0, and some of
// the host's bytes for kinds 2-7. Only the handle variable is writable.
static Guarded *Destination(uint32_t output, bool wide) {
    if (output == 1)
        return Guard(nullptr, sizeof(SpiBlock), false);
    if (output == 0)
        return wide ? GuardWide(kFolderW) : GuardText(kOutFile);
    return Guard(archiveBytes.data(), 16, true);
}

// GetArchiveInfo and its wide form: input 0 lists, any other input kind is
// refused with -1 and a null handle; the output bits are ignored.
static void ListingModes(bool wide) {
    for (uint32_t input = 0; input < 8; input++)
        for (uint32_t output = 0; output < 8; output++) {
            uint32_t flags = input | output << 8;
            NameCase("GetArchiveInfo%s flags %#x", wide ? "W" : "", flags);
            Guarded *first = FirstArgument(input, wide);
            Guarded *out = Guard(nullptr, sizeof(SpiBlock), false);
            int32_t result;
#if !defined(_WIN32) || SPI_64BIT
            if (wide)
                result = getArchiveInfoW((const SpiWideChar *)first->bytes, 0, flags,
                                         (SpiBlock *)out->bytes);
            else
#endif
                result = getArchiveInfo(first->bytes, 0, flags, (SpiBlock *)out->bytes);
            calls++;
            CHECK(result == (input == 0 ? 0 : -1));
            CHECK(Unchanged(first) && OnlyChanged(out, 0, sizeof(SpiBlock)));
            SpiBlock block;
            memcpy(&block, out->bytes, sizeof block);
            CHECK((block != nullptr) == (result == 0));
            if (block != nullptr) {
                size_t record = wide ? 848 : sizeof(FileInfo);
                CHECK(LocalSize(block) == 4 * record);
                LocalFree(block);
            }
            Release(out);
            Release(first);
        }
}

// GetFileInfo and its wide form: input 0 fills the record for a match, and
// nothing else ever writes it; bit 0x80 compares without case.
static void LookupModes(bool wide) {
    struct Lookup {
        const char *name;
        uint32_t extra;
        int32_t found;
    } lookups[] = {{"b.png", 0, 0}, {"B.PNG", 0x80, 0}, {"B.PNG", 0, 2}, {"b", 0x80, 2}};
    size_t size = wide ? 848 : sizeof(FileInfo);
    for (const Lookup &l : lookups)
        for (uint32_t input = 0; input < 8; input++)
            for (uint32_t output = 0; output < 8; output++) {
                uint32_t flags = input | output << 8 | l.extra;
                NameCase("GetFileInfo%s %s flags %#x", wide ? "W" : "", l.name, flags);
                Guarded *first = FirstArgument(input, wide);
                std::u16string wideName(l.name, l.name + strlen(l.name));
                Guarded *entry = wide ? GuardWide(wideName) : GuardText(l.name);
                Guarded *record = Guard(nullptr, size, false);
                int32_t result;
#if !defined(_WIN32) || SPI_64BIT
                if (wide)
                    result = getFileInfoW((const SpiWideChar *)first->bytes, 0,
                                          (const SpiWideChar *)entry->bytes, flags,
                                          (FileInfoW *)record->bytes);
                else
#endif
                    result = getFileInfo(first->bytes, 0, entry->bytes, flags,
                                         (FileInfo *)record->bytes);
                calls++;
                int32_t expected = input == 0 ? l.found : -1;
                CHECK(result == expected);
                CHECK(Unchanged(first) && Unchanged(entry));
                CHECK(OnlyChanged(record, 0, result == 0 ? size : 0));
                if (result == 0) {
                    uint64_t position = 0, filesize = 0;
                    memcpy(&position, record->bytes + 8, SPI_64BIT || wide ? 8 : 4);
                    memcpy(&filesize, record->bytes + (SPI_64BIT || wide ? 24 : 16),
                           SPI_64BIT || wide ? 8 : 4);
                    CHECK(position == kPosition && filesize == kThree[1].data.size());
                }
                Release(record);
                Release(entry);
                Release(first);
            }
}

// GetFile and GetFileW: destination is a handle variable for output kind 1
// only; the wide form also writes into a folder for kind 0. Every other
// mode is refused with -1, without a progress call, writing nothing but a
// null handle where destination is one.
static void ExtractionModes(bool wide) {
    for (uint32_t input = 0; input < 8; input++)
        for (uint32_t output = 0; output < 8; output++) {
            uint32_t flags = input | output << 8;
            NameCase("GetFile%s flags %#x", wide ? "W" : "", flags);
            remove(kOutFile);
            Guarded *first = FirstArgument(input, wide);
            Guarded *destination = Destination(output, wide);
            progressCalls = 0;
            int32_t result;
#if !defined(_WIN32) || SPI_64BIT
            if (wide)
                result = getFileW((const SpiWideChar *)first->bytes, kPosition, destination->bytes,
                                  flags, CountProgress, 7);
            else
#endif
                result = getFile(first->bytes, kPosition, (SpiBlock *)destination->bytes, flags,
                                 CountProgress, 7);
            calls++;
            bool toMemory = output == 1, toFolder = wide && output == 0;
            bool supported = input == 0 && (toMemory || toFolder);
            CHECK(result == (supported ? 0 : -1));
            CHECK(progressCalls == (supported ? 4 : 0));
            CHECK(Unchanged(first));
            CHECK(OnlyChanged(destination, 0, toMemory ? sizeof(SpiBlock) : 0));
            if (toMemory) {
                SpiBlock block;
                memcpy(&block, destination->bytes, sizeof block);
                CHECK((block != nullptr) == supported);
                if (block != nullptr) {
                    CHECK(BlockBytes(block) == kThree[1].data);
                    LocalFree(block);
                }
            }
            CHECK((ReadAll(kOutFile) == kThree[1].data) == (supported && toFolder));
            Release(destination);
            Release(first);
        }
}

// What a host hands back. A position must start a directory line: inside
// b.png's line (its name, its number fields) GetFile gives 6 and no block,
// and GetFileW writes no file named after the rest of the name. And every
// name a listing shows finds its entry, a name cut to 199 bytes too.
static void HandedBackProbes() {
    const char *rests[] = {".png", "png", "ng", "g"};
    for (uint32_t position = kPosition + 1; position < kPosition + 5 + 23; position++) {
        NameCase("GetFile at %u", position);
        SpiBlock block = (SpiBlock)1;
        CHECK(getFile(kArchive, position, &block, 0x100, nullptr, 0) == 6 && block == nullptr);
        calls++;
#if !defined(_WIN32) || SPI_64BIT
        NameCase("GetFileW into a folder at %u", position);
        CHECK(getFileW((const SpiWideChar *)kArchiveW, position, (void *)kFolderW, 0, nullptr, 0) ==
              6);
        calls++;
#endif
    }
    std::string folder(kOutFile);
    folder.resize(folder.find_last_of("\\/") + 1);
    for (const char *rest : rests) {
        NameCase("no file %s%s", folder.c_str(), rest);
        CHECK(ReadAll((folder + rest).c_str()) == "(missing)");
    }

    std::string longName(230, 'L');
    std::string longArchive = std::string(kArchive) + ".long.dat";
    WriteFile(longArchive, BuildArchive({{"a.bmp", "AAAA"}, {longName, "LONG"}}));
    SpiBlock block = nullptr;
    NameCase("GetFileInfo of a name the listing cut");
    CHECK(getArchiveInfo(longArchive.c_str(), 0, 0, &block) == 0 && block != nullptr);
    if (block != nullptr) {
        FileInfo listed, found;
        memcpy(&listed, (const char *)LocalLock(block) + sizeof(FileInfo), sizeof listed);
        LocalUnlock(block);
        LocalFree(block);
        CHECK(strlen(listed.filename) == 199);
        CHECK(getFileInfo(longArchive.c_str(), 0, listed.filename, 0, &found) == 0);
        CHECK(memcmp(&found, &listed, sizeof found) == 0);
        calls += 2;
    }
}

// IsSupported and its wide form with a handle or with the head's address;
// neither the name nor the head is written, and no more than 21 bytes of
// the head are read.
static void DetectionModes(bool wide) {
    struct Detect {
        const char *name;
        const char *head;
        int32_t supported;
    } cases[] = {{"x\\GAME.DAT", "FILECMB-DATA-LIST-IN\n", 1},
                 {"game.bin", "FILECMB-DATA-LIST-IN\n", 0},
                 {"dat", "FILECMB-DATA-LIST-IN\n", 0},
                 {"game.dat", "FILECMB-DATA-LIST-IN\r", 0}};
    for (const Detect &d : cases)
        for (int byHandle = 0; byHandle < 2; byHandle++) {
            NameCase("IsSupported%s %s by %s", wide ? "W" : "", d.name,
                     byHandle ? "handle" : "address");
            std::u16string wideName(d.name, d.name + strlen(d.name));
            Guarded *fileName = wide ? GuardWide(wideName) : GuardText(d.name);
            Guarded *head = Guard(d.head, 21, true);
            uintptr_t source = (uintptr_t)head->bytes;
            HANDLE file = INVALID_HANDLE_VALUE;
            if (byHandle) {
                WriteFile("contract/head.dat", std::string(d.head) + "rest");
                file = CreateFileA("contract/head.dat", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                CHECK(file != INVALID_HANDLE_VALUE && ((uintptr_t)file >> 16) == 0);
                source = (uintptr_t)file;
            }
            int32_t result;
#if !defined(_WIN32) || SPI_64BIT
            if (wide)
                result = isSupportedW((const SpiWideChar *)fileName->bytes, source);
            else
#endif
                result = isSupported(fileName->bytes, source);
            calls++;
            CHECK(result == d.supported);
            CHECK(Unchanged(fileName) && Unchanged(head));
            if (file != INVALID_HANDLE_VALUE)
                CloseHandle(file);
            Release(head);
            Release(fileName);
        }
}

// GetPluginInfo and its wide form for every index around the rows and every
// length up to past each row's: the buffer, exactly that long, is written
// only within it.
static void InformationModes(bool wide) {
    size_t unit = wide ? 2 : 1;
    for (int32_t index = -1; index <= 4; index++) {
        char row[256] = "";
        getPluginInfo(index < 0 || index > 3 ? 0 : index, row, sizeof row);
        int32_t rowLength = index < 0 || index > 3 ? 0 : (int32_t)strlen(row);
        for (int32_t length = 0; length <= rowLength + 2; length++) {
            NameCase("GetPluginInfo%s(%d, buffer, %d)", wide ? "W" : "", index, length);
            Guarded *buffer = Guard(nullptr, (size_t)length * unit, false);
            int32_t result;
#if !defined(_WIN32) || SPI_64BIT
            if (wide)
                result = getPluginInfoW(index, (SpiWideChar *)buffer->bytes, length);
            else
#endif
                result = getPluginInfo(index, buffer->bytes, length);
            calls++;
            bool valid = index >= 0 && index <= 3 && length >= 1;
            int32_t expected = valid ? (length - 1 < rowLength ? length - 1 : rowLength) : 0;
            CHECK(result == expected);
            CHECK(OnlyChanged(buffer, 0, valid ? (size_t)(expected + 1) * unit : 0));
            for (int32_t i = 0; valid && i < expected; i++)
                CHECK((wide ? buffer->bytes[i * 2] : buffer->bytes[i]) == row[i]);
            Release(buffer);
        }
    }
}

static bool LoadExports() {
#ifdef _WIN32
    HMODULE module = LoadLibraryA(kModule);
    if (module == nullptr) {
        printf("cannot load %s\n", kModule);
        return false;
    }
#define FIND(variable, name) variable = (decltype(variable))(void *)GetProcAddress(module, #name)
#else
#define FIND(variable, name) variable = name
#endif
    FIND(getPluginInfo, GetPluginInfo);
    FIND(isSupported, IsSupported);
    FIND(getArchiveInfo, GetArchiveInfo);
    FIND(getFileInfo, GetFileInfo);
    FIND(getFile, GetFile);
#if !defined(_WIN32) || SPI_64BIT
    FIND(getPluginInfoW, GetPluginInfoW);
    FIND(isSupportedW, IsSupportedW);
    FIND(getArchiveInfoW, GetArchiveInfoW);
    FIND(getFileInfoW, GetFileInfoW);
    FIND(getFileW, GetFileW);
    if (!getPluginInfoW || !isSupportedW || !getArchiveInfoW || !getFileInfoW || !getFileW)
        return false;
#endif
#undef FIND
    return getPluginInfo && isSupported && getArchiveInfo && getFileInfo && getFile;
}

static bool WriteBlock(const char *path, SpiBlock block) {
    bool ok = WriteFile(path, BlockBytes(block));
    LocalFree(block);
    return ok;
}

// Hosts as they are written: each pattern is one that a host in the field
// uses, with its own buffers reused from one call to the next.
static void HostPatterns() {
    // Output to disk first, then to memory with the same path buffer, and
    // the block written to that path.
    currentCase = "disk output first, then memory output";
    char path[260];
    snprintf(path, sizeof path, "%s", kOutFile);
    for (uint32_t flags : {0x000u, 0x001u, 0x200u}) {
        CHECK(getFile(kArchive, kPosition, (SpiBlock *)(void *)path, flags, nullptr, 0) == -1);
        CHECK(strcmp(path, kOutFile) == 0);
    }
    SpiBlock block = nullptr;
    CHECK(getFile(kArchive, kPosition, &block, 0x100, nullptr, 0) == 0);
    CHECK(WriteBlock(path, block) && ReadAll(kOutFile) == kThree[1].data);

    // A string constant as the path: it lies in read-only memory.
    currentCase = "a string constant as the path";
    CHECK(getFile(kArchive, kPosition, (SpiBlock *)(void *)"contract\\out\\constant.png", 0,
                  nullptr, 0) == -1);

    // Memory input first (the head, then the whole archive in a buffer),
    // then input from the file.
    currentCase = "memory input first, then file input";
    Guarded *bytes = Guard(archiveBytes.data(), archiveBytes.size(), true);
    CHECK(isSupported("game.dat", (uintptr_t)bytes->bytes) == 1);
    block = (SpiBlock)bytes; // as a host that reuses its variable
    CHECK(getArchiveInfo(bytes->bytes, 0, 1, &block) == -1 && block == nullptr);
    CHECK(getArchiveInfo(kArchive, 0, 0, &block) == 0 && block != nullptr);
    LocalFree(block);
    CHECK(getFile(bytes->bytes, kPosition, &block, 0x101, nullptr, 0) == -1 && block == nullptr);
    CHECK(getFile(kArchive, kPosition, &block, 0x100, nullptr, 0) == 0 &&
          BlockBytes(block) == kThree[1].data);
    LocalFree(block);
    CHECK(Unchanged(bytes));
    Release(bytes);

#if !defined(_WIN32) || SPI_64BIT
    // A 64-bit host that asks the wide entry points first and falls back
    // to the ANSI ones with the same buffers: the record buffer, sized for
    // the wide record, and the handle variable.
    currentCase = "wide first, then ANSI with the same buffers";
    Guarded *record = Guard(nullptr, sizeof(FileInfoW), false);
    CHECK(getFileInfoW((const SpiWideChar *)kArchiveW, 0, (const SpiWideChar *)u"B.PNG", 0,
                       (FileInfoW *)record->bytes) == 2);
    CHECK(Unchanged(record));
    CHECK(getFileInfo(kArchive, 0, "b.png", 0, (FileInfo *)record->bytes) == 0);
    CHECK(OnlyChanged(record, 0, sizeof(FileInfo)));
    CHECK(strcmp(record->bytes + offsetof(FileInfo, filename), "b.png") == 0);
    Release(record);
    block = nullptr;
    CHECK(getArchiveInfoW((const SpiWideChar *)kArchiveW, 0, 1, &block) == -1 && block == nullptr);
    CHECK(getArchiveInfo(kArchive, 0, 0, &block) == 0 && block != nullptr);
    LocalFree(block);
    Guarded *folder = GuardWide(kFolderW);
    CHECK(getFileW((const SpiWideChar *)kArchiveW, kPosition, folder->bytes, 0x200, nullptr, 0) ==
          -1);
    CHECK(Unchanged(folder));
    remove(kOutFile);
    CHECK(getFile(kArchive, kPosition, &block, 0x100, nullptr, 0) == 0);
    CHECK(WriteBlock(kOutFile, block) && ReadAll(kOutFile) == kThree[1].data);
    Release(folder);
#endif
}

// A write where none is allowed faults: name the call before the process ends.
#ifdef _WIN32
static LONG WINAPI OnFault(EXCEPTION_POINTERS *fault) {
    printf("%s: the call faulted (exception %#lx)\n", currentCase,
           (unsigned long)fault->ExceptionRecord->ExceptionCode);
    fflush(stdout);
    return EXCEPTION_EXECUTE_HANDLER;
}
#else
static void OnFault(int) {
    const char *what = ": the call faulted\n";
    (void)!write(1, currentCase, strlen(currentCase));
    (void)!write(1, what, strlen(what));
    _exit(1);
}
#endif

int main(int argc, char **argv) {
#ifdef _WIN32
    SetUnhandledExceptionFilter(OnFault);
#else
    signal(SIGSEGV, OnFault);
    signal(SIGBUS, OnFault);
#endif
    bool patterns = argc > 1 && strcmp(argv[1], "--patterns") == 0;
    if (!LoadExports()) {
        printf("an export is missing\n");
        return 1;
    }
    archiveBytes = BuildArchive(kThree);
    MakeFolder(kFolder);
    std::string out(kOutFile);
    MakeFolder(out.substr(0, out.find_last_of("\\/")).c_str());
    WriteFile(kArchive, archiveBytes);
    if (patterns) {
        HostPatterns();
    } else {
        for (int wide = 0; wide <= (kWide ? 1 : 0); wide++) {
            InformationModes(wide);
            DetectionModes(wide);
            ListingModes(wide);
            LookupModes(wide);
            ExtractionModes(wide);
        }
        HandedBackProbes();
    }
    printf("contract test (%s, %s exports): %d calls in the table, %d failed checks\n",
           patterns ? "host patterns" : "every mode", kWide ? "ANSI and wide" : "ANSI", calls,
           failures);
    return failures == 0 ? 0 : 1;
}
