// The archive writer shared by pack and update: it lays out a new archive
// (the magic line, one entry line per entry, an empty closing line, then the
// bytes), refuses what the format cannot hold before writing anything, and
// puts the result in place only when it is complete.
#ifndef AXQ_QUORVEL_WRITER_H
#define AXQ_QUORVEL_WRITER_H

#include "core/codepage.h"
#include "core/failure.h"
#include "core/host.h"

#include <functional>
#include <stdint.h>
#include <string>
#include <vector>

// One entry of the new archive: its name as stored (bytes in the archive's
// code page), and its bytes, from a file or from an entry of an archive.
struct NewEntry {
    std::string storedName;
    std::string shownName; // for messages: the file's name, or the entry's
    uint64_t size = 0;
    std::string file;   // read from this file (all of it, or with
    bool slice = false; // slice, `size` bytes from `offset`), or if empty:
    uint64_t offset = 0;
    const Archive *archive = nullptr; // from this archive's entry,
    EntryRecord record;               // as listed,
    const char *bytes = nullptr;      // or, if set, these `size` bytes in memory
    // If set, shownName is left empty and the stored name is shown decoded:
    // a name that only a message needs is not decoded for every entry.
    const Encoding *encoding = nullptr;
};

// The name an entry is shown by in a message.
std::string ShownEntryName(const NewEntry &entry);

// The entries of a new archive, one at a time, in their order: at(i) for
// i < count, asked for more than once, so that no caller need hold a
// million of them. The entry returned stays valid until the next call.
struct EntrySource {
    size_t count = 0;
    std::function<const NewEntry &(size_t)> at;
};
// The entries of a vector, which must outlive the source.
EntrySource EntriesOf(const std::vector<NewEntry> &entries);

// Refuses, before anything is written, a name the format cannot hold
// (empty, with TAB, CR or LF, over 199 bytes as stored), or an archive that
// would pass the largest offset (4 GiB - 1); *reason is then the sentence,
// "SUBJECT: message". An archive with no entries is valid.
bool CheckNewArchive(const std::string &target, const EntrySource &entries, std::string *reason);
inline bool CheckNewArchive(const std::string &target, const std::vector<NewEntry> &entries,
                            std::string *reason) {
    return CheckNewArchive(target, EntriesOf(entries), reason);
}

// What a caller may learn of a write: the reason of a failure, as reported,
// and the temporary file, told once it exists and before any byte is
// written (a nonzero -errno from `created` stops the write).
struct WriteWatch {
    std::string reason;
    std::function<int(const std::string &temporary)> created;
    // The archive being rewritten: if another program changes or replaces
    // it while the new one is written, the new one does not replace it.
    const Archive *source = nullptr;
    // Asked once everything is written, before the new file takes the
    // target's place: false calls the write off, and the target is left as
    // it was (the module asks whether Ctrl-C was pressed).
    std::function<bool()> proceed;
    // The progress line on a terminal, for a command run by a person.
    bool progress = false;
    // After a failure: kDamaged if an entry of an archive could not be read
    // or the archive being rewritten changed, kRefused if the target was
    // refused or the write called off, else kSystem with its errno.
    FailureKind kind = FailureKind::kNone;
    int error = 0;
};

// Writes the archive to a new file that replaces `target` only when complete
// and flushed. An input that changes size while it is read, or an entry that
// cannot be read, fails the whole archive: the target is left as it was.
// Returns an exit status; a failure's sentence is in watch->reason.
int WriteArchive(const std::string &target, const EntrySource &entries, WriteWatch *watch);
inline int WriteArchive(const std::string &target, const std::vector<NewEntry> &entries,
                        WriteWatch *watch) {
    return WriteArchive(target, EntriesOf(entries), watch);
}

#endif
