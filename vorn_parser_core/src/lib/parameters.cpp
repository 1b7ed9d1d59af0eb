// Reader of the parameter block: four block words, then 64-byte records.
#include "parameters.h"

#include "code_tables.h"
#include "field.h"
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

template <class F>
auto param_field(ByteSource& src, std::string_view name, F&& read, SourceLoc where = SourceLoc::current())
{
    return read_field(src, name, "Param", std::forward<F>(read), where);
}

template <class F>
auto block_field(ByteSource& src, std::string_view name, F&& read, SourceLoc where = SourceLoc::current())
{
    return read_field(src, name, "Parameters", std::forward<F>(read), where);
}

Result<std::string> read_text(ByteSource& src, std::size_t width, bool lowercase)
{
    auto bytes = src.read_bytes(width);
    if (!bytes) return std::move(bytes).error();
    return read_string(std::move(*bytes), lowercase);
}

Result<ComplexNumber> read_complex(ByteSource& src, ByteOrder order)
{
    return read_record(src, [&]() -> Result<ComplexNumber> {
        ComplexNumber c;
        c.real = VORN_TRY(read_field(src, "real", "ComplexNumber", [&] { return src.read_f64(order); }));
        c.imag = VORN_TRY(read_field(src, "imag", "ComplexNumber", [&] { return src.read_f64(order); }));
        return c;
    });
}

// Decodes the value area by the kind's name. "Infinity" values are stored as
// integers; the kind name alone tells them apart.
Result<ParamValue> read_value(ByteSource& src, ByteOrder order, std::string_view kind)
{
    if (kind == "String") {
        auto text = VORN_TRY(read_text(src, kStringValueWidth, false));
        return ParamValue(std::in_place_type<std::string>, std::move(text));
    }
    if (kind == "Integer" || kind == "Infinity") {
        const std::int32_t v = VORN_TRY(src.read_i32(order));
        return ParamValue(std::in_place_type<std::int32_t>, v);
    }
    if (kind == "Float") {
        const double v = VORN_TRY(src.read_f64(order));
        return ParamValue(std::in_place_type<double>, v);
    }
    // "Complex": VALUE_TYPE has no other name.
    const ComplexNumber c = VORN_TRY(read_complex(src, order));
    return ParamValue(std::in_place_type<ComplexNumber>, c);
}

}  // namespace

Result<Param> read_param(ByteSource& src, ByteOrder order)
{
    return read_record(src, [&]() -> Result<Param> {
        const std::uint64_t start = src.position();
        Param p;
        VORN_TRY(src.seek(start + 4));  // four bytes not interpreted
        p.scaler = VORN_TRY(param_field(src, "scaler", [&] { return src.read_i16(order); }));
        p.unit = VORN_TRY(param_field(src, "unit", [&]() -> Result<std::vector<Unit>> {
            std::vector<Unit> units;
            units.reserve(kUnitsPerParam);
            for (std::size_t i = 0; i < kUnitsPerParam; ++i) units.push_back(VORN_TRY(read_unit(src)));
            return units;
        }));

        // The kind of the value sits after the value area, so read it first
        // and step back. Only its low byte selects the kind.
        VORN_TRY(src.seek(src.position() + kValueAreaWidth));
        const std::int32_t code = VORN_TRY(param_field(src, "value_type", [&] { return src.read_i32(order); }));
        p.value_type = name_or_fail(VALUE_TYPE(), code & 0xFF);
        VORN_TRY(src.seek(src.position() - kValueAreaSpan));
        p.value = VORN_TRY(param_field(src, "value", [&] { return read_value(src, order, p.value_type); }));

        // Whatever the value consumed, the name follows the value-type code.
        VORN_TRY(src.seek(start + kNameOffset));
        p.name = VORN_TRY(param_field(src, "name", [&] { return read_text(src, kNameWidth, true); }));
        return p;
    });
}

Result<Parameters> read_parameters(ByteSource& src, ByteOrder order)
{
    return read_record(src, [&]() -> Result<Parameters> {
        Parameters ps;
        ps.parameters_size = VORN_TRY(block_field(src, "parameters_size", [&] { return src.read_u32(order); }));
        ps.low_index = VORN_TRY(block_field(src, "low_index", [&] { return src.read_u32(order); }));
        ps.high_index = VORN_TRY(block_field(src, "high_index", [&] { return src.read_u32(order); }));
        ps.total_size = VORN_TRY(block_field(src, "total_size", [&] { return src.read_u32(order); }));
        // high_index is a count taken from the file: records are appended as
        // they are read, never reserved up front, so a damaged count on a
        // short file ends in a short read rather than a huge allocation.
        ps.param_array = VORN_TRY(block_field(src, "param_array", [&]() -> Result<std::vector<Param>> {
            std::vector<Param> params;
            for (std::uint32_t i = 0; i < ps.high_index; ++i) params.push_back(VORN_TRY(read_param(src, order)));
            return params;
        }));
        return ps;
    });
}

}  // namespace vorn
