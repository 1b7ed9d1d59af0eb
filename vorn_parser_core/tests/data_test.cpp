// Tests of the data section reader: section count, layouts, placement and failures.
#include "data.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "internal_failure.h"
#include "test_bytes.h"

namespace vorn {
namespace {

using test::Bytes;

constexpr ByteOrder kOrders[] = {ByteOrder::Big, ByteOrder::Little};
const std::string kF32 = "32Bit Float";
const std::string kF64 = "64Bit Float";
const std::string kDataFrame = "While parsing field 'data_results' in Data";

std::vector<std::string> axes(std::vector<std::string> named)
{
    named.resize(8, "None");
    return named;
}

std::vector<std::uint32_t> points(std::uint32_t x, std::uint32_t y = 0) { return {x, y, 0, 0, 0, 0, 0, 0}; }

const auto kOneSection = axes({"Real"});
const auto kTwoSections = axes({"Complex"});
const auto kThreeSections = axes({"Complex", "Real_Complex"});
const auto kFourSections = axes({"Complex", "Complex"});

struct Read {
    ByteSource src;
    Result<Data> data;
};

// Reads the data section starting at `start` of `bytes`.
Read read(Bytes bytes, std::uint64_t start, ByteOrder order, const std::vector<std::string>& axis_types,
          const std::string& type, const std::string& format, const std::vector<std::uint32_t>& data_points)
{
    ByteSource src(std::move(bytes));
    (void)src.seek(start);
    auto data = read_data(src, order, axis_types, type, format, data_points);
    return {std::move(src), std::move(data)};
}

// A failure of the data step: its root cause, its one frame, and the source
// rewound to where the step began.
void expect_failure(const Read& r, const std::string& root, std::uint64_t start)
{
    ASSERT_FALSE(r.data.ok());
    EXPECT_EQ(r.data.error().root_cause(), root);
    ASSERT_EQ(r.data.error().frames().size(), 1u);
    EXPECT_EQ(r.data.error().frames()[0].message, kDataFrame);
    EXPECT_EQ(r.src.position(), start);
}

const Matrix& single(const DataField& field) { return std::get<Matrix>(field); }

// The value stored for sample (row, column) of a section.
double sample_value(int section, std::size_t row, std::size_t column)
{
    return section * 100000.0 + static_cast<double>(row * 100 + column);
}

// Writes `sections` Two_D sections of rows x columns samples from `start`, in
// 32 x 32 blocks with block rows outermost, each a run of 32 samples per row.
Bytes two_d_file(std::size_t start, int sections, std::size_t rows, std::size_t columns, ByteOrder order)
{
    Bytes b(start, 0);
    std::size_t at = start;
    for (int s = 0; s < sections; ++s) {
        for (std::size_t i = 0; i < rows / 32; ++i) {
            for (std::size_t j = 0; j < columns / 32; ++j) {
                for (std::size_t r = 0; r < 32; ++r) {
                    for (std::size_t c = 0; c < 32; ++c, at += 8) {
                        test::put_f64(b, at, sample_value(s, i * 32 + r, j * 32 + c), order);
                    }
                }
            }
        }
    }
    return b;
}

void expect_section(const Matrix& m, int section, std::size_t rows, std::size_t columns)
{
    ASSERT_EQ(m.size(), rows);
    for (std::size_t row = 0; row < rows; ++row) {
        ASSERT_EQ(m[row].size(), columns);
        for (std::size_t column = 0; column < columns; ++column) {
            ASSERT_EQ(m[row][column], sample_value(section, row, column)) << row << ", " << column;
        }
    }
}

TEST(DataSectionCount, FollowsAxisTypesInOrder)
{
    EXPECT_EQ(get_data_section_count(axes({"Complex", "Complex"})), 4u);
    EXPECT_EQ(get_data_section_count(axes({"Complex"})), 2u);
    EXPECT_EQ(get_data_section_count(axes({"Real"})), 1u);
    EXPECT_EQ(get_data_section_count(axes({"Real_Complex", "Real_Complex"})), 2u);
    EXPECT_EQ(get_data_section_count(axes({"Real_Complex", "Complex"})), 4u);
    EXPECT_EQ(get_data_section_count(axes({"Complex", "Real_Complex"})), 3u);
}

TEST(DataOneD, ComplexFileGivesImThenRe)
{
    for (ByteOrder order : kOrders) {
        Bytes b;
        for (std::size_t i = 0; i < 8; ++i) test::put_f32(b, 4 * i, static_cast<float>(i) + 0.5f, order);
        auto r = read(b, 0, order, kTwoSections, kF32, "One_D", points(4));
        ASSERT_TRUE(r.data.ok()) << render(r.data.error());
        EXPECT_EQ(single(r.data->im), Matrix({{0.5, 1.5, 2.5, 3.5}}));
        EXPECT_EQ(single(r.data->re), Matrix({{4.5, 5.5, 6.5, 7.5}}));
        EXPECT_EQ(r.src.position(), 32u);
    }
}

TEST(DataOneD, FourSectionsReadAllAndKeepTwo)
{
    Bytes b;
    for (std::size_t i = 0; i < 8; ++i) test::put_f64(b, 0x20 + 8 * i, static_cast<double>(i), ByteOrder::Big);
    auto r = read(b, 0x20, ByteOrder::Big, kFourSections, kF64, "One_D", points(2));
    ASSERT_TRUE(r.data.ok()) << render(r.data.error());
    EXPECT_EQ(std::get<DataPair>(r.data->im), (DataPair{{{0.0, 1.0}}, {}}));
    EXPECT_EQ(std::get<DataPair>(r.data->re), (DataPair{{{2.0, 3.0}}, {}}));
    EXPECT_EQ(r.src.position(), 0x60u);
}

TEST(DataOneD, ZeroPointsGiveEmptyRows)
{
    auto r = read({}, 0, ByteOrder::Big, kTwoSections, kF64, "One_D", points(0));
    ASSERT_TRUE(r.data.ok()) << render(r.data.error());
    EXPECT_EQ(single(r.data->im), Matrix(1));
    EXPECT_EQ(single(r.data->re), Matrix(1));
}

TEST(DataOneD, SectionCountsOtherThanTwoOrFourAreInternalFailures)
{
    for (const auto& axis_types : {kOneSection, kThreeSections}) {
        const std::size_t sections = axis_types == kOneSection ? 1 : 3;
        try {
            (void)read(Bytes(sections * 16, 0), 0, ByteOrder::Big, axis_types, kF64, "One_D", points(2));
            ADD_FAILURE() << "no internal failure for " << sections << " sections";
        } catch (const InternalFailure& e) {
            EXPECT_EQ(e.message(), "internal error: entered unreachable code");
        }
    }
    // Every section is read first, so a short last one is reported instead.
    auto r = read(Bytes(47, 0), 0, ByteOrder::Big, kThreeSections, kF64, "One_D", points(2));
    expect_failure(r, "failed to fill whole buffer", 0);
}

TEST(DataTwoD, BlocksFillRowsBlockRowsOutermost)
{
    for (ByteOrder order : kOrders) {
        for (std::uint32_t rows : {32u, 64u}) {
            auto r =
                read(two_d_file(0x10, 2, rows, 64, order), 0x10, order, kTwoSections, kF64, "Two_D", points(64, rows));
            ASSERT_TRUE(r.data.ok()) << render(r.data.error());
            // Section 0 is "re", section 1 "im".
            expect_section(single(r.data->re), 0, rows, 64);
            expect_section(single(r.data->im), 1, rows, 64);
            EXPECT_EQ(r.src.position(), 0x10u + 2 * rows * 64 * 8);
        }
    }
}

TEST(DataTwoD, PointsBeyondAMultipleOf32AreNotRead)
{
    Bytes b = two_d_file(0, 2, 32, 32, ByteOrder::Little);
    b.resize(b.size() + 8 * 8 * 32 * 2, 0xff);  // the remaining 8 points of each row, unread
    auto r = read(b, 0, ByteOrder::Little, kTwoSections, kF64, "Two_D", points(40, 32));
    ASSERT_TRUE(r.data.ok()) << render(r.data.error());
    expect_section(single(r.data->re), 0, 32, 32);
    expect_section(single(r.data->im), 1, 32, 32);
    EXPECT_EQ(r.src.position(), 2u * 1024 * 8);
}

TEST(DataTwoD, FourSectionsArePairedByName)
{
    auto r =
        read(two_d_file(0, 4, 32, 32, ByteOrder::Big), 0, ByteOrder::Big, kFourSections, kF64, "Two_D", points(32, 32));
    ASSERT_TRUE(r.data.ok()) << render(r.data.error());
    const auto& im = std::get<DataPair>(r.data->im);
    const auto& re = std::get<DataPair>(r.data->re);
    expect_section(re.im, 0, 32, 32);
    expect_section(re.re, 1, 32, 32);
    expect_section(im.im, 2, 32, 32);
    expect_section(im.re, 3, 32, 32);
}

TEST(DataTwoD, OtherSectionCountsFailAfterSectionZero)
{
    for (const auto& axis_types : {kOneSection, kThreeSections}) {
        const std::string n = axis_types == kOneSection ? "1" : "3";
        auto r = read(Bytes(0x10 + 1024 * 8, 0), 0x10, ByteOrder::Big, axis_types, kF64, "Two_D", points(32, 32));
        expect_failure(r,
                       "Data section count with value " + n +
                           " is not supported for Two_D kind, only 2 and 4 are supported. at 0x2010",
                       0x10);
    }
    // A short section 0 is reported before the count.
    auto r = read(Bytes(0x10 + 1024 * 8 - 1, 0), 0x10, ByteOrder::Big, kThreeSections, kF64, "Two_D", points(32, 32));
    expect_failure(r, "failed to fill whole buffer", 0x10);
}

TEST(DataTwoD, NoBlockColumnsGiveEmptyRowsWhileTheFileCanHoldThem)
{
    // by = 2: 64 empty rows per section, 128 for the file's two sections,
    // need a file of at least 8 x 128 bytes.
    auto ok = read(Bytes(1024, 0), 0x30, ByteOrder::Big, kTwoSections, "Reserved", "Two_D", points(31, 64));
    ASSERT_TRUE(ok.data.ok()) << render(ok.data.error());
    EXPECT_EQ(single(ok.data->re), Matrix(64));
    EXPECT_EQ(single(ok.data->im), Matrix(64));
    EXPECT_EQ(ok.src.position(), 0x30u);

    auto small = read(Bytes(511, 0), 0x30, ByteOrder::Big, kTwoSections, kF64, "Two_D", points(31, 64));
    expect_failure(small, "Two_D section of 64 empty rows is too large for a file of 511 bytes at 0x30", 0x30);

    // The allowance is the file's, not each section's: a second section may
    // not take it anew.
    auto second = read(Bytes(1023, 0), 0x30, ByteOrder::Big, kTwoSections, kF64, "Two_D", points(31, 64));
    expect_failure(second, "Two_D sections of 128 empty rows in all are too large for a file of 1023 bytes at 0x30",
                   0x30);
    auto four = read(Bytes(8 * 192, 0), 0x30, ByteOrder::Big, kFourSections, kF64, "Two_D", points(31, 64));
    expect_failure(four, "Two_D sections of 256 empty rows in all are too large for a file of 1536 bytes at 0x30",
                   0x30);

    auto huge = read(Bytes(16, 0), 0, ByteOrder::Big, kTwoSections, kF64, "Two_D", points(0, 4294967295u));
    expect_failure(huge, "Two_D section of 4294967264 empty rows is too large for a file of 16 bytes at 0x0", 0);

    // No block rows: no rows, nothing read, sample type never tested.
    auto none = read({}, 0, ByteOrder::Big, kTwoSections, "Reserved", "Two_D", points(4294967295u, 31));
    ASSERT_TRUE(none.data.ok()) << render(none.data.error());
    EXPECT_EQ(single(none.data->re), Matrix{});
}

TEST(DataFailures, UnsupportedSampleTypeFailsAtDataStart)
{
    const std::string root =
        "Data type Reserved is not supported, only 32Bit Float and 64Bit Float are supported. at 0x10";
    expect_failure(read(Bytes(0x1000, 0), 0x10, ByteOrder::Big, kTwoSections, "Reserved", "One_D", points(4)), root,
                   0x10);
    expect_failure(read(Bytes(0x1000, 0), 0x10, ByteOrder::Big, kTwoSections, "Reserved", "Two_D", points(32, 32)),
                   root, 0x10);
    // Also where the run itself could not be read.
    expect_failure(read({}, 0x10, ByteOrder::Big, kTwoSections, "Reserved", "One_D", points(4)), root, 0x10);
}

TEST(DataFailures, ShortReadsFromDataStartBeyondTheEndOrHugeCounts)
{
    const std::string root = "failed to fill whole buffer";
    expect_failure(read(Bytes(8, 0), 0x100, ByteOrder::Big, kTwoSections, kF64, "One_D", points(1)), root, 0x100);
    // Nothing is sized from these counts: the bytes are checked first.
    expect_failure(read(Bytes(64, 0), 0, ByteOrder::Big, kTwoSections, kF32, "One_D", points(4294967295u)), root, 0);
    expect_failure(
        read(Bytes(64, 0), 0, ByteOrder::Big, kFourSections, kF64, "Two_D", points(4294967295u, 4294967295u)), root, 0);
    expect_failure(read(Bytes(64, 0), 0, ByteOrder::Big, kTwoSections, kF64, "Two_D", points(4294967295u, 32)), root,
                   0);
    // Section 1 of a Two_D file one sample short.
    expect_failure(read(Bytes(2 * 1024 * 8 - 8, 0), 0, ByteOrder::Big, kTwoSections, kF64, "Two_D", points(32, 32)),
                   root, 0);
}

TEST(DataSamples, SinglePrecisionWidensExactly)
{
    const float values[] = {1.5f,
                            -0.0f,
                            std::numeric_limits<float>::denorm_min(),
                            -std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN()};
    for (ByteOrder order : kOrders) {
        Bytes b;
        for (std::size_t i = 0; i < 6; ++i) test::put_f32(b, 4 * i, values[i], order);
        ByteSource src(b);
        auto row = read_vector(src, order, kF32, 6);
        ASSERT_TRUE(row.ok());
        EXPECT_EQ((*row)[0], 1.5);
        EXPECT_TRUE((*row)[1] == 0.0 && std::signbit((*row)[1]));
        EXPECT_EQ((*row)[2], 0x1p-149);
        EXPECT_EQ((*row)[3], -0x1.fffffep127);
        EXPECT_EQ((*row)[4], std::numeric_limits<double>::infinity());
        EXPECT_TRUE(std::isnan((*row)[5]));
    }
}

TEST(DataSamples, SinglePrecisionNaNsWidenByTheirBits)
{
    // Signalling NaNs keep a clear quiet bit, payloads move to the top of the fraction.
    const std::uint32_t words[] = {0x7FA00001U, 0xFFC00002U, 0x7FBFFFFFU, 0xFF800001U};
    const std::uint64_t widened[] = {0x7FF4000020000000ULL, 0xFFF8000040000000ULL, 0x7FF7FFFFE0000000ULL,
                                     0xFFF0000020000000ULL};
    for (ByteOrder order : kOrders) {
        Bytes b;
        for (std::size_t i = 0; i < 4; ++i) test::put_u32(b, 4 * i, words[i], order);
        ByteSource src(b);
        auto row = read_vector(src, order, kF32, 4);
        ASSERT_TRUE(row.ok());
        for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(std::bit_cast<std::uint64_t>((*row)[i]), widened[i]) << i;
    }
}

}  // namespace
}  // namespace vorn
