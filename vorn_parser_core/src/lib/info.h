// The experiment summary drawn from the header and the parameters.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "headers.h"
#include "parameters.h"

namespace vorn {

struct UnitMagnitude {
    double magnitude = 0.0;
    std::string unit;

    template <class Out>
    void serialize(Out& out) const
    {
        out.field("magnitude", magnitude);
        out.field("unit", unit);
    }
    bool operator==(const UnitMagnitude&) const = default;
};

struct Info {
    ParamValue sample_name;
    Date creation_time;
    Date revision_time;
    std::string author;
    std::string comment;
    ParamValue solvent;
    UnitMagnitude temperature;
    ParamValue probe_name;
    UnitMagnitude field_strength;
    ParamValue experiment;
    std::uint8_t dimension = 0;
    std::vector<ParamValue> nucleus;
    UnitMagnitude pulse_strength90;
    ParamValue number_of_scans;
    UnitMagnitude relaxation_time;
    std::vector<std::uint32_t> data_points;
    std::vector<std::uint32_t> data_offset_start;
    std::vector<std::uint32_t> data_offset_stop;
    std::vector<std::string> data_units;
    std::vector<std::string> data_sections;
    std::vector<UnitMagnitude> origin_frequency;
    std::vector<UnitMagnitude> frequency_offset;
    std::vector<UnitMagnitude> acquisition_time;
    std::vector<UnitMagnitude> spectral_width;
    std::vector<UnitMagnitude> spectral_width_clipped;
    std::vector<double> data_axis_start;
    std::vector<double> data_axis_stop;
    std::vector<UnitMagnitude> resolution;
    ParamValue decimation_rate;
    std::string param_list;
    std::optional<double> digital_filter;

    template <class Out>
    void serialize(Out& out) const
    {
        out.field("sampleName", sample_name);
        out.field("creationTime", creation_time);
        out.field("revisionTime", revision_time);
        out.field("author", author);
        out.field("comment", comment);
        out.field("solvent", solvent);
        out.field("temperature", temperature);
        out.field("probeName", probe_name);
        out.field("fieldStrength", field_strength);
        out.field("experiment", experiment);
        out.field("dimension", dimension);
        out.field("nucleus", nucleus);
        out.field("pulseStrength90", pulse_strength90);
        out.field("numberOfScans", number_of_scans);
        out.field("relaxationTime", relaxation_time);
        out.field("dataPoints", data_points);
        out.field("dataOffsetStart", data_offset_start);
        out.field("dataOffsetStop", data_offset_stop);
        out.field("dataUnits", data_units);
        out.field("dataSections", data_sections);
        out.field("originFrequency", origin_frequency);
        out.field("frequencyOffset", frequency_offset);
        out.field("acquisitionTime", acquisition_time);
        out.field("spectralWidth", spectral_width);
        out.field("spectralWidthClipped", spectral_width_clipped);
        out.field("dataAxisStart", data_axis_start);
        out.field("dataAxisStop", data_axis_stop);
        out.field("resolution", resolution);
        out.field("decimationRate", decimation_rate);
        out.field("paramList", param_list);
        out.field("digitalFilter", digital_filter);
    }
    bool operator==(const Info&) const = default;
};

// First parameter of that name: its Float or Integer value times the power of
// ten of its first unit's prefix; 0.0 and "NA" when no parameter has the name.
UnitMagnitude get_magnitude(const std::vector<Param>& params, std::string_view name);

// ["a","b",...] with no escaping; "[]" when there are none.
std::string get_param_string(const std::vector<Param>& params);

// The digital-filter figure, or nothing when its parameters are missing or of
// the wrong kinds. Writes one "F, i, c" line per stage to `out` (when it is
// not null), flushed at each line feed, before that stage's character is parsed.
std::optional<double> compute_digital_filter(const std::vector<Param>& params, std::ostream* out);

// Builds the summary; the digital-filter lines go to `filter_lines` (the
// parse gives standard output), or nowhere when it is null.
Info extract_info(const Headers& headers, const Parameters& parameters, std::ostream* filter_lines);

}  // namespace vorn
