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

#define VORN_INTERNED(name)              \
    PyObject* name()                     \
    {                                    \
        static PyObject* slot = nullptr; \
        return intern(slot, #name);      \
    }

VORN_INTERNED(__all__)
VORN_INTERNED(__name__)
VORN_INTERNED(__qualname__)
VORN_INTERNED(pathlib)
VORN_INTERNED(Path)
VORN_INTERNED(__str__)

#undef VORN_INTERNED

}  // namespace vorn::py::interned
