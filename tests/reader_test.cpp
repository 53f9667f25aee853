// Reading a command's entries from the archive opened once gives what
// GetFile gives at each listed position: the same bytes, the same refusals
// (read, or located for cat to send),
// over random archives with damaged directories.
#include "core/host.h"
#include "core/reader.h"
#include "tests/archive_builder.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <stdio.h>
#include <unistd.h>

namespace {

// An archive whose lines and ranges are often wrong: ends of every kind,
// starts and ends moved, lines cut short, bytes missing at the end.
std::string RandomArchive(std::mt19937 &random) {
    const char *ends[] = {"\n", "\r\n", "\r"};
    std::string body;
    std::vector<std::string> lines;
    size_t count = 1 + random() % 8;
    uint32_t offset = 0;
    std::vector<uint32_t> sizes;
    for (size_t i = 0; i < count; i++)
        sizes.push_back(random() % 4 == 0 ? 0 : random() % 3000);
    std::string directory;
    for (int pass = 0; pass < 2; pass++) { // the second knows the directory's size
        offset = pass == 0 ? 0 : (uint32_t)directory.size();
        std::mt19937 same(random()); // the same damage in both passes
        directory = "FILECMB-DATA-LIST-IN\n";
        for (size_t i = 0; i < count; i++) {
            uint32_t start = offset, end = offset + sizes[i];
            switch (same() % 10) {
            case 0:
                start += same() % 50;
                break;
            case 1:
                end -= std::min<uint32_t>(end, same() % 50);
                break;
            case 2:
                end += 5000;
                break;
            case 3:
                start = same() % 30;
                break;
            }
            std::string line = EntryLine("n" + std::to_string(i), start, end);
            line.pop_back();
            if (same() % 12 == 0)
                line = line.substr(0, same() % line.size());
            directory += line + ends[same() % 6 == 0 ? 1 + same() % 2 : 0];
            offset += sizes[i];
        }
        directory += "\n";
    }
    std::string bytes = directory;
    for (size_t i = 0; i < count; i++)
        bytes += PatternBytes(sizes[i], (uint32_t)i);
    if (random() % 5 == 0)
        bytes.resize(bytes.size() - std::min<size_t>(bytes.size() - 30, random() % 4000));
    return bytes;
}

std::string Result(int32_t result, const EntryBytes &entry) {
    return result == SPI_OK ? std::string(entry.bytes != nullptr ? entry.bytes : "", entry.size)
                            : "<result " + std::to_string(result) + ">";
}

TEST(EntryReader, ReadsWhatGetFileGivesAtEveryListedPosition) {
    Failure failure;
    ASSERT_TRUE(LoadPlugin(nullptr, &failure));
    std::string path = testing::TempDir() + "reader.dat";
    size_t read = 0, refused = 0;
    for (unsigned seed = 1; seed <= 400; seed++) {
        std::mt19937 random(seed);
        ASSERT_TRUE(WriteFile(path, RandomArchive(random)));
        Archive archive;
        Listing listing;
        if (OpenArchive(path, &archive, &failure) != kIsArchive ||
            !ListArchive(archive, &listing, &failure))
            continue;
        // In the listing's order and then in any order: the window on the
        // directory moves back as well as forward.
        std::vector<size_t> order(listing.count);
        for (size_t i = 0; i < order.size(); i++)
            order[i] = i;
        std::vector<size_t> shuffled = order;
        std::shuffle(shuffled.begin(), shuffled.end(), random);
        order.insert(order.end(), shuffled.begin(), shuffled.end());
        EntryReader reader;
        OpenEntryReader(archive, &reader);
        for (size_t i : order) {
            EntryBytes one, batch;
            std::string want = Result(ReadEntry(archive, listing[i], &one), one);
            std::string got = Result(ReadListedEntry(&reader, listing[i], &batch), batch);
            EXPECT_EQ(got, want) << "seed " << seed << ", entry " << i;
            (want.rfind("<result", 0) == 0 ? refused : read)++;
            // What cat sends: the located range of the open file.
            uint64_t start = 0;
            int32_t result = LocateEntry(&reader, listing[i], &start);
            std::string range(result == SPI_OK ? listing[i].filesize : 0, '\0');
            if (result != SPI_OK)
                range = "<result " + std::to_string(result) + ">";
            else if (pread(ReaderDescriptor(reader), &range[0], range.size(), (off_t)start) !=
                     (ssize_t)range.size())
                range = "<short>";
            EXPECT_EQ(range, want) << "seed " << seed << ", located entry " << i;
            FreeEntry(&one);
            FreeEntry(&batch);
        }
        CloseEntryReader(&reader);
        FreeListing(&listing);
    }
    // The random archives reach both outcomes, often.
    EXPECT_GT(read, 500u);
    EXPECT_GT(refused, 200u);
    unlink(path.c_str());
}

// A file changed after its listing yields no bytes as the listed entry's.
TEST(EntryReader, RefusesAnArchiveChangedSinceItWasListed) {
    Failure failure;
    ASSERT_TRUE(LoadPlugin(nullptr, &failure));
    std::string path = testing::TempDir() + "changed.dat";
    std::vector<TestEntry> entries = {{"a", "AAAA"}, {"b", "BBBBBB"}};
    ASSERT_TRUE(WriteFile(path, BuildArchive(entries)));
    Archive archive;
    Listing listing;
    ASSERT_EQ(OpenArchive(path, &archive, &failure), kIsArchive);
    ASSERT_TRUE(ListArchive(archive, &listing, &failure));
    EntryReader reader;
    OpenEntryReader(archive, &reader);
    EntryBytes entry;
    ASSERT_EQ(ReadListedEntry(&reader, listing[0], &entry), SPI_OK);
    FreeEntry(&entry);
    entries[0].data = "AAAAA";
    ASSERT_TRUE(WriteFile(path, BuildArchive(entries)));
    EXPECT_EQ(ReadListedEntry(&reader, listing[1], &entry), kArchiveChanged);
    EXPECT_FALSE(ReaderUnchanged(reader));
    CloseEntryReader(&reader);
    FreeListing(&listing);
    unlink(path.c_str());
}

} // namespace
