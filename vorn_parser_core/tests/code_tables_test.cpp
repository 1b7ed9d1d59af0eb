// The table rows that other stages compare against or that repeat names.
#include <gtest/gtest.h>

#include "code_tables.h"
#include "internal_failure.h"

using namespace vorn;

TEST(CodeTables, RepeatedAndMissingRows)
{
    EXPECT_FALSE(DATA_FORMAT().lookup(0));
    EXPECT_EQ(DATA_FORMAT().lookup(1), "One_D");
    EXPECT_EQ(DATA_FORMAT().lookup(2), "Two_D");
    for (int code : {9, 10, 11}) EXPECT_EQ(DATA_FORMAT().lookup(code), "not for NMR data formats");
    EXPECT_EQ(DATA_FORMAT().lookup(14), "Small_Four_D");
    EXPECT_FALSE(DATA_FORMAT().lookup(15));
    EXPECT_EQ(DATA_AXIS_RANGED().lookup(1), "Listed");
    EXPECT_EQ(DATA_AXIS_RANGED().lookup(3), "Listed");
    EXPECT_EQ(DATA_TYPE().lookup(2), "Reserved");
    EXPECT_EQ(DATA_TYPE().lookup(3), "Reserved");
    EXPECT_EQ(BASE().lookup(42), "Index");
    EXPECT_FALSE(BASE().lookup(43));
    EXPECT_EQ(VALUE_TYPE().lookup(4), "Infinity");
    EXPECT_FALSE(VALUE_TYPE().lookup(5));
    EXPECT_EQ(INSTRUMENT_TABLE().lookup(28).has_value(), true);
    EXPECT_FALSE(INSTRUMENT_TABLE().lookup(29));
    EXPECT_FALSE(ENDIANNESS().lookup(2));
}

TEST(CodeTables, EveryPrefixCodeMapsToMinusThreeTimesItsCode)
{
    EXPECT_EQ(PREFIX().lookup(-6), "Exa");
    EXPECT_EQ(PREFIX().lookup(-7), "Zetta");
    EXPECT_EQ(PREFIX().lookup(-5), "Pecta");
    EXPECT_EQ(PREFIX().lookup(0), "None");
    for (int code = -8; code <= 7; ++code) {
        auto name = PREFIX().lookup(code);
        ASSERT_TRUE(name) << code;
        EXPECT_EQ(UNIT_PREFIX().lookup(*name), -3 * code) << *name;
    }
    EXPECT_FALSE(UNIT_PREFIX().lookup("Peta"));
    EXPECT_FALSE(UNIT_PREFIX().lookup("kilo"));
}

TEST(CodeTables, MissingCodeIsAnInternalFailureNamingTableAndCode)
{
    EXPECT_EQ(name_or_fail(VALUE_TYPE(), 2), "Float");
    try {
        (void)name_or_fail(VALUE_TYPE(), 7);
        FAIL() << "no failure";
    } catch (const InternalFailure& e) {
        EXPECT_EQ(e.message(), "code 7 has no entry in table VALUE_TYPE");
    }
}

TEST(CodeTables, EnumsNameTheRowsTheReadersActOn)
{
    EXPECT_EQ(name_of(Endianness::Big), "bigEndian");
    EXPECT_EQ(name_of(Endianness::Little), "littleEndian");
    EXPECT_EQ(name_of(DataType::Float64), "64Bit Float");
    EXPECT_EQ(name_of(DataType::Float32), "32Bit Float");
    EXPECT_EQ(name_of(DataFormat::OneD), "One_D");
    EXPECT_EQ(name_of(DataFormat::TwoD), "Two_D");
    EXPECT_EQ(name_of(AxisType::Complex), "Complex");
    EXPECT_EQ(name_of(AxisType::RealComplex), "Real_Complex");
    const std::pair<ValueType, std::string_view> kinds[] = {{ValueType::String, "String"},
                                                            {ValueType::Integer, "Integer"},
                                                            {ValueType::Float, "Float"},
                                                            {ValueType::Complex, "Complex"},
                                                            {ValueType::Infinity, "Infinity"}};
    for (const auto& [kind, name] : kinds) EXPECT_EQ(name_of(kind), name);
    EXPECT_TRUE(is("Two_D", DataFormat::TwoD));
    EXPECT_FALSE(is("Small_Two_D", DataFormat::TwoD));
    EXPECT_FALSE(is("two_d", DataFormat::TwoD));
    // A repeated name gives its first code.
    EXPECT_EQ(DATA_AXIS_RANGED().code_of("Listed"), 1);
    EXPECT_EQ(DATA_TYPE().code_of("Reserved"), 2);
    EXPECT_FALSE(DATA_TYPE().code_of("16Bit Integer"));
}
