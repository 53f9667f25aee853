// quorvel as a host of the plug-in: loading it, giving it an archive, and
// owning the blocks it hands over until they are freed. Every entry's bytes
// come through the plug-in's entry points, and so does every listing on
// Windows; the native quorvel lists through the plug-in's walk.
#ifndef AXQ_QUORVEL_HOST_H
#define AXQ_QUORVEL_HOST_H

#include "core/failure.h"
#include "plugin/spi.h"

#include <algorithm>
#include <stddef.h>
#include <functional>
#include <memory>
#include <stdint.h>
#include <string>
#include <vector>

// Loads the plug-in: on Windows the module at `path`, or the one beside
// quorvel.exe (axquorvel.spi for a 32-bit quorvel.exe, axquorvel.sph for a
// 64-bit one); on Linux the entry points are linked in. False with the
// failure if the module cannot be loaded or lacks an export.
bool LoadPlugin(const char *path, Failure *failure);

// Information row `index` of the plug-in; false past the last row.
bool PluginRow(int32_t index, std::string *row);

// What tells one state of a file from another: a changed size or
// last-write time, or another file put in its place.
struct FileState {
    uint64_t size = 0;
    int64_t modified = 0; // seconds since 1970
    int64_t modifiedNanoseconds = 0;
    uint64_t device = 0, inode = 0; // on Windows the volume serial and file index
    bool operator==(const FileState &other) const;
};

// An archive as quorvel and the plug-in see it.
// quorvel.exe (32-bit) hands the plug-in an ANSI form of the path, as the
// 32-bit module has only the ANSI entry points; quorvel64.exe opens
// archives through the 64-bit module's wide entry points by their UTF-16
// path, so any path Windows can open works.
struct Archive {
    std::string path;       // as the user gave it (UTF-8 text on Windows)
    std::string pluginPath; // what the ANSI entry points open: on Windows an ANSI form of the path
    FileState state;        // the file when it was opened
};

enum ArchiveCheck { kIsArchive, kNotAnArchive, kUnreadable };

// Opens `path` as an archive: it must exist, be readable, and be one by the
// plug-in's IsSupported. Anything but kIsArchive comes with *failure: a
// kNotArchive, or why the file could not be read.
ArchiveCheck OpenArchive(const std::string &path, Archive *archive, Failure *failure);

// True if the archive is still the file it was when opened: same size,
// last-write time and file.
bool ArchiveUnchanged(const Archive &archive);
#ifndef _WIN32
// Whether an open descriptor is the archive's file as listed, unchanged.
bool DescriptorUnchanged(const Archive &archive, int fd);
#endif

// One listed entry: what its record of GetArchiveInfo holds that quorvel
// uses, without the record. The name is not copied: it lives as long as the
// listing (or the record) it comes from.
struct EntryRecord {
    const char *filename = ""; // as a record holds it: cut to 199 bytes, zero-terminated
    uint32_t position = 0;     // of its directory line
    uint32_t filesize = 0;
    int64_t timestamp = 0; // as a record gives it (see LastWriteTime)
    // Its directory line gives an offset of 4 GiB or more, which the plug-in
    // reads wrapped: the range it would read is not the entry's.
    bool wrapped = false;
    EntryRecord() = default;
    EntryRecord(const FileInfo &record) // NOLINT: a record stands for its entry
        : filename(record.filename), position((uint32_t)record.position), filesize(record.filesize),
          timestamp((int64_t)record.timestamp) {}
};

// The entries of an archive, in directory order.
// On Windows they are the records of GetArchiveInfo, in the block the
// plug-in handed over (quorvel64.exe lists through GetArchiveInfoW and
// keeps ANSI records in `owned`), each named by its name as stored, read
// from its directory line: a record leaves out climbing parts of a name.
// The native quorvel lists through the plug-in's walk over the directory
// (see ListThroughWalk) and keeps no record: the directory text, each name
// cut and closed in place, and each entry's position and size.
// FreeListing gives everything back.
struct Listing {
    SpiBlock block = nullptr;
    const FileInfo *blockRecords = nullptr; // the block's, or `owned`'s
    std::vector<FileInfo> owned;
    size_t count = 0;
    struct Placed {
        uint32_t position, filesize;
    };
    std::shared_ptr<char> directory; // null for records
    std::vector<Placed> placed;
    uint32_t nameShift = 0; // an entry's name starts at directory + position + nameShift
    // Entries whose name the record cuts (over 199 bytes), in order, each
    // with the byte of its name that the cut's closing zero stands on.
    std::vector<std::pair<uint32_t, char>> cuts;
    int64_t timestamp = 0; // every entry's stamp
    // Entries whose line the plug-in reads wrapped (see EntryRecord), in order.
    std::vector<uint32_t> wrapped;
    EntryRecord operator[](size_t i) const {
        EntryRecord record;
        if (directory == nullptr) {
            record = blockRecords[i];
        } else {
            record.filename = directory.get() + (uint32_t)(placed[i].position + nameShift);
            record.position = placed[i].position;
            record.filesize = placed[i].filesize;
            record.timestamp = timestamp;
        }
        record.wrapped =
            !wrapped.empty() && std::binary_search(wrapped.begin(), wrapped.end(), (uint32_t)i);
        return record;
    }
};
// False with *failure (kDamaged: the plug-in cannot list it) if not listed.
bool ListArchive(const Archive &archive, Listing *listing, Failure *failure);
void FreeListing(Listing *listing);

// The native quorvel's listing (no block): the entries that the plug-in's
// walk over the archive's directory finds, each as GetArchiveInfo would
// record it. Returns the plug-in's result code.
int32_t ListThroughWalk(const std::string &pluginPath, Listing *listing);
// GetFileInfo's lookup (see LookUpEntry) in such a listing: SPI_OK with the
// entry's record, as GetFileInfo fills it, or SPI_NO_SUCH_ENTRY.
int32_t LookUpListed(const Listing &listing, const std::string &storedName, FileInfo *record);

// An entry by a name given in the archive's own bytes, compared exactly
// with the whole stored names (the native quorvel also takes a stored name
// as listed, cut). The Windows tools compare with each entry's whole stored
// name themselves; the native quorvel looks in `listing`, which holds the
// directory already, rather than have the plug-in load it a second time.
int32_t LookUpEntry(const Archive &archive, const Listing &listing, const std::string &storedName,
                    FileInfo *record);

// One entry's bytes, in the block GetFile handed over, locked for reading;
// FreeEntry unlocks and frees it. Bytes are null for an empty entry.
struct EntryBytes {
    SpiBlock block = nullptr;
    const char *bytes = nullptr;
    size_t size = 0;
};

// ReadEntry's result for an entry whose line the plug-in reads wrapped: its
// bytes would be another range's.
constexpr int32_t kOffsetPastFormat = 1002;

// ReadEntry's result when the archive is no longer the file that was listed:
// a position from the listing may then name another entry's line, so its
// bytes are not handed on.
constexpr int32_t kArchiveChanged = 1000;

// A streamed read's result when its sink refused a piece (the output failed).
constexpr int32_t kSinkFailed = 1001;

// GetFile for a listed record; returns the plug-in's result, kArchiveChanged
// or kOffsetPastFormat (before anything is read).
int32_t ReadEntry(const Archive &archive, const EntryRecord &record, EntryBytes *entry);
void FreeEntry(EntryBytes *entry);

// What a result code of the plug-in means: the message id, and the message
// in the user's language.
const char *ResultMessage(int32_t result);
const char *ResultText(int32_t result);

// The archive's true last-write time, seconds since 1970, from a record's
// stamp: the plug-in gives that time moved nine hours ahead and read as
// local standard time, and this undoes both in the local time zone.
int64_t LastWriteTime(int64_t stamp);

// A time as local wall-clock time: "2026-12-08 20:00:00", or with iso
// "2026-12-08T20:00:00+09:00".
std::string FormatTime(int64_t time, bool iso);

#endif
