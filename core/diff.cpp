// Comparing two archives entry by entry, through the archives opened once.
#include "core/diff.h"

#include "core/account.h"
#include "core/files.h"
#include "core/reader.h"
#include "core/translate.h"
#include "core/writer.h"

#include "archive/archive.h"

#include <algorithm>
#include <string.h>
#include <unordered_map>

#ifndef _WIN32
#include <unistd.h>
#endif

std::string EntryKey(const EntryRecord &record, const Encoding &encoding) {
    std::string name;
    if (!RecordName(record, encoding, &name))
        return std::string(1, '\0') + record.filename; // no decoded name starts so
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

static void NameOf(const EntryRecord &record, const Encoding &encoding, Difference *difference) {
    difference->decoded = RecordName(record, encoding, &difference->name);
    if (!difference->decoded)
        difference->name = EscapeBytes(record.filename, strlen(record.filename));
}

// A failure to read an entry, named in its archive.
static Failure Unreadable(const Selection &in, const EntryRecord &record, int32_t result) {
    return Fail(FailureKind::kDamaged, in.archive.path + ": " + ShownName(record, in.encoding),
                ResultMessage(result));
}

#ifdef _WIN32
// Through GetFile, whole, as quorvel.exe reads every entry.
static bool SameBytes(const Selection &a, EntryReader *ra, const EntryRecord &x, const Selection &b,
                      EntryReader *rb, const EntryRecord &y, bool *same, Failure *failure) {
    EntryBytes one, other;
    int32_t first = ReadListedEntry(ra, x, &one);
    int32_t second = first == SPI_OK ? ReadListedEntry(rb, y, &other) : SPI_OK;
    if (first != SPI_OK)
        *failure = Unreadable(a, x, first);
    else if (second != SPI_OK)
        *failure = Unreadable(b, y, second);
    else
        *same = one.size == other.size &&
                (one.size == 0 || memcmp(one.bytes, other.bytes, one.size) == 0);
    FreeEntry(&one);
    FreeEntry(&other);
    return first == SPI_OK && second == SPI_OK;
}
#else
// A piece at a time from both open archives: no entry is held whole.
static bool SameBytes(const Selection &a, EntryReader *ra, const EntryRecord &x, const Selection &b,
                      EntryReader *rb, const EntryRecord &y, bool *same, Failure *failure) {
    static constexpr size_t kPiece = 1u << 20;
    uint64_t from = 0, to = 0;
    int32_t first = LocateEntry(ra, x, &from);
    int32_t second = first == SPI_OK ? LocateEntry(rb, y, &to) : SPI_OK;
    std::vector<char> one(first == SPI_OK && second == SPI_OK ? std::min<size_t>(x.filesize, kPiece)
                                                              : 0),
        other(one.size());
    *same = true;
    for (uint64_t done = 0; first == SPI_OK && second == SPI_OK && *same && done < x.filesize;) {
        size_t want = (size_t)std::min<uint64_t>(x.filesize - done, kPiece);
        if (pread(ReaderDescriptor(*ra), one.data(), want, (off_t)(from + done)) != (ssize_t)want)
            first = SPI_FILE_ERROR;
        else if (pread(ReaderDescriptor(*rb), other.data(), want, (off_t)(to + done)) !=
                 (ssize_t)want)
            second = SPI_FILE_ERROR;
        else
            *same = memcmp(one.data(), other.data(), want) == 0;
        done += want;
    }
    // Bytes compared are the listed entries' only while both are unchanged.
    if (first == SPI_OK && !ReaderUnchanged(*ra))
        first = kArchiveChanged;
    if (second == SPI_OK && !ReaderUnchanged(*rb))
        second = kArchiveChanged;
    if (first != SPI_OK)
        *failure = Unreadable(a, x, first);
    else if (second != SPI_OK)
        *failure = Unreadable(b, y, second);
    return first == SPI_OK && second == SPI_OK;
}
#endif

bool SelectPair(const std::string &olderPath, const std::string &newerPath,
                const Encoding &encoding, const Choice &choice, Selection *older, Selection *newer,
                Failure *failure, std::vector<Failure> *unmatched) {
    std::vector<Failure> inOlder, inNewer;
    if (!Select(olderPath, encoding, choice, older, failure, &inOlder))
        return false;
    if (!Select(newerPath, encoding, choice, newer, failure, &inNewer)) {
        FreeSelection(older);
        return false;
    }
    // Each subject is "ARCHIVE: NAME".
    auto nameOf = [](const Failure &f, const Selection &in) {
        return f.subject.substr(in.archive.path.size() + 2);
    };
    for (const Failure &missing : inOlder) {
        for (const Failure &other : inNewer) {
            if (nameOf(missing, *older) == nameOf(other, *newer))
                unmatched->push_back(Fail(FailureKind::kNotFound, nameOf(missing, *older),
                                          N_("matches no entry of either archive")));
        }
    }
    return true;
}

bool ArchiveWhole(const Selection &in, Failure *failure) {
    std::string why;
    if (ListingAccountsForArchive(in.archive, in.listing, false, &why) &&
        ListingNamesAreDistinct(in.listing, in.encoding, &why))
        return true;
    *failure = Fail(FailureKind::kDamaged, in.archive.path, kSentence, {why});
    return false;
}

bool SelectPatch(const std::string &path, const Encoding &chosen, const Encoding &archiveEncoding,
                 const Choice &choice, Selection *patch, Failure *failure,
                 std::vector<Failure> *unmatched) {
    std::vector<Failure> missing;
    if (!Select(path, chosen.codePage != 0 ? chosen : archiveEncoding, choice, patch, failure,
                &missing))
        return false;
    bool valid = true;
    std::string name;
    for (size_t i = 0; chosen.codePage == 0 && valid && i < patch->listing.count; i++)
        valid = RecordName(patch->listing[i], archiveEncoding, &name);
    if (!valid) {
        FreeSelection(patch);
        missing.clear();
        if (!Select(path, chosen, choice, patch, failure, &missing))
            return false;
    }
    unmatched->insert(unmatched->end(), missing.begin(), missing.end());
    return true;
}

const char *ChangeName(Change change) {
    return change == Change::kAdded ? "added" : change == Change::kRemoved ? "removed" : "changed";
}

// Whether two paths reach one file (by its identity, whatever the path).
static bool SameFile(const std::string &a, const std::string &b) {
    FileIdentity one, other;
    return IdentityOf(a, &one) && IdentityOf(b, &other) && one == other;
}

bool CheckPatch(const std::string &target, const Selection &patch, Failure *failure) {
    if (SameFile(target, patch.archive.path)) {
        *failure = Fail(FailureKind::kRefused, patch.archive.path,
                        N_("is the archive being updated; a patch is another one"));
        return false;
    }
    return ArchiveWhole(patch, failure);
}

bool CompareArchives(const Selection &older, const Selection &newer,
                     std::vector<Difference> *differences, Failure *failure) {
    differences->clear();
    if (!ArchiveWhole(older, failure) || !ArchiveWhole(newer, failure))
        return false;
    std::unordered_map<std::string, size_t> newerByKey; // place among the chosen
    newerByKey.reserve(newer.Count());
    for (size_t i = 0; i < newer.Count(); i++)
        newerByKey.emplace(EntryKey(newer[i], newer.encoding), i);
    std::vector<bool> met(newer.Count());
    EntryReader olderReader, newerReader;
    OpenEntryReader(older.archive, &olderReader);
    OpenEntryReader(newer.archive, &newerReader);
    bool ok = true;
    for (size_t i = 0; ok && i < older.Count(); i++) {
        EntryRecord was = older[i];
        auto found = newerByKey.find(EntryKey(was, older.encoding));
        Difference difference;
        difference.older = older.all ? i : older.chosen[i];
        difference.olderSize = was.filesize;
        if (found == newerByKey.end()) {
            difference.change = Change::kRemoved;
            NameOf(was, older.encoding, &difference);
            differences->push_back(difference);
            continue;
        }
        met[found->second] = true;
        EntryRecord now = newer[found->second];
        bool same = was.filesize == now.filesize;
        if (same)
            ok = SameBytes(older, &olderReader, was, newer, &newerReader, now, &same, failure);
        if (ok && !same) {
            difference.change = Change::kChanged;
            NameOf(now, newer.encoding, &difference);
            difference.newer = newer.all ? found->second : newer.chosen[found->second];
            difference.newerSize = now.filesize;
            differences->push_back(difference);
        }
    }
    for (size_t i = 0; ok && i < newer.Count(); i++) {
        if (met[i])
            continue;
        Difference difference;
        difference.change = Change::kAdded;
        NameOf(newer[i], newer.encoding, &difference);
        difference.newer = newer.all ? i : newer.chosen[i];
        difference.newerSize = newer[i].filesize;
        differences->push_back(difference);
    }
    CloseEntryReader(&newerReader);
    CloseEntryReader(&olderReader);
    return ok;
}

bool WritePatch(const std::string &path, const Selection &older, const Selection &newer,
                const std::vector<Difference> &differences, bool progress, Failure *failure) {
    std::vector<size_t> places;
    for (const Difference &d : differences) {
        if (d.change != Change::kRemoved)
            places.push_back(d.newer);
    }
    std::sort(places.begin(), places.end());
    std::vector<NewEntry> entries;
    for (size_t place : places) {
        EntryRecord record = newer.listing[place];
        FileInfo whole;
        // A record holds 199 bytes of a name: a longer one is not its whole.
        if (strlen(record.filename) == (size_t)kMaxNameLength &&
            LookUpEntry(newer.archive, newer.listing, record.filename, &whole) != SPI_OK) {
            *failure = Fail(FailureKind::kBadName, newer.archive.path,
                            N_("%s: the entry's name is longer than 199 bytes and cannot be kept"),
                            {ShownName(record, newer.encoding)});
            return false;
        }
        NewEntry entry;
        entry.storedName = record.filename;
        entry.encoding = &newer.encoding;
        entry.size = record.filesize;
        entry.archive = &newer.archive;
        entry.record = record;
        entries.push_back(entry);
    }
    if (!CheckWriteTarget(path, failure))
        return false;
    for (const Selection *in : {&older, &newer}) {
        if (SameFile(path, in->archive.path)) {
            *failure = Fail(FailureKind::kRefused, path,
                            N_("is one of the archives compared; the patch goes elsewhere"));
            return false;
        }
    }
    std::string reason;
    if (!CheckNewArchive(path, entries, &reason)) {
        *failure = Fail(FailureKind::kBadName, path, kSentence,
                        {reason.compare(0, path.size() + 2, path + ": ") == 0
                             ? reason.substr(path.size() + 2)
                             : reason});
        return false;
    }
    int held = -1;
    if (!HoldTarget(path, &held, failure))
        return false;
    WriteWatch watch;
    watch.progress = progress;
    bool ok = WriteArchive(path, entries, &watch) == 0;
    if (!ok) {
        // The reason is "PATH: sentence".
        std::string sentence = watch.reason.compare(0, path.size() + 2, path + ": ") == 0
                                   ? watch.reason.substr(path.size() + 2)
                                   : watch.reason;
        *failure = Fail(watch.kind, path, kSentence, {sentence});
        failure->error = watch.error;
    }
    ReleaseArchive(held);
    return ok;
}
