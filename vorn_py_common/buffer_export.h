// BufferExport, the owner of one exported buffer of a bytes-like object.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

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

    enum class Outcome { held, other_layout, failed };

    // Exports the buffer of `object` and keeps it if it is one dimension of
    // contiguous unsigned bytes ('B', '@B', or no format, which means 'B'): the
    // buffer a memoryview iterates as exactly the ints of its memory. Any other
    // layout iterates differently or not at all ('b' gives negative ints, 'c'
    // one-byte bytes, '?' bools; '<B', '=B', 0 or several dimensions raise), so
    // it is given back at once and other_layout returned. failed, with the
    // exception set, when there is no buffer to export (a released memoryview).
    //
    // The layout is judged here and never after: shape and strides may point
    // into the Py_buffer itself (PyBuffer_FillInfo does that), and a move
    // leaves them pointing into the moved-from export.
    Outcome acquire_byte_vector(PyObject* object) noexcept
    {
        release();
        if (PyObject_GetBuffer(object, &view_, PyBUF_FULL_RO) != 0) return Outcome::failed;
        held_ = true;
        if (is_byte_vector(view_)) return Outcome::held;
        release();
        return Outcome::other_layout;
    }
    void release() noexcept
    {
        if (std::exchange(held_, false)) PyBuffer_Release(&view_);
    }
    bool held() const noexcept { return held_; }
    std::span<const std::uint8_t> bytes() const noexcept
    {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    static bool is_byte_vector(const Py_buffer& view) noexcept
    {
        if (view.ndim != 1 || view.itemsize != 1 || !PyBuffer_IsContiguous(&view, 'C')) return false;
        const char* format = view.format;
        if (format == nullptr) return true;
        if (format[0] == '@') ++format;
        return format[0] == 'B' && format[1] == '\0';
    }

    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace vorn::py
