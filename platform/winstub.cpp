// POSIX implementation of the Win32 stand-in declared in winstub.h.
#include "winstub.h"

#include <atomic>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

// A 32-bit process never gets a block larger than this.
static std::atomic<SIZE_T> largestBlock{0x7FFFFFFF};
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
void PlatformLimitBlocks(size_t largest) { largestBlock = largest; }

static bool Fails(int kind) {
    int32_t n = ++calls[kind];
    return n == faultAt[kind];
}

static int FileDescriptor(HANDLE file) { return (int)(intptr_t)file; }

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

BOOL IsDBCSLeadByte(BYTE c) {
    switch (ansiCodePage) {
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
