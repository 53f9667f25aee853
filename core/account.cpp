// Whether a listing is the whole archive, read from the archive's own bytes,
// and the names that clash. The plug-in reads a directory as its layout
// says, and some archives say less there than they hold (a first line past
// its 256-byte probe, a missing closing line, lines that are no entries,
// bytes that no entry names); a rewrite built on such a listing would drop
// the rest, so the writers ask here first.
#include "core/account.h"

#include "core/files.h"
#include "core/output.h"
#include "core/select.h"
#include "core/translate.h"

#include "archive/archive.h"

#include <algorithm>
#include <errno.h>
#include <string.h>

// Enough of a line to tell whether it is an entry line that extraction can
// read back; longer lines are measured, not kept.
static constexpr size_t kKeptLine = kLineProbeSize + 1;
static constexpr size_t kChunk = 1u << 20;
static constexpr uint64_t kLargestOffset = UINT32_MAX;

// Reads the file front to back, a chunk at a time, one line per call.
struct LineReader {
    FILE *file = nullptr;
    uint64_t offset = 0; // of the next byte a line takes
    std::string bytes;   // read ahead, from offset - at
    size_t at = 0;
};

// The line at the reader's offset, ending after its LF or at `limit`: up to
// kKeptLine of its bytes in *line, its whole length in *length (0 at the
// limit or the end of the file).
static void NextLine(LineReader *reader, uint64_t limit, std::string *line, uint64_t *length) {
    line->clear();
    *length = 0;
    while (reader->offset < limit) {
        if (reader->at == reader->bytes.size()) {
            reader->bytes.resize((size_t)std::min<uint64_t>(kChunk, limit - reader->offset));
            reader->bytes.resize(fread(&reader->bytes[0], 1, reader->bytes.size(), reader->file));
            reader->at = 0;
            if (reader->bytes.empty())
                break;
        }
        const char *from = reader->bytes.data() + reader->at;
        size_t room =
            (size_t)std::min<uint64_t>(reader->bytes.size() - reader->at, limit - reader->offset);
        const char *lf = (const char *)memchr(from, '\n', room);
        size_t taken = lf != nullptr ? (size_t)(lf - from) + 1 : room;
        if (line->size() < kKeptLine)
            line->append(from, std::min(taken, kKeptLine - line->size()));
        reader->at += taken;
        reader->offset += taken;
        *length += taken;
        if (lf != nullptr)
            break;
    }
}

// An entry line as the layout gives it.
struct EntryLine {
    uint64_t position = 0, start = 0, end = 0;
    const char *name = nullptr; // in the line read
    size_t nameSize = 0;
};

// Ten digits; false if the field is not.
static bool TenDigits(const char *text, uint64_t *value) {
    *value = 0;
    for (int i = 0; i < 10; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        *value = *value * 10 + (uint64_t)(text[i] - '0');
    }
    return true;
}

// A ten-digit offset field within the format's offsets; false if it is not one.
static bool OffsetField(const char *text, uint64_t *value) {
    return TenDigits(text, value) && *value <= kLargestOffset;
}

// Where a whole line's fields end: at its LF, or at the CR of a CR LF pair,
// which the plug-in reads as one line end too. False for a line cut short of
// its LF, or one longer than was kept.
static bool FieldsEnd(const std::string &line, uint64_t length, size_t *end) {
    if (length != line.size() || line.empty() || line.back() != '\n')
        return false;
    *end = line.size() - 1;
    if (*end > 0 && line[*end - 1] == '\r')
        (*end)--;
    return true;
}

// Whether a line is an entry line in all but an offset past 4 GiB: one
// that the plug-in lists, reading the offset wrapped.
static bool PastFormat(const std::string &line, uint64_t length) {
    size_t lf;
    uint64_t start, end;
    return FieldsEnd(line, length, &lf) && lf + 1 >= (size_t)kFieldsSize &&
           line[lf - kTabBeforeLf] == '\t' &&
           TenDigits(line.data() + lf - kStartBeforeLf, &start) &&
           TenDigits(line.data() + lf - kEndBeforeLf, &end) &&
           (start > kLargestOffset || end > kLargestOffset);
}

// Why a line in the directory is no entry line.
static std::string LineFault(const std::string &line, uint64_t length, uint64_t position) {
    if (PastFormat(line, length))
        return Format(_("the directory line at byte %llu gives an offset past 4 GiB, which the "
                        "format cannot hold"),
                      (unsigned long long)position);
    return Format(_("the directory line at byte %llu is not an entry line"),
                  (unsigned long long)position);
}

// True if the line is a whole entry line: a name without TAB, CR, LF or
// zero bytes, a TAB, two offsets with a non-digit between, and an LF (or CR LF).
static bool ParseLine(const std::string &line, uint64_t length, EntryLine *entry) {
    size_t lf;
    if (!FieldsEnd(line, length, &lf) || lf + 1 < (size_t)kFieldsSize)
        return false;
    size_t tab = lf - kTabBeforeLf;
    const char *text = line.data();
    if (text[tab] != '\t' ||
        (text[lf - kEndBeforeLf - 1] >= '0' && text[lf - kEndBeforeLf - 1] <= '9'))
        return false;
    if (!OffsetField(text + lf - kStartBeforeLf, &entry->start) ||
        !OffsetField(text + lf - kEndBeforeLf, &entry->end))
        return false;
    entry->name = text;
    entry->nameSize = tab;
    return memchr(text, '\t', tab) == nullptr && memchr(text, '\r', tab) == nullptr &&
           memchr(text, '\0', tab) == nullptr;
}

// The fault of a directory's last line, which closes the directory and is
// never an entry, where it may be one that the listing leaves out: an entry
// line; one cut short of its LF (by the directory's end or the file's) that
// holds a TAB; one too long to tell. Else "".
static std::string LastLineFault(const std::string &line, uint64_t length, uint64_t position) {
    EntryLine entry;
    if (ParseLine(line, length, &entry))
        return Format(_("the directory's last line, at byte %llu, is an entry line that the "
                        "listing leaves out (the directory has no closing line)"),
                      (unsigned long long)position);
    bool cut = length == line.size() && !line.empty() && line.back() != '\n' &&
               line.find('\t') != std::string::npos;
    if (cut || length != line.size())
        return Format(_("the directory's last line, at byte %llu, may be an entry line that the "
                        "listing leaves out: it has no line end, or is too long to tell"),
                      (unsigned long long)position);
    return "";
}

// What the file's own bytes say against the listing, read line by line.
struct Account {
    const Listing *listing = nullptr;
    uint64_t size = 0;         // of the file
    uint64_t directoryEnd = 0; // where the data begins (the file's end if it comes first)
    size_t entries = 0;        // entry lines so far
    std::vector<std::pair<uint32_t, uint32_t>> ranges; // their bytes past the directory
    uint64_t unowned = 0;    // bytes after the directory that no entry holds
    uint64_t firstLoose = 0; // the first of them
    bool damaged = false;    // a directory line is no entry line
};

// The name a record holds is the whole name of the line.
static bool SameName(const EntryRecord &record, const EntryLine &entry) {
    return entry.nameSize <= (size_t)kMaxNameLength &&
           memcmp(record.filename, entry.name, entry.nameSize) == 0 &&
           record.filename[entry.nameSize] == '\0';
}

// An entry's bytes, which must lie in the file; a fault, or "".
static std::string TakeRange(Account *account, const EntryLine &entry) {
    if (entry.end < entry.start)
        return Format(_("the entry line at byte %llu ends its bytes before it starts them"),
                      (unsigned long long)entry.position);
    if (entry.end > account->size)
        return Format(_("the entry line at byte %llu places its bytes up to byte %llu, past the "
                        "end of the file (%llu bytes)"),
                      (unsigned long long)entry.position, (unsigned long long)entry.end,
                      (unsigned long long)account->size);
    if (entry.end > account->directoryEnd)
        account->ranges.emplace_back((uint32_t)std::max(entry.start, account->directoryEnd),
                                     (uint32_t)entry.end);
    return "";
}

// One more entry line, against the listing's record of the same rank and
// the file's size; a fault, or "".
static std::string TakeEntry(Account *account, const EntryLine &entry) {
    const Listing &listing = *account->listing;
    size_t i = account->entries++;
    if (i >= listing.count)
        return Format(_("the directory line at byte %llu is not in the listing, so the listing "
                        "is not the whole archive"),
                      (unsigned long long)entry.position);
    EntryRecord record = listing[i];
    if (entry.nameSize > (size_t)kMaxNameLength && record.position == entry.position)
        return Format(_("the entry line at byte %llu holds a name longer than 199 bytes, which "
                        "the listing cuts"),
                      (unsigned long long)entry.position);
    if (record.position != entry.position || !SameName(record, entry) ||
        record.filesize != (uint32_t)(entry.end - entry.start))
        return Format(_("the listing's entry %zu differs from the directory line at byte %llu"),
                      i + 1, (unsigned long long)entry.position);
    return TakeRange(account, entry);
}

// Walks the directory's lines, from the first one to the first entry's
// bytes: each is an entry line but the last, which closes the directory.
static std::string ReadEntryLines(LineReader *reader, Account *account) {
    std::string line, next;
    uint64_t length = 0, nextLength = 0;
    NextLine(reader, std::min<uint64_t>(kMagicSize, account->size), &line, &length);
    NextLine(reader, account->size, &line, &length);
    uint64_t position = kMagicSize;
    EntryLine entry;
    account->directoryEnd = position + length;
    if (!ParseLine(line, length, &entry) && account->directoryEnd < account->size) {
        // Bytes follow a first line that is no entry line. Without its start
        // field nothing says where the directory ends; with it, the line is
        // a damaged entry line, whose entry no listing shows.
        uint64_t start = 0;
        size_t end;
        if (!FieldsEnd(line, length, &end) || end < (size_t)kStartBeforeLf ||
            !OffsetField(line.data() + end - kStartBeforeLf, &start))
            return _("the directory's first line gives no start field, so where the directory "
                     "ends is unknown");
        account->damaged = true;
        return LineFault(line, length, position);
    }
    if (!ParseLine(line, length, &entry)) // the line closes an empty directory
        return LastLineFault(line, length, position);
    // The probe must hold the line up to its LF, which it may miss.
    if (position + length - 1 > (uint64_t)kHeadProbeSize)
        return _(
            "the first entry's line ends past byte 256, so the listing is not the whole archive");
    if (entry.start < position + length)
        return Format(_("the first entry's bytes start at byte %llu, inside the directory"),
                      (unsigned long long)entry.start);
    account->directoryEnd = std::min(entry.start, account->size);
    // Each line is known to be an entry line only once another follows it.
    uint64_t offset = position + length;
    std::string fault;
    while (fault.empty() && offset < account->directoryEnd) {
        NextLine(reader, account->directoryEnd, &next, &nextLength);
        if (nextLength == 0)
            return _("the archive could not be read to the end of its directory");
        if (!ParseLine(line, length, &entry)) {
            account->damaged = true;
            return LineFault(line, length, position);
        }
        entry.position = position;
        fault = TakeEntry(account, entry);
        line.swap(next);
        length = nextLength;
        position = offset;
        offset += length;
    }
    if (fault.empty())
        fault = LastLineFault(line, length, position);
    if (fault.empty() && account->listing->count > account->entries)
        fault = Format(_("the listing holds %zu entries, but the directory has %zu entry lines"),
                       account->listing->count, account->entries);
    return fault;
}

// A repair's walk: every line from line 1 to where line 1's start field
// ends the directory. Each well-formed entry line is kept, and every other
// line dropped, but the last, which closes the directory (if it is an entry
// line, the closing line is missing, which no repair guesses at).
static std::string CollectEntryLines(LineReader *reader, Account *account, Repair *repair) {
    std::string line;
    uint64_t length = 0, start = 0;
    NextLine(reader, std::min<uint64_t>(kMagicSize, account->size), &line, &length);
    NextLine(reader, account->size, &line, &length);
    uint64_t position = kMagicSize;
    size_t end;
    if (!FieldsEnd(line, length, &end) || end < (size_t)kStartBeforeLf ||
        !OffsetField(line.data() + end - kStartBeforeLf, &start))
        return _("the directory's first line gives no start field, so where the directory "
                 "ends is unknown");
    if (start < position + length)
        return Format(_("the first entry's bytes start at byte %llu, inside the directory"),
                      (unsigned long long)start);
    account->directoryEnd = std::min(start, account->size);
    std::string fault;
    while (fault.empty()) {
        EntryLine entry;
        bool last = position + length >= account->directoryEnd;
        if (last) {
            fault = LastLineFault(line, length, position);
        } else if (ParseLine(line, length, &entry)) {
            entry.position = position;
            fault = TakeRange(account, entry);
            repair->entries.push_back(
                {std::string(entry.name, entry.nameSize), position, entry.start, entry.end});
        } else if (length != line.size()) {
            // Too long to be read whole: it may be an entry with a long name.
            fault = Format(_("the directory line at byte %llu is too long to tell whether it is "
                             "an entry line"),
                           (unsigned long long)position);
        } else if (PastFormat(line, length)) {
            // The listing shows it: an entry, whose bytes are not in the file.
            fault = LineFault(line, length, position);
        } else {
            repair->droppedLines++;
        }
        position += length;
        if (last)
            break;
        NextLine(reader, account->directoryEnd, &line, &length);
        if (length == 0)
            fault = _("the archive could not be read to the end of its directory");
    }
    return fault;
}

// The bytes from the directory's end to the file's end that no entry holds.
static void CountUnowned(Account *account) {
    auto &ranges = account->ranges;
    if (!std::is_sorted(ranges.begin(), ranges.end()))
        std::sort(ranges.begin(), ranges.end());
    uint64_t covered = account->directoryEnd;
    auto loose = [account](uint64_t from, uint64_t to) {
        if (to > from && account->unowned == 0)
            account->firstLoose = from;
        account->unowned += to > from ? to - from : 0;
    };
    for (const auto &range : ranges) {
        loose(covered, range.first);
        covered = std::max<uint64_t>(covered, range.second);
    }
    loose(covered, account->size);
}

bool ListingAccountsForArchive(const Archive &archive, const Listing &listing, bool dropUnowned,
                               std::string *why, uint64_t *unowned, Repair *repair) {
    Account account;
    account.listing = &listing;
    account.ranges.reserve(listing.count);
    account.size = archive.state.size;
    std::string fault;
    FILE *file = OpenFile(archive.path, "rb");
    if (file == nullptr) {
        fault = Format(_("the archive could not be read again: %s"), SystemText(errno).c_str());
    } else {
        LineReader reader;
        reader.file = file;
        fault = ReadEntryLines(&reader, &account);
        if (repair != nullptr)
            repair->possible = account.damaged;
        if (account.damaged && dropUnowned && repair != nullptr && SeekFile(file, 0)) {
            account = Account();
            account.size = archive.state.size;
            LineReader fresh;
            fresh.file = file;
            repair->needed = true;
            fault = CollectEntryLines(&fresh, &account, repair);
        }
        fclose(file);
    }
    if (fault.empty() && !ArchiveUnchanged(archive))
        fault = _("the archive changed on disk while it was read");
    if (fault.empty())
        CountUnowned(&account);
    if (fault.empty() && account.unowned > 0 && !dropUnowned)
        fault = Format(P_("%llu byte after the directory belongs to no entry, the first of them "
                          "at byte %llu",
                          "%llu bytes after the directory belong to no entry, the first of them "
                          "at byte %llu",
                          (unsigned long)account.unowned),
                       (unsigned long long)account.unowned, (unsigned long long)account.firstLoose);
    if (unowned != nullptr)
        *unowned = account.unowned;
    *why = fault;
    return fault.empty();
}

std::vector<NameClash> FindNameClashes(const Listing &listing, const Encoding &encoding) {
    return FindNameClashes(
        listing.count, [&](size_t i) { return listing[i].filename; },
        [&](size_t i) { return listing[i].filesize == 0; }, encoding);
}

std::string ClashText(const Listing &listing, const Encoding &encoding, const NameClash &clash) {
    EntryRecord entry = listing[clash.entry];
    EntryRecord other = listing[clash.other];
    if (clash.duplicate)
        return Format(
            _("the name %s is stored more than once, in the directory lines at bytes %u and %u"),
            ShownName(other, encoding).c_str(), (unsigned)entry.position, (unsigned)other.position);
    return Format(_("%s is both a file and a folder (of %s)"), ShownName(entry, encoding).c_str(),
                  ShownName(other, encoding).c_str());
}

bool ListingNamesAreDistinct(const Listing &listing, const Encoding &encoding, std::string *why) {
    std::vector<NameClash> clashes = FindNameClashes(listing, encoding);
    *why = clashes.empty() ? "" : ClashText(listing, encoding, clashes[0]);
    return clashes.empty();
}
