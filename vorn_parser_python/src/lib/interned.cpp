// Interned names: one static slot each, filled on first use.
#include "interned.h"

namespace vorn::py::interned {

namespace {

PyObject* intern(PyObject*& slot, const char* text)
{
    if (slot == nullptr) slot = made(PyUnicode_InternFromString(text)).release();
    return slot;
}

}  // namespace

#define VORN_INTERNED(function, text)    \
    PyObject* function()                 \
    {                                    \
        static PyObject* slot = nullptr; \
        return intern(slot, text);       \
    }

VORN_INTERNED(dunder_all, "__all__")
VORN_INTERNED(dunder_name, "__name__")
VORN_INTERNED(dunder_str, "__str__")
VORN_INTERNED(pathlib, "pathlib")
VORN_INTERNED(Path, "Path")

#undef VORN_INTERNED

}  // namespace vorn::py::interned
