// Interned attribute and module names, made on first need and kept for the
// life of the process. Only used with the interpreter lock held.
#pragma once

#include "py_ref.h"

namespace vorn::py::interned {

PyObject* __all__();
PyObject* __name__();
PyObject* __qualname__();
PyObject* pathlib();
PyObject* Path();
PyObject* __str__();

}  // namespace vorn::py::interned
