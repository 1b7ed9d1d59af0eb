// The internal-failure exception class and its raising.
#include "boundary.h"

#include <cstdio>

namespace vorn::py {

namespace {

// Made on first need with the interpreter lock held; never released.
PyObject* internal_failure_class()
{
    static PyObject* cls = nullptr;
    if (cls == nullptr) {
        cls =
            PyErr_NewExceptionWithDoc("vorn_parser.ParseFailure",
                                      "A data file could not be parsed: unreadable, damaged or of an unsupported kind.",
                                      PyExc_BaseException, nullptr);
    }
    return cls;
}

}  // namespace

void raise_internal_failure(const std::string& message, SourceLoc where)
{
    std::fprintf(stderr, "vorn_parser: parse failed (detected at %s:%u): %s\n", where.file, where.line,
                 message.c_str());
    std::fflush(stderr);
    PyObject* cls = internal_failure_class();
    if (cls == nullptr) return;  // the class could not be made; its error stays set
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(cls, text.get());
}

}  // namespace vorn::py
