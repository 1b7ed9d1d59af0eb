// Reader of the header block: fields strictly in file order, big-endian.
#include "headers.h"

#include "code_tables.h"
#include "field.h"
#include "internal_failure.h"
#include "text.h"

namespace vorn {

namespace {

constexpr ByteOrder kBig = ByteOrder::Big;

template <class F>
auto header_field(ByteSource& src, std::string_view name, F&& read, SourceLoc where = SourceLoc::current())
{
    return read_field(src, name, "Headers", std::forward<F>(read), where);
}

Result<std::string> read_text(ByteSource& src, std::size_t width)
{
    auto bytes = src.read_bytes(width);
    if (!bytes) return std::move(bytes).error();
    return read_string(std::move(*bytes), false);
}

Result<std::vector<std::uint32_t>> read_u32_list(ByteSource& src)
{
    std::vector<std::uint32_t> out(kAxes);
    for (auto& v : out) v = VORN_TRY(src.read_u32(kBig));
    return out;
}

Result<std::vector<double>> read_f64_list(ByteSource& src)
{
    std::vector<double> out(kAxes);
    for (auto& v : out) v = VORN_TRY(src.read_f64(kBig));
    return out;
}

// Two words of which only the second is kept.
Result<std::uint32_t> read_second_word(ByteSource& src)
{
    VORN_TRY(src.read_u32(kBig));
    return src.read_u32(kBig);
}

Result<std::vector<std::uint8_t>> read_run(ByteSource& src, std::size_t n)
{
    return src.read_bytes(n);
}

}  // namespace

Date decode_date(const std::array<std::uint8_t, 4>& b) noexcept
{
    Date d;
    d.year = static_cast<std::uint16_t>((b[0] >> 1) + 1990);
    d.month = static_cast<std::uint8_t>(((b[0] & 1) << 3) | (b[1] >> 5));
    d.day = static_cast<std::uint8_t>(b[2] & 0x1F);
    return d;
}

std::vector<bool> read_bool_vector_from_byte(std::uint8_t b)
{
    std::vector<bool> out(8);
    for (unsigned i = 0; i < 8; ++i) out[i] = ((b >> (7 - i)) & 1) != 0;
    return out;
}

std::vector<bool> read_bool_vector(const std::vector<std::uint8_t>& bytes)
{
    std::vector<bool> out(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) out[i] = bytes[i] != 0;
    return out;
}

std::vector<std::string> read_data_axis_ranged(const std::vector<std::uint8_t>& bytes)
{
    std::vector<std::string> out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out.push_back(name_or_fail(DATA_AXIS_RANGED(), b >> 4));
        out.push_back(name_or_fail(DATA_AXIS_RANGED(), b & 0x0F));
    }
    return out;
}

std::vector<std::string> read_data_axis_names(const std::vector<std::uint8_t>& bytes)
{
    constexpr std::size_t kWidth = 32;
    std::vector<std::string> out;
    out.reserve(bytes.size() / kWidth);
    for (std::size_t at = 0; at + kWidth <= bytes.size(); at += kWidth) {
        const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(at);
        out.push_back(read_string(std::vector<std::uint8_t>(first, first + kWidth), false));
    }
    return out;
}

Result<Date> read_date(ByteSource& src)
{
    return read_record(src, [&]() -> Result<Date> {
        auto bytes = VORN_TRY(read_field(src, "temp_bytes", "Date", [&] { return src.read_array<4>(); }));
        return decode_date(bytes);
    });
}

Result<Unit> read_unit(ByteSource& src)
{
    return read_record(src, [&]() -> Result<Unit> {
        Unit u;
        const std::uint8_t first = VORN_TRY(read_field(src, "temp_byte", "Unit", [&] { return src.read_u8(); }));
        // High nibble as a signed 4-bit number: arithmetic shift of the signed byte.
        u.prefix = name_or_fail(PREFIX(), static_cast<std::int8_t>(first) >> 4);
        u.power = static_cast<std::uint8_t>(first & 0x0F);
        const std::uint8_t base = VORN_TRY(read_field(src, "base", "Unit", [&] { return src.read_u8(); }));
        u.base = name_or_fail(BASE(), base);
        return u;
    });
}

Result<CompoundUnit> read_compound_unit(ByteSource& src)
{
    // Always big-endian, whatever the file's order.
    return read_record(src, [&]() -> Result<CompoundUnit> {
        CompoundUnit c;
        c.scaler = VORN_TRY(read_field(src, "scaler", "CompoundUnit", [&] { return src.read_i16(kBig); }));
        c.unit = VORN_TRY(read_field(src, "unit", "CompoundUnit", [&]() -> Result<std::vector<std::int16_t>> {
            std::vector<std::int16_t> words(5);
            for (auto& w : words) w = VORN_TRY(src.read_i16(kBig));
            return words;
        }));
        return c;
    });
}

Result<Headers> read_headers(ByteSource& src)
{
    return read_record(src, [&]() -> Result<Headers> {
        const std::uint64_t start = src.position();
        Headers h;
        h.file_identifier = VORN_TRY(header_field(src, "file_identifier", [&] { return read_text(src, 8); }));
        const std::uint8_t endian = VORN_TRY(header_field(src, "endian", [&] { return src.read_u8(); }));
        h.endian = name_or_fail(ENDIANNESS(), endian);
        h.major_version = VORN_TRY(header_field(src, "major_version", [&] { return src.read_u8(); }));
        h.minor_version = VORN_TRY(header_field(src, "minor_version", [&] { return src.read_u16(kBig); }));
        h.data_dimension_number =
            VORN_TRY(header_field(src, "data_dimension_number", [&] { return src.read_u8(); }));
        const std::uint8_t exist = VORN_TRY(header_field(src, "data_dimension_exist", [&] { return src.read_u8(); }));
        h.data_dimension_exist = read_bool_vector_from_byte(exist);

        const std::uint8_t type_byte = VORN_TRY(header_field(src, "temp_byte", [&] { return src.read_u8(); }));
        h.data_type = name_or_fail(DATA_TYPE(), type_byte >> 6);
        h.data_format = name_or_fail(DATA_FORMAT(), type_byte & 0x3F);
        if (h.data_format != "One_D" && h.data_format != "Two_D") {
            return ReadError::assertion(
                "Only One_D and Two_D data formats are implemented yet, received " + h.data_format + " instead ",
                start);
        }

        const std::uint8_t instrument = VORN_TRY(header_field(src, "data_instrument", [&] { return src.read_u8(); }));
        h.data_instrument = name_or_fail(INSTRUMENT_TABLE(), instrument);
        h.translate = VORN_TRY(header_field(src, "translate", [&] { return read_run(src, 8); }));
        const auto axis_types = VORN_TRY(header_field(src, "data_axis_type", [&] { return read_run(src, 8); }));
        h.data_axis_type.reserve(kAxes);
        for (std::uint8_t code : axis_types) h.data_axis_type.push_back(name_or_fail(DATA_AXIS_TYPE(), code));
        h.data_units = VORN_TRY(header_field(src, "data_units", [&]() -> Result<std::vector<Unit>> {
            std::vector<Unit> units;
            units.reserve(kAxes);
            for (std::size_t i = 0; i < kAxes; ++i) units.push_back(VORN_TRY(read_unit(src)));
            return units;
        }));
        h.title = VORN_TRY(header_field(src, "title", [&] { return read_text(src, 124); }));
        const auto ranged = VORN_TRY(header_field(src, "data_axis_ranged", [&] { return read_run(src, 4); }));
        h.data_axis_ranged = read_data_axis_ranged(ranged);

        h.data_points = VORN_TRY(header_field(src, "data_points", [&] { return read_u32_list(src); }));
        h.data_offset_start = VORN_TRY(header_field(src, "data_offset_start", [&] { return read_u32_list(src); }));
        h.data_offset_stop = VORN_TRY(header_field(src, "data_offset_stop", [&] { return read_u32_list(src); }));
        h.data_axis_start = VORN_TRY(header_field(src, "data_axis_start", [&] { return read_f64_list(src); }));
        h.data_axis_stop = VORN_TRY(header_field(src, "data_axis_stop", [&] { return read_f64_list(src); }));
        h.creation_time = VORN_TRY(header_field(src, "creation_time", [&] { return read_date(src); }));
        h.revision_time = VORN_TRY(header_field(src, "revision_time", [&] { return read_date(src); }));

        h.node_name = VORN_TRY(header_field(src, "node_name", [&] { return read_text(src, 16); }));
        h.site = VORN_TRY(header_field(src, "site", [&] { return read_text(src, 128); }));
        h.author = VORN_TRY(header_field(src, "author", [&] { return read_text(src, 128); }));
        h.comment = VORN_TRY(header_field(src, "comment", [&] { return read_text(src, 128); }));
        const auto titles = VORN_TRY(header_field(src, "data_axis_titles", [&] { return read_run(src, 256); }));
        h.data_axis_titles = read_data_axis_names(titles);

        h.base_freq = VORN_TRY(header_field(src, "base_freq", [&] { return read_f64_list(src); }));
        h.zero_point = VORN_TRY(header_field(src, "zero_point", [&] { return read_f64_list(src); }));
        const auto reversed = VORN_TRY(header_field(src, "reversed", [&] { return read_run(src, 8); }));
        h.reversed = read_bool_vector(reversed);

        VORN_TRY(src.seek(src.position() + 3));  // three bytes not read
        const std::uint8_t annotation = VORN_TRY(header_field(src, "annotation_ok", [&] { return src.read_u8(); }));
        h.annotation_ok = (annotation & 0x80) != 0;

        h.history_used = VORN_TRY(header_field(src, "history_used", [&] { return src.read_u32(kBig); }));
        h.history_length = VORN_TRY(header_field(src, "history_length", [&] { return src.read_u32(kBig); }));
        h.param_start = VORN_TRY(header_field(src, "param_start", [&] { return src.read_u32(kBig); }));
        h.param_length = VORN_TRY(header_field(src, "param_length", [&] { return src.read_u32(kBig); }));
        h.list_start = VORN_TRY(header_field(src, "list_start", [&] { return read_u32_list(src); }));
        h.list_length = VORN_TRY(header_field(src, "list_length", [&] { return read_u32_list(src); }));
        h.data_start = VORN_TRY(header_field(src, "data_start", [&] { return src.read_u32(kBig); }));
        h.data_length = VORN_TRY(header_field(src, "data_length", [&] { return read_second_word(src); }));
        h.context_start = VORN_TRY(header_field(src, "context_start", [&] { return read_second_word(src); }));
        h.context_length = VORN_TRY(header_field(src, "context_length", [&] { return src.read_u32(kBig); }));
        h.annote_start = VORN_TRY(header_field(src, "annote_start", [&] { return read_second_word(src); }));
        h.annote_length = VORN_TRY(header_field(src, "annote_length", [&] { return src.read_u32(kBig); }));
        h.total_size = VORN_TRY(header_field(src, "total_size", [&] { return read_second_word(src); }));
        h.unit_location = VORN_TRY(header_field(src, "unit_location", [&] { return read_run(src, 8); }));
        h.compound_unit = VORN_TRY(header_field(src, "compound_unit", [&]() -> Result<std::vector<CompoundUnit>> {
            std::vector<CompoundUnit> units;
            units.reserve(2);
            for (int i = 0; i < 2; ++i) units.push_back(VORN_TRY(read_compound_unit(src)));
            return units;
        }));
        return h;
    });
}

}  // namespace vorn
