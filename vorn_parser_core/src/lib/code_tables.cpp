// Rows of the code tables. Names are compared exactly elsewhere, so every
// character (case, digits, spaces, underscores) matters.
#include "code_tables.h"

#include "internal_failure.h"

namespace vorn {

const CodeTable& ENDIANNESS()
{
    static const CodeTable table("ENDIANNESS", 0, {"bigEndian", "littleEndian"});
    return table;
}

const CodeTable& DATA_TYPE()
{
    static const CodeTable table("DATA_TYPE", 0, {"64Bit Float", "32Bit Float", "Reserved", "Reserved"});
    return table;
}

const CodeTable& DATA_FORMAT()
{
    static const CodeTable table("DATA_FORMAT", 1,
                                 {"One_D", "Two_D", "Three_D", "Four_D", "Five_D", "Six_D", "Seven_D", "Eight_D",
                                  "not for NMR data formats", "not for NMR data formats", "not for NMR data formats",
                                  "Small_Two_D", "Small_Three_D", "Small_Four_D"});
    return table;
}

const CodeTable& INSTRUMENT_TABLE()
{
    // Our own neutral identifiers; nothing compares against them.
    static const CodeTable table("INSTRUMENT_TABLE", 0,
                                 {"UNSPECIFIED", "CONSOLE_A",  "CONSOLE_B",  "CONSOLE_C",   "CONSOLE_D",  "CONSOLE_E",
                                  "CONSOLE_F",   "CONSOLE_G",  "CONSOLE_H",  "BENCHTOP_A",  "BENCHTOP_B", "BENCHTOP_C",
                                  "IMAGING_A",   "IMAGING_B",  "SOLIDS_A",   "SOLIDS_B",    "FLOW_A",     "FLOW_B",
                                  "CRYO_A",      "CRYO_B",     "PORTABLE",   "RESEARCH",    "TEACHING",   "SIMULATOR",
                                  "CONVERTER",   "IMPORT_A",   "IMPORT_B",   "PROCESSED",   "OTHER"});
    return table;
}

const CodeTable& DATA_AXIS_TYPE()
{
    static const CodeTable table("DATA_AXIS_TYPE", 0, {"None", "Real", "TPPI", "Complex", "Real_Complex", "Envelope"});
    return table;
}

const CodeTable& DATA_AXIS_RANGED()
{
    static const CodeTable table("DATA_AXIS_RANGED", 0, {"Ranged", "Listed", "Sparse", "Listed"});
    return table;
}

const CodeTable& PREFIX()
{
    // The code is minus one third of the prefix's power of ten.
    static const CodeTable table("PREFIX", -8,
                                 {"Yotta", "Zetta", "Exa", "Pecta", "Tera", "Giga", "Mega", "Kilo", "None", "Milli",
                                  "Micro", "Nano", "Pico", "Femto", "Atto", "Zepto"});
    return table;
}

const CodeTable& BASE()
{
    static const CodeTable table(
        "BASE", 0,
        {"None",    "Abundance", "Ampere",    "Candela", "Celsius",  "Coulomb", "Degree",   "Electronvolt", "Farad",
         "Sievert", "Gram",      "Gray",      "Henry",   "Hertz",    "Kelvin",  "Joule",    "Liter",        "Lumen",
         "Lux",     "Meter",     "Mole",      "Newton",  "Ohm",      "Pascal",  "Percent",  "Point",        "Ppm",
         "Radian",  "Second",    "Siemens",   "Steradian", "Tesla",  "Volt",    "Watt",     "Weber",        "Decibel",
         "Dalton",  "Thompson",  "Ugeneric",  "LPercent", "PPT",     "PPB",     "Index"});
    return table;
}

const CodeTable& VALUE_TYPE()
{
    static const CodeTable table("VALUE_TYPE", 0, {"String", "Integer", "Float", "Complex", "Infinity"});
    return table;
}

const PrefixPowerTable& UNIT_PREFIX()
{
    static const PrefixPowerTable table({{"Yotta", 24},
                                         {"Zetta", 21},
                                         {"Exa", 18},
                                         {"Pecta", 15},
                                         {"Tera", 12},
                                         {"Giga", 9},
                                         {"Mega", 6},
                                         {"Kilo", 3},
                                         {"None", 0},
                                         {"Milli", -3},
                                         {"Micro", -6},
                                         {"Nano", -9},
                                         {"Pico", -12},
                                         {"Femto", -15},
                                         {"Atto", -18},
                                         {"Zepto", -21}});
    return table;
}

std::string name_or_fail(const CodeTable& table, int code, SourceLoc where)
{
    if (auto name = table.lookup(code)) return std::string(*name);
    fail("code " + std::to_string(code) + " has no entry in table " + std::string(table.table_name()), where);
}

}  // namespace vorn
