// The two wrappers that give every reader the rewind-on-failure rule and its
// context frames, so that readers read like the byte layout itself.
#pragma once

#include <string_view>
#include <type_traits>
#include <utility>

#include "byte_source.h"
#include "read_error.h"

namespace vorn {

namespace detail {

// Seeks back to `start` after a failed read. A failing seek replaces the
// read's error, as its I/O failure is then the more basic one.
template <class R>
ReadError rewound(ByteSource& src, std::uint64_t start, R&& failed)
{
    auto back = src.seek(start);
    if (!back) return std::move(back).error();
    return std::forward<R>(failed).error();
}

}  // namespace detail

// Reads one field: on failure the source is rewound to where the field began
// and the frame "While parsing field '<field>' in <record>" is added, carrying
// the caller's source location.
template <class F>
auto read_field(ByteSource& src, std::string_view field, std::string_view record, F&& read,
                SourceLoc where = SourceLoc::current()) -> std::invoke_result_t<F&>
{
    const auto start = src.position();
    auto result = read();
    if (!result) {
        return with_context(detail::rewound(src, start, std::move(result)),
                            ContextFrame::for_field(field, record, where));
    }
    return result;
}

// Reads a whole record: on failure the source is rewound to where the record
// began; the frames are those its fields added.
template <class F>
auto read_record(ByteSource& src, F&& read) -> std::invoke_result_t<F&>
{
    const auto start = src.position();
    auto result = read();
    if (!result) return detail::rewound(src, start, std::move(result));
    return result;
}

}  // namespace vorn

// Propagates the error of a Result expression, or yields its value.
#define VORN_TRY(expr)                                                  \
    ({                                                                  \
        auto vorn_try_result_ = (expr);                                 \
        if (!vorn_try_result_) return std::move(vorn_try_result_).error(); \
        std::move(vorn_try_result_).value();                            \
    })
