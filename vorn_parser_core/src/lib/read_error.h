// ReadError, its context frames and the Result type every reader returns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "source_loc.h"

namespace vorn {

// "While parsing field 'x' in Record" plus where the reading code added it.
struct ContextFrame {
    std::string message;
    SourceLoc where;
    std::string field;   // the field being read ("title")
    std::string record;  // the record it belongs to ("Headers")

    static ContextFrame for_field(std::string_view field, std::string_view record, SourceLoc where);
};

// Root cause plus frames, innermost first.
class ReadError {
public:
    // Short reads and operating-system errors: the text is shown as it is.
    static ReadError io(std::string text);
    // The content ends before what is read: the file is cut short or its
    // sizes and offsets are damaged.
    static ReadError short_read(std::string_view text);
    // A failed check on a value: "<message> at 0x<position>".
    static ReadError assertion(std::string_view message, std::uint64_t position);
    // A blocking open or read whose interruption the caller asked to end the
    // parse (its interrupt check said so); the caller has the reason.
    static ReadError interrupted();

    bool is_interrupted() const noexcept { return interrupted_; }
    // A short read (not an operating-system error).
    bool is_short_read() const noexcept { return short_; }
    // Where a failed check on a value found it; none for reads that failed.
    const std::optional<std::uint64_t>& position() const noexcept { return position_; }

    const std::string& root_cause() const noexcept { return root_; }
    const std::vector<ContextFrame>& frames() const noexcept { return frames_; }

    friend ReadError with_context(ReadError error, ContextFrame frame);

private:
    explicit ReadError(std::string root) : root_(std::move(root)) {}

    std::string root_;
    std::vector<ContextFrame> frames_;
    bool interrupted_ = false;
    bool short_ = false;
    std::optional<std::uint64_t> position_;
};

// Appends an outer frame; the first frame added is the innermost.
[[nodiscard]] ReadError with_context(ReadError error, ContextFrame frame);

// The text of the error: one numbered entry per frame, innermost first; entry
// 0 starts with "Error: " and the root cause.
std::string render(const ReadError& error);

inline constexpr std::string_view kShortNumberRead = "failed to fill whole buffer";
inline constexpr std::string_view kShortByteRun = "not enough bytes in reader";
inline constexpr std::string_view kInterrupted = "interrupted by a signal";

// The value of a reader or the error that stopped it.
template <class T, class E = ReadError>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    E& error() & { return std::get<1>(v_); }
    const E& error() const& { return std::get<1>(v_); }
    E&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, E> v_;
};

struct Ok {};
using Status = Result<Ok>;

}  // namespace vorn
