#include "conscience/path.h"

#include <utility>

#include "text/unicode.h"
#include "text/utf8.h"

namespace ordel {

namespace {

// Cyrillic letters drawn like a Latin letter, and the Latin letter they fold to.
constexpr std::pair<char32_t, char> kCyrillicLookAlikes[] = {
    {U'\u0410', 'A'}, {U'\u0412', 'B'}, {U'\u0415', 'E'}, {U'\u041A', 'K'}, {U'\u041C', 'M'},
    {U'\u041D', 'H'}, {U'\u041E', 'O'}, {U'\u0420', 'P'}, {U'\u0421', 'C'}, {U'\u0422', 'T'},
    {U'\u0425', 'X'}, {U'\u0430', 'a'}, {U'\u0435', 'e'}, {U'\u043E', 'o'}, {U'\u0440', 'p'},
    {U'\u0441', 'c'}, {U'\u0445', 'x'},
};
static_assert(std::size(kCyrillicLookAlikes) == 17);

// Characters that render as a slash and act as a separator.
constexpr char32_t kSlashLookAlikes[] = {U'\u2044', U'\u2215', U'\u29F5', U'\u29F9'};

// Invisible characters that would split a name without showing.
constexpr char32_t kInvisible[] = {U'\u200B', U'\u200C', U'\u200D', U'\u00AD', U'\uFEFF'};

constexpr std::size_t kFallback = std::string_view::npos;

constexpr int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  const char lower = static_cast<char>(c | 0x20);
  if (lower >= 'a' && lower <= 'f') {
    return lower - 'a' + 10;
  }
  return -1;
}

// The byte value of the two ASCII characters after a "%": both hexadecimal
// digits, or "+" and one digit. -1 when they do not read as a value.
constexpr int percent_value(char first, char second) noexcept {
  const int low = hex_value(second);
  if (low < 0) {
    return -1;
  }
  if (first == '+') {
    return low;
  }
  const int high = hex_value(first);
  return high < 0 ? -1 : high * 16 + low;
}

constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// Appends the look-alike folding of one character.
void append_folded(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
    return;
  }
  if (c >= 0x0300 && c <= 0x036F) {
    return;
  }
  for (const char32_t invisible : kInvisible) {
    if (c == invisible) {
      return;
    }
  }
  for (const auto& [cyrillic, latin] : kCyrillicLookAlikes) {
    if (c == cyrillic) {
      out.push_back(latin);
      return;
    }
  }
  for (const char32_t slash : kSlashLookAlikes) {
    if (c == slash) {
      out.push_back('/');
      return;
    }
  }
  if (c >= 0xFF01 && c <= 0xFF5E) {
    out.push_back(static_cast<char>(c - 0xFF01 + 0x21));
    return;
  }
  text::append_utf8(out, c);
}

// Rebuilds "/"-separated segments byte by byte, dropping empty and "."
// segments and resolving ".." as each segment ends. Writes into storage of at
// least (bytes put) + 1 bytes: every segment costs its own bytes plus one "/",
// and only the first segment is not preceded by a "/" of the input.
class SegmentWriter {
 public:
  explicit SegmentWriter(char* out) noexcept : out_(out) {}

  void put(char c) noexcept {
    if (c == '/') {
      end_segment();
      return;
    }
    if (!open_) {
      start_ = len_;
      out_[len_++] = '/';
      open_ = true;
    }
    out_[len_++] = c;
  }

  // Ends the last segment and returns the length of the result.
  [[nodiscard]] std::size_t finish() noexcept {
    end_segment();
    if (len_ == 0) {
      out_[len_++] = '/';
    }
    return len_;
  }

 private:
  void end_segment() noexcept {
    if (!open_) {
      return;
    }
    open_ = false;
    const std::string_view segment(out_ + start_ + 1, len_ - start_ - 1);
    if (segment == ".") {
      len_ = start_;
    } else if (segment == "..") {
      len_ = start_;
      while (len_ > 0 && out_[len_ - 1] != '/') {
        --len_;
      }
      if (len_ > 0) {
        --len_;
      }
    }
  }

  char* out_;
  std::size_t len_ = 0;
  std::size_t start_ = 0;
  bool open_ = false;
};

// Lower-casing and segments for an ASCII text without "%", where nothing
// needs decoding: whole segments are found first, then copied.
std::size_t normalize_plain_ascii(std::string_view text, char* out) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  std::size_t len = 0;
  while (p < end) {
    if (*p == '/') {
      ++p;
      continue;
    }
    const char* const segment = p;
    while (p < end && *p != '/') {
      ++p;
    }
    const auto size = static_cast<std::size_t>(p - segment);
    if (size == 1 && segment[0] == '.') {
      continue;
    }
    if (size == 2 && segment[0] == '.' && segment[1] == '.') {
      // Drop the last collected segment together with its "/".
      while (len > 0 && out[--len] != '/') {
      }
      continue;
    }
    out[len++] = '/';
    for (std::size_t k = 0; k < size; ++k) {
      out[len++] = ascii_lower(segment[k]);
    }
  }
  if (len == 0) {
    out[len++] = '/';
  }
  return len;
}

// Steps after the NUL test for a text of ASCII bytes, fused into one pass
// into `out` (capacity at least text.size() + 1). Returns the result length,
// or kFallback when a decoded byte is 0x80 or above: that byte is a Latin-1
// character and needs the general route.
std::size_t normalize_ascii(std::string_view text, char* out) noexcept {
  if (text.find('%') == std::string_view::npos) {
    return normalize_plain_ascii(text, out);
  }
  SegmentWriter writer(out);
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    if (text[i] != '%') {
      writer.put(ascii_lower(text[i]));
      ++i;
      continue;
    }
    if (size - i < 3) {
      for (; i < size; ++i) {
        writer.put(ascii_lower(text[i]));
      }
      break;
    }
    const int value = percent_value(text[i + 1], text[i + 2]);
    if (value < 0) {
      writer.put('%');
      writer.put(ascii_lower(text[i + 1]));
      writer.put(ascii_lower(text[i + 2]));
    } else if (value >= 0x80) {
      return kFallback;
    } else {
      writer.put(ascii_lower(static_cast<char>(value)));
    }
    i += 3;
  }
  return writer.finish();
}

// Steps after the NUL test for any valid UTF-8 text: percent-decoding and
// folding into one string, then lower-casing, then segments into `out`.
void normalize_general(std::string_view text, std::string& out) {
  std::string folded;
  folded.reserve(text.size());
  const std::size_t size = text.size();
  std::size_t pos = 0;
  while (pos < size) {
    const text::Decoded d = text::decode_at(text, pos);
    pos += d.length;
    if (d.code_point != U'%') {
      append_folded(folded, d.code_point);
      continue;
    }
    text::Decoded taken[2];
    std::size_t count = 0;
    while (count < 2 && pos < size) {
      taken[count] = text::decode_at(text, pos);
      pos += taken[count].length;
      ++count;
    }
    const int value = (count == 2 && taken[0].length == 1 && taken[1].length == 1)
                          ? percent_value(static_cast<char>(taken[0].code_point),
                                          static_cast<char>(taken[1].code_point))
                          : -1;
    if (value >= 0) {
      append_folded(folded, static_cast<char32_t>(value));
      continue;
    }
    append_folded(folded, U'%');
    for (std::size_t k = 0; k < count; ++k) {
      append_folded(folded, taken[k].code_point);
    }
  }

  std::string lowered;
  text::to_lower_into(folded, lowered);
  out.resize(lowered.size() + 1);
  SegmentWriter writer(out.data());
  for (const char c : lowered) {
    writer.put(c);
  }
  out.resize(writer.finish());
}

// Removes leading and trailing White_Space characters.
std::string_view trim(std::string_view text) noexcept {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const text::Decoded d = text::decode_at(text, begin);
    if (!text::is_white_space(d.code_point)) {
      break;
    }
    begin += d.length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t lead = end - 1;
    while (lead > begin && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) {
      --lead;
    }
    if (!text::is_white_space(text::decode_at(text, lead).code_point)) {
      break;
    }
    end = lead;
  }
  return text.substr(begin, end - begin);
}

// The first three steps: the length and NUL tests, which may end the
// normalization with a blocked text, and trimming.
struct Prepared {
  std::string_view text;  // the trimmed text, or the blocked result
  bool blocked = false;
  bool ascii = false;
};

Prepared prepare(std::string_view text) noexcept {
  if (text.size() > kMaxPathBytes) {
    return {kBlockedTooLong, true, false};
  }
  const std::string_view trimmed = trim(text);
  if (trimmed.find('\0') != std::string_view::npos) {
    return {kBlockedNullByte, true, false};
  }
  return {trimmed, false, text::is_ascii(trimmed)};
}

}  // namespace

void normalize_path_into(std::string_view text, std::string& out) {
  const Prepared prepared = prepare(text);
  if (prepared.blocked) {
    out.assign(prepared.text);
    return;
  }
  if (prepared.ascii) {
    out.resize(prepared.text.size() + 1);
    const std::size_t length = normalize_ascii(prepared.text, out.data());
    if (length != kFallback) {
      out.resize(length);
      return;
    }
  }
  normalize_general(prepared.text, out);
}

std::string normalize_path(std::string_view text) {
  std::string out;
  normalize_path_into(text, out);
  return out;
}

std::string_view normalize_path_view(std::string_view text, PathBuffer& buffer,
                                     std::string& spill) {
  const Prepared prepared = prepare(text);
  if (prepared.blocked) {
    return prepared.text;
  }
  if (prepared.ascii) {
    // The trimmed text is at most kMaxPathBytes long, so its result fits.
    const std::size_t length = normalize_ascii(prepared.text, buffer.data());
    if (length != kFallback) {
      return {buffer.data(), length};
    }
  }
  normalize_general(prepared.text, spill);
  return spill;
}

namespace path_internal {

std::string normalize_path_general(std::string_view text) {
  const Prepared prepared = prepare(text);
  if (prepared.blocked) {
    return std::string(prepared.text);
  }
  std::string out;
  normalize_general(prepared.text, out);
  return out;
}

}  // namespace path_internal

}  // namespace ordel
