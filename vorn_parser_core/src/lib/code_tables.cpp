// Rows of the code tables. Readers compare names with is() and the enums of
// code_tables.h, so each name is spelled here only; every character (case,
// digits, spaces, underscores) is output as it stands.
#include "code_tables.h"

#include "internal_failure.h"

namespace vorn {

const CodeTable& ENDIANNESS()
{
    static constexpr CodeTable table("ENDIANNESS", 0, {"bigEndian", "littleEndian"});
    static_assert(table.has_rows(Endianness::Big, Endianness::Little));
    return table;
}

const CodeTable& DATA_TYPE()
{
    static constexpr CodeTable table("DATA_TYPE", 0, {"64Bit Float", "32Bit Float", "Reserved", "Reserved"});
    static_assert(table.has_rows(DataType::Float64, DataType::Float32));
    return table;
}

const CodeTable& DATA_FORMAT()
{
    static constexpr CodeTable table("DATA_FORMAT", 1,
                                     {"One_D", "Two_D", "Three_D", "Four_D", "Five_D", "Six_D", "Seven_D", "Eight_D",
                                      "not for NMR data formats", "not for NMR data formats",
                                      "not for NMR data formats", "Small_Two_D", "Small_Three_D", "Small_Four_D"});
    static_assert(table.has_rows(DataFormat::OneD, DataFormat::TwoD));
    return table;
}

const CodeTable& INSTRUMENT_TABLE()
{
    // Our own neutral identifiers; nothing compares against them.
    static constexpr CodeTable table("INSTRUMENT_TABLE", 0,
                                     {"UNSPECIFIED", "CONSOLE_A", "CONSOLE_B", "CONSOLE_C",  "CONSOLE_D",  "CONSOLE_E",
                                      "CONSOLE_F",   "CONSOLE_G", "CONSOLE_H", "BENCHTOP_A", "BENCHTOP_B", "BENCHTOP_C",
                                      "IMAGING_A",   "IMAGING_B", "SOLIDS_A",  "SOLIDS_B",   "FLOW_A",     "FLOW_B",
                                      "CRYO_A",      "CRYO_B",    "PORTABLE",  "RESEARCH",   "TEACHING",   "SIMULATOR",
                                      "CONVERTER",   "IMPORT_A",  "IMPORT_B",  "PROCESSED",  "OTHER"});
    return table;
}

const CodeTable& DATA_AXIS_TYPE()
{
    static constexpr CodeTable table("DATA_AXIS_TYPE", 0,
                                     {"None", "Real", "TPPI", "Complex", "Real_Complex", "Envelope"});
    static_assert(table.has_rows(AxisType::Complex, AxisType::RealComplex));
    return table;
}

const CodeTable& DATA_AXIS_RANGED()
{
    static constexpr CodeTable table("DATA_AXIS_RANGED", 0, {"Ranged", "Listed", "Sparse", "Listed"});
    return table;
}

const CodeTable& PREFIX()
{
    // The code is minus one third of the prefix's power of ten.
    static constexpr CodeTable table("PREFIX", -8,
                                     {"Yotta", "Zetta", "Exa", "Pecta", "Tera", "Giga", "Mega", "Kilo", "None", "Milli",
                                      "Micro", "Nano", "Pico", "Femto", "Atto", "Zepto"});
    return table;
}

const CodeTable& BASE()
{
    static constexpr CodeTable table(
        "BASE", 0,
        {"None",    "Abundance", "Ampere",   "Candela",   "Celsius", "Coulomb", "Degree",  "Electronvolt", "Farad",
         "Sievert", "Gram",      "Gray",     "Henry",     "Hertz",   "Kelvin",  "Joule",   "Liter",        "Lumen",
         "Lux",     "Meter",     "Mole",     "Newton",    "Ohm",     "Pascal",  "Percent", "Point",        "Ppm",
         "Radian",  "Second",    "Siemens",  "Steradian", "Tesla",   "Volt",    "Watt",    "Weber",        "Decibel",
         "Dalton",  "Thompson",  "Ugeneric", "LPercent",  "PPT",     "PPB",     "Index"});
    return table;
}

const CodeTable& VALUE_TYPE()
{
    static constexpr CodeTable table("VALUE_TYPE", 0, {"String", "Integer", "Float", "Complex", "Infinity"});
    static_assert(table.has_rows(ValueType::String, ValueType::Integer, ValueType::Float, ValueType::Complex,
                                 ValueType::Infinity));
    return table;
}

// The tables are made at compile time, where alone their constructor's check can throw.
// NOLINTNEXTLINE(bugprone-exception-escape)
std::optional<std::int8_t> PrefixPowerTable::lookup(std::string_view name) const noexcept
{
    // A prefix's code is minus one third of its power of ten (see PREFIX).
    const auto code = PREFIX().code_of(name);
    if (!code) return std::nullopt;
    return static_cast<std::int8_t>(-3 * *code);
}

std::vector<PrefixPower> prefix_powers()
{
    std::vector<PrefixPower> out;
    const CodeTable& table = PREFIX();
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto name = table.lookup(table.first_code() + static_cast<int>(i));
        const auto power = name ? UNIT_PREFIX().lookup(*name) : std::nullopt;
        if (name && power) out.push_back({*name, *power});
    }
    return out;
}

const PrefixPowerTable& UNIT_PREFIX()
{
    static constexpr PrefixPowerTable table;
    return table;
}

std::string name_or_fail(const CodeTable& table, int code, SourceLoc where)
{
    return std::string(table_name_or_fail(table, code, where));
}

std::string_view table_name_or_fail(const CodeTable& table, int code, SourceLoc where)
{
    if (auto name = table.lookup(code)) return *name;
    fail("code " + std::to_string(code) + " has no entry in table " + std::string(table.table_name()), where);
}

}  // namespace vorn
