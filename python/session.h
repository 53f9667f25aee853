// An archive opened by the Python module, in plain C++ over the core: the
// listing and names, the verdict of test, the admission of names, the write
// target's rules, the accounting, the lock and the writer. No Python here:
// the bindings in module.cpp turn a Failure into the exception its kind names.
#ifndef AXQ_PYTHON_SESSION_H
#define AXQ_PYTHON_SESSION_H

#include "core/admit.h"
#include "core/codepage.h"
#include "core/failure.h"
#include "core/host.h"
#include "core/reader.h"
#include "core/verdict.h"

#include <functional>
#include <memory>
#include <stdint.h>
#include <string>
#include <unordered_map>
#include <vector>

// A file kept open while a session or a stream needs it: the archive, or
// the session's spool of bytes taken from files given to write().
struct OpenedFile {
    int fd = -1;
    ~OpenedFile();
};

// One entry as the archive will hold it: from the archive opened, from
// bytes given, or from a file's bytes copied into the spool when it was
// given (so that a file changed or deleted afterwards changes nothing).
struct Item {
    std::string raw;  // the name as stored
    std::string name; // as `list --json` shows it
    bool decoded = true;
    uint64_t size = 0;
    long listed = -1;                   // from the archive opened: its record's index
    std::shared_ptr<std::string> bytes; // or these bytes,
    bool spooled = false;               // or `size` bytes of the spool
    uint64_t spoolOffset = 0;           // from here
    bool removed = false;               // by remove(): kept in place, so that indices stay put
};

// Where an entry's bytes lie in a file: the archive, or the spool.
struct EntrySpan {
    std::shared_ptr<OpenedFile> file;
    uint64_t start = 0, size = 0;
    bool checked = true; // the archive: its state is checked before each read
    FileState state;     // what the file must still be for the bytes to be this entry's
};

class Session {
  public:
    Session() = default;
    Session(const Session &) = delete; // the reader points at archive_
    Session &operator=(const Session &) = delete;
    ~Session();
    // Opens `path` in mode "r", "w" or "a" with an encoding as --encoding
    // takes it. "a" and "w" hold the archive's lock until Close or Discard.
    bool Open(const std::string &path, char mode, const std::string &encoding, Failure *failure);
    char Mode() const { return mode_; }
    bool Closed() const { return closed_; }
    const std::string &Path() const { return path_; }
    // Every entry in order, removed ones among them (Item::removed).
    const std::vector<Item> &Items() const { return items_; }
    size_t Count() const { return items_.size() - removedCount_; }
    // The encoding the names are read and stored in ("CP932", ...).
    const std::string &EncodingName() const { return encoding_.name; }

    // The index of an entry by its stored bytes (raw), or by its name as
    // text, '\' and '/' alike; -1 if there is none.
    long Find(const std::string &name, bool raw) const;

    // A listed entry's position and time stamp as its record holds them
    // (0 for an entry not yet written).
    void Record(size_t index, uint64_t *position, int64_t *stamp) const;

    // Where an entry's bytes lie, checked against its directory line and
    // the file; false (kDamaged) for a damaged entry. Bytes given to
    // writestr() have no span: see PendingBytes.
    bool Span(size_t index, EntrySpan *span, Failure *failure) const;
    // Reads a span's bytes at `offset` (within it) into `buffer`, `count` at
    // most; false (kDamaged or kSystem) if they cannot be had.
    static bool ReadSpan(const EntrySpan &span, uint64_t offset, void *buffer, size_t count,
                         Failure *failure);
    // Bytes given to writestr(), or null.
    const std::string *GivenBytes(size_t index) const { return items_[index].bytes.get(); }

    // Everything `test` checks, on the archive as opened.
    bool Examine(Verdict *verdict, Failure *failure) const;

    // "w" and "a": adds or replaces (keeping its place and stored name) an
    // entry of these bytes, or of the bytes of the file at `file`, which
    // are copied now. A new name must pass the writers' rules and clash with
    // no other (kBadName), checked here and not at Close.
    bool PutBytes(const std::string &name, std::shared_ptr<std::string> bytes, Failure *failure);
    bool PutFile(const std::string &name, const std::string &file, Failure *failure);
    // "a": removes an entry.
    void Remove(size_t index);
    // "w" and "a": update --from's apply of the archive at `patch`: PutBytes
    // of each entry `names` chooses (patterns, as Select takes them; all if
    // null, none if empty), its bytes read now, under its name with '/'
    // between folders. A patch that is not whole, is this archive, or lacks
    // a NAME fails before anything is put; on another failure what was put
    // before it stays.
    bool Apply(const std::string &patch, const std::vector<std::string> *names, Failure *failure);

    // Writes the archive ("w", "a"), then releases it; nothing is written
    // when a check fails, or when `proceed` (asked before the new archive
    // takes the old one's place) says no. Either way the session is closed.
    bool Close(const std::function<bool()> &proceed, Failure *failure);
    // Closes without writing anything.
    void Discard();

  private:
    void Index() const;
    bool Admit(const std::string &name, uint64_t size, long *replaced, Item *item,
               Failure *failure);
    void Place(long replaced, Item item);

    std::string path_;
    char mode_ = 'r';
    char separator_ = 0; // between folders in the names added ("a"); 0: as given ("w")
    bool closed_ = true;
    Archive archive_;
    Listing listing_;
    Encoding encoding_;
    std::shared_ptr<OpenedFile> file_;  // the archive's file, for reading entries
    mutable EntryReader reader_;        // the same, for finding them as GetFile does
    std::shared_ptr<OpenedFile> spool_; // the bytes of files given to write()
    uint64_t spoolEnd_ = 0;
    int held_ = -1; // the lock of "w" and "a"
    bool changed_ = false;
    std::vector<Item> items_;
    size_t removedCount_ = 0;
    // Made on the first lookup: a listing only for namelist() needs none.
    mutable bool indexed_ = false;
    mutable std::unordered_map<std::string, size_t> byName_, byRaw_, byKey_;
    // The names' paths, for the clash check of each name added; made on the
    // first one.
    std::unique_ptr<NameIndex> admitted_;
};

// True if the file at `path` is an archive by its content.
bool IsArchiveFile(const std::string &path);

// Loads the entry points, once.
void StartSessions();

#endif
