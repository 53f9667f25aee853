// What a call of the core returns when it fails: a value that says what kind
// of failure it is, whom it concerns, and which message tells it, with the
// message's arguments. The core never prints these; each front end renders
// them in its own way (a line on standard error and an exit status, or an
// exception), and no one reads a message's text to learn what happened.
#ifndef AXQ_CORE_FAILURE_H
#define AXQ_CORE_FAILURE_H

#include <functional>
#include <string>
#include <vector>

enum class FailureKind {
    kNone,       // no failure
    kNotArchive, // the file is not an archive
    kDamaged,    // an archive, but damaged: what its directory says does not hold
    kRefused,    // refused by a rule: a write target, the lock, unsaved edits
    kNotFound,   // no entry of that name
    kBadName,    // a name the format cannot hold or extraction refuses
    kSystem,     // the file system refused: `error` is its errno
    kUsage,      // the call itself is wrong: an unknown encoding, say
};

struct Failure {
    FailureKind kind = FailureKind::kNone;
    std::string subject;           // the archive, entry or input file it concerns, as shown
    const char *message = nullptr; // untranslated format (the message id), %s arguments only
    std::vector<std::string> args; // the arguments, in the format's order
    int error = 0;                 // errno, for kSystem (its text is the message if none is given)
    explicit operator bool() const { return kind != FailureKind::kNone; }
};

// Where the core tells what it meets along the way (a file left out, each
// of several failures): the front end renders each as it sees fit. A notice
// that is no failure has the kind kNone.
using Report = std::function<void(const Failure &)>;

// The message id of a sentence already made (the system's own, or one of
// the accounting's), given whole as the one argument.
constexpr const char *kSentence = "%s";

// A failure of `kind` concerning `subject`, told by `message` (marked with
// N_) with its arguments.
Failure Fail(FailureKind kind, const std::string &subject, const char *message,
             std::vector<std::string> args = {});
// The file system's refusal of `subject` with errno `error`, told by the
// system's own sentence, or by `message` if given.
Failure SystemFailure(const std::string &subject, int error, const char *message = nullptr,
                      std::vector<std::string> args = {});

// The message in the user's language with its arguments filled in (%s, or
// %N$s where a translation reorders them), without the subject.
std::string FailureMessage(const Failure &failure);
// "SUBJECT: message", or the message alone when there is no subject.
std::string FailureText(const Failure &failure);

#endif
