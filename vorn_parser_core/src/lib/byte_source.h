// DataContainer and ByteSource: where the bytes of one parse come from.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "byte_order.h"
#include "posix_file.h"
#include "read_error.h"

namespace vorn {

// Positioned reads from a file of known size: the operating system's, or
// one the caller provides (a file object of an interpreter, say).
class RangeReader {
public:
    virtual ~RangeReader() = default;
    // Reads n bytes at `offset`, fewer only where the file ends.
    virtual IoOutcome read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n) = 0;
    // The operating system's identity of the file read, where there is one.
    virtual std::optional<FileIdentity> identity() const { return std::nullopt; }
};

// A seekable reader of one file's content. Every read is all-or-nothing: a
// read that cannot be served whole fails without moving the position, so a
// failed number read is already rewound.
//
// Three forms, read alike:
// - memory: the whole content, owned or borrowed;
// - a regular file of known size: read by ranges (positioned reads into a
//   window) as the readers reach them, never past the size it had at open;
// - a stream (pipe, character device, /proc file, anything else): read
//   forward only as far as the readers ask, never waiting for its end; what
//   was read is kept, so seeks backwards are served from memory.
class ByteSource {
public:
    // In-memory form: takes ownership of the bytes; the position starts at 0.
    explicit ByteSource(std::vector<std::uint8_t> bytes) noexcept;
    // In-memory form over bytes owned elsewhere, which must stay alive and
    // unchanged for as long as the source is read.
    static ByteSource borrowing(std::span<const std::uint8_t> bytes) noexcept;
    // A regular file of `size` bytes, read by ranges.
    static ByteSource file(FileHandle file, std::uint64_t size, InterruptCheck check);
    // Any file of `size` bytes that `reader` reads by ranges.
    static ByteSource ranges(std::unique_ptr<RangeReader> reader, std::uint64_t size) noexcept;
    // Anything else that can be read: forward only, kept as it is read.
    static ByteSource stream(FileHandle file, InterruptCheck check) noexcept;

    ByteSource(ByteSource&&) noexcept = default;
    ByteSource& operator=(ByteSource&&) noexcept = default;
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    std::uint64_t position() const noexcept { return pos_; }
    // The content's size; for a stream, what has been read of it so far (its
    // size once it has ended).
    std::uint64_t size() const noexcept { return size_; }
    // Bytes between the position and the known end; 0 when past it.
    std::uint64_t remaining() const noexcept { return pos_ < size_ ? size_ - pos_ : 0; }

    // The identity of the open file now (a regular file opened by path), else none.
    std::optional<FileIdentity> identity() const { return ranges_ ? ranges_->identity() : std::nullopt; }

    // A check consulted between the windows of a long run of samples (about
    // every MiB decoded, in every form): returning true ends the run as
    // interrupted. None by default.
    void set_window_check(InterruptCheck check) noexcept { window_check_ = check; }

    // Any position is accepted; a read past the end then fails as a short read.
    Status seek(std::uint64_t position) noexcept;

    // Whether `n` bytes lie between the position and the end. A stream is read
    // forward as far as that needs (and no further); its read errors are
    // returned.
    Result<bool> can_read(std::uint64_t n);
    // Whether the content holds at least `n` bytes in all.
    Result<bool> holds_at_least(std::uint64_t n);

    Result<std::uint8_t> read_u8() { return read_number<std::uint8_t>(ByteOrder::Big); }
    Result<std::uint16_t> read_u16(ByteOrder order) { return read_number<std::uint16_t>(order); }
    Result<std::uint32_t> read_u32(ByteOrder order) { return read_number<std::uint32_t>(order); }
    Result<std::int16_t> read_i16(ByteOrder order);
    Result<std::int32_t> read_i32(ByteOrder order);
    Result<double> read_f64(ByteOrder order);

    // A run of raw bytes; a short run fails with "not enough bytes in reader".
    Result<std::vector<std::uint8_t>> read_bytes(std::size_t n);
    template <std::size_t N>
    Result<std::array<std::uint8_t, N>> read_array()
    {
        auto at = bytes_at(N, kShortByteRun);
        if (!at) return std::move(at).error();
        std::array<std::uint8_t, N> out;
        std::memcpy(out.data(), *at, N);
        pos_ += N;
        return out;
    }

    // Decodes `count` samples into dst, dst + step, ...; a short run fails
    // with "failed to fill whole buffer", as reading the samples one by one
    // would, and leaves the position where it was.
    Status read_samples(SampleWidth width, ByteOrder order, std::size_t count, double* dst, std::size_t step = 1);

private:
    enum class Kind { Memory, File, Stream };

    ByteSource(Kind kind, FileHandle file, std::uint64_t size, InterruptCheck check) noexcept;
    ByteSource(std::unique_ptr<RangeReader> reader, std::uint64_t size) noexcept;

    // Pointer to `n` bytes at the position, fetched first when they are not at
    // hand; a short read fails with `short_text`. The position does not move.
    Result<const std::uint8_t*> bytes_at(std::size_t n, std::string_view short_text)
    {
        const std::uint64_t offset = pos_ - base_;
        if (pos_ >= base_ && offset <= view_.size() && n <= view_.size() - offset) return view_.data() + offset;
        return fetch(n, short_text);
    }
    Result<const std::uint8_t*> fetch(std::size_t n, std::string_view short_text);
    // File form: reads the window at the position, at least `n` bytes of it.
    Status load_window(std::size_t n, std::string_view short_text);
    // Stream form: reads forward until `end` bytes are in, or the stream ends.
    Status fill_to(std::uint64_t end);
    Status failed_io(const IoOutcome& outcome);

    template <class U>
    Result<U> read_number(ByteOrder order)
    {
        auto at = bytes_at(sizeof(U), kShortNumberRead);
        if (!at) return std::move(at).error();
        pos_ += sizeof(U);
        return load<U>(*at, order);
    }

    Kind kind_ = Kind::Memory;
    std::vector<std::uint8_t> owned_;     // memory: the content (empty when borrowing);
                                          // file: the window; stream: all read so far
    std::span<const std::uint8_t> view_;  // the bytes at hand, starting at offset base_
    std::uint64_t base_ = 0;
    std::size_t window_ = 0;  // file form: the size of the last window read
    std::uint64_t size_ = 0;
    std::uint64_t pos_ = 0;
    FileHandle file_;                      // stream form
    std::unique_ptr<RangeReader> ranges_;  // file form
    InterruptCheck check_ = nullptr;
    InterruptCheck window_check_ = nullptr;
    std::uint64_t unchecked_bytes_ = 0;  // decoded since the window check was last consulted
    bool ended_ = true;                  // stream: its end has been read
    std::string read_error_;             // the first operating-system read error, kept
};

// The whole message of an open failure.
inline constexpr std::string_view kOpenFailed = "Error reading the data!";

struct OpenError {
    bool interrupted = false;  // the open was ended by the interrupt check
    std::string text() const { return std::string(kOpenFailed); }
};

// The source of one parse: a path or an in-memory byte vector.
class DataContainer {
public:
    // `check` is consulted when a blocking open or read of the path is
    // interrupted by a signal (see InterruptCheck).
    static DataContainer from_path(std::string path, InterruptCheck check = nullptr)
    {
        return DataContainer(Path{std::move(path), check});
    }
    static DataContainer from_bytes(std::vector<std::uint8_t> bytes) { return DataContainer(std::move(bytes)); }
    // The in-memory form without a copy: the caller keeps the bytes alive and
    // unchanged until the parse has returned.
    static DataContainer from_borrowed_bytes(std::span<const std::uint8_t> bytes)
    {
        return DataContainer(Borrowed{bytes});
    }

    // The path form opens the file read-only and fails with OpenError when it
    // cannot; the byte form always succeeds.
    Result<ByteSource, OpenError> load_data() &&;

private:
    struct Path {
        std::string bytes;  // file-system encoding, as given
        InterruptCheck check;
    };
    struct Borrowed {
        std::span<const std::uint8_t> bytes;
    };
    using Source = std::variant<Path, std::vector<std::uint8_t>, Borrowed>;
    explicit DataContainer(Source source) : source_(std::move(source)) {}

    Source source_;
};

}  // namespace vorn
