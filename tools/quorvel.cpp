// quorvel: looks inside Quorvel archives, extracts them and packs new ones.
// It is a host of the plug-in: every read of an archive goes through the
// plug-in's five entry points (on Windows, the axquorvel.spi module loaded at
// run time; on Linux, the same entry points linked in).
#include "archive/archive.h"
#include "platform/platform.h"
#include "plugin/spi.h"
#include "plugin/version.h"

#include <algorithm>
#include <errno.h>
#include <filesystem>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <time.h>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

// Exit statuses, as the README lists them.
static constexpr int kExitOk = 0;
static constexpr int kExitPartial = 1; // some files were not archives, or some entries failed
static constexpr int kExitUsage = 2;   // the command line was wrong
static constexpr int kExitArchive = 3; // the archive (or an input or output file) could not be used
static constexpr int kExitPlugin = 4;  // the plug-in could not be loaded

static constexpr uint64_t kLargestOffset = 4294967295u;

static const char *pluginPath;

// The five entry points, wherever they come from.
static decltype(&GetPluginInfo) getPluginInfo;
static decltype(&IsSupported) isSupported;
static decltype(&GetArchiveInfo) getArchiveInfo;
static decltype(&GetFileInfo) getFileInfo;
static decltype(&GetFile) getFile;

static void Error(const char *subject, const char *format, ...) {
    va_list args;
    va_start(args, format);
    fprintf(stderr, "quorvel: %s: ", subject);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

static const char *ResultText(int32_t result) {
    switch (result) {
    case SPI_UNSUPPORTED_MODE:
        return "the plug-in does not support this request";
    case SPI_NO_SUCH_ENTRY:
        return "no entry of that name";
    case SPI_NO_MEMORY:
        return "not enough memory, or the archive's directory could not be loaded";
    case SPI_FILE_ERROR:
        return "the archive could not be read (damaged or truncated?)";
    default:
        return "the plug-in reported an unknown error";
    }
}

static int LoadPlugin(void) {
#ifdef _WIN32
    std::string path;
    if (pluginPath != nullptr) {
        path = pluginPath;
    } else {
        char self[MAX_PATH];
        DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
        path = std::string(self, n);
        path = path.substr(0, path.find_last_of("\\/") + 1) + "axquorvel.spi";
    }
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        Error(path.c_str(), "cannot load the plug-in (missing, or not a 32-bit Windows DLL)");
        return kExitPlugin;
    }
    const char *names[] = {"GetPluginInfo", "IsSupported", "GetArchiveInfo", "GetFileInfo",
                           "GetFile"};
    FARPROC found[5];
    for (int i = 0; i < 5; i++) {
        found[i] = GetProcAddress(module, names[i]);
        if (found[i] == nullptr) {
            Error(path.c_str(), "the plug-in has no %s export", names[i]);
            return kExitPlugin;
        }
    }
    getPluginInfo = (decltype(getPluginInfo))(void *)found[0];
    isSupported = (decltype(isSupported))(void *)found[1];
    getArchiveInfo = (decltype(getArchiveInfo))(void *)found[2];
    getFileInfo = (decltype(getFileInfo))(void *)found[3];
    getFile = (decltype(getFile))(void *)found[4];
#else
    getPluginInfo = GetPluginInfo;
    isSupported = IsSupported;
    getArchiveInfo = GetArchiveInfo;
    getFileInfo = GetFileInfo;
    getFile = GetFile;
#endif
    return kExitOk;
}

// Checks that `path` can be opened and is a Quorvel archive, with a message
// that says which of the two it is not.
static int CheckArchive(const char *path, bool quiet = false) {
    FILE *probe = fopen(path, "rb");
    if (probe == nullptr) {
        if (!quiet)
            Error(path, "%s", strerror(errno));
        return kExitArchive;
    }
    fclose(probe);
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (!quiet)
            Error(path, "cannot open the file");
        return kExitArchive;
    }
    int32_t supported = isSupported(path, (uintptr_t)file);
    CloseHandle(file);
    if (!supported) {
        if (!quiet)
            Error(path, "not a Quorvel archive");
        return kExitArchive;
    }
    return kExitOk;
}

// The archive's records, copied out of the block the plug-in hands over.
static int ListRecords(const char *path, std::vector<FileInfo> *records) {
    int status = CheckArchive(path);
    if (status != kExitOk)
        return status;
    SpiBlock block = nullptr;
    int32_t result = getArchiveInfo(path, 0, SPI_INPUT_FILE, &block);
    if (result != SPI_OK) {
        Error(path, "%s", ResultText(result));
        return kExitArchive;
    }
    const FileInfo *all = (const FileInfo *)LocalLock(block);
    for (size_t i = 0; all != nullptr && all[i].method[0] != '\0'; i++)
        records->push_back(all[i]);
    LocalUnlock(block);
    LocalFree(block);
    return kExitOk;
}

// Progress on a terminal: one line, rewritten in place.
struct Progress {
    bool shown;
    size_t total, done;
    uint64_t bytes;
    time_t started;
};
static Progress progress;

static void ProgressStart(size_t total) {
    progress = {isatty(fileno(stderr)) != 0, total, 0, 0, time(nullptr)};
}

static void ProgressShow(void) {
    if (!progress.shown)
        return;
    double seconds = difftime(time(nullptr), progress.started);
    double rate = seconds > 0 ? progress.bytes / seconds / 1048576.0 : 0.0;
    fprintf(stderr, "\r%zu/%zu entries, %.1f MiB, %.1f MiB/s ", progress.done, progress.total,
            progress.bytes / 1048576.0, rate);
    fflush(stderr);
}

static void ProgressEnd(void) {
    if (progress.shown)
        fputc('\n', stderr);
}

static int32_t SPI_API OnExtractStep(int32_t step, int32_t total, int32_t) {
    if (step == total)
        ProgressShow();
    return 0;
}

// Reads one entry's bytes through the plug-in.
static int32_t ReadEntry(const char *archive, const FileInfo &record, std::string *bytes) {
    SpiBlock block = nullptr;
    int32_t result = getFile(archive, (int32_t)record.position, &block,
                             SPI_INPUT_FILE | SPI_OUTPUT_MEMORY, OnExtractStep, 0);
    if (result != SPI_OK)
        return result;
    bytes->assign((size_t)LocalSize(block), '\0');
    if (!bytes->empty())
        memcpy(&(*bytes)[0], LocalLock(block), bytes->size());
    LocalUnlock(block);
    LocalFree(block);
    return SPI_OK;
}

static int Usage(const char *text) {
    fputs(text, stderr);
    return kExitUsage;
}

static const char kHelp[] =
    "usage: quorvel [--plugin PATH] COMMAND ...\n"
    "  check FILE...                  say whether each file is a Quorvel archive\n"
    "  list ARCHIVE [-l]              list the entries (-l: sizes, times, positions)\n"
    "  extract ARCHIVE [NAME...] [-C DIR] [-i] [--overwrite]\n"
    "                                 extract all entries, or the named ones\n"
    "  cat ARCHIVE NAME [-i]          write one entry to standard output\n"
    "  pack -o ARCHIVE FILE-OR-DIR... write a new archive\n"
    "  --version, --help\n"
    "Each command also takes --help.\n";

static int Check(const std::vector<const char *> &files) {
    if (files.empty())
        return Usage("usage: quorvel check FILE...\n");
    int status = kExitOk;
    for (const char *file : files) {
        int checked = CheckArchive(file, true);
        if (checked == kExitOk) {
            printf("%s: Quorvel archive\n", file);
        } else {
            FILE *f = fopen(file, "rb");
            if (f == nullptr)
                Error(file, "%s", strerror(errno));
            else
                printf("%s: not a Quorvel archive\n", file);
            if (f != nullptr)
                fclose(f);
            status = std::max(status, f == nullptr ? kExitArchive : kExitPartial);
        }
    }
    return status;
}

static int List(const char *archive, bool details) {
    std::vector<FileInfo> records;
    int status = ListRecords(archive, &records);
    if (status != kExitOk)
        return status;
    if (!details) {
        for (const FileInfo &r : records)
            printf("%s\n", r.filename);
        return kExitOk;
    }
    uint64_t total = 0;
    printf("%12s  %-19s  %10s  %s\n", "Size", "Date       Time", "Position", "Name");
    printf("%12s  %-19s  %10s  %s\n", "------------", "-------------------", "----------", "----");
    for (const FileInfo &r : records) {
        time_t stamp = r.timestamp;
        char when[32] = "-";
        struct tm *local = localtime(&stamp);
        if (local != nullptr)
            strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", local);
        printf("%12u  %-19s  %10u  %s\n", r.filesize, when, r.position, r.filename);
        total += r.filesize;
    }
    printf("%12s  %-19s  %10s  %s\n", "------------", "", "", "----");
    printf("%12llu  %-19s  %10s  %zu %s\n", (unsigned long long)total, "", "", records.size(),
           records.size() == 1 ? "entry" : "entries");
    return kExitOk;
}

// An entry name as a relative path under the target folder, or "" if it
// would leave it: absolute, a drive letter, or a ".." component.
static std::string SafeRelativePath(const char *name) {
    std::string path = name;
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.empty() || path[0] == '/' || (path.size() >= 2 && path[1] == ':'))
        return "";
    std::string cleaned;
    size_t from = 0;
    while (from <= path.size()) {
        size_t slash = path.find('/', from);
        if (slash == std::string::npos)
            slash = path.size();
        std::string part = path.substr(from, slash - from);
        if (part == "..")
            return "";
        if (!part.empty() && part != ".")
            cleaned += (cleaned.empty() ? "" : "/") + part;
        from = slash + 1;
    }
    return cleaned;
}

// Creates the folders of `relative` under `root`, refusing to pass through a
// symbolic link, so that nothing is written outside root.
static bool MakeParents(const fs::path &root, const std::string &relative, std::string *why) {
    fs::path at = root;
    fs::path parent = fs::path(relative).parent_path();
    for (const fs::path &part : parent) {
        at /= part;
        std::error_code ec;
        fs::file_status status = fs::symlink_status(at, ec);
        if (fs::is_symlink(status)) {
            *why = "a folder on its path is a symbolic link";
            return false;
        }
        if (!fs::exists(status) && !fs::create_directory(at, ec)) {
            *why = "cannot create folder " + at.string() + ": " + ec.message();
            return false;
        }
        if (fs::exists(status) && !fs::is_directory(status)) {
            *why = at.string() + " is not a folder";
            return false;
        }
    }
    return true;
}

// Writes bytes to a temporary file beside `target` and renames it into
// place, so that no half-written file is ever left under the target's name.
static bool WriteWhole(const fs::path &target, const std::string &bytes, std::string *why) {
    static unsigned counter;
    fs::path temporary = target;
    temporary += ".quorvel-tmp" + std::to_string(++counter);
    FILE *out = fopen(temporary.string().c_str(), "wb");
    if (out == nullptr) {
        *why = strerror(errno);
        return false;
    }
    bool written = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (fclose(out) != 0)
        written = false;
    std::error_code ec;
    if (written)
        fs::rename(temporary, target, ec);
    if (!written || ec) {
        *why = written ? ec.message() : std::string("write failed");
        fs::remove(temporary, ec);
        return false;
    }
    return true;
}

// Extracts one entry under root; returns why it could not, or "".
static std::string ExtractOne(const char *archive, const fs::path &root, const FileInfo &record,
                              bool overwrite) {
    std::string relative = SafeRelativePath(record.filename);
    if (relative.empty())
        return "refused: the name leads outside the target folder";
    std::error_code ec;
    fs::path target = root / relative;
    if (!overwrite && fs::exists(fs::symlink_status(target, ec)))
        return "exists (use --overwrite to replace it)";
    std::string bytes;
    int32_t result = ReadEntry(archive, record, &bytes);
    progress.bytes += bytes.size();
    if (result != SPI_OK)
        return ResultText(result);
    std::string why;
    if (!MakeParents(root, relative, &why))
        return why;
    if (fs::is_directory(fs::symlink_status(target, ec)))
        return "a folder of that name is in the way";
    WriteWhole(target, bytes, &why);
    return why;
}

static int Extract(const char *archive, const std::vector<const char *> &names, const char *dir,
                   uint32_t flags, bool overwrite) {
    std::vector<FileInfo> records;
    int status = kExitOk;
    if (names.empty()) {
        status = ListRecords(archive, &records);
        if (status != kExitOk)
            return status;
    } else {
        status = CheckArchive(archive);
        if (status != kExitOk)
            return status;
        for (const char *name : names) {
            FileInfo record;
            int32_t result = getFileInfo(archive, 0, name, flags, &record);
            if (result == SPI_OK) {
                records.push_back(record);
            } else {
                Error(archive, "%s: %s", name, ResultText(result));
                status = result == SPI_NO_SUCH_ENTRY ? kExitPartial : kExitArchive;
            }
        }
    }
    fs::path root = dir;
    std::error_code ec;
    fs::create_directories(root, ec);
    ProgressStart(records.size());
    for (const FileInfo &record : records) {
        std::string why = ExtractOne(archive, root, record, overwrite);
        progress.done++;
        if (!why.empty()) {
            ProgressEnd();
            Error(archive, "%s: %s", record.filename, why.c_str());
            status = std::max(status, kExitPartial);
        }
    }
    ProgressEnd();
    return status;
}

static int Cat(const char *archive, const char *name, uint32_t flags) {
    int status = CheckArchive(archive);
    if (status != kExitOk)
        return status;
    FileInfo record;
    int32_t result = getFileInfo(archive, 0, name, flags, &record);
    std::string bytes;
    if (result == SPI_OK)
        result = ReadEntry(archive, record, &bytes);
    if (result != SPI_OK) {
        Error(archive, "%s: %s", name, ResultText(result));
        return result == SPI_NO_SUCH_ENTRY ? kExitPartial : kExitArchive;
    }
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || fflush(stdout) != 0) {
        Error("standard output", "%s", strerror(errno));
        return kExitArchive;
    }
    return kExitOk;
}

struct PackInput {
    std::string name; // as stored: a relative path with / separators
    fs::path file;
    uint64_t size;
};

static bool CollectInputs(const char *argument, std::vector<PackInput> *inputs) {
    std::error_code ec;
    fs::path start = argument;
    auto add = [&](const fs::path &file) {
        std::string name = file.lexically_normal().generic_string();
        inputs->push_back({name, file, (uint64_t)fs::file_size(file, ec)});
        return !ec;
    };
    if (fs::is_regular_file(start, ec))
        return add(start);
    if (!fs::is_directory(start, ec)) {
        Error(argument, "no such file or folder");
        return false;
    }
    for (fs::recursive_directory_iterator it(start, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec) && !add(it->path())) {
            Error(it->path().string().c_str(), "cannot read its size");
            return false;
        }
    }
    if (ec)
        Error(argument, "%s", ec.message().c_str());
    return !ec;
}

// Refuses, before anything is written, what the format cannot hold.
static bool Packable(std::vector<PackInput> &inputs, const char *output) {
    if (inputs.empty()) {
        Error(output, "no input files");
        return false;
    }
    std::sort(inputs.begin(), inputs.end(),
              [](const PackInput &a, const PackInput &b) { return a.name < b.name; });
    uint64_t offset = kMagicSize + 1; // the magic line and an empty closing line
    for (const PackInput &in : inputs) {
        const char *bad = nullptr;
        if (in.name.find_first_of("\t\r\n") != std::string::npos)
            bad = "a name with a TAB, CR or LF cannot be stored";
        else if (in.name.size() > (size_t)kMaxNameLength)
            bad = "a name longer than 199 bytes cannot be stored";
        else if (in.name.empty() || in.name[0] == '/' || in.name.rfind("../", 0) == 0 ||
                 in.name == "..")
            bad = "give it as a path below the current folder";
        if (bad != nullptr) {
            Error(in.name.c_str(), "%s", bad);
            return false;
        }
        offset += in.name.size() + kFieldsSize;
    }
    for (const PackInput &in : inputs)
        offset += in.size;
    if (offset > kLargestOffset) {
        Error(output, "the archive would pass 4 GiB, the largest offset the format can hold");
        return false;
    }
    return true;
}

static bool CopyInto(FILE *out, const PackInput &in) {
    FILE *f = fopen(in.file.string().c_str(), "rb");
    if (f == nullptr) {
        Error(in.file.string().c_str(), "%s", strerror(errno));
        return false;
    }
    std::vector<char> buffer(1 << 20);
    uint64_t copied = 0;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), f)) > 0) {
        if (fwrite(buffer.data(), 1, n, out) != n)
            break;
        copied += n;
        progress.bytes += n;
    }
    fclose(f);
    if (copied != in.size) {
        Error(in.file.string().c_str(), "changed or could not be read while packing");
        return false;
    }
    return true;
}

static int Pack(const char *output, const std::vector<const char *> &arguments) {
    std::vector<PackInput> inputs;
    for (const char *argument : arguments) {
        if (!CollectInputs(argument, &inputs))
            return kExitArchive;
    }
    if (!Packable(inputs, output))
        return kExitArchive;
    std::string directory = kMagic;
    uint64_t start = kMagicSize + 1;
    for (const PackInput &in : inputs)
        start += in.name.size() + kFieldsSize;
    for (const PackInput &in : inputs) {
        char fields[32];
        snprintf(fields, sizeof fields, "\t%010llu %010llu\n", (unsigned long long)start,
                 (unsigned long long)(start + in.size));
        directory += in.name + fields;
        start += in.size;
    }
    directory += "\n";

    fs::path target = output;
    fs::path temporary = target;
    temporary += ".quorvel-tmp";
    FILE *out = fopen(temporary.string().c_str(), "wb");
    if (out == nullptr) {
        Error(output, "%s", strerror(errno));
        return kExitArchive;
    }
    ProgressStart(inputs.size());
    bool ok = fwrite(directory.data(), 1, directory.size(), out) == directory.size();
    for (size_t i = 0; ok && i < inputs.size(); i++) {
        ok = CopyInto(out, inputs[i]);
        progress.done++;
        ProgressShow();
    }
    ProgressEnd();
    if (fclose(out) != 0 && ok) {
        Error(output, "%s", strerror(errno));
        ok = false;
    }
    std::error_code ec;
    if (ok)
        fs::rename(temporary, target, ec);
    if (ok && ec)
        Error(output, "%s", ec.message().c_str());
    if (!ok || ec) {
        fs::remove(temporary, ec);
        return kExitArchive;
    }
    return kExitOk;
}

static const char *CommandHelp(const std::string &command) {
    if (command == "check")
        return "usage: quorvel check FILE...\nSays for each file whether it is a Quorvel archive;\n"
               "exits 0 if all are, 1 if some are not.\n";
    if (command == "list")
        return "usage: quorvel list ARCHIVE [-l]\nLists the entries in directory order; -l adds "
               "size, time stamp (local time), directory position and a total.\n";
    if (command == "extract")
        return "usage: quorvel extract ARCHIVE [NAME...] [-C DIR] [-i] [--overwrite]\n"
               "Extracts every entry, or the named ones, under DIR (default: .).\n"
               "  -i           match names without regard to case\n"
               "  --overwrite  replace files that exist\n";
    if (command == "cat")
        return "usage: quorvel cat ARCHIVE NAME [-i]\nWrites one entry's bytes to standard "
               "output.\n";
    if (command == "pack")
        return "usage: quorvel pack -o ARCHIVE FILE-OR-DIR...\nWrites a new archive of the files "
               "given and of every file below the folders given, in sorted order.\n";
    return nullptr;
}

int main(int argc, char **argv) {
    std::vector<const char *> args(argv + 1, argv + argc);
    while (!args.empty() && strcmp(args[0], "--plugin") == 0 && args.size() >= 2) {
        pluginPath = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty())
        return Usage(kHelp);
    std::string command = args[0];
    args.erase(args.begin());
    if (command == "--help" || command == "-h") {
        fputs(kHelp, stdout);
        return kExitOk;
    }
    if (command == "--version") {
        printf("quorvel %s\n", AXQ_VERSION_TEXT);
        int status = LoadPlugin();
        char row[256];
        for (int32_t i = 0; status == kExitOk && getPluginInfo(i, row, sizeof row) > 0; i++)
            printf("plug-in row %d: %s\n", (int)i, row);
        return status;
    }
    const char *help = CommandHelp(command);
    if (help == nullptr) {
        Error(command.c_str(), "unknown command");
        return Usage(kHelp);
    }

    std::vector<const char *> operands;
    const char *dir = ".";
    const char *output = nullptr;
    bool details = false, overwrite = false;
    uint32_t flags = SPI_INPUT_FILE;
    for (size_t i = 0; i < args.size(); i++) {
        std::string a = args[i];
        if (a == "--help") {
            fputs(help, stdout);
            return kExitOk;
        } else if (a == "-l" && command == "list") {
            details = true;
        } else if (a == "-i" && (command == "extract" || command == "cat")) {
            flags |= SPI_IGNORE_CASE;
        } else if (a == "--overwrite" && command == "extract") {
            overwrite = true;
        } else if (a == "-C" && command == "extract" && i + 1 < args.size()) {
            dir = args[++i];
        } else if (a == "-o" && command == "pack" && i + 1 < args.size()) {
            output = args[++i];
        } else if (a == "--") {
            operands.insert(operands.end(), args.begin() + i + 1, args.end());
            break;
        } else if (a.size() > 1 && a[0] == '-') {
            Error(a.c_str(), "unknown option for %s", command.c_str());
            return Usage(help);
        } else {
            operands.push_back(args[i]);
        }
    }

    if (command == "pack") {
        if (output == nullptr || operands.empty())
            return Usage(help);
        return Pack(output, operands);
    }
    int status = LoadPlugin();
    if (status != kExitOk)
        return status;
    if (command == "check")
        return Check(operands);
    if (operands.empty() || (command == "list" && operands.size() != 1) ||
        (command == "cat" && operands.size() != 2))
        return Usage(help);
    if (command == "list")
        return List(operands[0], details);
    if (command == "cat")
        return Cat(operands[0], operands[1], flags);
    return Extract(operands[0], std::vector<const char *>(operands.begin() + 1, operands.end()),
                   dir, flags, overwrite);
}
