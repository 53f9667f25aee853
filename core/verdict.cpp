// The checks of `test`, returning what they find instead of printing it.
#include "core/verdict.h"

#include "archive/archive.h"
#include "core/account.h"
#include "core/files.h"
#include "core/select.h"
#include "core/translate.h"

#include <algorithm>
#include <errno.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif
#include <stdio.h>
#include <string.h>

long Verdict::FirstDamaged() const {
    long first = -1;
    for (const Damage &d : damage)
        first = first < 0 || (long)d.entry < first ? (long)d.entry : first;
    return first;
}

// An entry's offsets, as its directory line gives them.
struct Range {
    uint64_t start = 0, end = 0;
};
// A range kept for the overlap check, small for a million of them: its size
// is a record's, which has 32 bits.
struct KeptRange {
    uint64_t start;
    uint32_t size, index;
    uint64_t end() const { return start + size; }
};

// A decimal field of the directory; a byte that is not a digit ends it.
static uint64_t Field(const char *text, int32_t size) {
    uint64_t value = 0;
    for (int32_t i = 0; i < size && text[i] >= '0' && text[i] <= '9'; i++)
        value = value * 10 + (uint64_t)(text[i] - '0');
    return value;
}

// Reads the directory line at `position` itself, to learn the entry's
// offsets, which a record does not hold. False if no entry line starts there.
static bool ReadRange(FILE *file, uint64_t position, Range *range) {
    char line[kLineProbeSize] = {0};
    bool moved = SeekFile(file, position);
    size_t got = moved ? fread(line, 1, sizeof line, file) : 0;
    // The line ends at its LF, or at a CR before it, as the plug-in reads it.
    const char *lf = (const char *)memchr(line, '\n', got);
    const char *cr =
        lf != nullptr ? (const char *)memchr(line, '\r', (size_t)(lf - line)) : nullptr;
    if (cr != nullptr)
        lf = cr;
    if (lf == nullptr || lf - line < kTabBeforeLf || lf[-kTabBeforeLf] != '\t')
        return false;
    range->start = Field(lf - kStartBeforeLf, 10);
    range->end = Field(lf - kEndBeforeLf, 10);
    return true;
}

#ifndef _WIN32
// Reads every kept range (sorted by start) through a window of the file that
// moves forward a large piece at a time; an entry that cannot be read whole
// is reported as GetFile reports it, and every one read as changed if the
// archive is no longer the file listed.
template <typename Report>
static void ReadInPieces(const Archive &archive, const std::vector<KeptRange> &ranges,
                         const std::vector<bool> &damaged, Report report) {
    static constexpr uint64_t kWindow = 4u << 20;
    int fd = open(archive.path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<char> window(fd >= 0 && !ranges.empty() ? kWindow : 0);
    uint64_t from = 0, to = 0; // the window holds [from, to)
    std::vector<uint32_t> read;
    for (const KeptRange &range : ranges) {
        if (damaged[range.index])
            continue;
        bool whole = fd >= 0;
        for (uint64_t at = range.start; whole && at < range.end();) {
            if (at < from || at >= to) {
                ssize_t got = pread(fd, window.data(), window.size(), (off_t)at);
                from = at;
                to = at + (got > 0 ? (uint64_t)got : 0);
                whole = got > 0;
            }
            at = whole ? std::min(to, range.end()) : at;
        }
        if (whole)
            read.push_back(range.index);
        else
            report(range.index, ResultMessage(SPI_FILE_ERROR));
    }
    if (fd >= 0)
        close(fd);
    if (!ArchiveUnchanged(archive)) {
        for (uint32_t index : read)
            report(index, ResultMessage(kArchiveChanged));
    }
}
#endif

void ExamineDirectory(const Archive &archive, const Listing &listing, const Encoding &encoding,
                      std::vector<Failure> *into) {
    std::string why;
    if (!ListingAccountsForArchive(archive, listing, false, &why))
        into->push_back(Fail(FailureKind::kDamaged, archive.path, kSentence, {why}));
    if (!ListingNamesAreDistinct(listing, encoding, &why))
        into->push_back(Fail(FailureKind::kDamaged, archive.path, kSentence, {why}));
}

bool Examine(const Archive &archive, const Listing &listing, const Encoding &encoding,
             Verdict *verdict, Failure *failure) {
    *verdict = Verdict();
    FILE *file = OpenFile(archive.path, "rb");
    if (file == nullptr) {
        *failure = SystemFailure(archive.path, errno);
        return false;
    }
    ExamineDirectory(archive, listing, encoding, &verdict->directory);
    std::vector<bool> damaged(listing.count);
    auto report = [&](size_t i, const char *message, std::vector<std::string> args = {}) {
        verdict->damage.push_back(
            {i, Fail(FailureKind::kDamaged, ShownName(listing[i], encoding), message, args)});
        damaged[i] = true;
    };
    std::vector<KeptRange> ranges;
    ranges.reserve(listing.count);
    uint64_t directoryEnd = 0;
    std::string name;
    for (size_t i = 0; i < listing.count; i++) {
        EntryRecord record = listing[i];
        Range range;
        if (!ReadRange(file, record.position, &range)) {
            report(i, N_("no entry line at its position"));
            continue;
        }
        if (ranges.empty())
            directoryEnd = range.start; // the first entry's data ends the directory
        if (!RecordName(record, encoding, &name))
            report(i, N_("the name is not valid %s"), {encoding.name});
        if (range.end < range.start)
            report(i, N_("its end lies before its start"));
        else if (range.start < directoryEnd)
            report(i, N_("its bytes start inside the directory"));
        else if (range.end > archive.state.size)
            report(i, N_("its bytes run past the end of the file (%s > %s)"),
                   {std::to_string(range.end), std::to_string(archive.state.size)});
        else if (range.end - range.start != record.filesize)
            report(i, N_("its size differs from the listing"));
        else
            ranges.push_back({range.start, (uint32_t)(range.end - range.start), (uint32_t)i});
    }
    fclose(file);
    // Entries share no bytes: sorted by start, each ends before the next starts.
    // They are in order already unless the directory says otherwise.
    auto byStart = [](const KeptRange &a, const KeptRange &b) { return a.start < b.start; };
    if (!std::is_sorted(ranges.begin(), ranges.end(), byStart))
        std::sort(ranges.begin(), ranges.end(), byStart);
    for (size_t k = 1; k < ranges.size(); k++) {
        const KeptRange &before = ranges[k - 1];
        if (ranges[k].start < before.end() && ranges[k].size > 0)
            report(ranges[k].index, N_("its bytes overlap those of %s"),
                   {ShownName(listing[before.index], encoding)});
    }
#ifdef _WIN32
    // Through GetFile, an entry at a time, as the module's hosts read them.
    for (size_t i = 0; i < listing.count; i++) {
        if (damaged[i])
            continue;
        EntryBytes entry;
        int32_t result = ReadEntry(archive, listing[i], &entry);
        if (result != SPI_OK)
            report(i, ResultMessage(result));
        FreeEntry(&entry);
    }
#else
    // The entries' bytes read in order of their place in the file, in large
    // pieces from the archive opened once: what GetFile would refuse in a
    // line that passed the checks above is only what cannot be read.
    ReadInPieces(archive, ranges, damaged, report);
#endif
    verdict->damagedEntries = (size_t)std::count(damaged.begin(), damaged.end(), true);
    return true;
}
