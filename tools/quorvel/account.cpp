// Whether a listing is the whole archive, read from the archive's own bytes,
// and the names that clash. The plug-in reads a directory as its layout
// says, and some archives say less there than they hold (a first line past
// its 256-byte probe, a missing closing line, lines that are no entries,
// bytes that no entry names); a rewrite built on such a listing would drop
// the rest, so the writers ask here first.
#include "tools/quorvel/account.h"

#include "tools/quorvel/files.h"
#include "tools/quorvel/output.h"
#include "tools/quorvel/select.h"

#include "archive/archive.h"

#include <algorithm>
#include <errno.h>
#include <stdarg.h>
#include <string.h>

// Enough of a line to tell whether it is an entry line that extraction can
// read back; longer lines are measured, not kept.
static constexpr size_t kKeptLine = kLineProbeSize + 1;
static constexpr size_t kChunk = 1u << 20;
static constexpr uint64_t kLargestOffset = UINT32_MAX;

static std::string Sentence(const char *format, ...) AXQ_PRINTF(1, 2);

static std::string Sentence(const char *format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    int size = vsnprintf(nullptr, 0, format, args);
    std::string text(size > 0 ? (size_t)size : 0, '\0');
    if (size > 0)
        vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    va_end(args);
    return text;
}

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
    std::string name;
};

// A ten-digit offset field; false if it is not one.
static bool OffsetField(const char *text, uint64_t *value) {
    *value = 0;
    for (int i = 0; i < 10; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        *value = *value * 10 + (uint64_t)(text[i] - '0');
    }
    return *value <= kLargestOffset;
}

// True if the line is a whole entry line: a name without TAB, CR, LF or
// zero bytes, a TAB, two offsets with a non-digit between, and an LF.
static bool ParseLine(const std::string &line, uint64_t length, EntryLine *entry) {
    if (length != line.size() || length < (uint64_t)kFieldsSize || line.back() != '\n')
        return false;
    size_t lf = line.size() - 1;
    size_t tab = lf - kTabBeforeLf;
    const char *text = line.data();
    if (text[tab] != '\t' ||
        (text[lf - kEndBeforeLf - 1] >= '0' && text[lf - kEndBeforeLf - 1] <= '9'))
        return false;
    if (!OffsetField(text + lf - kStartBeforeLf, &entry->start) ||
        !OffsetField(text + lf - kEndBeforeLf, &entry->end))
        return false;
    entry->name.assign(text, tab);
    return entry->name.find_first_of(std::string("\t\r\n\0", 4)) == std::string::npos;
}

// What the file's own bytes say against the listing.
struct Account {
    std::string fault;       // empty if the listing holds every entry line
    uint64_t unowned = 0;    // bytes after the directory that no entry names
    uint64_t firstLoose = 0; // the first of them
};

// The directory's entry lines: all lines from the first one to the first
// entry's bytes, but the last, which closes the directory. *directoryEnd is
// where the data begins (the file's end if it comes first).
static std::string ReadEntryLines(LineReader *reader, uint64_t size,
                                  std::vector<EntryLine> *entries, uint64_t *directoryEnd) {
    std::string line, next;
    uint64_t length = 0, nextLength = 0;
    NextLine(reader, std::min<uint64_t>(kMagicSize, size), &line, &length);
    NextLine(reader, size, &line, &length);
    uint64_t position = kMagicSize;
    EntryLine entry;
    *directoryEnd = position + length;
    if (!ParseLine(line, length, &entry))
        return ""; // no entry line: the line closes an empty directory
    if (position + length > (uint64_t)kHeadProbeSize)
        return "the first entry's line ends past byte 256, so the listing is not the whole archive";
    if (entry.start < position + length)
        return Sentence("the first entry's bytes start at byte %llu, inside the directory",
                        (unsigned long long)entry.start);
    *directoryEnd = std::min(entry.start, size);
    // Each line is known to be an entry line only once another follows it.
    uint64_t offset = position + length;
    while (offset < *directoryEnd) {
        NextLine(reader, *directoryEnd, &next, &nextLength);
        if (nextLength == 0)
            return "the archive could not be read to the end of its directory";
        if (!ParseLine(line, length, &entry))
            return Sentence("the directory line at byte %llu is not an entry line",
                            (unsigned long long)position);
        entry.position = position;
        entries->push_back(entry);
        line.swap(next);
        length = nextLength;
        position = offset;
        offset += length;
    }
    if (ParseLine(line, length, &entry))
        return Sentence("the directory's last line, at byte %llu, is an entry line that the "
                        "listing leaves out (the directory has no closing line)",
                        (unsigned long long)position);
    return "";
}

// The listing against the entry lines, one by one.
static std::string CompareListing(const Listing &listing, const std::vector<EntryLine> &entries) {
    size_t both = std::min(listing.count, entries.size());
    for (size_t i = 0; i < both; i++) {
        const FileInfo &record = listing.records[i];
        const EntryLine &entry = entries[i];
        if (entry.name.size() > (size_t)kMaxNameLength && record.position == entry.position)
            return Sentence("the entry line at byte %llu holds a name longer than 199 bytes, "
                            "which the listing cuts",
                            (unsigned long long)entry.position);
        if (record.position != entry.position || entry.name != record.filename ||
            record.filesize != (uint32_t)(entry.end - entry.start))
            return Sentence("the listing's entry %zu differs from the directory line at byte %llu",
                            i + 1, (unsigned long long)entry.position);
    }
    if (entries.size() > listing.count)
        return Sentence("the directory line at byte %llu is not in the listing, so the listing "
                        "is not the whole archive",
                        (unsigned long long)entries[both].position);
    if (listing.count > entries.size())
        return Sentence("the listing holds %zu entries, but the directory has %zu entry lines",
                        listing.count, entries.size());
    return "";
}

// The bytes from the directory's end to the file's end that no entry holds.
static std::string CountUnowned(const std::vector<EntryLine> &entries, uint64_t directoryEnd,
                                uint64_t size, Account *account) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const EntryLine &entry : entries) {
        if (entry.end < entry.start)
            return Sentence("the entry line at byte %llu ends its bytes before it starts them",
                            (unsigned long long)entry.position);
        if (entry.end > size)
            return Sentence("the entry line at byte %llu places its bytes up to byte %llu, past "
                            "the end of the file (%llu bytes)",
                            (unsigned long long)entry.position, (unsigned long long)entry.end,
                            (unsigned long long)size);
        if (entry.end > directoryEnd)
            ranges.emplace_back(std::max(entry.start, directoryEnd), entry.end);
    }
    std::sort(ranges.begin(), ranges.end());
    uint64_t covered = directoryEnd;
    auto loose = [&](uint64_t from, uint64_t to) {
        if (to > from && account->unowned == 0)
            account->firstLoose = from;
        account->unowned += to > from ? to - from : 0;
    };
    for (const auto &range : ranges) {
        loose(covered, range.first);
        covered = std::max(covered, range.second);
    }
    loose(covered, size);
    return "";
}

static Account AccountFor(FILE *file, uint64_t size, const Listing &listing) {
    Account account;
    LineReader reader;
    reader.file = file;
    std::vector<EntryLine> entries;
    uint64_t directoryEnd = 0;
    account.fault = ReadEntryLines(&reader, size, &entries, &directoryEnd);
    if (account.fault.empty())
        account.fault = CompareListing(listing, entries);
    if (account.fault.empty())
        account.fault = CountUnowned(entries, directoryEnd, size, &account);
    return account;
}

bool ListingAccountsForArchive(const Archive &archive, const Listing &listing, bool dropUnowned,
                               std::string *why, uint64_t *unowned) {
    Account account;
    FILE *file = OpenFile(archive.path, "rb");
    if (file == nullptr) {
        account.fault = Sentence("the archive could not be read again: %s", strerror(errno));
    } else {
        account = AccountFor(file, archive.state.size, listing);
        fclose(file);
    }
    if (account.fault.empty() && !ArchiveUnchanged(archive))
        account.fault = "the archive changed on disk while it was read";
    if (account.fault.empty() && account.unowned > 0 && !dropUnowned)
        account.fault =
            Sentence("%llu bytes after the directory belong to no entry, the first "
                     "of them at byte %llu",
                     (unsigned long long)account.unowned, (unsigned long long)account.firstLoose);
    if (unowned != nullptr)
        *unowned = account.unowned;
    *why = account.fault;
    return account.fault.empty();
}

// A decoded name as a path: its parts split at '/' and '\', empty and "."
// parts left out. A name that does not decode is kept whole, as its bytes,
// where no separator can be told from a double-byte character's second byte.
static std::string PathKey(const FileInfo &record, const Encoding &encoding) {
    std::string name, key, part;
    if (!RecordName(record, encoding, &name))
        return std::string(1, '\0') + record.filename;
    name += '/';
    for (char c : name) {
        if (c != '/' && c != '\\') {
            part += c;
            continue;
        }
        if (!part.empty() && part != ".")
            key += (key.empty() ? "" : "/") + part;
        part.clear();
    }
    return key;
}

std::vector<NameClash> FindNameClashes(const Listing &listing, const Encoding &encoding) {
    std::vector<std::pair<std::string, size_t>> keys;
    for (size_t i = 0; i < listing.count; i++)
        keys.emplace_back(PathKey(listing.records[i], encoding), i);
    std::sort(keys.begin(), keys.end());
    std::vector<NameClash> clashes;
    for (size_t k = 0; k < keys.size(); k++) {
        NameClash clash;
        clash.entry = keys[k].second;
        if (k > 0 && keys[k - 1].first == keys[k].first) {
            // Each later entry of a path, with the first one.
            size_t first = k - 1;
            while (first > 0 && keys[first - 1].first == keys[k].first)
                first--;
            clash.entry = keys[first].second;
            clash.other = keys[k].second;
            clash.duplicate = true;
            clashes.push_back(clash);
            continue;
        }
        // Paths below this one sort right after "path/".
        std::string folder = keys[k].first + "/";
        auto below =
            std::lower_bound(keys.begin() + (long)k, keys.end(), std::make_pair(folder, (size_t)0));
        if (below != keys.end() && below->first.compare(0, folder.size(), folder) == 0) {
            clash.other = below->second;
            clashes.push_back(clash);
        }
    }
    std::sort(clashes.begin(), clashes.end(), [](const NameClash &a, const NameClash &b) {
        return std::max(a.entry, a.other) < std::max(b.entry, b.other);
    });
    return clashes;
}

std::string ClashText(const Listing &listing, const Encoding &encoding, const NameClash &clash) {
    const FileInfo &entry = listing.records[clash.entry];
    const FileInfo &other = listing.records[clash.other];
    if (clash.duplicate)
        return Sentence(
            "the name %s is stored more than once, in the directory lines at bytes %u and %u",
            ShownName(other, encoding).c_str(), (unsigned)entry.position, (unsigned)other.position);
    return Sentence("%s is both a file and a folder (of %s)", ShownName(entry, encoding).c_str(),
                    ShownName(other, encoding).c_str());
}

bool ListingNamesAreDistinct(const Listing &listing, const Encoding &encoding, std::string *why) {
    std::vector<NameClash> clashes = FindNameClashes(listing, encoding);
    *why = clashes.empty() ? "" : ClashText(listing, encoding, clashes[0]);
    return clashes.empty();
}

bool ReportUnaccounted(const Archive &archive, const Listing &listing, const Encoding &encoding) {
    std::string why;
    bool whole = ListingAccountsForArchive(archive, listing, false, &why);
    if (!whole)
        Error(archive.path, "%s", why.c_str());
    bool distinct = ListingNamesAreDistinct(listing, encoding, &why);
    if (!distinct)
        Error(archive.path, "%s", why.c_str());
    return whole && distinct;
}
