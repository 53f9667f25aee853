// The sidecar of a writable mount (Linux): the folder beside an archive that
// keeps its unsaved edits on disk, so that no edit lives only in the mount
// process. For game.dat it is .game.dat.quorvel-edits/, holding:
//   journal    a header naming the archive's size and last-write time, then
//              one line per change of the tree, in the order made:
//                new PATH N        a new file at PATH, its bytes in files/N
//                stage PATH N      the file at PATH now has its bytes in files/N
//                mkdir PATH        rmdir PATH        unlink PATH
//                hide PATH         the file at PATH, deleted while open; a
//                                  rename onto PATH next takes its place
//                rename FROM TO    (a file or a folder, replacing what TO was)
//                reserve N         files/N is about to be made; if no later
//                                  line names it, a resume removes it
//                size N BYTES      files/N holds at least BYTES bytes
//                                  (written when it shrinks, and when a
//                                  written file is closed or flushed)
//                empty PATH        a folder that held no file when a save
//                                  put the archive in place, for quorvel
//                                  umount to name; a resume passes over it
//              fields are separated by TABs; paths are relative, '/'
//              between folders, UTF-8, and hold no control characters.
//   files/N    the bytes of changed and new files; unchanged entries are
//              never copied.
//   mount.pid  the mount process (for the curious; nothing waits on it).
//   saving     while a save runs: its temporary file, with that file's
//              device and inode, so that the next mount removes the file of
//              a save that was killed, or finishes one that reached its rename.
//   save-failed  the last save's error and what happens next, while the
//              edits wait; quorvel umount shows it.
// A line reaches the journal before the change is answered, and fsync on a
// file or a folder of the mount flushes the journal and the folders. The
// journal is locked while mounted, and quorvel umount waits for that lock to
// know that the save is over. The archive itself is locked too, so that two
// names of one file (hard links) are never mounted for writing at once.
#ifndef AXQ_QUORVEL_MOUNT_EDITS_H
#define AXQ_QUORVEL_MOUNT_EDITS_H

#include "core/host.h"

#include <stdint.h>
#include <sys/types.h>
#include <string>
#include <vector>

struct Sidecar {
    std::string path;   // the sidecar folder
    int folder = -1;    // its descriptor
    int files = -1;     // files/
    int journal = -1;   // the journal, appended to; locked while mounted
    int archive = -1;   // the archive, locked while mounted
    uint64_t nextStage; // the next number for files/N
};

// The sidecar folder of an archive (an absolute path).
std::string SidecarPath(const std::string &archive);

// Opens the sidecar for a writable mount of `archive`: makes a new one, or
// resumes the one an earlier mount left (its journal's changes, split into
// fields, in *changes), or with discard removes that first. A save that an
// earlier mount began and was killed in is cleaned up or, if it reached its
// rename, finished. False with a one-line reason; a damaged or foreign
// sidecar is then left as it is. What it finished or discarded on the way
// goes to `report` as notices.
bool OpenSidecar(const Archive &archive, bool discard, Sidecar *sidecar,
                 std::vector<std::vector<std::string>> *changes, std::string *why,
                 const Report &report);

// Appends one change to the journal; 0 or -errno (nothing was then written).
int AppendChange(Sidecar *sidecar, const std::vector<std::string> &fields);

// Journals a new number for files/N, never used before in this sidecar;
// 0 or -errno.
int ReserveStage(Sidecar *sidecar, uint64_t *stage);
// Creates files/N anew for reading and writing; a descriptor or -errno.
int CreateStaged(Sidecar *sidecar, uint64_t stage);
// Opens files/N for reading and writing; a descriptor or -errno.
int OpenStaged(const Sidecar &sidecar, uint64_t stage);
void RemoveStaged(const Sidecar &sidecar, uint64_t stage);
std::string StagedPath(const Sidecar &sidecar, uint64_t stage);
// Removes every files/N whose number is not in `live` (sorted).
void SweepStaged(const Sidecar &sidecar, const std::vector<uint64_t> &live);

// Flushes the journal and both folders; 0 or -errno.
int SyncSidecar(const Sidecar &sidecar);

// Notes the mount process.
void NoteMountProcess(const Sidecar &sidecar);
// Journals, for quorvel umount, a folder a save that succeeded left out.
void NoteEmptyFolder(Sidecar *sidecar, const std::string &folder);
// Notes, flushed, the temporary file a save writes: by its name before it
// is made, then with its device and inode once it exists; 0 or -errno.
int NoteSaving(const Sidecar &sidecar, const std::string &temporary, bool made);
// Keeps a save's error beside the edits, for quorvel umount to show; the
// note of the save under way goes.
void NoteSaveFailure(const Sidecar &sidecar, const std::string &message);

// Closes the sidecar; with remove, deletes it and all it holds.
void CloseSidecar(Sidecar *sidecar, bool remove);

// For a read-only mount: whether the sidecar at `path` is only what is left
// of a save that reached its rename, the archive being the saved one.
bool SaveFinished(const std::string &path, const Archive &archive);

// For quorvel umount: the journal of the sidecar at `path`, opened before
// the unmount (-1 if there is none). The mount lets go of its lock when its
// save is over or when it ends in any way.
int WatchSidecar(const std::string &path);
// Whether a mount still holds the watched journal's lock.
bool MountHoldsSidecar(int watched);
// Once no mount holds it: whether the save put the archive in place (the
// journal is gone), with the folders it named empty in `empty` (from the
// journal's byte `from` on); closes `watched`.
bool SaveOutcome(int watched, off_t from, std::vector<std::string> *empty);
// The mount process the sidecar at `path` notes, if it still has that
// sidecar's journal open; 0 otherwise.
pid_t NotedMountProcess(const std::string &path);
// The error the last save of the sidecar at `path` left (empty if none).
std::string SaveFailureOf(const std::string &path);

#endif
