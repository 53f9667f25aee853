// Extraction and new files on Windows, through the wide-character API so
// that names show as decoded whatever the system's code page. Paths carry
// the \\?\ prefix, so that deep trees pass the 260-character limit. Every
// folder entered below the target is held open without delete sharing, so
// that it cannot be moved or removed while quorvel runs; every file is made
// by the handle of its folder, not by a path, and checked to be where it was
// meant to be (by its final path) before a byte is written and after it is
// renamed into place: extraction never enters a reparse point (a link or
// junction), also one made or swapped meanwhile.
// rand_s, before the runtime's headers.
#define _CRT_RAND_S
#include "core/files.h"

#include "core/names.h"
#include "core/output.h"
#include "core/translate.h"

#include <map>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winternl.h>

// Names tried for a temporary file when other files hold the first ones.
static constexpr int kTemporaryAttempts = 100;
// Folders below the target stay open once entered, so that the entries of
// one folder, wherever they stand in the archive, cost no walk each.
static constexpr size_t kOpenFolders = 256;

// The temporary file being written, for the console's Ctrl-C and close
// handler, which runs on a thread of its own: the guard keeps it out while
// the file is made or renamed, and it marks the file deleted through its
// handle, so that it goes when the process ends.
static SRWLOCK temporaryGuard = SRWLOCK_INIT;
static HANDLE temporaryNoted = INVALID_HANDLE_VALUE;

static void MarkDeleted(HANDLE file) {
    FILE_DISPOSITION_INFO info = {TRUE};
    SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info);
}

static BOOL WINAPI RemoveTemporaryAndStop(DWORD) {
    // Never released: the next handler ends the process.
    AcquireSRWLockExclusive(&temporaryGuard);
    if (temporaryNoted != INVALID_HANDLE_VALUE)
        MarkDeleted(temporaryNoted);
    return FALSE;
}

void RemoveTemporaryOnInterrupt() { SetConsoleCtrlHandler(RemoveTemporaryAndStop, TRUE); }

// Makes a temporary file by `create`, which opens it for writing and
// deleting, and notes it.
template <typename Create> static HANDLE NoteTemporary(Create create) {
    AcquireSRWLockExclusive(&temporaryGuard);
    HANDLE file = create();
    DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE)
        temporaryNoted = file;
    ReleaseSRWLockExclusive(&temporaryGuard);
    SetLastError(error);
    return file;
}

static HANDLE CreateTemporary(const std::wstring &path, DWORD share, DWORD attributes) {
    return NoteTemporary([&] {
        return CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, share, nullptr, CREATE_NEW,
                           attributes, nullptr);
    });
}

// Makes the temporary file `name` in a folder held open, by the folder's
// handle: no path is walked, so no link on one can lead the file elsewhere.
static HANDLE CreateTemporaryIn(HANDLE folder, const std::wstring &name) {
    return NoteTemporary([&] {
        UNICODE_STRING relative;
        relative.Buffer = const_cast<wchar_t *>(name.c_str());
        relative.Length = relative.MaximumLength = (USHORT)(name.size() * sizeof(wchar_t));
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &relative, OBJ_CASE_INSENSITIVE, folder, nullptr);
        IO_STATUS_BLOCK io;
        HANDLE file = INVALID_HANDLE_VALUE;
        NTSTATUS status = NtCreateFile(&file, GENERIC_WRITE | DELETE | SYNCHRONIZE, &attributes,
                                       &io, nullptr, FILE_ATTRIBUTE_NORMAL, 0, FILE_CREATE,
                                       FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT |
                                           FILE_OPEN_REPARSE_POINT,
                                       nullptr, 0);
        if (!NT_SUCCESS(status)) {
            SetLastError(RtlNtStatusToDosError(status));
            file = INVALID_HANDLE_VALUE;
        }
        return file;
    });
}

// Closes the temporary file; with `remove` it goes too, its bytes first
// with `empty`: under Wine a folder that a Linux process moved leaves
// Windows the file's old path only, and the file stays there, empty.
static void CloseTemporary(HANDLE file, bool remove, bool empty) {
    LARGE_INTEGER start = {};
    AcquireSRWLockExclusive(&temporaryGuard);
    if (remove && empty && SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        SetEndOfFile(file);
    if (remove)
        MarkDeleted(file);
    CloseHandle(file);
    if (file == temporaryNoted)
        temporaryNoted = INVALID_HANDLE_VALUE;
    ReleaseSRWLockExclusive(&temporaryGuard);
}

static std::string Join(const std::vector<std::string> &components, size_t count) {
    std::string path;
    for (size_t i = 0; i < count; i++)
        path += (i > 0 ? "/" : "") + components[i];
    return path;
}

// Where an open file or folder is, as Windows gives it (\\?\ and a drive, or
// \\?\UNC), with every link on the way followed; "" if it cannot tell.
// The buffer holds the longest path there is: a smaller one is answered by
// the required size on Windows, but by ERROR_MORE_DATA alone under Wine.
static std::wstring FinalPath(HANDLE file) {
    static constexpr DWORD kLongestPath = 32768;
    std::wstring path(kLongestPath, L'\0');
    DWORD n = GetFinalPathNameByHandleW(file, &path[0], kLongestPath, 0);
    path.resize(n < kLongestPath ? n : 0);
    return path;
}

// Paths compared as Windows compares names, ignoring case.
static bool SamePath(const std::wstring &a, const std::wstring &b) {
    return CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) ==
           CSTR_EQUAL;
}

// Where an open file is below its volume's root ("\a\b"), links followed.
static std::wstring VolumePath(HANDLE file) {
    std::vector<char> buffer(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t));
    FILE_NAME_INFO *info = (FILE_NAME_INFO *)buffer.data();
    if (!GetFileInformationByHandleEx(file, FileNameInfo, info, (DWORD)buffer.size()))
        return L"";
    return std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

// Whether an open file is at `path` (\\?\ and a drive letter): by its final
// path, or, where that cannot be had (Wine past 260 characters), by its
// path below the volume, which links would change as well.
static bool IsAt(HANDLE file, const std::wstring &path) {
    std::wstring final = FinalPath(file);
    if (!final.empty())
        return SamePath(final, path);
    bool drive = path.size() > 6 && path.compare(0, 4, L"\\\\?\\") == 0 && path[5] == L':';
    return drive && SamePath(VolumePath(file), path.substr(6));
}

// A folder held open without delete sharing: it cannot be renamed or
// removed while the handle is open.
struct Folder {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::wstring path; // its final path
    DWORD volume = 0;  // its identity: volume serial number and file index
    uint64_t index = 0;
};

static uint64_t IndexOf(const BY_HANDLE_FILE_INFORMATION &info) {
    return (uint64_t)info.nFileIndexHigh << 32 | info.nFileIndexLow;
}

// Whether a held folder's path still leads to the folder. Windows keeps it
// there; a Linux process under Wine moves it all the same, and a file made
// in it then could not be removed, Wine knowing it by the old path only.
static bool StillThere(const Folder &folder) {
    HANDLE handle =
        CreateFileW(folder.path.c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    bool same = handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) &&
                info.dwVolumeSerialNumber == folder.volume && IndexOf(info) == folder.index;
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return same;
}

static HANDLE OpenFolder(const std::wstring &path, DWORD flags) {
    return CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

struct ExtractTarget {
    Folder root;                                     // the target folder
    std::map<std::vector<std::string>, Folder> open; // every folder below root entered so far
    const Folder *folder = nullptr;                  // the folder of the place last made
    std::wstring leaf;                               // the file's own name there
    std::wstring temporaryPrefix;                    // ".quorvel-PID-RANDOM-"
    unsigned temporaries = 0;
};

// Makes a folder and its parents, as the user gave it.
static bool MakeFolders(const std::wstring &path) {
    if (CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        return true;
    size_t slash = path.find_last_of(L"\\/");
    if (GetLastError() != ERROR_PATH_NOT_FOUND || slash == std::wstring::npos || slash == 0)
        return false;
    return MakeFolders(path.substr(0, slash)) && CreateDirectoryW(path.c_str(), nullptr);
}

// A full path (a drive, or \\\\server) in its \\?\ form.
static std::wstring LongForm(const std::wstring &full) {
    if (full.compare(0, 4, L"\\\\?\\") == 0)
        return full;
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC" + full.substr(1);
    return L"\\\\?\\" + full;
}

ExtractTarget *OpenTarget(const std::string &folder, std::string *why) {
    std::wstring wide = Widen(folder);
    wchar_t full[32768];
    DWORD n = GetFullPathNameW(wide.c_str(), 32768, full, nullptr);
    // The target itself may be reached through links, as the user chose.
    HANDLE handle = n > 0 && MakeFolders(full) ? OpenFolder(full, 0) : INVALID_HANDLE_VALUE;
    BY_HANDLE_FILE_INFORMATION info;
    DWORD error = GetLastError();
    std::wstring path;
    if (handle == INVALID_HANDLE_VALUE)
        *why = SystemMessage(error);
    else if (!GetFileInformationByHandle(handle, &info) ||
             !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        *why = _("not a folder");
    else if ((path = FinalPath(handle)).empty() && !IsAt(handle, path = LongForm(full)))
        *why = SystemMessage(GetLastError()), path.clear();
    if (path.empty()) {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        return nullptr;
    }
    ExtractTarget *target = new ExtractTarget;
    target->root = Folder{handle, path, info.dwVolumeSerialNumber, IndexOf(info)};
    target->folder = &target->root;
    // Unforeseeable, so that no entry can be named like one ahead of time.
    unsigned random = 0;
    rand_s(&random);
    target->temporaryPrefix = L".quorvel-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(random) + L"-";
    return target;
}

static void CloseFolders(ExtractTarget *target) {
    for (const auto &folder : target->open)
        CloseHandle(folder.second.handle);
    target->open.clear();
    target->folder = &target->root;
}

void CloseTarget(ExtractTarget *target) {
    if (target == nullptr)
        return;
    CloseFolders(target);
    CloseHandle(target->root.handle);
    delete target;
}

// Enters (making it if needed) each folder below root in turn, holding each
// open: a folder that is a reparse point, or whose final path is not the
// one asked for (a link swapped in on the way), is refused.
static bool EnterFolder(ExtractTarget *target, const std::vector<std::string> &folder,
                        std::string *why) {
    const Folder *parent = &target->root;
    for (size_t i = 1; i <= folder.size(); i++) {
        std::vector<std::string> prefix(folder.begin(), folder.begin() + i);
        auto known = target->open.find(prefix);
        if (known != target->open.end()) {
            parent = &known->second;
            continue;
        }
        if (target->open.size() >= kOpenFolders) {
            CloseFolders(target);
            return EnterFolder(target, folder, why);
        }
        std::wstring path = parent->path + L"\\" + Widen(folder[i - 1]);
        if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            std::string error = SystemMessage(GetLastError());
            *why = Format(_("cannot create folder %s: %s"), Join(folder, i).c_str(), error.c_str());
            return false;
        }
        HANDLE handle = OpenFolder(path, FILE_FLAG_OPEN_REPARSE_POINT);
        BY_HANDLE_FILE_INFORMATION info;
        if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
            *why = Join(folder, i) + ": " + SystemMessage(GetLastError());
        else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !IsAt(handle, path))
            *why = _("a folder on its path is a link (a reparse point)");
        else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            *why = Format(_("%s is not a folder"), Join(folder, i).c_str());
        if (!why->empty()) {
            if (handle != INVALID_HANDLE_VALUE)
                CloseHandle(handle);
            return false;
        }
        parent = &(target->open[prefix] =
                       Folder{handle, path, info.dwVolumeSerialNumber, IndexOf(info)});
    }
    target->folder = parent;
    return true;
}

bool PlaceFolder(ExtractTarget *target, const std::vector<std::string> &components,
                 std::string *why) {
    why->clear();
    return EnterFolder(target, components, why);
}

bool PlaceFile(ExtractTarget *target, const std::vector<std::string> &components, bool overwrite,
               std::string *why) {
    why->clear();
    std::vector<std::string> folder(components.begin(), components.end() - 1);
    if (!EnterFolder(target, folder, why))
        return false;
    target->leaf = Widen(components.back());
    DWORD attributes = GetFileAttributesW((target->folder->path + L"\\" + target->leaf).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            *why = _("a folder of that name is in the way");
        else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            *why = _("a link (a reparse point) of that name is in the way");
        else if (!overwrite)
            *why = _("exists (use --overwrite to replace it)");
    }
    return why->empty();
}

static bool WriteAll(HANDLE file, const char *bytes, size_t size) {
    while (size > 0) {
        DWORD chunk = size > (1u << 30) ? (1u << 30) : (DWORD)size;
        DWORD written = 0;
        if (!WriteFile(file, bytes, chunk, &written, nullptr) || written == 0)
            return false;
        bytes += written;
        size -= written;
    }
    return true;
}

static FILETIME FileTimeOf(int64_t seconds) {
    uint64_t ticks = (uint64_t)(seconds + 11644473600LL) * 10000000u;
    FILETIME time;
    time.dwLowDateTime = (DWORD)ticks;
    time.dwHighDateTime = (DWORD)(ticks >> 32);
    return time;
}

// Renames an open file, replacing a file of the new name only if asked.
static bool RenameOpenFile(HANDLE file, const std::wstring &to, bool replace) {
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
    FILE_RENAME_INFO *info = (FILE_RENAME_INFO *)buffer.data();
    info->ReplaceIfExists = replace;
    info->FileNameLength = (DWORD)(to.size() * sizeof(wchar_t));
    memcpy(info->FileName, to.data(), info->FileNameLength);
    AcquireSRWLockExclusive(&temporaryGuard);
    BOOL renamed = SetFileInformationByHandle(file, FileRenameInfo, info, (DWORD)buffer.size());
    DWORD error = GetLastError();
    if (renamed && file == temporaryNoted)
        temporaryNoted = INVALID_HANDLE_VALUE;
    ReleaseSRWLockExclusive(&temporaryGuard);
    SetLastError(error);
    return renamed != 0;
}

bool WritePlacedFile(ExtractTarget *target, const char *bytes, size_t size, int64_t modified,
                     bool overwrite, std::string *why) {
    const std::wstring &folder = target->folder->path;
    std::wstring name, temporary, final = folder + L"\\" + target->leaf;
    if (!StillThere(*target->folder)) {
        *why = _("a folder on its path was moved or replaced by a link; the entry was not written");
        return false;
    }
    // A name that an entry took already is passed over.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; file == INVALID_HANDLE_VALUE && attempt < kTemporaryAttempts; attempt++) {
        name = target->temporaryPrefix + std::to_wstring(++target->temporaries);
        temporary = folder + L"\\" + name;
        file = CreateTemporaryIn(target->folder->handle, name);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        *why = SystemMessage(GetLastError());
        return false;
    }
    // The folder is held open, so it stays where it was; a file that is not
    // there all the same had its folder moved by a process that ignores
    // sharing, and goes.
    bool moved = !IsAt(file, temporary);
    bool ok = !moved && WriteAll(file, bytes, size);
    DWORD error = GetLastError();
    FILETIME time = FileTimeOf(modified);
    if (ok && !SetFileTime(file, nullptr, &time, &time))
        error = GetLastError(), ok = false;
    if (ok && !RenameOpenFile(file, final, overwrite))
        error = GetLastError(), ok = false;
    if (ok && !IsAt(file, final))
        moved = true, ok = false;
    if (!ok && !moved && !StillThere(*target->folder))
        moved = true;
    if (moved)
        *why = _("a folder on its path was moved or replaced by a link; the entry was not written");
    else if (!ok)
        *why = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS
                   ? _("exists (use --overwrite to replace it)")
                   : SystemMessage(error);
    // Renamed while a Linux process moved its folder, a file has its entry's
    // name and all its bytes under Wine, but no path Windows knows: it is
    // not emptied.
    CloseTemporary(file, !ok, !ok && (!FinalPath(file).empty() || !VolumePath(file).empty()));
    return ok;
}

struct NewFile {
    std::wstring target, temporary;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

std::string NewFileTemporary(const NewFile *file) { return Narrow(file->temporary); }

std::string NewFileTemporaryFor(const std::string &target) {
    return target + ".quorvel-tmp" + std::to_string(GetCurrentProcessId());
}

// A target reached through links is the file they lead to: the new file
// replaces that one, and the links keep leading to it.
static std::wstring ThroughLinks(const std::wstring &target) {
    HANDLE file = CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return target;
    std::wstring resolved = FinalPath(file);
    CloseHandle(file);
    return resolved.empty() ? target : resolved;
}

// The marks a replaced archive keeps.
static constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                         FILE_ATTRIBUTE_ARCHIVE |
                                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

NewFile *CreateNewFile(const std::string &target, std::string *why, bool) {
    // Windows opens such a name as the device in any folder: it is never ours to replace.
    if (IsDeviceName(target.substr(target.find_last_of("/\\") + 1))) {
        *why = _("the name of a device (CON, NUL, COM1, ...), not a file");
        return nullptr;
    }
    std::wstring resolved = ThroughLinks(Widen(target));
    DWORD attributes = GetFileAttributesW(resolved.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        *why = _("the file is marked read-only; the archive is left as it is");
        return nullptr;
    }
    DWORD kept = attributes != INVALID_FILE_ATTRIBUTES ? attributes & kKeptAttributes : 0;
    NewFile *file = new NewFile;
    file->target = resolved;
    // A file of that name is left from a killed process that had our id: it
    // is never ours to remove, so another name is taken. Delete sharing lets
    // it be renamed while open.
    for (int attempt = 0; file->handle == INVALID_HANDLE_VALUE && attempt < kTemporaryAttempts;
         attempt++) {
        file->temporary = resolved + L".quorvel-tmp" + std::to_wstring(GetCurrentProcessId());
        if (attempt > 0)
            file->temporary += L"." + std::to_wstring(attempt);
        file->handle = CreateTemporary(file->temporary, FILE_SHARE_DELETE,
                                       kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
        if (file->handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    if (file->handle == INVALID_HANDLE_VALUE) {
        *why = SystemMessage(GetLastError());
        delete file;
        return nullptr;
    }
    return file;
}

bool WriteNewFile(NewFile *file, const void *bytes, size_t size, std::string *why) {
    if (WriteAll(file->handle, (const char *)bytes, size))
        return true;
    *why = SystemMessage(GetLastError());
    return false;
}

static HANDLE HoldIdentity(const BY_HANDLE_FILE_INFORMATION &info, bool *busy);

// A rename refused while another process has the target open is tried
// this often, this many milliseconds apart.
static constexpr int kRenameAttempts = 40;
static constexpr DWORD kRenamePause = 25;

bool CommitNewFile(NewFile *file, std::string *why) {
    bool ok = FlushFileBuffers(file->handle) != 0;
    DWORD error = GetLastError();
    // The new file is held from before it takes the target's place until it
    // is closed: another quorvel that finds it meanwhile sees it held,
    // instead of failing to read a file still open here without sharing.
    BY_HANDLE_FILE_INFORMATION info;
    bool busy = false;
    HANDLE hold =
        ok && GetFileInformationByHandle(file->handle, &info) ? HoldIdentity(info, &busy) : nullptr;
    // Write-through: the rename is on the disk when the call returns. The
    // guard keeps the Ctrl-C handler from removing the file meanwhile.
    // A file that another process has open, even only to learn its
    // identity, cannot be replaced under Wine: such an open is brief, and
    // the rename is tried again for a while before it fails.
    AcquireSRWLockExclusive(&temporaryGuard);
    for (int attempt = 0; ok && attempt < kRenameAttempts; attempt++) {
        if (MoveFileExW(file->temporary.c_str(), file->target.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            break;
        error = GetLastError();
        bool brief = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
        ok = brief && attempt + 1 < kRenameAttempts;
        if (ok)
            Sleep(kRenamePause);
    }
    if (ok && file->handle == temporaryNoted)
        temporaryNoted = INVALID_HANDLE_VALUE;
    ReleaseSRWLockExclusive(&temporaryGuard);
    if (!ok) {
        *why = SystemMessage(error);
        AbandonNewFile(file);
    } else {
        CloseHandle(file->handle);
        delete file;
    }
    if (hold != nullptr) {
        ReleaseMutex(hold);
        CloseHandle(hold);
    }
    return ok;
}

bool IdentityOf(const std::string &path, FileIdentity *identity) {
    // No access asked: the identity of a file open elsewhere without sharing too.
    HANDLE file =
        CreateFileW(Widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION information;
    bool ok = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &information);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (ok) {
        identity->volume = information.dwVolumeSerialNumber;
        identity->index = (uint64_t)information.nFileIndexHigh << 32 | information.nFileIndexLow;
        identity->size = (uint64_t)information.nFileSizeHigh << 32 | information.nFileSizeLow;
    }
    return ok;
}

void AbandonNewFile(NewFile *file) {
    if (file == nullptr)
        return;
    if (file->handle != INVALID_HANDLE_VALUE)
        CloseTemporary(file->handle, true, true);
    delete file;
}

// Held as Linux's flock is, on the file whatever name reaches it: a mutex
// named by the file's volume serial number and index, which every quorvel
// on the machine sees. The archive itself is not held open, so that the new
// one can be renamed over it. A handle fits an int: Windows keeps them
// within 32 bits.
static const wchar_t kHoldName[] = L"Global\\quorvel-%08lx-%08lx%08lx"; // untranslated: a name

// Takes the mutex of a file's identity; nullptr if it cannot, with `busy`
// if another holds it.
static HANDLE HoldIdentity(const BY_HANDLE_FILE_INFORMATION &info, bool *busy) {
    wchar_t name[64];
    swprintf(name, 64, kHoldName, (unsigned long)info.dwVolumeSerialNumber,
             (unsigned long)info.nFileIndexHigh, (unsigned long)info.nFileIndexLow);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    // Another user's quorvel made it: it is held.
    DWORD waited = mutex != nullptr                        ? WaitForSingleObject(mutex, 0)
                   : GetLastError() == ERROR_ACCESS_DENIED ? WAIT_TIMEOUT
                                                           : WAIT_FAILED;
    *busy = waited == WAIT_TIMEOUT;
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        return mutex;
    if (mutex != nullptr)
        CloseHandle(mutex);
    return nullptr;
}

bool HoldArchive(const std::string &path, int *held) {
    *held = -1;
    HANDLE file = CreateFileW(Widen(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    bool known = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    bool busy = false;
    HANDLE mutex = known ? HoldIdentity(info, &busy) : nullptr;
    if (mutex != nullptr)
        *held = (int)(intptr_t)mutex;
    return !busy;
}

void ReleaseArchive(int held) {
    if (held == -1)
        return;
    HANDLE mutex = (HANDLE)(intptr_t)held;
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

std::string UnsavedEditsOf(const std::string &) { return ""; }
