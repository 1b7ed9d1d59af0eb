// ByteSource reads in its three forms, and the path form of DataContainer.
#include "byte_source.h"

#include <algorithm>
#include <sys/stat.h>

#include "internal_failure.h"

namespace vorn {

namespace {

// The window of a regular file: what one positioned read fetches at least.
// Small enough that reading only the header and the parameter block of a
// large file costs little; a window that continues the one before doubles,
// up to kLongWindow, so a long run of samples takes few calls.
constexpr std::size_t kWindow = std::size_t{64} * 1024;
constexpr std::size_t kLongWindow = std::size_t{1024} * 1024;
// The first read of a stream, and the least it grows by.
constexpr std::size_t kStreamChunk = std::size_t{64} * 1024;
// The bytes of samples decoded between two window checks.
constexpr std::uint64_t kCheckedRun = std::uint64_t{1024} * 1024;

}  // namespace

ByteSource::ByteSource(std::vector<std::uint8_t> bytes) noexcept
    : owned_(std::move(bytes)), view_(owned_), size_(view_.size())
{
}

ByteSource::ByteSource(Kind kind, FileHandle file, std::uint64_t size, InterruptCheck check) noexcept
    : kind_(kind), size_(size), file_(std::move(file)), check_(check), ended_(kind != Kind::Stream)
{
}

ByteSource::ByteSource(std::unique_ptr<RangeReader> reader, std::uint64_t size) noexcept
    : kind_(Kind::File), size_(size), ranges_(std::move(reader))
{
}

namespace {

// The operating system's positioned reads of an open regular file.
class PositionedFile final : public RangeReader {
public:
    PositionedFile(FileHandle file, InterruptCheck check) : file_(std::move(file)), check_(check) {}
    IoOutcome read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n) override
    {
        return vorn::read_at(file_.get(), dst, n, offset, check_);
    }
    std::optional<FileIdentity> identity() const override { return identity_of(file_.get()); }

private:
    FileHandle file_;
    InterruptCheck check_;
};

}  // namespace

ByteSource ByteSource::borrowing(std::span<const std::uint8_t> bytes) noexcept
{
    ByteSource src(std::vector<std::uint8_t>{});
    src.view_ = bytes;
    src.size_ = bytes.size();
    return src;
}

ByteSource ByteSource::file(FileHandle file, std::uint64_t size, InterruptCheck check)
{
    return ranges(std::make_unique<PositionedFile>(std::move(file), check), size);
}

ByteSource ByteSource::ranges(std::unique_ptr<RangeReader> reader, std::uint64_t size) noexcept
{
    return ByteSource(std::move(reader), size);
}

ByteSource ByteSource::stream(FileHandle file, InterruptCheck check) noexcept
{
    return ByteSource(Kind::Stream, std::move(file), 0, check);
}

Status ByteSource::seek(std::uint64_t position) noexcept
{
    pos_ = position;
    return Ok{};
}

Status ByteSource::failed_io(const IoOutcome& outcome)
{
    if (outcome.interrupted) return ReadError::interrupted();
    // An operating-system read error is kept: every later read returns it, as
    // a buffered reader whose device failed would.
    if (read_error_.empty()) read_error_ = os_error_text(outcome.error);
    return ReadError::io(read_error_);
}

Status ByteSource::fill_to(std::uint64_t end)
{
    while (size_ < end && !ended_) {
        if (size_ == owned_.size()) {
            // Grows by what is already in (at least a chunk), so memory stays
            // in proportion to the bytes actually delivered, whatever `end` a
            // damaged header asks for.
            owned_.resize(owned_.size() + std::max<std::size_t>(kStreamChunk, owned_.size()));
            view_ = std::span<const std::uint8_t>(owned_.data(), static_cast<std::size_t>(size_));
        }
        const auto at = static_cast<std::size_t>(size_);
        const IoOutcome got = read_some(file_.get(), owned_.data() + at, owned_.size() - at, check_);
        if (!got.ok()) return failed_io(got);
        if (got.bytes == 0) {
            ended_ = true;
            file_.reset();
        }
        size_ += got.bytes;
        view_ = std::span<const std::uint8_t>(owned_.data(), static_cast<std::size_t>(size_));
    }
    return Ok{};
}

Status ByteSource::load_window(std::size_t n, std::string_view short_text)
{
    if (pos_ > size_ || n > size_ - pos_) return ReadError::short_read(short_text);
    // Never past the size the file had when it was opened.
    const bool continues = !view_.empty() && pos_ == base_ + view_.size();
    window_ = continues ? std::min(window_ * 2, kLongWindow) : kWindow;
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(std::max(n, window_), size_ - pos_));
    if (owned_.size() < want) owned_.resize(want);
    view_ = {};  // nothing at hand until the read succeeds
    const IoOutcome got = ranges_->read_at(pos_, owned_.data(), want);
    if (got.bytes > want) fail("a range reader returned more bytes than were asked for");
    if (!got.ok()) return failed_io(got);
    base_ = pos_;
    view_ = std::span<const std::uint8_t>(owned_.data(), got.bytes);
    // A file that shrank since it was opened ends early.
    if (got.bytes < n) return ReadError::short_read(short_text);
    return Ok{};
}

Result<const std::uint8_t*> ByteSource::fetch(std::size_t n, std::string_view short_text)
{
    if (!read_error_.empty()) return ReadError::io(read_error_);
    switch (kind_) {
    case Kind::Memory:
        return ReadError::short_read(short_text);
    case Kind::File: {
        auto loaded = load_window(n, short_text);
        if (!loaded) return std::move(loaded).error();
        return view_.data();
    }
    case Kind::Stream:
        break;
    }
    const std::uint64_t end = pos_ + n < pos_ ? UINT64_MAX : pos_ + n;
    auto filled = fill_to(end);
    if (!filled) return std::move(filled).error();
    if (size_ < end) return ReadError::short_read(short_text);
    return view_.data() + pos_;
}

Result<bool> ByteSource::holds_at_least(std::uint64_t n)
{
    if (kind_ == Kind::Stream) {
        auto filled = fill_to(n);
        if (!filled) return std::move(filled).error();
    }
    return size_ >= n;
}

Result<bool> ByteSource::can_read(std::uint64_t n)
{
    if (pos_ > UINT64_MAX - n) return false;
    return holds_at_least(pos_ + n);
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
    if (n == 0) {
        // No pointer is formed, but a kept read error still shows.
        if (!read_error_.empty()) return ReadError::io(read_error_);
        return std::vector<std::uint8_t>{};
    }
    auto at = bytes_at(n, kShortByteRun);
    if (!at) return std::move(at).error();
    pos_ += n;
    return std::vector<std::uint8_t>(*at, *at + n);
}

Status ByteSource::read_samples(SampleWidth width, ByteOrder order, std::size_t count, double* dst, std::size_t step)
{
    if (!read_error_.empty()) return ReadError::io(read_error_);
    const auto w = static_cast<std::uint64_t>(width);
    // Checked against the whole run first: a run that is not all there reads
    // nothing. count * w cannot overflow once count <= remaining / w.
    if (kind_ == Kind::Stream) {
        const std::uint64_t need = count > UINT64_MAX / w ? UINT64_MAX : count * w;
        auto in = can_read(need);
        if (!in) return std::move(in).error();
        if (!*in) return ReadError::short_read(kShortNumberRead);
    } else if (count > remaining() / w) {
        return ReadError::short_read(kShortNumberRead);
    }
    // The position may lie past the end, where no pointer may be formed.
    if (count == 0) return Ok{};
    const std::uint64_t start = pos_;
    while (count > 0) {
        const std::uint64_t offset = pos_ - base_;
        std::size_t at_hand = 0;
        if (pos_ >= base_ && offset < view_.size()) at_hand = static_cast<std::size_t>((view_.size() - offset) / w);
        if (at_hand == 0) {
            // Only a file's window runs out: memory and streams hold the run.
            auto loaded = load_window(static_cast<std::size_t>(w), kShortNumberRead);
            if (!loaded) {
                pos_ = start;
                return std::move(loaded).error();
            }
            continue;
        }
        std::size_t k = std::min(count, at_hand);
        if (window_check_ != nullptr) {
            // Runs of about kCheckedRun bytes, the check consulted between them.
            if (unchecked_bytes_ >= kCheckedRun) {
                unchecked_bytes_ = 0;
                if (window_check_()) {
                    pos_ = start;
                    return ReadError::interrupted();
                }
            }
            k = std::min<std::size_t>(k, static_cast<std::size_t>((kCheckedRun - unchecked_bytes_) / w) + 1);
            unchecked_bytes_ += k * w;
        }
        decode_samples(view_.data() + (pos_ - base_), k, width, order, dst, step);
        pos_ += k * w;
        dst += k * step;
        count -= k;
    }
    return Ok{};
}

Result<ByteSource, OpenError> DataContainer::load_data() &&
{
    if (auto* bytes = std::get_if<std::vector<std::uint8_t>>(&source_)) {
        return ByteSource(std::move(*bytes));
    }
    if (auto* borrowed = std::get_if<Borrowed>(&source_)) return ByteSource::borrowing(borrowed->bytes);
    const Path& path = std::get<Path>(source_);
    if (path.bytes.find('\0') != std::string::npos) return OpenError{};
    OpenOutcome opened = open_read_only(path.bytes, path.check);
    if (!opened.file) return OpenError{opened.interrupted};
    // A regular file with a size is read by ranges. Everything else (pipes,
    // devices, /proc files that report no size, directories, whose first read
    // fails) is read as a stream.
    struct stat st{};
    if (::fstat(opened.file.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        return ByteSource::file(std::move(opened.file), static_cast<std::uint64_t>(st.st_size), path.check);
    }
    return ByteSource::stream(std::move(opened.file), path.check);
}

}  // namespace vorn
