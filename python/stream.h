// What Archive.open() returns: one entry's bytes read from the archive file
// a piece at a time, never held whole. module.cpp wraps it in
// io.BufferedReader, which makes it a full binary file object.
#ifndef AXQ_PYTHON_STREAM_H
#define AXQ_PYTHON_STREAM_H

#include "python/module.h"
#include "python/session.h"

#include <pybind11/pybind11.h>

// A raw, seekable, read-only stream over a span of the archive file.
class EntryStream {
  public:
    EntryStream(EntrySpan span, std::string name)
        : span_(std::move(span)), name_(std::move(name)) {}
    size_t ReadInto(pybind11::buffer buffer);
    // Up to `size` bytes, or the rest when size is negative.
    pybind11::bytes Read(int64_t size);
    uint64_t Seek(int64_t offset, int whence);
    uint64_t Tell() const;
    void Close() { closed_ = true; }
    bool Closed() const { return closed_; }
    const std::string &Name() const { return name_; }

  private:
    void Check() const;
    EntrySpan span_;
    std::string name_;
    uint64_t at_ = 0;
    bool closed_ = false;
};

void BindStream(pybind11::module_ &module);

#endif
