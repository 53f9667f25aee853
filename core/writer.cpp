// Writing new archives for pack and update.
#include "core/writer.h"

#include "archive/archive.h"
#include "core/files.h"
#include "core/output.h"
#include "core/reader.h"
#include "core/status.h"
#include "core/select.h"
#include "core/translate.h"

#include <algorithm>
#include <map>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <vector>

static constexpr uint64_t kLargestOffset = 0xFFFFFFFFu;
static constexpr size_t kCopyChunk = 1 << 20;

EntrySource EntriesOf(const std::vector<NewEntry> &entries) {
    EntrySource source;
    source.count = entries.size();
    source.at = [&entries](size_t i) -> const NewEntry & { return entries[i]; };
    return source;
}

std::string ShownEntryName(const NewEntry &entry) {
    if (entry.encoding == nullptr)
        return entry.shownName;
    EntryRecord record;
    record.filename = entry.storedName.c_str();
    record.filesize = (uint32_t)entry.size;
    return ShownName(record, *entry.encoding);
}

// The directory's size: the magic line, the entry lines, an empty closing line.
static uint64_t DirectorySize(const EntrySource &entries) {
    uint64_t size = kMagicSize + 1;
    for (size_t i = 0; i < entries.count; i++)
        size += entries.at(i).storedName.size() + kFieldsSize;
    return size;
}

// Reports a refusal, and keeps it for a caller that asked.
static void Refuse(const std::string &subject, const std::string &message, std::string *reason) {
    if (reason != nullptr)
        *reason = subject + ": " + message;
}

bool CheckNewArchive(const std::string &target, const EntrySource &entries, std::string *reason) {
    uint64_t end = kMagicSize + 1;
    for (size_t i = 0; i < entries.count; i++) {
        const NewEntry &entry = entries.at(i);
        end += entry.storedName.size() + kFieldsSize + entry.size;
        const char *bad = nullptr;
        if (entry.storedName.empty())
            bad = _("an empty name cannot be stored");
        else if (entry.storedName.find_first_of("\t\r\n") != std::string::npos)
            bad = _("a name with a TAB, CR or LF cannot be stored");
        else if (entry.storedName.size() > (size_t)kMaxNameLength)
            bad = _("a name longer than 199 bytes as stored cannot be stored");
        if (bad != nullptr) {
            Refuse(ShownEntryName(entry), bad, reason);
            return false;
        }
    }
    if (end > kLargestOffset) {
        Refuse(target, _("the archive would pass 4 GiB, the largest offset the format can hold"),
               reason);
        return false;
    }
    return true;
}

// Copies a file's bytes. Its size is already in the directory, so a file
// that shrank or grew since it was listed fails the archive. A slice of a
// file (an old archive's entry) need only be there whole.
static bool CopyFile(NewFile *out, const NewEntry &entry, std::string *why) {
    std::string reason;
    // Named as it was given (on Windows the file is opened by its long \\?\ path).
    std::string shown = entry.slice ? entry.file : ShownEntryName(entry);
    FILE *in = OpenInputFile(entry.file, &reason);
    bool ok = in != nullptr && (!entry.slice || SeekFile(in, entry.offset));
    if (!ok) {
        *why = shown + ": " + (in != nullptr ? SystemText(errno) : reason);
    } else {
        std::vector<char> buffer(kCopyChunk);
        uint64_t left = entry.size;
        while (ok && left > 0) {
            size_t n = fread(buffer.data(), 1, (size_t)std::min<uint64_t>(left, buffer.size()), in);
            if (n == 0)
                break;
            ok = WriteNewFile(out, buffer.data(), n, why);
            left -= n;
        }
        bool changed = ok && (left > 0 || (!entry.slice && fgetc(in) != EOF));
        bool failed = ferror(in) != 0;
        if (ok && (failed || changed))
            *why = shown + ": " +
                   (failed ? SystemText(errno) : _("changed size while it was being read"));
        ok = ok && !failed && !changed;
    }
    if (in != nullptr)
        fclose(in);
    return ok;
}

// The entries of archives being copied, each archive opened once (update
// --from reads two in turn). On Linux a run of entries whose bytes follow
// one another in their archive is copied as one range, in the kernel where
// it can: only the directory and new entries pass through this process.
// The entry lines are read as GetFile reads them, and each range is one the
// directory lists.
struct ArchiveCopy {
    std::map<const Archive *, EntryReader> readers;
    EntryReader *run = nullptr;   // the reader of the run not copied yet,
    uint64_t start = 0, size = 0; // and the run
};

static EntryReader *ReaderOf(ArchiveCopy *copy, const Archive *archive) {
    auto found = copy->readers.find(archive);
    if (found == copy->readers.end()) {
        found = copy->readers.emplace(archive, EntryReader()).first;
        OpenEntryReader(*archive, &found->second);
    }
    return &found->second;
}

// Closes every reader; false if an archive changed while it was read.
static bool CloseCopy(ArchiveCopy *copy) {
    bool unchanged = true;
    for (auto &opened : copy->readers) {
#ifndef _WIN32
        unchanged = unchanged && ReaderUnchanged(opened.second);
#endif
        CloseEntryReader(&opened.second);
    }
    copy->readers.clear();
    return unchanged;
}

static std::string Unreadable(const NewEntry &entry, int32_t result) {
    return Format(_("the entry %s cannot be read: %s"), ShownEntryName(entry).c_str(),
                  ResultText(result));
}

#ifdef _WIN32
static bool FlushCopy(NewFile *, ArchiveCopy *, std::string *, bool *) { return true; }

static bool CopyEntry(NewFile *out, ArchiveCopy *copy, const NewEntry &entry, std::string *why,
                      bool *damaged) {
    EntryBytes bytes;
    int32_t result = ReadListedEntry(ReaderOf(copy, entry.archive), entry.record, &bytes);
    *damaged = result != SPI_OK;
    if (*damaged)
        *why = Unreadable(entry, result);
    // Only bytes of the listed size are handed on.
    bool ok = !*damaged && WriteNewFile(out, bytes.bytes, bytes.size, why);
    FreeEntry(&bytes);
    return ok;
}
#else
static bool FlushCopy(NewFile *out, ArchiveCopy *copy, std::string *why, bool *damaged) {
    bool ended = false;
    bool ok = copy->size == 0 || CopyRangeToNewFile(out, ReaderDescriptor(*copy->run), copy->start,
                                                    copy->size, &ended, why);
    if (ended)
        *why = _("the archive changed on disk while it was being rewritten");
    *damaged = ended;
    copy->size = 0;
    return ok;
}

static bool CopyEntry(NewFile *out, ArchiveCopy *copy, const NewEntry &entry, std::string *why,
                      bool *damaged) {
    EntryReader *reader = ReaderOf(copy, entry.archive);
    uint64_t start = 0;
    int32_t result = LocateEntry(reader, entry.record, &start);
    if (result != SPI_OK) {
        *why = Unreadable(entry, result);
        *damaged = true;
        return false;
    }
    bool ok = true;
    if (copy->size > 0 && (copy->run != reader || copy->start + copy->size != start))
        ok = FlushCopy(out, copy, why, damaged);
    if (ok && copy->size == 0) {
        copy->run = reader;
        copy->start = start;
    }
    copy->size += entry.record.filesize;
    return ok;
}
#endif

// Writes the directory a piece at a time: a million entries' text is not
// held whole.
static bool WriteDirectory(NewFile *out, const EntrySource &entries, std::string *why) {
    uint64_t start = DirectorySize(entries);
    std::string text = kMagic;
    bool ok = true;
    for (size_t i = 0; ok && i < entries.count; i++) {
        const NewEntry &entry = entries.at(i);
        char fields[32];
        snprintf(fields, sizeof fields, "\t%010llu %010llu\n", (unsigned long long)start,
                 (unsigned long long)(start + entry.size));
        text += entry.storedName;
        text += fields;
        start += entry.size;
        if (text.size() >= kCopyChunk) {
            ok = WriteNewFile(out, text.data(), text.size(), why);
            text.clear();
        }
    }
    text += "\n";
    return ok && WriteNewFile(out, text.data(), text.size(), why);
}

int WriteArchive(const std::string &target, const EntrySource &entries, WriteWatch *watch) {
    WriteWatch unwatched;
    if (watch == nullptr)
        watch = &unwatched;
    std::string why;
    // A writer that notes its temporary file finds it by its name.
    NewFile *out = CreateNewFile(target, &why, !watch->created);
    if (out == nullptr) {
        // errno 0: a rule refused the target; else the system did.
        watch->error = errno;
        watch->kind = errno != 0 ? FailureKind::kSystem : FailureKind::kRefused;
        Refuse(target, why, &watch->reason);
        return kExitArchive;
    }
    int noted = watch->created ? watch->created(NewFileTemporary(out)) : 0;
    if (noted != 0)
        why = SystemText(-noted);
    // What went wrong: the file system's error, unless an entry or the
    // archive being rewritten is at fault.
    watch->kind = FailureKind::kSystem;
    watch->error = -noted;
    if (watch->progress)
        ProgressStart(entries.count);
    bool ok = noted == 0 && WriteDirectory(out, entries, &why);
    ArchiveCopy copy;
    bool damaged = false;
    for (size_t i = 0; ok && i < entries.count; i++) {
        const NewEntry &entry = entries.at(i);
        bool fromArchive = entry.bytes == nullptr && entry.file.empty();
        if (!fromArchive)
            ok = FlushCopy(out, &copy, &why, &damaged);
        if (!ok)
            break;
        if (entry.bytes != nullptr)
            ok = WriteNewFile(out, entry.bytes, (size_t)entry.size, &why);
        else if (fromArchive)
            ok = CopyEntry(out, &copy, entry, &why, &damaged);
        else
            ok = CopyFile(out, entry, &why);
        if (watch->progress)
            ProgressStep(entry.size);
    }
    if (ok)
        ok = FlushCopy(out, &copy, &why, &damaged);
    // The ranges were read from the archives opened once: a change to one of
    // them while they were copied shows here.
    if (!CloseCopy(&copy) && ok) {
        why = _("the archive changed on disk while it was being rewritten");
        damaged = true;
        ok = false;
    }
    if (damaged)
        watch->kind = FailureKind::kDamaged;
    if (!ok && watch->kind == FailureKind::kSystem)
        watch->error = errno != 0 ? errno : EIO;
    if (watch->progress)
        ProgressEnd();
    if (ok && watch->source != nullptr && !ArchiveUnchanged(*watch->source)) {
        why = _("the archive changed on disk while it was being rewritten");
        watch->kind = FailureKind::kDamaged;
        ok = false;
    }
    // The last moment the caller can still call the write off.
    if (ok && watch->proceed && !watch->proceed()) {
        why = _("interrupted");
        watch->kind = FailureKind::kRefused;
        ok = false;
    }
    if (ok)
        ok = CommitNewFile(out, &why);
    else
        AbandonNewFile(out);
    if (!ok) {
        if (watch->kind == FailureKind::kSystem && watch->error == 0)
            watch->error = errno != 0 ? errno : EIO;
        Refuse(target, Format(_("%s; the archive was not written"), why.c_str()), &watch->reason);
        return kExitArchive;
    }
    watch->kind = FailureKind::kNone;
    return kExitOk;
}
