// What the module's files share: its exceptions, and paths and names
// between Python's objects and the bytes the core takes.
#ifndef AXQ_PYTHON_MODULE_H
#define AXQ_PYTHON_MODULE_H

#include "core/failure.h"

#include <pybind11/pybind11.h>
#include <string>

// The module's exceptions (quorvel.Error and quorvel.BadArchive), set when
// it is imported.
extern PyObject *errorType, *badArchiveType;

// The exception a Failure names, raised.
[[noreturn]] void Raise(const Failure &failure);
// Text from the core as str (bytes that are no UTF-8 as surrogate escapes).
pybind11::str Text(const std::string &text);
// A name given as str, as UTF-8 bytes (surrogate escapes as their bytes).
std::string NameBytes(const pybind11::handle &name);
// A path from str, bytes or os.PathLike, as the file system's bytes; one
// holding a zero byte raises ValueError.
std::string FsPath(const pybind11::object &path);

// quorvel.diff() and its Difference.
void BindDiff(pybind11::module_ &m);

#endif
