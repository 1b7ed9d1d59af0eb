// The checker's view of the data section: what the data step of a parse will
// meet, told from the header and the file's size, and the samples' scan.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audit_codes.h"
#include "byte_source.h"
#include "headers.h"

namespace vorn {

// A finding before it is written up.
struct Fault {
    Code code;
    std::optional<std::uint64_t> offset;
    std::string field;
    std::string text;
};

struct DataPlan {
    std::optional<Fault> fault;      // where the data step fails, if it does
    std::uint64_t end = 0;           // one past the last byte it reads
    std::uint32_t sections = 0;      // the section count of the axis kinds
    std::uint64_t sample_width = 0;  // bytes a sample; 0 for a type it refuses
};

// Follows the data step's checks in its order (sample type at each run, each
// section's size against the bytes left, the Two_D empty rows against the
// file's size, the section count) without decoding a sample. A stream is read
// forward as far as the checks need, as the step itself would.
Result<DataPlan> plan_data(ByteSource& src, const Headers& headers);

// The data step's section `index` (in file order) by name: "data.re", ...;
// "data" for a section no field keeps.
std::string section_path(const Headers& headers, std::uint32_t sections, std::uint32_t index);

// Non-finite samples of one section.
struct NonFiniteSamples {
    std::string field;  // "data.re"
    std::uint64_t nan = 0;
    std::uint64_t infinite = 0;
    std::uint64_t first_offset = 0;  // the file offset of the first one
    std::uint64_t first_row = 0;
    std::uint64_t first_column = 0;
};

// Reads the samples through the data step of a parse (its failures are
// returned as a parse returns them; its internal failures leave as
// exceptions) and counts the non-finite ones of each kept section.
Result<std::vector<NonFiniteSamples>> scan_samples(ByteSource& src, const Headers& headers);

}  // namespace vorn
