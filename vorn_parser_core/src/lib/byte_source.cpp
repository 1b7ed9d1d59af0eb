// ByteSource reads and the file form of DataContainer.
#include "byte_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn {

ByteSource::ByteSource(std::vector<std::uint8_t> bytes) noexcept : owned_(std::move(bytes)), view_(owned_) {}

ByteSource::ByteSource(std::vector<std::uint8_t> bytes, std::string read_error) noexcept
    : owned_(std::move(bytes)), view_(owned_), read_error_(std::move(read_error))
{
}

ByteSource ByteSource::borrowing(std::span<const std::uint8_t> bytes) noexcept
{
    ByteSource src(std::vector<std::uint8_t>{});
    src.view_ = bytes;
    return src;
}

Status ByteSource::seek(std::uint64_t position) noexcept
{
    pos_ = position;
    return Ok{};
}

Result<std::int16_t> ByteSource::read_i16(ByteOrder order)
{
    auto r = read_number<std::uint16_t>(order);
    if (!r) return std::move(r).error();
    return static_cast<std::int16_t>(*r);
}

Result<std::int32_t> ByteSource::read_i32(ByteOrder order)
{
    auto r = read_number<std::uint32_t>(order);
    if (!r) return std::move(r).error();
    return static_cast<std::int32_t>(*r);
}

Result<double> ByteSource::read_f64(ByteOrder order)
{
    auto r = read_number<std::uint64_t>(order);
    if (!r) return std::move(r).error();
    return std::bit_cast<double>(*r);
}

Result<std::vector<std::uint8_t>> ByteSource::read_bytes(std::size_t n)
{
    if (!read_error_.empty()) return ReadError::io(read_error_);
    if (remaining() < n) return ReadError::io(std::string(kShortByteRun));
    if (n == 0) return std::vector<std::uint8_t>{};  // no pointer past the end
    const auto* p = view_.data() + pos_;
    pos_ += n;
    return std::vector<std::uint8_t>(p, p + n);
}

Status ByteSource::read_samples(SampleWidth width, ByteOrder order, std::size_t count, double* dst)
{
    if (!read_error_.empty()) return ReadError::io(read_error_);
    const auto w = static_cast<std::uint64_t>(width);
    // Comparing against the whole samples left keeps the check free of
    // overflow for any count; the width is 4 or 8, so a shift counts them
    // (this runs once per 32 samples of a Two_D section).
    const unsigned shift = width == SampleWidth::Eight ? 3 : 2;
    if (count > (remaining() >> shift)) return ReadError::io(std::string(kShortNumberRead));
    // The position may lie past the end, where no pointer may be formed.
    if (count == 0) return Ok{};
    decode_samples(view_.data() + pos_, count, width, order, dst);
    pos_ += count * w;
    return Ok{};
}

namespace {

// Reads a whole open file. The error text is empty on success.
std::string read_all(int fd, std::vector<std::uint8_t>& out)
{
    // A regular file is read into a buffer of its size, so that a single read
    // usually fills it. Only when the buffer is full is more content looked
    // for, through a small probe read: at the end that read returns 0 and the
    // buffer stays as it is; a file that grows, or one of unknown size, makes
    // the buffer double.
    struct stat st {};
    std::size_t expected = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        expected = static_cast<std::size_t>(st.st_size);
    }
    out.resize(expected > 0 ? expected : 65536);
    std::size_t filled = 0;
    for (;;) {
        std::uint8_t probe[4096];
        const bool full = filled == out.size();
        const ssize_t got = full ? ::read(fd, probe, sizeof probe) : ::read(fd, out.data() + filled, out.size() - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int code = errno;
            out.clear();
            return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
        }
        if (got == 0) break;
        const auto n = static_cast<std::size_t>(got);
        if (full) {
            out.resize(std::max(out.size() * 2, filled + n));
            std::memcpy(out.data() + filled, probe, n);
        }
        filled += n;
    }
    out.resize(filled);
    out.shrink_to_fit();
    return {};
}

}  // namespace

Result<ByteSource, OpenError> DataContainer::load_data() &&
{
    if (auto* bytes = std::get_if<std::vector<std::uint8_t>>(&source_)) {
        return ByteSource(std::move(*bytes));
    }
    if (auto* borrowed = std::get_if<Borrowed>(&source_)) return ByteSource::borrowing(borrowed->bytes);
    const std::string& path = std::get<Path>(source_).bytes;
    if (path.find('\0') != std::string::npos) return OpenError{};
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return OpenError{};
    std::vector<std::uint8_t> content;
    std::string error = read_all(fd, content);
    ::close(fd);
    return ByteSource(std::move(content), std::move(error));
}

}  // namespace vorn
