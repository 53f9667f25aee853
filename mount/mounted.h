// The state a mount shares between its parts (Linux): the tree of folders
// and files, the kept bytes of open entries, the open files, and the
// functions each part offers the others.
#ifndef AXQ_QUORVEL_MOUNT_MOUNTED_H
#define AXQ_QUORVEL_MOUNT_MOUNTED_H

#include "core/host.h"
#include "core/reader.h"
#include "core/edits.h"
#include "core/select.h"
#include "core/writer.h"

#define FUSE_USE_VERSION 31
#include <fuse_lowlevel.h>
#include <list>
#include <stdint.h>
#include <string>
#include <unordered_map>
#include <vector>

static constexpr size_t kNone = (size_t)-1;
// No node or no entry, where a node keeps one in 32 bits.
static constexpr uint32_t kNoNode = 0xFFFFFFFFu;
// The largest file an entry can be: its offsets are 32-bit.
static constexpr uint64_t kLargestFile = 0xFFFFFFFFu;

// A folder or a file of the tree, kept small: a mount may have millions.
// Its name is a run of the listing's directory text or of the tree's arena; a folder knows its
// children as a list through them, and the tree finds a child by name in
// one hash table keyed by the folder and the name (see Child).
struct Node {
    uint64_t name = 0;  // where its name starts: in the arena (Mounted::names) or the directory
    uint64_t stage = 0; // its bytes are the sidecar's files/N; 0 while not changed
    uint64_t size = 0;
    uint32_t parent = 0;
    uint32_t firstChild = kNoNode, next = kNoNode, previous = kNoNode; // of a folder; siblings
    uint32_t record = kNoNode; // the entry whose bytes the file has while not staged
    uint32_t place = 0;        // its place among the entries of a saved archive
    int32_t opens = 0;         // open files of it; its staged bytes stay until the last closes
    uint16_t nameLength = 0;
    bool folder = true;
    bool removed = false; // deleted or replaced, and out of the tree
};

// An entry's bytes while files of it are open, and afterwards while the cache has room.
struct Held {
    EntryBytes entry;
    int opens = 0;
    bool cached = false;
    std::list<size_t>::iterator place; // in the cache, newest first
};

// An open file: its node, and either the held bytes of its entry or a
// descriptor of its staged bytes.
struct Handle {
    size_t node = 0;
    size_t held = kNone;
    int fd = -1;
    bool wrote = false; // written since its size last went to the journal
};

struct Mounted {
    Archive archive;
    EntryReader reader; // the archive opened once, for every entry's bytes
    Listing listing;
    Encoding encoding;
    std::vector<Node> nodes;     // node 0 is the root; removed nodes stay unused
    std::vector<char> names;     // the names of the nodes, one after another
    std::vector<uint32_t> slots; // the hash table of Child: nodes, kNoNode or kDeadSlot
    size_t usedSlots = 0;        // holding a node or kDeadSlot
    // What became of each entry: a file of the tree at the path its name
    // gives, left out for a name listed before, or neither (a folder entry,
    // or a name the tree cannot hold).
    std::vector<uint8_t> shown;
    // The folder each folder entry names, by record: the entry stays while
    // that folder does, not another made at its path.
    std::unordered_map<uint32_t, uint32_t> entryFolders;
    int64_t time = 0; // the archive's last-write time, for unchanged files and folders
    uid_t owner;
    gid_t group;
    uint64_t cacheBound = 0, cachedBytes = 0;
    std::unordered_map<size_t, Held> held; // by record
    std::list<size_t> cache;               // records whose blocks are kept, newest first
    std::unordered_map<uint64_t, Handle> handles;
    uint64_t nextHandle = 1;
    bool changeReported = false;
    bool writable = false;
    bool edited = false; // a change of the tree was applied, live or resumed
    Sidecar sidecar;
    size_t nextPlace = 0; // for new files: after every entry, in the order made
    char separator = '\\';
    bool replaying = false;                               // applying a resumed journal
    std::unordered_map<uint64_t, uint64_t> stagedAtLeast; // files/N's size as journaled
    // The last file deleted while open, whose place a rename onto its path
    // takes next (an editor's save over a file another program holds open).
    std::string vacated;
    size_t vacatedPlace = 0;
};
extern Mounted mounted;

// The compact tree's storage (nodes.cpp).
static constexpr uint32_t kDeadSlot = 0xFFFFFFFEu;
enum Shown : uint8_t { kEntryNotShown = 0, kEntryShown = 1, kEntryHidden = 2 };
// The child of a folder by name, or kNone.
size_t Child(size_t node, const std::string &name);
// A new node, named `name` in `parent`, which has no child of that name.
// `stored`, if given, is where the listing's directory text holds the
// name's bytes as they are: the node names them there instead of copying.
size_t AddNode(size_t parent, const std::string &name, bool folder, const char *stored = nullptr);
// Takes a node out of its folder (it keeps its name), and puts it into a
// folder under a name; the folder has no child of that name.
void Detach(size_t node);
void Attach(size_t node, size_t parent, const std::string &name, const char *stored = nullptr);
std::string NameOf(size_t node);
bool HasChildren(size_t node);
// The children of a folder, ordered by name (as bytes).
std::vector<size_t> ChildrenOf(size_t node);
// Empties the tree to its root alone, with room for `nodes` nodes.
void ClearTree(size_t nodes);

// The tree (tree.cpp).
// An entry's path in the tree as its name gives it, '/' between folders,
// or "" if the name is not one the tree can hold.
std::string EntryTreePath(const EntryRecord &record);
void BuildTree();
size_t Find(const std::string &path);
std::string PathOf(size_t node);
int ParentOf(const std::string &path, size_t *parent, std::string *name);
bool StillTheArchive();
int StoredPath(const std::string &path, std::string *stored);
int CheckNames(size_t node, const std::string &path);

// Changes of the tree (changes.cpp).
int ApplyChange(const std::vector<std::string> &f, bool apply);
int Change(const std::vector<std::string> &fields);
int Stage(size_t node, uint64_t keep);
int Resize(size_t node, uint64_t size);
// Journals that a file's staged bytes are at least its size now; 0 or -errno.
int NoteSize(size_t node);
// After a resumed journal: every file's staged bytes are there, and none
// are shorter than journaled; the staged files nothing names are removed.
// False with the reason.
bool CheckStaged(std::string *why);

// Reading, shared by both kinds of mount (view.cpp). A node's inode is
// its index plus FUSE's root inode, so the root is node 0.
fuse_ino_t InodeOf(size_t node);
// The node of an inode, or kNone.
size_t NodeOfInode(fuse_ino_t inode);
// How long the kernel may keep names and attributes, in seconds.
double CacheSeconds();
void FillAttributes(size_t node, struct stat *st);
// A node and its attributes as a lookup-like request is answered, and the answer.
void FillEntry(size_t node, struct fuse_entry_param *entry);
void ReplyEntry(fuse_req_t request, size_t node);
// Opens a file of the tree for `file`; 0 or -errno.
int OpenHandle(size_t node, struct fuse_file_info *file);
Handle *HandleOf(struct fuse_file_info *file);
// Closes an open file: its written size journaled, its held bytes let go.
void Forsake(struct fuse_file_info *file);
// Journals what was written through an open file as its least size, so
// that a resume knows staged bytes cut short behind its back; 0 or -errno.
int NoteWritten(Handle *handle);
void AddViewOperations(struct fuse_lowlevel_ops *operations);

// Changing, for a writable mount (edit.cpp).
void AddEditOperations(struct fuse_lowlevel_ops *operations);

// The save when a writable mount ends (save.cpp).
int Save();

#endif
