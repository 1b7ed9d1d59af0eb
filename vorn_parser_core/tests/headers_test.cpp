// Header block decoding, its failures and their frame chains.
#include <gtest/gtest.h>

#include "headers.h"
#include "internal_failure.h"
#include "test_bytes.h"

using namespace vorn;
using namespace vorn::test;

namespace {

Headers read_ok(const Bytes& b)
{
    ByteSource src(b);
    auto h = read_headers(src);
    if (!h) ADD_FAILURE() << render(h.error());
    EXPECT_EQ(src.position(), kHeaderSize);
    return std::move(h).value();
}

std::string internal_failure_of(const Bytes& b)
{
    ByteSource src(b);
    try {
        (void)read_headers(src);
    } catch (const InternalFailure& e) {
        return e.message();
    }
    return "<no internal failure>";
}

}  // namespace

TEST(HeaderDecoders, PackedFields)
{
    EXPECT_EQ(decode_date({0x41, 0x6F, 0x0E, 0x00}), (Date{2022, 11, 14}));
    EXPECT_EQ(decode_date({0x41, 0x7F, 0x00, 0x00}).day, 0);
    EXPECT_EQ(read_bool_vector_from_byte(0x80),
              (std::vector<bool>{true, false, false, false, false, false, false, false}));
    EXPECT_EQ(read_bool_vector_from_byte(0x01),
              (std::vector<bool>{false, false, false, false, false, false, false, true}));
    EXPECT_EQ(read_bool_vector({0x00, 0x01, 0xFF, 0, 0, 0, 0, 0x02}),
              (std::vector<bool>{false, true, true, false, false, false, false, true}));
    EXPECT_EQ(read_data_axis_ranged({0x12, 0x30}), (std::vector<std::string>{"Listed", "Sparse", "Listed", "Ranged"}));
}

TEST(HeaderDecoders, UnitPrefixIsASignedNibble)
{
    ByteSource src(Bytes{0xE1, 0x0D, 0x3F, 0x0D});
    EXPECT_EQ(*read_unit(src), (Unit{"Mega", 1, "Hertz"}));
    EXPECT_EQ(*read_unit(src), (Unit{"Nano", 15, "Hertz"}));
}

TEST(HeaderReader, DecodesEveryFieldAtItsOffset)
{
    Bytes b = valid_header();
    put_text(b, 0, std::string_view("ID  1\0\0\0", 8));
    put_u8(b, 8, 1);
    put_u8(b, 9, 7);
    put_u16(b, 10, 65535);
    put_u8(b, 12, 2);
    put_u8(b, 13, 0xC0);
    put_u8(b, 14, 0x42);  // 32Bit Float, Two_D
    put_u8(b, 15, 28);
    put_u8(b, 16, 0xAB);
    put_u8(b, 24, 3);
    put_u8(b, 25, 4);
    put_u8(b, 32, 0xE1);
    put_u8(b, 33, 0x0D);
    put_text(b, 48, "My Sample ");
    put_u8(b, 172, 0x12);
    put_u32(b, 176, 4294967295u);
    put_u32(b, 208 + 28, 9);
    put_u32(b, 240, 10);
    put_f64(b, 272, -1.5);
    put_f64(b, 336 + 56, 2.5);
    put_u8(b, 400, 0x41), put_u8(b, 401, 0x6F), put_u8(b, 402, 0x0E);
    put_u8(b, 404, 0x42);
    put_text(b, 408, "node");
    put_text(b, 424, "site");
    put_text(b, 552, "author");
    put_text(b, 680, "comment");
    put_text(b, 808 + 32, "Axis 2");
    put_f64(b, 1064, 400.13);
    put_f64(b, 1128 + 8, 4.7);
    put_u8(b, 1193, 0xFF);
    put_u8(b, 1200, 0xFF);  // the three skipped bytes are never looked at
    put_u8(b, 1203, 0x80);
    for (std::size_t i = 0; i < 4; ++i) put_u32(b, 1204 + 4 * i, static_cast<std::uint32_t>(100 + i));
    put_u32(b, 1220 + 4, 5);
    put_u32(b, 1252 + 28, 6);
    put_u32(b, 1284, 2000);
    put_u32(b, 1288, 1), put_u32(b, 1292, 16);
    put_u32(b, 1296, 2), put_u32(b, 1300, 17);
    put_u32(b, 1304, 18);
    put_u32(b, 1308, 3), put_u32(b, 1312, 19);
    put_u32(b, 1316, 20);
    put_u32(b, 1320, 4), put_u32(b, 1324, 21);
    put_u8(b, 1335, 9);
    put_u16(b, 1336, 0xFFFF);
    put_u16(b, 1338 + 8, 0x8000);
    put_u16(b, 1348, 3);

    const Headers h = read_ok(b);
    EXPECT_EQ(h.file_identifier, "ID1");
    EXPECT_EQ(h.endian, "littleEndian");
    EXPECT_EQ(h.major_version, 7);
    EXPECT_EQ(h.minor_version, 65535);
    EXPECT_EQ(h.data_dimension_number, 2);
    EXPECT_EQ(h.data_dimension_exist, (std::vector<bool>{true, true, false, false, false, false, false, false}));
    EXPECT_EQ(h.data_type, "32Bit Float");
    EXPECT_EQ(h.data_format, "Two_D");
    EXPECT_EQ(h.data_instrument, "OTHER");
    EXPECT_EQ(h.translate, (std::vector<std::uint8_t>{0xAB, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(h.data_axis_type[0], "Complex");
    EXPECT_EQ(h.data_axis_type[1], "Real_Complex");
    EXPECT_EQ(h.data_axis_type[7], "None");
    EXPECT_EQ(h.data_units[0], (Unit{"Mega", 1, "Hertz"}));
    EXPECT_EQ(h.data_units[1], (Unit{"None", 0, "None"}));
    EXPECT_EQ(h.title, "MySample");
    EXPECT_EQ(h.data_axis_ranged, (std::vector<std::string>{"Listed", "Sparse", "Ranged", "Ranged", "Ranged", "Ranged",
                                                            "Ranged", "Ranged"}));
    EXPECT_EQ(h.data_points[0], 4294967295u);
    EXPECT_EQ(h.data_offset_start[7], 9u);
    EXPECT_EQ(h.data_offset_stop[0], 10u);
    EXPECT_EQ(h.data_axis_start[0], -1.5);
    EXPECT_EQ(h.data_axis_stop[7], 2.5);
    EXPECT_EQ(h.creation_time, (Date{2022, 11, 14}));
    EXPECT_EQ(h.revision_time, (Date{2023, 0, 0}));
    EXPECT_EQ(h.node_name, "node");
    EXPECT_EQ(h.site, "site");
    EXPECT_EQ(h.author, "author");
    EXPECT_EQ(h.comment, "comment");
    EXPECT_EQ(h.data_axis_titles.size(), 8u);
    EXPECT_EQ(h.data_axis_titles[1], "Axis2");
    EXPECT_EQ(h.base_freq[0], 400.13);
    EXPECT_EQ(h.zero_point[1], 4.7);
    EXPECT_EQ(h.reversed, (std::vector<bool>{false, true, false, false, false, false, false, false}));
    EXPECT_TRUE(h.annotation_ok);
    EXPECT_EQ(h.history_used, 100u);
    EXPECT_EQ(h.history_length, 101u);
    EXPECT_EQ(h.param_start, 102u);
    EXPECT_EQ(h.param_length, 103u);
    EXPECT_EQ(h.list_start[1], 5u);
    EXPECT_EQ(h.list_length[7], 6u);
    EXPECT_EQ(h.data_start, 2000u);
    EXPECT_EQ(h.data_length, 16u);
    EXPECT_EQ(h.context_start, 17u);
    EXPECT_EQ(h.context_length, 18u);
    EXPECT_EQ(h.annote_start, 19u);
    EXPECT_EQ(h.annote_length, 20u);
    EXPECT_EQ(h.total_size, 21u);
    EXPECT_EQ(h.unit_location[7], 9);
    ASSERT_EQ(h.compound_unit.size(), 2u);
    EXPECT_EQ(h.compound_unit[0].scaler, -1);
    EXPECT_EQ(h.compound_unit[0].unit, (std::vector<std::int16_t>{0, 0, 0, 0, -32768}));
    EXPECT_EQ(h.compound_unit[1].scaler, 3);
}

TEST(HeaderReader, HeaderNumbersStayBigEndianInALittleEndianFile)
{
    Bytes b = valid_header();
    put_u8(b, hdr::endian, 1);
    put_u32(b, hdr::param_start, 0x10000000, ByteOrder::Little);  // stored as 00 00 00 10
    const Headers h = read_ok(b);
    EXPECT_EQ(h.endian, "littleEndian");
    EXPECT_EQ(h.param_start, 0x10u);
}

TEST(HeaderReader, AnnotationFlagIsBitSevenOnly)
{
    Bytes b = valid_header();
    put_u8(b, 1203, 0x7F);
    EXPECT_FALSE(read_ok(b).annotation_ok);
}

TEST(HeaderReader, TextFieldsTrimNulsThenSpacesThenDropSpaces)
{
    Bytes b = valid_header();
    put_text(b, hdr::title, std::string_view("AB\0CD", 5));
    put_text(b, 424, std::string_view("a b \0\0", 6));
    EXPECT_EQ(read_ok(b).title, std::string("AB\0CD", 5));
    EXPECT_EQ(read_ok(b).site, "ab");
}

TEST(HeaderReader, ShortNumberReadSaysFailedToFillWholeBuffer)
{
    Bytes b = valid_header();
    b.resize(1206);  // inside history_used
    ByteSource src(b);
    auto h = read_headers(src);
    ASSERT_FALSE(h);
    EXPECT_EQ(h.error().root_cause(), "failed to fill whole buffer");
    EXPECT_EQ(frame_messages(h.error()), std::vector<std::string>{"While parsing field 'history_used' in Headers"});
    EXPECT_EQ(src.position(), 0u) << "a failed header read rewinds to its start";
}

TEST(HeaderReader, ShortRunSaysNotEnoughBytesInReader)
{
    Bytes b = valid_header();
    b.resize(100);  // inside title
    ByteSource src(b);
    auto h = read_headers(src);
    ASSERT_FALSE(h);
    EXPECT_EQ(h.error().root_cause(), "not enough bytes in reader");
    EXPECT_EQ(frame_messages(h.error()), std::vector<std::string>{"While parsing field 'title' in Headers"});
}

TEST(HeaderReader, InnerRecordFramesComeBeforeTheHeadersFrame)
{
    struct Case {
        std::size_t size;
        std::vector<std::string> frames;
    };
    const Case cases[] = {
        {33, {"While parsing field 'base' in Unit", "While parsing field 'data_units' in Headers"}},
        {34, {"While parsing field 'temp_byte' in Unit", "While parsing field 'data_units' in Headers"}},
        {406, {"While parsing field 'temp_bytes' in Date", "While parsing field 'revision_time' in Headers"}},
        {1337, {"While parsing field 'scaler' in CompoundUnit", "While parsing field 'compound_unit' in Headers"}},
        {1359, {"While parsing field 'unit' in CompoundUnit", "While parsing field 'compound_unit' in Headers"}},
        {14, {"While parsing field 'temp_byte' in Headers"}},
        {1200, {"While parsing field 'annotation_ok' in Headers"}},
        {1292, {"While parsing field 'data_length' in Headers"}},
    };
    for (const auto& c : cases) {
        Bytes b = valid_header();
        b.resize(c.size);
        ByteSource src(b);
        auto h = read_headers(src);
        ASSERT_FALSE(h) << c.size;
        EXPECT_EQ(frame_messages(h.error()), c.frames) << c.size;
    }
}

TEST(HeaderReader, EveryTruncationFailsWithAFrameAndNeverThrows)
{
    const Bytes full = valid_header();
    for (std::size_t n = 0; n < kHeaderSize; ++n) {
        ByteSource src(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n)));
        auto h = read_headers(src);
        ASSERT_FALSE(h) << n;
        ASSERT_FALSE(h.error().frames().empty()) << n;
    }
}

TEST(HeaderReader, LayoutCheckNamesTheLayoutAtTheBlockStart)
{
    Bytes b = valid_header();
    put_u8(b, hdr::data_type_byte, 0x03);
    Bytes shifted(16, 0);  // the block starts at 16 here
    shifted.insert(shifted.end(), b.begin(), b.begin() + 16);
    ByteSource src(shifted);
    ASSERT_TRUE(src.seek(16));
    auto h = read_headers(src);
    ASSERT_FALSE(h);
    EXPECT_EQ(h.error().root_cause(),
              "Only One_D and Two_D data formats are implemented yet, received Three_D instead  at 0x10");
    EXPECT_TRUE(h.error().frames().empty());
    EXPECT_EQ(src.position(), 16u);

    put_u8(b, hdr::data_type_byte, 12);
    ByteSource small_two_d(b);
    EXPECT_EQ(read_headers(small_two_d).error().root_cause(),
              "Only One_D and Two_D data formats are implemented yet, received Small_Two_D instead  at 0x0");
}

TEST(HeaderReader, TableMissesAndBadTextAreInternalFailuresInFieldOrder)
{
    EXPECT_EQ(internal_failure_of(Bytes(kHeaderSize, 0)), "code 0 has no entry in table DATA_FORMAT");

    Bytes b = valid_header();
    put_u8(b, hdr::endian, 2);
    put_u8(b, hdr::data_type_byte, 0);  // later and also bad: the endian code is met first
    EXPECT_EQ(internal_failure_of(b), "code 2 has no entry in table ENDIANNESS");

    const std::pair<std::size_t, std::string> misses[] = {
        {15, "code 29 has no entry in table INSTRUMENT_TABLE"},
        {24, "code 6 has no entry in table DATA_AXIS_TYPE"},
        {33, "code 43 has no entry in table BASE"},
    };
    for (const auto& [offset, message] : misses) {
        Bytes m = valid_header();
        put_u8(m, offset, offset == 15 ? 29 : offset == 24 ? 6 : 43);
        EXPECT_EQ(internal_failure_of(m), message);
    }
    Bytes r = valid_header();
    put_u8(r, 172, 0x04);
    EXPECT_EQ(internal_failure_of(r), "code 4 has no entry in table DATA_AXIS_RANGED");

    Bytes t = valid_header();
    put_text(t, hdr::title, std::string_view("ABC\0\xFF", 5));
    EXPECT_EQ(internal_failure_of(t), "text field is not valid UTF-8");
}
