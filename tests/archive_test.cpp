#include "archive/archive.h"
#include "plugin/plugin.h"
#include "linebuf/linebuf.h"

#include "plugin_fixture.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {

class Archive : public PluginFixture {
  protected:
    Archive() : PluginFixture("archive") {}
    // The directory text LoadDirectory reads from an archive of these bytes.
    std::string Directory(const std::string &bytes) {
        HANDLE file = OpenArchive(Write(bytes).c_str());
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        char *directory = LoadDirectory(file);
        CloseHandle(file);
        EXPECT_EQ(LineBufferLineCount(), -1) << "LoadDirectory leaves the line buffer empty";
        std::string text = directory != nullptr ? directory : "<null>";
        GlobalFree(directory);
        return text;
    }
    int32_t blocksBefore = 0;
};

const std::vector<TestEntry> kThree = {{"a.bmp", "AAAA"}, {"b.png", "BBBBBB"}, {"c.txt", "CC"}};

TEST(ParseDecimal, ReadsDigitsModulo2To32) {
    EXPECT_EQ(ParseDecimal("0000000120 0000000700"), 120u);
    EXPECT_EQ(ParseDecimal(" 120"), 0u);
    EXPECT_EQ(ParseDecimal("4294967295"), 4294967295u);
    EXPECT_EQ(ParseDecimal("4294967296"), 0u);
    EXPECT_EQ(ParseDecimal("12\xA0"
                           "3"),
              12u);
    EXPECT_EQ(ParseDecimal(nullptr), 0u);
    EXPECT_EQ(ParseDecimal(""), 0u);
}

TEST(FindChar, StopsAtTheLimitAndAtZero) {
    const char text[] = "abcde";
    EXPECT_EQ(FindChar(text, 'd', 3), nullptr);
    EXPECT_EQ(FindChar(text, 'd', 4), text + 3);
    EXPECT_EQ(FindChar("ab\0d", 'd', 4), nullptr);
    EXPECT_EQ(FindChar(text, 'a', 0), nullptr);
}

TEST(ParseEntryLine, FillsEveryField) {
    FileInfo record;
    memset(&record, 0xAB, sizeof record);
    std::string line = EntryLine("pic.bmp", 200, 700);
    line.pop_back();
    ASSERT_EQ(ParseEntryLine(&record, line.c_str()), 1);
    EXPECT_STREQ(record.method, "Quorvel");
    EXPECT_STREQ(record.filename, "pic.bmp");
    EXPECT_EQ(record.position, 200u);
    EXPECT_EQ(record.compsize, 500u);
    EXPECT_EQ(record.filesize, 500u);
    EXPECT_EQ(record.timestamp, 0);
    EXPECT_EQ(record.crc, 0u);
    EXPECT_EQ(std::string(record.path, sizeof record.path), std::string(200, '\0'));
    EXPECT_EQ(std::string(record.filename + 7, 193), std::string(193, '\0'));

    // An end below the start wraps.
    line = EntryLine("x", 700, 200);
    line.pop_back();
    ParseEntryLine(&record, line.c_str());
    EXPECT_EQ(record.filesize, 4294966796u);
}

TEST(ParseEntryLine, LongNamesAreCutAndBadLinesAreNoEntries) {
    FileInfo record;
    for (size_t length : {198, 199, 200, 259}) {
        std::string name(length, 'n');
        std::string line = EntryLine(name, 1, 2);
        line.pop_back();
        ASSERT_EQ(ParseEntryLine(&record, line.c_str()), 1);
        EXPECT_EQ(strlen(record.filename), std::min<size_t>(length, 199));
        EXPECT_EQ(record.filesize, 1u);
    }
    EXPECT_EQ(ParseEntryLine(&record, "no tab at all"), 0);
    EXPECT_EQ(record.method[0], '\0');
    // Fields cut short never read past the line's end.
    std::string shortLine = "x\t00000001";
    std::vector<char> exact(shortLine.begin(), shortLine.end());
    exact.push_back('\0');
    EXPECT_EQ(ParseEntryLine(&record, exact.data()), 1);
    EXPECT_EQ(record.position, 1u);
}

TEST_F(Archive, LoadDirectoryReadsExactlyTheDirectory) {
    std::string bytes = BuildArchive(kThree);
    size_t size = bytes.size() - 12;
    EXPECT_EQ(Directory(bytes), bytes.substr(0, size));

    // A large directory is read past the 256-byte probe.
    std::vector<TestEntry> many;
    for (int i = 0; i < 3000; i++)
        many.push_back({"file" + std::to_string(i), "x"});
    bytes = BuildArchive(many);
    EXPECT_EQ(Directory(bytes), bytes.substr(0, bytes.size() - 3000));
}

TEST_F(Archive, LoadDirectoryOfOddFiles) {
    EXPECT_EQ(Directory("FILECMB-DATA-LIST-IN\n"), "");
    EXPECT_EQ(Directory(""), "");
    EXPECT_EQ(Directory("FILECMB-DATA-LIST-IN\nshort\n"), "");
    // A file shorter than the directory gives the text up to its end.
    std::string bytes = "FILECMB-DATA-LIST-IN\n" + EntryLine("a", 100, 200);
    EXPECT_EQ(Directory(bytes), bytes);
    // A size that cannot be held gives no directory, never a wrapped block.
    EXPECT_EQ(Directory("FILECMB-DATA-LIST-IN\n" + EntryLine("a", 4294967295u, 0)), "<null>");
    PlatformLimitBlocks(0x7FFFFFFF); // as in a 32-bit process
    EXPECT_EQ(Directory("FILECMB-DATA-LIST-IN\n" + EntryLine("a", 4000000000u, 0)), "<null>");
    PlatformLimitBlocks(0);
}

// DirectorySize reads an archive's head as LoadDirectory does through the
// line buffer: every kind of line end, short, long and unterminated lines.
TEST_F(Archive, DirectorySizeAgreesWithLoadDirectory) {
    static const char *const kEnds[] = {"\n", "\r", "\r\n", "\n\r", ""};
    static const char kText[] = "a1 2\t";
    uint32_t state = 7;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    for (int round = 0; round < 400; round++) {
        std::string bytes;
        while (bytes.size() < 300) {
            size_t length = next() % 40;
            for (size_t i = 0; i < length; i++)
                bytes += kText[next() % (sizeof kText - 1)];
            bytes += kEnds[next() % 5];
        }
        bytes.resize(next() % 300);
        uint32_t size = DirectorySize(bytes.substr(0, kHeadProbeSize).c_str());
        std::string directory = Directory(bytes);
        ASSERT_EQ(directory.size(), std::min<size_t>(size, bytes.size())) << round << ": " << bytes;
    }
}

TEST_F(Archive, LoadDirectoryReleasesEverythingWhenMemoryRunsOut) {
    std::string path = Write(BuildArchive(kThree));
    for (int32_t n = 1;; n++) {
        HANDLE file = OpenArchive(path.c_str());
        PlatformFailNth(FAULT_ALLOC, n);
        char *directory = LoadDirectory(file);
        bool failed = PlatformCalls(FAULT_ALLOC) >= n;
        PlatformFailNth(FAULT_ALLOC, 0);
        CloseHandle(file);
        EXPECT_EQ(LineBufferLineCount(), -1);
        if (!failed) {
            EXPECT_NE(directory, nullptr);
            GlobalFree(directory);
            break;
        }
        EXPECT_EQ(directory, nullptr) << "allocation " << n;
        GlobalFree(directory);
    }
}

class Timestamp : public Archive {
  protected:
    void TearDown() override {
        if (savedZone.empty())
            unsetenv("TZ");
        else
            setenv("TZ", savedZone.c_str(), 1);
        tzset();
        Archive::TearDown();
    }
    // The stamp of an archive last written at `utc`, on a machine in `zone`.
    int32_t StampIn(const char *zone, time_t utc) {
        const char *current = getenv("TZ");
        if (savedZone.empty() && current != nullptr)
            savedZone = current;
        setenv("TZ", zone, 1);
        tzset();
        std::string path = Write("FILECMB-DATA-LIST-IN\n");
        struct timeval times[2] = {{utc, 0}, {utc, 0}};
        EXPECT_EQ(utimes(path.c_str(), times), 0);
        HANDLE file = OpenArchive(path.c_str());
        int32_t stamp = ArchiveTimestamp(file);
        CloseHandle(file);
        return stamp;
    }
    static time_t Utc(int year, int month, int day, int hour) {
        struct tm fields = {};
        fields.tm_year = year - 1900;
        fields.tm_mon = month - 1;
        fields.tm_mday = day;
        fields.tm_hour = hour;
        return timegm(&fields);
    }
    std::string savedZone;
};

TEST_F(Timestamp, IsTheLastWriteTimeNineHoursAheadReadAsLocalStandardTime) {
    time_t written = Utc(2025, 3, 14, 3);
    EXPECT_EQ(StampIn("UTC0", written), written + 9 * 3600);
    EXPECT_EQ(StampIn("JST-9", written), written);
    EXPECT_EQ(StampIn("EST5", written), written + 14 * 3600);
    // Daylight saving is off even in summer.
    time_t summer = Utc(2025, 7, 1, 3);
    EXPECT_EQ(StampIn("EST5EDT,M3.2.0,M11.1.0", summer), summer + 14 * 3600);
    EXPECT_EQ(StampIn("CET-1CEST,M3.5.0,M10.5.0/3", summer), summer + 8 * 3600);
}

TEST_F(Timestamp, HoursPastMidnightCarryIntoTheNextYear) {
    time_t stamp = StampIn("UTC0", Utc(2025, 12, 31, 20));
    struct tm local;
    time_t t = stamp;
    localtime_r(&t, &local);
    EXPECT_EQ(local.tm_year, 2026 - 1900);
    EXPECT_EQ(local.tm_mon, 0);
    EXPECT_EQ(local.tm_mday, 1);
    EXPECT_EQ(local.tm_hour, 5);
}

} // namespace
