// axquorvel.spi / axquorvel.sph: the host interface of the Quorvel archive plug-in.
//
// A host loads the module, finds the five exports below by their plain names
// and calls them with the Win32 API calling convention (on 32-bit Windows the
// callee removes its arguments). This header is the whole contract between
// the two: the records the host reads, the result codes, the flag bits, and
// for each export what it returns and who owns what.
//
// Two builds of the same code follow the interface's two variants:
//   axquorvel.spi  32-bit, for 32-bit hosts: 428-byte records (FileInfo32),
//                  and exactly the five ANSI exports;
//   axquorvel.sph  64-bit, for 64-bit hosts: 448-byte records (FileInfo64),
//                  the arguments marked "pointer-sized" below are 64-bit,
//                  and five wide-character (UTF-16) exports besides, with
//                  848-byte records (FileInfoW), at the end of this header.
// Everything else (rows, result codes, flag bits) is the same in both.
//
// Ownership in one line: the host owns every memory block the plug-in hands
// it (and frees it with LocalFree); the plug-in owns everything else, opens
// the archive anew in each call and closes it before returning.
#ifndef AXQ_SPI_H
#define AXQ_SPI_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define SPI_API __stdcall
#else
#define SPI_API
#endif

#if UINTPTR_MAX > 0xFFFFFFFFu
#define SPI_64BIT 1
#else
#define SPI_64BIT 0
#endif

#ifdef __cplusplus
extern "C" {
#endif

// A handle to a movable block of the process's local heap (an HLOCAL). The
// host locks it (LocalLock) to read the bytes and frees it (LocalFree).
typedef void *SpiBlock;

// Results of GetArchiveInfo, GetFileInfo and GetFile.
enum {
    SPI_OK = 0,
    SPI_UNSUPPORTED_MODE = -1, // the requested input or output kind is not supported
    SPI_NO_SUCH_ENTRY = 2,     // no entry has the requested name (GetFileInfo only)
    SPI_NO_MEMORY = 4,         // memory was not obtained, or the directory failed to load
    SPI_FILE_ERROR = 6         // the archive could not be opened or read
};

// The flags word of the three archive entry points. Bits not named here are
// ignored.
enum {
    SPI_INPUT_MASK = 0x0007u, // input kind: only 0, "the first argument names a file on disk"
    SPI_INPUT_FILE = 0x0000u,
    SPI_IGNORE_CASE = 0x0080u, // GetFileInfo: compare entry names without regard to case
    SPI_OUTPUT_MASK = 0x0700u, // GetFile's output kind: only 1, "a memory block"
    SPI_OUTPUT_MEMORY = 0x0100u,
    SPI_OUTPUT_FOLDER = 0x0000u // GetFileW only: a file in the folder `destination` names
};

// The contract, mode by mode. Bits 0-2 of flags give the input kind: 0, the
// first argument names a file on disk; 1, it is the archive's bytes in
// memory (not supported); 2-7, not defined. Bits 8-10 give GetFile's output
// kind: 1, a memory block whose handle goes to a handle variable; 0, to
// disk, where destination is the host's path (GetFileW: a folder); 2-7, not
// defined. For every export and mode, "writes" is all the call writes:
// every other pointer, whatever it points at (a string constant, a path
// the host keeps for a later call, the archive's bytes in memory, a
// read-only page), is read at most, never written; a record is written only
// on success; an output buffer never past the length the host gave.
//
//  export            input output  reads                    writes                       result
//  ----------------  ----- ------  -----------------------  ---------------------------  ---------
//  GetPluginInfo(W)  -     -       index, bufferLength      buffer: the row, cut to      count
//                                                           bufferLength-1 units and a
//                                                           zero; index outside 0..3,
//                                                           null buffer or length < 1:
//                                                           nothing                      (or 0)
//  IsSupported(W)    -     -       fileName; source < 0x10000: 22 bytes from that handle
//                                  (its file position moves on); else 21 bytes at the
//                                  address source           nothing                      1 or 0
//  GetArchiveInfo(W) 0     any     fileName                 *recordsOut: the block on    0, 4, 6
//                                                           success, null on failure
//                    1-7   any     nothing                  *recordsOut: null            -1
//  GetFileInfo(W)    0     any     fileName, entryName,     *recordOut on success only   0, 2, 4, 6
//                                  bit 0x80 of flags
//                    1-7   any     nothing                  nothing                      -1
//  GetFile, GetFileW 0     1       fileName, position       *destination: the block on   0, 4, 6
//                                                           success, null on failure;
//                                                           progress calls
//                    1-7   1       nothing                  *destination: null           -1
//  GetFile           any   0, 2-7  nothing                  nothing                      -1
//  GetFileW          0     0       fileName, position, the  the file folder\filename on  0, 4, 6
//                                  folder path destination  success, nothing on failure;
//                                                           progress calls
//                    1-7   0       nothing                  nothing                      -1
//                    any   2-7     nothing                  nothing                      -1
//
// Bits other than these are ignored (GetFileInfo reads 0x80, no export reads
// the output kind but GetFile and GetFileW). A null handle variable or
// record pointer gives -1, writing nothing. The progress calls of a
// successful extraction are (0,3), (1,3), (2,3), (3,3); a -1 makes none.
//
// What a host gets in the cases a host might wonder about:
//  - Positions: GetFile and GetFileW take a position only where a line of
//    the directory starts: at or past byte 21, before the first entry's
//    bytes (the directory's end), right after a line end (LF; or CR, where
//    a damaged directory has one and the listing splits there too), and the
//    line must be a whole entry line. Anything else, a position inside a
//    name or inside the number fields among them, gives SPI_FILE_ERROR.
//  - Names: GetFileInfo finds the first entry whose whole stored name is
//    entryName; failing that, the first whose name as the listing shows it
//    (cut to 199 bytes, or without climbing parts, below) or whose stored
//    name cut to 199 bytes is. So every name a listing shows is found.
//  - Names that climb: a record names an entry without the parts that
//    would lead a host that joins the name to its own folder out of it:
//    separators at the start; drives at the start, as Windows reads a drive
//    (any one character and ':'), as many as come; and every component of
//    dots and spaces with two dots or more; each with the separator after
//    it. "..\x" lists as "x", "\abs" as "abs", "C:\y" and "C:D:y" as "y",
//    "a\..\..\b" as "a\b", and ".." as an empty name. Components are found
//    in the characters the host reads: in the ANSI record by the system's
//    ANSI code page, where a double-byte character's trail byte is no
//    separator, and in the wide record after decoding (a wide field cut at
//    199 units also loses a last component the cut leaves as only dots and
//    spaces). Any other name is handed over byte for byte as stored. The
//    position is the stored line's, so GetFile takes it, and GetFileInfo
//    and GetFileInfoW find the entry by its stored name and by its listed
//    one, a whole stored name first. Most hosts of this interface never
//    check a name before they write it; archives from other tools do hold
//    such names, and the plug-in is the one place that can protect those
//    users. A host that must rewrite an archive reads the stored name from
//    the directory line at the record's position. GetFileW into a folder
//    writes only folder\filename, and refuses an empty filename.
//  - The closing line: the directory's last line is its closing line, with
//    or without an LF of its own, and never an entry; an archive written
//    without one loses its last entry line to it. A closing line of one
//    byte and no LF hides no entry.
//  - No magic check when listing: GetArchiveInfo and GetFileInfo read any
//    file as the layout says and do not look at its first line, so a file
//    that is no archive (text, random bytes) lists with SPI_OK, as empty or
//    as whatever entry lines it happens to hold. Hosts call IsSupported
//    first; an archive whose first line alone is damaged still lists.
//  - Sizes: an entry may be up to 4 GiB - 1 bytes, the format's largest
//    offset. The 64-bit module reads any such entry. The 32-bit module
//    gives SPI_NO_MEMORY for an entry larger than the largest block its
//    process can get (under 2 GiB, often well under), nothing else.

// One entry as a 32-bit host sees it: 428 bytes, packed, little-endian.
#pragma pack(push, 1)
typedef struct FileInfo32 {
    char method[8];     // "Quorvel" and a zero byte; a zero first byte closes a list of records
    uint32_t position;  // archive offset of the entry's directory line: what GetFile takes back
    uint32_t compsize;  // stored size in bytes (end - start)
    uint32_t filesize;  // size in bytes; the same, as entries are stored uncompressed
    int32_t timestamp;  // seconds since 1970, the same for every entry of one archive (see below)
    char path[200];     // always empty
    char filename[200]; // the entry's name, cut to 199 bytes at a character boundary,
                        // zero-terminated
    uint32_t crc;       // always 0
} FileInfo32;

// One entry as a 64-bit host sees it: 448 bytes, packed, little-endian. The
// same fields, the numbers widened to 8 bytes, then 4 bytes of padding.
typedef struct FileInfo64 {
    char method[8];     // "Quorvel" and a zero byte; a zero first byte closes a list of records
    uint64_t position;  // archive offset of the entry's directory line: what GetFile takes back
    uint64_t compsize;  // stored size in bytes (end - start)
    uint64_t filesize;  // size in bytes; the same, as entries are stored uncompressed
    int64_t timestamp;  // seconds since 1970 as a 64-bit value, the same for every entry
    char path[200];     // always empty
    char filename[200]; // the entry's name, cut to 199 bytes at a character boundary,
                        // zero-terminated
    uint32_t crc;       // always 0
    uint32_t padding;   // always 0
} FileInfo64;
#pragma pack(pop)

// The timestamp is the archive file's last-write time (UTC) moved nine hours
// ahead and read as local standard time: a host shows it as the wall-clock
// time at UTC+9. It is computed in 64 bits; the 32-bit record keeps its low
// 32 bits.

#ifdef __cplusplus
static_assert(sizeof(FileInfo32) == 428, "FileInfo32 is 428 bytes");
static_assert(offsetof(FileInfo32, method) == 0, "FileInfo32 layout");
static_assert(offsetof(FileInfo32, position) == 8, "FileInfo32 layout");
static_assert(offsetof(FileInfo32, compsize) == 12, "FileInfo32 layout");
static_assert(offsetof(FileInfo32, filesize) == 16, "FileInfo32 layout");
static_assert(offsetof(FileInfo32, timestamp) == 20, "FileInfo32 layout");
static_assert(offsetof(FileInfo32, path) == 24, "FileInfo32 layout");
static_assert(offsetof(FileInfo32, filename) == 224, "FileInfo32 layout");
static_assert(offsetof(FileInfo32, crc) == 424, "FileInfo32 layout");

static_assert(sizeof(FileInfo64) == 448, "FileInfo64 is 448 bytes");
static_assert(offsetof(FileInfo64, method) == 0, "FileInfo64 layout");
static_assert(offsetof(FileInfo64, position) == 8, "FileInfo64 layout");
static_assert(offsetof(FileInfo64, compsize) == 16, "FileInfo64 layout");
static_assert(offsetof(FileInfo64, filesize) == 24, "FileInfo64 layout");
static_assert(offsetof(FileInfo64, timestamp) == 32, "FileInfo64 layout");
static_assert(offsetof(FileInfo64, path) == 40, "FileInfo64 layout");
static_assert(offsetof(FileInfo64, filename) == 240, "FileInfo64 layout");
static_assert(offsetof(FileInfo64, crc) == 440, "FileInfo64 layout");
static_assert(offsetof(FileInfo64, padding) == 444, "FileInfo64 layout");
#endif

// The record of this build: pointer-sized numbers, as the host's variant has them.
#if SPI_64BIT
typedef FileInfo64 FileInfo;
#else
typedef FileInfo32 FileInfo;
#endif

// The host's progress function: called with step 0, 1, 2, 3 of total 3 and
// the host's own userData (pointer-sized), passed through unchanged. Its
// result is ignored: an extraction cannot be cancelled.
typedef int32_t(SPI_API *ProgressCallback)(int32_t step, int32_t total, intptr_t userData);

int32_t SPI_API GetPluginInfo(int32_t index, char *buffer, int32_t bufferLength);
// Copies information row `index` into `buffer`, cut to bufferLength - 1
// characters and a zero byte, and returns the number of characters copied.
// Rows: 0 "00AM" (interface version), 1 the description, 2 "*.dat" (file
// filter), 3 "Quorvel archive" (format name). An index outside 0..3, a null
// buffer or a bufferLength below 1 returns 0 and writes nothing.

int32_t SPI_API IsSupported(const char *fileName, uintptr_t source);
// Returns 1 if the file is a Quorvel archive: its first 21 bytes are
// "FILECMB-DATA-LIST-IN" and a line feed, and its name ends in ".dat" in any
// case; else 0. `source` (pointer-sized) is an open file handle when its
// value is below 0x10000 (22 bytes are read from the handle's current
// position, which is not moved back; a handle that cannot be read gives 0),
// otherwise the address of at least 21 bytes of the file's head. A null
// fileName returns 0. Nothing is kept.

int32_t SPI_API GetArchiveInfo(const char *fileName, intptr_t archiveOffset, uint32_t flags,
                               SpiBlock *recordsOut);
// Lists every entry. On SPI_OK, *recordsOut is a movable block of FileInfo
// records in directory order followed by a record whose first byte is zero;
// the host owns it and frees it. archiveOffset (pointer-sized) is not used:
// an archive starts at offset 0. Returns SPI_UNSUPPORTED_MODE for an input
// kind other than 0, SPI_FILE_ERROR if the archive cannot be opened,
// SPI_NO_MEMORY if the directory cannot be loaded or memory runs short. On
// every failure *recordsOut is set to null (unless recordsOut itself is null):
// the host receives no block.

int32_t SPI_API GetFileInfo(const char *fileName, intptr_t archiveOffset, const char *entryName,
                            uint32_t flags, FileInfo *recordOut);
// Fills the host's record for the first entry whose whole name equals
// entryName: byte for byte, or with SPI_IGNORE_CASE character by character
// in the system's ANSI code page, where single-byte letters A-Z match a-z and
// double-byte characters match only themselves. Failing a whole name, the
// first entry whose name as listed (cut to 199 bytes, or without climbing
// parts: see "Names that climb") or whose stored name cut to 199 bytes
// equals entryName in the same way. The record is the listed one. Returns
// SPI_OK, SPI_NO_SUCH_ENTRY (record untouched), or the failures of
// GetArchiveInfo (record untouched).

int32_t SPI_API GetFile(const char *fileName, intptr_t position, SpiBlock *destination,
                        uint32_t flags, ProgressCallback progress, intptr_t userData);
// Extracts the entry whose directory line starts at `position` (a record's
// position field; pointer-sized and signed, but archive offsets are 32-bit).
// flags must hold input kind 0 and output kind SPI_OUTPUT_MEMORY. On SPI_OK,
// *destination is a movable block of exactly the entry's size (a block of
// size zero locks to null); the host owns it and frees it. Returns
// SPI_UNSUPPORTED_MODE for other modes (no progress call), SPI_FILE_ERROR if
// the archive cannot be opened, if `position` is below 0 or above 4294967295
// or does not start an entry line of the directory (see "Positions" above),
// or if the entry's bytes do not lie inside the file (a truncated archive),
// SPI_NO_MEMORY if memory runs short (an entry too large for a 32-bit
// host's address space among them). With
// output kind 1, every failure sets *destination to null (unless
// destination itself is null): the host never receives a block holding
// anything but the entry's bytes. With any other output kind destination
// is not a handle variable, and nothing is written through it.
// Progress calls, if `progress` is not null: (0,3) before the archive is
// opened, (1,3) after its directory line is read, (2,3) before the entry's
// bytes are read and (3,3) when done. A failure stops the sequence where it
// happens, except that a failed read of the entry's bytes or a failed output
// block still ends with (3,3).

// ---------------------------------------------------------------------------
// The wide-character exports: axquorvel.sph only (and the native build).
//
// Hosts of the 64-bit variant look for these first. Paths and names are
// UTF-16, so an archive opens from any folder Windows can open, and entry
// names are decoded from the archive's code page into UTF-16 by the plug-in:
//   1. UTF-8, when every name of the archive is valid UTF-8;
//   2. else the system's ANSI code page, when it is a double-byte one
//      (932, 936, 949, 950);
//   3. else CP932, where most of these archives come from.
// The choice is made once per call, from all the archive's names. Bytes that
// do not decode become U+FFFD; the entry is listed all the same.
//
// A decoded name is split as these hosts expect: `path` is its folder part,
// each separator ('/' or '\') written as '\', ending in '\' (empty at the
// top); `filename` is its last component. "img/001.png" lists as path
// "img\" and filename "001.png". Each field holds at most 199 units and a
// zero, cut at a character boundary (never half of a surrogate pair).
//
// So the wide record of an entry is not its ANSI record converted: the ANSI
// record keeps `path` empty and the whole name in `filename`, the wide one
// splits it. This is kept on purpose. Hosts of the ANSI interface build
// their folders from `filename` alone, and hosts of the wide one from
// `path` + `filename` (a file manager copies every entry through GetFileW
// with them); giving either the other's shape would break the hosts that
// work today. A host that compares the two records compares
// path + filename of the wide record with the ANSI filename, decoded.
//
// Numbers, results, progress calls, the listing lock and every failure are
// as for the ANSI exports of the same name.

// A UTF-16 unit: Windows' wchar_t; char16_t where wchar_t is wider.
#if defined(_WIN32)
typedef wchar_t SpiWideChar;
#else
typedef char16_t SpiWideChar;
#endif

#pragma pack(push, 1)
typedef struct FileInfoW {
    char method[8];            // "Quorvel" and a zero byte; a zero first byte closes a list
    uint64_t position;         // as FileInfo64: what GetFile and GetFileW take back
    uint64_t compsize;         // stored size in bytes (end - start)
    uint64_t filesize;         // size in bytes; the same
    int64_t timestamp;         // as FileInfo64
    SpiWideChar path[200];     // the folder part, '\' after each folder, zero-terminated
    SpiWideChar filename[200]; // the last component, zero-terminated
    uint32_t crc;              // always 0
    uint32_t padding;          // always 0
} FileInfoW;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(SpiWideChar) == 2, "UTF-16 units");
static_assert(sizeof(FileInfoW) == 848, "FileInfoW is 848 bytes");
static_assert(offsetof(FileInfoW, method) == 0, "FileInfoW layout");
static_assert(offsetof(FileInfoW, position) == 8, "FileInfoW layout");
static_assert(offsetof(FileInfoW, compsize) == 16, "FileInfoW layout");
static_assert(offsetof(FileInfoW, filesize) == 24, "FileInfoW layout");
static_assert(offsetof(FileInfoW, timestamp) == 32, "FileInfoW layout");
static_assert(offsetof(FileInfoW, path) == 40, "FileInfoW layout");
static_assert(offsetof(FileInfoW, filename) == 440, "FileInfoW layout");
static_assert(offsetof(FileInfoW, crc) == 840, "FileInfoW layout");
static_assert(offsetof(FileInfoW, padding) == 844, "FileInfoW layout");
#endif

int32_t SPI_API GetPluginInfoW(int32_t index, SpiWideChar *buffer, int32_t bufferLength);
// GetPluginInfo in UTF-16: the same rows and the same cut, lengths in units.
// Returns the number of units written before the closing zero; never writes
// past bufferLength units.

int32_t SPI_API IsSupportedW(const SpiWideChar *fileName, uintptr_t source);
// IsSupported with a UTF-16 name. A null or empty name gives 0. Neither the
// name nor the head is written.

int32_t SPI_API GetArchiveInfoW(const SpiWideChar *fileName, intptr_t archiveOffset, uint32_t flags,
                                SpiBlock *recordsOut);
// GetArchiveInfo with a UTF-16 path and FileInfoW records. The block holds
// exactly the records and the closing record. Each record's numbers equal
// those of the ANSI record of the same entry.

int32_t SPI_API GetFileInfoW(const SpiWideChar *fileName, intptr_t archiveOffset,
                             const SpiWideChar *entryName, uint32_t flags, FileInfoW *recordOut);
// GetFileInfo in UTF-16: compares the whole decoded name (path + filename),
// as stored and then as the record gives it, with entryName, '/' and '\'
// counting as the same separator; without a flag unit for unit, with
// SPI_IGNORE_CASE as Windows' ordinal comparison that ignores case
// (CompareStringOrdinal). The first entry whose name as stored matches
// wins; failing that, the first whose record's name does.

int32_t SPI_API GetFileW(const SpiWideChar *fileName, intptr_t position, void *destination,
                         uint32_t flags, ProgressCallback progress, intptr_t userData);
// GetFile with a UTF-16 path, and two output kinds:
//   SPI_OUTPUT_MEMORY: destination is a SpiBlock *, exactly as GetFile.
//   SPI_OUTPUT_FOLDER: destination is a const SpiWideChar * naming an
//     existing folder, which the plug-in never writes. The entry goes to
//     folder\filename (the record's filename field, also when cut), created
//     or replaced, with the archive's last-write time. It is written to a
//     fresh temporary file in the folder, created exclusively, and renamed
//     into place when complete: no other file is touched, no partly written
//     file ever carries the name, and nothing is left behind on failure.
//     The bytes are copied in bounded pieces. A filename Windows cannot hold
//     as a plain file (a device name such as CON, COM1 or LPT¹ with any extension,
//     ':', a trailing dot or space, "." or "..", an empty name, control characters,
//     < > " | ? *), a missing folder or a failed write give SPI_FILE_ERROR.
// Input from memory, or another output kind, gives SPI_UNSUPPORTED_MODE
// before anything is touched.

// Threads: every export may be called from any thread. GetArchiveInfo and
// GetFileInfo (and their wide forms, and GetFileW into a folder) share one
// module-wide text buffer and are served one at a time (a lock inside the
// module); GetPluginInfo, IsSupported and GetFile keep no
// state and never wait.

#ifdef __cplusplus
}
#endif

#endif
