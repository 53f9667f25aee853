// What quorvel says: one-line messages on standard error, data and text on
// standard output (every write checked), and the progress line on a terminal.
#ifndef AXQ_QUORVEL_OUTPUT_H
#define AXQ_QUORVEL_OUTPUT_H

#include <stddef.h>
#include <stdint.h>
#include <string>

// Formats are checked as printf's; on Windows quorvel uses mingw-w64's own
// printf, which knows %zu and %llu.
#if defined(__MINGW32__)
#define AXQ_PRINTF(at, first) __attribute__((format(gnu_printf, at, first)))
#else
#define AXQ_PRINTF(at, first) __attribute__((format(printf, at, first)))
#endif

// "quorvel: SUBJECT: message" and a line end on standard error. Subjects and
// messages are UTF-8 text.
void Error(const std::string &subject, const char *format, ...) AXQ_PRINTF(2, 3);
// Text as it is on standard error (usage lines, the end of a save).
void PrintErrorText(const std::string &text);
// A sentence made as "SUBJECT: message", as an error line.
void PrintReason(const std::string &reason);
// A failure (or a notice) as an error line, "quorvel: SUBJECT: message".
struct Failure;
void PrintFailure(const Failure &failure);

// printf into a string: messages are translated formats, filled in here.
std::string Format(const char *format, ...) AXQ_PRINTF(1, 2);
// The system's sentence for an errno value, in the tool's language: glibc's
// on Linux, Windows' own in Japanese on Windows (the C runtime's texts are
// English only).
std::string SystemText(int errnum);
#ifdef _WIN32
// The sentence for a Windows error code in the tool's language where the
// system has it, without the sentence end ("." or "。") it carries.
std::string SystemMessage(unsigned long code);
#endif

// The columns UTF-8 text takes on a terminal: two for each wide (East Asian)
// character, one for others.
size_t Columns(const std::string &text);

// Text (UTF-8) or bytes on standard output. False once a write has failed;
// the failure is reported once, except a reader that closed the pipe, which
// ends the program quietly as it does other tools.
bool PrintText(const std::string &text);
bool WriteBytes(const void *bytes, size_t size);
// Flushes standard output; false (reported) if that fails.
bool FlushOutput();
#ifndef _WIN32
// Writes `size` bytes at `offset` of the open file `from` to standard output
// after what was written before, without bringing them into this process
// where the kernel can (sendfile). False once the output failed (reported
// as WriteBytes reports it), or with *ended when `from` ended first.
bool SendBytes(int from, uint64_t offset, uint64_t size, bool *ended);
#endif
// Standard output takes bytes as they are (no line-end translation on Windows).
void BinaryOutput();

// The progress line: shown on a terminal only, rewritten in place.
void ProgressStart(size_t total);
void ProgressStep(uint64_t bytes); // one more entry done, of this many bytes
void ProgressEnd();

#endif
