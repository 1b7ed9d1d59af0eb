// The unchanged-file check of a second read of one file.
#include "unchanged.h"

#include <algorithm>

namespace vorn::py {

namespace {

Result<std::vector<std::uint8_t>> bytes_at(ByteSource& src, std::uint64_t start, std::uint64_t end)
{
    // Both runs were read whole at open: they lie within the size the file had.
    if (end <= start) return std::vector<std::uint8_t>{};
    if (end > src.size()) return ReadError::short_read("");
    Status moved = src.seek(start);
    if (!moved) return std::move(moved).error();
    return src.read_bytes(static_cast<std::size_t>(end - start));
}

// The header block and the parameter block as they are now; none when they
// cannot be read whole.
std::optional<std::vector<std::uint8_t>> metadata_bytes(ByteSource& src, std::uint64_t parameters_start,
                                                        std::uint64_t parameters_end)
{
    const std::uint64_t back = src.position();
    // No read after a failed one: a file object's error stays set for the caller.
    std::optional<std::vector<std::uint8_t>> out;
    auto head = bytes_at(src, 0, std::min<std::uint64_t>(kHeaderSize, src.size()));
    if (head) {
        auto block = bytes_at(src, parameters_start, parameters_end);
        if (block) {
            out = std::move(*head);
            out->insert(out->end(), block->begin(), block->end());
        }
    }
    (void)src.seek(back);
    return out;
}

}  // namespace

OpenedAs opened_as(ByteSource& src, const Headers& headers, std::optional<FileIdentity> identity)
{
    OpenedAs was;
    was.checked = true;
    was.identity = identity;
    was.size = src.size();
    was.parameters_start = headers.param_start;
    was.parameters_end = src.position();
    auto bytes = metadata_bytes(src, was.parameters_start, was.parameters_end);
    was.comparable = bytes.has_value();
    if (bytes) was.metadata = std::move(*bytes);
    return was;
}

bool same_file(const OpenedAs& was, ByteSource& src)
{
    if (!was.checked) return true;
    if (!was.comparable || was.identity != src.identity() || was.size != src.size()) return false;
    auto now = metadata_bytes(src, was.parameters_start, was.parameters_end);
    return now && *now == was.metadata;
}

}  // namespace vorn::py
