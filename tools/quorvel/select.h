// Which entries a command works on: the archive's names decoded, and the
// NAME operands of list, extract and cat matched against them.
#ifndef AXQ_QUORVEL_SELECT_H
#define AXQ_QUORVEL_SELECT_H

#include "tools/quorvel/host.h"
#include "tools/quorvel/quorvel.h"

#include <string>
#include <vector>

// The encoding of a listing's names: the one chosen, or for "auto" the one
// its names show (see ResolveEncoding).
Encoding ListingEncoding(const Listing &listing, const Encoding &chosen);

// A record's name as text, or false if it cannot be decoded.
bool RecordName(const FileInfo &record, const Encoding &encoding, std::string *text);

// A record's name to show: decoded, with control characters escaped, or,
// when it cannot be decoded, its bytes escaped (\x83...); *decoded says which.
std::string ShownName(const FileInfo &record, const Encoding &encoding, bool *decoded = nullptr);

// The records the operands name, in directory order, each once: all of them
// without operands. An operand without pattern characters and without
// ignoreCase is the exact name, converted to the archive's code page and
// looked up by the plug-in; any other is a pattern matched against the
// decoded names. Then the entries an exclude pattern matches are left out.
// An operand that matches nothing is reported, and *status becomes at least
// kExitPartial.
std::vector<size_t> SelectEntries(const Archive &archive, const Listing &listing,
                                  const Encoding &encoding, const Options &options,
                                  const std::vector<std::string> &operands, int *status);

#endif
