// What a file was when its metadata was read, so that its samples are read
// from the same file: the descriptor's identity (a path), the size, and the
// bytes the header and parameter blocks were read from.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "byte_source.h"
#include "headers.h"

namespace vorn::py {

struct OpenedAs {
    bool checked = false;                  // false: content that cannot change (bytes)
    std::optional<FileIdentity> identity;  // a regular file opened by path
    std::uint64_t size = 0;
    std::uint64_t parameters_start = 0;
    std::uint64_t parameters_end = 0;
    std::vector<std::uint8_t> metadata;  // the header block, then the parameter block
    bool comparable = false;             // false: no later read can be shown to be of the same file
};

// Taken right after the metadata was read, at the end of the parameter block;
// `identity` is the descriptor's from before the read. The blocks' bytes are
// read again (mostly from the window at hand).
OpenedAs opened_as(ByteSource& src, const Headers& headers, std::optional<FileIdentity> identity);

// Whether `src` is the file that was opened: the same descriptor identity
// and size, and the same metadata bytes read again. The position is left
// where it was.
bool same_file(const OpenedAs& was, ByteSource& src);

}  // namespace vorn::py
