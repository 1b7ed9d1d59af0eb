// vorn_parser's side of the shared translation of C++ failures.
#pragma once

#include <string>
#include <utility>

#include "internal_failure.h"
#include "py_ref.h"
#include "translate.h"

namespace vorn::py {

// Sets the internal-failure exception with `message`, after writing a
// diagnostic with the message and its source location to standard error.
void raise_internal_failure(const std::string& message, SourceLoc where);

// vorn_parser's raiser for the shared ladder: the internal-failure
// exception for every failure, an allocation failure as "out of memory".
struct ParserFailures {
    static void internal(const std::string& message, SourceLoc where) { raise_internal_failure(message, where); }
    static void out_of_memory() { raise_internal_failure("out of memory", SourceLoc::current()); }
};

// Runs `body` through the shared translation of C++ failures.
template <class F>
PyObject* guarded(F&& body) noexcept
{
    return translated<ParserFailures>(std::forward<F>(body));
}

}  // namespace vorn::py
