// What hosts hand back to the plug-in: the positions GetFile and GetFileW
// take, and the names GetFileInfo finds, held to seeded random archives and
// to their own listings.
#include "linebuf/linebuf.h"
#include "plugin/plugin.h"

#include "plugin_fixture.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <set>
#include <stdlib.h>
#include <string.h>

namespace {

class Lookup : public PluginFixture {
  protected:
    Lookup() : PluginFixture("lookup") {}
    int32_t blocksBefore = 0;
};

uint32_t Next(uint32_t *state) {
    *state ^= *state << 13;
    *state ^= *state >> 17;
    *state ^= *state << 5;
    return *state;
}

// Names of any bytes but zero, TAB, CR and LF, some past the 199 bytes a
// record holds; some entries share a name, or are named as an earlier long
// name is listed (its first 199 bytes), so that precedence shows.
std::vector<TestEntry> RandomEntries(uint32_t seed) {
    uint32_t state = seed * 2654435761u + 1;
    std::vector<TestEntry> entries;
    size_t count = 1 + Next(&state) % 9;
    for (size_t i = 0; i < count; i++) {
        std::string name;
        uint32_t kind = Next(&state) % 8;
        if (i > 0 && kind == 0) {
            name = entries[Next(&state) % i].name;
        } else if (i > 0 && kind == 1) {
            name = entries[Next(&state) % i].name.substr(0, 199);
        } else {
            // The first entry line must end within 256 bytes.
            size_t length = 1 + Next(&state) % (i == 0 ? 40 : kind < 4 ? 250 : 12);
            for (size_t k = 0; k < length; k++) {
                char c = (char)(Next(&state) % 256);
                name += c == '\0' || c == '\t' || c == '\r' || c == '\n' ? 'n' : c;
            }
        }
        entries.push_back({name, PatternBytes(Next(&state) % 40, seed + (uint32_t)i)});
    }
    return entries;
}

std::vector<FileInfo> List(const std::string &path) {
    SpiBlock block = nullptr;
    std::vector<FileInfo> records;
    if (GetArchiveInfo(path.c_str(), 0, 0, &block) != SPI_OK)
        return records;
    const FileInfo *all = (const FileInfo *)LocalLock(block);
    for (size_t i = 0; all[i].method[0] != '\0'; i++)
        records.push_back(all[i]);
    LocalUnlock(block);
    LocalFree(block);
    return records;
}

// The bytes a memory extraction hands over, or "<result N>".
std::string Extract(const std::string &path, intptr_t position, bool wide) {
    SpiBlock block = nullptr;
    std::u16string widePath(path.begin(), path.end());
    int32_t result = wide ? GetFileW(widePath.c_str(), position, &block, 0x100, nullptr, 0)
                          : GetFile(path.c_str(), position, &block, 0x100, nullptr, 0);
    if (result != SPI_OK)
        return "<result " + std::to_string(result) + ">";
    std::string bytes((size_t)LocalSize(block), '\0');
    if (!bytes.empty())
        memcpy(&bytes[0], LocalLock(block), bytes.size());
    LocalFree(block);
    return bytes;
}

// Every offset of the file, and a little around it: an extraction succeeds
// exactly at the positions the listing gives, with that entry's bytes, and
// fails with 6 everywhere else (inside a name, inside the number fields, on
// the magic or the closing line, in the data).
TEST_F(Lookup, ExtractionTakesExactlyTheListedPositions) {
    for (uint32_t seed = 1; seed <= 12; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::vector<TestEntry> entries = RandomEntries(seed);
        std::string bytes = BuildArchive(entries);
        std::string path = Write(bytes);
        std::vector<FileInfo> records = List(path);
        ASSERT_EQ(records.size(), entries.size());
        std::set<intptr_t> positions;
        for (size_t i = 0; i < entries.size(); i++) {
            ASSERT_EQ(records[i].position, EntryPosition(entries, i));
            positions.insert((intptr_t)records[i].position);
        }
        for (intptr_t p = -2; p <= (intptr_t)bytes.size() + 2; p++) {
            std::string want = "<result 6>";
            for (size_t i = 0; i < entries.size(); i++)
                if ((intptr_t)EntryPosition(entries, i) == p)
                    want = entries[i].data;
            ASSERT_EQ(Extract(path, p, false), want) << "GetFile at " << p;
            ASSERT_EQ(Extract(path, p, true), want) << "GetFileW at " << p;
        }
    }
}

// Every name a listing shows finds an entry: the first whose whole stored
// name it is, else the first that the listing shows under it (a long name,
// cut). The record found is that entry's listed record.
TEST_F(Lookup, EveryListedNameIsFound) {
    for (uint32_t seed = 1; seed <= 40; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        PlatformSelectCodePage(seed % 2 ? 932 : 1252);
        std::vector<TestEntry> entries = RandomEntries(seed);
        std::string path = Write(BuildArchive(entries));
        std::vector<FileInfo> records = List(path);
        ASSERT_EQ(records.size(), entries.size());
        for (const FileInfo &asked : records) {
            size_t want = entries.size();
            for (size_t j = 0; j < entries.size() && want == entries.size(); j++)
                if (entries[j].name == asked.filename)
                    want = j;
            for (size_t j = 0; j < entries.size() && want == entries.size(); j++)
                if (strcmp(records[j].filename, asked.filename) == 0)
                    want = j;
            FileInfo found;
            ASSERT_EQ(GetFileInfo(path.c_str(), 0, asked.filename, 0, &found), SPI_OK);
            EXPECT_EQ(memcmp(&found, &records[want], sizeof found), 0) << asked.filename;
        }
    }
}

// A cut name is compared as whole names are, with or without case; the
// cut is the listing's, not any shorter prefix.
TEST_F(Lookup, AListedNameWithoutRegardToCase) {
    std::string longName = "Long" + std::string(230, 'x');
    std::string path = Write(
        BuildArchive({{"first", "333"}, {longName, "1"}, {"Long" + std::string(195, 'y'), "22"}}));
    FileInfo found;
    ASSERT_EQ(GetFileInfo(path.c_str(), 0, ("LONG" + std::string(195, 'X')).c_str(),
                          SPI_IGNORE_CASE, &found),
              SPI_OK);
    EXPECT_EQ(found.filesize, 1u);
    EXPECT_EQ(GetFileInfo(path.c_str(), 0, ("LONG" + std::string(195, 'X')).c_str(), 0, &found),
              SPI_NO_SUCH_ENTRY);
    EXPECT_EQ(GetFileInfo(path.c_str(), 0, longName.substr(0, 198).c_str(), 0, &found),
              SPI_NO_SUCH_ENTRY);
}

// A closing line of one byte without its LF is the closing line like any
// other: the entry line before it is listed, found and extracted.
TEST_F(Lookup, AOneByteClosingLineHidesNoEntry) {
    for (const std::string closing : {"X", "XY", "\n", "END\n"}) {
        SCOPED_TRACE("closing line " + closing);
        std::string directory = "FILECMB-DATA-LIST-IN\n";
        uint32_t start = (uint32_t)(21 + 2 * 23 + 2 + closing.size());
        directory += EntryLine("a", start, start + 2) + EntryLine("b", start + 2, start + 5);
        std::string path = Write(directory + closing + "AABBB");
        std::vector<FileInfo> records = List(path);
        ASSERT_EQ(records.size(), 2u);
        EXPECT_STREQ(records[1].filename, "b");
        EXPECT_EQ(Extract(path, (intptr_t)records[1].position, false), "BBB");
        FileInfo found;
        EXPECT_EQ(GetFileInfo(path.c_str(), 0, "b", 0, &found), SPI_OK);
        SpiBlock block = nullptr;
        std::u16string widePath(path.begin(), path.end());
        ASSERT_EQ(GetArchiveInfoW(widePath.c_str(), 0, 0, &block), SPI_OK);
        EXPECT_EQ(LocalSize(block), 3 * sizeof(FileInfoW));
        LocalFree(block);
    }
}

// A name's characters as a host in the current ANSI code page reads them.
std::vector<std::string> Characters(const std::string &name) {
    std::vector<std::string> characters;
    for (size_t i = 0; i < name.size();) {
        size_t size = IsDBCSLeadByte((BYTE)name[i]) && i + 1 < name.size() ? 2 : 1;
        characters.push_back(name.substr(i, size));
        i += size;
    }
    return characters;
}

// A name's components, each with the separator that ends it ("" for the last).
std::vector<std::pair<std::string, std::string>> Components(const std::string &name) {
    std::vector<std::pair<std::string, std::string>> parts(1);
    for (const std::string &c : Characters(name)) {
        if (c == "\\" || c == "/") {
            parts.back().second = c;
            parts.emplace_back();
        } else {
            parts.back().first += c;
        }
    }
    if (parts.back().first.empty() && parts.size() > 1)
        parts.pop_back(); // a name that ends in a separator
    return parts;
}

bool AllDots(const std::string &part) {
    return part.find_first_not_of(". ") == std::string::npos &&
           std::count(part.begin(), part.end(), '.') >= 2;
}

// The bytes of a drive at the start of a part (any one character and ':',
// as Windows reads it), or 0.
size_t DriveBytes(const std::string &part) {
    std::vector<std::string> characters = Characters(part);
    return characters.size() >= 2 && characters[1] == ":" ? characters[0].size() + 1 : 0;
}

// What a record should name: the name cut to 199 bytes of whole
// characters, then the model of the rule, component by component.
std::string RecordName(const std::string &whole) {
    std::string stored;
    for (const std::string &c : Characters(whole))
        if (stored.size() + c.size() <= 199)
            stored += c;
        else
            break;
    std::string name;
    bool changed = false;
    auto parts = Components(stored);
    for (auto part : parts) {
        while (name.empty() && DriveBytes(part.first) > 0) {
            part.first.erase(0, DriveBytes(part.first));
            changed = true;
        }
        if ((name.empty() && part.first.empty()) || AllDots(part.first)) {
            changed = true;
            continue;
        }
        name += part.first + part.second;
    }
    bool endedInSeparator = !parts.back().second.empty();
    if (changed && !endedInSeparator && !name.empty() &&
        (name.back() == '\\' || name.back() == '/'))
        name.pop_back();
    return name;
}

// Whether a host that joins the name to its folder could land outside it.
bool Climbs(const std::string &name) {
    auto parts = Components(name);
    if (parts[0].first.empty() && !parts[0].second.empty())
        return true;
    if (DriveBytes(parts[0].first) > 0)
        return true;
    for (const auto &part : parts)
        if (AllDots(part.first))
            return true;
    return false;
}

// Names of climbing and ordinary parts, double-byte characters with a '\'
// trail byte among them: records name every entry without climbing parts
// and change no other name; GetFile takes each record's position, and
// GetFileInfo and GetFileInfoW find the entry both as stored and as listed.
TEST_F(Lookup, RecordsNameNoEntryOutsideTheHostsFolder) {
    const char *parts[] = {"..",  "...",      ".. ", ".",          "",     "a",         "C:",
                           "c:x", "\x83\x5c", "x y", "\x83\x5c..", "C:C:", "\x83\x41:", "1:x"};
    uint32_t state = 99;
    int climbing = 0, plain = 0;
    for (int round = 0; round < 300; round++) {
        PlatformSelectCodePage(round % 2 ? 932 : 1252);
        std::vector<TestEntry> entries;
        for (size_t i = 0, count = 1 + Next(&state) % 6; i < count; i++) {
            std::string name;
            for (uint32_t k = 0, n = 1 + Next(&state) % 4; k < n; k++)
                name += std::string(k > 0 ? (Next(&state) % 2 ? "\\" : "/") : "") +
                        parts[Next(&state) % 14];
            entries.push_back({name, PatternBytes(Next(&state) % 9, (uint32_t)round)});
        }
        // Long names whose cut at 199 bytes or units leaves only dots and
        // spaces; and a climbing name before the plain name it lists as.
        if (round == 0)
            entries = {{".." + std::string(197, ' ') + "x", "1"},
                       {std::string(250, '.') + "x", "2"},
                       {std::string(100, '.') + "\\" + std::string(100, '.') + "x\\f", "3"},
                       {"..\\x", "EVIL"},
                       {"x", "GOOD"}};
        auto normal = [](std::string name) {
            std::replace(name.begin(), name.end(), '/', '\\');
            return name;
        };
        bool allAscii = true;
        for (const TestEntry &entry : entries)
            for (char c : entry.name)
                allAscii = allAscii && (unsigned char)c < 0x80;
        std::string path = Write(BuildArchive(entries));
        std::vector<FileInfo> records = List(path);
        ASSERT_EQ(records.size(), entries.size());
        std::u16string widePath(path.begin(), path.end());
        for (size_t i = 0; i < entries.size(); i++) {
            const std::string &stored = entries[i].name;
            SCOPED_TRACE(testing::PrintToString(stored) + " in code page " +
                         (round % 2 ? "932" : "1252"));
            ASSERT_EQ(records[i].filename, RecordName(stored));
            ASSERT_FALSE(Climbs(records[i].filename));
            (Climbs(stored) ? climbing : plain)++;
            ASSERT_EQ(Extract(path, (intptr_t)records[i].position, false), entries[i].data);
            for (const std::string &asked : {stored, std::string(records[i].filename)}) {
                size_t want = 0;
                while (entries[want].name != asked && RecordName(entries[want].name) != asked)
                    want++;
                for (size_t j = 0; j < entries.size(); j++)
                    if (entries[j].name == asked) {
                        want = j;
                        break;
                    }
                FileInfo found;
                ASSERT_EQ(GetFileInfo(path.c_str(), 0, asked.c_str(), 0, &found), SPI_OK);
                ASSERT_EQ(memcmp(&found, &records[want], sizeof found), 0);
            }
            // The wide record: decoded, split, and with no climbing part
            // either; ASCII names are asked for as stored too.
            FileInfoW wide;
            std::u16string joined;
            SpiBlock block = nullptr;
            ASSERT_EQ(GetArchiveInfoW(widePath.c_str(), 0, 0, &block), SPI_OK);
            wide = ((const FileInfoW *)LocalLock(block))[i];
            LocalFree(block);
            joined = std::u16string(wide.path) + std::u16string(wide.filename);
            ASSERT_EQ(wide.position, records[i].position);
            std::string narrow;
            for (char16_t c : joined)
                narrow += c < 0x80 ? (char)c : 'w';
            ASSERT_FALSE(Climbs(narrow)) << testing::PrintToString(narrow);
            // In an archive of ASCII names, short ones read alike in both
            // records, and the wide lookup finds what the ANSI one finds:
            // the first whose stored name it is, else the first listed so.
            if (allAscii && stored.size() <= 199) {
                ASSERT_EQ(narrow, normal(RecordName(stored)));
                for (const std::string &asked : {stored, narrow}) {
                    size_t want = 0;
                    while (normal(entries[want].name) != normal(asked) &&
                           normal(RecordName(entries[want].name)) != normal(asked))
                        want++;
                    for (size_t j = 0; j < entries.size(); j++)
                        if (normal(entries[j].name) == normal(asked)) {
                            want = j;
                            break;
                        }
                    std::u16string name(asked.begin(), asked.end());
                    FileInfoW found;
                    ASSERT_EQ(GetFileInfoW(widePath.c_str(), 0, name.c_str(), 0, &found), SPI_OK);
                    ASSERT_EQ(found.position, records[want].position) << asked;
                }
            }
        }
    }
    EXPECT_GT(climbing, 200);
    EXPECT_GT(plain, 100);
}

} // namespace
