// The verdict of `test`: everything that makes an archive damaged, as
// values. `quorvel test` prints it and the Python module's testarchive()
// answers from it, so the two cannot differ.
#ifndef AXQ_CORE_VERDICT_H
#define AXQ_CORE_VERDICT_H

#include "core/codepage.h"
#include "core/failure.h"
#include "core/host.h"

#include <stddef.h>
#include <vector>

struct Verdict {
    // What the directory as a whole gets wrong: the listing is not the whole
    // archive, or two entries' names clash. Subject: the archive.
    std::vector<Failure> directory;
    // Each fault of an entry, in the order found (an entry may have more
    // than one). Subject: the entry's shown name.
    struct Damage {
        size_t entry; // its index in the listing
        Failure why;
    };
    std::vector<Damage> damage;
    size_t damagedEntries = 0; // how many entries have a fault
    bool Sound() const { return directory.empty() && damage.empty(); }
    // The damaged entry that comes first in the directory, or -1.
    long FirstDamaged() const;
};

// Examines a listed archive as `test` does: the accounting and the names,
// then each entry's directory line (where its bytes lie, against the
// directory, the file and the other entries), then each entry's bytes read
// through the plug-in. True with the verdict, or false with the failure that
// kept the archive from being examined (it could not be opened).
bool Examine(const Archive &archive, const Listing &listing, const Encoding &encoding,
             Verdict *verdict, Failure *failure);

// The directory checks alone (accounting and names), which list shows as
// warnings: appended to `into`.
void ExamineDirectory(const Archive &archive, const Listing &listing, const Encoding &encoding,
                      std::vector<Failure> *into);

#endif
