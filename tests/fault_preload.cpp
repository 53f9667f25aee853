// A fault injector for quorvel's tests, loaded with LD_PRELOAD: at the N-th
// opening of one file it truncates that file or puts another in its place,
// as another program might while quorvel works, between its listing and its
// reads or while it reads an input.
//   AXQ_FAULT_FILE=PATH AXQ_FAULT_AT=N (AXQ_FAULT_TRUNCATE=BYTES | AXQ_FAULT_REPLACE=OTHER)
//   [AXQ_FAULT_ON=VICTIM]
//   AXQ_FAULT_FILE=PATH AXQ_FAULT_AT=N AXQ_FAULT_SIGNAL=NUMBER
//   AXQ_FAULT_READ=M with either fault: it strikes before the M-th pread of
//   the descriptor the N-th opening gave, once quorvel reads a file it opened
//   once for many reads.
// PATH is compared as quorvel gives it to the system. The fault strikes PATH
// itself, or VICTIM: another file changed when PATH is opened (an archive
// replaced while an input is read). A signal is raised in quorvel itself,
// once the file is open, as Ctrl-C or a kill would stop it there.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void Strike(const char *path) {
    const char *size = getenv("AXQ_FAULT_TRUNCATE");
    const char *other = getenv("AXQ_FAULT_REPLACE");
    const char *victim = getenv("AXQ_FAULT_ON");
    if (victim == nullptr)
        victim = path;
    if (size != nullptr && truncate(victim, atoll(size)) != 0)
        abort();
    if (other != nullptr && rename(other, victim) != 0)
        abort();
}

// The descriptor a fault waits on (AXQ_FAULT_READ), and its reads so far.
static int armed = -1;
static int reads;

// True at the N-th opening of PATH, after striking it (or VICTIM), unless
// the strike waits for a read; a signal is raised once the opening is done
// (Raise), so that a file being made exists when the process is stopped.
static bool Inject(const char *path) {
    static int opened;
    const char *file = getenv("AXQ_FAULT_FILE");
    const char *at = getenv("AXQ_FAULT_AT");
    if (file == nullptr || at == nullptr || path == nullptr || strcmp(path, file) != 0 ||
        ++opened != atoi(at))
        return false;
    if (getenv("AXQ_FAULT_READ") == nullptr)
        Strike(path);
    return true;
}

// After the opening: the descriptor to wait on, if the strike waits.
static void Arm(bool hit, int fd) {
    if (hit && getenv("AXQ_FAULT_READ") != nullptr)
        armed = fd;
}

static void Raise(bool hit) {
    const char *signal = getenv("AXQ_FAULT_SIGNAL");
    if (hit && signal != nullptr)
        raise(atoi(signal));
}

template <typename Function> static Function Next(const char *name) {
    return (Function)dlsym(RTLD_NEXT, name);
}

static mode_t ModeOf(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

extern "C" {

int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeOf(flags, args);
    va_end(args);
    bool hit = Inject(path);
    int fd = Next<int (*)(const char *, int, mode_t)>("open")(path, flags, mode);
    Arm(hit, fd);
    Raise(hit);
    return fd;
}

int open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeOf(flags, args);
    va_end(args);
    bool hit = Inject(path);
    int fd = Next<int (*)(const char *, int, mode_t)>("open64")(path, flags, mode);
    Arm(hit, fd);
    Raise(hit);
    return fd;
}

FILE *fopen(const char *path, const char *mode) {
    bool hit = Inject(path);
    FILE *file = Next<FILE *(*)(const char *, const char *)>("fopen")(path, mode);
    Arm(hit, file != nullptr ? fileno(file) : -1);
    Raise(hit);
    return file;
}

FILE *fopen64(const char *path, const char *mode) {
    bool hit = Inject(path);
    FILE *file = Next<FILE *(*)(const char *, const char *)>("fopen64")(path, mode);
    Arm(hit, file != nullptr ? fileno(file) : -1);
    Raise(hit);
    return file;
}

int openat(int dir, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeOf(flags, args);
    va_end(args);
    bool hit = Inject(path);
    int fd = Next<int (*)(int, const char *, int, mode_t)>("openat")(dir, path, flags, mode);
    Arm(hit, fd);
    Raise(hit);
    return fd;
}

int openat64(int dir, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeOf(flags, args);
    va_end(args);
    bool hit = Inject(path);
    int fd = Next<int (*)(int, const char *, int, mode_t)>("openat64")(dir, path, flags, mode);
    Arm(hit, fd);
    Raise(hit);
    return fd;
}

static void BeforeRead(int fd) {
    if (fd == armed && fd >= 0 && ++reads == atoi(getenv("AXQ_FAULT_READ")))
        Strike(getenv("AXQ_FAULT_FILE"));
}

ssize_t pread(int fd, void *buffer, size_t size, off_t offset) {
    BeforeRead(fd);
    return Next<ssize_t (*)(int, void *, size_t, off_t)>("pread")(fd, buffer, size, offset);
}

ssize_t pread64(int fd, void *buffer, size_t size, off64_t offset) {
    BeforeRead(fd);
    return Next<ssize_t (*)(int, void *, size_t, off64_t)>("pread64")(fd, buffer, size, offset);
}
}
