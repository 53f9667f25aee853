// The line buffer: one module-wide text with an index of where its lines end,
// read line by line, edited in place, and a single snapshot slot.
//
// A line end is LF, CR, or a pair CR LF or LF CR, and the text's closing zero
// byte ends the last, unterminated stretch. Line k runs from the end of line
// k - 1 (or offset 0) up to and including its own end, so a line's length
// counts its line end: 1 for LF or CR, 2 for a pair, 1 for the closing zero.
// The lines are 0 .. LineBufferLineCount(); the last is the stretch after the
// last line end, empty when the text ends with one.
//
// All blocks belong to the buffer; callers receive copies only. There is one
// instance and no lock: one thread at a time.
#ifndef AXQ_LINEBUF_H
#define AXQ_LINEBUF_H

#include <stddef.h>
#include <stdint.h>

// The longest text the buffer holds: offsets are signed 32-bit, so no text
// may reach 2 GiB.
static constexpr size_t kLargestLineBufferText = 0x7FFFFFF0;

// Replaces the text with a copy of `source` and rebuilds the index. A line feed
// is appended unless one of the last two characters is already CR or LF, so
// an empty text becomes a single LF. Returns 0, or -1 when `source` is null
// (the buffer is cleared) or memory is short: with no room for the text the
// buffer has no text, with no room for the whole index it has the text and
// only the lines that were indexed.
int32_t LineBufferSetText(const char *source);

// Rebuilds the index from the current text. Returns 0, or -1 when memory ran
// short: a failed allocation leaves no lines, a failed growth the lines found
// so far.
int32_t LineBufferBuildIndex(void);

// Releases the text, the index and the snapshot slot. Always returns 1.
int32_t LineBufferClear(void);

// The number of the last line (the count of line ends before the closing
// zero), or -1 when there is no text.
int32_t LineBufferLineCount(void);

// With a null destination or capacity < 1: returns the length of line k.
// Otherwise copies line k without its line end (at most capacity - 1
// characters) into destination, which must hold capacity + 1 bytes, and
// returns 0. Returns 0 for k < 0, k > LineBufferLineCount() or no text.
// To read line k whole: L = LineBufferGetLine(NULL, k, 0), then a zeroed
// block of L + 1 bytes, then LineBufferGetLine(block, k, L).
int32_t LineBufferGetLine(char *destination, int32_t k, int32_t capacity);

// Copies at most m - 1 characters of source + offset (stopping at a zero
// byte), where m = min(length, capacity), closes them with a zero byte and
// writes another zero byte at destination[m]; destination holds m + 1 bytes.
// Does nothing when m < 1.
void CopySpan(char *destination, const char *source, int32_t length, int32_t offset,
              int32_t capacity);

// Copies at most capacity - 1 characters of the text and a zero byte into
// destination (if given and capacity > 0). Returns 0 when capacity is at
// least the text's length, else the text's length; -1 when there is no text.
int32_t LineBufferGetText(char *destination, int32_t capacity);

// Puts `line`, cut at its first CR or LF (in the caller's buffer), into the
// text with a closing LF: appended for k = -1; in place of line k when the
// low 16 bits of `replace` are set and k < LineBufferLineCount(); else
// inserted before line k, with k lowered to the line count. Returns 1, 0 when
// memory is short or k < -1 (nothing changes), -1 when there is no text.
int32_t LineBufferInsertLine(char *line, int32_t k, int32_t replace);

// Removes line k with its line end. Returns 0, or -1 when there is no text or
// k is outside 0 .. LineBufferLineCount(). When the count was 1 or less it
// becomes 0 and the index is not rebuilt.
int32_t LineBufferDeleteLine(int32_t k);

// Returns the first line from firstLine on (never the last, unterminated
// stretch) that contains `needle`, or -1. positionOut, if given, receives the
// offset of the match in that line, or the last search's -1 or -2 (0 when no
// line was searched). With no text returns -1 and leaves positionOut alone.
int32_t LineBufferFindLine(int32_t *positionOut, const char *needle, int32_t firstLine);

// The snapshot slot. Save moves the text into the slot and leaves the buffer
// empty (0 if the slot is occupied); Restore moves it back, discarding the
// current text (0 if empty); Swap exchanges the two (0 if empty). Each returns
// 1 when done.
int32_t LineBufferSave(void);
int32_t LineBufferRestore(void);
int32_t LineBufferSwap(void);

// Offset of the first match of needle in haystack at or after `from` (a
// negative from counts as 0), -1 if none, -2 if either string is empty.
int32_t FindSubstring(const char *haystack, const char *needle, int32_t from);

// Walks at most `limit` bytes of text. With c != 0, each c up to the zero byte
// becomes replacement. With c == 0 the text is a run of zero-terminated
// strings closed by an empty one: each string's zero byte becomes replacement,
// and the walk ends at the one that is followed by another zero byte.
void ReplaceChar(char *text, char c, char replacement, int32_t limit);

// Appends source to destination until the total length reaches `limit`
// (destination holds limit + 1 bytes), closing it with a zero byte; does
// nothing if destination is already `limit` or more characters long.
void AppendBounded(char *destination, const char *source, int32_t limit);

#endif
