// Parameter block reader: counts, value kinds, names, byte orders, failures.
#include "parameters.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "internal_failure.h"
#include "test_bytes.h"

namespace vorn {
namespace {

using test::Bytes;

constexpr std::array<ByteOrder, 2> kOrders = {ByteOrder::Big, ByteOrder::Little};

constexpr std::uint32_t kString = 0, kInteger = 1, kFloat = 2, kComplex = 3, kInfinity = 4;
constexpr std::size_t kBlockHeader = 16;
constexpr std::size_t kRecord = 64;

void put_block_header(Bytes& b, std::size_t at, ByteOrder o, std::uint32_t high, std::uint32_t low = 1)
{
    test::put_u32(b, at, 0x11223344, o);  // parameters_size
    test::put_u32(b, at + 4, low, o);
    test::put_u32(b, at + 8, high, o);
    test::put_u32(b, at + 12, 0x55667788, o);  // total_size
}

// Writes one 64-byte record at `at`: a non-zero skipped word, scaler -3, the
// units 0xE1 0x0D (Mega, power 1, Hertz) then four zero units, the type code
// and the name; the value area (record offset 16) is left to the caller.
void put_record(Bytes& b, std::size_t at, ByteOrder o, std::uint32_t type_code, std::string_view name)
{
    if (b.size() < at + kRecord) b.resize(at + kRecord);
    test::put_u32(b, at, 0xDEADBEEF, o);
    test::put_u16(b, at + 4, static_cast<std::uint16_t>(-3), o);
    test::put_u8(b, at + 6, 0xE1);
    test::put_u8(b, at + 7, 0x0D);
    test::put_u32(b, at + 32, type_code, o);
    test::put_text(b, at + 36, name);
}

std::string frame(std::string_view field, std::string_view record)
{
    return "While parsing field '" + std::string(field) + "' in " + std::string(record);
}

const Unit kMegaHertz{"Mega", 1, "Hertz"};
const Unit kNoUnit{"None", 0, "None"};

TEST(ParameterBlock, HighIndexCountsRecordsAndNothingElse)
{
    for (ByteOrder o : kOrders) {
        // high_index 0: only the 16 block bytes are read, even with a record
        // after them whose type code would be an internal failure.
        Bytes b;
        put_block_header(b, 0, o, 0, 7);
        put_record(b, kBlockHeader, o, 0xFF, "BAD");
        ByteSource src(b);
        auto ps = read_parameters(src, o);
        ASSERT_TRUE(ps) << render(ps.error());
        EXPECT_EQ(src.position(), kBlockHeader);
        EXPECT_EQ(ps->parameters_size, 0x11223344u);
        EXPECT_EQ(ps->low_index, 7u);
        EXPECT_EQ(ps->high_index, 0u);
        EXPECT_EQ(ps->total_size, 0x55667788u);
        EXPECT_TRUE(ps->param_array.empty());

        // low_index 5, high_index 3: three records, not a span of indices.
        Bytes c;
        put_block_header(c, 0, o, 3, 5);
        for (std::size_t i = 0; i < 4; ++i) {
            put_record(c, kBlockHeader + i * kRecord, o, kInteger, std::string(1, static_cast<char>('a' + i)));
        }
        ByteSource src3(c);
        auto three = read_parameters(src3, o);
        ASSERT_TRUE(three) << render(three.error());
        ASSERT_EQ(three->param_array.size(), 3u);
        EXPECT_EQ(three->param_array[2].name, "c");
        EXPECT_EQ(src3.position(), kBlockHeader + 3 * kRecord);
    }
}

// Five records, one per value kind, whose value areas hold more bytes than
// the value needs.
Bytes kinds_block(ByteOrder o)
{
    Bytes b;
    put_block_header(b, 0, o, 5);
    std::size_t at = kBlockHeader;

    put_record(b, at, o, kString, std::string_view("SOLVENT\0\0\0", 10));
    test::put_text(b, at + 16, "Hello World X");

    at += kRecord;
    put_record(b, at, o, kInteger, "NUMBER OF SCANS");
    test::put_i32(b, at + 16, -123456, o);
    for (std::size_t i = 20; i < 32; ++i) test::put_u8(b, at + i, 0xAB);

    at += kRecord;
    put_record(b, at, o, 0x12345600 | kFloat, "X_SWEEP");  // only the low byte counts
    test::put_f64(b, at + 16, 2.5e6, o);
    for (std::size_t i = 24; i < 32; ++i) test::put_u8(b, at + i, 0xCD);

    at += kRecord;
    put_record(b, at, o, kComplex, "Phase");
    test::put_f64(b, at + 16, 1.25, o);
    test::put_f64(b, at + 24, -0.5, o);

    at += kRecord;
    put_record(b, at, o, kInfinity, "LIMIT");
    test::put_i32(b, at + 16, 42, o);
    for (std::size_t i = 20; i < 32; ++i) test::put_u8(b, at + i, 0x7F);
    return b;
}

TEST(ParameterRecord, DecodesEveryValueKind)
{
    for (ByteOrder o : kOrders) {
        SCOPED_TRACE(o == ByteOrder::Big ? "big-endian" : "little-endian");
        ByteSource src(kinds_block(o));
        auto ps = read_parameters(src, o);
        ASSERT_TRUE(ps) << render(ps.error());
        EXPECT_EQ(src.position(), kBlockHeader + 5 * kRecord);
        const auto& a = ps->param_array;
        ASSERT_EQ(a.size(), 5u);

        for (const Param& p : a) {
            EXPECT_EQ(p.scaler, -3);
            EXPECT_EQ(p.unit, (std::vector<Unit>{kMegaHertz, kNoUnit, kNoUnit, kNoUnit, kNoUnit}));
        }

        // String values keep their case but lose their spaces; names lose
        // trailing NULs and spaces and are lower-cased.
        EXPECT_EQ(a[0].value_type, "String");
        EXPECT_EQ(a[0].value, ParamValue(std::string("HelloWorldX")));
        EXPECT_EQ(a[0].name, "solvent");

        // The bytes after the integer are ignored and the name is still read
        // from record offset 36.
        EXPECT_EQ(a[1].value_type, "Integer");
        EXPECT_EQ(a[1].value, ParamValue(std::int32_t{-123456}));
        EXPECT_EQ(a[1].name, "numberofscans");

        EXPECT_EQ(a[2].value_type, "Float");
        EXPECT_EQ(a[2].value, ParamValue(2.5e6));
        EXPECT_EQ(a[2].name, "x_sweep");

        EXPECT_EQ(a[3].value_type, "Complex");
        EXPECT_EQ(a[3].value, ParamValue(ComplexNumber{1.25, -0.5}));
        EXPECT_EQ(a[3].name, "phase");

        // "Infinity" keeps its kind name and gives the integer alternative.
        EXPECT_EQ(a[4].value_type, "Infinity");
        EXPECT_EQ(a[4].value, ParamValue(std::int32_t{42}));
        EXPECT_EQ(a[4].name, "limit");
    }
}

TEST(ParameterBlock, SameContentInEitherByteOrderReadsTheSame)
{
    ByteSource big(kinds_block(ByteOrder::Big));
    ByteSource little(kinds_block(ByteOrder::Little));
    auto from_big = read_parameters(big, ByteOrder::Big);
    auto from_little = read_parameters(little, ByteOrder::Little);
    ASSERT_TRUE(from_big);
    ASSERT_TRUE(from_little);
    EXPECT_EQ(*from_big, *from_little);
    // And the two encodings do differ, so the comparison means something.
    EXPECT_NE(kinds_block(ByteOrder::Big), kinds_block(ByteOrder::Little));
}

TEST(ParameterBlock, DuplicateNamesAreKeptInFileOrder)
{
    const ByteOrder o = ByteOrder::Little;
    Bytes b;
    put_block_header(b, 0, o, 2);
    put_record(b, kBlockHeader, o, kInteger, "SW");
    test::put_i32(b, kBlockHeader + 16, 1, o);
    put_record(b, kBlockHeader + kRecord, o, kInteger, "SW");
    test::put_i32(b, kBlockHeader + kRecord + 16, 2, o);
    ByteSource src(b);
    auto ps = read_parameters(src, o);
    ASSERT_TRUE(ps) << render(ps.error());
    ASSERT_EQ(ps->param_array.size(), 2u);
    EXPECT_EQ(ps->param_array[0].name, "sw");
    EXPECT_EQ(ps->param_array[1].name, "sw");
    EXPECT_EQ(ps->param_array[0].value, ParamValue(std::int32_t{1}));
    EXPECT_EQ(ps->param_array[1].value, ParamValue(std::int32_t{2}));
}

TEST(ParameterRecord, UnknownValueKindIsAnInternalFailure)
{
    for (ByteOrder o : kOrders) {
        Bytes b;
        put_block_header(b, 0, o, 1);
        put_record(b, kBlockHeader, o, 7, "COMPLETE");  // every byte present
        ByteSource src(b);
        EXPECT_THROW((void)read_parameters(src, o), InternalFailure);
    }
}

// Reads the block from offset 8 of `block` preceded by 8 filler bytes, and
// checks the root text, the frames and the rewind to the block start.
void expect_failure(const Bytes& block, ByteOrder o, std::string_view root, const std::vector<std::string>& frames)
{
    Bytes b(8, 0xEE);
    for (std::uint8_t byte : block) b.push_back(byte);
    ByteSource src(b);
    ASSERT_TRUE(src.seek(8));
    auto ps = read_parameters(src, o);
    ASSERT_FALSE(ps);
    EXPECT_EQ(ps.error().root_cause(), root);
    EXPECT_EQ(test::frame_messages(ps.error()), frames);
    EXPECT_EQ(src.position(), 8u);
    for (const auto& f : ps.error().frames()) EXPECT_GT(f.where.line, 0u) << f.message;
}

TEST(ParameterFailures, ShortDataNamesTheFieldAndEveryRecordAroundIt)
{
    for (ByteOrder o : kOrders) {
        SCOPED_TRACE(o == ByteOrder::Big ? "big-endian" : "little-endian");
        Bytes header;
        put_block_header(header, 0, o, 2);

        {  // cut inside the first block word
            SCOPED_TRACE("parameters_size");
            expect_failure(Bytes(header.begin(), header.begin() + 2), o, kShortNumberRead,
                           {frame("parameters_size", "Parameters")});
        }
        {  // the first record is whole, the second ends 5 bytes short, inside its name
            SCOPED_TRACE("name");
            Bytes b = header;
            put_record(b, kBlockHeader, o, kInteger, "FIRST");
            put_record(b, kBlockHeader + kRecord, o, kInteger, "SECOND");
            b.resize(kBlockHeader + 2 * kRecord - 5);
            expect_failure(b, o, kShortByteRun, {frame("name", "Param"), frame("param_array", "Parameters")});
        }
        {  // the third unit has its first byte but not its base byte
            SCOPED_TRACE("unit");
            Bytes b = header;
            put_record(b, kBlockHeader, o, kInteger, "FIRST");
            b.resize(kBlockHeader + 11);
            expect_failure(b, o, kShortNumberRead,
                           {frame("base", "Unit"), frame("unit", "Param"), frame("param_array", "Parameters")});
        }
        {  // A cut inside a complex value's imaginary part (record offset 28)
           // is met at the value-type code, which follows the value area and
           // is read before the value.
            SCOPED_TRACE("complex");
            Bytes b = header;
            put_record(b, kBlockHeader, o, kComplex, "PHASE");
            b.resize(kBlockHeader + 28);
            expect_failure(b, o, kShortNumberRead, {frame("value_type", "Param"), frame("param_array", "Parameters")});
        }
    }
}

TEST(ParameterFailures, HugeCountOnShortDataEndsInAShortRead)
{
    // 4294967295 records announced, 200 bytes present: three whole records
    // and 8 bytes of a fourth, which ends before its second unit. Reserving
    // from the count would need hundreds of gigabytes and throw instead.
    const ByteOrder o = ByteOrder::Big;
    Bytes b;
    put_block_header(b, 0, o, 0xFFFFFFFFu);
    for (std::size_t i = 0; i < 4; ++i) put_record(b, kBlockHeader + i * kRecord, o, kInteger, "P");
    b.resize(kBlockHeader + 200);
    expect_failure(b, o, kShortNumberRead,
                   {frame("temp_byte", "Unit"), frame("unit", "Param"), frame("param_array", "Parameters")});
}

}  // namespace
}  // namespace vorn
