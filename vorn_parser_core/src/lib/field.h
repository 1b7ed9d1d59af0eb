// Early return on a failed read and the rewind-and-frame rule of fields and
// records, so that readers read like the byte layout itself, one line a field.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "byte_source.h"
#include "read_error.h"

namespace vorn {

// Where a field or a record of the file begins, noted before it is read:
//
//     VORN_ASSIGN_OR_RETURN(h.title, field(src, "title", "Headers").read(read_text(src, 124)));
//
// In a member call the object expression is evaluated before the arguments
// (C++17 [expr.call]), so the start is taken before the read moves the source.
class [[nodiscard]] ReadStart {
public:
    // A successful read passes through. A failed one is rewound to the start
    // and, for a field, gets the frame "While parsing field '<field>' in
    // <record>" carrying the location of the code that named the field.
    template <class T>
    Result<T> read(Result<T> result) &&
    {
        if (result) return result;
        return rewound(std::move(result).error());
    }

    // Made by field() and record() below.
    ReadStart(ByteSource& src, std::string_view field_name, std::string_view record_name, SourceLoc where,
              bool framed) noexcept
        : src_(src), start_(src.position()), field_(field_name), record_(record_name), where_(where), framed_(framed)
    {
    }

private:
    // A failing seek replaces the read's error, as its I/O failure is then
    // the more basic one; the frame goes on whichever error leaves.
    ReadError rewound(ReadError failed) const;

    ByteSource& src_;
    std::uint64_t start_;
    std::string_view field_;
    std::string_view record_;
    SourceLoc where_;
    bool framed_;
};

// One field of a record: rewound and framed on failure.
inline ReadStart field(ByteSource& src, std::string_view name, std::string_view record,
                       SourceLoc where = SourceLoc::current()) noexcept
{
    return ReadStart(src, name, record, where, true);
}

// A whole record: rewound on failure; the frames are those its fields added.
inline ReadStart record(ByteSource& src) noexcept { return ReadStart(src, {}, {}, SourceLoc{}, false); }

}  // namespace vorn

// The statement forms of early return. `expr` is a Result; its error is
// returned from the enclosing function, which returns a Result or Status.
//
//     VORN_TRY(src.seek(at));                                      // the value is dropped
//     VORN_ASSIGN_OR_RETURN(const std::uint8_t b, src.read_u8());  // a declaration
//     VORN_ASSIGN_OR_RETURN(c.scaler, src.read_i16(order));        // or an lvalue
//
// VORN_ASSIGN_OR_RETURN expands to several statements: write it as a
// statement of its own (braces around it under an `if` or a loop; without
// them the temporary is out of scope and it does not compile). Each use gets
// its own temporary, so nested uses shadow nothing.
#define VORN_TRY(...) VORN_TRY_IMPL_(VORN_UNIQUE_NAME_(vorn_status_), __VA_ARGS__)
#define VORN_ASSIGN_OR_RETURN(lhs, ...) VORN_ASSIGN_OR_RETURN_IMPL_(VORN_UNIQUE_NAME_(vorn_result_), lhs, __VA_ARGS__)

#define VORN_TRY_IMPL_(tmp, ...)                 \
    do {                                         \
        auto tmp = (__VA_ARGS__);                \
        if (!tmp) return std::move(tmp).error(); \
    } while (false)

#define VORN_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, ...) \
    auto tmp = (__VA_ARGS__);                      \
    if (!tmp) return std::move(tmp).error();       \
    lhs = std::move(tmp).value()

#define VORN_UNIQUE_NAME_(prefix) VORN_CONCAT_(prefix, __COUNTER__)
#define VORN_CONCAT_(a, b) VORN_CONCAT_IMPL_(a, b)
#define VORN_CONCAT_IMPL_(a, b) a##b
