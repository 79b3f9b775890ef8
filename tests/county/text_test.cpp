#include "county/text.h"

#include <gtest/gtest.h>

namespace dalvento {
namespace {

TEST(Text, AsciiCaseOnly) {
    EXPECT_EQ(ascii_lower("OWNER.SHP \xC3\x84"), "owner.shp \xC3\x84");
    EXPECT_EQ(ascii_upper("pdf"), "PDF");
    EXPECT_TRUE(equals_ignoring_ascii_case("C:\\Exports", "c:\\EXPORTS"));
    EXPECT_FALSE(equals_ignoring_ascii_case("\xC3\x84", "\xC3\xA4"));
}

TEST(Text, TrimKeepsInnerSpaceAndDropsUnicodeSpaces) {
    EXPECT_EQ(trim("  Ann Lee \r\n"), "Ann Lee");
    EXPECT_EQ(trim("\xC2\xA0x\xE3\x80\x80"), "x");
    EXPECT_EQ(trim("   "), "");
}

TEST(Text, CountWithNoun) {
    EXPECT_EQ(count_with_noun(0, "layer"), "0 layers");
    EXPECT_EQ(count_with_noun(1, "layer"), "1 layer");
    EXPECT_EQ(count_with_noun(2, "file"), "2 files");
}

TEST(Text, Utf8Validation) {
    EXPECT_TRUE(is_valid_utf8("plain \xE2\x82\xAC \xF0\x9F\x98\x80"));
    EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong
    EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(is_valid_utf8("\xE2\x82"));          // cut short
    EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // past U+10FFFF
    EXPECT_EQ(utf8_with_replacement("a\xFF"
                                    "b"),
              "a\xEF\xBF\xBD"
              "b");
}

}  // namespace
}  // namespace dalvento
