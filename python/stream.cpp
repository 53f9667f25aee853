// Archive.open()'s raw stream: reads go straight from the archive file into
// the caller's buffer, without the GIL.
#include "python/stream.h"

#include <algorithm>
#include <stdio.h>

namespace py = pybind11;

size_t EntryStream::ReadInto(py::buffer buffer) {
    Check();
    py::buffer_info info = buffer.request(true);
    size_t want = (size_t)(info.size * info.itemsize);
    size_t count = (size_t)std::min<uint64_t>(want, at_ < span_.size ? span_.size - at_ : 0);
    Failure failure;
    bool ok = true;
    if (count > 0) {
        py::gil_scoped_release released;
        ok = Session::ReadSpan(span_, at_, info.ptr, count, &failure);
    }
    if (!ok)
        Raise(failure);
    at_ += count;
    return count;
}

py::bytes EntryStream::Read(int64_t size) {
    Check();
    uint64_t left = at_ < span_.size ? span_.size - at_ : 0;
    size_t count = (size_t)(size < 0 ? left : std::min<uint64_t>((uint64_t)size, left));
    py::object bytes =
        py::reinterpret_steal<py::object>(PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)count));
    if (!bytes)
        throw py::error_already_set();
    Failure failure;
    bool ok = true;
    if (count > 0) {
        char *into = PyBytes_AS_STRING(bytes.ptr());
        py::gil_scoped_release released;
        ok = Session::ReadSpan(span_, at_, into, count, &failure);
    }
    if (!ok)
        Raise(failure);
    at_ += count;
    return py::reinterpret_steal<py::bytes>(bytes.release());
}

uint64_t EntryStream::Seek(int64_t offset, int whence) {
    Check();
    int64_t base = whence == SEEK_SET   ? 0
                   : whence == SEEK_CUR ? (int64_t)at_
                   : whence == SEEK_END ? (int64_t)span_.size
                                        : -1;
    if (base < 0)
        throw py::value_error("invalid whence (" + std::to_string(whence) +
                              ", should be 0, 1 or 2)");
    if (base + offset < 0)
        throw py::value_error("negative seek position " + std::to_string(base + offset));
    at_ = (uint64_t)(base + offset);
    return at_;
}

uint64_t EntryStream::Tell() const {
    Check();
    return at_;
}

void EntryStream::Check() const {
    if (closed_)
        throw py::value_error("I/O operation on closed file.");
}

void BindStream(py::module_ &module) {
    py::class_<EntryStream>(module, "_EntryStream",
                            "The raw bytes of one entry; Archive.open() buffers it.")
        .def("readinto", &EntryStream::ReadInto, py::arg("buffer"))
        .def("read", &EntryStream::Read, py::arg("size") = -1)
        .def("readall", [](EntryStream &self) { return self.Read(-1); })
        .def("seek", &EntryStream::Seek, py::arg("offset"), py::arg("whence") = SEEK_SET)
        .def("tell", &EntryStream::Tell)
        .def("close", &EntryStream::Close)
        .def_property_readonly("closed", &EntryStream::Closed)
        .def_property_readonly("name", &EntryStream::Name)
        .def_property_readonly("mode", [](const EntryStream &) { return "rb"; })
        .def("readable", [](const EntryStream &) { return true; })
        .def("writable", [](const EntryStream &) { return false; })
        .def("seekable", [](const EntryStream &) { return true; })
        .def("isatty", [](const EntryStream &) { return false; })
        .def("flush", [](const EntryStream &) {})
        .def("fileno", [](const EntryStream &) {
            // As io's own streams without a descriptor.
            PyErr_SetString(py::module_::import("io").attr("UnsupportedOperation").ptr(), "fileno");
            throw py::error_already_set();
        });
}
