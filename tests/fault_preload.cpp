// A fault injector for quorvel's tests, loaded with LD_PRELOAD: at the N-th
// opening of one file it truncates that file or puts another in its place,
// as another program might while quorvel works, between its listing and its
// reads or while it reads an input.
//   AXQ_FAULT_FILE=PATH AXQ_FAULT_AT=N (AXQ_FAULT_TRUNCATE=BYTES | AXQ_FAULT_REPLACE=OTHER)
//   [AXQ_FAULT_ON=VICTIM]
//   AXQ_FAULT_FILE=PATH AXQ_FAULT_AT=N AXQ_FAULT_SIGNAL=NUMBER
// PATH is compared as quorvel gives it to the system. The fault strikes PATH
// itself, or VICTIM: another file changed when PATH is opened (an archive
// replaced while an input is read). A signal is raised in quorvel itself,
// as Ctrl-C or a kill would stop it there.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void Inject(const char *path) {
    static int opened;
    const char *file = getenv("AXQ_FAULT_FILE");
    const char *at = getenv("AXQ_FAULT_AT");
    if (file == nullptr || at == nullptr || path == nullptr || strcmp(path, file) != 0 ||
        ++opened != atoi(at))
        return;
    const char *size = getenv("AXQ_FAULT_TRUNCATE");
    const char *other = getenv("AXQ_FAULT_REPLACE");
    const char *signal = getenv("AXQ_FAULT_SIGNAL");
    if (signal != nullptr)
        raise(atoi(signal));
    const char *victim = getenv("AXQ_FAULT_ON");
    if (victim == nullptr)
        victim = path;
    if (size != nullptr && truncate(victim, atoll(size)) != 0)
        abort();
    if (other != nullptr && rename(other, victim) != 0)
        abort();
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
    Inject(path);
    return Next<int (*)(const char *, int, mode_t)>("open")(path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeOf(flags, args);
    va_end(args);
    Inject(path);
    return Next<int (*)(const char *, int, mode_t)>("open64")(path, flags, mode);
}

FILE *fopen(const char *path, const char *mode) {
    Inject(path);
    return Next<FILE *(*)(const char *, const char *)>("fopen")(path, mode);
}

FILE *fopen64(const char *path, const char *mode) {
    Inject(path);
    return Next<FILE *(*)(const char *, const char *)>("fopen64")(path, mode);
}
}
