// What the header says about the data section, without reading it: the
// sections it holds, the points the reader keeps per axis and the bytes the
// samples take, so that callers need no copy of the layout rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "byte_source.h"
#include "headers.h"
#include "read_error.h"

namespace vorn {

struct Layout {
    bool two_d = false;
    std::uint32_t section_count = 0;  // as stored, kept or not
    // The kept sections by name, in the order they are stored.
    std::vector<std::string> sections;
    // Per axis (x, then y for Two_D): the header's points and the points the
    // reader keeps (Two_D keeps whole 32 x 32 blocks).
    std::vector<std::uint32_t> header_points;
    std::vector<std::uint32_t> kept_points;
    // The axis kinds of the header ("Complex", "Real", ...), per axis.
    std::vector<std::string> axis_kinds;
    // The shape of each kept section: (points) for One_D, (rows, columns).
    std::vector<std::uint64_t> shape;
    // Bytes per sample; none for a sample type the reader does not decode.
    std::optional<std::uint32_t> sample_bytes;
    // Where the stored samples end (data_start plus their bytes); none when
    // the sample type is unknown.
    std::optional<std::uint64_t> data_end;
    std::uint64_t data_bytes = 0;  // the stored samples' bytes (saturated)
};

Layout describe_layout(const Headers& headers);

// Whether the source is too short for the samples its header declares: one
// size comparison for a file or in memory, nothing decoded (a stream is read
// forward as far as that needs). A read error of a stream is returned.
Result<bool> cut_short(const Layout& layout, ByteSource& src);

}  // namespace vorn
