// Two archives compared entry by entry: which names the newer one adds or
// removes, and which entries of the same name hold other bytes. Names meet
// as decoded text, each in its archive's code page, '\' and '/' alike, so
// that archives of two code pages compare by name.
#ifndef AXQ_CORE_DIFF_H
#define AXQ_CORE_DIFF_H

#include "core/failure.h"
#include "core/select.h"

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

enum class Change { kAdded, kRemoved, kChanged };

// "added", "removed" or "changed", as --json and the module name a change.
const char *ChangeName(Change change);

struct Difference {
    Change change = Change::kChanged;
    std::string name;            // decoded (the newer archive's; a removal's, the older's),
    bool decoded = true;         // or, if it cannot be, its bytes escaped (\x83...)
    size_t older = 0, newer = 0; // the entry's place in each listing it is in
    uint64_t olderSize = 0, newerSize = 0;
};

// The key an entry's name meets others by: decoded, '\' as '/'; a name that
// cannot be decoded meets only the same bytes.
std::string EntryKey(const EntryRecord &record, const Encoding &encoding);

// Select of two archives with one choice of names: a NAME that matches in
// neither archive is a kNotFound in *unmatched (one that matches in one of
// them is what a comparison finds added or removed). False with *failure if
// either cannot be opened and listed; nothing is left to free then.
bool SelectPair(const std::string &olderPath, const std::string &newerPath,
                const Encoding &encoding, const Choice &choice, Selection *older, Selection *newer,
                Failure *failure, std::vector<Failure> *unmatched);

// Whether an archive's listing is the whole of it, each name one entry's:
// what every rewrite asks of what it reads. False with *failure (kDamaged).
bool ArchiveWhole(const Selection &in, Failure *failure);

// Opens and lists a patch for an archive whose names read in
// `archiveEncoding`, choosing its entries as Select does. With "auto" its
// names are read in the archive's code page where they all are valid there
// (a patch holds too few of its source's names for "auto" to tell their code
// page), else as "auto" reads them. Each NAME that matches nothing is a
// kNotFound in *unmatched. False with *failure if it cannot be listed.
bool SelectPatch(const std::string &path, const Encoding &chosen, const Encoding &archiveEncoding,
                 const Choice &choice, Selection *patch, Failure *failure,
                 std::vector<Failure> *unmatched);

// Whether `patch` may be applied to the archive at `target`: it is another
// file, whole (ArchiveWhole). False with *failure.
bool CheckPatch(const std::string &target, const Selection &patch, Failure *failure);

// Compares the chosen entries of two selections: the changed and removed in
// the older archive's order, then the added in the newer's. Entries of the
// same size are compared byte for byte. False with *failure (kDamaged) if
// either archive is not whole (ArchiveWhole) or an entry cannot be read.
bool CompareArchives(const Selection &older, const Selection &newer,
                     std::vector<Difference> *differences, Failure *failure);

// Writes the patch of a comparison: the newer archive's added and changed
// entries, in its order, under its stored names, as a new archive at `path`
// (written as pack writes one: the target's rules, its lock, a temporary
// file renamed into place). Neither archive compared may be the target.
// False with *failure.
bool WritePatch(const std::string &path, const Selection &older, const Selection &newer,
                const std::vector<Difference> &differences, bool progress, Failure *failure);

#endif
