// Whether a listing is the whole archive: read from the archive's own bytes,
// so that no rewrite drops what the listing does not show, and the names
// that two entries share or that are both a file and a folder.
#ifndef AXQ_QUORVEL_ACCOUNT_H
#define AXQ_QUORVEL_ACCOUNT_H

#include "core/codepage.h"
#include "core/host.h"

#include <functional>
#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

// True if the directory as listed accounts for the whole file: every line
// between the magic line and the first entry's bytes is an entry the listing
// holds (the last one excepted, which closes the directory), and the listing
// holds no more; every entry's bytes lie in the file; and every byte after
// the directory belongs to some entry, unless dropUnowned. Reads the file
// itself. On false, *why is one sentence naming what does not add up.
// *unowned (if given) receives the count of bytes that belong to no entry,
// also when dropUnowned lets them pass.
//
// With dropUnowned and `repair`, a directory that holds lines that are no
// entry lines (a damaged name or field, an empty line) passes too, as long
// as line 1 gives the directory's extent (its start field): the listing
// stops at such a line and hides the entries after it, so *repair then
// receives every well-formed entry line instead, which is what a rewrite
// keeps, and the damaged lines count as dropped. Their bytes, and the bytes
// no kept line holds, are what *unowned counts.
struct DirectoryEntry {
    std::string name; // as stored, whole
    uint64_t position = 0, start = 0, end = 0;
};
struct Repair {
    bool possible = false;               // a line is none, and line 1 gives the extent
    bool needed = false;                 // the listing is not used: entries are
    std::vector<DirectoryEntry> entries; // every entry line, in directory order
    size_t droppedLines = 0;             // the lines that are none
};
bool ListingAccountsForArchive(const Archive &archive, const Listing &listing, bool dropUnowned,
                               std::string *why, uint64_t *unowned = nullptr,
                               Repair *repair = nullptr);

// Two entries whose names meet: the same path, or `entry` is a file where
// `other`'s path has a folder of that name. Paths are the decoded names
// split at '/' and '\', empty and "." parts left out, compared exactly.
struct NameClash {
    size_t entry = 0; // index in the listing
    size_t other = 0; // a later entry of the same path, or one below the file's path
    bool duplicate = false;
};

// Every later entry of a path stored more than once, and every file that is
// also a folder (once, with one entry below it), in the listing's order.
std::vector<NameClash> FindNameClashes(const Listing &listing, const Encoding &encoding);
// The same over any names as stored (a new archive's, before it is written):
// nameAt(i) is entry i's, zero-terminated; emptyAt(i) says whether it has no
// bytes (then a name that ends in a separator is a folder, as FolderEntry says).
using StoredNameAt = std::function<const char *(size_t)>;
using EmptyAt = std::function<bool(size_t)>;
std::vector<NameClash> FindNameClashes(size_t count, const StoredNameAt &nameAt,
                                       const EmptyAt &emptyAt, const Encoding &encoding);

// A stored name as the clash checks compare it: the decoded name's parts
// joined by '/', empty and "." parts left out; a folder entry's (`folder`:
// no bytes, a closing separator) with a closing '/'; a name that does not
// decode, a zero byte and its bytes.
std::string NamePath(const char *stored, bool folder, const Encoding &encoding);

// One sentence on a clash, naming both entries.
std::string ClashText(const Listing &listing, const Encoding &encoding, const NameClash &clash);

// True if no two entries clash; else false with the first clash's sentence.
bool ListingNamesAreDistinct(const Listing &listing, const Encoding &encoding, std::string *why);

#endif
