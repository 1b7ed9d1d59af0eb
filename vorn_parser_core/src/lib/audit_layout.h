// Where the fields of the header block and of a parameter record lie, for the
// checker: to name the field at which a read failed and to find the raw bytes
// of a text the reader altered. The readers themselves read field by field and
// need no offsets; the checker's tests tie each offset here to the reader.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "byte_order.h"

namespace vorn {

// A field of the file: its first byte and its path in the result document
// ("headers.title", "parameters.paramArray[3].name").
struct Place {
    std::uint64_t offset = 0;
    std::string field;
};

// The header field whose read fails first when the file ends at `end` (below
// the header's size): the first field, in reading order, not wholly before it.
Place header_place_cut_at(std::uint64_t end);

// A field whose bytes the reader cannot decode: a code its table lacks, or text
// that is not UTF-8. The offset is that of the code's own byte (of a unit, its
// second; of a value kind, its low byte), or of the text's first.
struct Undecodable {
    Place place;
    bool text = false;  // not UTF-8 (else a code without a name)
};

// The first such header field, in reading order, among the bytes given (the
// file's first bytes, up to the header's size).
std::optional<Undecodable> first_undecodable_header_field(std::span<const std::uint8_t> header);

// The fixed-width text fields of the header: offset, width and path.
struct TextField {
    std::uint64_t offset;
    std::size_t width;
    std::string field;
};
std::vector<TextField> header_text_fields();

// The parameter block: four words, then records of 64 bytes.
inline constexpr std::uint64_t kParamBlockHead = 16;
inline constexpr std::uint64_t kParamRecord = 64;
inline constexpr std::uint64_t kParamValueAt = 16;  // within a record
inline constexpr std::size_t kParamValueWidth = 16;
inline constexpr std::uint64_t kParamNameAt = 36;
inline constexpr std::size_t kParamNameWidth = 28;

std::uint64_t param_record_at(std::uint64_t param_start, std::uint64_t index);
std::string param_path(std::uint64_t index, std::string_view field);

// The field of the parameter block at `param_start` whose read fails first when
// the file ends at `end` (past the block's start).
Place parameter_place_cut_at(std::uint64_t param_start, std::uint64_t end);

// The first parameter field, in reading order, that the reader cannot decode,
// among the records wholly in `block` (the block's bytes from its start).
std::optional<Undecodable> first_undecodable_parameter(std::span<const std::uint8_t> block, std::uint64_t param_start,
                                                       ByteOrder order);

}  // namespace vorn
