#include "text/unicode.h"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/uchar.h>

#include <cstring>

namespace ordel::text {

namespace {

constexpr bool ascii_letter(char32_t c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
constexpr bool ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }

// ICU works on UChar32 (a signed 32-bit int); every char32_t we pass is a
// scalar value, so the conversion is exact.
UChar32 icu(char32_t c) { return static_cast<UChar32>(c); }

}  // namespace

bool is_alphabetic(char32_t c) noexcept {
  if (c < 0x80) {
    return ascii_letter(c);
  }
  return u_hasBinaryProperty(icu(c), UCHAR_ALPHABETIC) != 0;
}

bool is_numeric(char32_t c) noexcept {
  if (c < 0x80) {
    return ascii_digit(c);
  }
  const auto mask = U_GET_GC_MASK(icu(c));
  return (mask & (U_GC_ND_MASK | U_GC_NL_MASK | U_GC_NO_MASK)) != 0;
}

bool is_uppercase(char32_t c) noexcept {
  if (c < 0x80) {
    return c >= 'A' && c <= 'Z';
  }
  return u_hasBinaryProperty(icu(c), UCHAR_UPPERCASE) != 0;
}

bool is_white_space(char32_t c) noexcept {
  if (c < 0x80) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
  }
  return u_hasBinaryProperty(icu(c), UCHAR_WHITE_SPACE) != 0;
}

bool is_ascii(std::string_view s) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t chunk;
    std::memcpy(&chunk, s.data() + i, 8);
    if (chunk & 0x8080808080808080ull) {
      return false;
    }
  }
  for (; i < s.size(); ++i) {
    if (static_cast<unsigned char>(s[i]) >= 0x80) {
      return false;
    }
  }
  return true;
}

void to_lower_into(std::string_view valid_utf8, std::string& out) {
  out.clear();
  if (is_ascii(valid_utf8)) {
    out.resize(valid_utf8.size());
    for (std::size_t i = 0; i < valid_utf8.size(); ++i) {
      const char c = valid_utf8[i];
      out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
    }
    return;
  }
  icu::StringByteSink<std::string> sink(&out, static_cast<int32_t>(valid_utf8.size()));
  UErrorCode status = U_ZERO_ERROR;
  // "" selects the root locale: no Turkish or Lithuanian special cases.
  icu::CaseMap::utf8ToLower("", 0,
                            icu::StringPiece(valid_utf8.data(),
                                             static_cast<int32_t>(valid_utf8.size())),
                            sink, nullptr, status);
  if (U_FAILURE(status)) {
    // Only possible for input longer than ICU's 32-bit lengths or on memory
    // exhaustion; fall back to the text unchanged rather than lose it.
    out.assign(valid_utf8);
  }
}

std::string to_lower(std::string_view valid_utf8) {
  std::string out;
  to_lower_into(valid_utf8, out);
  return out;
}

}  // namespace ordel::text
