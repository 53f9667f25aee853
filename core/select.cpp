// Entry selection by name: decoding the listing's names and matching the
// NAME operands and --exclude patterns against them.
#include "core/select.h"

#include "archive/archive.h"

#include "core/output.h"
#include "core/translate.h"

#include <algorithm>
#include <string.h>

// The bytes of a record's name that hold whole UTF-8 characters. The listing
// cuts a name over 199 bytes at a character boundary of the plug-in's code
// page, which may fall inside a UTF-8 character: that part is left out.
static size_t WholeUtf8(const char *name) {
    size_t size = strlen(name), lead = size;
    if (size != (size_t)kMaxNameLength)
        return size;
    while (lead > 0 && size - lead < 3 && ((unsigned char)name[lead - 1] & 0xC0) == 0x80)
        lead--;
    unsigned char c = lead > 0 ? (unsigned char)name[lead - 1] : 0;
    size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    return c >= 0xC2 && size - (lead - 1) < length ? lead - 1 : size;
}

void SurveyListedName(const char *stored, size_t size, NameSurvey *survey) {
    std::string listed(stored, (size_t)CutNameLength(stored, (int32_t)size));
    SurveyName(listed.data(), survey->allUtf8 ? WholeUtf8(listed.c_str()) : listed.size(), survey);
}

Encoding ListingEncoding(const Listing &listing, const Encoding &chosen) {
    NameSurvey survey;
    for (size_t i = 0; chosen.codePage == 0 && i < listing.count; i++) {
        const char *name = listing[i].filename;
        SurveyName(name, survey.allUtf8 ? WholeUtf8(name) : strlen(name), &survey);
        // Past the first name that is no UTF-8, only a Western Windows reads on.
        if (!survey.allUtf8 && !survey.allCp932)
            break;
    }
    return ResolveEncoding(chosen, survey);
}

bool RecordName(const EntryRecord &record, const Encoding &encoding, std::string *text) {
    const char *name = record.filename;
    size_t size = encoding.codePage == kUtf8CodePage ? WholeUtf8(name) : strlen(name);
    return DecodeName(encoding, name, size, text);
}

std::string ShownName(const EntryRecord &record, const Encoding &encoding, bool *decoded) {
    std::string text;
    bool ok = RecordName(record, encoding, &text);
    if (decoded != nullptr)
        *decoded = ok;
    return ok ? EscapeControls(text) : EscapeBytes(record.filename, strlen(record.filename));
}

// The listing index of the record at `position`; positions grow with the index.
static size_t IndexOf(const Listing &listing, uint64_t position) {
    size_t low = 0, high = listing.count;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        if (listing[middle].position < position)
            low = middle + 1;
        else
            high = middle;
    }
    return low < listing.count && listing[low].position == position ? low : listing.count;
}

// A name or pattern with every '\' read as '/': names use either between
// folders, and NAME operands match with either.
static std::string Slashes(std::string text) {
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

// Looks an exact name up through the plug-in as typed, then with all its
// separators as '\', then as '/'; the index of its record, or listing.count.
static size_t LookUpTyped(const Archive &archive, const Listing &listing, const Encoding &encoding,
                          const std::string &typed) {
    std::string backslashes = Slashes(typed);
    std::replace(backslashes.begin(), backslashes.end(), '/', '\\');
    for (const std::string &name : {typed, backslashes, Slashes(typed)}) {
        std::string stored;
        FileInfo record;
        if (EncodeName(encoding, name, &stored) &&
            LookUpEntry(archive, listing, stored, &record) == SPI_OK)
            return IndexOf(listing, record.position);
    }
    return listing.count;
}

// The records the operands and excludes choose (see Select).
static std::vector<size_t> SelectEntries(const Archive &archive, const Listing &listing,
                                         const Encoding &encoding, const Choice &options,
                                         std::vector<Failure> *unmatched) {
    const std::vector<std::string> &operands = options.names;
    std::vector<bool> chosen(listing.count, operands.empty());
    std::vector<size_t> matches; // in operand order
    auto choose = [&](size_t i) {
        chosen[i] = true;
        if (options.operandOrder)
            matches.push_back(i);
    };
    for (const std::string &operand : operands) {
        bool found = false;
        if (!HasPatternChars(operand) && !options.ignoreCase) {
            size_t i = LookUpTyped(archive, listing, encoding, operand);
            found = i < listing.count;
            if (found)
                choose(i);
        } else {
            std::string name, pattern = Slashes(operand);
            for (size_t i = 0; i < listing.count; i++) {
                if (RecordName(listing[i], encoding, &name) &&
                    MatchName(pattern, Slashes(name), options.ignoreCase)) {
                    choose(i);
                    found = true;
                }
            }
        }
        if (!found)
            unmatched->push_back(Fail(FailureKind::kNotFound, archive.path + ": " + operand,
                                      HasPatternChars(operand) ? N_("no entry matches")
                                                               : N_("no entry of that name")));
    }
    std::string name;
    auto excluded = [&](size_t i) {
        bool out = false;
        if (!options.excludes.empty() && RecordName(listing[i], encoding, &name)) {
            for (const std::string &pattern : options.excludes)
                out = out || MatchName(Slashes(pattern), Slashes(name), options.ignoreCase);
        }
        return out;
    };
    if (!options.operandOrder || operands.empty()) {
        for (size_t i = 0; i < listing.count; i++) {
            if (chosen[i])
                matches.push_back(i);
        }
    }
    std::vector<size_t> selected;
    for (size_t i : matches) {
        if (!excluded(i))
            selected.push_back(i);
    }
    return selected;
}

bool OpenListing(const std::string &path, const Encoding &encoding, Selection *selection,
                 Failure *failure) {
    if (OpenArchive(path, &selection->archive, failure) != kIsArchive ||
        !ListArchive(selection->archive, &selection->listing, failure))
        return false;
    selection->encoding = ListingEncoding(selection->listing, encoding);
    return true;
}

bool Select(const std::string &path, const Encoding &encoding, const Choice &choice,
            Selection *selection, Failure *failure, std::vector<Failure> *unmatched) {
    if (!OpenListing(path, encoding, selection, failure))
        return false;
    selection->all = choice.names.empty() && choice.excludes.empty();
    if (!selection->all)
        selection->chosen = SelectEntries(selection->archive, selection->listing,
                                          selection->encoding, choice, unmatched);
    return true;
}

void FreeSelection(Selection *selection) { FreeListing(&selection->listing); }
