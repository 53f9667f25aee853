// quorvel's standard output and standard error: messages, checked writes,
// and the progress line.
#include "core/output.h"

#include "core/failure.h"

#include "core/names.h"
#include "core/translate.h"

#include <algorithm>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

static constexpr int kPipeBuffer = 1 << 20; // the most an ordinary user may ask for
#endif

// Text goes to a Windows console as wide characters, so that names show
// whatever the console's code page; everywhere else as UTF-8 bytes.
static bool PutText(FILE *stream, const std::string &text) {
#ifdef _WIN32
    HANDLE console = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode;
    if (GetConsoleMode(console, &mode)) {
        fflush(stream);
        std::wstring wide = Widen(text);
        DWORD written;
        return WriteConsoleW(console, wide.data(), (DWORD)wide.size(), &written, nullptr) != 0;
    }
#endif
    return fwrite(text.data(), 1, text.size(), stream) == text.size();
}

// Per thread, as the mount's threads may each report.
static thread_local bool showingProgress;

std::string Format(const char *format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    char small[256];
    int length = vsnprintf(small, sizeof small, format, args);
    std::string text = small;
    if (length >= (int)sizeof small) {
        text.resize((size_t)length + 1);
        vsnprintf(&text[0], text.size(), format, again);
        text.resize((size_t)length);
    }
    va_end(again);
    va_end(args);
    return text;
}

// Wide characters: the ranges East Asian scripts and full-width forms take.
static bool Wide(uint32_t c) {
    return (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0xa4cf && c != 0x303f) ||
           (c >= 0xac00 && c <= 0xd7a3) || (c >= 0xf900 && c <= 0xfaff) ||
           (c >= 0xfe30 && c <= 0xfe4f) || (c >= 0xff00 && c <= 0xff60) ||
           (c >= 0xffe0 && c <= 0xffe6) || (c >= 0x20000 && c <= 0x3fffd);
}

size_t Columns(const std::string &text) {
    size_t columns = 0;
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = (unsigned char)text[i];
        size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
        uint32_t c = length == 1 ? lead : lead & (0x7f >> length);
        for (size_t k = 1; k < length && i + k < text.size(); k++)
            c = c << 6 | ((unsigned char)text[i + k] & 0x3f);
        columns += Wide(c) ? 2 : 1;
        i += length;
    }
    return columns;
}

void Error(const std::string &subject, const char *format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (showingProgress)
        fputc('\n', stderr);
    showingProgress = false;
    PutText(stderr, "quorvel: " + subject + ": " + message + "\n");
    fflush(stderr);
}

void PrintFailure(const Failure &failure) {
    Error(failure.subject, "%s", FailureMessage(failure).c_str());
}

void PrintReason(const std::string &reason) {
    PrintErrorText("quorvel: " + reason + "\n"); // untranslated: the program's name
}

void PrintErrorText(const std::string &text) {
    PutText(stderr, text);
    fflush(stderr);
}

#ifdef _WIN32
std::string SystemMessage(unsigned long code) {
    wchar_t *text = nullptr;
    LANGID wanted = SpeaksJapanese() ? MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)
                                     : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    // Where the system lacks the language, its own.
    for (LANGID language : {wanted, (LANGID)0}) {
        if (text == nullptr)
            FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, (DWORD)code, language, (wchar_t *)&text, 0, nullptr);
    }
    std::wstring message = text != nullptr ? text : L"";
    LocalFree(text);
    while (!message.empty() && wcschr(L"\r\n. \x3002", message.back()) != nullptr)
        message.pop_back();
    return message.empty() ? Format(_("error %lu"), code) : Narrow(message);
}
#endif

std::string SystemText(int errnum) {
#ifdef _WIN32
    static const struct {
        int errnum;
        DWORD code;
    } kCodes[] = {{ENOENT, ERROR_FILE_NOT_FOUND},
                  {EACCES, ERROR_ACCESS_DENIED},
                  {EEXIST, ERROR_FILE_EXISTS},
                  {ENOSPC, ERROR_DISK_FULL},
                  {ENOTDIR, ERROR_DIRECTORY},
                  {EINVAL, ERROR_INVALID_PARAMETER},
                  {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
                  {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
                  {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
                  {EROFS, ERROR_WRITE_PROTECT},
                  {EPIPE, ERROR_BROKEN_PIPE},
                  {EIO, ERROR_GEN_FAILURE}};
    for (const auto &known : kCodes) {
        if (SpeaksJapanese() && known.errnum == errnum)
            return SystemMessage(known.code);
    }
    return strerror(errnum);
#else
    // glibc's Japanese says ディレクトリ where quorvel's messages say
    // フォルダー: one word for one thing.
    std::string text = strerror(errnum);
    static const std::string kDirectory = "ディレクトリ", kFolder = "フォルダー";
    for (size_t at; (at = text.find(kDirectory)) != std::string::npos;)
        text.replace(at, kDirectory.size(), kFolder);
    return text;
#endif
}

static bool outputFailed;

static bool OutputFailed() {
    int error = errno;
#ifdef _WIN32
    // The C runtime reports a closed pipe as EINVAL, and a part written just
    // before the reader went as no system error at all; a write into a pipe
    // fails only when its reader has gone. The system's code tells the rest.
    DWORD code = GetLastError();
    if (GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_PIPE || code == ERROR_NO_DATA ||
        code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED)
        error = EPIPE;
    else if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL)
        error = ENOSPC;
#endif
    // A reader that went away (| head) is not an error worth a message.
    if (error != EPIPE && !outputFailed)
        Error(_("standard output"), "%s", SystemText(error).c_str());
    outputFailed = true;
    return false;
}

bool PrintText(const std::string &text) {
    if (outputFailed)
        return false;
    return PutText(stdout, text) || OutputFailed();
}

bool WriteBytes(const void *bytes, size_t size) {
    if (outputFailed)
        return false;
    // An empty entry's block may have no address, which fwrite must not get.
    return size == 0 || fwrite(bytes, 1, size, stdout) == size || OutputFailed();
}

bool FlushOutput() { return !outputFailed && (fflush(stdout) == 0 || OutputFailed()); }

#ifndef _WIN32
bool SendBytes(int from, uint64_t offset, uint64_t size, bool *ended) {
    static constexpr size_t kPiece = 1u << 30, kBuffer = 1u << 20;
    *ended = false;
    bool kernel = true;
    std::vector<char> buffer;
    off_t at = (off_t)offset;
    bool ok = FlushOutput();
    while (ok && size > 0) {
        ssize_t sent;
        if (kernel) {
            sent = sendfile(STDOUT_FILENO, from, &at, (size_t)std::min<uint64_t>(size, kPiece));
            if (sent < 0 && errno == EINTR)
                continue;
            // Outputs the kernel cannot send to (an append-only file, some
            // devices) take the bytes through a buffer.
            if (sent < 0 && (errno == EINVAL || errno == ENOSYS)) {
                kernel = false;
                continue;
            }
            if (sent < 0)
                ok = OutputFailed();
        } else {
            buffer.resize(kBuffer);
            sent = pread(from, buffer.data(), (size_t)std::min<uint64_t>(size, kBuffer), at);
            for (ssize_t done = 0; sent > 0 && done < sent;) {
                ssize_t n = write(STDOUT_FILENO, buffer.data() + done, (size_t)(sent - done));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0) {
                    ok = OutputFailed();
                    break;
                }
                done += n;
            }
            at += sent > 0 ? sent : 0;
        }
        // A read that fails ends the bytes as a short file does.
        if (sent == 0 || (!kernel && sent < 0))
            *ended = true;
        ok = ok && sent > 0;
        size -= sent > 0 ? (uint64_t)sent : 0;
    }
    return ok;
}
#endif

void BinaryOutput() {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#else
    // Into a pipe, a larger pipe buffer means fewer switches between the
    // writer and the reader: whole entries go through at memory speed.
    struct stat status;
    if (fstat(STDOUT_FILENO, &status) == 0 && S_ISFIFO(status.st_mode))
        fcntl(STDOUT_FILENO, F_SETPIPE_SZ, kPipeBuffer);
#endif
}

static thread_local struct {
    bool shown;
    size_t total, done;
    uint64_t bytes;
    time_t started;
} progress;

void ProgressStart(size_t total) {
#ifdef _WIN32
    bool terminal = _isatty(_fileno(stderr)) != 0;
#else
    bool terminal = isatty(fileno(stderr)) != 0;
#endif
    progress = {terminal, total, 0, 0, time(nullptr)};
}

void ProgressStep(uint64_t bytes) {
    progress.done++;
    progress.bytes += bytes;
    if (!progress.shown)
        return;
    double seconds = difftime(time(nullptr), progress.started);
    double mib = (double)progress.bytes / 1048576.0;
    PutText(stderr, "\r" + Format(_("%zu/%zu entries, %.1f MiB, %.1f MiB/s "), progress.done,
                                  progress.total, mib, seconds > 0 ? mib / seconds : 0.0));
    fflush(stderr);
    showingProgress = true;
}

void ProgressEnd() {
    if (showingProgress)
        fputc('\n', stderr);
    showingProgress = false;
}
