// The one exception type for conditions that end a parse at once.
#pragma once

#include <exception>
#include <string>

#include "source_loc.h"

namespace vorn {

// Not a format error: a stored code missing from its table, text that is not
// UTF-8, malformed digital-filter parameters and the like. It carries no
// context frames; no reader catches it, and only the module boundary turns it
// into a Python exception.
class InternalFailure : public std::exception {
public:
    InternalFailure(std::string message, SourceLoc where) : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    SourceLoc where() const noexcept { return where_; }

private:
    std::string message_;
    SourceLoc where_;
};

[[noreturn]] void fail(std::string message, SourceLoc where = SourceLoc::current());

}  // namespace vorn
