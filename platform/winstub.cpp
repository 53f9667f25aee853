// POSIX implementation of the Win32 stand-in declared in winstub.h.
#include "winstub.h"

#include <atomic>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>
#include <wctype.h>

// The largest block a process of this build gets: under 2 GiB in a 32-bit
// one; in a 64-bit one 4 GiB - 1, the most the plug-in ever asks for (an
// entry or a directory of the format's largest size).
static constexpr SIZE_T kLargestBlock = sizeof(SIZE_T) > 4 ? 0xFFFFFFFF : 0x7FFFFFFF;
static std::atomic<SIZE_T> largestBlock{kLargestBlock};
// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
static constexpr int64_t kEpochDifference = 11644473600;
static constexpr int64_t kTicksPerSecond = 10000000;

static std::atomic<int32_t> faultAt[FAULT_KINDS];
static std::atomic<int32_t> calls[FAULT_KINDS];
static std::atomic<int32_t> openFiles;
static std::atomic<int32_t> liveBlocks;

void PlatformFailNth(int kind, int32_t n) {
    faultAt[kind] = n;
    calls[kind] = 0;
}

int32_t PlatformCalls(int kind) { return calls[kind]; }
int32_t PlatformOpenFiles(void) { return openFiles; }
int32_t PlatformLiveBlocks(void) { return liveBlocks; }
void PlatformLimitBlocks(size_t largest) { largestBlock = largest != 0 ? largest : kLargestBlock; }

static bool Fails(int kind) {
    int32_t n = ++calls[kind];
    return n == faultAt[kind];
}

static int FileDescriptor(HANDLE file) { return (int)(intptr_t)file; }
int PlatformDescriptor(HANDLE file) { return FileDescriptor(file); }

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, void *, DWORD, DWORD, HANDLE) {
    if (name == nullptr || Fails(FAULT_OPEN))
        return INVALID_HANDLE_VALUE;
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    ++openFiles;
    return (HANDLE)(intptr_t)fd;
}

BOOL ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read, OVERLAPPED *at) {
    if (Fails(FAULT_READ))
        toRead /= 2;
    int fd = FileDescriptor(file);
    off_t offset = at != nullptr ? (off_t)(((uint64_t)at->OffsetHigh << 32) | at->Offset) : 0;
    DWORD done = 0;
    BOOL ok = TRUE;
    while (done < toRead) {
        char *to = (char *)buffer + done;
        ssize_t n = at != nullptr ? pread(fd, to, toRead - done, offset + done)
                                  : ::read(fd, to, toRead - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = FALSE;
        if (n <= 0)
            break;
        done += (DWORD)n;
    }
    if (read != nullptr)
        *read = done;
    return ok;
}

// A UTF-16 path as the system's UTF-8 one, '\' read as '/'. False for a
// path that is not valid UTF-16 (a lone surrogate), which no file can have.
static bool PathFromWide(LPCWSTR name, std::string *path) {
    if (name == nullptr || name[0] == 0)
        return false;
    path->clear();
    for (size_t i = 0; name[i] != 0; i++) {
        uint32_t c = name[i];
        if (c >= 0xDC00 && c <= 0xDFFF)
            return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            uint32_t low = name[i + 1];
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            i++;
        }
        if (c == '\\')
            c = '/';
        if (c < 0x80) {
            *path += (char)c;
        } else if (c < 0x800) {
            *path += (char)(0xC0 | c >> 6);
            *path += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *path += (char)(0xE0 | c >> 12);
            *path += (char)(0x80 | (c >> 6 & 0x3F));
            *path += (char)(0x80 | (c & 0x3F));
        } else {
            *path += (char)(0xF0 | c >> 18);
            *path += (char)(0x80 | (c >> 12 & 0x3F));
            *path += (char)(0x80 | (c >> 6 & 0x3F));
            *path += (char)(0x80 | (c & 0x3F));
        }
    }
    return true;
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, void *security, DWORD disposition,
                   DWORD attributes, HANDLE templateFile) {
    std::string path;
    if (!PathFromWide(name, &path))
        return INVALID_HANDLE_VALUE;
    if (disposition != CREATE_NEW)
        return CreateFileA(path.c_str(), access, share, security, disposition, attributes,
                           templateFile);
    if (Fails(FAULT_OPEN))
        return INVALID_HANDLE_VALUE;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    ++openFiles;
    return (HANDLE)(intptr_t)fd;
}

BOOL WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written, OVERLAPPED *) {
    DWORD done = 0;
    BOOL ok = !Fails(FAULT_WRITE);
    while (ok && done < toWrite) {
        ssize_t n = write(FileDescriptor(file), (const char *)buffer + done, toWrite - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ok = FALSE;
        else
            done += (DWORD)n;
    }
    if (written != nullptr)
        *written = done;
    return ok;
}

static struct timespec FromFileTime(const FILETIME *t) {
    uint64_t ticks = ((uint64_t)t->dwHighDateTime << 32) | t->dwLowDateTime;
    struct timespec at;
    at.tv_sec = (time_t)(ticks / kTicksPerSecond) - kEpochDifference;
    at.tv_nsec = (long)(ticks % kTicksPerSecond) * 100;
    return at;
}

BOOL SetFileTime(HANDLE file, const FILETIME *, const FILETIME *access, const FILETIME *write) {
    struct timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_nsec = UTIME_OMIT;
    if (access != nullptr)
        times[0] = FromFileTime(access);
    if (write != nullptr)
        times[1] = FromFileTime(write);
    return futimens(FileDescriptor(file), times) == 0;
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    std::string source, target;
    if (!PathFromWide(from, &source) || !PathFromWide(to, &target))
        return FALSE;
    if (flags & MOVEFILE_REPLACE_EXISTING) {
        // Windows replaces files only, never a folder.
        struct stat st;
        if (lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return FALSE;
        return rename(source.c_str(), target.c_str()) == 0;
    }
    return renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
}

BOOL DeleteFileW(LPCWSTR name) {
    std::string path;
    return PathFromWide(name, &path) && unlink(path.c_str()) == 0;
}

DWORD GetCurrentProcessId(void) { return (DWORD)getpid(); }
DWORD GetCurrentThreadId(void) { return (DWORD)syscall(SYS_gettid); }

LONG InterlockedIncrement(LONG volatile *value) {
    return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

BOOL CloseHandle(HANDLE file) {
    if (close(FileDescriptor(file)) != 0)
        return FALSE;
    --openFiles;
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER *size) {
    struct stat st;
    if (fstat(FileDescriptor(file), &st) != 0)
        return FALSE;
    size->QuadPart = (int64_t)st.st_size;
    return TRUE;
}

BOOL GetFileTime(HANDLE file, FILETIME *creation, FILETIME *access, FILETIME *write) {
    struct stat st;
    if (fstat(FileDescriptor(file), &st) != 0)
        return FALSE;
    auto toFileTime = [](const struct timespec &t, FILETIME *out) {
        uint64_t ticks =
            (uint64_t)(t.tv_sec + kEpochDifference) * kTicksPerSecond + (uint64_t)t.tv_nsec / 100;
        out->dwLowDateTime = (DWORD)ticks;
        out->dwHighDateTime = (DWORD)(ticks >> 32);
    };
    if (creation != nullptr)
        toFileTime(st.st_ctim, creation);
    if (access != nullptr)
        toFileTime(st.st_atim, access);
    if (write != nullptr)
        toFileTime(st.st_mtim, write);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME *fileTime, SYSTEMTIME *systemTime) {
    uint64_t ticks = ((uint64_t)fileTime->dwHighDateTime << 32) | fileTime->dwLowDateTime;
    if (ticks >> 63)
        return FALSE;
    time_t seconds = (time_t)(ticks / kTicksPerSecond) - kEpochDifference;
    struct tm fields;
    if (gmtime_r(&seconds, &fields) == nullptr)
        return FALSE;
    systemTime->wYear = (WORD)(fields.tm_year + 1900);
    systemTime->wMonth = (WORD)(fields.tm_mon + 1);
    systemTime->wDayOfWeek = (WORD)fields.tm_wday;
    systemTime->wDay = (WORD)fields.tm_mday;
    systemTime->wHour = (WORD)fields.tm_hour;
    systemTime->wMinute = (WORD)fields.tm_min;
    systemTime->wSecond = (WORD)fields.tm_sec;
    systemTime->wMilliseconds = (WORD)(ticks % kTicksPerSecond / 10000);
    return TRUE;
}

// Every block, Local or Global, is a header followed by its bytes. A Local
// handle is the header; a Global block is the address of its bytes.
struct alignas(16) BlockHeader {
    SIZE_T size;
    SIZE_T mapping; // length of the block's own mapping, 0 for a heap block
};

// Blocks from this size up are mapped on their own and given huge pages where
// the system has them. A listing of a million entries needs a 428 MB record
// block; taken 4 KiB page by page it costs more than all the parsing (a page
// fault is several microseconds on a virtual machine), and a mapping comes
// zero-filled for free. AddressSanitizer guards heap blocks only, so under
// it every block stays on the heap.
#ifdef __SANITIZE_ADDRESS__
static constexpr SIZE_T kMappedBlock = SIZE_MAX;
#else
static constexpr SIZE_T kMappedBlock = 4u << 20;
#endif
static constexpr SIZE_T kHugePage = 2u << 20;

static BlockHeader *NewBlock(UINT flags, SIZE_T bytes) {
    if (bytes > largestBlock || Fails(FAULT_ALLOC))
        return nullptr;
    SIZE_T total = sizeof(BlockHeader) + bytes;
    BlockHeader *block = nullptr;
    SIZE_T mapping = 0;
    if (total >= kMappedBlock) {
        // A length of whole huge pages lets the system place the mapping on
        // a huge-page boundary.
        mapping = (total + kHugePage - 1) / kHugePage * kHugePage;
        void *at =
            mmap(nullptr, mapping, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at != MAP_FAILED) {
            madvise(at, mapping, MADV_HUGEPAGE);
            block = (BlockHeader *)at;
        }
    } else {
        block = (BlockHeader *)((flags & GMEM_ZEROINIT) ? calloc(1, total) : malloc(total));
    }
    if (block == nullptr)
        return nullptr;
    block->size = bytes;
    block->mapping = mapping;
    ++liveBlocks;
    return block;
}

static void DeleteBlock(BlockHeader *block) {
    if (block == nullptr)
        return;
    if (block->mapping != 0)
        munmap(block, block->mapping);
    else
        free(block);
    --liveBlocks;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) { return NewBlock(flags, bytes); }

void *LocalLock(HLOCAL block) {
    if (block == nullptr || ((BlockHeader *)block)->size == 0)
        return nullptr;
    return (BlockHeader *)block + 1;
}

BOOL LocalUnlock(HLOCAL) { return FALSE; } // FALSE: the block is no longer locked

SIZE_T LocalSize(HLOCAL block) { return block == nullptr ? 0 : ((BlockHeader *)block)->size; }

HLOCAL LocalFree(HLOCAL block) {
    DeleteBlock((BlockHeader *)block);
    return nullptr;
}

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
    BlockHeader *block = NewBlock(flags, bytes);
    return block != nullptr ? block + 1 : nullptr;
}

HGLOBAL GlobalFree(HGLOBAL block) {
    if (block != nullptr)
        DeleteBlock((BlockHeader *)block - 1);
    return nullptr;
}

void AcquireSRWLockExclusive(SRWLOCK *lock) { pthread_mutex_lock(&lock->mutex); }
void ReleaseSRWLockExclusive(SRWLOCK *lock) { pthread_mutex_unlock(&lock->mutex); }

int lstrlenA(LPCSTR s) { return s == nullptr ? 0 : (int)strlen(s); }

LPSTR lstrcpynA(LPSTR destination, LPCSTR source, int length) {
    if (length <= 0)
        return destination;
    int i = 0;
    for (; i < length - 1 && source[i] != '\0'; i++)
        destination[i] = source[i];
    destination[i] = '\0';
    return destination;
}

int lstrcmpiA(LPCSTR a, LPCSTR b) { return strcasecmp(a, b); }

// Lead bytes of the double-byte code pages a test can select: Shift_JIS
// (932) has two ranges, GBK (936), UHC (949) and Big5 (950) one.
static std::atomic<UINT> ansiCodePage{1252};

void PlatformSelectCodePage(UINT codePage) { ansiCodePage = codePage; }

UINT GetACP(void) { return ansiCodePage; }

BOOL IsDBCSLeadByte(BYTE c) { return IsDBCSLeadByteEx(ansiCodePage, c); }

BOOL IsDBCSLeadByteEx(UINT codePage, BYTE c) {
    switch (codePage) {
    case 932:
        return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    case 936:
    case 949:
    case 950:
        return c >= 0x81 && c <= 0xFE;
    default:
        return FALSE;
    }
}

// One converter per code page into UTF-16, opened when first needed and kept
// for the life of the process; a converter is used by one thread at a time.
// Only the code pages of names are known: UTF-8 and the double-byte ones.
static constexpr UINT kNameCodePages[] = {CP_UTF8, 932, 936, 949, 950};
static constexpr int kConverters = sizeof kNameCodePages / sizeof kNameCodePages[0];
static iconv_t converters[kConverters] = {(iconv_t)-1, (iconv_t)-1, (iconv_t)-1, (iconv_t)-1,
                                          (iconv_t)-1};
static pthread_mutex_t converterLock = PTHREAD_MUTEX_INITIALIZER;

// Only strict conversion is offered: without MB_ERR_INVALID_CHARS Windows
// puts a default character in, which nothing here asks for.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR bytes, int size, LPWSTR wide,
                        int capacity) {
    int slot = 0;
    while (slot < kConverters && kNameCodePages[slot] != codePage)
        slot++;
    if (bytes == nullptr || size < 0 || !(flags & MB_ERR_INVALID_CHARS) || slot == kConverters)
        return 0;
    std::u16string out((size_t)size + 1, u'\0');
    char *in = (char *)bytes;
    size_t inLeft = (size_t)size;
    char *to = (char *)&out[0];
    size_t toLeft = out.size() * 2;
    pthread_mutex_lock(&converterLock);
    if (converters[slot] == (iconv_t)-1) {
        std::string name = codePage == CP_UTF8 ? "UTF-8" : "CP" + std::to_string(codePage);
        converters[slot] = iconv_open("UTF-16LE", name.c_str());
    }
    iconv_t converter = converters[slot];
    bool ok = converter != (iconv_t)-1;
    if (ok) {
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
        ok = iconv(converter, &in, &inLeft, &to, &toLeft) != (size_t)-1 && inLeft == 0 &&
             iconv(converter, nullptr, nullptr, &to, &toLeft) != (size_t)-1;
    }
    pthread_mutex_unlock(&converterLock);
    int units = (int)(out.size() - toLeft / 2);
    if (!ok || units == 0)
        return 0;
    if (capacity == 0)
        return units;
    if (capacity < units)
        return 0;
    memcpy(wide, out.data(), (size_t)units * 2);
    return units;
}

// Ordinal comparison; ignoring case, each unit is upper-cased on its own, as
// Windows does, by the C.UTF-8 locale's tables (kept for the process).
int CompareStringOrdinal(const WCHAR *a, int aLength, const WCHAR *b, int bLength,
                         BOOL ignoreCase) {
    static locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    size_t la = aLength < 0 ? std::char_traits<char16_t>::length(a) : (size_t)aLength;
    size_t lb = bLength < 0 ? std::char_traits<char16_t>::length(b) : (size_t)bLength;
    for (size_t i = 0; i < la && i < lb; i++) {
        uint32_t x = a[i], y = b[i];
        if (ignoreCase && unicode != (locale_t)0) {
            if (x < 0xD800 || x > 0xDFFF)
                x = (uint32_t)towupper_l((wint_t)x, unicode);
            if (y < 0xD800 || y > 0xDFFF)
                y = (uint32_t)towupper_l((wint_t)y, unicode);
        }
        if (x != y)
            return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    return la == lb ? CSTR_EQUAL : la < lb ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}
