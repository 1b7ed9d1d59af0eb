// The parameter block: named, typed acquisition parameters.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "byte_source.h"
#include "headers.h"
#include "read_error.h"

namespace vorn {

struct ComplexNumber {
    double real = 0.0;
    double imag = 0.0;

    template <class Out>
    void serialize(Out& out) const
    {
        out.field("real", real);
        out.field("imag", imag);
    }
    bool operator==(const ComplexNumber&) const = default;
};

// A parameter's value, output untagged. Alternatives, in order: String,
// Integer (also what an "Infinity" value gives), Float, Complex.
using ParamValue = std::variant<std::string, std::int32_t, double, ComplexNumber>;

struct Param {
    std::int16_t scaler = 0;
    std::vector<Unit> unit;  // five units; only the first is ever interpreted
    std::string value_type;
    ParamValue value;
    std::string name;  // lower-cased

    template <class Out>
    void serialize(Out& out) const
    {
        out.field("scaler", scaler);
        out.field("unit", unit);
        out.field("valueType", value_type);
        out.field("value", value);
        out.field("name", name);
    }
    bool operator==(const Param&) const = default;
};

struct Parameters {
    std::uint32_t parameters_size = 0;
    std::uint32_t low_index = 0;
    std::uint32_t high_index = 0;  // the number of records
    std::uint32_t total_size = 0;
    std::vector<Param> param_array;

    template <class Out>
    void serialize(Out& out) const
    {
        out.field("parametersSize", parameters_size);
        out.field("lowIndex", low_index);
        out.field("highIndex", high_index);
        out.field("totalSize", total_size);
        out.field("paramArray", param_array);
    }
    bool operator==(const Parameters&) const = default;
};

// Reads the block at the current position in the file's byte order.
Result<Parameters> read_parameters(ByteSource& src, ByteOrder order);
// Reads one 64-byte record; on success the position is the record's end.
Result<Param> read_param(ByteSource& src, ByteOrder order);

}  // namespace vorn
