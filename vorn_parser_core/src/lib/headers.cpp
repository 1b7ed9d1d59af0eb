// Reader of the header block: fields strictly in file order, big-endian.
#include "headers.h"

#include "code_tables.h"
#include "field.h"
#include "internal_failure.h"
#include "text.h"

namespace vorn {

namespace {

constexpr ByteOrder kBig = ByteOrder::Big;

// `n` records read one after another by `read_one`; the first failure ends the list.
template <class T, class F>
Result<std::vector<T>> read_list(std::size_t n, F&& read_one)
{
    std::vector<T> items;
    items.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        VORN_ASSIGN_OR_RETURN(T item, read_one());
        items.push_back(std::move(item));
    }
    return items;
}

Result<std::vector<std::uint32_t>> read_u32_list(ByteSource& src)
{
    std::vector<std::uint32_t> out(kAxes);
    for (auto& v : out) {
        VORN_ASSIGN_OR_RETURN(v, src.read_u32(kBig));
    }
    return out;
}

Result<std::vector<double>> read_f64_list(ByteSource& src)
{
    std::vector<double> out(kAxes);
    for (auto& v : out) {
        VORN_ASSIGN_OR_RETURN(v, src.read_f64(kBig));
    }
    return out;
}

// Two words of which only the second is kept.
Result<std::uint32_t> read_second_word(ByteSource& src)
{
    VORN_TRY(src.read_u32(kBig));
    return src.read_u32(kBig);
}

Result<std::vector<std::uint8_t>> read_run(ByteSource& src, std::size_t n) { return src.read_bytes(n); }

Result<std::vector<std::int16_t>> read_i16_words(ByteSource& src, std::size_t n)
{
    std::vector<std::int16_t> words(n);
    for (auto& w : words) {
        VORN_ASSIGN_OR_RETURN(w, src.read_i16(kBig));
    }
    return words;
}

Result<std::vector<CompoundUnit>> read_compound_units(ByteSource& src, std::size_t n)
{
    return read_list<CompoundUnit>(n, [&] { return read_compound_unit(src); });
}

Result<Date> read_date_fields(ByteSource& src)
{
    VORN_ASSIGN_OR_RETURN(const auto bytes, field(src, "temp_bytes", "Date").read(src.read_array<4>()));
    return decode_date(bytes);
}

Result<Unit> read_unit_fields(ByteSource& src)
{
    constexpr std::string_view in = "Unit";
    Unit u;
    VORN_ASSIGN_OR_RETURN(const std::uint8_t first, field(src, "temp_byte", in).read(src.read_u8()));
    // High nibble as a signed 4-bit number (-8 to 7).
    const unsigned high = first >> 4U;
    u.prefix = table_name_or_fail(PREFIX(), static_cast<int>(high) - ((high & 8U) != 0 ? 16 : 0));
    u.power = static_cast<std::uint8_t>(first & 0x0F);
    VORN_ASSIGN_OR_RETURN(const std::uint8_t base, field(src, "base", in).read(src.read_u8()));
    u.base = table_name_or_fail(BASE(), base);
    return u;
}

// Always big-endian, whatever the file's order.
Result<CompoundUnit> read_compound_unit_fields(ByteSource& src)
{
    constexpr std::string_view in = "CompoundUnit";
    CompoundUnit c;
    VORN_ASSIGN_OR_RETURN(c.scaler, field(src, "scaler", in).read(src.read_i16(kBig)));
    VORN_ASSIGN_OR_RETURN(c.unit, field(src, "unit", in).read(read_i16_words(src, 5)));
    return c;
}

Result<Headers> read_header_fields(ByteSource& src)
{
    constexpr std::string_view in = "Headers";
    const std::uint64_t start = src.position();
    Headers h;
    VORN_ASSIGN_OR_RETURN(h.file_identifier, field(src, "file_identifier", in).read(read_text(src, 8)));
    VORN_ASSIGN_OR_RETURN(const std::uint8_t endian, field(src, "endian", in).read(src.read_u8()));
    h.endian = name_or_fail(ENDIANNESS(), endian);
    VORN_ASSIGN_OR_RETURN(h.major_version, field(src, "major_version", in).read(src.read_u8()));
    VORN_ASSIGN_OR_RETURN(h.minor_version, field(src, "minor_version", in).read(src.read_u16(kBig)));
    VORN_ASSIGN_OR_RETURN(h.data_dimension_number, field(src, "data_dimension_number", in).read(src.read_u8()));
    VORN_ASSIGN_OR_RETURN(const std::uint8_t exist, field(src, "data_dimension_exist", in).read(src.read_u8()));
    h.data_dimension_exist = read_bool_vector_from_byte(exist);

    VORN_ASSIGN_OR_RETURN(const std::uint8_t type_byte, field(src, "temp_byte", in).read(src.read_u8()));
    h.data_type = name_or_fail(DATA_TYPE(), type_byte >> 6);
    h.data_format = name_or_fail(DATA_FORMAT(), type_byte & 0x3F);
    if (!is(h.data_format, DataFormat::OneD) && !is(h.data_format, DataFormat::TwoD)) {
        return ReadError::assertion(
            "Only One_D and Two_D data formats are implemented yet, received " + h.data_format + " instead ", start);
    }

    VORN_ASSIGN_OR_RETURN(const std::uint8_t instrument, field(src, "data_instrument", in).read(src.read_u8()));
    h.data_instrument = name_or_fail(INSTRUMENT_TABLE(), instrument);
    VORN_ASSIGN_OR_RETURN(h.translate, field(src, "translate", in).read(read_run(src, 8)));
    VORN_ASSIGN_OR_RETURN(const auto axis_types, field(src, "data_axis_type", in).read(read_run(src, 8)));
    h.data_axis_type.reserve(kAxes);
    for (std::uint8_t code : axis_types) h.data_axis_type.push_back(name_or_fail(DATA_AXIS_TYPE(), code));
    VORN_ASSIGN_OR_RETURN(h.data_units, field(src, "data_units", in).read(read_units(src, kAxes)));
    VORN_ASSIGN_OR_RETURN(h.title, field(src, "title", in).read(read_text(src, 124)));
    VORN_ASSIGN_OR_RETURN(const auto ranged, field(src, "data_axis_ranged", in).read(read_run(src, 4)));
    h.data_axis_ranged = read_data_axis_ranged(ranged);

    VORN_ASSIGN_OR_RETURN(h.data_points, field(src, "data_points", in).read(read_u32_list(src)));
    VORN_ASSIGN_OR_RETURN(h.data_offset_start, field(src, "data_offset_start", in).read(read_u32_list(src)));
    VORN_ASSIGN_OR_RETURN(h.data_offset_stop, field(src, "data_offset_stop", in).read(read_u32_list(src)));
    VORN_ASSIGN_OR_RETURN(h.data_axis_start, field(src, "data_axis_start", in).read(read_f64_list(src)));
    VORN_ASSIGN_OR_RETURN(h.data_axis_stop, field(src, "data_axis_stop", in).read(read_f64_list(src)));
    VORN_ASSIGN_OR_RETURN(h.creation_time, field(src, "creation_time", in).read(read_date(src)));
    VORN_ASSIGN_OR_RETURN(h.revision_time, field(src, "revision_time", in).read(read_date(src)));

    VORN_ASSIGN_OR_RETURN(h.node_name, field(src, "node_name", in).read(read_text(src, 16)));
    VORN_ASSIGN_OR_RETURN(h.site, field(src, "site", in).read(read_text(src, 128)));
    VORN_ASSIGN_OR_RETURN(h.author, field(src, "author", in).read(read_text(src, 128)));
    VORN_ASSIGN_OR_RETURN(h.comment, field(src, "comment", in).read(read_text(src, 128)));
    VORN_ASSIGN_OR_RETURN(const auto titles, field(src, "data_axis_titles", in).read(read_run(src, 256)));
    h.data_axis_titles = read_data_axis_names(titles);

    VORN_ASSIGN_OR_RETURN(h.base_freq, field(src, "base_freq", in).read(read_f64_list(src)));
    VORN_ASSIGN_OR_RETURN(h.zero_point, field(src, "zero_point", in).read(read_f64_list(src)));
    VORN_ASSIGN_OR_RETURN(const auto reversed, field(src, "reversed", in).read(read_run(src, 8)));
    h.reversed = read_bool_vector(reversed);

    VORN_TRY(src.seek(src.position() + 3));  // three bytes not read
    VORN_ASSIGN_OR_RETURN(const std::uint8_t annotation, field(src, "annotation_ok", in).read(src.read_u8()));
    h.annotation_ok = (annotation & 0x80) != 0;

    VORN_ASSIGN_OR_RETURN(h.history_used, field(src, "history_used", in).read(src.read_u32(kBig)));
    VORN_ASSIGN_OR_RETURN(h.history_length, field(src, "history_length", in).read(src.read_u32(kBig)));
    VORN_ASSIGN_OR_RETURN(h.param_start, field(src, "param_start", in).read(src.read_u32(kBig)));
    VORN_ASSIGN_OR_RETURN(h.param_length, field(src, "param_length", in).read(src.read_u32(kBig)));
    VORN_ASSIGN_OR_RETURN(h.list_start, field(src, "list_start", in).read(read_u32_list(src)));
    VORN_ASSIGN_OR_RETURN(h.list_length, field(src, "list_length", in).read(read_u32_list(src)));
    VORN_ASSIGN_OR_RETURN(h.data_start, field(src, "data_start", in).read(src.read_u32(kBig)));
    VORN_ASSIGN_OR_RETURN(h.data_length, field(src, "data_length", in).read(read_second_word(src)));
    VORN_ASSIGN_OR_RETURN(h.context_start, field(src, "context_start", in).read(read_second_word(src)));
    VORN_ASSIGN_OR_RETURN(h.context_length, field(src, "context_length", in).read(src.read_u32(kBig)));
    VORN_ASSIGN_OR_RETURN(h.annote_start, field(src, "annote_start", in).read(read_second_word(src)));
    VORN_ASSIGN_OR_RETURN(h.annote_length, field(src, "annote_length", in).read(src.read_u32(kBig)));
    VORN_ASSIGN_OR_RETURN(h.total_size, field(src, "total_size", in).read(read_second_word(src)));
    VORN_ASSIGN_OR_RETURN(h.unit_location, field(src, "unit_location", in).read(read_run(src, 8)));
    VORN_ASSIGN_OR_RETURN(h.compound_unit, field(src, "compound_unit", in).read(read_compound_units(src, 2)));
    return h;
}

}  // namespace

Date decode_date(const std::array<std::uint8_t, 4>& b) noexcept
{
    Date d;
    const unsigned b0 = b[0], b1 = b[1], b2 = b[2];
    d.year = static_cast<std::uint16_t>((b0 >> 1U) + 1990U);
    d.month = static_cast<std::uint8_t>(((b0 & 1U) << 3U) | (b1 >> 5U));
    d.day = static_cast<std::uint8_t>(b2 & 0x1FU);
    return d;
}

std::vector<bool> read_bool_vector_from_byte(std::uint8_t b)
{
    std::vector<bool> out(8);
    for (unsigned i = 0; i < 8; ++i) out[i] = ((static_cast<unsigned>(b) >> (7 - i)) & 1U) != 0;
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

Result<Date> read_date(ByteSource& src) { return record(src).read(read_date_fields(src)); }

Result<Unit> read_unit(ByteSource& src) { return record(src).read(read_unit_fields(src)); }

Result<std::vector<Unit>> read_units(ByteSource& src, std::size_t n)
{
    return read_list<Unit>(n, [&] { return read_unit(src); });
}

Result<CompoundUnit> read_compound_unit(ByteSource& src) { return record(src).read(read_compound_unit_fields(src)); }

Result<Headers> read_headers(ByteSource& src) { return record(src).read(read_header_fields(src)); }

}  // namespace vorn
