// The diff command: two archives compared entry by entry, as lines or JSON,
// and with -o the newer archive's added and changed entries written as a
// patch, an archive that update --from applies.
#include "core/diff.h"
#include "core/output.h"
#include "core/translate.h"
#include "cli/quorvel.h"

#include <nlohmann/json.hpp>

// diff(1)'s statuses: the same, different, trouble.
static constexpr int kExitSame = 0, kExitDifferent = 1;

// One line: A, D or M, the sizes before and after ("-" where there is
// none), and the name, TAB between them.
static std::string Line(const Difference &d) {
    std::string older = d.change == Change::kAdded ? "-" : std::to_string(d.olderSize);
    std::string newer = d.change == Change::kRemoved ? "-" : std::to_string(d.newerSize);
    const char *letter = d.change == Change::kAdded     ? "A"
                         : d.change == Change::kRemoved ? "D"
                                                        : "M";
    return std::string(letter) + "\t" + older + "\t" + newer + "\t" + EscapeControls(d.name) + "\n";
}

static std::string JsonLine(const Difference &d) {
    nlohmann::ordered_json line = {{"change", ChangeName(d.change)}, {"name", d.name}};
    line["old_size"] =
        d.change == Change::kAdded ? nlohmann::ordered_json() : nlohmann::ordered_json(d.olderSize);
    line["new_size"] = d.change == Change::kRemoved ? nlohmann::ordered_json()
                                                    : nlohmann::ordered_json(d.newerSize);
    if (!d.decoded)
        line["decoded"] = false;
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

int Diff(const Options &options) {
    RemoveTemporaryOnInterrupt();
    Choice choice = ChoiceOf(options);
    choice.names.erase(choice.names.begin()); // the newer archive's path
    Selection older, newer;
    Failure failure;
    std::vector<Failure> unmatched;
    if (!SelectPair(options.operands[0], options.operands[1], options.encoding, choice, &older,
                    &newer, &failure, &unmatched)) {
        PrintFailure(failure);
        return kExitArchive;
    }
    // A NAME is wrong only if it matches in neither archive.
    PrintFaults(unmatched);
    int status = unmatched.empty() ? kExitSame : kExitArchive;
    // What the other NAMEs chose is compared still; a patch is written only
    // when nothing went wrong.
    std::vector<Difference> differences;
    bool compared = CompareArchives(older, newer, &differences, &failure);
    if (!compared) {
        PrintFailure(failure);
        status = kExitArchive;
    }
    // An output that fails (a full disk) loses the list: trouble.
    bool written = true;
    for (size_t i = 0; compared && written && i < differences.size(); i++)
        written = PrintText(options.json ? JsonLine(differences[i]) : Line(differences[i]));
    if (!written || !FlushOutput())
        status = kExitArchive;
    if (status != kExitArchive && !options.output.empty() &&
        !WritePatch(options.output, older, newer, differences, true, &failure)) {
        PrintFailure(failure);
        status = kExitArchive;
    }
    if (status == kExitSame && !differences.empty())
        status = kExitDifferent;
    FreeSelection(&newer);
    FreeSelection(&older);
    return status;
}
