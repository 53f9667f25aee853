// The sidecar of a writable mount (Linux): the folder beside an archive that
// keeps its unsaved edits on disk, so that no edit lives only in the mount
// process. For game.dat it is .game.dat.quorvel-edits/, holding:
//   journal    a header naming the archive's size and last-write time, then
//              one line per change of the tree, in the order made:
//                new PATH N        a new file at PATH, its bytes in files/N
//                stage PATH N      the file at PATH now has its bytes in files/N
//                mkdir PATH        rmdir PATH        unlink PATH
//                rename FROM TO    (a file or a folder, replacing what TO was)
//              fields are separated by TABs; paths are relative, '/'
//              between folders, UTF-8, and hold no control characters.
//   files/N    the bytes of changed and new files; unchanged entries are
//              never copied.
//   mount.pid  the mount process, for quorvel umount to wait on its save.
//   save-failed  the last save's error, while the edits wait for the next.
// A line reaches the journal before the change is answered, and fsync on a
// file of the mount flushes its staged bytes, the journal and the folders.
#ifndef AXQ_QUORVEL_MOUNT_EDITS_H
#define AXQ_QUORVEL_MOUNT_EDITS_H

#include "tools/quorvel/host.h"

#include <stdint.h>
#include <string>
#include <vector>

struct Sidecar {
    std::string path;   // the sidecar folder
    int folder = -1;    // its descriptor
    int files = -1;     // files/
    int journal = -1;   // the journal, appended to; locked while mounted
    uint64_t nextStage; // the next number for files/N
};

// The sidecar folder of an archive (an absolute path).
std::string SidecarPath(const std::string &archive);

// Opens the sidecar for a writable mount of `archive`: makes a new one, or
// resumes the one an earlier mount left (its journal's changes, split into
// fields, in *changes), or with discard removes that first. False with a
// one-line reason; a damaged or foreign sidecar is then left as it is.
bool OpenSidecar(const Archive &archive, bool discard, Sidecar *sidecar,
                 std::vector<std::vector<std::string>> *changes, std::string *why);

// Appends one change to the journal; 0 or -errno (nothing was then written).
int AppendChange(Sidecar *sidecar, const std::vector<std::string> &fields);

// Creates files/N anew for reading and writing; a descriptor or -errno.
int CreateStaged(Sidecar *sidecar, uint64_t stage);
// Opens files/N for reading and writing; a descriptor or -errno.
int OpenStaged(const Sidecar &sidecar, uint64_t stage);
void RemoveStaged(const Sidecar &sidecar, uint64_t stage);
std::string StagedPath(const Sidecar &sidecar, uint64_t stage);

// Flushes the journal and both folders; 0 or -errno.
int SyncSidecar(const Sidecar &sidecar);

// Notes the mount process, for quorvel umount.
void NoteMountProcess(const Sidecar &sidecar);
// Keeps a save's error beside the edits, for quorvel umount to show.
void NoteSaveFailure(const Sidecar &sidecar, const std::string &message);

// Closes the sidecar; with remove, deletes it and all it holds.
void CloseSidecar(Sidecar *sidecar, bool remove);

// For quorvel umount: the mount process of the sidecar at `path` (0 if none
// is noted), and the error its last save left (empty if none).
int MountProcessOf(const std::string &path);
std::string SaveFailureOf(const std::string &path);

#endif
