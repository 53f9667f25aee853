// The plug-in's own declarations beside the host interface: the module
// entry, and the pieces that the ANSI exports and their wide forms share:
// the listing lock, the walk over a loaded directory's entry lines, the
// file's head test and the reading of one entry's directory line.
#ifndef AXQ_PLUGIN_H
#define AXQ_PLUGIN_H

#include "platform/platform.h"
#include "plugin/spi.h"

extern "C" BOOL SPI_API DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

// Information row `index` (0 to 3) as ASCII text, or null for another index.
const char *InformationRow(int32_t index);

// 1 if `source` (a handle below 0x10000, else the address of the file's
// head) begins with the archive's magic line, else 0.
int32_t HeadIsArchive(uintptr_t source);

// The record block must stay below what a 32-bit process can allocate.
static constexpr uint64_t kLargestRecordBlock = 0x7FFFFFFF;

// Loads the directory of an open archive and puts it in the module-wide line
// buffer, which serves one listing at a time: it takes the listing lock
// (no set-up needed) and holds it until ReleaseEntries. Returns SPI_OK with
// *directory set, or SPI_NO_MEMORY with nothing loaded and the lock released.
int32_t LoadEntries(HANDLE file, char **directory);

// Frees the loaded directory, empties the line buffer if `clear`, and
// releases the listing lock.
void ReleaseEntries(char *directory, bool clear);

// The directory lines in the line buffer that may be entries: all but the
// magic line and the closing line, which is the last line inside the
// directory, with or without its LF.
int32_t EntryLineCount(void);

// The entry lines of the directory in the line buffer, in order, each in
// place in the directory text that was loaded. Lines without a TAB are no
// entries and are passed over.
typedef struct EntryWalk {
    const char *directory; // the loaded directory text
    int32_t lines;         // directory lines that may be entries: all but the magic and closing
    int32_t next;          // the next directory line to look at
    uint32_t nextOffset;   // where it starts in the directory text
    uint32_t nextPosition; // its position: counted from 21, the size of a true magic line
    uint32_t position;     // the current entry line's archive offset: its record's position
    const char *line;      // the current entry line, in the directory text
    int32_t length;        // its length without its line end
    int32_t nameLength;    // the bytes before its TAB
} EntryWalk;

void StartWalk(EntryWalk *walk, const char *directory);
// Steps to the next entry line; false after the last.
bool NextEntry(EntryWalk *walk);

// Reads the directory line that starts at `position`, which must be a whole
// entry line: its data's start and size, and, if `name` is not null, its
// name (at most kLineProbeSize bytes, zero-terminated) with its length.
// Returns SPI_OK, SPI_FILE_ERROR when no entry line starts there, or
// SPI_NO_MEMORY. Reports progress step 1 once the line has been read.
int32_t ReadEntryLineAt(HANDLE file, intptr_t position, uint32_t *start, uint32_t *size, char *name,
                        int32_t *nameLength, ProgressCallback progress, intptr_t userData);

// Calls the host's progress function, if it gave one, with (step, 3).
void ReportProgress(ProgressCallback progress, int32_t step, intptr_t userData);

// GetFile after the archive was opened (or failed to open, giving
// SPI_FILE_ERROR): reads the entry line at `position`, then the entry's bytes
// into a block for the host, with progress steps 1 to 3; closes the archive.
int32_t ExtractToMemory(HANDLE file, intptr_t position, SpiBlock *destination,
                        ProgressCallback progress, intptr_t userData);

// Reads `size` bytes at archive offset `start` into a new movable block and
// stores its handle through handleOut (null on any failure). Returns SPI_OK,
// SPI_NO_MEMORY if the block cannot be had, or SPI_FILE_ERROR if the range
// does not lie inside the file (also for size 0) or the file ends before
// `size` bytes were read.
int32_t ReadRangeToMemory(HANDLE file, uint32_t start, uint32_t size, SpiBlock *handleOut);

#endif
