// Reader of the parameter block: four block words, then 64-byte records.
#include "parameters.h"

#include "code_tables.h"
#include "field.h"
#include "internal_failure.h"
#include "text.h"

namespace vorn {

namespace {

constexpr std::size_t kUnitsPerParam = 5;
constexpr std::size_t kStringValueWidth = 16;
constexpr std::size_t kNameWidth = 28;

// The value area (16 bytes at record offset 16) is followed by the 4-byte
// value-type code; the name starts right after that code.
constexpr std::uint64_t kValueAreaWidth = 16;
constexpr std::uint64_t kValueAreaSpan = 20;  // value area plus value-type code
constexpr std::uint64_t kNameOffset = 36;

Result<ComplexNumber> read_complex_fields(ByteSource& src, ByteOrder order)
{
    constexpr std::string_view in = "ComplexNumber";
    ComplexNumber c;
    VORN_ASSIGN_OR_RETURN(c.real, field(src, "real", in).read(src.read_f64(order)));
    VORN_ASSIGN_OR_RETURN(c.imag, field(src, "imag", in).read(src.read_f64(order)));
    return c;
}

Result<ComplexNumber> read_complex(ByteSource& src, ByteOrder order)
{
    return record(src).read(read_complex_fields(src, order));
}

// Decodes the value area by its kind. "Infinity" values are stored as
// integers; the kind alone tells them apart.
Result<ParamValue> read_value(ByteSource& src, ByteOrder order, ValueType kind)
{
    switch (kind) {
    case ValueType::String: {
        VORN_ASSIGN_OR_RETURN(auto text, read_text(src, kStringValueWidth));
        return ParamValue(std::in_place_type<std::string>, std::move(text));
    }
    case ValueType::Integer:
    case ValueType::Infinity: {
        VORN_ASSIGN_OR_RETURN(const std::int32_t v, src.read_i32(order));
        return ParamValue(std::in_place_type<std::int32_t>, v);
    }
    case ValueType::Float: {
        VORN_ASSIGN_OR_RETURN(const double v, src.read_f64(order));
        return ParamValue(std::in_place_type<double>, v);
    }
    case ValueType::Complex: {
        VORN_ASSIGN_OR_RETURN(const ComplexNumber c, read_complex(src, order));
        return ParamValue(std::in_place_type<ComplexNumber>, c);
    }
    }
    fail("no such parameter value kind");
}

Result<Param> read_param_fields(ByteSource& src, ByteOrder order)
{
    constexpr std::string_view in = "Param";
    const std::uint64_t start = src.position();
    Param p;
    VORN_TRY(src.seek(start + 4));  // four bytes not interpreted
    VORN_ASSIGN_OR_RETURN(p.scaler, field(src, "scaler", in).read(src.read_i16(order)));
    VORN_ASSIGN_OR_RETURN(p.unit, field(src, "unit", in).read(read_units(src, kUnitsPerParam)));

    // The kind of the value sits after the value area, so read it first and
    // step back. Only its low byte selects the kind; every row of VALUE_TYPE
    // is a ValueType.
    VORN_TRY(src.seek(src.position() + kValueAreaWidth));
    VORN_ASSIGN_OR_RETURN(const std::int32_t code, field(src, "value_type", in).read(src.read_i32(order)));
    const auto low_byte = static_cast<int>(static_cast<std::uint32_t>(code) & 0xFFU);
    p.value_type = name_or_fail(VALUE_TYPE(), low_byte);
    const auto kind = static_cast<ValueType>(low_byte);
    VORN_TRY(src.seek(src.position() - kValueAreaSpan));
    VORN_ASSIGN_OR_RETURN(p.value, field(src, "value", in).read(read_value(src, order, kind)));

    // Whatever the value consumed, the name follows the value-type code.
    VORN_TRY(src.seek(start + kNameOffset));
    VORN_ASSIGN_OR_RETURN(p.name, field(src, "name", in).read(read_text(src, kNameWidth, true)));
    return p;
}

// high_index is a count taken from the file: records are appended as they are
// read, never reserved up front, so a damaged count on a short file ends in a
// short read rather than a huge allocation.
Result<std::vector<Param>> read_param_array(ByteSource& src, ByteOrder order, std::uint32_t count)
{
    std::vector<Param> params;
    for (std::uint32_t i = 0; i < count; ++i) {
        VORN_ASSIGN_OR_RETURN(Param p, read_param(src, order));
        params.push_back(std::move(p));
    }
    return params;
}

Result<Parameters> read_parameter_fields(ByteSource& src, ByteOrder order)
{
    constexpr std::string_view in = "Parameters";
    Parameters ps;
    VORN_ASSIGN_OR_RETURN(ps.parameters_size, field(src, "parameters_size", in).read(src.read_u32(order)));
    VORN_ASSIGN_OR_RETURN(ps.low_index, field(src, "low_index", in).read(src.read_u32(order)));
    VORN_ASSIGN_OR_RETURN(ps.high_index, field(src, "high_index", in).read(src.read_u32(order)));
    VORN_ASSIGN_OR_RETURN(ps.total_size, field(src, "total_size", in).read(src.read_u32(order)));
    VORN_ASSIGN_OR_RETURN(ps.param_array,
                          field(src, "param_array", in).read(read_param_array(src, order, ps.high_index)));
    return ps;
}

}  // namespace

Result<Param> read_param(ByteSource& src, ByteOrder order) { return record(src).read(read_param_fields(src, order)); }

Result<Parameters> read_parameters(ByteSource& src, ByteOrder order)
{
    return record(src).read(read_parameter_fields(src, order));
}

}  // namespace vorn
