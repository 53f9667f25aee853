// Files that quorvel reads and writes itself: extraction under a target
// folder that no entry name can leave, new archives that replace their
// target only when complete and flushed, and the input files of pack.
#ifndef AXQ_QUORVEL_FILES_H
#define AXQ_QUORVEL_FILES_H

#include "core/failure.h"

#include <deque>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string>
#include <string_view>
#include <vector>

// The folder entries are extracted under. Every entry goes to a place below
// it: the folders on the way are made or entered without following links,
// and the file is written to a temporary name and renamed into place, so
// that no partly written file ever carries an entry's name.
struct ExtractTarget;

// Opens the folder (making it and its parents if needed); null with the
// reason if it cannot be used.
ExtractTarget *OpenTarget(const std::string &folder, std::string *why);
void CloseTarget(ExtractTarget *target);

// Makes the place for a file at `components` below the target and checks
// that it may be written: no link or non-folder on the way, no folder of its
// name, and no file of its name unless overwrite. False with the reason.
bool PlaceFile(ExtractTarget *target, const std::vector<std::string> &components, bool overwrite,
               std::string *why);

// Makes the folder at `components` below the target, and those on the way,
// as PlaceFile makes a file's. False with the reason.
bool PlaceFolder(ExtractTarget *target, const std::vector<std::string> &components,
                 std::string *why);

// Places an entry by its decoded name below the target: a folder entry
// (no bytes, a name ending in a separator) is made as a folder, with those
// on its way; a file's place is made for WritePlacedFile. False with the
// failure: kDamaged ("refused: ...") for a name extraction refuses (absolute,
// "..", a control character, and on Windows what Windows would not create),
// kSystem for what the file system refused. *folder says which it was.
bool PlaceEntry(ExtractTarget *target, const std::string &name, uint64_t size, bool overwrite,
                bool *folder, Failure *failure);

// Writes the file last placed, with `modified` as its last-write time. It
// never replaces an existing file unless overwrite. False with the reason;
// nothing is then left behind.
bool WritePlacedFile(ExtractTarget *target, const char *bytes, size_t size, int64_t modified,
                     bool overwrite, std::string *why);

// A new file that replaces `target` only when complete: written to a
// temporary file beside it, flushed to the disk, renamed over the target,
// and the folder flushed after the rename. After a crash at any moment the
// target is either the old file or the whole new one. The new file keeps
// the target's permissions and, where the writer may give them, its owner
// and group (on Windows its hidden, system and archive marks; a read-only
// target is refused).
// On Linux, where the file system can, the new file has no name until it is
// whole (`unnamed`): a kill while it is written leaves nothing behind. It is
// named (its temporary name) just before the rename. A writer that must
// find its temporary file by its name meanwhile asks for a named one.
// Null with the reason on failure, and errno the system's error, or 0 where
// a rule refused the target (a link that leads nowhere, a device).
struct NewFile;
NewFile *CreateNewFile(const std::string &target, std::string *why, bool unnamed = true);
bool WriteNewFile(NewFile *file, const void *bytes, size_t size, std::string *why);
#ifndef _WIN32
// Appends `size` bytes at `offset` of the open file `from`: in the kernel
// where it copies between the two (copy_file_range), else through a buffer.
// False with the reason on failure; *ended is then true if `from` ended
// before the range did.
bool CopyRangeToNewFile(NewFile *file, int from, uint64_t offset, uint64_t size, bool *ended,
                        std::string *why);
#endif
// Flushes and renames into place; false with the reason (the temporary file
// is then removed and the target untouched). Frees the NewFile either way.
bool CommitNewFile(NewFile *file, std::string *why);
// Removes the temporary file and frees the NewFile.
void AbandonNewFile(NewFile *file);
// The temporary file's path, as text (an unnamed file's, once named).
std::string NewFileTemporary(const NewFile *file);
// The path the temporary file of a new `target` will have in this process.
std::string NewFileTemporaryFor(const std::string &target);
// Holds the archive at `path` while update rewrites it, against a writable
// mount of it, whose edits would otherwise be refused at its save, and
// against another update, whose entries one of the two would drop. False if
// one of them holds it; *held is then -1, as it is where nothing can be held
// (an archive that cannot be opened).
bool HoldArchive(const std::string &path, int *held);
void ReleaseArchive(int held);
// The sidecar of a writable mount of the archive at `path` that holds edits
// not yet saved (a mount that crashed, was killed or failed to save), or ""
// (always on Windows, which has no mount).
std::string UnsavedEditsOf(const std::string &path);
// The rules a path must pass to be written as an archive, before anything
// is: on Windows not a device's name; a name ending in ".dat" (in any case),
// since no command or host opens another; and no writable mount's unsaved
// edits waiting beside it, which a rewritten archive would strand. False with
// the failure (kBadName for the name, kRefused for the edits).
bool CheckWriteTarget(const std::string &path, Failure *failure);
// HoldArchive, with the failure (kRefused) when another holds it.
bool HoldTarget(const std::string &path, int *held, Failure *failure);

// From now on Ctrl-C, SIGTERM, SIGHUP or passing the file size limit
// (SIGXFSZ) (on Windows Ctrl-C, Ctrl-Break and closing the console) remove
// the temporary file being written (a new archive's, an extracted entry's)
// before the process ends (pack, update and extract, which have no other
// use for them).
void RemoveTemporaryOnInterrupt();

// The files to store, each with its name as given (relative, '/' between
// folders, UTF-8 text on Windows, the system's bytes on Linux), where to
// read it and its size. A million of them cost their names' bytes and 24
// more each: the names lie in blocks of text that never move, and a path
// is kept as a prefix its folder shares ("./", "base/") before the name,
// or whole where it is not one.
struct InputFiles {
    struct Input {
        uint32_t block, offset; // where its name starts in the text, zero-terminated
        uint32_t nameLength;
        uint32_t prefix; // an index into prefixes, or kWholePath: its path follows the name
        uint64_t size;
    };
    static constexpr uint32_t kWholePath = UINT32_MAX;
    std::vector<std::string> blocks;
    std::vector<std::string> prefixes;
    std::deque<Input> inputs; // grows without moving what it holds
};
static_assert(sizeof(InputFiles::Input) == 24); // an input costs 24 bytes besides its name

// Adds a file, or with an empty `path` a folder entry.
void AddInput(InputFiles *files, const std::string &name, const std::string &path, uint64_t size);
inline size_t InputCount(const InputFiles &files) { return files.inputs.size(); }
// Input i's name; it lives as long as the list.
std::string_view InputName(const InputFiles &files, size_t i);
inline std::string_view InputName(const InputFiles &files, const InputFiles::Input &input) {
    return std::string_view(files.blocks[input.block].data() + input.offset, input.nameLength);
}
std::string InputPath(const InputFiles &files, size_t i);
inline uint64_t InputSize(const InputFiles &files, size_t i) { return files.inputs[i].size; }

// The file `argument` names, or every file below the folder it names, added
// to `inputs`; with a `base` folder, `argument` is read relative to it and
// the names are too (pack -C, as tar's). A file is read where its
// normalized name says ("lnk/../a" is "a"), and an argument outside the
// current folder (absolute, or through "..") is refused before it is
// walked. With folderItself, `argument` must name a folder, which is taken
// as one input of no bytes, its name ending in '/' and its path empty (a
// folder entry). False if it cannot be read or is refused; each failure,
// and each file left out (a notice: kind kNone), goes to `report`.
bool CollectInputs(const std::string &argument, InputFiles *inputs, const std::string &base,
                   bool folderItself, const Report &report);

// What tells one file from another, whatever path reaches it: the device
// and inode on Linux, the volume's serial number and the file's index on
// Windows.
struct FileIdentity {
    uint64_t volume = 0, index = 0;
    uint64_t size = 0; // not part of the identity: a cheap first test
    bool operator==(const FileIdentity &other) const {
        return volume == other.volume && index == other.index;
    }
};
// The identity of the file at `path`, links followed; false if there is none
// or it cannot be opened.
bool IdentityOf(const std::string &path, FileIdentity *identity);

// fopen for a path given as text (wide characters on Windows).
FILE *OpenFile(const std::string &path, const char *mode);
// Opens a file to store, for reading in binary; null with the reason
// (*why) if it cannot be opened or is no longer a regular file (a FIFO put
// in its place is refused, not waited on).
FILE *OpenInputFile(const std::string &path, std::string *why);
// Moves a file opened by OpenFile to an absolute offset, past 2 GiB too;
// false if it cannot.
bool SeekFile(FILE *file, uint64_t offset);

#endif
