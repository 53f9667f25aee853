// The Python module's archives: opening, checking and rewriting them through
// the same calls, locks and sentences as quorvel's list, cat, test and
// update, with every message kept for an exception instead of printed.
#include "python/session.h"

#include "archive/archive.h"
#include "core/account.h"
#include "core/files.h"
#include "core/names.h"
#include "core/output.h"
#include "core/select.h"
#include "core/translate.h"
#include "core/writer.h"

#include <algorithm>
#include <errno.h>
#include <fcntl.h>
#include <mutex>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static constexpr size_t kCheckChunk = 1u << 20;

// The tool's messages, kept here for the length of a call.
struct Captured {
    std::string text;
    Captured() { CaptureErrors(&text); }
    ~Captured() { CaptureErrors(nullptr); }
};

OpenedFile::~OpenedFile() {
    if (fd >= 0)
        close(fd);
}

void StartSessions() {
    static std::once_flag once;
    std::call_once(once, [] { LoadPlugin(nullptr); });
}

bool IsArchiveFile(const std::string &path) {
    Captured captured;
    Archive archive;
    return OpenArchive(path, &archive, true) == kIsArchive;
}

bool Session::Refuse(Failure *failure, Failure::Kind kind, const std::string &message) const {
    failure->kind = kind;
    failure->message = message;
    return false;
}

static bool SystemFailure(Failure *failure, int error, const std::string &subject) {
    failure->kind = Failure::kSystem;
    failure->error = error != 0 ? error : EIO;
    failure->message = subject + ": " + strerror(failure->error);
    failure->filename = subject;
    return false;
}

static FileState StateOfFile(const struct stat &st) {
    FileState state;
    state.size = (uint64_t)st.st_size;
    state.modified = (int64_t)st.st_mtim.tv_sec;
    state.modifiedNanoseconds = (int64_t)st.st_mtim.tv_nsec;
    state.device = (uint64_t)st.st_dev;
    state.inode = (uint64_t)st.st_ino;
    return state;
}

Session::~Session() { Discard(); }

bool Session::Open(const std::string &path, char mode, const std::string &encodingText,
                   Failure *failure) {
    Captured captured;
    path_ = path;
    mode_ = mode;
    Encoding chosen;
    if (!ParseEncoding(encodingText, &chosen))
        return Refuse(failure, Failure::kValue,
                      Format(_("unknown encoding '%s'; accepted: %s"), encodingText.c_str(),
                             AcceptedEncodings().c_str()));
    struct stat st;
    if (mode == 'w') {
        if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            return SystemFailure(failure, S_ISDIR(st.st_mode) ? EISDIR : EINVAL, path);
        if (!HoldArchive(path, &held_))
            return Refuse(failure, Failure::kBadArchive,
                          path + ": " +
                              _("the archive is mounted for writing or being updated; the "
                                "archive is left as it is"));
        // Names are stored as the system writes them unless an encoding is given.
        encoding_ = chosen.codePage != 0 ? chosen : SystemEncoding();
        closed_ = false;
        changed_ = true;
        return true;
    }
    if (stat(path.c_str(), &st) != 0)
        return SystemFailure(failure, errno, path);
    if (S_ISDIR(st.st_mode))
        return SystemFailure(failure, EISDIR, path);
    ArchiveCheck check = OpenArchive(path, &archive_);
    if (check != kIsArchive)
        return Refuse(failure, Failure::kBadArchive, captured.text);
    file_ = std::make_shared<OpenedFile>();
    file_->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file_->fd < 0 || fstat(file_->fd, &st) != 0)
        return SystemFailure(failure, errno, path);
    if (!(StateOfFile(st) == archive_.state) || ListArchive(archive_, &listing_) != 0) {
        file_.reset();
        if (captured.text.empty())
            captured.text = path + ": " + _("the archive changed while it was listed");
        return Refuse(failure, Failure::kBadArchive, captured.text);
    }
    encoding_ = ListingEncoding(listing_, chosen);
    items_.reserve(listing_.count);
    for (size_t i = 0; i < listing_.count; i++) {
        EntryRecord record = listing_[i];
        Item item;
        item.raw = record.filename;
        item.decoded = RecordName(record, encoding_, &item.name);
        if (!item.decoded)
            item.name = EscapeBytes(item.raw.data(), item.raw.size());
        item.size = record.filesize;
        item.listed = (long)i;
        items_.push_back(std::move(item));
    }
    closed_ = false;
    if (mode == 'a') {
        // As update: the archive is held, and must be what the listing shows.
        std::string why, edits;
        bool ok = false;
        if (!HoldArchive(path, &held_))
            why = _("the archive is mounted for writing or being updated; the archive is left as "
                    "it is");
        else if (!(edits = UnsavedEditsOf(path)).empty())
            why = Format(_("a writable mount's unsaved edits are in %s, and would no longer apply "
                           "after this update; save them (mount --write, then umount) or drop "
                           "them (mount --write --discard-edits) first; the archive is left as "
                           "it is"),
                         edits.c_str());
        else if (!ListingAccountsForArchive(archive_, listing_, false, &why) ||
                 !ListingNamesAreDistinct(listing_, encoding_, &why))
            why = Format(_("%s; the archive is left as it is"), why.c_str());
        else
            ok = true;
        for (size_t i = 0; ok && i < items_.size(); i++) {
            FileInfo whole;
            if (items_[i].raw.size() == (size_t)kMaxNameLength &&
                LookUpEntry(archive_, listing_, items_[i].raw, &whole) != SPI_OK) {
                why = Format(_("%s: the entry's name is longer than 199 bytes and cannot be kept"),
                             items_[i].name.c_str());
                ok = false;
            }
        }
        if (!ok) {
            Discard();
            return Refuse(failure, Failure::kBadArchive, path + ": " + why);
        }
    }
    return true;
}

// A name as a key for matching: '\' and '/' both separate folders.
std::string Session::Key(size_t index) const {
    std::string key = items_[index].name;
    std::replace(key.begin(), key.end(), '\\', '/');
    return key;
}

void Session::Index() const {
    if (indexed_)
        return;
    for (size_t i = 0; i < items_.size(); i++) {
        byName_.emplace(items_[i].name, i);
        byRaw_.emplace(items_[i].raw, i);
        byKey_.emplace(Key(i), i);
    }
    indexed_ = true;
}

long Session::Find(const std::string &name, bool raw) const {
    Index();
    const auto &map = raw ? byRaw_ : byName_;
    auto found = map.find(name);
    return found == map.end() ? -1 : (long)found->second;
}

void Session::Record(size_t index, uint64_t *position, int64_t *stamp) const {
    long listed = items_[index].listed;
    *position = listed >= 0 ? (uint64_t)listing_[listed].position : 0;
    *stamp = listed >= 0 ? (int64_t)listing_[listed].timestamp : 0;
}

bool Session::Span(size_t index, EntrySpan *span, Failure *failure) const {
    const Item &item = items_[index];
    EntryRecord record = listing_[item.listed];
    // The entry's directory line, read again: its two offsets place the bytes.
    char line[kLineProbeSize + 1] = {0};
    ssize_t got = pread(file_->fd, line, kLineProbeSize, (off_t)record.position);
    const char *lf = got > 0 ? (const char *)memchr(line, '\n', (size_t)got) : nullptr;
    uint32_t start = 0, end = 0;
    if (got < 0)
        return SystemFailure(failure, errno, path_);
    if (lf == nullptr || ParseEntryRange(line, (int32_t)(lf - line), &start, &end) < 0 ||
        end < start || end - start != record.filesize || end > archive_.state.size)
        return Refuse(failure, Failure::kBadArchive,
                      path_ + ": " + item.name + ": " + ResultText(SPI_FILE_ERROR));
    span->file = file_;
    span->start = start;
    span->size = end - start;
    span->state = archive_.state;
    return true;
}

bool Session::ReadSpan(const EntrySpan &span, uint64_t offset, void *buffer, size_t count,
                       Failure *failure) {
    // Checked before the read: an archive rewritten in place may hold
    // another entry here now. One replaced by a rename leaves this file as it was.
    struct stat st;
    if (fstat(span.file->fd, &st) != 0)
        return SystemFailure(failure, errno, "");
    if (!(StateOfFile(st) == span.state)) {
        failure->kind = Failure::kBadArchive;
        failure->message = ResultText(kArchiveChanged);
        return false;
    }
    size_t done = 0;
    while (done < count) {
        ssize_t got = pread(span.file->fd, (char *)buffer + done, count - done,
                            (off_t)(span.start + offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return SystemFailure(failure, errno, "");
        if (got == 0) {
            failure->kind = Failure::kBadArchive;
            failure->message = ResultText(SPI_FILE_ERROR);
            return false;
        }
        done += (size_t)got;
    }
    return true;
}

bool Session::PendingBytes(size_t index, std::string *bytes, Failure *failure) const {
    const Item &item = items_[index];
    if (item.bytes) {
        *bytes = *item.bytes;
        return true;
    }
    FILE *in = fopen(item.file.c_str(), "rb");
    if (in == nullptr)
        return SystemFailure(failure, errno, item.file);
    bytes->assign((size_t)item.size, '\0');
    size_t got = fread(&(*bytes)[0], 1, bytes->size(), in);
    int error = errno;
    fclose(in);
    if (got != bytes->size())
        return SystemFailure(failure, error, item.file);
    return true;
}

long Session::FirstDamaged(Failure *failure) const {
    Captured captured;
    std::vector<char> scratch(kCheckChunk);
    for (size_t i = 0; i < items_.size(); i++) {
        if (items_[i].listed < 0)
            continue;
        EntrySpan span;
        Failure ignored;
        bool ok = Span(i, &span, &ignored);
        for (uint64_t at = 0; ok && at < span.size; at += kCheckChunk)
            ok = ReadSpan(span, at, scratch.data(),
                          (size_t)std::min<uint64_t>(kCheckChunk, span.size - at), &ignored);
        if (!ok)
            return (long)i;
    }
    std::string why;
    if (listing_.count > 0 && !ListingAccountsForArchive(archive_, listing_, false, &why)) {
        Refuse(failure, Failure::kBadArchive, path_ + ": " + why);
        return -2;
    }
    return -1;
}

bool Session::Put(const std::string &name, const std::string &file,
                  std::shared_ptr<std::string> bytes, uint64_t size, Failure *failure) {
    Captured captured;
    std::vector<std::string> components;
    std::string why, stored;
    if (!EntryPath(name, false, &components, &why))
        return Refuse(failure, Failure::kValue, name + ": " + why);
    std::string key = name;
    std::replace(key.begin(), key.end(), '\\', '/');
    Index();
    auto found = byKey_.find(key);
    Item item;
    if (found != byKey_.end()) {
        item.raw = items_[found->second].raw;
        item.name = items_[found->second].name;
    } else if (!EncodeName(encoding_, name, &stored)) {
        return Refuse(failure, Failure::kValue,
                      name + ": " +
                          Format(_("the name has no representation in %s (see --encoding)"),
                                 encoding_.name.c_str()));
    } else {
        item.raw = stored;
        item.name = name;
    }
    NewEntry entry;
    entry.storedName = item.raw;
    entry.shownName = item.name;
    entry.size = size;
    if (!CheckNewArchive(path_, {entry}, &why))
        return Refuse(failure, Failure::kValue, why);
    item.size = size;
    item.file = file;
    item.bytes = std::move(bytes);
    changed_ = true;
    if (found != byKey_.end()) {
        items_[found->second] = std::move(item);
        return true;
    }
    size_t index = items_.size();
    byName_.emplace(item.name, index);
    byRaw_.emplace(item.raw, index);
    byKey_.emplace(key, index);
    items_.push_back(std::move(item));
    return true;
}

bool Session::Remove(size_t index) {
    items_.erase(items_.begin() + (long)index);
    indexed_ = false;
    byName_.clear();
    byRaw_.clear();
    byKey_.clear();
    changed_ = true;
    return true;
}

bool Session::Close(Failure *failure) {
    if (closed_)
        return true;
    if (mode_ == 'r' || !changed_) {
        Discard();
        return true;
    }
    Captured captured;
    std::vector<NewEntry> entries;
    for (const Item &item : items_) {
        NewEntry entry;
        entry.storedName = item.raw;
        entry.shownName = item.name;
        entry.size = item.size;
        if (item.listed >= 0) {
            entry.archive = &archive_;
            entry.record = listing_[item.listed];
        }
        entry.file = item.file;
        entry.bytes = item.bytes ? item.bytes->data() : nullptr;
        entries.push_back(std::move(entry));
    }
    std::vector<NameClash> clashes = FindNameClashes(
        entries.size(), [&](size_t i) { return entries[i].storedName.c_str(); },
        [&](size_t i) { return entries[i].size == 0; }, encoding_);
    std::string why;
    bool ok = CheckNewArchive(path_, entries, &why);
    if (!ok) {
        Refuse(failure, Failure::kValue, why);
    } else if (!clashes.empty()) {
        const NameClash &clash = clashes[0];
        why = clash.duplicate
                  ? Format(_("%s would be stored more than once; the archive is left as it is"),
                           entries[clash.other].shownName.c_str())
                  : Format(_("%s would be both a file and a folder (of %s); the archive is left "
                             "as it is"),
                           entries[clash.entry].shownName.c_str(),
                           entries[clash.other].shownName.c_str());
        ok = Refuse(failure, Failure::kValue, path_ + ": " + why);
    } else {
        WriteWatch watch;
        watch.source = mode_ == 'a' ? &archive_ : nullptr;
        errno = 0;
        ok = WriteArchive(path_, entries, &watch) == 0;
        int error = errno;
        // An entry that could not be read, or an archive changed meanwhile,
        // is the archive's fault; anything else the file system's.
        bool archiveFault =
            watch.reason.find(_("the archive changed on disk while it was being rewritten")) !=
                std::string::npos ||
            watch.reason.find(ResultText(kArchiveChanged)) != std::string::npos ||
            watch.reason.find(ResultText(SPI_FILE_ERROR)) != std::string::npos;
        if (!ok && archiveFault)
            Refuse(failure, Failure::kBadArchive, watch.reason);
        else if (!ok) {
            SystemFailure(failure, error, "");
            failure->message = watch.reason;
            failure->filename.clear();
        }
    }
    Discard();
    return ok;
}

void Session::Discard() {
    if (held_ >= 0)
        ReleaseArchive(held_);
    held_ = -1;
    if (listing_.count > 0 || listing_.block != nullptr)
        FreeListing(&listing_);
    file_.reset();
    closed_ = true;
}
