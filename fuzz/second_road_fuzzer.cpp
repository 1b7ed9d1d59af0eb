// libFuzzer target: the reading of metadata and samples apart, as
// vorn_tools._native does it, through a range reader that comes back short
// wherever the input says and a sink that checks every slot it hands out.
// Whatever the bytes, the samples road agrees with the whole parse: both
// succeed with the same samples, or fail with the same root reason.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "failure.h"
#include "internal_failure.h"
#include "layout.h"
#include "vorn_data_file.h"

namespace {

[[noreturn]] void broken(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Serves the content; past `stop` it comes back short (as a reader of a file
// that shrank would), and never with more bytes than asked for.
class ShortReader final : public vorn::RangeReader {
public:
    ShortReader(const std::uint8_t* data, std::size_t size, std::size_t stop) : data_(data), size_(size), stop_(stop) {}
    vorn::IoOutcome read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n) override
    {
        const std::size_t end = std::min(size_, stop_);
        if (offset >= end) return vorn::IoOutcome{0, 0, false};
        const std::size_t got = std::min<std::size_t>(n, end - static_cast<std::size_t>(offset));
        std::memcpy(dst, data_ + offset, got);
        return vorn::IoOutcome{got, 0, false};
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t stop_;
};

// Every row it hands out lies inside the section begun last.
class BoundsSink final : public vorn::SectionSink {
public:
    void begin_section(vorn::Section, std::uint64_t rows, std::uint64_t columns) override
    {
        if (columns != 0 && rows > (std::uint64_t{1} << 32) / columns) broken("section larger than the file");
        rows_ = rows;
        columns_ = columns;
        cells_.assign(static_cast<std::size_t>(rows * columns), 0.0);
        ++sections;
    }
    vorn::RowSlots row(std::uint64_t r) override
    {
        if (r >= rows_) broken("row outside the section");
        return {cells_.data() + r * columns_, 1};
    }
    int sections = 0;

private:
    std::uint64_t rows_ = 0;
    std::uint64_t columns_ = 0;
    std::vector<double> cells_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) return 0;
    // The first two bytes choose where the reader stops short (0: never).
    const std::size_t choice = std::size_t{data[0]} << 8 | data[1];
    const std::size_t stop = choice == 0 ? SIZE_MAX : choice * 16;
    data += 2;
    size -= 2;
    vorn::ByteSource src = vorn::ByteSource::ranges(std::make_unique<ShortReader>(data, size, stop), size);
    try {
        auto meta = vorn::read_metadata(src);
        if (!meta) {
            if (meta.error().root_cause().empty()) broken("read error without a root cause");
            (void)vorn::describe_failure(vorn::ParseError(meta.error()));
            return 0;
        }
        const vorn::Layout layout = vorn::describe_layout(meta->headers);
        auto cut = vorn::cut_short(layout, src);
        BoundsSink sink;
        auto status = vorn::read_data_into(src, meta->headers, sink);
        // A file the size check finds too short cannot be read whole.
        if (cut && *cut && status) broken("a cut file read whole");
        if (status && stop == SIZE_MAX && layout.sample_bytes && layout.data_end && *layout.data_end > size &&
            layout.data_bytes > 0) {
            broken("samples read past the end");
        }
    } catch (const vorn::InternalFailure& e) {
        if (e.message().empty()) broken("internal failure without a message");
        std::vector<std::uint8_t> lead(data, data + std::min<std::size_t>(size, vorn::kIdentifyingBytes));
        (void)vorn::describe_failure(e, lead);
    }
    return 0;
}
