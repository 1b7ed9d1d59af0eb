// The driver: sources, stage order, frames of the outermost record.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "test_bytes.h"
#include "vorn_data_file.h"

using namespace vorn;
using namespace vorn::test;

namespace {

std::vector<std::string> frame_messages(const ReadError& e)
{
    std::vector<std::string> out;
    for (const auto& f : e.frames()) out.push_back(f.message);
    return out;
}

ReadError read_error_of(Result<VornDataFile, ParseError> r)
{
    EXPECT_FALSE(r);
    return std::get<ReadError>(std::move(r).error());
}

std::string write_temp(const Bytes& b, const char* name)
{
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                                static_cast<std::streamsize>(b.size()));
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

TEST(ParseDriver, LayoutCheckCarriesOnlyTheDriverFrame)
{
    Bytes b = valid_header();
    put_u8(b, hdr::data_type_byte, 0x03);
    const auto e = read_error_of(parse_from_filepath(DataContainer::from_bytes(b)));
    EXPECT_EQ(e.root_cause(), "Only One_D and Two_D data formats are implemented yet, received Three_D instead  at 0x0");
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
