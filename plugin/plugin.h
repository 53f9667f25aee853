// The plug-in's own declarations beside the host interface: the module
// entry, and the pieces that the ANSI exports and their wide forms share:
// the listing lock, the walk over a loaded directory's entry lines, the
// file's head test and the reading of one entry's directory line.
#ifndef AXQ_PLUGIN_H
#define AXQ_PLUGIN_H

#include "platform/platform.h"
#include "plugin/spi.h"

// A record's method field.
static constexpr char kMethod[8] = "Quorvel";

// Fills a record from an entry line without its LF: name (cut to 199 bytes
// at a character boundary, then without climbing parts: see
// DropClimbingParts), sizes from the two offsets, position = start,
// timestamp 0. Returns 1, or 0 for a line without a TAB, which is no entry
// (the record is then zeroed).
int32_t ParseEntryLine(FileInfo *record, const char *line);
// ParseEntryLine for a line of `length` bytes that need not be
// zero-terminated, as long as a line end or a zero byte follows it.
int32_t ParseEntry(FileInfo *record, const char *line, int32_t length);

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
// A lookup, which walks the text itself, passes lineBuffer false: the text
// is checked against the line buffer's limit but not copied into it, and the
// lock still serves the calls it makes (the time stamp among them) one at a time.
int32_t LoadEntries(HANDLE file, char **directory, bool lineBuffer = true);

// Frees the loaded directory, empties the line buffer if `clear`, and
// releases the listing lock.
void ReleaseEntries(char *directory, bool clear);

// The directory lines in the line buffer that may be entries: all but the
// magic line and the closing line, which is the last line inside the
// directory, with or without its LF.
int32_t EntryLineCount(void);

// The entry lines of a loaded directory, in order, each in place in its
// text. The walk finds the lines itself, by the line buffer's rules (see
// linebuf.h): the text up to its first zero byte, with an LF added unless one
// of its last two characters ends a line; every line but the first (the
// magic line) and the closing line (the last line that ends, unless one
// byte without a line end follows it, which is then the closing line, and
// what follows the last line end). Lines without a TAB are no entries and
// are passed over. So the
// walk needs no line buffer, and a host linked with the module may walk a
// directory that LoadWalkDirectory loaded.
typedef struct EntryWalk {
    const char *directory; // the loaded directory text
    uint32_t size;         // its length, up to its first zero byte
    bool closed;           // false when the line buffer would add an LF at the end
    uint32_t nextOffset;   // where the next line starts in the directory text
    uint32_t nextLength;   // its length with its line end; 0 if it has none
    uint32_t nextPosition; // its position: counted from 21, the size of a true magic line
    uint32_t position;     // the current entry line's archive offset: its record's position
    const char *line;      // the current entry line, in the directory text
    int32_t length;        // its length without its line end
    int32_t nameLength;    // the bytes before its TAB
} EntryWalk;

void StartWalk(EntryWalk *walk, const char *directory);
// Steps to the next entry line; false after the last.
bool NextEntry(EntryWalk *walk);

// For a host linked with the module (the native quorvel): the directory of
// an open archive, loaded as LoadEntries loads it but not put in the line
// buffer, for StartWalk. Returns SPI_OK with
// *directory set (the caller frees it with GlobalFree), or SPI_NO_MEMORY, as LoadEntries would,
// when it could not be loaded or is too long for the line buffer. Takes the listing lock only while
// it loads.
int32_t LoadWalkDirectory(HANDLE file, char **directory);

// Whether `position` may start an entry line of a directory of
// `directorySize` bytes (DirectorySize of the head): past the magic line,
// before the first entry's bytes, within 32-bit offsets.
bool PositionInDirectory(intptr_t position, uint32_t directorySize);

// The entry line in a probe read at the byte before it: that byte must end a
// line (LF; or CR, where the listing splits a damaged directory too), and the
// line must end within the probe's `got` bytes, as the listing reads it.
// Returns the line's TAB with *start and *size (the record's size, wrapped
// where the fields are damaged), or null for no entry line.
const char *EntryLineInProbe(const char *probe, uint32_t got, uint32_t *start, uint32_t *size);

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
