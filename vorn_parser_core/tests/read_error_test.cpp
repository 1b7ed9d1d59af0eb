// Error values: frames in order, assertion text, rendering.
#include <gtest/gtest.h>

#include "read_error.h"

using namespace vorn;

TEST(ReadError, AssertionTextHasLowerCaseHexPositionWithoutPadding)
{
    EXPECT_EQ(ReadError::assertion("bad", 0).root_cause(), "bad at 0x0");
    EXPECT_EQ(ReadError::assertion("bad", 0x5AF).root_cause(), "bad at 0x5af");
    EXPECT_EQ(ReadError::assertion("bad", 4294967295u).root_cause(), "bad at 0xffffffff");
}

TEST(ReadError, RenderShowsRootThenFramesInnermostFirstWithLocations)
{
    auto e = ReadError::io("failed to fill whole buffer");
    e = with_context(std::move(e), ContextFrame::for_field("endian", "Headers", {"a/headers.cpp", 12}));
    e = with_context(std::move(e), ContextFrame::for_field("headers", "VornDataFile", {"a/file.cpp", 34}));
    ASSERT_EQ(e.frames().size(), 2u);
    EXPECT_EQ(e.frames()[0].message, "While parsing field 'endian' in Headers");

    const std::string text = render(e);
    const auto root = text.find(" 0: Error: failed to fill whole buffer\n");
    const auto inner = text.find("While parsing field 'endian' in Headers\n");
    const auto inner_at = text.find("a/headers.cpp:12");
    const auto outer = text.find(" 1: While parsing field 'headers' in VornDataFile\n");
    const auto outer_at = text.find("a/file.cpp:34");
    ASSERT_NE(root, std::string::npos) << text;
    EXPECT_LT(root, inner);
    EXPECT_LT(inner, inner_at);
    EXPECT_LT(inner_at, outer);
    EXPECT_LT(outer, outer_at);
    EXPECT_NE(outer_at, std::string::npos);
}

TEST(ReadError, RenderWithoutFramesStillShowsRootCause)
{
    EXPECT_NE(render(ReadError::io("boom")).find(" 0: Error: boom"), std::string::npos);
}
