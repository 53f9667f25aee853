// Reading many listed entries from an archive opened once: what GetFile does
// for one position, done for a whole command, with the module's own parse of
// the entry line.
#ifndef AXQ_CORE_READER_H
#define AXQ_CORE_READER_H

#include "core/host.h"
#ifndef _WIN32
#include "platform/platform.h"
#endif

#include <stdint.h>
#include <vector>

// An archive opened for reading its listed entries. On Windows it holds
// nothing but the archive: each read is a GetFile, as the module's hosts
// read, which is what quorvel.exe is there to prove.
struct EntryReader {
    const Archive *archive = nullptr;
#ifndef _WIN32
    HANDLE file = INVALID_HANDLE_VALUE;
    bool listed = false;        // the open file is the one listed, unchanged
    uint32_t directorySize = 0; // the directory's extent, from the head
    // A window on the directory: its bytes [from, to), for the entry lines.
    std::vector<char> window;
    uint64_t from = 0, to = 0;
#endif
};

// Opens `archive` (which must outlive the reader) for reading. Never fails:
// an archive that cannot be opened, or is no longer the file listed, fails
// each read as GetFile or ReadEntry would.
void OpenEntryReader(const Archive &archive, EntryReader *reader);
void CloseEntryReader(EntryReader *reader);

// ReadEntry through the reader: the same bytes, in the same kind of block
// (FreeEntry frees it), and the same results: SPI_OK, the plug-in's result
// for a line or range GetFile refuses, or kArchiveChanged when the line
// gives another size than the listing or the archive changed.
int32_t ReadListedEntry(EntryReader *reader, const EntryRecord &record, EntryBytes *entry);

#ifndef _WIN32
// Where a listed entry's bytes lie, found as GetFile finds them: SPI_OK
// with *start, once the range is known to lie inside the file; else as
// ReadListedEntry. Nothing of the entry is read.
int32_t LocateEntry(EntryReader *reader, const EntryRecord &record, uint64_t *start);

// Whether the open file is still the one listed, unchanged (a file the
// reader has open stays the one listed however its name is reused).
bool ReaderUnchanged(const EntryReader &reader);

// The descriptor to copy located ranges from.
int ReaderDescriptor(const EntryReader &reader);
#endif

#endif
