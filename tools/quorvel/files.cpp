// The input files of pack and update, found by walking the folders given.
#include "tools/quorvel/files.h"

#include "tools/quorvel/names.h"
#include "tools/quorvel/output.h"
#include "tools/quorvel/translate.h"

#include <filesystem>

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

FILE *OpenFile(const std::string &path, const char *mode) {
#ifdef _WIN32
    return _wfopen(Widen(path).c_str(), Widen(mode).c_str());
#else
    return fopen(path.c_str(), mode);
#endif
}

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

bool CollectInputs(const std::string &argument, std::vector<InputFile> *inputs,
                   const std::string &base) {
    std::error_code ec;
    fs::path folder = ToPath(base).lexically_normal();
    fs::path start = base.empty() ? ToPath(argument) : folder / ToPath(argument);
    auto add = [&](const fs::path &file) {
        uint64_t size = (uint64_t)fs::file_size(file, ec);
        if (ec) {
            Error(FromPath(file, false), "%s", ec.message().c_str());
            return false;
        }
        fs::path name = file.lexically_normal();
        if (!base.empty())
            name = name.lexically_relative(folder);
        inputs->push_back({FromPath(name, true), FromPath(file, false), size});
        return true;
    };
    if (fs::is_regular_file(start, ec))
        return add(start);
    if (!fs::is_directory(start, ec)) {
        Error(argument, "%s", WhatItIs(start).c_str());
        return false;
    }
    for (fs::recursive_directory_iterator it(start, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec)) {
            if (!add(it->path()))
                return false;
        } else if (!it->is_directory(ec) || it->is_symlink(ec)) {
            // The format stores files only: say what is left out.
            std::string name = EscapeControls(FromPath(it->path(), false));
            if (it->is_directory(ec))
                Error(name, "%s",
                      _("a symbolic link to a folder is not followed, so it is left out"));
            else if (it->is_symlink(ec) && !fs::exists(it->path(), ec))
                Error(name, "%s", _("a symbolic link that leads nowhere is left out"));
            else
                Error(name, "%s", _("not a regular file or a folder, so it is left out"));
        }
        ec.clear();
    }
    if (ec)
        Error(argument, "%s", ec.message().c_str());
    return !ec;
}
