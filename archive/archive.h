// The archive reader: the layout of a Quorvel archive, loading its directory
// text, turning entry lines into records, and the archive's time stamp.
//
// An archive is a text directory followed by the entries' bytes, stored as
// they are:
//   line 0      "FILECMB-DATA-LIST-IN" LF                   (21 bytes)
//   line 1..N   name TAB start(10 digits) gap end(10 digits) LF
//   line N + 1  a closing line, never examined
// start and end are the archive offsets of an entry's first byte and one past
// its last; the directory ends where the first entry's data begins.
#ifndef AXQ_ARCHIVE_H
#define AXQ_ARCHIVE_H

#include "platform/platform.h"

#include <stdint.h>

static constexpr char kMagic[] = "FILECMB-DATA-LIST-IN\n";
// What every record's method field holds.
static constexpr int32_t kMagicSize = 21;
static_assert(sizeof(kMagic) == kMagicSize + 1, "the magic line is 21 bytes");

// An entry line, measured from its TAB and back from its LF.
static constexpr int32_t kStartAfterTab = 1;
static constexpr int32_t kEndAfterTab = 12;
static constexpr int32_t kTabBeforeLf = 22;
static constexpr int32_t kStartBeforeLf = 21;
static constexpr int32_t kEndBeforeLf = 10;
static constexpr int32_t kFieldsSize = 23; // TAB, start, gap, end, LF

// The first entry line must end within this many bytes of the file.
static constexpr int32_t kHeadProbeSize = 256;
// The longest directory line that extraction can read back.
static constexpr int32_t kLineProbeSize = 282;
// The longest name a record holds with its closing zero.
static constexpr int32_t kMaxNameLength = 199;

// Reads the directory text of an open archive (bytes 0 to S - 1, where S is
// the first entry's start) into a new zero-filled block of S + 1 bytes. The
// caller releases it with GlobalFree. Returns null when memory is short or S
// is too large to hold. A file shorter than S gives a text that stops where
// the file does. Uses and then clears the line buffer.
char *LoadDirectory(HANDLE file);

// The directory's size S from the zero-terminated head of an archive (its
// first kHeadProbeSize bytes at most): the start field of line 1, lines split
// as the line buffer splits them; 0 when line 1 is too short to hold one.
// LoadDirectory reads the same S through the line buffer; this needs none.
uint32_t DirectorySize(const char *head);

// The decimal number at the start of text, modulo 2^32; 0 for null.
uint32_t ParseDecimal(const char *text);

// The first c among at most `limit` bytes of text, stopping at a zero byte;
// null if there is none.
const char *FindChar(const char *text, char c, int32_t limit);

// The two offsets of an entry line (without its LF, or of `length` bytes
// that need not be zero-terminated as long as a line end or a zero byte
// follows); returns the length of its name (the
// bytes before the TAB), or -1 for a line without a TAB.
int32_t ParseEntryRange(const char *line, int32_t length, uint32_t *start, uint32_t *end);

// 1 if both offsets of an entry line (as ParseEntryRange takes it) are below
// 2^32, so that ParseEntryRange reads them as written; 0 if it reads one
// wrapped. A line without a TAB gives 1: it has no offsets.
int32_t EntryRangeFits(const char *line, int32_t length);

// The archive's last-write time (UTC) moved nine hours ahead and read as
// local time with daylight saving off, in 64 bits; 0 if the time cannot be had.
int64_t ArchiveTimestamp(HANDLE file);

// Names are text in the system's ANSI code page, where a character may take
// two bytes (a lead byte, then a trail byte that can be any of 0x40-0xFE,
// letters and backslash among them).

// The length a name of `length` bytes keeps in a record: all of it up to 199
// bytes, else the longest run of whole characters that fits in 199.
int32_t CutNameLength(const char *name, int32_t length);

// A record's name leaves out what would lead a host that joins it to its
// own folder out of that folder: separators at its start, drives at its
// start (any one character and ':', as Windows reads them: "C:", "C:D:"),
// and every component of dots and spaces with two dots or more
// ("..", "...", ".. "), each with the separator after it. Such a name loses
// a separator it ends in only if it did not end in one as stored. A name
// without these parts is left as it is, byte for byte. Works in place on
// `length` units, with `size(unit, left)` giving the units of the character
// at `unit`; returns the length kept.
template <typename Unit, typename CharSizeFn>
int32_t DropClimbingParts(Unit *name, int32_t length, CharSizeFn size) {
    auto separator = [](Unit c) { return c == '\\' || c == '/'; };
    int32_t kept = 0, from = 0;
    bool dropped = false, endsInSeparator = false;
    while (from < length) {
        int32_t end = from;
        while (end < length && !separator(name[end]))
            end += size(name + end, length - end);
        int32_t next = end < length ? end + 1 : end;
        endsInSeparator = end < length && next == length;
        // Windows reads any one character before a ':' at the start as a
        // drive, again and again ("C:D:x").
        int32_t part = from;
        bool drive = false;
        while (kept == 0 && part < end) {
            int32_t first = size(name + part, end - part);
            if (end - part <= first || name[part + first] != ':')
                break;
            part += first + 1;
            drive = true;
        }
        int32_t dots = 0, others = 0;
        for (int32_t i = part; i < end; i++) {
            if (name[i] == '.')
                dots++;
            else if (name[i] != ' ')
                others++;
        }
        bool climbs = (kept == 0 && part == end) || (others == 0 && dots >= 2);
        if (climbs || drive)
            dropped = true;
        if (!climbs) {
            for (int32_t i = part; i < next; i++)
                name[kept++] = name[i];
        }
        from = next;
    }
    if (dropped && !endsInSeparator && kept > 0 && separator(name[kept - 1]))
        kept--;
    return kept;
}

// DropClimbingParts on a name in the system's ANSI code page.
int32_t DropClimbingName(char *name, int32_t length);

// 1 if the two zero-terminated names are equal character by character, with
// single-byte letters A-Z equal to a-z; a double-byte character is equal only
// to itself. Else 0.
int32_t SameNameIgnoringCase(const char *a, const char *b);

// Opens an archive read-only, shared for reading; INVALID_HANDLE_VALUE if it
// does not exist or cannot be opened.
HANDLE OpenArchive(const char *fileName);

// Reads up to `size` bytes at the current position; returns how many came.
uint32_t ReadArchive(HANDLE file, void *buffer, uint32_t size);

// Reads up to `size` bytes at an absolute offset, whatever the current
// position, in pieces of at most 1 GiB; returns how many came (none past the
// end of the file).
uint32_t ReadArchiveAt(HANDLE file, uint32_t offset, void *buffer, uint32_t size);

// The archive's size in bytes, or -1 if it cannot be had.
int64_t ArchiveSize(HANDLE file);

#endif
