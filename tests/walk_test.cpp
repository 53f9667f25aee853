// The walk over a directory's entry lines and its two consumers: the walk
// finds the lines the line buffer finds, the native quorvel's listing holds
// what GetArchiveInfo's records hold and finds what GetFileInfo finds, and
// the clash check finds what a plain model of it finds.
#include "archive/archive.h"
#include "plugin/plugin.h"
#include "linebuf/linebuf.h"
#include "core/account.h"

#include "plugin_fixture.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

struct Line {
    uint32_t offset, position;
    int32_t length, nameLength;
    bool operator==(const Line &o) const {
        return offset == o.offset && position == o.position && length == o.length &&
               nameLength == o.nameLength;
    }
};

// The entry lines as the line buffer's index gives them: every line but the
// first and the closing line (EntryLineCount), without its line end, if it
// holds a TAB.
std::vector<Line> ThroughLineBuffer(const char *text) {
    std::vector<Line> lines;
    if (LineBufferSetText(text) != 0)
        return lines;
    uint32_t offset = (uint32_t)LineBufferGetLine(nullptr, 0, 0), position = 21;
    for (int32_t k = 1; k <= EntryLineCount(); k++) {
        int32_t length = LineBufferGetLine(nullptr, k, 0);
        std::string copy((size_t)length + 1, '\0');
        LineBufferGetLine(&copy[0], k, length);
        // A pair of line ends leaves its first one in the copy.
        int32_t kept = (int32_t)strlen(copy.c_str());
        if (kept > 0 && (copy[kept - 1] == '\r' || copy[kept - 1] == '\n'))
            kept--;
        const char *tab = (const char *)memchr(copy.data(), '\t', (size_t)kept);
        if (tab != nullptr)
            lines.push_back({offset, position, kept, (int32_t)(tab - copy.data())});
        offset += (uint32_t)length;
        position += (uint32_t)length;
    }
    LineBufferClear();
    return lines;
}

std::vector<Line> ThroughWalk(const char *text) {
    std::vector<Line> lines;
    EntryWalk walk;
    StartWalk(&walk, text);
    while (NextEntry(&walk))
        lines.push_back(
            {(uint32_t)(walk.line - text), walk.position, walk.length, walk.nameLength});
    return lines;
}

TEST(Walk, FindsTheLinesTheLineBufferFinds) {
    // Texts of few kinds of bytes, so that every arrangement of line ends,
    // pairs, TABs, a zero byte and a missing last line end comes up.
    const char alphabet[] = {'a', '\t', '\n', '\r', '7', '\0'};
    uint32_t x = 2026;
    for (int round = 0; round < 30000; round++) {
        x = x * 1103515245u + 12345u;
        std::string text((x >> 16) % 40, 'a');
        for (char &c : text) {
            x = x * 1103515245u + 12345u;
            c = alphabet[(x >> 16) % (round % 3 == 0 ? 6 : 5)];
        }
        std::vector<Line> expected = ThroughLineBuffer(text.c_str());
        ASSERT_EQ(ThroughWalk(text.c_str()), expected) << "text: " << testing::PrintToString(text);
    }
}

// A stored name as a record gives it.
std::string Recorded(std::string name) {
    name.resize((size_t)DropClimbingName(&name[0], (int32_t)name.size()));
    return name;
}

class Consumers : public PluginFixture {
  protected:
    Consumers() : PluginFixture("walk") {}
    // GetArchiveInfo's records and the native listing of the same archive
    // agree on every entry.
    void ExpectSameListing(const std::string &bytes) {
        std::string path = dir + "/a.dat";
        ASSERT_TRUE(WriteFile(path, bytes));
        SpiBlock block = nullptr;
        int32_t result = GetArchiveInfo(path.c_str(), 0, 0, &block);
        Listing listing;
        ASSERT_EQ(ListThroughWalk(path, &listing), result);
        if (result != SPI_OK)
            return;
        const FileInfo *records = (const FileInfo *)LocalLock(block);
        size_t count = 0;
        while (records[count].method[0] != '\0')
            count++;
        ASSERT_EQ(listing.count, count);
        for (size_t i = 0; i < count; i++) {
            // The walk keeps the stored name; the record leaves out its
            // climbing parts.
            EntryRecord walked = listing[i];
            ASSERT_STREQ(Recorded(walked.filename).c_str(), records[i].filename) << "entry " << i;
            ASSERT_EQ(walked.position, records[i].position) << "entry " << i;
            ASSERT_EQ(walked.filesize, records[i].filesize) << "entry " << i;
            ASSERT_EQ(walked.timestamp, records[i].timestamp) << "entry " << i;
        }
        // The native lookup finds what GetFileInfo finds: by the whole
        // stored name, by the stored name as listed, and not by another name.
        for (size_t i = 0; i < count; i++) {
            size_t offset = records[i].position + listing.nameShift;
            std::string whole = bytes.substr(offset, bytes.find('\t', offset) - offset);
            for (const std::string &name : {whole, std::string(listing[i].filename), whole + "x"}) {
                FileInfo expected, found;
                int32_t result = GetFileInfo(path.c_str(), 0, name.c_str(), 0, &expected);
                ASSERT_EQ(LookUpListed(listing, name, &found), result) << "entry " << i;
                if (result != SPI_OK)
                    continue;
                ASSERT_EQ(found.position, expected.position) << "entry " << i;
                ASSERT_EQ(found.filesize, expected.filesize) << "entry " << i;
                ASSERT_EQ(found.timestamp, expected.timestamp) << "entry " << i;
                ASSERT_STREQ(Recorded(found.filename).c_str(), expected.filename) << "entry " << i;
            }
        }
        LocalUnlock(block);
        LocalFree(block);
    }
    std::string dir;
};

TEST_F(Consumers, AgreeOnBuiltArchives) {
    const std::vector<TestEntry> three = {{"a.bmp", "AAAA"}, {"b/c.png", "BB"}, {"d.txt", ""}};
    ExpectSameListing(BuildArchive(three));
    ExpectSameListing(BuildArchive(three, false));
    ExpectSameListing("FILECMB-DATA-LIST-IN\n");
    ExpectSameListing("FILECMB-DATA-LIST-IN-LONGER\n" + BuildArchive(three).substr(21));
    ExpectSameListing("FILECMB-DATA-LIST-IN\n" + EntryLine("a", 4294967295u, 0));
    std::string crlf = BuildArchive(three);
    for (size_t at = crlf.find('\n'); at != std::string::npos; at = crlf.find('\n', at + 2))
        crlf.insert(at, "\r");
    ExpectSameListing(crlf);
    // Names cut at 199 bytes, at a character boundary in a double-byte code page.
    PlatformSelectCodePage(932);
    std::string wide;
    for (int i = 0; i < 110; i++)
        wide += "\x83\x5c";
    ExpectSameListing(BuildArchive({{wide, "x"}, {std::string(230, 'b'), "y"}, {"\x95\x5c", ""}}));
}

TEST_F(Consumers, AgreeOnRandomArchives) {
    uint32_t x = 31;
    auto next = [&x](uint32_t n) {
        x = x * 1103515245u + 12345u;
        return (x >> 8) % n;
    };
    for (int round = 0; round < 40; round++) {
        PlatformSelectCodePage(round % 2 == 0 ? 932 : 1252);
        std::vector<TestEntry> entries(next(300));
        for (TestEntry &e : entries) {
            e.name.resize(1 + next(round % 5 == 0 ? 260 : 30));
            for (char &c : e.name)
                c = (char)(0x20 + next(0xDF)); // no TAB, CR, LF or zero byte
            e.data = std::string(next(40), 'd');
        }
        // Long names that differ only past the cut, and one name twice.
        for (size_t i = 1; i < entries.size(); i += 1 + next(20)) {
            entries[i].name = entries[i - 1].name;
            if (entries[i].name.size() > 200 && next(2) == 0)
                entries[i].name.back() ^= 1;
        }
        std::string bytes = BuildArchive(entries, next(4) != 0);
        // Damage: a line without its TAB, a CR before an LF, a cut.
        for (uint32_t k = next(4); k > 0; k--) {
            size_t at = next((uint32_t)bytes.size());
            if (bytes[at] == '\t')
                bytes[at] = ' ';
            else if (bytes[at] == '\n')
                bytes.insert(at, "\r");
        }
        if (next(5) == 0)
            bytes.resize(next((uint32_t)bytes.size()));
        ExpectSameListing(bytes);
    }
}

// The clash check against a plain model: paths split at '/' and '\', empty
// and "." parts left out; a later entry of a path clashes with its first; a
// path's first entry clashes with the first entry below it as a folder. A
// folder entry (empty, its name ending in a separator) is its folder: its
// path keeps a closing '/', and its folder may be given again.
std::vector<std::pair<size_t, size_t>> ModelClashes(const std::vector<std::string> &names,
                                                    const std::vector<bool> &empty) {
    Encoding encoding;
    EXPECT_TRUE(ParseEncoding("cp932", &encoding));
    std::vector<std::string> paths;
    for (size_t n = 0; n < names.size(); n++) {
        // A name's rules are its characters', not its bytes': ソ is 83 5C.
        std::string name;
        EXPECT_TRUE(DecodeName(encoding, names[n].data(), names[n].size(), &name));
        std::string path, part;
        for (size_t i = 0; i <= name.size(); i++) {
            if (i < name.size() && name[i] != '/' && name[i] != '\\') {
                part += name[i];
                continue;
            }
            if (!part.empty() && part != ".")
                path += (path.empty() ? "" : "/") + part;
            part.clear();
        }
        if (empty[n] && !path.empty() && (name.back() == '/' || name.back() == '\\'))
            path += '/';
        paths.push_back(path);
    }
    std::vector<std::pair<size_t, size_t>> clashes;
    for (size_t i = 0; i < paths.size(); i++) {
        size_t first = std::find(paths.begin(), paths.end(), paths[i]) - paths.begin();
        if (first != i) {
            if (paths[i].empty() || paths[i].back() != '/')
                clashes.emplace_back(first, i);
            continue;
        }
        for (size_t j = 0; j < paths.size(); j++) {
            if (paths[j].compare(0, paths[i].size() + 1, paths[i] + "/") == 0) {
                clashes.emplace_back(i, j);
                break;
            }
        }
    }
    std::sort(clashes.begin(), clashes.end(), [](const auto &a, const auto &b) {
        return std::make_pair(std::max(a.first, a.second), std::min(a.first, a.second)) <
               std::make_pair(std::max(b.first, b.second), std::min(b.first, b.second));
    });
    return clashes;
}

TEST(Clashes, FoundAsAPlainModelFindsThem) {
    Encoding encoding;
    ASSERT_TRUE(ParseEncoding("cp932", &encoding));
    const char *parts[] = {"a", "b", ".", "", "ab", "\x83\x5c"};
    uint32_t x = 7;
    for (int round = 0; round < 3000; round++) {
        // Now and then enough names for the tables to grow.
        std::vector<std::string> names(round % 500 == 0 ? 1500 : 1 + round % 12);
        for (std::string &name : names) {
            x = x * 1103515245u + 12345u;
            for (uint32_t k = 1 + (x >> 8) % 3; k > 0; k--) {
                x = x * 1103515245u + 12345u;
                name += std::string(parts[(x >> 8) % 6]) + ((x >> 16) % 2 ? "/" : "\\");
            }
            const char *last[] = {"a", "b", "\x83\x5c", ""}; // "" ends in a separator
            name += last[(x >> 20) % 4];
        }
        std::vector<bool> empty(names.size());
        for (size_t i = 0; i < empty.size(); i++) {
            x = x * 1103515245u + 12345u;
            empty[i] = (x >> 12) % 3 == 0;
        }
        std::vector<NameClash> found = FindNameClashes(
            names.size(), [&](size_t i) { return names[i].c_str(); },
            [&](size_t i) { return (bool)empty[i]; }, encoding);
        std::vector<std::pair<size_t, size_t>> pairs;
        for (const NameClash &c : found)
            pairs.emplace_back(c.entry, c.other);
        ASSERT_EQ(pairs, ModelClashes(names, empty)) << testing::PrintToString(names);
    }
}

} // namespace
