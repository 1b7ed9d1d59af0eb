// The 1360-byte header block and the small encodings other blocks reuse.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "byte_source.h"
#include "read_error.h"

namespace vorn {

inline constexpr std::size_t kHeaderSize = 1360;
inline constexpr std::size_t kAxes = 8;

struct Date {
    std::uint16_t year = 0;
    std::uint8_t month = 0;
    std::uint8_t day = 0;

    template <class Out>
    void serialize(Out& out) const
    {
        out.field("year", year);
        out.field("month", month);
        out.field("day", day);
    }
    bool operator==(const Date&) const = default;
};

// The prefix and base are names from the code tables, whose storage is
// static: a record of a unit copies no text.
struct Unit {
    std::string_view prefix;
    std::uint8_t power = 0;
    std::string_view base;

    template <class Out>
    void serialize(Out& out) const
    {
        out.field("prefix", prefix);
        out.field("power", power);
        out.field("base", base);
    }
    bool operator==(const Unit&) const = default;
};

struct CompoundUnit {
    std::int16_t scaler = 0;
    std::vector<std::int16_t> unit;  // five raw words, not decoded as Unit

    template <class Out>
    void serialize(Out& out) const
    {
        out.field("scaler", scaler);
        out.field("unit", unit);
    }
    bool operator==(const CompoundUnit&) const = default;
};

struct Headers {
    std::string file_identifier;
    std::string endian;
    std::uint8_t major_version = 0;
    std::uint16_t minor_version = 0;
    std::uint8_t data_dimension_number = 0;
    std::vector<bool> data_dimension_exist;
    std::string data_type;
    std::string data_format;
    std::string data_instrument;
    std::vector<std::uint8_t> translate;
    std::vector<std::string> data_axis_type;
    std::vector<Unit> data_units;
    std::string title;
    std::vector<std::string> data_axis_ranged;
    std::vector<std::uint32_t> data_points;
    std::vector<std::uint32_t> data_offset_start;
    std::vector<std::uint32_t> data_offset_stop;
    std::vector<double> data_axis_start;
    std::vector<double> data_axis_stop;
    Date creation_time;
    Date revision_time;
    std::string node_name;
    std::string site;
    std::string author;
    std::string comment;
    std::vector<std::string> data_axis_titles;
    std::vector<double> base_freq;
    std::vector<double> zero_point;
    std::vector<bool> reversed;
    bool annotation_ok = false;
    std::uint32_t history_used = 0;
    std::uint32_t history_length = 0;
    std::uint32_t param_start = 0;
    std::uint32_t param_length = 0;
    std::vector<std::uint32_t> list_start;
    std::vector<std::uint32_t> list_length;
    std::uint32_t data_start = 0;
    std::uint32_t data_length = 0;
    std::uint32_t context_start = 0;
    std::uint32_t context_length = 0;
    std::uint32_t annote_start = 0;
    std::uint32_t annote_length = 0;
    std::uint32_t total_size = 0;
    std::vector<std::uint8_t> unit_location;
    std::vector<CompoundUnit> compound_unit;

    template <class Out>
    void serialize(Out& out) const
    {
        out.field("fileIdentifier", file_identifier);
        out.field("endian", endian);
        out.field("majorVersion", major_version);
        out.field("minorVersion", minor_version);
        out.field("dataDimensionNumber", data_dimension_number);
        out.field("dataDimensionExist", data_dimension_exist);
        out.field("dataType", data_type);
        out.field("dataFormat", data_format);
        out.field("dataInstrument", data_instrument);
        out.field("translate", translate);
        out.field("dataAxisType", data_axis_type);
        out.field("dataUnits", data_units);
        out.field("title", title);
        out.field("dataAxisRanged", data_axis_ranged);
        out.field("dataPoints", data_points);
        out.field("dataOffsetStart", data_offset_start);
        out.field("dataOffsetStop", data_offset_stop);
        out.field("dataAxisStart", data_axis_start);
        out.field("dataAxisStop", data_axis_stop);
        out.field("creationTime", creation_time);
        out.field("revisionTime", revision_time);
        out.field("nodeName", node_name);
        out.field("site", site);
        out.field("author", author);
        out.field("comment", comment);
        out.field("dataAxisTitles", data_axis_titles);
        out.field("baseFreq", base_freq);
        out.field("zeroPoint", zero_point);
        out.field("reversed", reversed);
        out.field("annotationOk", annotation_ok);
        out.field("historyUsed", history_used);
        out.field("historyLength", history_length);
        out.field("paramStart", param_start);
        out.field("paramLength", param_length);
        out.field("listStart", list_start);
        out.field("listLength", list_length);
        out.field("dataStart", data_start);
        out.field("dataLength", data_length);
        out.field("contextStart", context_start);
        out.field("contextLength", context_length);
        out.field("annoteStart", annote_start);
        out.field("annoteLength", annote_length);
        out.field("totalSize", total_size);
        out.field("unitLocation", unit_location);
        out.field("compoundUnit", compound_unit);
    }
    bool operator==(const Headers&) const = default;
};

// Readers of the header block (always big-endian) and its small records.
Result<Headers> read_headers(ByteSource& src);
Result<Date> read_date(ByteSource& src);
Result<Unit> read_unit(ByteSource& src);
// `n` units in a row, as the header and every parameter record hold them.
Result<std::vector<Unit>> read_units(ByteSource& src, std::size_t n);
Result<CompoundUnit> read_compound_unit(ByteSource& src);

// Pure decoders of the header's packed fields.
Date decode_date(const std::array<std::uint8_t, 4>& b) noexcept;
std::vector<bool> read_bool_vector_from_byte(std::uint8_t b);
std::vector<bool> read_bool_vector(const std::vector<std::uint8_t>& bytes);
std::vector<std::string> read_data_axis_ranged(const std::vector<std::uint8_t>& bytes);
std::vector<std::string> read_data_axis_names(const std::vector<std::uint8_t>& bytes);

}  // namespace vorn
