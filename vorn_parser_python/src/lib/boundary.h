// The one place where C++ failures become Python exceptions.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "internal_failure.h"
#include "py_ref.h"

namespace vorn::py {

// Sets the internal-failure exception with `message`, after writing a
// diagnostic with the message and its source location to standard error.
void raise_internal_failure(const std::string& message, SourceLoc where);

// Runs `body`; every C++ exception that leaves it becomes a Python exception
// and NULL is returned. Nothing unwinds into the interpreter.
template <class F>
PyObject* guarded(F&& body) noexcept
{
    try {
        return body();
    } catch (const PythonErrorSet&) {
        // The exception is already set.
    } catch (const InternalFailure& e) {
        raise_internal_failure(e.message(), e.where());
    } catch (const std::bad_alloc&) {
        raise_internal_failure("out of memory", SourceLoc::current());
    } catch (const std::exception& e) {
        raise_internal_failure(e.what(), SourceLoc::current());
    } catch (...) {
        raise_internal_failure("unknown C++ exception", SourceLoc::current());
    }
    return nullptr;
}

}  // namespace vorn::py
