#include "text/utf8.h"

#include <cstring>

namespace ordel::text {

bool is_valid_utf8(std::string_view bytes) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // ASCII runs are the common case: test eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t chunk;
      std::memcpy(&chunk, s + i, 8);
      if (chunk & 0x8080808080808080ull) {
        break;
      }
      i += 8;
    }
    if (i >= n) {
      break;
    }
    const unsigned char lead = s[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const auto cont = [&](std::size_t k) { return i + k < n && (s[i + k] & 0xC0) == 0x80; };
    if (lead >= 0xC2 && lead <= 0xDF) {
      if (!cont(1)) return false;
      i += 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      if (!cont(1) || !cont(2)) return false;
      const unsigned char second = s[i + 1];
      if (lead == 0xE0 && second < 0xA0) return false;   // overlong
      if (lead == 0xED && second >= 0xA0) return false;  // surrogate
      i += 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      if (!cont(1) || !cont(2) || !cont(3)) return false;
      const unsigned char second = s[i + 1];
      if (lead == 0xF0 && second < 0x90) return false;   // overlong
      if (lead == 0xF4 && second >= 0x90) return false;  // above U+10FFFF
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::size_t count_chars(std::string_view valid) noexcept {
  std::size_t count = 0;
  for (const char c : valid) {
    // Every byte except a continuation byte starts a character.
    count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }
  return count;
}

std::string_view prefix_at_boundary(std::string_view valid, std::size_t max_bytes) noexcept {
  if (valid.size() <= max_bytes) {
    return valid;
  }
  std::size_t cut = max_bytes;
  while (cut > 0 && (static_cast<unsigned char>(valid[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  return valid.substr(0, cut);
}

}  // namespace ordel::text
