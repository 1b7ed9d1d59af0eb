// The experiment summary: parameter look-ups, unit magnitudes and the digital filter.
#include "info.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "code_tables.h"
#include "data.h"
#include "internal_failure.h"

namespace vorn {

namespace {

const Param* find_param(const std::vector<Param>& params, std::string_view name)
{
    for (const Param& p : params)
        if (p.name == name) return &p;
    return nullptr;
}

// A deep copy of the first match's value; empty text when no parameter has the name.
ParamValue param_value(const std::vector<Param>& params, std::string_view name)
{
    const Param* p = find_param(params, name);
    return p ? p->value : ParamValue(std::string());
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// UTF-8 continuation bytes (10xxxxxx) never start a character.
bool is_continuation(char c) noexcept { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// [+-]?[0-9]+ within the signed 32-bit range, nothing else.
std::int32_t parse_stage(std::string_view text)
{
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
    bool well_formed = !digits.empty();
    for (char c : digits) well_formed = well_formed && is_digit(c);
    if (!well_formed) fail("digital filter stage text \"" + std::string(text) + "\" is not a decimal integer");

    // from_chars takes a leading '-' but not a '+'.
    const char* first = text.front() == '+' ? digits.data() : text.data();
    std::int32_t value = 0;
    auto [end, ec] = std::from_chars(first, text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        fail("digital filter stage text \"" + std::string(text) + "\" is outside the signed 32-bit range");
    return value;
}

template <class T>
const T* value_if(const Param* p)
{
    return p ? std::get_if<T>(&p->value) : nullptr;
}

}  // namespace

UnitMagnitude get_magnitude(const std::vector<Param>& params, std::string_view name)
{
    const Param* p = find_param(params, name);
    if (!p) return {0.0, "NA"};

    double v = 0.0;
    if (const double* f = std::get_if<double>(&p->value)) v = *f;
    if (const std::int32_t* i = std::get_if<std::int32_t>(&p->value)) v = static_cast<double>(*i);

    // The reader always gives five units, each with a prefix from the table.
    if (p->unit.empty()) fail("parameter \"" + p->name + "\" has no unit");
    const Unit& unit = p->unit.front();
    const auto power = UNIT_PREFIX().lookup(unit.prefix);
    if (!power) fail("unit prefix \"" + std::string(unit.prefix) + "\" has no power of ten");

    return {v * std::pow(10.0, *power), std::string(unit.base)};
}

std::string get_param_string(const std::vector<Param>& params)
{
    if (params.empty()) return "[]";
    std::string out = "[\"" + params.front().name;
    for (std::size_t i = 1; i < params.size(); ++i) out += "\",\"" + params[i].name;
    out += "\"]";
    return out;
}

std::optional<double> compute_digital_filter(const std::vector<Param>& params, std::ostream* out)
{
    const auto* orders = value_if<std::string>(find_param(params, "orders"));
    const auto* factors = value_if<std::string>(find_param(params, "factors"));
    const auto* x_sweep = value_if<double>(find_param(params, "x_sweep"));
    const auto* x_acq_time = value_if<double>(find_param(params, "x_acq_time"));
    const auto* x_points = value_if<std::int32_t>(find_param(params, "x_points"));
    if (!orders || !factors || !x_sweep || !x_acq_time || !x_points) return std::nullopt;

    const std::string& o = *orders;
    const std::string& f = *factors;

    // The first byte of "orders" is the stage count; the rest holds the stage
    // texts, each `stride` bytes long.
    if (o.empty()) fail("digital filter \"orders\" is empty");
    if (!is_digit(o.front())) fail("digital filter \"orders\" does not start with a decimal digit");
    const std::size_t n = static_cast<std::size_t>(o.front() - '0');
    if (n == 0) fail("digital filter stage count is 0");
    const std::size_t stride = (o.size() - 1) / n;

    // One decimal digit of "factors" per stage. Each line is out before its
    // character is checked, so a bad factor still leaves the lines before it.
    std::vector<std::int32_t> slots(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (f.size() < i + 1)
            fail("digital filter \"factors\" has " + std::to_string(f.size()) + " bytes, fewer than the " +
                 std::to_string(n) + " stages");
        const char c = f[i];
        if (static_cast<unsigned char>(c) >= 0x80)
            fail("digital filter \"factors\" byte " + std::to_string(i) + " is not a whole character");
        // One write per line, so lines of parses on other threads do not
        // interleave with it.
        const std::string line = f + ", " + std::to_string(i) + ", " + c + "\n";
        if (out != nullptr) out->write(line.data(), static_cast<std::streamsize>(line.size())).flush();
        if (!is_digit(c)) fail("digital filter \"factors\" character " + std::to_string(i) + " is not a decimal digit");
        slots[i] = c - '0';
    }

    // (d - 1) is taken in 64 bits, so d = INT32_MIN does not overflow. The
    // product of single digits is at most 9^9 and fits; a zero digit makes it
    // 0, and the division in doubles then gives an infinity or NaN.
    double sum = 0.0;
    std::size_t position = 1;
    for (std::size_t s = 0; s < n; ++s) {
        std::int64_t product = 1;
        for (std::size_t k = s; k < n; ++k) product *= slots[k];

        // position + stride <= 1 + n * stride <= o.size(), so the range is inside O.
        const std::size_t end = position + stride;
        if ((position < o.size() && is_continuation(o[position])) || (end < o.size() && is_continuation(o[end])))
            fail("digital filter stage " + std::to_string(s) + " splits a multi-byte character of \"orders\"");
        const std::int32_t d = parse_stage(std::string_view(o).substr(position, stride));

        sum += static_cast<double>(std::int64_t{d} - 1) / static_cast<double>(product);
        position = end;
    }

    const double points = static_cast<double>(std::int64_t{*x_points} - 1);
    return points * (sum * 0.5 / *x_sweep / *x_acq_time);
}

namespace {

// The per-axis entries of one axis: x (index 0) or y (index 1), the prefix
// of its parameters' names; only x has a clipped width.
void add_axis(Info& info, const Headers& headers, const std::vector<Param>& params, const std::string& axis,
              std::size_t index)
{
    info.nucleus.push_back(param_value(params, axis + "_domain"));
    info.acquisition_time.push_back(get_magnitude(params, axis + "_acq_time"));
    info.spectral_width.push_back(get_magnitude(params, axis + "_sweep"));
    if (index == 0) info.spectral_width_clipped.push_back(get_magnitude(params, "x_sweep_clipped"));
    info.resolution.push_back(get_magnitude(params, axis + "_resolution"));
    info.origin_frequency.push_back(get_magnitude(params, axis + "_freq"));
    info.frequency_offset.push_back(get_magnitude(params, axis + "_offset"));
    if (index >= headers.data_units.size()) fail("header has no data unit for axis " + std::to_string(index));
    info.data_units.emplace_back(headers.data_units[index].base);
}

}  // namespace

Info extract_info(const Headers& headers, const Parameters& parameters, std::ostream* filter_lines)
{
    const std::vector<Param>& params = parameters.param_array;
    Info info;

    add_axis(info, headers, params, "x", 0);
    if (is(headers.data_format, DataFormat::TwoD)) add_axis(info, headers, params, "y", 1);

    info.sample_name = param_value(params, "sample_id");
    info.author = headers.author;
    info.comment = headers.comment;
    info.solvent = param_value(params, "solvent");
    info.temperature = get_magnitude(params, "temp_get");
    info.probe_name = param_value(params, "probe_id");
    info.field_strength = get_magnitude(params, "field_strength");
    info.experiment = param_value(params, "experiment");
    info.pulse_strength90 = get_magnitude(params, "x90");
    info.number_of_scans = param_value(params, "scans");
    info.relaxation_time = get_magnitude(params, "relaxation_delay");

    info.dimension = headers.data_dimension_number;
    if (info.dimension > kAxes || info.dimension > headers.data_points.size())
        fail("data_dimension_number " + std::to_string(info.dimension) + " exceeds the " +
             std::to_string(headers.data_points.size()) + " data_points entries");
    info.data_points.assign(headers.data_points.begin(), headers.data_points.begin() + info.dimension);
    info.data_offset_start = headers.data_offset_start;
    info.data_offset_stop = headers.data_offset_stop;
    info.data_sections = {std::string(section_name(Section::Im)), std::string(section_name(Section::Re))};
    info.data_axis_start = headers.data_axis_start;
    info.data_axis_stop = headers.data_axis_stop;
    info.decimation_rate = param_value(params, "decimation_rate");
    info.param_list = get_param_string(params);

    info.creation_time = headers.creation_time;
    info.revision_time = headers.revision_time;

    info.digital_filter = compute_digital_filter(params, filter_lines);
    return info;
}

}  // namespace vorn
