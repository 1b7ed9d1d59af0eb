// PyRef, the one owner of a PyObject reference, and the checks that put every
// new reference into one on the line that made it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "source_loc.h"

namespace vorn::py {

// Move-only owner of one strong reference (or of nothing).
class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
    static PyRef borrow(PyObject* p) noexcept
    {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept
    {
        PyRef old(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference over to a caller that steals it.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit PyRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Thrown when a Python exception is set and is to reach the caller unchanged.
struct PythonErrorSet {};

// An interpreter call that should not fail returned NULL: prints the pending
// error and ends the call with the internal failure "Python API call failed".
[[noreturn]] void api_call_failed(SourceLoc where = SourceLoc::current());

// Steals the new reference a constructor returned; NULL is an API failure.
inline PyRef made(PyObject* p, SourceLoc where = SourceLoc::current())
{
    if (p == nullptr) api_call_failed(where);
    return PyRef::steal(p);
}

}  // namespace vorn::py
