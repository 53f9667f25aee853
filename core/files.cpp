// The file system under the rules: the write target's, an entry's place
// below an extraction target, and the input files of pack and update,
// found by walking the folders given.
#include "core/files.h"

#include "core/names.h"
#include "core/output.h"
#include "core/translate.h"

#include <algorithm>
#include <errno.h>
#include <filesystem>

// The commands open an archive only by a name the plug-in takes (IsSupported
// wants ".dat", in any case), so no other name is written: we never write
// what we cannot read.
static bool ArchiveName(const std::string &path) {
    return path.size() >= 4 && std::equal(path.end() - 4, path.end(), ".dat", [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
           });
}

bool CheckWriteTarget(const std::string &path, Failure *failure) {
#ifdef _WIN32
    // Windows opens such a name as the device in any folder: say so first,
    // whatever the name ends in.
    if (IsDeviceName(path.substr(path.find_last_of("/\\") + 1))) {
        *failure = Fail(FailureKind::kBadName, path,
                        N_("the name of a device (CON, NUL, COM1, ...), not a file"));
        return false;
    }
#endif
    if (!ArchiveName(path)) {
        *failure =
            Fail(FailureKind::kBadName, path,
                 N_("an archive's name must end in .dat, or no quorvel command or host opens it"));
        return false;
    }
    std::string edits = UnsavedEditsOf(path);
    if (!edits.empty()) {
        *failure = Fail(FailureKind::kRefused, path,
                        N_("a writable mount's unsaved edits are in %s, and would no longer apply "
                           "after this update; save them (mount --write, then umount) or drop "
                           "them (mount --write --discard-edits) first; the archive is left as "
                           "it is"),
                        {edits});
        return false;
    }
    return true;
}

bool HoldTarget(const std::string &path, int *held, Failure *failure) {
    if (HoldArchive(path, held))
        return true;
#ifdef _WIN32
    // Windows has no mounts: only another quorvel's update or pack holds it.
    *failure = Fail(FailureKind::kRefused, path,
                    N_("another quorvel is writing this archive; the archive is left as it is"));
#else
    *failure = Fail(FailureKind::kRefused, path,
                    N_("the archive is mounted for writing or being updated; the archive is left "
                       "as it is"));
#endif
    return false;
}

bool PlaceEntry(ExtractTarget *target, const std::string &name, uint64_t size, bool overwrite,
                bool *folder, Failure *failure) {
#ifdef _WIN32
    constexpr bool kWindowsNames = true;
#else
    constexpr bool kWindowsNames = false;
#endif
    std::vector<std::string> components;
    std::string why;
    *folder = FolderEntry(name, size);
    if (!EntryPath(name, kWindowsNames, &components, &why)) {
        // The archive holds a name that would leave the target or that the
        // system would not take as it is.
        *failure = Fail(FailureKind::kDamaged, EscapeControls(name), N_("refused: %s"), {why});
        return false;
    }
    errno = 0;
    bool placed = *folder ? PlaceFolder(target, components, &why)
                          : PlaceFile(target, components, overwrite, &why);
    if (!placed) {
        *failure =
            SystemFailure(EscapeControls(name), errno != 0 ? errno : EEXIST, kSentence, {why});
        return false;
    }
    return true;
}

// A list line that ends in a separator names a folder entry.
static const char *const kNotAFolder =
    N_("a list line that ends in a separator names a folder, and this is not one");

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

// Paths are UTF-8 text inside quorvel; the file system's own form on Windows
// is wide, on Linux the bytes themselves.
static fs::path ToPath(const std::string &text) {
#ifdef _WIN32
    return fs::path(Widen(text));
#else
    return fs::path(text);
#endif
}

static std::string FromPath(const fs::path &path, bool generic) {
#ifdef _WIN32
    return Narrow(generic ? path.generic_wstring() : path.wstring());
#else
    return generic ? path.generic_string() : path.string();
#endif
}

// The name an argument gives, relative to the folder it is read from:
// normalized, '/' between folders, without a closing '/'. False, reported,
// when it leaves that folder (absolute, or through ".."), which is refused
// before a folder of it is walked (a walk of / would read the whole
// system), or when a folder entry is wanted of that folder itself.
static bool ArgumentName(const std::string &argument, bool folderItself, std::string *name,
                         const Report &report) {
    fs::path normal = ToPath(argument).lexically_normal();
    *name = FromPath(normal, true);
    while (!name->empty() && name->back() == '/')
        name->pop_back();
    const char *why = nullptr;
    if (normal.has_root_name() || normal.has_root_directory() || *name == ".." ||
        name->rfind("../", 0) == 0)
        why = N_("give it as a path below the current folder");
    else if (folderItself && (name->empty() || *name == "."))
        why = N_("names no folder below the current one, so it cannot be stored as a folder entry");
    if (why != nullptr)
        report(Fail(FailureKind::kRefused, EscapeControls(argument), why));
    return why == nullptr;
}

FILE *OpenFile(const std::string &path, const char *mode) {
#ifdef _WIN32
    return _wfopen(Widen(path).c_str(), Widen(mode).c_str());
#else
    return fopen(path.c_str(), mode);
#endif
}

FILE *OpenInputFile(const std::string &path, std::string *why) {
#ifdef _WIN32
    FILE *file = OpenFile(path, "rb");
    if (file == nullptr)
        *why = SystemText(errno);
    return file;
#else
    // Without O_NONBLOCK the open of a FIFO put in the file's place would
    // wait for a writer for ever.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    bool regular = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    FILE *file = regular && fcntl(fd, F_SETFL, 0) == 0 ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        *why = fd >= 0 && !regular ? _("no longer a regular file") : SystemText(errno);
        if (fd >= 0)
            close(fd);
    }
    return file;
#endif
}

bool SeekFile(FILE *file, uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, (int64_t)offset, SEEK_SET) == 0;
#else
    return fseeko(file, (off_t)offset, SEEK_SET) == 0;
#endif
}

#ifdef _WIN32
static constexpr char kPathSeparator = '\\';
#else
static constexpr char kPathSeparator = '/';
#endif
// New text goes into a block that has room for it, or a fresh one of this size.
static constexpr size_t kInputBlock = 1 << 20;

// Whether `path` ends in `name`, its separators the system's own.
static bool EndsInName(const std::string &path, const std::string &name) {
    if (path.size() < name.size())
        return false;
    const char *end = path.data() + path.size() - name.size();
    for (size_t i = 0; i < name.size(); i++)
        if (end[i] != (name[i] == '/' ? kPathSeparator : name[i]))
            return false;
    return true;
}

void AddInput(InputFiles *files, const std::string &name, const std::string &path, uint64_t size) {
    InputFiles::Input input;
    input.nameLength = (uint32_t)name.size();
    input.size = size;
    bool prefixed = !path.empty() && EndsInName(path, name);
    size_t need = name.size() + 1 + (prefixed ? 0 : path.size() + 1);
    if (prefixed) {
        // The inputs of one folder come together, so the last prefix is theirs.
        std::string prefix = path.substr(0, path.size() - name.size());
        if (files->prefixes.empty() || files->prefixes.back() != prefix)
            files->prefixes.push_back(prefix);
        input.prefix = (uint32_t)files->prefixes.size() - 1;
    } else {
        input.prefix = InputFiles::kWholePath;
    }
    if (files->blocks.empty() ||
        files->blocks.back().capacity() - files->blocks.back().size() < need) {
        files->blocks.emplace_back();
        files->blocks.back().reserve(std::max(need, kInputBlock));
    }
    std::string &block = files->blocks.back();
    input.block = (uint32_t)files->blocks.size() - 1;
    input.offset = (uint32_t)block.size();
    block.append(name.c_str(), name.size() + 1);
    if (!prefixed)
        block.append(path.c_str(), path.size() + 1);
    files->inputs.push_back(input);
}

std::string_view InputName(const InputFiles &files, size_t i) {
    return InputName(files, files.inputs[i]);
}

std::string InputPath(const InputFiles &files, size_t i) {
    const InputFiles::Input &input = files.inputs[i];
    const char *name = files.blocks[input.block].data() + input.offset;
    if (input.prefix == InputFiles::kWholePath)
        return name + input.nameLength + 1;
    std::string path = files.prefixes[input.prefix];
    path.append(name, input.nameLength);
    std::replace(path.end() - input.nameLength, path.end(), '/', kPathSeparator);
    return path;
}

#ifdef _WIN32
// The full path with \\?\ before it, so that paths past 260 characters work.
static std::wstring LongPath(const std::string &text) {
    std::wstring wide = Widen(text);
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(n, L'\0');
    full.resize(n > 0 ? GetFullPathNameW(wide.c_str(), n, &full[0], nullptr) : 0);
    // A \\?\ path takes no empty component: a trailing backslash goes.
    while (!full.empty() && full.back() == L'\\')
        full.pop_back();
    if (full.compare(0, 4, L"\\\\?\\") == 0)
        return full;
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC" + full.substr(1);
    return L"\\\\?\\" + full;
}

// Adds the file at `path` (a long path) as `shown`, with its size, which a
// symbolic link to a file takes from the file.
static bool AddFile(const std::wstring &path, const fs::path &shown, bool link, InputFiles *inputs,
                    const Report &report) {
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER size;
    bool ok = file != INVALID_HANDLE_VALUE && GetFileSizeEx(file, &size);
    DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    std::string name = EscapeControls(FromPath(shown, false));
    if (ok)
        AddInput(inputs, FromPath(shown.lexically_normal(), true), Narrow(path),
                 (uint64_t)size.QuadPart);
    else if (link)
        report(
            Fail(FailureKind::kNone, name, N_("a symbolic link that leads nowhere is left out")));
    else
        report(SystemFailure(name, EIO, kSentence, {SystemMessage(error)}));
    return ok || link;
}

// Every file below the folder at `path` (a long path), named below `shown`.
// Links to folders (reparse points) are not entered.
static bool Walk(const std::wstring &path, const fs::path &shown, InputFiles *inputs,
                 const Report &report) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    bool ok = search != INVALID_HANDLE_VALUE, more = ok;
    while (ok && more) {
        std::wstring leaf = found.cFileName;
        bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (folder && link)
            report(Fail(FailureKind::kNone, EscapeControls(FromPath(shown / leaf, false)),
                        N_("a symbolic link to a folder is not followed, so it is left out")));
        else if (folder && leaf != L"." && leaf != L"..")
            ok = Walk(path + L"\\" + leaf, shown / leaf, inputs, report);
        else if (!folder)
            ok = AddFile(path + L"\\" + leaf, shown / leaf, link, inputs, report);
        more = ok && FindNextFileW(search, &found);
    }
    DWORD error = GetLastError();
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    if (search == INVALID_HANDLE_VALUE || (ok && error != ERROR_NO_MORE_FILES)) {
        report(SystemFailure(FromPath(shown, false), EIO, kSentence, {SystemMessage(error)}));
        return false;
    }
    return ok;
}

// Walked through \\?\ paths with the wide API: the C runtime's folder
// functions stop at 260 characters.
bool CollectInputs(const std::string &argument, InputFiles *inputs, const std::string &base,
                   bool folderItself, const Report &report) {
    std::string name;
    if (!ArgumentName(argument, folderItself, &name, report))
        return false;
    std::wstring start = LongPath(base.empty() ? argument : base + "\\" + argument);
    DWORD attributes = GetFileAttributesW(start.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        report(SystemFailure(EscapeControls(argument), ENOENT, N_("no such file or folder")));
        return false;
    }
    if (folderItself && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        report(Fail(FailureKind::kRefused, EscapeControls(argument), kNotAFolder));
        return false;
    }
    if (folderItself) {
        AddInput(inputs, name + "/", "", 0);
        return true;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return Walk(start, ToPath(argument), inputs, report);
    return AddFile(start, ToPath(argument), false, inputs, report);
}
#else
// Why a path given to pack is neither a file nor a folder.
static std::string WhatItIs(const fs::path &path) {
    std::error_code ec;
    fs::file_type type = fs::status(path, ec).type();
    switch (type) {
    case fs::file_type::fifo:
        return _("a FIFO (named pipe) is not a file or a folder, so it cannot be stored");
    case fs::file_type::block:
    case fs::file_type::character:
        return _("a device is not a file or a folder, so it cannot be stored");
    case fs::file_type::socket:
        return _("a socket is not a file or a folder, so it cannot be stored");
    case fs::file_type::not_found:
        return _("no such file or folder");
    default:
        return ec ? ec.message() : _("not a regular file or a folder");
    }
}

bool CollectInputs(const std::string &argument, InputFiles *inputs, const std::string &base,
                   bool folderItself, const Report &report) {
    std::error_code ec;
    std::string name;
    if (!ArgumentName(argument, folderItself, &name, report))
        return false;
    // A file is read where its name says: "lnk/../a" is stored as a, so it
    // is read as a, not through the link. The folder of -C is the system's
    // to resolve, as no name holds it.
    fs::path folder = ToPath(base).lexically_normal();
    fs::path start = base.empty() ? ToPath(name) : ToPath(base) / ToPath(name);
    if (folderItself && !fs::is_directory(start, ec)) {
        report(Fail(FailureKind::kRefused, EscapeControls(argument), kNotAFolder));
        return false;
    }
    if (folderItself) {
        AddInput(inputs, name + "/", "", 0);
        return true;
    }
    auto add = [&](const fs::path &file) {
        uint64_t size = (uint64_t)fs::file_size(file, ec);
        if (ec) {
            report(SystemFailure(FromPath(file, false), ec.value()));
            return false;
        }
        fs::path name = file.lexically_normal();
        if (!base.empty())
            name = name.lexically_relative(folder);
        AddInput(inputs, FromPath(name, true), FromPath(file, false), size);
        return true;
    };
    if (fs::is_regular_file(start, ec))
        return add(start);
    if (!fs::is_directory(start, ec)) {
        report(Fail(FailureKind::kRefused, EscapeControls(argument), kSentence, {WhatItIs(start)}));
        return false;
    }
    for (fs::recursive_directory_iterator it(start, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec)) {
            if (!add(it->path()))
                return false;
        } else if (!it->is_directory(ec) || it->is_symlink(ec)) {
            // The format stores files only: say what is left out.
            std::string name = EscapeControls(FromPath(it->path(), false));
            const char *why =
                it->is_directory(ec)
                    ? N_("a symbolic link to a folder is not followed, so it is left out")
                : it->is_symlink(ec) && !fs::exists(it->path(), ec)
                    ? N_("a symbolic link that leads nowhere is left out")
                    : N_("not a regular file or a folder, so it is left out");
            report(Fail(FailureKind::kNone, name, why));
        }
        ec.clear();
    }
    if (ec)
        report(SystemFailure(EscapeControls(argument), ec.value()));
    return !ec;
}
#endif
