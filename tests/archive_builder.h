// Builds Quorvel archives for tests: the magic line, one entry line per entry,
// an optional closing line, then the entries' bytes in order.
#ifndef AXQ_TESTS_ARCHIVE_BUILDER_H
#define AXQ_TESTS_ARCHIVE_BUILDER_H

#include <stdint.h>
#include <stdio.h>
#include <string>
#include <vector>

struct TestEntry {
    std::string name;
    std::string data;
};

inline std::string EntryLine(const std::string &name, uint32_t start, uint32_t end) {
    char fields[32];
    snprintf(fields, sizeof fields, "\t%010u %010u\n", start, end);
    return name + fields;
}

inline std::string BuildArchive(const std::vector<TestEntry> &entries, bool closingLine = true) {
    const std::string closing = "END\n";
    size_t directorySize = 21 + (closingLine ? closing.size() : 0);
    for (const TestEntry &e : entries)
        directorySize += e.name.size() + 23;
    std::string archive = "FILECMB-DATA-LIST-IN\n";
    uint32_t offset = (uint32_t)directorySize;
    for (const TestEntry &e : entries) {
        archive += EntryLine(e.name, offset, offset + (uint32_t)e.data.size());
        offset += (uint32_t)e.data.size();
    }
    if (closingLine)
        archive += closing;
    for (const TestEntry &e : entries)
        archive += e.data;
    return archive;
}

// The offset of entry i's directory line in an archive built as above.
inline uint32_t EntryPosition(const std::vector<TestEntry> &entries, size_t i) {
    uint32_t position = 21;
    for (size_t j = 0; j < i; j++)
        position += (uint32_t)entries[j].name.size() + 23;
    return position;
}

inline bool WriteFile(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// Deterministic bytes of every value, so that a misplaced byte shows.
inline std::string PatternBytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = (char)(x >> 24);
    }
    return bytes;
}

// A random archive of one to six entries whose directory lines end in LF,
// CR LF, a lone CR or nothing (two lines run together), with a closing line
// of any of the first three; each entry's bytes lie where its fields say.
// `random()` gives the random numbers.
template <typename Random> std::string LineEndsArchive(Random &random) {
    const char *ends[] = {"\n", "\r\n", "\r", ""};
    std::vector<TestEntry> entries;
    std::vector<const char *> lineEnds;
    size_t count = 1 + random() % 6;
    for (size_t i = 0; i < count; i++) {
        entries.push_back({"n" + std::to_string(i), PatternBytes(random() % 40, (uint32_t)i)});
        lineEnds.push_back(ends[random() % 4 == 0 ? 1 + random() % 3 : 0]);
    }
    const char *closing = ends[random() % 3];
    // Twice: the first pass finds the directory's size, the second places
    // the bytes after it.
    std::string archive;
    for (int pass = 0; pass < 2; pass++) {
        uint32_t offset = pass == 0 ? 0 : (uint32_t)archive.size();
        archive = "FILECMB-DATA-LIST-IN\n";
        for (size_t i = 0; i < count; i++) {
            std::string line =
                EntryLine(entries[i].name, offset, offset + (uint32_t)entries[i].data.size());
            line.pop_back(); // its LF
            archive += line + lineEnds[i];
            offset += (uint32_t)entries[i].data.size();
        }
        archive += closing;
    }
    for (const TestEntry &e : entries)
        archive += e.data;
    return archive;
}

#endif
