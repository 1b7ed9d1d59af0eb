// Failed reads as vorn_tools.ParseError, its fields taken from the core's
// facts, and _native's side of the shared translation of C++ failures.
#pragma once

#include <string>

#include "failure.h"
#include "py_ref.h"

namespace vorn::py {

// A new ParseError for the file named `name` (None: no name), not raised.
PyRef new_parse_error(PyObject* name, const FailureFacts& facts);

// Raises it.
void raise_parse_error(PyObject* name, const FailureFacts& facts);

// For the shared ladder: what no read names becomes an internal ParseError, a
// failed allocation MemoryError.
struct NativeFailures {
    static void internal(const std::string& message, SourceLoc where);
    static void out_of_memory() { PyErr_NoMemory(); }
};

// Thrown by a read to end the call with a ParseError already built.
struct ReadFailed {
    FailureFacts facts;
};

}  // namespace vorn::py
