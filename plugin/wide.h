// What the wide-character exports add to the ANSI ones: entry names decoded
// into UTF-16 and split into path and filename, and an entry written into a
// folder. Built into the 64-bit module and the native build only.
#ifndef AXQ_WIDE_H
#define AXQ_WIDE_H

#include "plugin/plugin.h"

// The code page of the names of the directory loaded in the line buffer:
// UTF-8 when every name is valid UTF-8, else the system's ANSI code page
// when it is a double-byte one, else CP932.
UINT NamesCodePage(const char *directory);

// The two halves of that choice: whether one name is valid UTF-8, and the
// code page for an archive where some name is not.
bool NameIsUtf8(const char *name, int32_t length);
UINT FallbackCodePage(void);

// Fills a zeroed wide record from an entry line (`length` bytes without its
// line end, a TAB after `nameLength` bytes): method, sizes, and the name
// decoded from `codePage` into path and filename, without climbing parts
// (see DropClimbingParts) unless `asStored`. position and timestamp are the
// caller's. Returns SPI_OK, or SPI_NO_MEMORY for a name too long to decode
// on the stack whose scratch block cannot be had.
int32_t FillWideRecord(FileInfoW *wide, const char *line, int32_t length, UINT codePage,
                       bool asStored = false);

// Decodes a name into a zeroed record's path and filename; SPI_OK or
// SPI_NO_MEMORY as above.
int32_t DecodeEntryName(FileInfoW *wide, const char *name, int32_t nameLength, UINT codePage,
                        bool asStored = false);

// Writes `size` bytes at archive offset `start` into folder\filename, through
// a fresh temporary file renamed into place, with the archive's last-write
// time. Returns SPI_OK, or SPI_FILE_ERROR for a filename Windows cannot hold
// as a plain file, a range outside the archive, a missing folder or a failed
// write (nothing is then left behind), or SPI_NO_MEMORY.
int32_t WriteEntryToFolder(HANDLE archive, uint32_t start, uint32_t size, const SpiWideChar *folder,
                           const SpiWideChar *filename);

#endif
