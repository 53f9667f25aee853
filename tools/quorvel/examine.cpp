// The commands that look at archives without writing anything: check, list
// and test.
#include "tools/quorvel/account.h"
#include "tools/quorvel/files.h"
#include "tools/quorvel/host.h"
#include "tools/quorvel/output.h"
#include "tools/quorvel/quorvel.h"
#include "tools/quorvel/select.h"
#include "tools/quorvel/translate.h"

#include "archive/archive.h"

#include <algorithm>
#include <errno.h>
#include <inttypes.h>
#include <nlohmann/json.hpp>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

int Check(const Options &options) {
    int status = kExitOk;
    for (const std::string &path : options.operands) {
        Archive archive;
        ArchiveCheck check = OpenArchive(path, &archive, true);
        // The result lines are for scripts as much as for people: the same
        // in every language, and "Quorvel archive" is the format's own name.
        if (check == kIsArchive)
            PrintText(path + ": Quorvel archive\n"); // untranslated: read by scripts
        else if (check == kNotAnArchive)
            PrintText(path + ": not a Quorvel archive\n"); // untranslated: read by scripts
        status = std::max(status, check == kIsArchive      ? kExitOk
                                  : check == kNotAnArchive ? kExitPartial
                                                           : kExitArchive);
    }
    return FlushOutput() ? status : kExitArchive;
}

static std::string Line(const char *format, ...) AXQ_PRINTF(1, 2);

static std::string Line(const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// A label filled with spaces to `width` columns, on the left or the right.
static std::string Pad(const std::string &label, size_t width, bool right) {
    size_t columns = Columns(label);
    std::string fill(columns < width ? width - columns : 0, ' ');
    return right ? fill + label : label + fill;
}

static std::string JsonLine(const EntryRecord &record, const Encoding &encoding) {
    std::string name;
    bool decoded = RecordName(record, encoding, &name);
    int64_t written = LastWriteTime(record.timestamp);
    nlohmann::ordered_json entry = {
        {"name", decoded ? name : EscapeBytes(record.filename, strlen(record.filename))},
        {"size", (uint64_t)record.filesize},
        {"position", (uint64_t)record.position},
        {"time", FormatTime(written, true)},
        {"stamp", (int64_t)record.timestamp}};
    if (!decoded)
        entry["decoded"] = false;
    return entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

int List(const Options &options) {
    Selection selection;
    int status = Select(options, &selection);
    if (status > kExitPartial)
        return status;
    const Encoding &encoding = selection.encoding;
    ReportUnaccounted(selection.archive, selection.listing, encoding);
    size_t count = selection.Count();
    bool ok = true;
    uint64_t total = 0;
    size_t undecodable = 0;
    if (options.details) {
        ok = PrintText(Pad(_("Size"), 12, true) + "  " + Pad(_("Date       Time"), 19, false) +
                       "  " + Pad(_("Position"), 10, true) + "  " + _("Name") + "\n") &&
             PrintText(Line("%12s  %-19s  %10s  %s\n", "------------", "-------------------",
                            "----------", "----"));
    }
    std::string name;
    for (size_t i = 0; ok && i < count; i++) {
        EntryRecord record = selection[i];
        bool decoded;
        name = ShownName(record, encoding, &decoded);
        undecodable += decoded ? 0 : 1;
        if (options.json)
            ok = PrintText(JsonLine(record, encoding));
        else if (options.details)
            ok = PrintText(Line("%12" PRIu64 "  %-19s  %10" PRIu64 "  ", (uint64_t)record.filesize,
                                FormatTime(LastWriteTime(record.timestamp), false).c_str(),
                                (uint64_t)record.position) +
                           name + "\n");
        else
            ok = PrintText(name + "\n");
        total += record.filesize;
    }
    if (ok && options.details) {
        ok = PrintText(Line("%12s  %-19s  %10s  %s\n", "------------", "", "", "----")) &&
             PrintText(Line("%12" PRIu64 "  %-19s  %10s  ", total, "", "") +
                       Format(P_("%zu entry", "%zu entries", count), count) + "\n");
    }
    FreeSelection(&selection);
    if (!FlushOutput() || !ok)
        return kExitArchive;
    if (undecodable > 0)
        Error(options.operands[0],
              P_("%zu name is not valid %s and is shown with \\x escapes (see --encoding)",
                 "%zu names are not valid %s and are shown with \\x escapes (see --encoding)",
                 undecodable),
              undecodable, encoding.name.c_str());
    return status;
}

// An entry's offsets, as its directory line gives them.
struct Range {
    uint64_t start = 0, end = 0;
    size_t index = 0;
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
    const char *lf = (const char *)memchr(line, '\n', got);
    if (lf == nullptr || lf - line < kTabBeforeLf || lf[-kTabBeforeLf] != '\t')
        return false;
    range->start = Field(lf - kStartBeforeLf, 10);
    range->end = Field(lf - kEndBeforeLf, 10);
    return true;
}

// Tests one archive; returns its exit status.
static int TestArchive(const std::string &path, const Encoding &chosen) {
    Selection selection;
    if (OpenListing(path, chosen, &selection) != kExitOk)
        return kExitArchive;
    const Archive &archive = selection.archive;
    const Listing &listing = selection.listing;
    const Encoding &encoding = selection.encoding;
    // Entries the listing misses are damage no entry shows.
    bool whole = ReportUnaccounted(archive, listing, encoding);
    FILE *file = OpenFile(path, "rb");
    if (file == nullptr) {
        Error(path, "%s", SystemText(errno).c_str());
        FreeSelection(&selection);
        return kExitArchive;
    }
    std::vector<bool> damaged(listing.count);
    auto report = [&](size_t i, const std::string &what) {
        Error(path, "%s: %s", ShownName(listing[i], encoding).c_str(), what.c_str());
        damaged[i] = true;
    };
    std::vector<KeptRange> ranges;
    ranges.reserve(listing.count);
    uint64_t directoryEnd = 0;
    std::string name;
    for (size_t i = 0; i < listing.count; i++) {
        EntryRecord record = listing[i];
        Range range;
        range.index = i;
        if (!ReadRange(file, record.position, &range)) {
            report(i, _("no entry line at its position"));
            continue;
        }
        if (ranges.empty())
            directoryEnd = range.start; // the first entry's data ends the directory
        if (!RecordName(record, encoding, &name))
            report(i, Format(_("the name is not valid %s"), encoding.name.c_str()));
        if (range.end < range.start)
            report(i, _("its end lies before its start"));
        else if (range.start < directoryEnd)
            report(i, _("its bytes start inside the directory"));
        else if (range.end > archive.state.size)
            report(i,
                   Format(_("its bytes run past the end of the file (%llu > %llu)"),
                          (unsigned long long)range.end, (unsigned long long)archive.state.size));
        else if (range.end - range.start != record.filesize)
            report(i, _("its size differs from the listing"));
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
            report(ranges[k].index, Format(_("its bytes overlap those of %s"),
                                           ShownName(listing[before.index], encoding).c_str()));
    }
    for (size_t i = 0; i < listing.count; i++) {
        if (damaged[i])
            continue;
        EntryBytes entry;
        int32_t result = ReadEntry(archive, listing[i], &entry);
        if (result != SPI_OK)
            report(i, ResultText(result));
        FreeEntry(&entry);
    }
    size_t bad = (size_t)std::count(damaged.begin(), damaged.end(), true);
    // The summary is read by scripts: the same in every language.
    std::string entries =
        std::to_string(listing.count) + (listing.count == 1 ? " entry" : " entries");
    std::string directory = whole ? "" : "the directory damaged"; // untranslated: read by scripts
    std::string state = bad == 0 && whole ? "all OK"              // untranslated: read by scripts
                        : bad == 0        ? directory
                        : whole           ? std::to_string(bad) + " damaged"
                                          : std::to_string(bad) + " damaged, " + directory;
    PrintText(path + ": " + entries + ", " + state + "\n");
    FreeSelection(&selection);
    return bad == 0 && whole ? kExitOk : kExitPartial;
}

int Test(const Options &options) {
    int status = kExitOk;
    for (const std::string &path : options.operands)
        status = std::max(status, TestArchive(path, options.encoding));
    return FlushOutput() ? status : kExitArchive;
}
