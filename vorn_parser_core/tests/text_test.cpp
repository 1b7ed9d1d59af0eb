// Fixed-width text fields: trimming order, strict UTF-8 and Unicode lower case.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "internal_failure.h"
#include "text.h"

namespace vorn {
namespace {

using namespace std::string_literals;

std::string decode(std::string_view raw, bool lowercase = false)
{
    return read_string(std::vector<std::uint8_t>(raw.begin(), raw.end()), lowercase);
}

TEST(ReadString, TrimsNulsThenTrailingSpacesThenEverySpace)
{
    EXPECT_EQ(decode("My Sample   \0\0\0"s), "MySample");
    // The space before the NULs is not trailing when spaces are trimmed, but
    // the removal of every space takes it anyway.
    EXPECT_EQ(decode("AB \0\0"s), "AB");
    // A NUL before trailing spaces is no longer trailing once they are gone.
    EXPECT_EQ(decode("AB\0  "s), "AB\0"s);
    EXPECT_EQ(decode("AB\0CD\0\0"s), "AB\0CD"s);
    EXPECT_EQ(decode("Sample 12 A"), "Sample12A");
    EXPECT_EQ(decode("\0\0\0\0"s), "");
    EXPECT_EQ(decode(""), "");
}

TEST(ReadString, KeepsWhiteSpaceOtherThanSpace) { EXPECT_EQ(decode("A\tB\nC\u00A0D \0"s), "A\tB\nC\u00A0D"); }

TEST(ReadString, ValidatesTheWholeRunIncludingBytesAfterANul)
{
    EXPECT_THROW(decode("ABC\0\xFF\0\0"s), InternalFailure);
    EXPECT_THROW(decode("\xC3"), InternalFailure);
}

TEST(ReadString, LowerCasesOnlyWhenAskedAndAfterSpacesAreGone)
{
    EXPECT_EQ(decode("Pulse Width\0"s, false), "PulseWidth");
    EXPECT_EQ(decode("Pulse Width\0"s, true), "pulsewidth");
    // With the space removed first, the sigma is inside a word, not at its end.
    EXPECT_EQ(decode("ΑΣ Α", true), "ασα");
}

TEST(IsValidUtf8, AcceptsEveryWellFormedLength)
{
    EXPECT_TRUE(is_valid_utf8(""));
    EXPECT_TRUE(is_valid_utf8("a\0b"s));
    EXPECT_TRUE(is_valid_utf8("\xC2\x80\xDF\xBF"));                              // U+0080, U+07FF
    EXPECT_TRUE(is_valid_utf8("\xE0\xA0\x80\xED\x9F\xBF"));                      // U+0800, U+D7FF
    EXPECT_TRUE(is_valid_utf8("\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"));  // U+E000, U+10000, U+10FFFF
}

TEST(IsValidUtf8, RejectsMalformedSequences)
{
    for (std::string_view bad : {
             "\xC0\xAF",
             "\xC1\xBF",
             "\xE0\x9F\xBF",
             "\xF0\x8F\xBF\xBF",  // overlong
             "\xED\xA0\x80",
             "\xED\xBF\xBF",  // surrogates
             "\xF4\x90\x80\x80",
             "\xF5\x80\x80\x80",
             "\xFF",  // above U+10FFFF
             "\xE2\x82",
             "a\xF0\x9D\x84",
             "\xC3",  // truncated
             "\x80",
             "\xC3\x28",
             "\xE2\x28\xA1",  // bad continuation
         }) {
        EXPECT_FALSE(is_valid_utf8(bad)) << testing::PrintToString(bad);
    }
}

TEST(ToLowerUnicode, MapsLettersOfEveryScriptAndLeavesTheRest)
{
    EXPECT_EQ(to_lower_unicode("Hello, World! 123 [@_`{]"), "hello, world! 123 [@_`{]");
    EXPECT_EQ(to_lower_unicode("ÀÉÎÕÜÞ Āā Ǆ"), "àéîõüþ āā ǆ");
    EXPECT_EQ(to_lower_unicode("ΑΒΓΔ ΆΈ"), "αβγδ άέ");
    EXPECT_EQ(to_lower_unicode("ПРИВЕТ ЁЇ"), "привет ёї");
    EXPECT_EQ(to_lower_unicode("ß 中文 ¹ µ"), "ß 中文 ¹ µ");
    // Mappings that change the encoded length: Kelvin sign to ASCII k, ẞ to ß,
    // Ⱥ (2 bytes) to ⱥ (3 bytes), and a 4-byte Deseret letter.
    EXPECT_EQ(to_lower_unicode("\u212A\u1E9E\u023A\U00010400"), "k\u00DF\u2C65\U00010428");
}

TEST(ToLowerUnicode, ExpandsCapitalIWithDotAbove)
{
    EXPECT_EQ(to_lower_unicode("\u0130"), "i\u0307");
    EXPECT_EQ(to_lower_unicode("\u0130STANBUL"), "i\u0307stanbul");
}

TEST(ToLowerUnicode, SigmaIsFinalOnlyAfterACasedLetterAndAtTheEndOfAWord)
{
    EXPECT_EQ(to_lower_unicode("ΟΔΥΣΣΕΥΣ"), "οδυσσευς");
    EXPECT_EQ(to_lower_unicode("Σ"), "σ");
    EXPECT_EQ(to_lower_unicode("ΣΑ"), "σα");
    EXPECT_EQ(to_lower_unicode("1Σ"), "1σ");
    EXPECT_EQ(to_lower_unicode("ΑΣ. ΑΣ1"), "ας. ας1");
    EXPECT_EQ(to_lower_unicode("aΣ"), "aς");  // any cased letter counts
}

TEST(ToLowerUnicode, SigmaContextLooksPastCaseIgnorableCharacters)
{
    EXPECT_EQ(to_lower_unicode("Α'Σ"), "α'ς");  // apostrophe between
    EXPECT_EQ(to_lower_unicode("Α\u0301\u00ADΣ"), "α\u0301\u00ADς");
    EXPECT_EQ(to_lower_unicode("ΑΣ\u0301"), "ας\u0301");  // combining mark after
    EXPECT_EQ(to_lower_unicode("ΑΣ'Α"), "ασ'α");          // letter after the ignorable
    EXPECT_EQ(to_lower_unicode("'Σ"), "'σ");              // nothing cased before
}

TEST(ToLowerUnicode, MalformedBytesPassThroughWithoutOverreading)
{
    // Callers validate first; this pins that a cut-off sequence is still safe.
    EXPECT_EQ(to_lower_unicode("A\xCE"), "a\xCE");
    EXPECT_EQ(to_lower_unicode("\xA3Σ\xCE"), "\xA3σ\xCE");
    // The decoder is the validator's: an overlong "A" (E0 81 81 and C1 81)
    // or a surrogate is not a letter to lower-case.
    EXPECT_EQ(to_lower_unicode("\xE0\x81\x81\xC1\x81"), "\xE0\x81\x81\xC1\x81");
    EXPECT_EQ(to_lower_unicode("\xED\xA0\x80Σ"), "\xED\xA0\x80σ");
}

TEST(ReadText, ReadsTheWholeWidthOrFailsWithoutMoving)
{
    ByteSource src(std::vector<std::uint8_t>{'A', ' ', 'b', 0, 'C', 'D'});
    const auto text = read_text(src, 4, true);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, "ab");
    EXPECT_EQ(src.position(), 4u);
    const auto short_run = read_text(src, 3);
    ASSERT_FALSE(short_run);
    EXPECT_EQ(short_run.error().root_cause(), kShortByteRun);
    EXPECT_EQ(src.position(), 4u);
    EXPECT_EQ(*read_text(src, 2), "CD");
}

}  // namespace
}  // namespace vorn
