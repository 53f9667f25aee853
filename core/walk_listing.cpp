// The native quorvel's listing: the plug-in's walk over an archive's
// directory, one entry at a time, kept as the directory text and a position
// and size per entry instead of a block of records.
#include "core/host.h"

#include "archive/archive.h"
#include "plugin/plugin.h"

#include <algorithm>
#include <string.h>

int32_t ListThroughWalk(const std::string &pluginPath, Listing *listing) {
    *listing = Listing();
    HANDLE file = OpenArchive(pluginPath.c_str());
    if (file == INVALID_HANDLE_VALUE)
        return SPI_FILE_ERROR;
    char *directory = nullptr;
    int32_t result = LoadWalkDirectory(file, &directory);
    if (result == SPI_OK) {
        listing->directory.reset(directory, [](char *text) { GlobalFree(text); });
        listing->timestamp = ArchiveTimestamp(file);
        EntryWalk walk;
        StartWalk(&walk, directory);
        // Right after the start the walk stands after the magic line, whose
        // length the positions do not count.
        listing->nameShift = walk.nextOffset - (uint32_t)kMagicSize;
        // Room for as many entries as lines of the size the writers make;
        // pages reserved and never used cost nothing.
        listing->placed.reserve(walk.size / kFieldsSize + 1);
        while (NextEntry(&walk)) {
            // The walk found the TAB: the offsets are read from there.
            uint32_t start, end;
            ParseEntryRange(walk.line + walk.nameLength, walk.length - walk.nameLength, &start,
                            &end);
            bool fits = EntryRangeFits(walk.line + walk.nameLength, walk.length - walk.nameLength);
            // The name is cut as a record cuts it and closed where it stands:
            // the walk has passed this line and does not read it again.
            char *name = directory + (walk.line - directory);
            int32_t cut = CutNameLength(walk.line, walk.nameLength);
            if (cut < walk.nameLength)
                listing->cuts.push_back({(uint32_t)listing->placed.size(), name[cut]});
            name[cut] = '\0';
            if (!fits)
                listing->wrapped.push_back((uint32_t)listing->placed.size());
            listing->placed.push_back({walk.position, end - start});
        }
        listing->count = listing->placed.size();
    }
    CloseHandle(file);
    return result;
}

// The whole stored name of a listed entry: a cut name goes on after its
// closing zero, with the byte the zero stands on, up to its TAB.
static std::string WholeName(const Listing &listing, size_t i) {
    const char *name = listing[i].filename;
    auto cut = std::lower_bound(
        listing.cuts.begin(), listing.cuts.end(), std::make_pair((uint32_t)i, '\0'),
        [](const std::pair<uint32_t, char> &a, const std::pair<uint32_t, char> &b) {
            return a.first < b.first;
        });
    if (cut == listing.cuts.end() || cut->first != i)
        return name;
    size_t length = strlen(name);
    const char *rest = name + length + 1;
    return std::string(name, length) + cut->second + std::string(rest, strcspn(rest, "\t"));
}

int32_t LookUpListed(const Listing &listing, const std::string &storedName, FileInfo *record) {
    size_t found = listing.count;
    for (size_t i = 0; i < listing.count; i++) {
        bool same = strcmp(listing[i].filename, storedName.c_str()) == 0;
        if (listing.cuts.empty() ? same : WholeName(listing, i) == storedName) {
            found = i;
            break;
        }
        if (same && found == listing.count)
            found = i;
    }
    if (found == listing.count)
        return SPI_NO_SUCH_ENTRY;
    EntryRecord entry = listing[found];
    memset(record, 0, sizeof *record);
    memcpy(record->method, kMethod, sizeof kMethod);
    memcpy(record->filename, entry.filename, strlen(entry.filename));
    record->position = entry.position;
    record->compsize = record->filesize = entry.filesize;
    record->timestamp = entry.timestamp;
    return SPI_OK;
}
