// Binding parse()'s one argument and classifying it as file content or path.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "buffer_export.h"
#include "py_ref.h"

namespace vorn::py {

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
