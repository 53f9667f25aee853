// The wide-character exports on the native build: names decoded by the
// stand-in's converters (iconv) and split into path and filename, lookups,
// output into a folder, and every failure.
#include "linebuf/linebuf.h"
#include "plugin/plugin.h"

#include "plugin_fixture.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <set>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <thread>

namespace {

typedef std::u16string WideText;

// Shift_JIS: ソ 83 5C, フ 83 74, ト 83 67, 表 95 5C, 示 8E A6, ア 83 41, ヂ 83 61.
const std::string kSofuto = "\x83\x5c\x83\x74\x83\x67";
const std::string kHyouji = "\x95\x5c\x8e\xa6";

WideText FromUtf8(const std::string &text) {
    WideText wide;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = (unsigned char)text[i];
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        uint32_t point = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; k++)
            point = point << 6 | ((unsigned char)text[i + k] & 0x3F);
        i += 1 + extra;
        if (point >= 0x10000) {
            wide += (char16_t)(0xD800 + ((point - 0x10000) >> 10));
            wide += (char16_t)(0xDC00 + ((point - 0x10000) & 0x3FF));
        } else {
            wide += (char16_t)point;
        }
    }
    return wide;
}

std::string Utf8Path(const WideText &wide) {
    std::string text;
    for (char16_t c : wide) // the tests' paths are ASCII or built from UTF-8
        text += (char)c;
    return text;
}

int32_t SPI_API CountSteps(int32_t step, int32_t, intptr_t user) {
    *(std::string *)user += (char)('0' + step);
    return 0;
}

class WideExports : public PluginFixture {
  protected:
    WideExports() : PluginFixture("wide") {}
    WideText Write(const std::vector<TestEntry> &entries, const std::string &name = "game.dat") {
        std::string path = dir + "/" + name;
        EXPECT_TRUE(WriteFile(path, BuildArchive(entries)));
        return FromUtf8(path);
    }
    std::vector<FileInfoW> List(const WideText &path, int32_t *result = nullptr) {
        SpiBlock block = (SpiBlock)1;
        int32_t r = GetArchiveInfoW(path.c_str(), 0, 0, &block);
        if (result != nullptr)
            *result = r;
        std::vector<FileInfoW> records;
        if (r != SPI_OK) {
            EXPECT_EQ(block, nullptr);
            return records;
        }
        const FileInfoW *all = (const FileInfoW *)LocalLock(block);
        for (size_t i = 0; all[i].method[0] != '\0'; i++)
            records.push_back(all[i]);
        // Exactly the records and the closing one.
        EXPECT_EQ(LocalSize(block), (records.size() + 1) * sizeof(FileInfoW));
        LocalUnlock(block);
        LocalFree(block);
        return records;
    }
    std::vector<FileInfo> ListAnsi(const WideText &path) {
        SpiBlock block = nullptr;
        std::vector<FileInfo> records;
        if (GetArchiveInfo(Utf8Path(path).c_str(), 0, 0, &block) != SPI_OK)
            return records;
        const FileInfo *all = (const FileInfo *)LocalLock(block);
        for (size_t i = 0; all[i].method[0] != '\0'; i++)
            records.push_back(all[i]);
        LocalFree(block);
        return records;
    }
    std::string Extract(const WideText &path, intptr_t position, std::string *steps = nullptr) {
        SpiBlock block = (SpiBlock)1;
        std::string ignored;
        int32_t r = GetFileW(path.c_str(), position, &block, SPI_OUTPUT_MEMORY, CountSteps,
                             (intptr_t)(steps != nullptr ? steps : &ignored));
        if (r != SPI_OK) {
            EXPECT_EQ(block, nullptr);
            return "<result " + std::to_string(r) + ">";
        }
        std::string bytes(LocalSize(block), '\0');
        if (!bytes.empty())
            memcpy(&bytes[0], LocalLock(block), bytes.size());
        LocalFree(block);
        return bytes;
    }
    std::set<std::string> Files(const std::string &folder) {
        std::set<std::string> names;
        DIR *d = opendir(folder.c_str());
        for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.insert(e->d_name);
        }
        if (d != nullptr)
            closedir(d);
        return names;
    }
    int32_t blocksBefore = 0;
};

TEST_F(WideExports, InformationRowsAndRecognition) {
    char16_t buffer[64];
    EXPECT_EQ(GetPluginInfoW(0, buffer, 64), 4);
    EXPECT_EQ(WideText(buffer), u"00AM");
    EXPECT_EQ(GetPluginInfoW(3, buffer, 8), 7);
    EXPECT_EQ(WideText(buffer), u"Quorvel");
    buffer[0] = 'x';
    EXPECT_EQ(GetPluginInfoW(4, buffer, 64), 0);
    EXPECT_EQ(GetPluginInfoW(0, buffer, 0), 0);
    EXPECT_EQ(buffer[0], 'x');

    std::string head = BuildArchive({{"a", "A"}});
    uintptr_t address = (uintptr_t)head.data();
    EXPECT_EQ(IsSupportedW(u"x\\GAME.DAT", address), 1);
    EXPECT_EQ(IsSupportedW(u"game.bin", address), 0);
    EXPECT_EQ(IsSupportedW(u"", address), 0);
    EXPECT_EQ(IsSupportedW(nullptr, address), 0);
    EXPECT_EQ(IsSupportedW(u"game.dat", 0x7F), 0);
    EXPECT_EQ(head.substr(0, 21), "FILECMB-DATA-LIST-IN\n");
}

TEST_F(WideExports, SplitsNamesIntoPathAndFilenameWithTheSameNumbers) {
    std::vector<TestEntry> entries = {{"img/001.png", "PNG"},
                                      {"top.txt", "T"},
                                      {"a\\b/c\\d.bin", PatternBytes(300, 1)},
                                      {"dir/", ""}};
    WideText path = Write(entries);
    std::vector<FileInfoW> wide = List(path);
    std::vector<FileInfo> ansi = ListAnsi(path);
    ASSERT_EQ(wide.size(), 4u);
    ASSERT_EQ(ansi.size(), 4u);
    EXPECT_EQ(WideText(wide[0].path), u"img\\");
    EXPECT_EQ(WideText(wide[0].filename), u"001.png");
    EXPECT_EQ(WideText(wide[1].path), u"");
    EXPECT_EQ(WideText(wide[1].filename), u"top.txt");
    EXPECT_EQ(WideText(wide[2].path), u"a\\b\\c\\");
    EXPECT_EQ(WideText(wide[3].path), u"dir\\");
    EXPECT_EQ(WideText(wide[3].filename), u"");
    for (size_t i = 0; i < 4; i++) {
        EXPECT_STREQ(wide[i].method, "Quorvel");
        EXPECT_EQ(wide[i].position, ansi[i].position);
        EXPECT_EQ(wide[i].compsize, ansi[i].compsize);
        EXPECT_EQ(wide[i].filesize, ansi[i].filesize);
        EXPECT_EQ(wide[i].timestamp, ansi[i].timestamp);
        EXPECT_EQ(wide[i].crc, 0u);
        EXPECT_EQ(wide[i].padding, 0u);
        EXPECT_EQ(Extract(path, (intptr_t)wide[i].position), entries[i].data);
    }
}

// The code page is chosen from all the names: UTF-8 when all are UTF-8,
// else a double-byte ANSI code page, else CP932.
TEST_F(WideExports, DecodesNamesFromTheArchivesCodePage) {
    WideText sjis =
        Write({{"readme.txt", "R"}, {kSofuto + "\\" + kHyouji + ".txt", "S"}}, "sjis.dat");
    WideText utf8 = Write({{"ソフト/表示.txt", "U"}}, "utf8.dat");
    WideText gbk = Write({{"\xd6\xd0\xce\xc4.txt", "G"}}, "gbk.dat");
    for (UINT system : {1252u, 932u}) {
        PlatformSelectCodePage(system);
        std::vector<FileInfoW> records = List(sjis);
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(WideText(records[1].path), u"ソフト\\");
        EXPECT_EQ(WideText(records[1].filename), u"表示.txt");
        records = List(utf8);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(WideText(records[0].path) + records[0].filename, u"ソフト\\表示.txt");
    }
    PlatformSelectCodePage(936);
    EXPECT_EQ(WideText(List(gbk)[0].filename), u"中文.txt");
    PlatformSelectCodePage(1252);
    EXPECT_NE(WideText(List(gbk)[0].filename), u"中文.txt"); // read as CP932, as most are
}

TEST_F(WideExports, UndecodableBytesBecomeReplacementCharacters) {
    // A lone lead byte at the end, and a lead byte before a control byte.
    WideText path = Write({{"ok\x83", "A"}, {"x\x81\x01y", "B"}, {"\xff\xfe", "C"}});
    std::vector<FileInfoW> records = List(path);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(WideText(records[0].filename), u"ok\uFFFD");
    EXPECT_EQ(WideText(records[1].filename), u"x\uFFFD\u0001y");
    for (const FileInfoW &r : records)
        EXPECT_EQ(r.filename[199], 0);
}

// 198 units and then a pair: the pair does not fit and is dropped whole.
TEST_F(WideExports, LongNamesAreCutAtACharacterBoundary) {
    std::string units198(198, 'a');
    std::string folder(250, 'f');
    std::vector<TestEntry> entries = {{units198 + "\xf0\xa0\xae\xb7" + "z", "P"},
                                      {folder + "/" + units198 + "x", "Q"},
                                      {std::string(2000, 'n'), "long"}};
    WideText path = Write(entries);
    std::vector<FileInfoW> records = List(path);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(WideText(records[0].filename), FromUtf8(units198));
    EXPECT_EQ(WideText(records[1].path).size(), 199u);
    EXPECT_EQ(WideText(records[1].filename), FromUtf8(units198 + "x"));
    EXPECT_EQ(WideText(records[2].filename).size(), 199u);
    EXPECT_EQ(records[2].filesize, 4u);
}

TEST_F(WideExports, LooksUpWholeDecodedNamesWithEitherSeparator) {
    std::vector<TestEntry> entries = {{kSofuto + "\\\x83\x41.png", "A"},
                                      {kSofuto + "\\\x83\x61.png", "DI"},
                                      {"Caf\x83\x47/\x82\x64.txt", "E"}}; // カフェ/Ｅ
    WideText path = Write(entries);
    FileInfoW record;
    EXPECT_EQ(GetFileInfoW(path.c_str(), 0, u"ソフト/ヂ.png", 0, &record), SPI_OK);
    EXPECT_EQ(WideText(record.filename), u"ヂ.png");
    EXPECT_EQ(record.position, EntryPosition(entries, 1));
    EXPECT_EQ(GetFileInfoW(path.c_str(), 0, u"ソフト\\ア.png", SPI_IGNORE_CASE, &record), SPI_OK);
    EXPECT_EQ(record.position, EntryPosition(entries, 0));
    EXPECT_EQ(GetFileInfoW(path.c_str(), 0, u"cafエ/ｅ.TXT", SPI_IGNORE_CASE, &record), SPI_OK);

    memset(&record, 0x55, sizeof record);
    for (const char16_t *missing : {u"ソフト", u"ア.png", u"ソフト\\ア.PNG", u"\xD800.png"})
        EXPECT_EQ(GetFileInfoW(path.c_str(), 0, missing, 0, &record), SPI_NO_SUCH_ENTRY);
    EXPECT_EQ(GetFileInfoW(path.c_str(), 0, u"cafエ/ｅ.TXT", 0, &record), SPI_NO_SUCH_ENTRY);
    EXPECT_EQ(record.method[0], 0x55) << "a failed lookup wrote the record";

    WideText accents = Write({{"\xc3\x89t\xc3\xa9.txt", "E"}}, "accents.dat"); // Été, as UTF-8
    EXPECT_EQ(GetFileInfoW(accents.c_str(), 0, u"été.TXT", SPI_IGNORE_CASE, &record), SPI_OK);
}

TEST_F(WideExports, OpensPathsOutsideAnyCodePage) {
    std::string folder = dir + "/\xf0\xa0\xae\xb7"; // 𠮷
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_TRUE(WriteFile(folder + "/game.dat", BuildArchive({{"a.txt", "bytes"}})));
    WideText path = FromUtf8(folder + "/game.dat");
    ASSERT_EQ(List(path).size(), 1u);
    EXPECT_EQ(Extract(path, 21), "bytes");
    int32_t result;
    List(FromUtf8(dir) + u"/\xD842game.dat", &result);
    EXPECT_EQ(result, SPI_FILE_ERROR);
}

TEST_F(WideExports, WritesAnEntryIntoAFolder) {
    std::vector<TestEntry> entries = {{"img/001.png", PatternBytes(3 << 20, 9)},
                                      {"empty", ""},
                                      {"x/CON.txt", "device"},
                                      {"COM\xC2\xB2.txt", "superscript"},
                                      {"lpt\xC2\xB9", "superscript"},
                                      {"..", "up"},
                                      {"ab:c", "stream"},
                                      {"dot.", "dot"}};
    WideText path = Write(entries);
    std::string out = dir + "/out";
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    ASSERT_TRUE(WriteFile(out + "/other.txt", "mine"));
    ASSERT_TRUE(WriteFile(out + "/001.png", "old bytes"));
    WideText folder = FromUtf8(out);
    std::string steps;
    EXPECT_EQ(GetFileW(path.c_str(), 21, (void *)folder.c_str(), SPI_OUTPUT_FOLDER, CountSteps,
                       (intptr_t)&steps),
              SPI_OK);
    EXPECT_EQ(steps, "0123");
    EXPECT_EQ(
        GetFileW(path.c_str(), EntryPosition(entries, 1), (void *)folder.c_str(), 0, nullptr, 0),
        SPI_OK);
    EXPECT_EQ(Files(out), (std::set<std::string>{"001.png", "empty", "other.txt"}));
    std::string bytes;
    FILE *f = fopen((out + "/001.png").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    bytes.resize(entries[0].data.size() + 1);
    bytes.resize(fread(&bytes[0], 1, bytes.size(), f));
    fclose(f);
    EXPECT_TRUE(bytes == entries[0].data);
    struct stat archive, written;
    ASSERT_EQ(stat(Utf8Path(path).c_str(), &archive), 0);
    ASSERT_EQ(stat((out + "/001.png").c_str(), &written), 0);
    EXPECT_EQ(written.st_mtim.tv_sec, archive.st_mtim.tv_sec);

    // Names Windows cannot hold as plain files: nothing is written.
    for (size_t i = 2; i < entries.size(); i++)
        EXPECT_EQ(GetFileW(path.c_str(), EntryPosition(entries, i), (void *)folder.c_str(), 0,
                           nullptr, 0),
                  SPI_FILE_ERROR)
            << entries[i].name;
    EXPECT_EQ(Files(out), (std::set<std::string>{"001.png", "empty", "other.txt"}));

    WideText missing = FromUtf8(dir + "/missing");
    EXPECT_EQ(GetFileW(path.c_str(), 21, (void *)missing.c_str(), 0, nullptr, 0), SPI_FILE_ERROR);
    // A full disk: the old file stays, and no temporary file is left.
    PlatformFailNth(FAULT_WRITE, 1);
    ASSERT_TRUE(WriteFile(out + "/001.png", "old bytes"));
    EXPECT_EQ(GetFileW(path.c_str(), 21, (void *)folder.c_str(), 0, nullptr, 0), SPI_FILE_ERROR);
    EXPECT_EQ(Files(out), (std::set<std::string>{"001.png", "empty", "other.txt"}));
    f = fopen((out + "/001.png").c_str(), "rb");
    char old[16] = {0};
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fread(old, 1, sizeof old, f), 9u);
    fclose(f);
}

TEST_F(WideExports, RefusesUnsupportedModesBeforeTouchingAnything) {
    WideText path = Write({{"a", "A"}});
    WideText folder = FromUtf8(dir);
    SpiBlock block = (SpiBlock)1;
    std::string steps;
    EXPECT_EQ(GetFileW(path.c_str(), 21, &block, 0x101, CountSteps, (intptr_t)&steps),
              SPI_UNSUPPORTED_MODE);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(
        GetFileW(path.c_str(), 21, (void *)folder.c_str(), 0x200, CountSteps, (intptr_t)&steps),
        SPI_UNSUPPORTED_MODE);
    EXPECT_EQ(
        GetFileW(path.c_str(), 21, (void *)folder.c_str(), 0x001, CountSteps, (intptr_t)&steps),
        SPI_UNSUPPORTED_MODE);
    EXPECT_EQ(steps, "");
    EXPECT_EQ(GetArchiveInfoW(path.c_str(), 0, 1, &block), SPI_UNSUPPORTED_MODE);
    FileInfoW record;
    EXPECT_EQ(GetFileInfoW(path.c_str(), 0, u"a", 1, &record), SPI_UNSUPPORTED_MODE);
    EXPECT_EQ(Files(dir), (std::set<std::string>{"game.dat"}));
    EXPECT_EQ(Extract(u"/nowhere.dat", 21, &steps), "<result 6>");
    EXPECT_EQ(Extract(path, 25), "<result 6>");
}

// Every allocation, open, read and write of each wide entry point fails in
// turn: a failure result, no block, nothing left open or behind.
TEST_F(WideExports, EveryFailureReleasesWhatItObtained) {
    std::vector<TestEntry> entries;
    for (int i = 0; i < 150; i++)
        entries.push_back({"d/" + kSofuto + std::to_string(i), std::string(i % 4, 'w')});
    WideText path = Write(entries);
    std::string out = dir + "/out";
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    WideText folder = FromUtf8(out);
    WideText last = u"d\\ソフト149";
    uint32_t position = EntryPosition(entries, 149);
    PlatformSelectCodePage(932);
    for (int kind = 0; kind < FAULT_KINDS; kind++) {
        for (int entryPoint = 0; entryPoint < 4; entryPoint++) {
            for (int32_t n = 1;; n++) {
                PlatformFailNth(kind, n);
                SpiBlock block = (SpiBlock)1;
                FileInfoW record;
                record.method[0] = 'z';
                int32_t result;
                if (entryPoint == 0)
                    result = GetArchiveInfoW(path.c_str(), 0, 0, &block);
                else if (entryPoint == 1)
                    result = GetFileInfoW(path.c_str(), 0, last.c_str(), 0, &record);
                else if (entryPoint == 2)
                    result = GetFileW(path.c_str(), position, &block, 0x100, nullptr, 0);
                else
                    result =
                        GetFileW(path.c_str(), position, (void *)folder.c_str(), 0, nullptr, 0);
                bool failed = PlatformCalls(kind) >= n;
                PlatformFailNth(kind, 0);
                LineBufferClear();
                SCOPED_TRACE("fault " + std::to_string(kind) + " entry point " +
                             std::to_string(entryPoint) + " call " + std::to_string(n));
                EXPECT_EQ(PlatformOpenFiles(), 0);
                if (result == SPI_OK) {
                    // A short read of the directory may still list it, and
                    // a temporary name that cannot be created is tried
                    // again under another: the answer is then whole.
                    EXPECT_TRUE(!failed || kind == FAULT_READ ||
                                (kind == FAULT_OPEN && entryPoint == 3));
                    if (entryPoint == 0 || entryPoint == 2)
                        LocalFree(block);
                    if (entryPoint == 1) {
                        EXPECT_EQ(record.position, position);
                    } else if (entryPoint == 3) {
                        EXPECT_EQ(Files(out), std::set<std::string>{"ソフト149"});
                    }
                } else {
                    EXPECT_TRUE(failed);
                    EXPECT_TRUE(entryPoint % 2 == 1 || block == nullptr);
                    EXPECT_EQ(record.method[0], 'z');
                    EXPECT_TRUE(Files(out).empty() ||
                                Files(out) == std::set<std::string>{"ソフト149"});
                }
                EXPECT_EQ(PlatformLiveBlocks(), blocksBefore);
                if (!failed)
                    break;
            }
        }
    }
}

// WideText and ANSI listings and lookups on several threads at once each get
// their own archive's answer.
TEST_F(WideExports, WideAndAnsiListingsFromSeveralThreads) {
    std::vector<std::vector<TestEntry>> archives(4);
    std::vector<WideText> paths;
    for (int t = 0; t < 4; t++) {
        for (int i = 0; i <= 40 * t + 3; i++)
            archives[t].push_back({"t" + std::to_string(t) + "/e" + std::to_string(i),
                                   std::string((size_t)i % 7, 'x')});
        paths.push_back(Write(archives[t], "t" + std::to_string(t) + ".dat"));
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 30; round++) {
                size_t n = (t % 2 == 0 ? List(paths[t]).size() : ListAnsi(paths[t]).size());
                if (n != archives[t].size())
                    wrong++;
                size_t pick = (size_t)round % n;
                FileInfoW record;
                WideText name = FromUtf8(archives[t][pick].name);
                if (GetFileInfoW(paths[t].c_str(), 0, name.c_str(), 0, &record) != SPI_OK ||
                    record.position != EntryPosition(archives[t], pick))
                    wrong++;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
}

} // namespace
