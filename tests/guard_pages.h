// Memory for host-contract tests: bytes placed so that they end where a
// no-access page begins, optionally read-only, with every other byte of
// their pages set to a canary, so that a write outside them faults or shows.
#ifndef AXQ_TESTS_GUARD_PAGES_H
#define AXQ_TESTS_GUARD_PAGES_H

#include "platform/platform.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <vector>

#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>
#endif

static constexpr unsigned char kCanary = 0xA5;

struct Guarded {
    char *base = nullptr;  // the first page
    size_t pages = 0;      // pages before the guard page
    size_t pageSize = 0;   //
    char *bytes = nullptr; // the caller's bytes, ending at the guard page
    size_t size = 0;       //
    std::vector<char> was; // every byte of the pages before the call
};

inline size_t PageSize() {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
#else
    return (size_t)sysconf(_SC_PAGESIZE);
#endif
}

// `size` bytes, initialised from `init` (or canary), ending at a no-access
// page; with readOnly the pages are then made read-only.
inline Guarded *Guard(const void *init, size_t size, bool readOnly) {
    Guarded *g = new Guarded;
    g->pageSize = PageSize();
    g->pages = size / g->pageSize + 1;
    size_t total = (g->pages + 1) * g->pageSize;
#ifdef _WIN32
    g->base = (char *)VirtualAlloc(nullptr, total, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
#else
    g->base =
        (char *)mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#endif
    memset(g->base, kCanary, g->pages * g->pageSize);
    g->size = size;
    g->bytes = g->base + g->pages * g->pageSize - size;
    if (init != nullptr)
        memcpy(g->bytes, init, size);
    g->was.assign(g->base, g->base + g->pages * g->pageSize);
    char *guard = g->base + g->pages * g->pageSize;
#ifdef _WIN32
    DWORD old;
    VirtualProtect(guard, g->pageSize, PAGE_NOACCESS, &old);
    if (readOnly)
        VirtualProtect(g->base, g->pages * g->pageSize, PAGE_READONLY, &old);
#else
    mprotect(guard, g->pageSize, PROT_NONE);
    if (readOnly)
        mprotect(g->base, g->pages * g->pageSize, PROT_READ);
#endif
    return g;
}

inline Guarded *GuardText(const char *text) { return Guard(text, strlen(text) + 1, true); }

inline Guarded *GuardWide(const std::u16string &text) {
    return Guard(text.c_str(), (text.size() + 1) * sizeof(char16_t), true);
}

// True if no byte of the pages changed outside bytes[from, to).
inline bool OnlyChanged(const Guarded *g, size_t from, size_t to) {
    size_t start = (size_t)(g->bytes - g->base);
    for (size_t i = 0; i < g->was.size(); i++) {
        bool allowed = i >= start + from && i < start + to;
        if (!allowed && g->base[i] != g->was[i])
            return false;
    }
    return true;
}

inline bool Unchanged(const Guarded *g) { return OnlyChanged(g, 0, 0); }

inline void Release(Guarded *g) {
    if (g == nullptr)
        return;
#ifdef _WIN32
    VirtualFree(g->base, 0, MEM_RELEASE);
#else
    munmap(g->base, (g->pages + 1) * g->pageSize);
#endif
    delete g;
}

#endif
