// DataContainer and ByteSource: where the bytes of one parse come from.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "byte_order.h"
#include "read_error.h"

namespace vorn {

// A seekable reader over the whole content of one file. Every read is
// all-or-nothing: a read that cannot be served whole fails without moving the
// position, so a failed number read is already rewound.
class ByteSource {
public:
    // In-memory form: takes ownership of the bytes; the position starts at 0.
    explicit ByteSource(std::vector<std::uint8_t> bytes) noexcept;
    // File form: the content read at open, and the operating system's read
    // error when reading failed; that error is then what every read returns,
    // so it surfaces at the first read as with a buffered file.
    ByteSource(std::vector<std::uint8_t> bytes, std::string read_error) noexcept;
    // In-memory form over bytes owned elsewhere, which must stay alive and
    // unchanged for as long as the source is read.
    static ByteSource borrowing(std::span<const std::uint8_t> bytes) noexcept;

    ByteSource(ByteSource&&) noexcept = default;
    ByteSource& operator=(ByteSource&&) noexcept = default;
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    std::uint64_t position() const noexcept { return pos_; }
    std::uint64_t size() const noexcept { return view_.size(); }
    // Bytes between the position and the end; 0 when positioned past the end.
    std::uint64_t remaining() const noexcept { return pos_ < view_.size() ? view_.size() - pos_ : 0; }

    // Any position is accepted; a read past the end then fails as a short read.
    Status seek(std::uint64_t position) noexcept;

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
        if (!read_error_.empty()) return ReadError::io(read_error_);
        if (remaining() < N) return ReadError::io(std::string(kShortByteRun));
        std::array<std::uint8_t, N> out;
        std::memcpy(out.data(), view_.data() + pos_, N);
        pos_ += N;
        return out;
    }

    // Decodes `count` samples into dst with one bounds check; a short run
    // fails with "failed to fill whole buffer", as reading the samples one
    // by one would, and reads nothing.
    Status read_samples(SampleWidth width, ByteOrder order, std::size_t count, double* dst);

private:
    template <class U>
    Result<U> read_number(ByteOrder order)
    {
        if (!read_error_.empty()) return ReadError::io(read_error_);
        if (remaining() < sizeof(U)) return ReadError::io(std::string(kShortNumberRead));
        U v = load<U>(view_.data() + pos_, order);
        pos_ += sizeof(U);
        return v;
    }

    std::vector<std::uint8_t> owned_;        // empty when borrowing
    std::span<const std::uint8_t> view_;     // what is read: owned_ or borrowed bytes
    std::string read_error_;
    std::uint64_t pos_ = 0;
};

// The whole message of an open failure.
inline constexpr std::string_view kOpenFailed = "Error reading the data!";

struct OpenError {
    std::string text() const { return std::string(kOpenFailed); }
};

// The source of one parse: a path or an in-memory byte vector.
class DataContainer {
public:
    static DataContainer from_path(std::string path) { return DataContainer(Path{std::move(path)}); }
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
    };
    struct Borrowed {
        std::span<const std::uint8_t> bytes;
    };
    using Source = std::variant<Path, std::vector<std::uint8_t>, Borrowed>;
    explicit DataContainer(Source source) : source_(std::move(source)) {}

    Source source_;
};

}  // namespace vorn
