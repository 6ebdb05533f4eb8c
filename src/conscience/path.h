// Path normalization: the canonical absolute form in which the conscience
// compares a path field with its directories.
//
// In order: a text longer than kMaxPathBytes becomes kBlockedTooLong; white
// space (Unicode White_Space) is trimmed from both ends; a remaining U+0000
// gives kBlockedNullByte. Otherwise the text is percent-decoded in one pass
// ("%hh" and "%+h"; each decoded byte is the character U+0000 to U+00FF, never
// re-decoded and never read as UTF-8), look-alike characters are folded
// (zero-width characters, the soft hyphen and combining marks U+0300-U+036F
// removed; Cyrillic look-alike letters, full-width ASCII forms and slash-like
// characters replaced), the Unicode default full lower-case mapping (root
// locale) is applied, and the "/"-separated segments are rebuilt without
// empty, "." and ".." segments. The result always starts with "/" and ends
// with "/" only when it is "/" itself; a relative text is read from the root.
// Backslash is an ordinary character.
//
// Input must be valid UTF-8. The functions never fail, keep no state and are
// safe to call from any number of threads. An ASCII text whose decoded bytes
// are all ASCII takes a fast path that does not call into ICU and builds no
// intermediate strings.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace ordel {

inline constexpr std::size_t kMaxPathBytes = 4096;
inline constexpr std::string_view kBlockedTooLong = "/etc/BLOCKED_PATH_TOO_LONG";
inline constexpr std::string_view kBlockedNullByte = "/etc/BLOCKED_NULL_BYTE";

[[nodiscard]] std::string normalize_path(std::string_view text);

// Same as normalize_path, writing into `out` (replacing its content) so a
// caller can reuse its capacity: a fast-path text allocates nothing when
// `out` already holds text.size() + 1 bytes of capacity. `text` must not
// refer into `out`.
void normalize_path_into(std::string_view text, std::string& out);

// Caller-provided storage large enough for every fast-path result (at most
// one byte longer than the longest accepted text).
using PathBuffer = std::array<char, kMaxPathBytes + 1>;

// Same as normalize_path, without heap allocation on the fast path: the
// result is written into `buffer` on the fast path, into `spill` (replacing
// its content) otherwise, or is one of the static blocked texts. The returned
// view stays valid until the storage it refers to is reused or destroyed.
[[nodiscard]] std::string_view normalize_path_view(std::string_view text, PathBuffer& buffer,
                                                   std::string& spill);

namespace path_internal {

// The normalization without the ASCII fast path: every text goes through
// code-point decoding and ICU lower-casing. Exposed so tests can check that
// both routes agree.
[[nodiscard]] std::string normalize_path_general(std::string_view text);

}  // namespace path_internal

}  // namespace ordel
