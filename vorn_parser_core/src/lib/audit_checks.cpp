// The checks on what a parse reads successfully.
#include "audit_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <unordered_map>

#include "audit_layout.h"
#include "code_tables.h"
#include "internal_failure.h"
#include "text.h"

namespace vorn {

namespace {

constexpr std::uint64_t kDataPoints = 176;
constexpr std::uint64_t kAxisStart = 272;
constexpr std::uint64_t kDimensionNumber = 12;
constexpr std::uint64_t kBlockSide = 32;
constexpr std::size_t kShownText = 48;

// A text as a finding quotes it: one line, control characters escaped, long
// texts cut.
std::string quoted(std::string_view text)
{
    std::string out = "'";
    std::size_t shown = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        // Cut before a character, never inside one (continuation bytes are 10xxxxxx).
        if (shown == kShownText && (byte & 0xC0) != 0x80) {
            out.append("...");
            break;
        }
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out.append(escaped);
        } else {
            out.push_back(c);
        }
        if ((byte & 0xC0) != 0x80) ++shown;
    }
    return out + "'";
}

std::string_view as_text(std::span<const std::uint8_t> bytes)
{
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The stored text without its padding: the trailing run of NULs and spaces.
std::string_view unpadded(std::span<const std::uint8_t> bytes)
{
    std::string_view text = as_text(bytes);
    while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.remove_suffix(1);
    return text;
}

// A text field whose stored text holds a space the reader removes.
std::optional<Fault> spaces_removed(std::span<const std::uint8_t> bytes, std::uint64_t offset, std::string field,
                                    const std::string& kept)
{
    const std::string_view stored = unpadded(bytes);
    if (stored.find(' ') == std::string_view::npos || !is_valid_utf8(stored)) return std::nullopt;
    const auto spaces = std::count(stored.begin(), stored.end(), ' ');
    std::string text = field + " " + quoted(stored) + " is read as " + quoted(kept) + " (" + std::to_string(spaces) +
                       (spaces == 1 ? " space" : " spaces") + " removed)";
    return Fault{Code::SpacesRemoved, offset, std::move(field), std::move(text)};
}

bool leap(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

bool is_calendar_date(const Date& d)
{
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (d.month < 1 || d.month > 12 || d.day < 1) return false;
    const unsigned days = kDays[d.month - 1] + (d.month == 2 && leap(d.year) ? 1U : 0U);
    return d.day <= days;
}

std::string date_text(const Date& d)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", unsigned{d.year}, unsigned{d.month}, unsigned{d.day});
    return text;
}

// The first parameter of that name and its index.
std::optional<std::size_t> find_first(const std::vector<Param>& params, std::string_view name)
{
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].name == name) return i;
    }
    return std::nullopt;
}

std::string number(double v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

// A per-axis summary figure in the named unit, when the file gives it as a
// positive finite number.
std::optional<double> figure(const std::vector<UnitMagnitude>& values, std::size_t axis, std::string_view unit)
{
    if (axis >= values.size() || values[axis].unit != unit) return std::nullopt;
    const double v = values[axis].magnitude;
    if (!std::isfinite(v)) return std::nullopt;
    return v;
}

double prefix_scale(const Unit& unit)
{
    const auto power = UNIT_PREFIX().lookup(unit.prefix);
    return std::pow(10.0, power ? *power : 0);
}

// The axis range of the header against the spectral width (and, for frequency
// axes, the offset): a time axis spans (N - 1) / SW seconds, a frequency axis
// about SW Hz centred on the offset. Conventions differ by a point, so a
// difference up to one point plus 5 % of the width passes.
std::optional<Fault> axis_contradiction(const Headers& h, const Info& info, std::size_t axis)
{
    static constexpr const char* kAxisNames[] = {"x", "y"};
    const double start = h.data_axis_start.at(axis);
    const double stop = h.data_axis_stop.at(axis);
    const std::uint32_t points = h.data_points.at(axis);
    if (start == stop || !std::isfinite(start) || !std::isfinite(stop) || points < 2) return std::nullopt;
    const auto sweep = figure(info.spectral_width, axis, "Hertz");
    if (!sweep || *sweep <= 0) return std::nullopt;
    const Unit& unit = h.data_units.at(axis);
    const double n = points;
    const std::string where = std::string(kAxisNames[axis]) + " axis";
    std::string text;
    if (unit.base == "Second") {
        const double dwell = 1.0 / *sweep;
        const double span = std::fabs(stop - start) * prefix_scale(unit);
        const double expected = (n - 1) * dwell;
        if (std::fabs(span - expected) > dwell + 0.05 * n * dwell) {
            text = where + " spans " + number(span) + " s over " + std::to_string(points) +
                   " points; the spectral width " + number(*sweep) + " Hz gives " + number(expected) + " s";
        }
    } else if (unit.base == "Ppm" || unit.base == "Hertz") {
        const auto sf = figure(info.origin_frequency, axis, "Hertz");
        const bool ppm = unit.base == "Ppm";
        if (ppm && (!sf || *sf <= 0)) return std::nullopt;
        // Widths and centres in the axis's own unit.
        const double to_unit = ppm ? 1e6 / *sf : 1.0;
        const double scale = ppm ? 1.0 : prefix_scale(unit);
        const double width = *sweep * to_unit;
        const double span = std::fabs(stop - start) * scale;
        const double tolerance = width / n + 0.05 * width;
        const std::string symbol = ppm ? " ppm" : " Hz";
        if (std::fabs(span - width * (n - 1) / n) > tolerance) {
            text = where + " spans " + number(span) + symbol + "; the spectral width " + number(*sweep) + " Hz is " +
                   number(width) + symbol;
        } else {
            std::optional<double> centre;
            if (const auto in_ppm = figure(info.frequency_offset, axis, "Ppm")) {
                if (ppm) centre = in_ppm;
                if (!ppm && sf && *sf > 0) centre = *in_ppm * *sf / 1e6;
            } else if (const auto in_hz = figure(info.frequency_offset, axis, "Hertz")) {
                if (!ppm) centre = in_hz;
                if (ppm && sf && *sf > 0) centre = *in_hz / *sf * 1e6;
            }
            const double middle = (start + stop) / 2 * scale;
            if (centre && std::fabs(middle - *centre) > tolerance) {
                text =
                    where + " is centred on " + number(middle) + symbol + "; the offset is " + number(*centre) + symbol;
            }
        }
    }
    if (text.empty()) return std::nullopt;
    const std::string field = "headers.dataAxisStart[" + std::to_string(axis) + "]";
    return Fault{Code::AxisContradicts, kAxisStart + 8 * axis, field, std::move(text)};
}

// Which of the five parameters of the figure are missing or of another kind.
std::string filter_gaps(const std::vector<Param>& params)
{
    struct Need {
        std::string_view name;
        std::size_t alternative;  // of ParamValue: 0 text, 1 integer, 2 float
        std::string_view kind;
    };
    static constexpr Need kNeeds[] = {{"orders", 0, "text"},
                                      {"factors", 0, "text"},
                                      {"x_sweep", 2, "a float"},
                                      {"x_acq_time", 2, "a float"},
                                      {"x_points", 1, "an integer"}};
    std::string gaps;
    for (const Need& need : kNeeds) {
        const auto at = find_first(params, need.name);
        std::string gap;
        if (!at) {
            gap = std::string(need.name) + " is missing";
        } else if (params[*at].value.index() != need.alternative) {
            gap = std::string(need.name) + " is not " + std::string(need.kind);
        }
        if (gap.empty()) continue;
        gaps.append(gaps.empty() ? "" : "; ").append(gap);
    }
    return gaps;
}

Fault parameter_fault(Code code, const Headers& h, std::size_t index, std::string text)
{
    return Fault{code, param_record_at(h.param_start, index) + kParamValueAt, param_path(index, "value"),
                 std::move(text)};
}

}  // namespace

std::vector<Fault> header_findings(const Headers& headers, std::span<const std::uint8_t> raw)
{
    static const std::vector<TextField> texts = header_text_fields();
    std::vector<Fault> out;
    for (const TextField& f : texts) {
        if (f.offset + f.width > raw.size()) continue;
        const auto bytes = raw.subspan(static_cast<std::size_t>(f.offset), f.width);
        if (unpadded(bytes).find(' ') == std::string_view::npos) continue;
        // What the reader keeps, by its own decoder.
        const std::string kept = read_string(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), false);
        if (auto fault = spaces_removed(bytes, f.offset, f.field, kept)) out.push_back(std::move(*fault));
    }
    const std::pair<const Date*, std::uint64_t> dates[] = {{&headers.creation_time, 400},
                                                           {&headers.revision_time, 404}};
    for (const auto& [date, offset] : dates) {
        if (is_calendar_date(*date)) continue;
        const std::string field = offset == 400 ? "headers.creationTime" : "headers.revisionTime";
        out.push_back(Fault{Code::InvalidDate, offset, field, field + " holds " + date_text(*date) + ", not a date"});
    }
    return out;
}

std::vector<Fault> parameter_findings(const Parameters& parameters, std::uint64_t param_start,
                                      std::span<const std::uint8_t> raw)
{
    std::vector<Fault> out;
    const auto& params = parameters.param_array;
    std::unordered_map<std::string_view, std::size_t> first;
    for (std::size_t i = 0; i < params.size(); ++i) {
        const std::uint64_t record = kParamBlockHead + i * kParamRecord;
        const std::uint64_t at = param_record_at(param_start, i);
        if (record + kParamRecord <= raw.size()) {
            const auto bytes = raw.subspan(static_cast<std::size_t>(record), kParamRecord);
            if (auto f = spaces_removed(bytes.subspan(kParamNameAt, kParamNameWidth), at + kParamNameAt,
                                        param_path(i, "name"), params[i].name)) {
                out.push_back(std::move(*f));
            }
            if (const auto* text = std::get_if<std::string>(&params[i].value)) {
                if (auto f = spaces_removed(bytes.subspan(kParamValueAt, kParamValueWidth), at + kParamValueAt,
                                            param_path(i, "value"), *text)) {
                    out.push_back(std::move(*f));
                }
            }
        }
        if (params[i].name.empty()) continue;
        const auto [earlier, fresh] = first.emplace(params[i].name, i);
        if (fresh) continue;
        out.push_back(Fault{Code::DuplicateName, at + kParamNameAt, param_path(i, "name"),
                            "parameter " + quoted(params[i].name) + " is also record " +
                                std::to_string(earlier->second) + "; the first is the one used"});
    }
    return out;
}

std::vector<Fault> data_findings(const Headers& h, const DataPlan& plan, std::uint64_t file_size,
                                 std::uint64_t parameter_records)
{
    std::vector<Fault> out;
    const std::uint64_t x = h.data_points.at(0);
    if (is(h.data_format, DataFormat::OneD)) {
        if (x == 0)
            out.push_back(Fault{Code::EmptySection, kDataPoints, "headers.dataPoints[0]", "no samples: 0 points"});
        if (plan.sections > 2) {
            const std::uint64_t at = h.data_start + 2 * x * plan.sample_width;
            out.push_back(Fault{Code::SectionsDropped, at, "data",
                                std::to_string(plan.sections) +
                                    " sections stored, the first 2 kept: " + std::to_string(plan.sections - 2) + " x " +
                                    std::to_string(x) + " samples from offset " + std::to_string(at) + " are dropped"});
        }
    } else {
        const std::uint64_t y = h.data_points.at(1);
        const std::uint64_t kx = x / kBlockSide * kBlockSide;
        const std::uint64_t ky = y / kBlockSide * kBlockSide;
        if (kx != x || ky != y) {
            out.push_back(Fault{Code::PointsDropped, kDataPoints, "headers.dataPoints",
                                std::to_string(x) + " x " + std::to_string(y) + " points declared, " +
                                    std::to_string(kx) + " x " + std::to_string(ky) + " read (whole 32 x 32 blocks): " +
                                    std::to_string(x * y - kx * ky) + " points a section not read"});
        }
        if (kx == 0 || ky == 0) {
            out.push_back(
                Fault{Code::EmptySection, kDataPoints, "headers.dataPoints",
                      "no samples: " + std::to_string(ky) + " rows of " + std::to_string(kx) + " points a section"});
        }
    }
    const std::uint64_t params_end = h.param_start + kParamBlockHead + parameter_records * kParamRecord;
    const std::uint64_t end = std::max({std::uint64_t{kHeaderSize}, params_end, plan.end});
    if (file_size > end) {
        out.push_back(Fault{Code::TrailingBytes, end, "",
                            std::to_string(file_size - end) + " bytes after offset " + std::to_string(end) +
                                ", the end of everything read"});
    }
    return out;
}

std::vector<Fault> non_finite_findings(const std::vector<NonFiniteSamples>& scanned)
{
    std::vector<Fault> out;
    out.reserve(scanned.size());
    for (const NonFiniteSamples& s : scanned) {
        out.push_back(Fault{Code::NonFinite, s.first_offset, s.field,
                            std::to_string(s.nan) + " NaN and " + std::to_string(s.infinite) + " infinite samples in " +
                                s.field + "; the first at row " + std::to_string(s.first_row) + ", column " +
                                std::to_string(s.first_column)});
    }
    return out;
}

Fault summary_failure(const Headers& h, const Parameters& parameters)
{
    if (h.data_dimension_number > kAxes) {
        return Fault{Code::DimensionTooLarge, kDimensionNumber, "headers.dataDimensionNumber",
                     "the dimension number is " + std::to_string(h.data_dimension_number) + "; the header has 8 axes"};
    }
    // The figure's computation failed: on "factors" when it passes with plain
    // factors in their place, else on "orders".
    const auto& params = parameters.param_array;
    const auto orders = find_first(params, "orders");
    const auto factors = find_first(params, "factors");
    if (!orders || !factors) return Fault{Code::Unplaced, std::nullopt, "info", "the summary cannot be built"};
    std::vector<Param> probe = params;
    probe[*factors].value = std::string(9, '1');
    bool factors_at_fault = true;
    try {
        compute_digital_filter(probe, nullptr);
    } catch (const InternalFailure&) {
        factors_at_fault = false;
    }
    const std::size_t at = factors_at_fault ? *factors : *orders;
    const std::string& value = std::get<std::string>(params[at].value);
    return parameter_fault(Code::FilterMalformed, h, at,
                           std::string(factors_at_fault ? "factors " : "orders ") + quoted(value) +
                               " cannot describe the digital filter's stages");
}

std::vector<Fault> summary_findings(const Headers& h, const Parameters& parameters, const Info& info)
{
    std::vector<Fault> out;
    const auto& params = parameters.param_array;
    const auto orders = find_first(params, "orders");
    const auto factors = find_first(params, "factors");
    if (!info.digital_filter && (orders || factors)) {
        out.push_back(parameter_fault(Code::FilterAbsent, h, orders ? *orders : *factors,
                                      "the digital-filter figure cannot be computed: " + filter_gaps(params)));
    }
    if (info.digital_filter && !std::isfinite(*info.digital_filter)) {
        out.push_back(Fault{Code::FilterNotFinite, std::nullopt, "info.digitalFilter",
                            "the digital-filter figure is " + number(*info.digital_filter)});
    }
    const std::size_t axes = is(h.data_format, DataFormat::TwoD) ? 2 : 1;
    for (std::size_t axis = 0; axis < axes; ++axis) {
        if (auto f = axis_contradiction(h, info, axis)) out.push_back(std::move(*f));
    }
    return out;
}

}  // namespace vorn
