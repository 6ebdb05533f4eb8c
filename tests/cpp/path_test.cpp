#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "support/alloc_counter.h"
#include "conscience/path.h"


namespace ordel {
namespace {

using namespace std::literals;

struct Case {
  std::string in;
  std::string out;
};

void expect_all_routes(const Case& c) {
  SCOPED_TRACE(testing::PrintToString(c.in));
  EXPECT_EQ(normalize_path(c.in), c.out);
  EXPECT_EQ(path_internal::normalize_path_general(c.in), c.out);
  PathBuffer buffer;
  std::string spill;
  EXPECT_EQ(normalize_path_view(c.in, buffer, spill), c.out);
}

TEST(Path, SegmentsAndDotSegments) {
  const Case cases[] = {
      {"/tmp/../etc/passwd", "/etc/passwd"},
      {"/../../etc", "/etc"},
      {"tmp/data.txt", "/tmp/data.txt"},
      {"./x", "/x"},
      {"", "/"},
      {"   ", "/"},
      {"/", "/"},
      {"//", "/"},
      {"/.", "/"},
      {"..", "/"},
      {"/ETC//Passwd/", "/etc/passwd"},
      {"/a/./b/.", "/a/b"},
      {"/a/b/../../../c", "/c"},
      {"/a/.../b", "/a/.../b"},
      {"/etcetera", "/etcetera"},
      {"C:\\dir", "/c:\\dir"},
      {"..\\x", "/..\\x"},
      {"/a b/c", "/a b/c"},
  };
  for (const Case& c : cases) {
    expect_all_routes(c);
  }
}

TEST(Path, PercentDecodingIsOnePass) {
  const Case cases[] = {
      {"%2Fetc%2Fpasswd", "/etc/passwd"},
      {"%2e%2e/etc", "/etc"},
      {"/tmp/%2E%2E/%2E%2E/etc", "/etc"},
      {"%252e", "/%2e"},
      {"%41BC", "/abc"},
      {"%zz", "/%zz"},
      {"%ZZ/x", "/%zz/x"},
      {"%", "/%"},
      {"%4", "/%4"},
      {"/a/%2", "/a/%2"},
      {"%%41", "/%%41"},
      {"%/a", "/%/a"},
      // "%+h" reads one hexadecimal digit.
      {"%+f", "/\x0f"},
      {"%+F", "/\x0f"},
      {"%+", "/%+"},
      {"%+g", "/%+g"},
      {"%-1", "/%-1"},
      // A taken character that is not ASCII is kept with the "%".
      {"%\xC3\xA9" "1", "/%\xC3\xA9" "1"},
      // Decoded white space is not trimmed.
      {"%20/etc%20", "/ /etc "},
      // Each decoded byte is a Latin-1 character, never part of UTF-8:
      // U+00C3 U+00A9, lower-cased to U+00E3 U+00A9.
      {"%C3%A9", "/\xC3\xA3\xC2\xA9"},
      // U+00C2 U+00AD: the decoded soft hyphen is removed by folding.
      {"%C2%AD", "/\xC3\xA2"},
      // A decoded NUL stays; the NUL rule looked at the text before decoding.
      {"/a%00b", "/a\0b"s},
      {"%00", "/\0"s},
      {"%00%C9", "/\0\xC3\xA9"s},
  };
  for (const Case& c : cases) {
    expect_all_routes(c);
  }
}

TEST(Path, LookAlikesAndLowerCase) {
  const Case cases[] = {
      // Full-width etc and ETC, full-width solidus.
      {"/\uFF45\uFF54\uFF43/passwd", "/etc/passwd"},
      {"/\uFF25\uFF34\uFF23\uFF0Fpasswd", "/etc/passwd"},
      // Full-width full stops form "..".
      {"/etc/x/\uFF0E\uFF0E", "/etc"},
      // Cyrillic e and s, lower and upper case.
      {"/\u0435t\u0441/passwd", "/etc/passwd"},
      {"/\u0415T\u0421", "/etc"},
      {"/\u0410\u0412\u041A\u041C\u041D\u041E\u0420\u0422\u0425\u0430\u043E\u0440\u0445",
       "/abkmhoptxaopx"},
      // Fraction slash, division slash and the two mathematical slashes.
      {"/etc\u2044passwd", "/etc/passwd"},
      {"/etc\u2215passwd", "/etc/passwd"},
      {"/etc\u29F5a\u29F9b", "/etc/a/b"},
      // Invisible characters and combining marks are removed.
      {"/e\u200Bt\u200C\u200Dc", "/etc"},
      {"/et\u00ADc\uFEFF", "/etc"},
      {"/e\u0301tc\u036F", "/etc"},
      // Full default lower-case mapping: final sigma, dotted capital I.
      {"/\u039F\u0394\u039F\u03A3", "/\u03BF\u03B4\u03BF\u03C2"},
      {"/\u03A3\u03A3/x", "/\u03C3\u03C2/x"},
      {"/\u0130", "/i\u0307"},
      {"/\u00C9TC", "/\u00E9tc"},
      // Other characters stay.
      {"/\u65E5\u672C", "/\u65E5\u672C"},
  };
  for (const Case& c : cases) {
    expect_all_routes(c);
  }
}

TEST(Path, TrimLengthAndNul) {
  const std::string at_limit = "/" + std::string(kMaxPathBytes - 1, 'a');
  const std::string over_limit = at_limit + "a";
  const Case cases[] = {
      {"\t/etc\n", "/etc"},
      {" \u00A0\u3000/tmp/x\u2003\u0085", "/tmp/x"},
      // U+200B is not White_Space; folding removes it after trimming.
      {"\u200B/tmp", "/tmp"},
      {at_limit, at_limit},
      {over_limit, std::string(kBlockedTooLong)},
      {std::string(kMaxPathBytes + 1, ' '), std::string(kBlockedTooLong)},
      {"/etc" + std::string(kMaxPathBytes, '\0'), std::string(kBlockedTooLong)},
      {std::string(kMaxPathBytes, ' '), "/"},
      {"/tmp/\0x"s, std::string(kBlockedNullByte)},
      {"\0"s, std::string(kBlockedNullByte)},
      {" \0 "s, std::string(kBlockedNullByte)},
  };
  for (const Case& c : cases) {
    expect_all_routes(c);
  }
}

// The ASCII fast path and the general route agree on every short text over
// an alphabet rich in separators, dots, percent forms and capitals.
TEST(Path, FastPathMatchesGeneralRoute) {
  constexpr std::string_view kAlphabet = "/.%2eEfF+aZ 0\\8c";
  std::uint32_t state = 12345;
  for (int round = 0; round < 4000; ++round) {
    std::string text;
    state = state * 1103515245u + 12345u;
    const std::size_t length = (state >> 16) % 13;
    for (std::size_t i = 0; i < length; ++i) {
      state = state * 1103515245u + 12345u;
      text.push_back(kAlphabet[(state >> 16) % kAlphabet.size()]);
    }
    SCOPED_TRACE(text);
    ASSERT_EQ(normalize_path(text), path_internal::normalize_path_general(text));
  }
}

TEST(Path, FastPathMakesNoHeapAllocation) {
  std::string out;
  out.reserve(128);
  PathBuffer buffer;
  std::string spill;
  const std::string_view text = "/home/agent/projects/../data/%2e/Input.TXT";

  const std::size_t before = testing_support::heap_allocations();
  normalize_path_into(text, out);
  const std::string_view view = normalize_path_view(text, buffer, spill);
  const std::size_t after = testing_support::heap_allocations();

  EXPECT_EQ(after - before, 0u);
  EXPECT_EQ(out, "/home/agent/data/input.txt");
  EXPECT_EQ(view, "/home/agent/data/input.txt");
  EXPECT_TRUE(spill.empty());
}

}  // namespace
}  // namespace ordel
