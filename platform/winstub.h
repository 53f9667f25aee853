// Native stand-in for the Win32 services the plug-in uses, so that the same
// logic code builds and runs on Linux for tests, sanitizers, fuzzers and
// benchmarks. Only what the plug-in and its hosts call is here, with the
// behaviour the plug-in relies on:
//   - CreateFileA gives INVALID_HANDLE_VALUE when the file cannot be opened
//     (a directory cannot be opened either, as on Windows);
//   - ReadFile may deliver fewer bytes than asked for, and says how many;
//     given an OVERLAPPED it reads at the offset there, as on a handle
//     opened for synchronous access;
//   - LocalAlloc blocks are movable: the caller locks them to reach the bytes
//     and frees them with LocalFree; a block of size zero locks to null;
//   - GlobalAlloc blocks are zero-filled when asked;
//   - no block of 2 GiB or more can be obtained in a 32-bit build, none of
//     4 GiB or more in a 64-bit one (PlatformLimitBlocks lowers the limit);
//   - the ANSI code page is single-byte (no lead bytes) unless a test
//     selects a double-byte one with PlatformSelectCodePage;
//   - wide (UTF-16) paths are converted to UTF-8, with '\' read as '/', as
//     Wine does; a path that is not valid UTF-16 cannot be opened;
//   - code-page conversions come from iconv, case folding from the C.UTF-8
//     locale's tables.
// Include platform/platform.h rather than this file.
#ifndef AXQ_WINSTUB_H
#define AXQ_WINSTUB_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef size_t SIZE_T;
typedef uint32_t UINT;
typedef void *HANDLE;
typedef void *HLOCAL;
typedef void *HGLOBAL;
typedef void *HINSTANCE;
typedef void *LPVOID;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef char16_t WCHAR; // a UTF-16 unit, as Windows' wchar_t
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define CREATE_NEW 1u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define MOVEFILE_REPLACE_EXISTING 0x00000001u

#define CP_UTF8 65001u
#define MB_ERR_INVALID_CHARS 0x00000008u
#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3

#define LMEM_MOVEABLE 0x0002u
#define LMEM_ZEROINIT 0x0040u
#define GMEM_FIXED 0x0000u
#define GMEM_ZEROINIT 0x0040u
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)

#define DLL_PROCESS_ATTACH 1
#define DLL_PROCESS_DETACH 0

// Only the offset of an OVERLAPPED is used.
typedef struct {
    DWORD Offset;
    DWORD OffsetHigh;
} OVERLAPPED;

typedef union {
    int64_t QuadPart;
} LARGE_INTEGER;

typedef struct {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef struct {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, void *security, DWORD disposition,
                   DWORD attributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read, OVERLAPPED *at);
BOOL CloseHandle(HANDLE file);
// Opens an existing file for reading (OPEN_EXISTING), or creates a new one
// for writing that must not exist yet (CREATE_NEW).
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, void *security, DWORD disposition,
                   DWORD attributes, HANDLE templateFile);
BOOL WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written, OVERLAPPED *at);
BOOL SetFileTime(HANDLE file, const FILETIME *creation, const FILETIME *access,
                 const FILETIME *write);
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
BOOL DeleteFileW(LPCWSTR name);
DWORD GetCurrentProcessId(void);
DWORD GetCurrentThreadId(void);
LONG InterlockedIncrement(LONG volatile *value);
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER *size);
BOOL GetFileTime(HANDLE file, FILETIME *creation, FILETIME *access, FILETIME *write);
BOOL FileTimeToSystemTime(const FILETIME *fileTime, SYSTEMTIME *systemTime);

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
void *LocalLock(HLOCAL block);
BOOL LocalUnlock(HLOCAL block);
SIZE_T LocalSize(HLOCAL block);
HLOCAL LocalFree(HLOCAL block);
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
HGLOBAL GlobalFree(HGLOBAL block);

// A lock that needs no set-up: SRWLOCK lock = SRWLOCK_INIT.
typedef struct {
    pthread_mutex_t mutex;
} SRWLOCK;
#define SRWLOCK_INIT                                                                               \
    { PTHREAD_MUTEX_INITIALIZER }
void AcquireSRWLockExclusive(SRWLOCK *lock);
void ReleaseSRWLockExclusive(SRWLOCK *lock);

int lstrlenA(LPCSTR s);
LPSTR lstrcpynA(LPSTR destination, LPCSTR source, int length);
int lstrcmpiA(LPCSTR a, LPCSTR b);
BOOL IsDBCSLeadByte(BYTE c);
BOOL IsDBCSLeadByteEx(UINT codePage, BYTE c);
UINT GetACP(void);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR bytes, int size, LPWSTR wide,
                        int capacity);
int CompareStringOrdinal(const WCHAR *a, int aLength, const WCHAR *b, int bLength, BOOL ignoreCase);

// Test-only controls. PlatformFailNth(kind, n) makes the n-th call of that
// kind from now on fail (n = 0 disarms it) and restarts its call count:
// an allocation gives null, an open gives INVALID_HANDLE_VALUE, a read
// delivers half of what was asked for, a write fails as on a full disk.
enum PlatformFault { FAULT_ALLOC, FAULT_OPEN, FAULT_READ, FAULT_WRITE, FAULT_KINDS };
void PlatformFailNth(int kind, int32_t n);
int32_t PlatformCalls(int kind);          // calls of that kind since it was last armed or disarmed
int32_t PlatformOpenFiles(void);          // handles opened and not yet closed
int PlatformDescriptor(HANDLE file);      // the descriptor behind a file handle
int32_t PlatformLiveBlocks(void);         // Local and Global blocks obtained and not yet freed
void PlatformLimitBlocks(size_t largest); // no block above this size; 0: the build's own limit
// The ANSI code page (GetACP) whose lead bytes IsDBCSLeadByte knows: 932,
// 936, 949 or 950; anything else is single-byte, as the default 1252.
void PlatformSelectCodePage(UINT codePage);

#endif
