#include "plugin/plugin.h"
#include "archive/archive.h"
#include "linebuf/linebuf.h"

#include "plugin_fixture.h"

#include <atomic>
#include <fcntl.h>
#include <random>
#include <gtest/gtest.h>
#include <thread>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

const std::vector<TestEntry> kThree = {
    {"a.bmp", "AAAA"}, {"b.png", PatternBytes(1000, 2)}, {"c.txt", "CC"}};

struct ProgressCall {
    int32_t step, total;
    intptr_t user;
};
std::vector<ProgressCall> progressCalls;

int32_t SPI_API RecordProgress(int32_t step, int32_t total, intptr_t user) {
    progressCalls.push_back({step, total, user});
    return 1; // asks to stop, which must be ignored
}

std::string Steps() {
    std::string steps;
    for (const ProgressCall &c : progressCalls)
        steps += std::to_string(c.step);
    return steps;
}

class Plugin : public PluginFixture {
  protected:
    Plugin() : PluginFixture("plugin") {}
    void SetUp() override {
        PluginFixture::SetUp();
        progressCalls.clear();
    }
    std::vector<FileInfo> List(const std::string &path, int32_t *result = nullptr) {
        SpiBlock block = (SpiBlock)1;
        int32_t r = GetArchiveInfo(path.c_str(), 0, 0, &block);
        if (result != nullptr)
            *result = r;
        std::vector<FileInfo> records;
        if (r != SPI_OK)
            return records;
        const FileInfo *all = (const FileInfo *)LocalLock(block);
        for (size_t i = 0; all[i].method[0] != '\0'; i++)
            records.push_back(all[i]);
        LocalUnlock(block);
        LocalFree(block);
        return records;
    }
    // The bytes GetFile hands over, or "<result N>" when it fails.
    std::string Extract(const std::string &path, int32_t position, uint32_t flags = 0x100) {
        SpiBlock block = (SpiBlock)1;
        int32_t r = GetFile(path.c_str(), position, &block, flags, RecordProgress, 77);
        if (r != SPI_OK) {
            EXPECT_TRUE(block == nullptr || block == (SpiBlock)1) << "a block with a failure";
            return "<result " + std::to_string(r) + ">";
        }
        std::string bytes((size_t)LocalSize(block), '\0');
        if (!bytes.empty())
            memcpy(&bytes[0], LocalLock(block), bytes.size());
        LocalUnlock(block);
        LocalFree(block);
        return bytes;
    }
    // Fails every allocation, open and read of each entry point in turn.
    void FailEachCallInTurn(const std::string &path, const std::string &lastName,
                            uint32_t lastPosition);
    int32_t blocksBefore = 0;
};

TEST_F(Plugin, ModuleEntryAlwaysSucceeds) {
    for (DWORD reason : {0u, 1u, 2u, 3u})
        EXPECT_EQ(DllMain(nullptr, reason, nullptr), TRUE);
}

TEST_F(Plugin, InformationRows) {
    char buffer[128];
    EXPECT_EQ(GetPluginInfo(0, buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "00AM");
    int32_t length = GetPluginInfo(1, buffer, sizeof buffer);
    EXPECT_EQ(length, (int32_t)strlen(buffer));
    EXPECT_EQ(strncmp(buffer, "Quorvel extract plug-in ver.0.03 ", 33), 0) << buffer;
    EXPECT_EQ(GetPluginInfo(2, buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "*.dat");
    EXPECT_EQ(GetPluginInfo(3, buffer, sizeof buffer), 15);
    EXPECT_STREQ(buffer, "Quorvel archive");
    EXPECT_EQ(GetPluginInfo(3, buffer, 8), 7);
    EXPECT_STREQ(buffer, "Quorvel");

    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(GetPluginInfo(4, buffer, sizeof buffer), 0);
    EXPECT_EQ(GetPluginInfo(-1, buffer, sizeof buffer), 0);
    EXPECT_EQ(GetPluginInfo(0, buffer, 0), 0);
    EXPECT_EQ(GetPluginInfo(0, buffer, -5), 0);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(GetPluginInfo(0, nullptr, 64), 0);
    EXPECT_EQ(GetPluginInfo(0, buffer, 1), 0);
    EXPECT_EQ(buffer[0], '\0');
}

TEST_F(Plugin, RecognisesByMagicAndName) {
    std::string head = BuildArchive(kThree);
    uintptr_t address = (uintptr_t)head.data();
    EXPECT_EQ(IsSupported("game.dat", address), 1);
    EXPECT_EQ(IsSupported("DATA.DAT", address), 1);
    EXPECT_EQ(IsSupported("data.bin", address), 0);
    EXPECT_EQ(IsSupported("dat", address), 0);
    EXPECT_EQ(IsSupported(".dat", address), 1);
    EXPECT_EQ(IsSupported(nullptr, address), 0);
    std::string cr = head;
    cr[20] = '\r';
    EXPECT_EQ(IsSupported("x.dat", (uintptr_t)cr.data()), 0);
    std::string twenty = head;
    twenty[0] = 'G';
    EXPECT_EQ(IsSupported("x.dat", (uintptr_t)twenty.data()), 0);
}

TEST_F(Plugin, RecognisesThroughAHandle) {
    std::string path = Write(BuildArchive(kThree));
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_LT((uintptr_t)file, 0x10000u);
    EXPECT_EQ(IsSupported("game.dat", (uintptr_t)file), 1);
    // The handle is left where the read left it: 22 bytes in.
    EXPECT_EQ(lseek((int)(intptr_t)file, 0, SEEK_CUR), 22);
    CloseHandle(file);

    // Fewer than 21 bytes, or 20 matching ones, are not an archive.
    for (std::string bytes :
         {std::string("FILECMB-DATA-LIST-IN"), std::string("FILECMB-DATA-LIST-IN\r")}) {
        path = Write(bytes);
        file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(IsSupported("game.dat", (uintptr_t)file), 0);
        CloseHandle(file);
    }
}

TEST_F(Plugin, ListsEntriesInDirectoryOrder) {
    std::string path = Write(BuildArchive(kThree));
    std::vector<FileInfo> records = List(path);
    ASSERT_EQ(records.size(), 3u);
    const uint32_t positions[] = {21, 49, 77};
    const uint32_t sizes[] = {4, 1000, 2};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_STREQ(records[i].method, "Quorvel");
        EXPECT_STREQ(records[i].filename, kThree[i].name.c_str());
        EXPECT_EQ(records[i].position, positions[i]);
        EXPECT_EQ(records[i].filesize, sizes[i]);
        EXPECT_EQ(records[i].compsize, sizes[i]);
        EXPECT_EQ(records[i].timestamp, records[0].timestamp);
    }
    // The line buffer keeps the directory after a listing.
    EXPECT_EQ(LineBufferLineCount(), 5);

    // Without a closing line the last entry is taken for it.
    records = List(Write(BuildArchive(kThree, false)));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_STREQ(records[1].filename, "b.png");
}

TEST_F(Plugin, ListsOddArchives) {
    int32_t result;
    EXPECT_EQ(List(Write("FILECMB-DATA-LIST-IN\n"), &result).size(), 0u);
    EXPECT_EQ(result, SPI_OK);
    EXPECT_EQ(List(Write(BuildArchive({{"only", "x"}}, false)), &result).size(), 0u);
    EXPECT_EQ(result, SPI_OK);
    // The listing reads whatever line 0 holds as the magic line, and counts
    // positions from 21 all the same (the directory, as long as the first
    // start field says, now ends inside the last entry line).
    std::string longer = "FILECMB-DATA-LIST-IN-LONGER\n" + BuildArchive(kThree).substr(21);
    std::vector<FileInfo> odd = List(Write(longer));
    ASSERT_EQ(odd.size(), 2u);
    EXPECT_STREQ(odd[1].filename, "b.png");
    EXPECT_EQ(odd[1].position, 49u);

    // Large enough for the directory and the record block to be blocks of
    // their own mapping natively, and for the line index to grow many times.
    std::vector<TestEntry> many;
    for (int i = 0; i < 200000; i++)
        many.push_back({"dir/file" + std::to_string(i) + ".bin", std::string(i % 7, 'z')});
    std::vector<FileInfo> records = List(Write(BuildArchive(many)));
    ASSERT_EQ(records.size(), many.size());
    uint32_t position = 21;
    for (size_t i = 0; i < many.size(); i++) {
        ASSERT_EQ(records[i].position, position);
        ASSERT_EQ(records[i].filesize, i % 7);
        position += (uint32_t)many[i].name.size() + 23;
    }
    EXPECT_STREQ(records[199999].filename, "dir/file199999.bin");

    // Names of 199 bytes fit; longer ones are cut and still closed.
    std::vector<TestEntry> longNames = {{std::string(199, 'a'), "1"}, {std::string(230, 'b'), "2"}};
    records = List(Write(BuildArchive(longNames)));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(std::string(records[0].filename), longNames[0].name);
    EXPECT_EQ(std::string(records[1].filename), std::string(199, 'b'));
    EXPECT_EQ(records[1].position, EntryPosition(longNames, 1));
}

TEST_F(Plugin, LinesWithoutATabAreSkipped) {
    std::string bytes = BuildArchive(kThree);
    size_t tab = bytes.find('\t', 30); // b.png's
    bytes[tab] = ' ';
    std::vector<FileInfo> records = List(Write(bytes));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_STREQ(records[1].filename, "c.txt");
    EXPECT_EQ(records[1].position, 77u);
}

TEST_F(Plugin, ListingRefusals) {
    SpiBlock block = (SpiBlock)1;
    std::string path = Write(BuildArchive(kThree));
    EXPECT_EQ(GetArchiveInfo(path.c_str(), 0, 1, &block), SPI_UNSUPPORTED_MODE);
    EXPECT_EQ(GetArchiveInfo((dir + "/missing.dat").c_str(), 0, 0, &block), SPI_FILE_ERROR);
    EXPECT_EQ(GetArchiveInfo(dir.c_str(), 0, 0, &block), SPI_FILE_ERROR);
    EXPECT_EQ(block, nullptr);
    // A directory size that cannot be held.
    path = Write("FILECMB-DATA-LIST-IN\n" + EntryLine("a", 4294967295u, 0));
    EXPECT_EQ(GetArchiveInfo(path.c_str(), 0, 0, &block), SPI_NO_MEMORY);
    FileInfo record;
    EXPECT_EQ(GetFileInfo(path.c_str(), 0, "a", 0, &record), SPI_NO_MEMORY);
}

TEST_F(Plugin, LooksUpOneEntryByWholeName) {
    std::string path = Write(BuildArchive(kThree));
    std::vector<FileInfo> records = List(path);
    FileInfo record;
    ASSERT_EQ(GetFileInfo(path.c_str(), 0, "b.png", 0, &record), SPI_OK);
    EXPECT_EQ(memcmp(&record, &records[1], sizeof record), 0);
    EXPECT_EQ(LineBufferLineCount(), -1) << "a lookup leaves the line buffer empty";

    memset(&record, 0x5A, sizeof record);
    EXPECT_EQ(GetFileInfo(path.c_str(), 0, "B.PNG", 0, &record), SPI_NO_SUCH_ENTRY);
    EXPECT_EQ(record.method[0], 0x5A);
    EXPECT_EQ(GetFileInfo(path.c_str(), 0, "B.PNG", SPI_IGNORE_CASE, &record), SPI_OK);
    EXPECT_EQ(record.position, 49u);
    EXPECT_EQ(GetFileInfo(path.c_str(), 0, "b", 0, &record), SPI_NO_SUCH_ENTRY);
    EXPECT_EQ(GetFileInfo(path.c_str(), 0, "b.png.bak", 0, &record), SPI_NO_SUCH_ENTRY);
    EXPECT_EQ(GetFileInfo(path.c_str(), 0, nullptr, 0, &record), SPI_NO_SUCH_ENTRY);
    EXPECT_EQ(GetFileInfo(path.c_str(), 0, "b.png", 1, &record), SPI_UNSUPPORTED_MODE);
    EXPECT_EQ(GetFileInfo((dir + "/none.dat").c_str(), 0, "b.png", 0, &record), SPI_FILE_ERROR);

    // The first match wins; the closing line is never an entry.
    path = Write(BuildArchive({{"x", "1"}, {"X", "22"}, {"x", "333"}}));
    ASSERT_EQ(GetFileInfo(path.c_str(), 0, "x", SPI_IGNORE_CASE, &record), SPI_OK);
    EXPECT_EQ(record.filesize, 1u);
    ASSERT_EQ(GetFileInfo(path.c_str(), 0, "x", 0, &record), SPI_OK);
    EXPECT_EQ(record.filesize, 1u);
    EXPECT_EQ(GetFileInfo(path.c_str(), 0, "END", 0, &record), SPI_NO_SUCH_ENTRY);
    EXPECT_EQ(GetFileInfo(Write("FILECMB-DATA-LIST-IN\n").c_str(), 0, "x", 0, &record),
              SPI_NO_SUCH_ENTRY);
}

// In a double-byte code page a trail byte can look like a letter or a
// backslash: ア is 83 41 ("A"), ヂ is 83 61 ("a"), ソ is 83 5C ("\").
TEST_F(Plugin, IgnoringCaseFoldsOnlySingleByteLetters) {
    const std::string a = "\x83\x41.png", di = "\x83\x61.png";
    std::string path = Write(BuildArchive({{a, "A"}, {di, "DI"}, {"\x83\x5c\\Read.ME", "R"}}));
    FileInfo record;
    for (UINT codePage : {932u, 936u, 949u, 950u}) {
        PlatformSelectCodePage(codePage);
        ASSERT_EQ(GetFileInfo(path.c_str(), 0, di.c_str(), SPI_IGNORE_CASE, &record), SPI_OK);
        EXPECT_EQ(record.filesize, 2u) << codePage;
        ASSERT_EQ(GetFileInfo(path.c_str(), 0, "\x83\x41.PNG", SPI_IGNORE_CASE, &record), SPI_OK);
        EXPECT_EQ(record.filesize, 1u) << codePage;
        EXPECT_EQ(GetFileInfo(path.c_str(), 0, "\x83\x7c\\read.me", SPI_IGNORE_CASE, &record),
                  SPI_NO_SUCH_ENTRY);
        EXPECT_EQ(GetFileInfo(path.c_str(), 0, "\x83\x5c\\READ.me", SPI_IGNORE_CASE, &record),
                  SPI_OK);
        // A lone lead byte at the end matches only itself.
        EXPECT_EQ(GetFileInfo(path.c_str(), 0, "\x83", SPI_IGNORE_CASE, &record),
                  SPI_NO_SUCH_ENTRY);
    }
    // In a single-byte code page those bytes are letters like any other.
    PlatformSelectCodePage(1252);
    ASSERT_EQ(GetFileInfo(path.c_str(), 0, di.c_str(), SPI_IGNORE_CASE, &record), SPI_OK);
    EXPECT_EQ(record.filesize, 1u);
}

TEST_F(Plugin, LongNamesAreCutAtACharacterBoundary) {
    std::string kanji;
    for (int i = 0; i < 100; i++)
        kanji += "\x95\x5c"; // 表
    std::vector<TestEntry> entries = {{kanji, "1"}, {"x" + kanji, "2"}};
    std::string path = Write(BuildArchive(entries));
    PlatformSelectCodePage(932);
    std::vector<FileInfo> records = List(path);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(std::string(records[0].filename), kanji.substr(0, 198));
    EXPECT_EQ(std::string(records[1].filename), ("x" + kanji).substr(0, 199));
    PlatformSelectCodePage(1252);
    records = List(path);
    EXPECT_EQ(std::string(records[0].filename), kanji.substr(0, 199));
}

TEST_F(Plugin, ExtractsEntriesWithProgress) {
    std::string path = Write(BuildArchive(kThree));
    EXPECT_EQ(Extract(path, 49), kThree[1].data);
    ASSERT_EQ(progressCalls.size(), 4u);
    for (int32_t i = 0; i < 4; i++) {
        EXPECT_EQ(progressCalls[i].step, i);
        EXPECT_EQ(progressCalls[i].total, 3);
        EXPECT_EQ(progressCalls[i].user, 77);
    }
    EXPECT_EQ(Extract(path, 21), "AAAA");
    EXPECT_EQ(Extract(path, 77), "CC");
    // A position inside a name finds no line.
    EXPECT_EQ(Extract(path, 51), "<result 6>");

    // Without a progress function.
    SpiBlock block = nullptr;
    ASSERT_EQ(GetFile(path.c_str(), 21, &block, 0x100 | 0x80 | 0x10000, nullptr, 0), SPI_OK);
    LocalFree(block);

    // An entry of size zero and one of several megabytes.
    std::vector<TestEntry> entries = {{"empty", ""}, {"big", PatternBytes(5 << 20, 9)}};
    path = Write(BuildArchive(entries));
    EXPECT_EQ(Extract(path, 21), "");
    EXPECT_EQ(Extract(path, EntryPosition(entries, 1)) == entries[1].data, true);
}

TEST_F(Plugin, ExtractionRefusals) {
    std::string path = Write(BuildArchive(kThree));
    EXPECT_EQ(Extract(path, 49, 0), "<result -1>");
    EXPECT_EQ(Extract(path, 49, 0x101), "<result -1>");
    EXPECT_EQ(Extract(path, 49, 0x200), "<result -1>");
    EXPECT_EQ(Steps(), "");
    EXPECT_EQ(Extract(dir + "/missing.dat", 49), "<result 6>");
    EXPECT_EQ(Steps(), "0");
}

TEST_F(Plugin, ExtractionRefusesPositionsWithoutAWholeEntryLine) {
    std::string bytes = BuildArchive(kThree);
    std::string path = Write(bytes);
    // The magic line, the number fields, the closing line, past the end,
    // negative positions.
    for (int32_t position :
         {0, 5, 55, 70, 66, 105, (int32_t)bytes.size(), 1 << 20, -1, -49, INT32_MIN}) {
        progressCalls.clear();
        EXPECT_EQ(Extract(path, position), "<result 6>") << position;
        EXPECT_EQ(Steps(), "01") << position;
    }
    // A probe with no LF in its 282 bytes.
    path = Write("FILECMB-DATA-LIST-IN\n" + std::string(400, 'n') + "\t0000000000 0000000001\n");
    EXPECT_EQ(Extract(path, 21), "<result 6>");
}

// A line ends at LF, CR or a CR LF pair, in the listing and in GetFile
// alike: a line that ends in CR gives its own fields, never the next line's.
TEST_F(Plugin, ALineThatEndsInCrGivesItsOwnFields) {
    std::string directory =
        "FILECMB-DATA-LIST-IN\n" + EntryLine("a", 73, 75) + EntryLine("b", 75, 77);
    directory[21 + 23] = '\r';
    std::string path = Write(directory + "END\n" + "AABB");
    std::vector<FileInfo> records = List(path);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_STREQ(records[0].filename, "a");
    EXPECT_EQ(Extract(path, records[0].position), "AA");
    EXPECT_EQ(Extract(path, records[1].position), "BB");
}

// Every position the listing gives is one GetFile takes, and it hands over
// the listed size: over random directories whose lines end in LF, CR LF, a
// lone CR or nothing (two lines run together), each entry's bytes where
// its fields say.
TEST_F(Plugin, EveryListedPositionIsTakenWithItsListedSize) {
    for (unsigned seed = 1; seed <= 300; seed++) {
        std::mt19937 random(seed);
        std::string bytes = LineEndsArchive(random);
        std::string path = Write(bytes);
        for (const FileInfo &record : List(path)) {
            std::string got = Extract(path, (int32_t)record.position);
            if (got.rfind("<result", 0) == 0)
                ADD_FAILURE() << "seed " << seed << ": " << record.filename << " at "
                              << record.position << " listed, GetFile gives " << got;
            else
                EXPECT_EQ(got.size(), (size_t)record.filesize) << "seed " << seed;
        }
    }
}

TEST_F(Plugin, ExtractionOfATruncatedArchiveHandsOverNothing) {
    std::string bytes = BuildArchive(kThree);
    std::string path = Write(bytes.substr(0, bytes.size() - 1));
    EXPECT_EQ(Extract(path, 21), "AAAA");
    progressCalls.clear();
    EXPECT_EQ(Extract(path, 77), "<result 6>");
    EXPECT_EQ(Steps(), "0123");
    // An end below the start makes a range of nearly 4 GiB, which lies
    // outside the file: refused before any memory is asked for.
    path = Write("FILECMB-DATA-LIST-IN\n" + EntryLine("a", 100, 50) + "END\n");
    EXPECT_EQ(Extract(path, 21), "<result 6>");
    // So is an empty entry that starts past the end of the file.
    path = Write("FILECMB-DATA-LIST-IN\n" + EntryLine("a", 70, 70) + EntryLine("b", 500, 500) +
                 "END\n");
    EXPECT_EQ(Extract(path, 21), "");
    EXPECT_EQ(Extract(path, 21 + 24), "<result 6>");
}

TEST_F(Plugin, ExtractionFromAnArchiveThatChangedSinceItWasListed) {
    std::string path = Write(BuildArchive(kThree));
    std::vector<FileInfo> records = List(path);
    ASSERT_EQ(records.size(), 3u);
    // Replaced: each old position reads the new line that starts there, or fails.
    Write(BuildArchive({{"zz", "1"}, {"longer-name.bin", "xyz"}}));
    EXPECT_EQ(Extract(path, records[0].position), "1");
    EXPECT_EQ(Extract(path, records[1].position), "<result 6>");
    EXPECT_EQ(Extract(path, records[2].position), "<result 6>");
    // Truncated inside the directory, then inside the data.
    std::string bytes = BuildArchive(kThree);
    Write(bytes.substr(0, 60));
    for (const FileInfo &r : records)
        EXPECT_EQ(Extract(path, r.position), "<result 6>");
    Write(bytes.substr(0, bytes.size() - 3));
    EXPECT_EQ(Extract(path, records[0].position), "AAAA");
    EXPECT_EQ(Extract(path, records[2].position), "<result 6>");
}

// Hosts that list on worker threads: listings and lookups of different
// archives at once each get their own archive's answer.
TEST_F(Plugin, ListingsFromSeveralThreadsAtOnce) {
    constexpr int kThreads = 4;
    std::vector<std::string> paths;
    std::vector<std::vector<TestEntry>> contents(kThreads);
    for (int t = 0; t < kThreads; t++) {
        for (int i = 0; i <= 40 * t + 5; i++)
            contents[t].push_back(
                {"t" + std::to_string(t) + "/e" + std::to_string(i), std::string(i % 9, 'a' + t)});
        paths.push_back(Write(BuildArchive(contents[t]), "t" + std::to_string(t) + ".dat"));
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            const std::vector<TestEntry> &mine = contents[t];
            for (int round = 0; round < 30; round++) {
                SpiBlock block = nullptr;
                if (GetArchiveInfo(paths[t].c_str(), 0, 0, &block) != SPI_OK) {
                    wrong++;
                    continue;
                }
                const FileInfo *records = (const FileInfo *)LocalLock(block);
                size_t n = 0;
                for (; records[n].method[0] != '\0'; n++) {
                    if (mine[n].name != records[n].filename ||
                        records[n].filesize != mine[n].data.size())
                        wrong++;
                }
                if (n != mine.size())
                    wrong++;
                LocalUnlock(block);
                LocalFree(block);
                size_t pick = (size_t)(round * 7) % mine.size();
                FileInfo record;
                if (GetFileInfo(paths[t].c_str(), 0, mine[pick].name.c_str(), 0, &record) !=
                        SPI_OK ||
                    record.position != EntryPosition(mine, pick))
                    wrong++;
                if (GetFile(paths[t].c_str(), (int32_t)record.position, &block, 0x100, nullptr,
                            0) != SPI_OK ||
                    LocalSize(block) != mine[pick].data.size())
                    wrong++;
                LocalFree(block);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
}

// Every allocation, open and read of every entry point fails in turn:
// each failure gives a failure result, no block, and nothing left open.
TEST_F(Plugin, EveryFailureReleasesWhatItObtained) {
    std::vector<TestEntry> many; // enough lines to grow the index twice
    for (int i = 0; i < 250; i++)
        many.push_back({"e" + std::to_string(i), std::string(i % 3, 'm')});
    // The first entry line must end within 256 bytes, so the long name comes second.
    std::vector<TestEntry> longNames = {{"b", ""}, {std::string(230, 'l'), "x"}, {"c.txt", "CC"}};
    for (const std::vector<TestEntry> &archive : {kThree, many, longNames})
        FailEachCallInTurn(Write(BuildArchive(archive)), archive.back().name,
                           EntryPosition(archive, archive.size() - 1));
}

void Plugin::FailEachCallInTurn(const std::string &path, const std::string &lastName,
                                uint32_t lastPosition) {
    int32_t blocks = PlatformLiveBlocks();
    for (int kind = 0; kind < FAULT_KINDS; kind++) {
        for (int entryPoint = 0; entryPoint < 3; entryPoint++) {
            for (int32_t n = 1;; n++) {
                PlatformFailNth(kind, n);
                SpiBlock block = (SpiBlock)1;
                FileInfo record;
                record.method[0] = 'z';
                int32_t result;
                if (entryPoint == 0)
                    result = GetArchiveInfo(path.c_str(), 0, 0, &block);
                else if (entryPoint == 1)
                    result = GetFileInfo(path.c_str(), 0, lastName.c_str(), 0, &record);
                else
                    result =
                        GetFile(path.c_str(), (int32_t)lastPosition, &block, 0x100, nullptr, 0);
                bool failed = PlatformCalls(kind) >= n;
                PlatformFailNth(kind, 0);
                LineBufferClear();
                SCOPED_TRACE("fault " + std::to_string(kind) + " entry point " +
                             std::to_string(entryPoint) + " call " + std::to_string(n));
                EXPECT_EQ(PlatformOpenFiles(), 0);
                if (!failed) {
                    EXPECT_EQ(result, SPI_OK);
                    if (entryPoint != 1)
                        LocalFree(block);
                    EXPECT_EQ(PlatformLiveBlocks(), blocks);
                    break;
                }
                if (kind == FAULT_READ && result == SPI_OK) {
                    // A short read of the directory may still list it: the
                    // answer must then be right, never partial.
                    if (entryPoint == 1) {
                        EXPECT_EQ(record.position, lastPosition);
                    } else {
                        LocalFree(block);
                    }
                } else {
                    EXPECT_NE(result, SPI_OK);
                    EXPECT_TRUE(block == nullptr || block == (SpiBlock)1);
                    EXPECT_EQ(record.method[0], 'z');
                }
                EXPECT_EQ(PlatformLiveBlocks(), blocks);
            }
        }
    }
}

} // namespace
