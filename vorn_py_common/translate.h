// The one translation of C++ failures into Python exceptions, for every entry
// point of both extension modules: nothing unwinds into the interpreter.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "internal_failure.h"
#include "py_ref.h"

namespace vorn::py {

// What a module raises for the failures the ladder cannot name itself:
//   static void internal(const std::string& message, SourceLoc where);
//   static void out_of_memory();
template <class R>
concept FailureRaiser = requires(const std::string& message, SourceLoc where) {
    R::internal(message, where);
    R::out_of_memory();
};

// Runs `body`; every C++ exception that leaves it becomes a Python exception
// and NULL is returned. A Python exception already set leaves unchanged; an
// InternalFailure, or anything else unknown, is the module's internal failure;
// a failed allocation is the module's out-of-memory failure.
template <FailureRaiser Raiser, class F>
PyObject* translated(F&& body) noexcept
{
    try {
        return body();
    } catch (const PythonErrorSet&) {
        // The exception is already set.
    } catch (const InternalFailure& e) {
        Raiser::internal(e.message(), e.where());
    } catch (const std::bad_alloc&) {
        Raiser::out_of_memory();
    } catch (const std::exception& e) {
        Raiser::internal(e.what(), SourceLoc::current());
    } catch (...) {
        Raiser::internal("unknown C++ exception", SourceLoc::current());
    }
    return nullptr;
}

}  // namespace vorn::py
