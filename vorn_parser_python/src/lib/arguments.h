// Binding parse()'s one argument and classifying it as file content or path.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "py_ref.h"

namespace vorn::py {

// An exported buffer of a bytes-like object, held until it is dropped. While
// it is held a bytearray cannot be resized; parse() runs no Python code while
// the core reads it, so the bytes stay as they were.
class BufferExport {
public:
    BufferExport() noexcept = default;
    BufferExport(BufferExport&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
    BufferExport& operator=(BufferExport&& other) noexcept
    {
        if (this != &other) {
            if (held_) PyBuffer_Release(&view_);
            view_ = other.view_;
            held_ = std::exchange(other.held_, false);
        }
        return *this;
    }
    BufferExport(const BufferExport&) = delete;
    ~BufferExport()
    {
        if (held_) PyBuffer_Release(&view_);
    }

    // Exports a C-contiguous buffer; false with the exception set on failure.
    bool acquire(PyObject* object) noexcept
    {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS) == 0;
        return held_;
    }
    bool held() const noexcept { return held_; }
    std::span<const std::uint8_t> bytes() const noexcept
    {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The accepted kinds of input, tried in this order. File content is either
// the exported buffer of a bytes-like object, read in place, or the bytes
// gathered by iterating any other sequence.
struct BytesInput {
    BufferExport exported;
    std::vector<std::uint8_t> bytes;
};
struct PathInput {
    std::string path;  // file-system encoding
};
using InputTypes = std::variant<BytesInput, PathInput>;

// The "input" argument of a vectorcall (borrowed), or a TypeError set and
// PythonErrorSet thrown.
PyObject* bind_input(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Bytes first, then Path; when both fail, the two-variant TypeError is set and
// PythonErrorSet thrown.
InputTypes classify_input(PyObject* input);

}  // namespace vorn::py
