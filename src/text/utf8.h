// UTF-8 validation, decoding and encoding.
//
// Every text that enters the core is validated once; afterwards the decoding
// helpers assume well-formed input and do no checking of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ordel::text {

// True when `bytes` is well-formed UTF-8: shortest forms only, no surrogate
// code points, nothing above U+10FFFF.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes) noexcept;

struct Decoded {
  char32_t code_point;
  std::uint8_t length;  // bytes consumed, 1 to 4
};

// Decodes the character starting at byte `pos` of valid UTF-8 (pos < size).
[[nodiscard]] inline Decoded decode_at(std::string_view valid, std::size_t pos) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(valid[pos + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    return {lead, 1};
  }
  if (lead < 0xE0) {
    return {static_cast<char32_t>(((lead & 0x1Fu) << 6) | (byte(1) & 0x3Fu)), 2};
  }
  if (lead < 0xF0) {
    return {static_cast<char32_t>(((lead & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) |
                                  (byte(2) & 0x3Fu)),
            3};
  }
  return {static_cast<char32_t>(((lead & 0x07u) << 18) | ((byte(1) & 0x3Fu) << 12) |
                                ((byte(2) & 0x3Fu) << 6) | (byte(3) & 0x3Fu)),
          4};
}

// Number of bytes of the UTF-8 encoding of `code_point`.
[[nodiscard]] constexpr std::size_t utf8_length(char32_t code_point) noexcept {
  return code_point < 0x80 ? 1 : code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
}

// Appends the UTF-8 encoding of a Unicode scalar value.
void append_utf8(std::string& out, char32_t code_point);

// Number of characters (scalar values) in valid UTF-8.
[[nodiscard]] std::size_t count_chars(std::string_view valid) noexcept;

// The longest prefix of valid UTF-8 that is at most `max_bytes` long and ends
// on a character boundary.
[[nodiscard]] std::string_view prefix_at_boundary(std::string_view valid,
                                                  std::size_t max_bytes) noexcept;

}  // namespace ordel::text
