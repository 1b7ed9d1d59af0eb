// The driver: sources, stage order, frames of the outermost record.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "internal_failure.h"
#include "test_bytes.h"
#include "vorn_data_file.h"

using namespace vorn;
using namespace vorn::test;

namespace {

ReadError read_error_of(Result<VornDataFile, ParseError> r)
{
    EXPECT_FALSE(r);
    return std::get<ReadError>(std::move(r).error());
}

std::string write_temp(const Bytes& b, const char* name)
{
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    return path;
}

}  // namespace

TEST(ParseDriver, UnopenablePathsGiveExactlyTheOpenFailure)
{
    for (std::string path : {std::string("/nonexistent/vorn.bin"), std::string("/tmp\0/x", 7)}) {
        auto r = parse_from_filepath(DataContainer::from_path(path));
        ASSERT_FALSE(r);
        ASSERT_TRUE(std::holds_alternative<OpenError>(r.error()));
        EXPECT_EQ(render(r.error()), "Error reading the data!");
    }
}

TEST(ParseDriver, DirectoryFailsAtTheFirstHeaderFieldWithTheSystemError)
{
    const auto e = read_error_of(parse_from_filepath(DataContainer::from_path("/")));
    EXPECT_NE(e.root_cause().find("Is a directory"), std::string::npos);
    EXPECT_EQ(frame_messages(e), (std::vector<std::string>{"While parsing field 'file_identifier' in Headers",
                                                           "While parsing field 'headers' in VornDataFile"}));
}

TEST(ParseDriver, EmptyInputFailsAtTheFirstHeaderField)
{
    const auto e = read_error_of(parse_from_filepath(DataContainer::from_bytes({})));
    EXPECT_EQ(e.root_cause(), "not enough bytes in reader");
    EXPECT_EQ(frame_messages(e).back(), "While parsing field 'headers' in VornDataFile");
    const std::string text = render(ParseError(e));
    EXPECT_NE(text.find("Error: not enough bytes in reader\n    While parsing field 'file_identifier' in Headers"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("vorn_parser_core/src/lib/headers.cpp:"), std::string::npos) << text;
}

TEST(ParseDriver, RenderedTextOfAReadErrorAndOfAnInternalFailure)
{
    // The whole message text after the module's lead: root cause, frames
    // innermost first, each with the repository-relative file and the line
    // of the reading code that named the field.
    const auto e = read_error_of(parse_from_filepath(DataContainer::from_bytes(Bytes(5, 0))));
    ASSERT_EQ(e.frames().size(), 2u);
    const unsigned inner = e.frames()[0].where.line;
    const unsigned outer = e.frames()[1].where.line;
    EXPECT_GT(inner, 0u);
    EXPECT_GT(outer, 0u);
    const std::string want = "\n---- read error, innermost field first ----\n"
                             " 0: Error: not enough bytes in reader\n"
                             "    While parsing field 'file_identifier' in Headers\n"
                             "      at vorn_parser_core/src/lib/headers.cpp:" +
                             std::to_string(inner) + "\n" +
                             " 1: While parsing field 'headers' in VornDataFile\n"
                             "      at vorn_parser_core/src/lib/vorn_data_file.cpp:" +
                             std::to_string(outer) + "\n" + "--------------------------------------------";
    EXPECT_EQ(render(ParseError(e)), want);

    // An internal failure has no frames: its text is its message, and it
    // names where the reading code met it.
    Bytes b = valid_header();
    put_u8(b, hdr::endian, 2);
    try {
        (void)parse_from_filepath(DataContainer::from_bytes(b));
        FAIL() << "no internal failure";
    } catch (const InternalFailure& failure) {
        EXPECT_STREQ(failure.what(), "code 2 has no entry in table ENDIANNESS");
        EXPECT_EQ(failure.message(), failure.what());
        EXPECT_STREQ(failure.where().file, "vorn_parser_core/src/lib/headers.cpp");
        EXPECT_GT(failure.where().line, 0u);
    }
}

TEST(ParseDriver, LayoutCheckCarriesOnlyTheDriverFrame)
{
    Bytes b = valid_header();
    put_u8(b, hdr::data_type_byte, 0x03);
    const auto e = read_error_of(parse_from_filepath(DataContainer::from_bytes(b)));
    EXPECT_EQ(e.root_cause(),
              "Only One_D and Two_D data formats are implemented yet, received Three_D instead  at 0x0");
    EXPECT_EQ(frame_messages(e), std::vector<std::string>{"While parsing field 'headers' in VornDataFile"});
}

TEST(ParseDriver, PathAndBytesGiveEqualErrors)
{
    Bytes b = valid_header();
    b.resize(1359);
    const std::string path = write_temp(b, "vorn_1359.bin");
    const auto from_path = read_error_of(parse_from_filepath(DataContainer::from_path(path)));
    const auto from_bytes = read_error_of(parse_from_filepath(DataContainer::from_bytes(b)));
    EXPECT_EQ(render(from_path), render(from_bytes));
    EXPECT_EQ(frame_messages(from_bytes), (std::vector<std::string>{"While parsing field 'unit' in CompoundUnit",
                                                                    "While parsing field 'compound_unit' in Headers",
                                                                    "While parsing field 'headers' in VornDataFile"}));
    std::remove(path.c_str());
}

namespace {

// Header, an empty parameter block at 1360 and a One_D complex data section of
// one 64-bit sample per part at 1376, all in the given order.
Bytes whole_file(ByteOrder order)
{
    Bytes b = valid_header();
    put_u8(b, hdr::endian, order == ByteOrder::Little ? 1 : 0);
    put_u8(b, hdr::axis_type, 3);  // Complex: two sections
    put_u32(b, hdr::data_points, 1);
    put_u32(b, hdr::param_start, 1360);
    put_u32(b, hdr::data_start, 1376);
    put_u32(b, 1360, 0xAABBCCDD, order);  // parameters_size
    put_f64(b, 1376, 1.25, order);
    put_f64(b, 1384, -2.5, order);
    return b;
}

}  // namespace

TEST(ParseDriver, ByteOrderNameSelectsTheOrderOfParametersAndData)
{
    for (ByteOrder order : {ByteOrder::Big, ByteOrder::Little}) {
        auto r = parse_from_filepath(DataContainer::from_bytes(whole_file(order)));
        ASSERT_TRUE(r) << render(r.error());
        EXPECT_EQ(r->parameters.parameters_size, 0xAABBCCDDu);
        EXPECT_EQ(r->data.im, DataField(Matrix{{1.25}}));
        EXPECT_EQ(r->data.re, DataField(Matrix{{-2.5}}));
        EXPECT_EQ(r->info.param_list, "[]");
    }
}

TEST(ParseDriver, BlocksBeyondTheEndFailInTheirStepNotInTheSeek)
{
    Bytes params_gone = whole_file(ByteOrder::Big);
    put_u32(params_gone, hdr::param_start, 4294967295u);
    EXPECT_EQ(frame_messages(read_error_of(parse_from_filepath(DataContainer::from_bytes(params_gone)))),
              (std::vector<std::string>{"While parsing field 'parameters_size' in Parameters",
                                        "While parsing field 'parameters' in VornDataFile"}));

    Bytes data_gone = whole_file(ByteOrder::Big);
    put_u32(data_gone, hdr::data_start, 4294967295u);
    const auto e = read_error_of(parse_from_filepath(DataContainer::from_bytes(data_gone)));
    EXPECT_EQ(e.root_cause(), "failed to fill whole buffer");
    EXPECT_EQ(frame_messages(e), (std::vector<std::string>{"While parsing field 'data_results' in Data",
                                                           "While parsing field 'data' in VornDataFile"}));
}

TEST(ParseDriver, BlocksMayOverlapAndComeInAnyOrder)
{
    // The data section placed before the parameter block, inside the header's
    // own bytes: nothing between or around the blocks is read.
    Bytes b = whole_file(ByteOrder::Big);
    put_u32(b, hdr::data_start, 1376);
    put_u32(b, hdr::param_start, 1376);  // parameters_size = first word of the samples
    put_u32(b, 1384, 0);                 // high_index 0
    auto r = parse_from_filepath(DataContainer::from_bytes(b));
    ASSERT_TRUE(r) << render(r.error());
    EXPECT_EQ(r->parameters.parameters_size, 0x3FF40000u);  // high word of 1.25
    EXPECT_TRUE(r->parameters.param_array.empty());
}
