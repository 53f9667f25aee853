// The commands that look at archives without writing anything: check, list
// and test.
#include "core/account.h"
#include "core/files.h"
#include "core/host.h"
#include "core/output.h"
#include "cli/quorvel.h"
#include "core/select.h"
#include "core/translate.h"
#include "core/verdict.h"

#include "archive/archive.h"

#include <algorithm>
#include <errno.h>
#include <inttypes.h>
#include <nlohmann/json.hpp>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

void PrintFaults(const std::vector<Failure> &faults) {
    for (const Failure &fault : faults)
        PrintFailure(fault);
}

int OpenListingOrReport(const std::string &path, const Encoding &encoding, Selection *selection) {
    Failure failure;
    if (OpenListing(path, encoding, selection, &failure))
        return kExitOk;
    PrintFaults({failure});
    return kExitArchive;
}

int SelectEntries(const Options &options, Selection *selection, bool operandOrder) {
    Failure failure;
    std::vector<Failure> unmatched;
    Choice choice = ChoiceOf(options);
    choice.operandOrder = operandOrder;
    if (!Select(options.operands[0], options.encoding, choice, selection, &failure, &unmatched)) {
        PrintFaults({failure});
        return kExitArchive;
    }
    PrintFaults(unmatched);
    return unmatched.empty() ? kExitOk : kExitPartial;
}

int Check(const Options &options) {
    int status = kExitOk;
    for (const std::string &path : options.operands) {
        Archive archive;
        Failure failure;
        ArchiveCheck check = OpenArchive(path, &archive, &failure);
        if (check == kUnreadable)
            PrintFaults({failure});
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
    int status = SelectEntries(options, &selection);
    if (status > kExitPartial)
        return status;
    const Encoding &encoding = selection.encoding;
    std::vector<Failure> faults;
    ExamineDirectory(selection.archive, selection.listing, encoding, &faults);
    PrintFaults(faults);
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

// Tests one archive; returns its exit status.
static int TestArchive(const std::string &path, const Encoding &chosen) {
    Selection selection;
    if (OpenListingOrReport(path, chosen, &selection) != kExitOk)
        return kExitArchive;
    const Listing &listing = selection.listing;
    Verdict verdict;
    Failure failure;
    if (!Examine(selection.archive, listing, selection.encoding, &verdict, &failure)) {
        PrintFailure(failure);
        FreeSelection(&selection);
        return kExitArchive;
    }
    PrintFaults(verdict.directory);
    for (const Verdict::Damage &damage : verdict.damage)
        Error(path, "%s", FailureText(damage.why).c_str());
    size_t bad = verdict.damagedEntries;
    bool whole = verdict.directory.empty();
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
    return verdict.Sound() ? kExitOk : kExitPartial;
}

int Test(const Options &options) {
    int status = kExitOk;
    for (const std::string &path : options.operands)
        status = std::max(status, TestArchive(path, options.encoding));
    return FlushOutput() ? status : kExitArchive;
}
