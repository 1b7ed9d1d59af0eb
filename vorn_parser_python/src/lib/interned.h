// Interned attribute and module names, made on first need and kept for the
// life of the process. Only used with the interpreter lock held.
#pragma once

#include "py_ref.h"

namespace vorn::py::interned {

PyObject* dunder_all();   // "__all__"
PyObject* dunder_name();  // "__name__"
PyObject* dunder_str();   // "__str__"
PyObject* pathlib();
PyObject* Path();

}  // namespace vorn::py::interned
