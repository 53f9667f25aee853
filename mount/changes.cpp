// The changes of a writable mount's tree, as its journal names them: each
// checked, journaled, then made; and the staging of an entry's bytes in the
// sidecar when it is first changed.
#include "mount/mounted.h"
#include "core/translate.h"
#include "core/output.h"

#include "archive/archive.h"

#include <algorithm>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

static constexpr size_t kCopyPiece = 1 << 20;

// --- Changes of the tree, as the journal names them ---
// Each checks the change and, with apply, makes it. A live change is
// checked, journaled, then applied; a resumed journal is applied line by line.

// Takes a node out of the tree. A file still open stays readable and
// writable through its open files, as a deleted file does on a local disk,
// and its staged bytes go when the last one closes.
static void ForgetFile(size_t node) {
    Detach(node);
    Node &n = mounted.nodes[node];
    n.removed = true;
    if (n.stage != 0 && n.opens == 0)
        RemoveStaged(mounted.sidecar, n.stage);
}

// The size of a file's staged bytes. A resumed journal may name staged
// bytes that a later change removed (a file replaced or deleted since).
static int StagedSize(uint64_t stage, uint64_t *size) {
    struct stat st;
    *size = 0;
    if (stat(StagedPath(mounted.sidecar, stage).c_str(), &st) != 0)
        return mounted.replaying && errno == ENOENT ? 0 : -errno;
    *size = (uint64_t)st.st_size;
    return 0;
}

static int NewFile(const std::string &path, uint64_t stage, bool apply) {
    size_t parent;
    std::string name;
    int error = ParentOf(path, &parent, &name);
    if (error == 0 && Child(parent, name) != kNone)
        error = -EEXIST;
    uint64_t size = 0;
    if (error == 0 && apply)
        error = StagedSize(stage, &size);
    if (error == 0 && apply) {
        size_t node = AddNode(parent, name, false);
        mounted.nodes[node].stage = stage;
        mounted.nodes[node].size = size;
        mounted.nodes[node].place = (uint32_t)mounted.nextPlace++;
    }
    return error;
}

static int StageFile(const std::string &path, uint64_t stage, bool apply) {
    size_t node = Find(path);
    if (node == kNone)
        return -ENOENT;
    if (mounted.nodes[node].folder)
        return -EISDIR;
    uint64_t size = 0;
    int error = apply ? StagedSize(stage, &size) : 0;
    if (error == 0 && apply) {
        if (mounted.nodes[node].stage != 0)
            RemoveStaged(mounted.sidecar, mounted.nodes[node].stage);
        mounted.nodes[node].stage = stage;
        mounted.nodes[node].size = size;
    }
    return error;
}

static int MakeFolder(const std::string &path, bool apply) {
    size_t parent;
    std::string name;
    int error = ParentOf(path, &parent, &name);
    if (error == 0 && Child(parent, name) != kNone)
        error = -EEXIST;
    if (error == 0 && apply)
        AddNode(parent, name, true);
    return error;
}

static int RemoveNode(const std::string &path, bool folder, bool apply) {
    size_t node = Find(path);
    if (node == kNone || node == 0)
        return node == 0 ? -EBUSY : -ENOENT;
    const Node &n = mounted.nodes[node];
    if (n.folder != folder)
        return folder ? -ENOTDIR : -EISDIR;
    if (folder && HasChildren(node))
        return -ENOTEMPTY;
    if (apply)
        ForgetFile(node);
    return 0;
}

// Moves a file or a folder; a file put over a file takes that file's place
// among the entries, as editors save by writing a new file and renaming it
// over the old one.
static int Rename(const std::string &from, const std::string &to, bool apply,
                  const std::string &vacated) {
    size_t node = Find(from), parent;
    std::string name;
    if (node == kNone || node == 0)
        return node == 0 ? -EBUSY : -ENOENT;
    int error = ParentOf(to, &parent, &name);
    for (size_t up = parent; error == 0 && up != 0; up = mounted.nodes[up].parent) {
        if (up == node)
            error = -EINVAL; // a folder into itself
    }
    if (error != 0)
        return error;
    size_t target = Child(parent, name);
    if (target == node)
        return 0;
    if (target != kNone) {
        const Node &t = mounted.nodes[target];
        if (t.folder && !mounted.nodes[node].folder)
            return -EISDIR;
        if (!t.folder && mounted.nodes[node].folder)
            return -ENOTDIR;
        if (t.folder && HasChildren(target))
            return -ENOTEMPTY;
    }
    if (!apply)
        return 0;
    Node &moved = mounted.nodes[node];
    if (target != kNone) {
        if (!moved.folder)
            moved.place = mounted.nodes[target].place;
        ForgetFile(target);
    } else if (!moved.folder && to == vacated) {
        moved.place = (uint32_t)mounted.vacatedPlace;
    }
    Detach(node);
    Attach(node, parent, name);
    return 0;
}

int ApplyChange(const std::vector<std::string> &f, bool apply) {
    const std::string &op = f[0];
    if (op == "reserve")
        return 0;
    if (op == "size") {
        if (apply)
            mounted.stagedAtLeast[strtoull(f[1].c_str(), nullptr, 10)] =
                strtoull(f[2].c_str(), nullptr, 10);
        return 0;
    }
    mounted.edited = mounted.edited || apply;
    // A file deleted while open; FUSE calls it hiding. It goes as unlink
    // does, and a rename onto its path next takes its place.
    std::string vacated;
    if (apply)
        vacated.swap(mounted.vacated);
    if (op == "hide") {
        size_t node = Find(f[1]);
        int error = RemoveNode(f[1], false, apply);
        if (error == 0 && apply) {
            mounted.vacated = f[1];
            mounted.vacatedPlace = mounted.nodes[node].place;
        }
        return error;
    }
    if (op == "new")
        return NewFile(f[1], strtoull(f[2].c_str(), nullptr, 10), apply);
    if (op == "stage")
        return StageFile(f[1], strtoull(f[2].c_str(), nullptr, 10), apply);
    if (op == "mkdir")
        return MakeFolder(f[1], apply);
    if (op == "rmdir" || op == "unlink")
        return RemoveNode(f[1], op == "rmdir", apply);
    return Rename(f[1], f[2], apply, vacated);
}

// A live change: checked, then in the journal, then made.
int Change(const std::vector<std::string> &fields) {
    int error = ApplyChange(fields, false);
    if (error == 0)
        error = AppendChange(&mounted.sidecar, fields);
    if (error == 0)
        error = ApplyChange(fields, true);
    return error;
}

int NoteSize(size_t node) {
    const Node &n = mounted.nodes[node];
    return n.stage == 0 ? 0
                        : AppendChange(&mounted.sidecar,
                                       {"size", std::to_string(n.stage), std::to_string(n.size)});
}

// Gives an unchanged file staged bytes: the first `keep` bytes of its entry.
// The number is journaled before files/N is made, so that a copy cut short
// by a crash is known and removed on resume, and its number never reused.
int Stage(size_t node, uint64_t keep) {
    uint64_t stage = 0;
    int error = ReserveStage(&mounted.sidecar, &stage);
    int fd = error == 0 ? CreateStaged(&mounted.sidecar, stage) : -1;
    if (error == 0 && fd < 0)
        error = fd;
    if (error == 0 && keep > 0) {
        EntryBytes bytes;
        EntryRecord record = mounted.listing[mounted.nodes[node].record];
        int32_t result =
            StillTheArchive() ? ReadListedEntry(&mounted.reader, record, &bytes) : kArchiveChanged;
        error = result == SPI_OK ? 0 : result == SPI_NO_MEMORY ? -ENOMEM : -EIO;
        for (uint64_t done = 0; error == 0 && done < keep;) {
            size_t piece = (size_t)std::min<uint64_t>(keep - done, kCopyPiece);
            ssize_t w = write(fd, bytes.bytes + done, piece);
            error = w < 0 ? -errno : 0;
            done += w > 0 ? (uint64_t)w : 0;
        }
        if (result == SPI_OK)
            FreeEntry(&bytes);
    }
    if (fd >= 0)
        close(fd);
    // A file deleted while open changes only through its open files: it has
    // no path for the journal, and nothing of it is saved.
    if (error == 0 && !mounted.nodes[node].removed) {
        error = Change({"stage", PathOf(node), std::to_string(stage)});
    } else if (error == 0) {
        mounted.nodes[node].stage = stage;
        mounted.nodes[node].size = keep;
    }
    if (error == 0 && keep > 0)
        error = NoteSize(node);
    if (error != 0 && fd >= 0 && mounted.nodes[node].stage != stage)
        RemoveStaged(mounted.sidecar, stage);
    return error;
}

// Sets a file's size, staging it first if it is unchanged. A size it has
// already changes nothing: an empty file opened to be cut to nothing, or a
// touch, stages nothing.
int Resize(size_t node, uint64_t size) {
    if (size > kLargestFile)
        return -EFBIG;
    bool staged = mounted.nodes[node].stage != 0;
    if (!staged && size == mounted.nodes[node].size)
        return 0;
    int error = staged ? 0 : Stage(node, std::min<uint64_t>(size, mounted.nodes[node].size));
    Node &n = mounted.nodes[node];
    // A file that shrinks has its new size journaled first: its staged
    // bytes are never shorter than the journal says.
    uint64_t was = n.size;
    n.size = std::min(n.size, size);
    if (error == 0 && staged && size < was)
        error = NoteSize(node);
    if (error == 0 && truncate(StagedPath(mounted.sidecar, n.stage).c_str(), (off_t)size) != 0)
        error = -errno;
    n.size = error == 0 ? size : was;
    return error;
}

bool CheckStaged(std::string *why) {
    std::vector<uint64_t> live;
    for (size_t node = 1; node < mounted.nodes.size(); node++) {
        const Node &n = mounted.nodes[node];
        if (n.removed || n.stage == 0)
            continue;
        live.push_back(n.stage);
        struct stat st;
        std::string staged = StagedPath(mounted.sidecar, n.stage);
        auto least = mounted.stagedAtLeast.find(n.stage);
        if (stat(staged.c_str(), &st) != 0) {
            *why = Format(_("%s: its changed bytes, %s, are missing"), PathOf(node).c_str(),
                          staged.c_str());
            return false;
        }
        if (least != mounted.stagedAtLeast.end() && (uint64_t)st.st_size < least->second) {
            *why = Format(_("%s: its changed bytes, %s, hold %llu bytes of the %llu written"),
                          PathOf(node).c_str(), staged.c_str(), (unsigned long long)st.st_size,
                          (unsigned long long)least->second);
            return false;
        }
    }
    std::sort(live.begin(), live.end());
    SweepStaged(mounted.sidecar, live);
    return true;
}
