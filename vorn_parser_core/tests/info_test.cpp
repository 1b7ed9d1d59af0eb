// Tests of the experiment summary: magnitudes, the name list, field sources and the digital filter.
#include "info.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "internal_failure.h"

namespace vorn {
namespace {

// Unit names are views into static storage, as the code tables' are.
const std::array<std::string, kAxes> kAxisUnitNames = [] {
    std::array<std::string, kAxes> names;
    for (std::size_t i = 0; i < kAxes; ++i) names[i] = "unit" + std::to_string(i);
    return names;
}();

Param make_param(std::string name, ParamValue value, std::string_view prefix = "None", std::string_view base = "None")
{
    Param p;
    p.unit.resize(5, Unit{"None", 0, "None"});
    p.unit[0] = Unit{prefix, 1, base};
    p.value = std::move(value);
    p.name = std::move(name);
    return p;
}

Headers make_headers(std::string format)
{
    Headers h;
    h.data_format = std::move(format);
    h.data_dimension_number = 2;
    h.author = "ada";
    h.comment = "a comment";
    h.creation_time = Date{2020, 1, 2};
    h.revision_time = Date{2021, 3, 4};
    for (std::uint32_t i = 0; i < kAxes; ++i) {
        h.data_units.push_back(Unit{"None", 1, kAxisUnitNames[i]});
        h.data_points.push_back(100 + i);
        h.data_offset_start.push_back(200 + i);
        h.data_offset_stop.push_back(300 + i);
        h.data_axis_start.push_back(0.5 + i);
        h.data_axis_stop.push_back(-0.5 - i);
    }
    return h;
}

Parameters with(std::vector<Param> params)
{
    Parameters p;
    p.high_index = static_cast<std::uint32_t>(params.size());
    p.param_array = std::move(params);
    return p;
}

// One run of the digital filter into a string stream.
struct FilterRun {
    std::optional<double> value;
    std::string output;
    std::string failure;  // the internal-failure message, if any
};

FilterRun run_filter(const std::vector<Param>& params)
{
    FilterRun run;
    std::ostringstream out;
    try {
        run.value = compute_digital_filter(params, &out);
    } catch (const InternalFailure& e) {
        run.failure = e.message();
    }
    run.output = out.str();
    return run;
}

std::vector<Param> filter_params(std::string orders, std::string factors, double x_sweep = 2.0, double x_acq_time = 0.5,
                                 std::int32_t x_points = 5)
{
    return {make_param("orders", std::move(orders)), make_param("factors", std::move(factors)),
            make_param("x_sweep", x_sweep), make_param("x_acq_time", x_acq_time), make_param("x_points", x_points)};
}

TEST(GetMagnitude, ScalesTheFirstMatchByItsFirstUnitsPrefix)
{
    Param milli = make_param("x90", 9.0, "Milli", "Second");
    milli.scaler = 7;                          // never applied
    milli.unit[1] = Unit{"Giga", 2, "Hertz"};  // only the first unit counts
    const std::vector<Param> params = {make_param("temp_get", std::int32_t{300}, "None", "Celsius"),
                                       make_param("temp_kilo", std::int32_t{300}, "Kilo", "Celsius"),
                                       milli,
                                       make_param("field_strength", std::string("400"), "Kilo", "Tesla"),
                                       make_param("c", ComplexNumber{1.0, 2.0}, "None", "Hertz"),
                                       make_param("temp_get", 1.0, "None", "Kelvin")};
    EXPECT_EQ(get_magnitude(params, "temp_get"), (UnitMagnitude{300.0, "Celsius"}));
    EXPECT_EQ(get_magnitude(params, "temp_kilo"), (UnitMagnitude{300000.0, "Celsius"}));
    // v times 10^p, not v divided by 10^-p: the two differ for 9 milli.
    EXPECT_EQ(get_magnitude(params, "x90"), (UnitMagnitude{9.0 * 0.001, "Second"}));
    EXPECT_NE(get_magnitude(params, "x90").magnitude, 9.0 / 1000.0);
    // Text and complex values count as 0 but keep their unit's base name.
    EXPECT_EQ(get_magnitude(params, "field_strength"), (UnitMagnitude{0.0, "Tesla"}));
    EXPECT_EQ(get_magnitude(params, "c"), (UnitMagnitude{0.0, "Hertz"}));
    EXPECT_EQ(get_magnitude(params, "TEMP_GET"), (UnitMagnitude{0.0, "NA"}));
}

TEST(GetParamString, QuotesEveryNameInOrderWithoutEscaping)
{
    EXPECT_EQ(get_param_string({}), "[]");
    EXPECT_EQ(get_param_string({make_param("solo", 1.0)}), "[\"solo\"]");
    EXPECT_EQ(get_param_string({make_param("a\"b", 1.0), make_param("c\\d", 1.0), make_param("", 1.0)}),
              "[\"a\"b\",\"c\\d\",\"\"]");
}

TEST(ExtractInfo, TakesEveryFieldFromItsSource)
{
    Headers h = make_headers("Two_D");
    std::vector<Param> params = {
        make_param("sample_id", std::string("S1")), make_param("solvent", std::string("CDCl3")),
        make_param("probe_id", std::string("P")),   make_param("experiment", std::string("proton")),
        make_param("x_domain", std::string("H1")),  make_param("y_domain", std::string("C13")),
        make_param("scans", std::int32_t{16}),      make_param("decimation_rate", ComplexNumber{1.0, -1.0}),
    };
    // Each magnitude parameter gets its own value, so a swapped name shows.
    const std::vector<std::string> magnitudes = {
        "temp_get",        "field_strength",  "x90",          "relaxation_delay", "x_freq",  "y_freq",
        "x_offset",        "y_offset",        "x_acq_time",   "y_acq_time",       "x_sweep", "y_sweep",
        "x_sweep_clipped", "y_sweep_clipped", "x_resolution", "y_resolution"};
    // The unit names outlive the parameters, which hold views of them.
    std::vector<std::string> bases;
    for (const std::string& name : magnitudes) bases.push_back(name + "_base");
    std::vector<UnitMagnitude> m;
    for (std::size_t i = 0; i < magnitudes.size(); ++i) {
        m.push_back({static_cast<double>(m.size() + 1), bases[i]});
        params.push_back(make_param(magnitudes[i], m.back().magnitude, "None", bases[i]));
    }

    Info want;
    want.sample_name = std::string("S1");
    want.creation_time = Date{2020, 1, 2};
    want.revision_time = Date{2021, 3, 4};
    want.author = "ada";
    want.comment = "a comment";
    want.solvent = std::string("CDCl3");
    want.temperature = m[0];
    want.probe_name = std::string("P");
    want.field_strength = m[1];
    want.experiment = std::string("proton");
    want.dimension = 2;
    want.nucleus = {std::string("H1"), std::string("C13")};
    want.pulse_strength90 = m[2];
    want.number_of_scans = std::int32_t{16};
    want.relaxation_time = m[3];
    want.data_points = {100, 101};
    want.data_offset_start = h.data_offset_start;
    want.data_offset_stop = h.data_offset_stop;
    want.data_units = {"unit0", "unit1"};
    want.data_sections = {"im", "re"};
    want.origin_frequency = {m[4], m[5]};
    want.frequency_offset = {m[6], m[7]};
    want.acquisition_time = {m[8], m[9]};
    want.spectral_width = {m[10], m[11]};
    want.spectral_width_clipped = {m[12]};
    want.data_axis_start = h.data_axis_start;
    want.data_axis_stop = h.data_axis_stop;
    want.resolution = {m[14], m[15]};
    want.decimation_rate = ComplexNumber{1.0, -1.0};
    want.param_list = get_param_string(params);  // its format is pinned above
    EXPECT_EQ(extract_info(h, with(params), nullptr), want);

    // One_D keeps only the x entries.
    h.data_format = "One_D";
    const Info one = extract_info(h, with(params), nullptr);
    EXPECT_EQ(one.nucleus, std::vector<ParamValue>{std::string("H1")});
    EXPECT_EQ(one.origin_frequency, std::vector<UnitMagnitude>{m[4]});
    EXPECT_EQ(one.frequency_offset, std::vector<UnitMagnitude>{m[6]});
    EXPECT_EQ(one.acquisition_time, std::vector<UnitMagnitude>{m[8]});
    EXPECT_EQ(one.spectral_width, std::vector<UnitMagnitude>{m[10]});
    EXPECT_EQ(one.spectral_width_clipped, std::vector<UnitMagnitude>{m[12]});
    EXPECT_EQ(one.resolution, std::vector<UnitMagnitude>{m[14]});
    EXPECT_EQ(one.data_units, std::vector<std::string>{"unit0"});
}

TEST(ExtractInfo, NoParametersGiveEmptyTextNAAndNoFigure)
{
    for (const char* format : {"One_D", "Two_D"}) {
        SCOPED_TRACE(format);
        const std::size_t axes = std::string(format) == "Two_D" ? 2 : 1;
        const Info info = extract_info(make_headers(format), Parameters{}, nullptr);
        const UnitMagnitude na{0.0, "NA"};
        for (const ParamValue* v : {&info.sample_name, &info.solvent, &info.probe_name, &info.experiment,
                                    &info.number_of_scans, &info.decimation_rate})
            EXPECT_EQ(*v, ParamValue(std::string()));
        for (const UnitMagnitude* m :
             {&info.temperature, &info.field_strength, &info.pulse_strength90, &info.relaxation_time})
            EXPECT_EQ(*m, na);
        EXPECT_EQ(info.nucleus, std::vector<ParamValue>(axes, std::string()));
        for (const auto* list : {&info.origin_frequency, &info.frequency_offset, &info.acquisition_time,
                                 &info.spectral_width, &info.resolution})
            EXPECT_EQ(*list, std::vector<UnitMagnitude>(axes, na));
        EXPECT_EQ(info.spectral_width_clipped, std::vector<UnitMagnitude>{na});
        EXPECT_EQ(info.param_list, "[]");
        EXPECT_FALSE(info.digital_filter.has_value());
    }
}

TEST(ExtractInfo, ParameterValuesAreCopiesOfTheFirstMatch)
{
    std::vector<Param> params = {make_param("scans", std::int32_t{8}), make_param("scans", std::int32_t{64}),
                                 make_param("solvent", std::string("D2O"))};
    Parameters parameters = with(params);
    const Info info = extract_info(make_headers("One_D"), parameters, nullptr);
    std::get<std::string>(parameters.param_array[2].value) = "changed";
    EXPECT_EQ(info.number_of_scans, ParamValue(std::int32_t{8}));
    EXPECT_EQ(info.solvent, ParamValue(std::string("D2O")));
}

TEST(ExtractInfo, DimensionLimitsDataPointsOnly)
{
    Headers h = make_headers("One_D");
    h.data_dimension_number = 1;
    Info info = extract_info(h, Parameters{}, nullptr);
    EXPECT_EQ(info.dimension, 1);
    EXPECT_EQ(info.data_points, std::vector<std::uint32_t>{100});
    EXPECT_EQ(info.data_offset_start.size(), 8u);
    EXPECT_EQ(info.data_offset_stop.size(), 8u);

    h.data_dimension_number = 8;
    EXPECT_EQ(extract_info(h, Parameters{}, nullptr).data_points, h.data_points);

    h.data_dimension_number = 9;
    try {
        extract_info(h, Parameters{}, nullptr);
        FAIL() << "dimension 9 was accepted";
    } catch (const InternalFailure& e) {
        EXPECT_EQ(e.message(), "data_dimension_number 9 exceeds the 8 data_points entries");
    }
}

TEST(ExtractInfo, WritesFilterLinesToTheGivenStreamOrNowhere)
{
    std::ostringstream out;
    const Info info = extract_info(make_headers("One_D"), with(filter_params("21210", "84")), &out);
    EXPECT_EQ(out.str(), "84, 0, 8\n84, 1, 4\n");
    EXPECT_EQ(info.digital_filter, 5.1875);
    // Without a stream the figure is the same.
    EXPECT_EQ(extract_info(make_headers("One_D"), with(filter_params("21210", "84")), nullptr).digital_filter, 5.1875);
}

TEST(DigitalFilter, WorkedExample)
{
    const FilterRun run = run_filter(filter_params("21210", "84"));
    EXPECT_EQ(run.failure, "");
    EXPECT_EQ(run.output, "84, 0, 8\n84, 1, 4\n");
    EXPECT_EQ(run.value, 5.1875);
}

TEST(DigitalFilter, ThreeSignedStagesAndTrailingBytesIgnored)
{
    // stride (10 / 3) = 3: stages "+12", "-10", "005"; the final "X" is never read.
    const FilterRun run = run_filter(filter_params("3+12-10005X", "2345", 1.0, 1.0, 3));
    EXPECT_EQ(run.failure, "");
    EXPECT_EQ(run.output, "2345, 0, 2\n2345, 1, 3\n2345, 2, 4\n");
    // 11/(2*3*4) - 11/(3*4) + 4/4, then 2 * (sum * 0.5)
    EXPECT_DOUBLE_EQ(run.value.value(), 11.0 / 24.0 - 11.0 / 12.0 + 1.0);
}

TEST(DigitalFilter, ExtremeIntegersDoNotOverflow)
{
    // d - 1 for d = INT32_MIN and x_points - 1 for x_points = INT32_MIN.
    EXPECT_EQ(run_filter(filter_params("1-2147483648", "1", 1.0, 1.0, 3)).value, -2147483649.0);
    EXPECT_EQ(run_filter(filter_params("13", "1", 1.0, 1.0, std::numeric_limits<std::int32_t>::min())).value,
              -2147483649.0);
    EXPECT_EQ(run_filter(filter_params("12147483647", "1", 1.0, 1.0, 3)).value, 2147483646.0);
}

TEST(DigitalFilter, ZeroFactorDividesInDoubles)
{
    EXPECT_TRUE(std::isinf(run_filter(filter_params("112", "0")).value.value()));
    EXPECT_TRUE(std::isnan(run_filter(filter_params("101", "0")).value.value()));
}

TEST(DigitalFilter, InfinityTypedPointsAreAccepted)
{
    std::vector<Param> params = filter_params("21210", "84");
    params[4].value_type = "Infinity";  // the reader keeps its Integer value
    EXPECT_EQ(run_filter(params).value, 5.1875);
}

TEST(DigitalFilter, AbsentUnlessTheFirstOfEachNameHasItsKind)
{
    std::vector<std::vector<Param>> cases;
    cases.push_back(filter_params("21210", "84"));
    cases.back()[2].value = std::int32_t{2};  // Integer x_sweep
    cases.push_back(filter_params("21210", "84"));
    cases.back()[4].value = 5.0;  // Float x_points
    cases.push_back(filter_params("21210", "84"));
    cases.back()[0].value = std::int32_t{21210};  // Integer orders
    cases.push_back(filter_params("21210", "84"));
    cases.back().erase(cases.back().begin() + 3);  // no x_acq_time
    cases.push_back(filter_params("21210", "84"));
    cases.back().insert(cases.back().begin(), make_param("factors", 84.0));  // first "factors" is a Float

    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const FilterRun run = run_filter(cases[i]);
        EXPECT_EQ(run.failure, "");
        EXPECT_FALSE(run.value.has_value());
        EXPECT_EQ(run.output, "");
    }
}

TEST(DigitalFilter, MalformedParametersFailAfterTheLinesAlreadyWritten)
{
    struct Case {
        std::string orders, factors, failure, output;
    };
    const std::vector<Case> cases = {
        {"", "84", "digital filter \"orders\" is empty", ""},
        {"x1210", "84", "digital filter \"orders\" does not start with a decimal digit", ""},
        {"01210", "84", "digital filter stage count is 0", ""},
        {"21210", "8", "digital filter \"factors\" has 1 bytes, fewer than the 2 stages", "8, 0, 8\n"},
        {"21210", "8\xC3\xA9", "digital filter \"factors\" byte 1 is not a whole character", "8\xC3\xA9, 0, 8\n"},
        {"21210", "8x", "digital filter \"factors\" character 1 is not a decimal digit", "8x, 0, 8\n8x, 1, x\n"},
        {"1", "5", "digital filter stage text \"\" is not a decimal integer", "5, 0, 5\n"},
        {"1 12", "5", "digital filter stage text \" 12\" is not a decimal integer", "5, 0, 5\n"},
        {"1+-1", "5", "digital filter stage text \"+-1\" is not a decimal integer", "5, 0, 5\n"},
        {"1-", "5", "digital filter stage text \"-\" is not a decimal integer", "5, 0, 5\n"},
        {"12147483648", "5", "digital filter stage text \"2147483648\" is outside the signed 32-bit range",
         "5, 0, 5\n"},
        {"1-2147483649", "5", "digital filter stage text \"-2147483649\" is outside the signed 32-bit range",
         "5, 0, 5\n"},
        // stride 2 cuts "\xC3\xA9" (é) after its first byte.
        {"21\xC3\xA9"
         "2",
         "55", "digital filter stage 0 splits a multi-byte character of \"orders\"", "55, 0, 5\n55, 1, 5\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("orders \"" + c.orders + "\" factors \"" + c.factors + "\"");
        const FilterRun run = run_filter(filter_params(c.orders, c.factors));
        EXPECT_EQ(run.failure, c.failure);
        EXPECT_EQ(run.output, c.output);
        EXPECT_FALSE(run.value.has_value());
    }
}

}  // namespace
}  // namespace vorn
