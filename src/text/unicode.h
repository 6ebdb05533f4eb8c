// Unicode character properties and case mapping.
//
// Backed by ICU, always with the root locale: results never depend on the
// process locale. ASCII takes a fast path that does not call into ICU.
// All functions are thread-safe and keep no state.
#pragma once

#include <string>
#include <string_view>

namespace ordel::text {

// The Alphabetic binary property.
[[nodiscard]] bool is_alphabetic(char32_t c) noexcept;
// General category Nd, Nl or No.
[[nodiscard]] bool is_numeric(char32_t c) noexcept;
// The Uppercase binary property.
[[nodiscard]] bool is_uppercase(char32_t c) noexcept;
// The White_Space binary property.
[[nodiscard]] bool is_white_space(char32_t c) noexcept;

[[nodiscard]] inline bool is_alphanumeric(char32_t c) noexcept {
  return is_alphabetic(c) || is_numeric(c);
}

// True when no byte of `s` has the high bit set.
[[nodiscard]] bool is_ascii(std::string_view s) noexcept;

// The Unicode default full lower-case mapping of valid UTF-8 (one character
// may become several; context rules such as Final_Sigma apply).
[[nodiscard]] std::string to_lower(std::string_view valid_utf8);

// Same as to_lower, writing into `out` (cleared first) so a caller can reuse
// its capacity.
void to_lower_into(std::string_view valid_utf8, std::string& out);

}  // namespace ordel::text
