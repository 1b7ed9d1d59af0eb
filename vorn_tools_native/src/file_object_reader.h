// Range reads from a Python binary file object: seek, then read.
#pragma once

#include "byte_source.h"
#include "py_ref.h"

namespace vorn::py {

// Reads through the object's own seek() and read(); the bytes are copied out
// of what read() returns, so nothing of ours is ever lent to Python code. An
// exception raised by the file object stays set and ends the parse as an
// interruption, so the caller re-raises it unchanged.
class FileObjectReader final : public RangeReader {
public:
    explicit FileObjectReader(PyObject* file) : file_(PyRef::borrow(file)) {}
    IoOutcome read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n) override;

private:
    PyRef file_;
};

}  // namespace vorn::py
