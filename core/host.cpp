// The host side of quorvel: the plug-in's entry points, the archive path it
// is given, the blocks it hands over, and the meaning of its time stamp.
// The native quorvel lists through the plug-in's walk (walk_listing.cpp).
#include "core/host.h"

#include "core/failure.h"

#include "archive/archive.h"

#include "platform/platform.h"
#include "core/names.h"
#include "core/output.h"
#include "core/status.h"
#include "core/translate.h"

#include <algorithm>
#include <errno.h>
#include <vector>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

// IsSupported takes a handle below this value, an address above.
static constexpr uintptr_t kLargestHandle = 0xFFFF;
// quorvel64.exe opens archives through the wide entry points.
#if defined(_WIN32) && SPI_64BIT
#define AXQ_WIDE_HOST 1
#else
#define AXQ_WIDE_HOST 0
#endif
static int32_t Supported(const Archive &archive, uintptr_t source);

static int32_t SPI_API NoProgress(int32_t, int32_t, intptr_t) { return 0; }

static decltype(&GetPluginInfo) getPluginInfo;
static decltype(&IsSupported) isSupported;
static decltype(&GetArchiveInfo) getArchiveInfo;
static decltype(&GetFileInfo) getFileInfo;
static decltype(&GetFile) getFile;
#if AXQ_WIDE_HOST
static decltype(&IsSupportedW) isSupportedW;
static decltype(&GetArchiveInfoW) getArchiveInfoW;
static decltype(&GetFileInfoW) getFileInfoW;
static decltype(&GetFileW) getFileW;
#endif

#ifdef _WIN32

#if SPI_64BIT
static const wchar_t kModuleName[] = L"axquorvel.sph";
static const char kModuleKind[] = N_("64-bit");
#else
static const wchar_t kModuleName[] = L"axquorvel.spi";
static const char kModuleKind[] = N_("32-bit");
#endif

bool LoadPlugin(const char *path, Failure *failure) {
    std::wstring module;
    if (path != nullptr) {
        module = Widen(path);
    } else {
        wchar_t self[MAX_PATH];
        DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
        module = std::wstring(self, n);
        module = module.substr(0, module.find_last_of(L"\\/") + 1) + kModuleName;
    }
    HMODULE loaded = LoadLibraryW(module.c_str());
    if (loaded == nullptr) {
        *failure = Fail(FailureKind::kSystem, Narrow(module),
                        N_("cannot load the plug-in (missing, or not a %s Windows DLL)"),
                        {_(kModuleKind)});
        return false;
    }
    const char *names[] = {"GetPluginInfo",   "IsSupported",  "GetArchiveInfo",
                           "GetFileInfo",     "GetFile",      "IsSupportedW",
                           "GetArchiveInfoW", "GetFileInfoW", "GetFileW"};
    // The 64-bit module's wide entry points too.
    const int wanted = SPI_64BIT ? 9 : 5;
    FARPROC found[9];
    for (int i = 0; i < wanted; i++) {
        found[i] = GetProcAddress(loaded, names[i]);
        if (found[i] == nullptr) {
            *failure = Fail(FailureKind::kSystem, Narrow(module),
                            N_("the plug-in has no %s export"), {names[i]});
            return false;
        }
    }
    getPluginInfo = (decltype(getPluginInfo))(void *)found[0];
    isSupported = (decltype(isSupported))(void *)found[1];
    getArchiveInfo = (decltype(getArchiveInfo))(void *)found[2];
    getFileInfo = (decltype(getFileInfo))(void *)found[3];
    getFile = (decltype(getFile))(void *)found[4];
#if SPI_64BIT
    isSupportedW = (decltype(isSupportedW))(void *)found[5];
    getArchiveInfoW = (decltype(getArchiveInfoW))(void *)found[6];
    getFileInfoW = (decltype(getFileInfoW))(void *)found[7];
    getFileW = (decltype(getFileW))(void *)found[8];
#endif
    return true;
}

// The plug-in opens archives by an ANSI name. A path with characters outside
// the ANSI code page is given by its short (8.3) form instead, if the file
// system has one.
static bool AnsiPath(const std::string &text, std::string *ansi) {
    std::wstring path = Widen(text);
    auto exact = [ansi](const std::wstring &wide) {
        BOOL used = FALSE;
        int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, nullptr, 0,
                                    nullptr, &used);
        if (n <= 0 || used)
            return false;
        ansi->assign((size_t)n, '\0');
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, &(*ansi)[0], n, nullptr,
                            &used);
        ansi->resize((size_t)n - 1);
        return !used;
    };
    if (exact(path))
        return true;
    wchar_t shortPath[MAX_PATH];
    DWORD n = GetShortPathNameW(path.c_str(), shortPath, MAX_PATH);
    return n > 0 && n < MAX_PATH && exact(shortPath);
}

static HANDLE OpenHandle(const std::string &path) {
    return CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

static int OpenDescriptor(const std::string &path) {
    return _wopen(Widen(path).c_str(), _O_RDONLY | _O_BINARY);
}

// Windows refuses to open a folder as a file with "access denied".
static bool IsFolder(const std::string &path) {
    DWORD attributes = GetFileAttributesW(Widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

typedef struct _stat64 FileStatus;
static int StatusOf(int fd, FileStatus *status) { return _fstat64(fd, status); }
static void CloseDescriptor(int fd) { _close(fd); }

// The file at `path`, opened for its attributes only: it keeps no reader or
// writer out, and lets the file be renamed or replaced (update does that).
static HANDLE OpenIdentity(const std::string &path) {
    return CreateFileW(Widen(path).c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

// A file's size, last-write time and identity (its volume's serial number
// and its index there, which NTFS does not give again to a new file), as
// Linux's stat gives them.
static bool Identify(HANDLE file, FileState *state) {
    BY_HANDLE_FILE_INFORMATION info;
    if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &info))
        return false;
    uint64_t ticks = ((uint64_t)info.ftLastWriteTime.dwHighDateTime << 32) |
                     info.ftLastWriteTime.dwLowDateTime; // 100 ns since 1601
    state->size = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
    state->modified = (int64_t)(ticks / 10000000) - 11644473600LL;
    state->modifiedNanoseconds = (int64_t)(ticks % 10000000) * 100;
    state->device = info.dwVolumeSerialNumber;
    state->inode = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    return true;
}

#else

bool LoadPlugin(const char *, Failure *) {
    getPluginInfo = GetPluginInfo;
    isSupported = IsSupported;
    getArchiveInfo = GetArchiveInfo;
    getFileInfo = GetFileInfo;
    getFile = GetFile;
    return true;
}

static bool AnsiPath(const std::string &path, std::string *ansi) {
    *ansi = path;
    return true;
}

static HANDLE OpenHandle(const std::string &path) {
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Without blocking: opening a FIFO for reading would wait for a writer.
static int OpenDescriptor(const std::string &path) {
    return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

typedef struct stat FileStatus;
static int StatusOf(int fd, FileStatus *status) { return fstat(fd, status); }
static int PathStatus(const std::string &path, FileStatus *status) {
    return stat(path.c_str(), status);
}
static bool IsFolder(const std::string &) { return false; } // open() takes a folder
static void CloseDescriptor(int fd) { close(fd); }

#endif

bool PluginRow(int32_t index, std::string *row) {
    char buffer[256];
    if (getPluginInfo(index, buffer, sizeof buffer) <= 0)
        return false;
    *row = buffer;
    return true;
}

bool FileState::operator==(const FileState &other) const {
    return size == other.size && modified == other.modified &&
           modifiedNanoseconds == other.modifiedNanoseconds && device == other.device &&
           inode == other.inode;
}

static FileState StateOf(const FileStatus &status) {
    FileState state;
    state.size = (uint64_t)status.st_size;
    state.modified = (int64_t)status.st_mtime;
#ifndef _WIN32
    state.modifiedNanoseconds = (int64_t)status.st_mtim.tv_nsec;
    state.device = (uint64_t)status.st_dev;
    state.inode = (uint64_t)status.st_ino;
#endif
    return state;
}

ArchiveCheck OpenArchive(const std::string &path, Archive *archive, Failure *failure) {
    archive->path = path;
    int fd = OpenDescriptor(path);
    FileStatus status;
    if (fd < 0 || StatusOf(fd, &status) != 0) {
        *failure = SystemFailure(path, IsFolder(path) ? EISDIR : errno);
        if (fd >= 0)
            CloseDescriptor(fd);
        return kUnreadable;
    }
    CloseDescriptor(fd);
    if ((status.st_mode & S_IFMT) == S_IFDIR) {
        *failure = SystemFailure(path, EISDIR);
        return kUnreadable;
    }
    // A FIFO, a socket or a device is no archive: the plug-in opens and reads
    // an archive again for each call.
    if ((status.st_mode & S_IFMT) != S_IFREG) {
        *failure = Fail(FailureKind::kRefused, path, N_("not a regular file"));
        return kUnreadable;
    }
    archive->state = StateOf(status);
#ifdef _WIN32
    HANDLE identity = OpenIdentity(path);
    bool identified = Identify(identity, &archive->state);
    if (identity != INVALID_HANDLE_VALUE)
        CloseHandle(identity);
    if (!identified) {
        *failure = Fail(FailureKind::kSystem, path, N_("cannot open the file"));
        return kUnreadable;
    }
#endif
    if (!AXQ_WIDE_HOST && !AnsiPath(path, &archive->pluginPath)) {
        *failure = Fail(FailureKind::kRefused, path,
                        N_("the plug-in cannot open this path: it has characters outside the "
                           "system's code page and no short name"));
        return kUnreadable;
    }
    HANDLE file = OpenHandle(path);
    if (file == INVALID_HANDLE_VALUE) {
        *failure = Fail(FailureKind::kSystem, path, N_("cannot open the file"));
        return kUnreadable;
    }
    uintptr_t source = (uintptr_t)file;
    // A handle too large to pass as one: pass the file's head instead.
    char head[22] = {0};
    DWORD got = sizeof head;
    if (source > kLargestHandle) {
        ReadFile(file, head, sizeof head, &got, nullptr);
        source = (uintptr_t)head;
    }
    int32_t supported = got >= 21 && Supported(*archive, source);
    CloseHandle(file);
    if (!supported) {
        *failure = Fail(FailureKind::kNotArchive, path, N_("not a Quorvel archive"));
        return kNotAnArchive;
    }
    return kIsArchive;
}

bool ArchiveUnchanged(const Archive &archive) {
#ifdef _WIN32
    FileState now;
    HANDLE file = OpenIdentity(archive.path);
    bool same = Identify(file, &now) && now == archive.state;
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return same;
#else
    FileStatus status;
    return PathStatus(archive.path, &status) == 0 && StateOf(status) == archive.state;
#endif
}

#ifndef _WIN32
bool DescriptorUnchanged(const Archive &archive, int fd) {
    FileStatus status;
    return fstat(fd, &status) == 0 && StateOf(status) == archive.state;
}
#endif

const char *ResultMessage(int32_t result) {
    switch (result) {
    case SPI_UNSUPPORTED_MODE:
        return N_("the plug-in does not support this request");
    case SPI_NO_SUCH_ENTRY:
        return N_("no entry of that name");
    case SPI_NO_MEMORY:
        return N_("not enough memory, or the archive's directory could not be loaded");
    case SPI_FILE_ERROR:
        return N_("the archive could not be read (damaged or truncated?)");
    case kArchiveChanged:
        return N_("the archive changed since it was listed; the entry was not read");
    case kOffsetPastFormat:
        return N_("its directory line gives an offset past 4 GiB, which the format cannot hold; "
                  "the entry was not read");
    default:
        return N_("the plug-in reported an unknown error");
    }
}

const char *ResultText(int32_t result) { return _(ResultMessage(result)); }

#if AXQ_WIDE_HOST

static int32_t Supported(const Archive &archive, uintptr_t source) {
    return isSupportedW(Widen(archive.path).c_str(), source);
}

static int32_t GetEntry(const Archive &archive, const EntryRecord &record, SpiBlock *block) {
    return getFileW(Widen(archive.path).c_str(), (intptr_t)record.position, block,
                    SPI_INPUT_FILE | SPI_OUTPUT_MEMORY, NoProgress, 0);
}

#else

static int32_t Supported(const Archive &archive, uintptr_t source) {
    return isSupported(archive.pluginPath.c_str(), source);
}

static int32_t GetEntry(const Archive &archive, const EntryRecord &record, SpiBlock *block) {
    return getFile(archive.pluginPath.c_str(), (intptr_t)record.position, block,
                   SPI_INPUT_FILE | SPI_OUTPUT_MEMORY, NoProgress, 0);
}

#endif

#ifdef _WIN32

// The longest directory line the plug-in reads.
static constexpr size_t kLineProbe = (size_t)kLineProbeSize;

// The names of the listed entries as stored: the bytes before the TAB of
// each entry's directory line, read from the archive in one read up to the
// plug-in's probe past the last position, and further where a line is
// longer (its record shows it cut). Records name entries for hosts that
// join names to folders, without the parts that climb out; quorvel keeps,
// finds and writes back what the archive stores. The entries whose line
// gives an offset the plug-in reads wrapped go into *wrapped. False if a
// line is not where its record says: the archive changed.
template <typename Record>
static bool StoredNames(const Archive &archive, const Record *records, size_t count,
                        std::vector<std::string> *names, std::vector<uint32_t> *wrapped) {
    HANDLE file = OpenHandle(archive.path);
    std::string directory;
    // Reads on to `want` bytes of the file, or to its end.
    auto readTo = [&](uint64_t want) {
        want = want < archive.state.size ? want : archive.state.size;
        size_t had = directory.size();
        DWORD got = 0;
        if (want <= had)
            return false;
        directory.resize((size_t)want);
        bool read = ReadFile(file, &directory[had], (DWORD)(want - had), &got, nullptr);
        directory.resize(had + (read ? got : 0));
        return got > 0;
    };
    bool ok = file != INVALID_HANDLE_VALUE;
    if (ok && count > 0)
        readTo(records[count - 1].position + kLineProbe);
    for (size_t i = 0; ok && i < count; i++) {
        size_t from = (size_t)records[i].position, tab, end = std::string::npos;
        while ((tab = directory.find('\t', from)) == std::string::npos ||
               (end = directory.find_first_of("\r\n", tab)) == std::string::npos) {
            if (!readTo(directory.size() + std::max<size_t>(directory.size(), kLineProbe)))
                break;
        }
        ok = tab != std::string::npos && directory.find_first_of("\r\n", from) > tab;
        if (!ok)
            break;
        names->push_back(directory.substr(from, tab - from));
        end = end == std::string::npos ? directory.size() : end;
        if (!EntryRangeFits(directory.c_str() + tab, (int32_t)(end - tab)))
            wrapped->push_back((uint32_t)i);
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return ok;
}

// Names a record by the stored name, cut as the ANSI record cuts it, at a
// character boundary.
static void NameAsStored(FileInfo *record, const std::string &name) {
    memset(record->filename, 0, sizeof record->filename);
    memcpy(record->filename, name.data(),
           (size_t)CutNameLength(name.c_str(), (int32_t)name.size()));
}

#if AXQ_WIDE_HOST
// The record of the ANSI listing for a wide one: the same numbers, and the
// stored name.
static FileInfo AnsiRecord(const FileInfoW &wide, const std::string &name) {
    FileInfo record;
    memset(&record, 0, sizeof record);
    memcpy(record.method, wide.method, sizeof record.method);
    record.position = wide.position;
    record.compsize = wide.compsize;
    record.filesize = wide.filesize;
    record.timestamp = wide.timestamp;
    NameAsStored(&record, name);
    return record;
}
#endif

// The listing as ANSI records named as stored, and each entry's whole name
// as stored. quorvel64.exe lists through the wide entry point and keeps its
// own records; quorvel.exe names the plug-in's records in place.
static bool ListStored(const Archive &archive, Listing *listing, std::vector<std::string> *names,
                       Failure *failure) {
    *listing = Listing();
    SpiBlock block = nullptr;
#if AXQ_WIDE_HOST
    int32_t result = getArchiveInfoW(Widen(archive.path).c_str(), 0, SPI_INPUT_FILE, &block);
    typedef FileInfoW Record;
#else
    int32_t result = getArchiveInfo(archive.pluginPath.c_str(), 0, SPI_INPUT_FILE, &block);
    typedef FileInfo Record;
#endif
    if (result != SPI_OK) {
        *failure = Fail(FailureKind::kDamaged, archive.path, ResultMessage(result));
        return false;
    }
    Record *records = (Record *)LocalLock(block);
    size_t count = 0;
    while (records != nullptr && records[count].method[0] != '\0')
        count++;
    bool named = StoredNames(archive, records, count, names, &listing->wrapped);
#if AXQ_WIDE_HOST
    for (size_t i = 0; named && i < count; i++)
        listing->owned.push_back(AnsiRecord(records[i], (*names)[i]));
    LocalUnlock(block);
    LocalFree(block);
    listing->blockRecords = listing->owned.data();
#else
    for (size_t i = 0; named && i < count; i++)
        NameAsStored(&records[i], (*names)[i]);
    listing->block = block;
    listing->blockRecords = records;
#endif
    listing->count = count;
    if (!named) {
        FreeListing(listing);
        *failure = Fail(FailureKind::kDamaged, archive.path,
                        N_("the archive changed while it was listed"));
        return false;
    }
    return true;
}

bool ListArchive(const Archive &archive, Listing *listing, Failure *failure) {
    std::vector<std::string> names;
    return ListStored(archive, listing, &names, failure);
}

// The plug-in's lookups find records' names and compare names decoded in a
// code page the module guesses: a name in the archive's own bytes is found
// by them instead, among the whole stored names of a listing kept for the
// archive last asked about.
int32_t LookUpEntry(const Archive &archive, const Listing &, const std::string &storedName,
                    FileInfo *record) {
    static std::string listedPath;
    static FileState listedState;
    static Listing listed;
    static std::vector<std::string> names;
    if (listedPath != archive.path || !(listedState == archive.state)) {
        names.clear();
        listedPath.clear();
        FreeListing(&listed);
        Failure failure;
        if (!ListStored(archive, &listed, &names, &failure))
            return SPI_FILE_ERROR;
        listedPath = archive.path;
        listedState = archive.state;
    }
    for (size_t i = 0; i < names.size(); i++) {
        if (names[i] == storedName) {
            *record = listed.blockRecords[i];
            return SPI_OK;
        }
    }
    return SPI_NO_SUCH_ENTRY;
}

#else

// The record block is the host contract's, not quorvel's: the native
// quorvel, linked with the plug-in, lists through the walk that fills it.
bool ListArchive(const Archive &archive, Listing *listing, Failure *failure) {
    int32_t result = ListThroughWalk(archive.pluginPath, listing);
    if (result != SPI_OK) {
        *failure = Fail(FailureKind::kDamaged, archive.path, ResultMessage(result));
        return false;
    }
    return true;
}

int32_t LookUpEntry(const Archive &, const Listing &listing, const std::string &storedName,
                    FileInfo *record) {
    return LookUpListed(listing, storedName, record);
}

#endif

void FreeListing(Listing *listing) {
    if (listing->block != nullptr) {
        LocalUnlock(listing->block);
        LocalFree(listing->block);
    }
    *listing = Listing();
}

int32_t ReadEntry(const Archive &archive, const EntryRecord &record, EntryBytes *entry) {
    *entry = EntryBytes();
    if (record.wrapped)
        return kOffsetPastFormat;
    int32_t result = GetEntry(archive, record, &entry->block);
    if (result != SPI_OK)
        return ArchiveUnchanged(archive) ? result : kArchiveChanged;
    entry->size = (size_t)LocalSize(entry->block);
    entry->bytes = (const char *)LocalLock(entry->block);
    // Checked after the read: bytes read before a change are the listed
    // entry's, and a change during the read shows here.
    if (entry->size != record.filesize || !ArchiveUnchanged(archive)) {
        FreeEntry(entry);
        return kArchiveChanged;
    }
    return SPI_OK;
}

void FreeEntry(EntryBytes *entry) {
    if (entry->block != nullptr) {
        LocalUnlock(entry->block);
        LocalFree(entry->block);
    }
    *entry = EntryBytes();
}
