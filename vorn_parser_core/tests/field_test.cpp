// Early return and the rewind-and-frame rule of fields and records.
#include "field.h"

#include <gtest/gtest.h>

#include <memory>

#include "test_bytes.h"

namespace vorn {
namespace {

using test::Bytes;

// Two big-endian words as one composite read: a short second word leaves the
// source moved past the first.
Result<std::uint32_t> read_pair_sum(ByteSource& src)
{
    VORN_ASSIGN_OR_RETURN(const std::uint32_t a, src.read_u32(ByteOrder::Big));
    VORN_ASSIGN_OR_RETURN(const std::uint32_t b, src.read_u32(ByteOrder::Big));
    return a + b;
}

Result<std::unique_ptr<int>> boxed(int v, bool ok)
{
    if (!ok) return ReadError::io("no box");
    return std::make_unique<int>(v);
}

Result<int> plain(int v) { return v; }

// A move-only value, two uses on one line, a use in a nested block and one
// into an existing lvalue: each use has its own temporary (the build's
// -Wshadow -Werror checks that part).
Result<int> unbox_all(bool second_ok, int& out)
{
    VORN_ASSIGN_OR_RETURN(auto first, boxed(1, true));
    VORN_ASSIGN_OR_RETURN(auto second, boxed(2, second_ok));
    {
        VORN_ASSIGN_OR_RETURN(out, plain(*first + *second));
    }
    VORN_TRY(boxed(0, true));
    return *first + *second + out;
}

TEST(EarlyReturn, AssignsDeclaresAndMovesOrReturnsTheErrorUntouched)
{
    int out = -1;
    const auto ok = unbox_all(true, out);
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, 6);
    EXPECT_EQ(out, 3);

    out = -1;
    const auto failed = unbox_all(false, out);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().root_cause(), "no box");
    EXPECT_EQ(out, -1) << "nothing is assigned after a failed read";
}

TEST(EarlyReturn, TryEvaluatesItsExpressionOnce)
{
    int calls = 0;
    const auto count = [&]() -> Status {
        ++calls;
        return calls == 1 ? Status(Ok{}) : Status(ReadError::io("again"));
    };
    const auto run = [&]() -> Status {
        VORN_TRY(count());
        return Ok{};
    };
    EXPECT_TRUE(run());
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(run());
    EXPECT_EQ(calls, 2);
}

TEST(FieldRead, SuccessPassesThroughAndLeavesTheSourceAfterTheField)
{
    ByteSource src(Bytes{0, 0, 0, 1, 0, 0, 0, 2, 9});
    const auto sum = field(src, "pair", "Rec").read(read_pair_sum(src));
    ASSERT_TRUE(sum);
    EXPECT_EQ(*sum, 3u);
    EXPECT_EQ(src.position(), 8u);
}

TEST(FieldRead, FailureRewindsToTheFieldStartAndNamesTheCallersLine)
{
    // The first word is read before the second fails: the start must have
    // been noted before the read ran, not after.
    ByteSource src(Bytes{0xEE, 0, 0, 0, 1, 0, 0});
    ASSERT_TRUE(src.seek(1));
    const unsigned line = __LINE__ + 1;
    const auto sum = field(src, "pair", "Rec").read(read_pair_sum(src));
    ASSERT_FALSE(sum);
    EXPECT_EQ(src.position(), 1u);
    EXPECT_EQ(sum.error().root_cause(), kShortNumberRead);
    ASSERT_EQ(sum.error().frames().size(), 1u);
    EXPECT_EQ(sum.error().frames()[0].message, "While parsing field 'pair' in Rec");
    EXPECT_EQ(sum.error().frames()[0].where.line, line);
    EXPECT_EQ(std::string(sum.error().frames()[0].where.file), "vorn_parser_core/tests/field_test.cpp");
}

Result<std::uint32_t> read_rec(ByteSource& src)
{
    VORN_ASSIGN_OR_RETURN(const std::uint8_t tag, field(src, "tag", "Rec").read(src.read_u8()));
    VORN_ASSIGN_OR_RETURN(const std::uint32_t sum, field(src, "pair", "Rec").read(read_pair_sum(src)));
    return tag + sum;
}

TEST(RecordRead, FailureRewindsTheWholeRecordAndAddsNoFrameOfItsOwn)
{
    ByteSource src(Bytes{7, 0, 0, 0, 1, 0});
    const auto r = record(src).read(read_rec(src));
    ASSERT_FALSE(r);
    EXPECT_EQ(src.position(), 0u) << "back before 'tag', not only before 'pair'";
    EXPECT_EQ(test::frame_messages(r.error()), std::vector<std::string>{"While parsing field 'pair' in Rec"});

    ByteSource whole(Bytes{7, 0, 0, 0, 1, 0, 0, 0, 2});
    const auto ok = record(whole).read(read_rec(whole));
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, 10u);
    EXPECT_EQ(whole.position(), 9u);
}

}  // namespace
}  // namespace vorn
