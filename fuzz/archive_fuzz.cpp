// Archive bytes in, every entry point driven over them: recognition, the
// listing, a lookup of each listed name and of a few derived ones, and
// extraction at each listed position and at positions taken from the input.
// The wide exports list the same entries under a system code page chosen by
// the input's size: every decoded field ends within its record and holds no
// lone surrogate, the numbers match the ANSI records, and each decoded name
// finds its entry again. Nothing may leak, stay open, or be touched outside
// its block.
#include "linebuf/linebuf.h"
#include "plugin/plugin.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <unistd.h>
#include <vector>

// Enough for any sane test archive; larger sizes only slow the fuzzer down.
static constexpr size_t kLargestBlock = 1 << 24;
static constexpr size_t kMostEntries = 64;

static std::string ArchivePath() {
    return "/dev/shm/axq-fuzz-" + std::to_string(getpid()) + ".dat";
}

static void Extract(const char *path, int32_t position) {
    SpiBlock block = nullptr;
    if (GetFile(path, position, &block, SPI_OUTPUT_MEMORY, nullptr, 0) == SPI_OK)
        LocalFree(block);
    else if (block != nullptr)
        abort(); // a failure never hands over a block
}

static void LookUp(const char *path, const std::string &name) {
    for (uint32_t flags : {0u, (uint32_t)SPI_IGNORE_CASE}) {
        FileInfo record;
        memset(&record, 0x55, sizeof record);
        int32_t result = GetFileInfo(path, 0, name.c_str(), flags, &record);
        if (result == SPI_OK && memchr(record.filename, 0, sizeof record.filename) == nullptr)
            abort();
        if (result != SPI_OK && record.method[0] != 0x55)
            abort(); // a failed lookup never writes the record
        if (result == SPI_OK)
            Extract(path, (int32_t)record.position);
    }
}

static bool WellFormed(const SpiWideChar *field) {
    int32_t n = 0;
    while (n < 200 && field[n] != 0)
        n++;
    if (n == 200)
        return false;
    for (int32_t i = 0; i < n; i++) {
        bool high = field[i] >= 0xD800 && field[i] <= 0xDBFF;
        bool low = field[i] >= 0xDC00 && field[i] <= 0xDFFF;
        bool lowFollows = i + 1 < n && field[i + 1] >= 0xDC00 && field[i + 1] <= 0xDFFF;
        if ((high && !lowFollows) ||
            (low && (i == 0 || !(field[i - 1] >= 0xD800 && field[i - 1] <= 0xDBFF))))
            return false;
    }
    return true;
}

static void ListWide(const char *path, const std::vector<FileInfo> &ansi, size_t ansiCount) {
    static const UINT kSystems[] = {1252, 932, 936};
    std::u16string widePath(path, path + strlen(path));
    PlatformSelectCodePage(kSystems[ansiCount % 3]);
    SpiBlock block = nullptr;
    std::vector<FileInfoW> records;
    if (GetArchiveInfoW(widePath.c_str(), 0, 0, &block) == SPI_OK) {
        const FileInfoW *all = (const FileInfoW *)LocalLock(block);
        size_t n = 0;
        for (; all[n].method[0] != '\0'; n++) {
            if (!WellFormed(all[n].path) || !WellFormed(all[n].filename))
                abort();
            if (n < ansi.size() &&
                (all[n].position != ansi[n].position || all[n].filesize != ansi[n].filesize))
                abort();
            if (records.size() < kMostEntries)
                records.push_back(all[n]);
        }
        if (n != ansiCount || LocalSize(block) != (n + 1) * sizeof(FileInfoW))
            abort();
        LocalUnlock(block);
        LocalFree(block);
    } else if (block != nullptr) {
        abort();
    }
    for (const FileInfoW &r : records) {
        std::u16string name = std::u16string(r.path) + r.filename;
        FileInfoW found;
        if (GetFileInfoW(widePath.c_str(), 0, name.c_str(), SPI_IGNORE_CASE, &found) != SPI_OK ||
            found.position > r.position)
            abort(); // the first entry of that name, at the latest this one
        SpiBlock bytes = nullptr;
        if (GetFileW(widePath.c_str(), (intptr_t)r.position, &bytes, SPI_OUTPUT_MEMORY, nullptr,
                     0) == SPI_OK)
            LocalFree(bytes);
        else if (bytes != nullptr)
            abort();
    }
    PlatformSelectCodePage(1252);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = ArchivePath();
    PlatformLimitBlocks(kLargestBlock);
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    int32_t blocks = PlatformLiveBlocks();

    std::string head((const char *)data, size);
    head.resize(size < 22 ? 22 : size);
    IsSupported("fuzz.dat", (uintptr_t)head.data());

    std::vector<FileInfo> records;
    size_t listed = 0;
    SpiBlock block = nullptr;
    if (GetArchiveInfo(path.c_str(), 0, 0, &block) == SPI_OK) {
        const FileInfo *all = (const FileInfo *)LocalLock(block);
        for (; all[listed].method[0] != '\0'; listed++) {
            if (memchr(all[listed].filename, 0, sizeof all[listed].filename) == nullptr)
                abort();
            if (records.size() < kMostEntries)
                records.push_back(all[listed]);
        }
        LocalUnlock(block);
        LocalFree(block);
        ListWide(path.c_str(), records, listed);
    } else if (block != nullptr) {
        abort();
    }
    for (const FileInfo &r : records) {
        LookUp(path.c_str(), r.filename);
        Extract(path.c_str(), (int32_t)r.position);
    }
    if (!records.empty()) {
        std::string name = records[0].filename;
        LookUp(path.c_str(), name + "x");
        for (char &c : name)
            c = (char)toupper((unsigned char)c);
        LookUp(path.c_str(), name);
        LookUp(path.c_str(), name.substr(0, name.size() / 2));
    }
    for (size_t at = 0; at + 4 <= size && at < 16; at += 4) {
        int32_t position;
        memcpy(&position, data + size - 4 - at, 4);
        Extract(path.c_str(), position);
        Extract(path.c_str(), position & 0x3FF);
    }

    LineBufferClear();
    if (PlatformLiveBlocks() != blocks || PlatformOpenFiles() != 0)
        abort();
    return 0;
}
