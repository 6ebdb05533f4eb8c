#include <gtest/gtest.h>

#include "text/unicode.h"
#include "text/utf8.h"

namespace ordel::text {
namespace {

TEST(Utf8, ValidatesWellFormedAndRejectsMalformed) {
  struct Case {
    std::string_view bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii text longer than eight bytes", true},
      {"\xC3\xA9", true},              // é
      {"\xE2\x82\xAC", true},          // €
      {"\xF0\x9F\x98\x80", true},      // emoji
      {"\xC3", false},                 // truncated
      {"\xC0\xAF", false},             // overlong '/'
      {"\xE0\x80\xAF", false},         // overlong
      {"\xED\xA0\x80", false},         // surrogate
      {"\xF4\x90\x80\x80", false},     // above U+10FFFF
      {"\x80", false},                 // lone continuation
      {"abcdefgh\xFF", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
  }
}

TEST(Utf8, DecodesEncodesAndCounts) {
  const std::string_view s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(count_chars(s), 4u);
  std::string rebuilt;
  for (std::size_t pos = 0; pos < s.size();) {
    const auto d = decode_at(s, pos);
    append_utf8(rebuilt, d.code_point);
    pos += d.length;
  }
  EXPECT_EQ(rebuilt, s);
  EXPECT_EQ(decode_at(s, 1).code_point, U'\u00E9');
  EXPECT_EQ(decode_at(s, 6).code_point, U'\U0001F600');
}

TEST(Utf8, PrefixCutsAtCharacterBoundary) {
  EXPECT_EQ(prefix_at_boundary("abcdef", 4), "abcd");
  EXPECT_EQ(prefix_at_boundary("ab", 4), "ab");
  // 'é' occupies bytes 1-2: a cut at 2 would split it.
  EXPECT_EQ(prefix_at_boundary("a\xC3\xA9z", 2), "a");
  EXPECT_EQ(prefix_at_boundary("a\xC3\xA9z", 3), "a\xC3\xA9");
}

TEST(Unicode, Properties) {
  EXPECT_TRUE(is_alphabetic(U'a'));
  EXPECT_TRUE(is_alphabetic(U'\u00E9'));
  EXPECT_TRUE(is_alphabetic(U'\u4E2D'));
  EXPECT_FALSE(is_alphabetic(U'_'));
  EXPECT_FALSE(is_alphabetic(U'1'));
  EXPECT_TRUE(is_numeric(U'7'));
  EXPECT_TRUE(is_numeric(U'\u0663'));  // Arabic-Indic three (Nd)
  EXPECT_TRUE(is_numeric(U'\u2167'));  // Roman numeral eight (Nl)
  EXPECT_TRUE(is_numeric(U'\u00BD'));  // one half (No)
  EXPECT_FALSE(is_numeric(U'x'));
  EXPECT_TRUE(is_uppercase(U'Q'));
  EXPECT_TRUE(is_uppercase(U'\u00C9'));
  EXPECT_FALSE(is_uppercase(U'q'));
  EXPECT_TRUE(is_white_space(U' '));
  EXPECT_TRUE(is_white_space(U'\u00A0'));
  EXPECT_TRUE(is_white_space(U'\u3000'));
  EXPECT_FALSE(is_white_space(U'\u200B'));
}

TEST(Unicode, LowerCaseUsesFullRootMapping) {
  struct Case {
    std::string_view in;
    std::string_view out;
  };
  const Case cases[] = {
      {"PATH", "path"},
      {"File_Path", "file_path"},
      {"\xC3\x89TC", "\xC3\xA9tc"},                   // ÉTC
      {"I", "i"},                                     // root locale: no dotless i
      {"\xC4\xB0", "i\xCC\x87"},                      // İ -> i + combining dot (full mapping)
      {"\xCE\xA3\xCE\xA3", "\xCF\x83\xCF\x82"},       // ΣΣ -> σς (final sigma)
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_lower(c.in), c.out);
  }
}

}  // namespace
}  // namespace ordel::text
