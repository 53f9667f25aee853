// Extraction and new files on Windows, through the wide-character API so
// that names show as decoded whatever the system's code page. Paths carry
// the \\?\ prefix, so that deep trees pass the 260-character limit; a folder
// that is a reparse point (a link or junction) is never entered.
#include "tools/quorvel/files.h"

#include "tools/quorvel/names.h"
#include "tools/quorvel/output.h"
#include "tools/quorvel/translate.h"

#include <windows.h>

struct ExtractTarget {
    std::wstring root;               // \\?\ and the target folder's full path
    std::vector<std::string> folder; // the folder of the place last made, below root
    std::wstring folderPath;         // and its full path
    std::wstring leaf;
    unsigned temporaries = 0;
};

static std::string Join(const std::vector<std::string> &components, size_t count) {
    std::string path;
    for (size_t i = 0; i < count; i++)
        path += (i > 0 ? "/" : "") + components[i];
    return path;
}

// Makes a folder and its parents, as the user gave it.
static bool MakeFolders(const std::wstring &path) {
    if (CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        return true;
    size_t slash = path.find_last_of(L"\\/");
    if (GetLastError() != ERROR_PATH_NOT_FOUND || slash == std::wstring::npos || slash == 0)
        return false;
    return MakeFolders(path.substr(0, slash)) && CreateDirectoryW(path.c_str(), nullptr);
}

ExtractTarget *OpenTarget(const std::string &folder, std::string *why) {
    std::wstring wide = Widen(folder);
    wchar_t full[32768];
    DWORD n = GetFullPathNameW(wide.c_str(), 32768, full, nullptr);
    DWORD attributes =
        n > 0 && MakeFolders(full) ? GetFileAttributesW(full) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *why = attributes == INVALID_FILE_ATTRIBUTES ? SystemMessage(GetLastError())
                                                     : _("not a folder");
        return nullptr;
    }
    ExtractTarget *target = new ExtractTarget;
    target->root = std::wstring(full);
    if (target->root.back() == L'\\')
        target->root.pop_back();
    if (target->root.compare(0, 2, L"\\\\") != 0)
        target->root = L"\\\\?\\" + target->root;
    target->folderPath = target->root;
    return target;
}

void CloseTarget(ExtractTarget *target) { delete target; }

static bool EnterFolder(ExtractTarget *target, const std::vector<std::string> &folder,
                        std::string *why) {
    if (folder == target->folder)
        return true;
    std::wstring path = target->root;
    for (size_t i = 0; i < folder.size(); i++) {
        path += L"\\" + Widen(folder[i]);
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (!CreateDirectoryW(path.c_str(), nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS) {
                std::string error = SystemMessage(GetLastError());
                *why = Format(_("cannot create folder %s: %s"), Join(folder, i + 1).c_str(),
                              error.c_str());
                return false;
            }
            attributes = GetFileAttributesW(path.c_str());
        }
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            *why = _("a folder on its path is a link (a reparse point)");
            return false;
        }
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            *why = Format(_("%s is not a folder"), Join(folder, i + 1).c_str());
            return false;
        }
    }
    target->folder = folder;
    target->folderPath = path;
    return true;
}

bool PlaceFile(ExtractTarget *target, const std::vector<std::string> &components, bool overwrite,
               std::string *why) {
    why->clear();
    std::vector<std::string> folder(components.begin(), components.end() - 1);
    if (!EnterFolder(target, folder, why))
        return false;
    target->leaf = Widen(components.back());
    DWORD attributes = GetFileAttributesW((target->folderPath + L"\\" + target->leaf).c_str());
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

bool WritePlacedFile(ExtractTarget *target, const char *bytes, size_t size, int64_t modified,
                     bool overwrite, std::string *why) {
    std::wstring temporary = target->folderPath + L"\\.quorvel-" +
                             std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(++target->temporaries);
    std::wstring final = target->folderPath + L"\\" + target->leaf;
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *why = SystemMessage(GetLastError());
        return false;
    }
    bool ok = WriteAll(file, bytes, size);
    DWORD error = GetLastError();
    FILETIME time = FileTimeOf(modified);
    if (ok)
        SetFileTime(file, nullptr, &time, &time);
    CloseHandle(file);
    if (ok &&
        !MoveFileExW(temporary.c_str(), final.c_str(), overwrite ? MOVEFILE_REPLACE_EXISTING : 0)) {
        error = GetLastError();
        ok = false;
    }
    if (!ok) {
        *why = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS
                   ? _("exists (use --overwrite to replace it)")
                   : SystemMessage(error);
        DeleteFileW(temporary.c_str());
    }
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

NewFile *CreateNewFile(const std::string &target, std::string *why) {
    // Windows opens such a name as the device in any folder: it is never ours to replace.
    if (IsDeviceName(target.substr(target.find_last_of("/\\") + 1))) {
        *why = _("the name of a device (CON, NUL, COM1, ...), not a file");
        return nullptr;
    }
    NewFile *file = new NewFile;
    file->target = Widen(target);
    // A file of that name is left from a killed process that had our id: it
    // is never ours to remove, so another name is taken.
    for (int attempt = 0; file->handle == INVALID_HANDLE_VALUE && attempt < 100; attempt++) {
        std::string temporary = NewFileTemporaryFor(target);
        if (attempt > 0)
            temporary += "." + std::to_string(attempt);
        file->temporary = Widen(temporary);
        file->handle = CreateFileW(file->temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
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

bool CommitNewFile(NewFile *file, std::string *why) {
    bool ok = FlushFileBuffers(file->handle) != 0;
    DWORD error = GetLastError();
    CloseHandle(file->handle);
    file->handle = INVALID_HANDLE_VALUE;
    // Write-through: the rename is on the disk when the call returns.
    if (ok && !MoveFileExW(file->temporary.c_str(), file->target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
        ok = false;
    }
    if (!ok) {
        *why = SystemMessage(error);
        AbandonNewFile(file);
        return false;
    }
    delete file;
    return true;
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

// Windows has no writable mount to hold the archive against.
bool HoldArchive(const std::string &, int *held) {
    *held = -1;
    return true;
}

void ReleaseArchive(int) {}

std::string UnsavedEditsOf(const std::string &) { return ""; }

// A console's Ctrl-C handler runs on a thread of its own while the file is
// still open and being written; the temporary file of a stopped command is
// left beside its target, where it is plainly named.
void RemoveTemporaryOnInterrupt() {}

void AbandonNewFile(NewFile *file) {
    if (file == nullptr)
        return;
    if (file->handle != INVALID_HANDLE_VALUE)
        CloseHandle(file->handle);
    DeleteFileW(file->temporary.c_str());
    delete file;
}
