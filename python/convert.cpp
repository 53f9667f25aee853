// What the module's files share: its exceptions, and paths and names
// between Python's objects and the bytes the core takes.
#include "python/module.h"

#include "core/translate.h"

namespace py = pybind11;

PyObject *errorType, *badArchiveType;

// Text from the core as str: paths may hold bytes that are no UTF-8, kept
// as Python keeps them (surrogate escapes), so that no error is lost
// building another's message.
py::str Text(const std::string &text) {
    PyObject *made = PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t)text.size(), "surrogateescape");
    if (made == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(made);
}

// A name given as str, as UTF-8 bytes; a str that holds surrogate escapes
// (a name from os.listdir in another code page) gives its escaped bytes,
// which no entry's decoded name can be, and which no writer admits.
std::string NameBytes(const py::handle &name) {
    PyObject *bytes = PyUnicode_AsEncodedString(name.ptr(), "utf-8", "surrogateescape");
    if (bytes == nullptr)
        throw py::error_already_set();
    std::string text(PyBytes_AS_STRING(bytes), (size_t)PyBytes_GET_SIZE(bytes));
    Py_DECREF(bytes);
    return text;
}

// The exception a failure's kind names, with its sentence in the user's
// language: a bad archive, a missing entry, a name or call refused, or the
// file system's error as Python's own OSError.
void Raise(const Failure &failure) {
    py::str text = Text(FailureText(failure));
    switch (failure.kind) {
    case FailureKind::kNotArchive:
    case FailureKind::kDamaged:
    case FailureKind::kRefused:
        PyErr_SetObject(badArchiveType, text.ptr());
        break;
    case FailureKind::kNotFound:
        PyErr_SetObject(PyExc_KeyError, text.ptr());
        break;
    case FailureKind::kSystem:
        if (failure.subject.empty())
            PyErr_SetObject(PyExc_OSError, py::make_tuple(failure.error, text).ptr());
        else
            PyErr_SetObject(PyExc_OSError,
                            py::make_tuple(failure.error, Text(FailureMessage(failure)),
                                           py::module_::import("os").attr("fsdecode")(
                                               py::bytes(failure.subject)))
                                .ptr());
        break;
    default:
        PyErr_SetObject(PyExc_ValueError, text.ptr());
        break;
    }
    throw py::error_already_set();
}

// A path from str, bytes or os.PathLike, as the file system's bytes; one
// holding a zero byte is refused, as Python's open() refuses it, rather than
// cut there.
std::string FsPath(const py::object &path) {
    std::string bytes = py::module_::import("os").attr("fsencode")(path).cast<std::string>();
    if (bytes.find('\0') != std::string::npos)
        throw py::value_error("embedded null byte");
    return bytes;
}
