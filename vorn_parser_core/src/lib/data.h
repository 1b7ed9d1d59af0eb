// The data section: sections of samples in the One_D or Two_D layout.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "byte_source.h"
#include "read_error.h"

namespace vorn {

using Row = std::vector<double>;
using Matrix = std::vector<Row>;

// The Pair form of a DataField.
struct DataPair {
    Matrix im;
    Matrix re;

    template <class Out>
    void serialize(Out& out) const
    {
        out.field("im", im);
        out.field("re", re);
    }
    bool operator==(const DataPair&) const = default;
};

// Output untagged: Single (one matrix) or Pair.
using DataField = std::variant<Matrix, DataPair>;

struct Data {
    DataField im;
    DataField re;

    template <class Out>
    void serialize(Out& out) const
    {
        out.field("im", im);
        out.field("re", re);
    }
    bool operator==(const Data&) const = default;
};

// The four named sections; those the file does not fill stay empty.
struct SectionMap {
    Matrix re;
    Matrix im;
    Matrix re_im;
    Matrix im_re;

    Matrix& operator[](std::string_view name);
};

// 1, doubled by each "Complex" axis, plus one for the first "Real_Complex".
std::uint32_t get_data_section_count(const std::vector<std::string>& axis_types);

// One run of `count` samples of the named type, widened to double.
Result<Row> read_vector(ByteSource& src, ByteOrder order, const std::string& data_type, std::uint32_t count);

// The field for "im" or "re"; moves the matrices it uses out of the map.
DataField store_data_result(SectionMap& sections, std::uint32_t count, std::string_view name);

// The data step, read at the current position (the header's data_start).
Result<Data> read_data(ByteSource& src, ByteOrder order, const std::vector<std::string>& data_axis_type,
                       const std::string& data_type, const std::string& data_format,
                       const std::vector<std::uint32_t>& data_points);

}  // namespace vorn
