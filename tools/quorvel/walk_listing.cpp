// The native quorvel's listing: the plug-in's walk over an archive's
// directory, one entry at a time, kept as the directory text and a position
// and size per entry instead of a block of records.
#include "tools/quorvel/host.h"

#include "archive/archive.h"
#include "plugin/plugin.h"

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
            // The name is cut as a record cuts it and closed where it stands:
            // the walk has passed this line and does not read it again.
            char *name = directory + (walk.line - directory);
            name[CutNameLength(walk.line, walk.nameLength)] = '\0';
            listing->placed.push_back({walk.position, end - start});
        }
        listing->count = listing->placed.size();
    }
    CloseHandle(file);
    return result;
}
