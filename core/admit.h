// Which names a writer takes: the rules a new entry's name must pass when it
// is added (not when the archive is written), for the module's writestr()
// and write() as for the command line's inputs, and the clash check that
// runs as names are added one at a time.
#ifndef AXQ_CORE_ADMIT_H
#define AXQ_CORE_ADMIT_H

#include "core/codepage.h"
#include "core/failure.h"

#include <stddef.h>
#include <string>
#include <unordered_map>

// A name given as text (UTF-8) for a new entry, as stored: its parts
// without empty or "." ones (a closing separator kept), with every
// separator ('/' or '\') as `separator` (0: the first one the name has),
// in the encoding's code page. False
// with a kBadName failure (its subject the name, controls escaped) for a name
// that is empty, absolute, has a ".." part, a control character (C0, DEL or
// C1; TAB, CR and LF among them), is not valid UTF-8, has no representation
// in the code page, or takes more than 199 bytes stored.
bool AdmitName(const std::string &name, const Encoding &encoding, char separator,
               std::string *stored, Failure *failure);

// The names of an archive being written, kept as paths, so that each name
// added is checked against all before it: the same answers as the check of
// a whole archive's names (FindNameClashes), a name at a time.
class NameIndex {
  public:
    explicit NameIndex(const Encoding &encoding) : encoding_(encoding) {}
    // Adds a stored name (`folder`: an entry of no bytes, which a closing
    // separator makes a folder). False with a kBadName failure (no subject:
    // the caller's archive), and nothing added, if it is stored already or it and an earlier name
    // would be a file and a folder of one path. `shown` names it in the failure.
    bool Add(const std::string &stored, bool folder, const std::string &shown, Failure *failure);
    void Clear();

  private:
    Encoding encoding_;
    std::unordered_map<std::string, std::string> paths_;   // path -> the name shown
    std::unordered_map<std::string, std::string> folders_; // a folder on the way -> a name below
};

#endif
