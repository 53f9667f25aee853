// An archive opened by the Python module, in plain C++ over the tool's own
// code: the listing and names (host, select), the accounting and the lock
// (account, files) and the writer. No Python here: the bindings in
// module.cpp turn a Failure into the exception it names.
#ifndef AXQ_PYTHON_SESSION_H
#define AXQ_PYTHON_SESSION_H

#include "core/codepage.h"
#include "core/host.h"

#include <memory>
#include <stdint.h>
#include <string>
#include <unordered_map>
#include <vector>

// Why a call failed, for the exception it becomes.
struct Failure {
    enum Kind { kNone, kBadArchive, kMissing, kSystem, kValue } kind = kNone;
    int error = 0;        // errno, for kSystem
    std::string message;  // the sentence quorvel prints, without "quorvel: "
    std::string filename; // for kSystem: the file the system refused, if one
};

// One entry as the archive will hold it: from the archive opened, from a
// file on disk, or from bytes given.
struct Item {
    std::string raw;  // the name as stored
    std::string name; // as `list --json` shows it
    bool decoded = true;
    uint64_t size = 0;
    long listed = -1;                   // from the archive opened: its record's index
    std::string file;                   // from this file
    std::shared_ptr<std::string> bytes; // or from these bytes
};

// The archive file as opened, kept open while a session or a stream needs it.
struct OpenedFile {
    int fd = -1;
    ~OpenedFile();
};

// Where an entry's bytes lie in the archive file.
struct EntrySpan {
    std::shared_ptr<OpenedFile> file;
    uint64_t start = 0, size = 0;
    FileState state; // what the file must still be for the bytes to be this entry's
};

class Session {
  public:
    ~Session();
    // Opens `path` in mode "r", "w" or "a" with an encoding as --encoding
    // takes it. "a" and "w" hold the archive's lock until Close or Discard.
    bool Open(const std::string &path, char mode, const std::string &encoding, Failure *failure);
    char Mode() const { return mode_; }
    bool Closed() const { return closed_; }
    const std::string &Path() const { return path_; }
    const std::vector<Item> &Items() const { return items_; }

    // The index of an entry by its shown name, or by its stored bytes; -1
    // if there is none.
    long Find(const std::string &name, bool raw) const;

    // A listed entry's position and time stamp as its record holds them
    // (0 for an entry not yet written).
    void Record(size_t index, uint64_t *position, int64_t *stamp) const;

    // Where a listed entry's bytes lie, checked against the directory line
    // and the file; false (kBadArchive) for a damaged entry.
    bool Span(size_t index, EntrySpan *span, Failure *failure) const;
    // Reads a span's bytes at `offset` (within it) into `buffer`, `count` at
    // most; false (kBadArchive or kSystem) if they cannot be had.
    static bool ReadSpan(const EntrySpan &span, uint64_t offset, void *buffer, size_t count,
                         Failure *failure);
    // An entry not from the archive: its bytes, read from its file if it
    // has one.
    bool PendingBytes(size_t index, std::string *bytes, Failure *failure) const;

    // The first entry whose bytes cannot be read whole, or -1; a listing
    // that is not the whole archive fails (kBadArchive).
    long FirstDamaged(Failure *failure) const;

    // "w" and "a": adds or replaces (keeping its place) an entry. A name
    // matches an entry whose decoded name is the same with '\' read as '/'.
    bool Put(const std::string &name, const std::string &file, std::shared_ptr<std::string> bytes,
             uint64_t size, Failure *failure);
    // "a": removes an entry (kMissing if there is none).
    bool Remove(size_t index);

    // Writes the archive ("w", "a"), then releases it; nothing is written
    // when a check fails. Either way the session is closed.
    bool Close(Failure *failure);
    // Closes without writing anything.
    void Discard();

  private:
    void Index() const;
    std::string Key(size_t index) const;
    bool Refuse(Failure *failure, Failure::Kind kind, const std::string &message) const;

    std::string path_;
    char mode_ = 'r';
    bool closed_ = true;
    Archive archive_;
    Listing listing_;
    Encoding encoding_;
    std::shared_ptr<OpenedFile> file_; // the archive's file, for reading entries
    int held_ = -1;                    // the lock of "w" and "a"
    bool changed_ = false;
    std::vector<Item> items_;
    // Made on the first lookup: a listing only for namelist() needs none.
    mutable bool indexed_ = false;
    mutable std::unordered_map<std::string, size_t> byName_, byRaw_, byKey_;
};

// True if the file at `path` is an archive by its content.
bool IsArchiveFile(const std::string &path);

// Loads the entry points, once.
void StartSessions();

#endif
