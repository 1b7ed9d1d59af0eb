// _native.check and _native.check_codes: the core's checker, for Python.
#pragma once

#include "py_ref.h"

namespace vorn::py {

// check(kind, source, size, samples): the report on a file as a dict,
// {"verdict": ..., "findings": [{"code", "severity", "offset", "field",
// "text"}, ...]}. kind is "path" (bytes in the file-system encoding),
// "buffer" (a bytes-like object) or "file" (a binary file object of `size`
// bytes). An open failure is a finding; a signal handler's or the file
// object's exception is raised (PythonErrorSet).
PyObject* check(PyObject* const* args, Py_ssize_t nargs);

// check_codes(): every code a report may hold, as (code, severity, title).
PyObject* check_codes();

}  // namespace vorn::py
