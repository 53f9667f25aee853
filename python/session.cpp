// The Python module's archives: opening, checking and rewriting them through
// the core's rules, locks and writer, as quorvel's list, cat, test, pack and
// update do. Every failure comes back as a value for an exception.
#include "python/session.h"

#include "core/diff.h"

#include "archive/archive.h"
#include "core/account.h"
#include "core/files.h"
#include "core/names.h"
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

static constexpr size_t kCopyChunk = 1u << 20;

OpenedFile::~OpenedFile() {
    if (fd >= 0)
        close(fd);
}

void StartSessions() {
    static std::once_flag once;
    // Linked in: nothing to fail.
    std::call_once(once, [] {
        Failure failure;
        LoadPlugin(nullptr, &failure);
    });
}

bool IsArchiveFile(const std::string &path) {
    Archive archive;
    Failure failure;
    return OpenArchive(path, &archive, &failure) == kIsArchive;
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

static bool Refuse(Failure *failure, Failure given) {
    *failure = std::move(given);
    return false;
}

// A name as a key for matching: '\' and '/' both separate folders.
static std::string Key(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

// The separator new names take in the archive opened, as update's take it.
static char SeparatorOf(const std::vector<Item> &items) {
    bool slash = false, backslash = false;
    for (const Item &item : items) {
        slash = slash || item.name.find('/') != std::string::npos;
        backslash = backslash || item.name.find('\\') != std::string::npos;
    }
    return SeparatorFor(slash, backslash);
}

Session::~Session() { Discard(); }

bool Session::Open(const std::string &path, char mode, const std::string &encodingText,
                   Failure *failure) {
    path_ = path;
    mode_ = mode;
    Encoding chosen;
    if (!ParseEncoding(encodingText, &chosen))
        return Refuse(failure,
                      Fail(FailureKind::kUsage, "", N_("unknown encoding '%s'; accepted: %s"),
                           {encodingText, AcceptedEncodings()}));
    struct stat st;
    if (mode == 'w') {
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return Refuse(failure, SystemFailure(path, EISDIR));
        if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            return Refuse(failure,
                          SystemFailure(path, EINVAL,
                                        N_("not a regular file; an archive replaces only a "
                                           "regular file")));
        if (!CheckWriteTarget(path, failure) || !HoldTarget(path, &held_, failure))
            return false;
        // Names are stored as the system writes them unless an encoding is given.
        encoding_ = chosen.codePage != 0 ? chosen : SystemEncoding();
        closed_ = false;
        changed_ = true;
        return true;
    }
    if (stat(path.c_str(), &st) != 0)
        return Refuse(failure, SystemFailure(path, errno));
    if (S_ISDIR(st.st_mode))
        return Refuse(failure, SystemFailure(path, EISDIR));
    if (OpenArchive(path, &archive_, failure) != kIsArchive)
        return false;
    file_ = std::make_shared<OpenedFile>();
    file_->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file_->fd < 0 || fstat(file_->fd, &st) != 0)
        return Refuse(failure, SystemFailure(path, errno));
    if (!(StateOfFile(st) == archive_.state))
        return Refuse(failure, Fail(FailureKind::kDamaged, path,
                                    N_("the archive changed while it was listed")));
    if (!ListArchive(archive_, &listing_, failure)) {
        file_.reset();
        return false;
    }
    OpenEntryReader(archive_, &reader_);
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
    separator_ = SeparatorOf(items_);
    closed_ = false;
    if (mode == 'a') {
        // As update: the archive is held, and must be what the listing shows.
        std::string why;
        bool ok = HoldTarget(path, &held_, failure) && CheckWriteTarget(path, failure);
        if (ok && (!ListingAccountsForArchive(archive_, listing_, false, &why) ||
                   !ListingNamesAreDistinct(listing_, encoding_, &why))) {
            *failure =
                Fail(FailureKind::kDamaged, path, N_("%s; the archive is left as it is"), {why});
            ok = false;
        }
        for (size_t i = 0; ok && i < items_.size(); i++) {
            FileInfo whole;
            if (items_[i].raw.size() == (size_t)kMaxNameLength &&
                LookUpEntry(archive_, listing_, items_[i].raw, &whole) != SPI_OK) {
                *failure = Fail(FailureKind::kDamaged, path,
                                N_("%s: the entry's name is longer than 199 bytes and cannot be "
                                   "kept"),
                                {items_[i].name});
                ok = false;
            }
        }
        if (!ok) {
            Discard();
            return false;
        }
    }
    return true;
}

void Session::Index() const {
    if (indexed_)
        return;
    for (size_t i = 0; i < items_.size(); i++) {
        if (items_[i].removed)
            continue;
        byName_.emplace(items_[i].name, i);
        byRaw_.emplace(items_[i].raw, i);
        byKey_.emplace(Key(items_[i].name), i);
    }
    indexed_ = true;
}

long Session::Find(const std::string &name, bool raw) const {
    Index();
    if (raw) {
        auto found = byRaw_.find(name);
        return found == byRaw_.end() ? -1 : (long)found->second;
    }
    auto found = byName_.find(name);
    if (found != byName_.end())
        return (long)found->second;
    found = byKey_.find(Key(name));
    if (found != byKey_.end())
        return (long)found->second;
    // A name over 199 bytes, which the listing cuts: found by its whole
    // stored name, as the plug-in's lookup finds it.
    std::string stored;
    FileInfo record;
    if (!EncodeName(encoding_, name, &stored) || stored.size() <= (size_t)kMaxNameLength ||
        LookUpEntry(archive_, listing_, stored, &record) != SPI_OK)
        return -1;
    for (size_t i = 0; i < items_.size(); i++) {
        if (!items_[i].removed && items_[i].listed >= 0 &&
            listing_[items_[i].listed].position == record.position)
            return (long)i;
    }
    return -1;
}

void Session::Record(size_t index, uint64_t *position, int64_t *stamp) const {
    long listed = items_[index].listed;
    *position = listed >= 0 ? (uint64_t)listing_[listed].position : 0;
    *stamp = listed >= 0 ? (int64_t)listing_[listed].timestamp : 0;
}

bool Session::Span(size_t index, EntrySpan *span, Failure *failure) const {
    const Item &item = items_[index];
    if (item.spooled) {
        span->file = spool_;
        span->start = item.spoolOffset;
        span->size = item.size;
        span->checked = false;
        return true;
    }
    EntryRecord record = listing_[item.listed];
    // The entry's directory line, read again as GetFile reads it: its two
    // offsets place the bytes.
    uint64_t start = 0;
    int32_t result = LocateEntry(&reader_, record, &start);
    if (result != SPI_OK)
        return Refuse(failure,
                      Fail(FailureKind::kDamaged, path_ + ": " + item.name, ResultMessage(result)));
    span->file = file_;
    span->start = start;
    span->size = record.filesize;
    span->state = archive_.state;
    return true;
}

bool Session::ReadSpan(const EntrySpan &span, uint64_t offset, void *buffer, size_t count,
                       Failure *failure) {
    // Checked before the read: an archive rewritten in place may hold
    // another entry here now. One replaced by a rename leaves this file as it was.
    struct stat st;
    if (fstat(span.file->fd, &st) != 0)
        return Refuse(failure, SystemFailure("", errno));
    if (span.checked && !(StateOfFile(st) == span.state))
        return Refuse(failure, Fail(FailureKind::kDamaged, "", ResultMessage(kArchiveChanged)));
    size_t done = 0;
    while (done < count) {
        ssize_t got = pread(span.file->fd, (char *)buffer + done, count - done,
                            (off_t)(span.start + offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Refuse(failure, SystemFailure("", errno));
        if (got == 0)
            return Refuse(failure, Fail(FailureKind::kDamaged, "", ResultMessage(SPI_FILE_ERROR)));
        done += (size_t)got;
    }
    return true;
}

bool Session::Examine(Verdict *verdict, Failure *failure) const {
    return ::Examine(archive_, listing_, encoding_, verdict, failure);
}

// Checks a name before it is added: an existing entry's (by its text, '\'
// and '/' alike) is replaced in its place under its stored name; a new one
// must pass the writers' rules and clash with none.
bool Session::Admit(const std::string &name, uint64_t size, long *replaced, Item *item,
                    Failure *failure) {
    Index();
    auto found = byKey_.find(Key(name));
    *replaced = found == byKey_.end() ? -1 : (long)found->second;
    if (*replaced >= 0) {
        const Item &old = items_[(size_t)*replaced];
        item->raw = old.raw;
        item->name = old.name;
        item->size = size;
        // A folder entry given bytes becomes a file of that path, and a
        // file emptied a folder entry: checked against all the others.
        if (FolderEntry(old.name, old.size) != FolderEntry(old.name, size)) {
            NameIndex others(encoding_);
            Failure ignored;
            for (size_t i = 0; i < items_.size(); i++) {
                if (!items_[i].removed && (long)i != *replaced)
                    others.Add(items_[i].raw, items_[i].size == 0, items_[i].name, &ignored);
            }
            if (!others.Add(item->raw, size == 0, EscapeControls(item->name), failure)) {
                failure->subject = path_;
                return false;
            }
            admitted_.reset();
        }
        return true;
    }
    // Stored with the archive's separator; without one of its own, with the
    // name's first.
    if (!AdmitName(name, encoding_, separator_, &item->raw, failure))
        return false;
    if (admitted_ == nullptr) {
        admitted_.reset(new NameIndex(encoding_));
        Failure ignored; // the names opened were checked as distinct
        for (const Item &kept : items_) {
            if (!kept.removed)
                admitted_->Add(kept.raw, kept.size == 0, kept.name, &ignored);
        }
    }
    // Shown as stored: its parts normalized, in the archive's separator.
    if (!DecodeName(encoding_, item->raw.data(), item->raw.size(), &item->name))
        item->name = name;
    item->size = size;
    if (!admitted_->Add(item->raw, size == 0, EscapeControls(item->name), failure)) {
        failure->subject = path_;
        return false;
    }
    return true;
}

void Session::Place(long replaced, Item item) {
    changed_ = true;
    if (replaced >= 0) {
        items_[(size_t)replaced] = std::move(item);
        return;
    }
    size_t index = items_.size();
    byName_.emplace(item.name, index);
    byRaw_.emplace(item.raw, index);
    byKey_.emplace(Key(item.name), index);
    items_.push_back(std::move(item));
}

bool Session::PutBytes(const std::string &name, std::shared_ptr<std::string> bytes,
                       Failure *failure) {
    Item item;
    long replaced;
    if (!Admit(name, bytes->size(), &replaced, &item, failure))
        return false;
    item.bytes = std::move(bytes);
    Place(replaced, std::move(item));
    return true;
}

// The spool: an unnamed file beside the archive (the same file system as
// the archive to come), or in the temporary folder where none can be made there.
static int OpenSpool(const std::string &archive) {
    std::string folder = archive.substr(0, archive.find_last_of('/') + 1);
    int fd = open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        FILE *file = tmpfile();
        fd = file != nullptr ? dup(fileno(file)) : -1;
        if (file != nullptr)
            fclose(file);
    }
    return fd;
}

bool Session::Apply(const std::string &patchPath, const std::vector<std::string> *names,
                    Failure *failure) {
    if (names != nullptr && names->empty())
        return true; // no names, nothing chosen
    Choice choice;
    if (names != nullptr)
        choice.names = *names;
    // As update --from: the patch opened and checked by the same rules,
    // and a NAME that matches nothing leaves everything as it was.
    Selection patch;
    std::vector<Failure> unmatched;
    if (!SelectPatch(patchPath, Encoding{"auto", 0}, encoding_, choice, &patch, failure,
                     &unmatched))
        return false;
    bool ok = unmatched.empty() || Refuse(failure, unmatched[0]);
    ok = ok && CheckPatch(path_, patch, failure);
    EntryReader reader;
    OpenEntryReader(patch.archive, &reader);
    std::string name;
    for (size_t i = 0; ok && i < patch.Count(); i++) {
        EntryRecord record = patch[i];
        if (!RecordName(record, patch.encoding, &name)) {
            ok = Refuse(failure, Fail(FailureKind::kBadName,
                                      patchPath + ": " + ShownName(record, patch.encoding),
                                      N_("the name is not valid %s (see --encoding)"),
                                      {patch.encoding.name}));
            break;
        }
        EntryBytes entry;
        int32_t result = ReadListedEntry(&reader, record, &entry);
        if (result != SPI_OK) {
            ok = Refuse(failure, Fail(FailureKind::kDamaged,
                                      patchPath + ": " + ShownName(record, patch.encoding),
                                      ResultMessage(result)));
            break;
        }
        auto bytes =
            std::make_shared<std::string>(entry.bytes != nullptr ? entry.bytes : "", entry.size);
        FreeEntry(&entry);
        std::replace(name.begin(), name.end(), '\\', '/');
        ok = PutBytes(name, bytes, failure);
    }
    CloseEntryReader(&reader);
    FreeSelection(&patch);
    return ok;
}

bool Session::PutFile(const std::string &name, const std::string &file, Failure *failure) {
    // Only a regular file: its bytes are taken now, whatever it holds later.
    int in = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    int error = in < 0 || fstat(in, &st) != 0 ? errno
                : S_ISDIR(st.st_mode)         ? EISDIR
                : !S_ISREG(st.st_mode)        ? EINVAL
                                              : 0;
    Item item;
    long replaced = -1;
    bool ok = error == 0 && Admit(name, (uint64_t)st.st_size, &replaced, &item, failure);
    if (error != 0)
        *failure = SystemFailure(file, error);
    if (ok && spool_ == nullptr) {
        spool_ = std::make_shared<OpenedFile>();
        spool_->fd = OpenSpool(path_);
        if (spool_->fd < 0) {
            *failure = SystemFailure(path_, errno);
            spool_.reset();
            ok = false;
        }
    }
    // Exactly the size the file had when asked for, and then its end: a file
    // that shrinks or grows meanwhile is refused, as pack refuses it.
    uint64_t copied = 0, want = ok ? (uint64_t)st.st_size : 0;
    std::vector<char> buffer(ok ? kCopyChunk : 0);
    while (ok) {
        size_t ask = copied < want ? (size_t)std::min<uint64_t>(buffer.size(), want - copied) : 1;
        ssize_t got = read(in, buffer.data(), ask);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *failure = SystemFailure(file, errno);
            ok = false;
            break;
        }
        if (got == 0 || copied >= want) {
            ok = got == 0 && copied == want;
            if (!ok)
                *failure = SystemFailure(file, EIO, N_("changed size while it was being read"));
            break;
        }
        for (ssize_t done = 0; ok && done < got;) {
            ssize_t put = pwrite(spool_->fd, buffer.data() + done, (size_t)(got - done),
                                 (off_t)(spoolEnd_ + copied));
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0)
                *failure = SystemFailure(path_, errno);
            ok = put >= 0;
            done += put > 0 ? put : 0;
            copied += put > 0 ? (uint64_t)put : 0;
        }
    }
    if (in >= 0)
        close(in);
    if (!ok) {
        // The name may have been admitted: the index is made again when next needed.
        admitted_.reset();
        return false;
    }
    // What was read is what is stored, whatever size the file had when asked.
    item.size = copied;
    item.spooled = true;
    item.spoolOffset = spoolEnd_;
    spoolEnd_ += copied;
    Place(replaced, std::move(item));
    return true;
}

// The entry stays in place, marked: removing many of a large archive's
// entries costs each no more than a lookup.
void Session::Remove(size_t index) {
    Item &item = items_[index];
    auto forget = [index](std::unordered_map<std::string, size_t> *map, const std::string &key) {
        auto found = map->find(key);
        if (found != map->end() && found->second == index)
            map->erase(found);
    };
    Index();
    forget(&byName_, item.name);
    forget(&byRaw_, item.raw);
    forget(&byKey_, Key(item.name));
    item.removed = true;
    removedCount_++;
    admitted_.reset();
    changed_ = true;
}

bool Session::Close(const std::function<bool()> &proceed, Failure *failure) {
    if (closed_)
        return true;
    if (mode_ == 'r' || !changed_) {
        Discard();
        return true;
    }
    std::string spoolPath = spool_ != nullptr ? "/proc/self/fd/" + std::to_string(spool_->fd) : "";
    std::vector<NewEntry> entries;
    entries.reserve(items_.size());
    for (const Item &item : items_) {
        if (item.removed)
            continue;
        NewEntry entry;
        entry.storedName = item.raw;
        entry.shownName = item.name;
        entry.size = item.size;
        if (item.listed >= 0) {
            entry.archive = &archive_;
            entry.record = listing_[item.listed];
        } else if (item.spooled) {
            entry.file = spoolPath;
            entry.slice = true;
            entry.offset = item.spoolOffset;
        } else {
            entry.bytes = item.bytes->data();
        }
        entries.push_back(std::move(entry));
    }
    std::string why;
    WriteWatch watch;
    watch.source = mode_ == 'a' ? &archive_ : nullptr;
    watch.proceed = proceed;
    bool ok = CheckNewArchive(path_, entries, &why);
    if (!ok)
        *failure = Fail(FailureKind::kBadName, "", kSentence, {why});
    else if (!(ok = WriteArchive(path_, entries, &watch) == 0)) {
        *failure = Fail(watch.kind, "", kSentence, {watch.reason});
        failure->error = watch.error;
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
    CloseEntryReader(&reader_);
    spool_.reset();
    spoolEnd_ = 0;
    closed_ = true;
}
