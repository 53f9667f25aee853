// Which entries a command works on: the archive's names decoded, and the
// NAME operands of list, extract and cat matched against them.
#ifndef AXQ_QUORVEL_SELECT_H
#define AXQ_QUORVEL_SELECT_H

#include "core/host.h"
#include "core/names.h"
#include "core/status.h"

#include <string>
#include <vector>

// The encoding of a listing's names: the one chosen, or for "auto" the one
// its names show (see ResolveEncoding).
Encoding ListingEncoding(const Listing &listing, const Encoding &chosen);

// Adds a whole stored name to an auto survey as a listing shows it: cut to
// 199 bytes, a UTF-8 character that the cut split left out. So names read
// from the directory itself choose the code page that the listing's would.
void SurveyListedName(const char *stored, size_t size, NameSurvey *survey);

// A record's name as text, or false if it cannot be decoded.
bool RecordName(const EntryRecord &record, const Encoding &encoding, std::string *text);

// A record's name to show: decoded, with control characters escaped, or,
// when it cannot be decoded, its bytes escaped (\x83...); *decoded says which.
std::string ShownName(const EntryRecord &record, const Encoding &encoding, bool *decoded = nullptr);

// An archive opened and listed, and the entries a command works on: all of
// them (no index is then kept), or those the NAME operands choose.
struct Selection {
    Archive archive;
    Listing listing;
    Encoding encoding;
    bool all = true;
    std::vector<size_t> chosen;
    size_t Count() const { return all ? listing.count : chosen.size(); }
    EntryRecord operator[](size_t i) const { return listing[all ? i : chosen[i]]; }
};

// Opens and lists the archive at `path` and resolves the encoding of its
// names; all its entries are selected. False with *failure if it is no
// archive or cannot be listed (nothing to free then).
bool OpenListing(const std::string &path, const Encoding &encoding, Selection *selection,
                 Failure *failure);

// OpenListing of `path`, then the entries the NAME operands and the
// excludes choose, in directory order, each once (unless operandOrder). An
// operand without pattern characters and without ignoreCase is the exact name, converted to the
// archive's code page and looked up by the plug-in; any other is a pattern
// matched against the decoded names. Each operand that matches nothing adds
// a kNotFound to *unmatched (the rest is chosen).
struct Choice {
    std::vector<std::string> names; // NAME operands
    std::vector<std::string> excludes;
    bool ignoreCase = false;
    // In the order of the operands instead, each operand's matches in
    // directory order, and an entry once for each operand that matches it:
    // what cat writes, as cat writes files given again.
    bool operandOrder = false;
};
bool Select(const std::string &path, const Encoding &encoding, const Choice &choice,
            Selection *selection, Failure *failure, std::vector<Failure> *unmatched);

// Frees the listing's block.
void FreeSelection(Selection *selection);

#endif
