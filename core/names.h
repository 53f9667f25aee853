// The names layer: entry names are bytes in the code page of the machine
// that made the archive; quorvel works on them as Unicode text (UTF-8 in a
// std::string) and turns them back into bytes for storing and looking up.
// Every rule about names (separators, refusals, matching) works on the
// decoded characters, never on the stored bytes, where a double-byte
// character's second byte may look like '\' or a letter.
#ifndef AXQ_QUORVEL_NAMES_H
#define AXQ_QUORVEL_NAMES_H

#include "core/codepage.h"

#include <stdint.h>
#include <string>
#include <vector>

// Bytes that cannot be decoded, shown as text: printable ASCII as it is,
// everything else as \xHH.
std::string EscapeBytes(const char *bytes, size_t size);

// Decoded text made safe to show on a terminal: control characters (C0, DEL
// and C1) as \xHH, a C1 character as its two bytes.
std::string EscapeControls(const std::string &text);

// True if UTF-8 text holds a control character: C0 (TAB, CR and LF among
// them), DEL or C1 (U+009B starts a terminal's control sequence as ESC [ does).
bool HasControl(const std::string &text);

// A decoded name as a path below the target folder: its components, split
// at '/' and '\', with empty and "." components dropped. False, with the
// reason, for a name that is empty, absolute, starts with a drive letter,
// has a ".." component or a control character; and with windowsRules also
// for a name that Windows would not create as a plain file: a device name
// (CON, NUL, COM1, ... with any extension), a ':' (a stream name), a
// component ending in '.' or ' ', or one of < > " | ? *.
bool EntryPath(const std::string &name, bool windowsRules, std::vector<std::string> *components,
               std::string *why);

// The separator names added to an archive take, from whether its decoded
// names use '/' and '\\': '/' where they use only '/', else '\\' (as pack
// stores by default), also where they use none.
char SeparatorFor(bool anySlash, bool anyBackslash);

// True if an entry stands for a folder: it has no bytes and its decoded
// name ends in a separator ("dir\\", "dir/sub/"), as some tools store folders.
bool FolderEntry(const std::string &name, uint64_t size);

// True if Windows opens a file of this name as a device, in any folder: CON,
// PRN, AUX, NUL, COM0-9, LPT0-9, ... whatever follows a dot and however written.
bool IsDeviceName(const std::string &component);

// True if text holds a pattern character: '*', '?' or '['.
bool HasPatternChars(const std::string &text);

// Shell-pattern match of a decoded name, character by character: '*' any
// run (also of '/'), '?' one character, '[...]' one of a set with ranges and
// '!' or '^' to negate. A backslash is an ordinary character (names use it
// as a separator). ignoreCase compares the case-folded characters.
bool MatchName(const std::string &pattern, const std::string &name, bool ignoreCase);

#endif
