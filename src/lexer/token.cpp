#include "lexer/token.h"

#include <charconv>

namespace ordel {

std::string string_literal_value(const Token& token) {
  // The lexeme is the literal with its quotes; the lexer guarantees both.
  const std::string_view body = token.lexeme.substr(1, token.lexeme.size() - 2);
  std::size_t backslash = body.find('\\');
  if (backslash == std::string_view::npos) {
    return std::string(body);
  }
  std::string value;
  value.reserve(body.size());
  std::size_t done = 0;
  // A backslash that ends the body stays as written.
  while (backslash != std::string_view::npos && backslash + 1 < body.size()) {
    value.append(body.substr(done, backslash - done));
    const char next = body[backslash + 1];
    switch (next) {
      case '"': value.push_back('"'); break;
      case '\\': value.push_back('\\'); break;
      case 'n': value.push_back('\n'); break;
      case 'r': value.push_back('\r'); break;
      case 't': value.push_back('\t'); break;
      default:
        // Unknown escapes keep the backslash; the next character (which may
        // be the first byte of a multi-byte character) follows unchanged.
        value.push_back('\\');
        value.push_back(next);
        break;
    }
    done = backslash + 2;
    backslash = body.find('\\', done);
  }
  value.append(body.substr(done));
  return value;
}

std::string float_text(double value) {
  // The shortest digits that round-trip come from the scientific form
  // ("d.ddde±x"); they are then written out in positional notation, padded
  // with zeros, so 1e300 shows as 1 and 300 zeros rather than the exact
  // binary expansion.
  char buffer[32];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view sci(buffer, ec == std::errc{} ? end : buffer);
  const std::size_t e = sci.find('e');
  if (e == std::string_view::npos) {
    return std::string(sci);  // inf, nan
  }
  int exponent = 0;
  std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
  std::string out;
  std::string digits;
  for (const char c : sci.substr(0, e)) {
    if (c == '-') {
      out += c;
    } else if (c != '.') {
      digits += c;
    }
  }
  const auto count = static_cast<int>(digits.size());
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  } else if (exponent + 1 >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(exponent + 1 - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
    out += '.';
    out.append(digits, static_cast<std::size_t>(exponent + 1));
  }
  return out;
}

std::string display_text(const Token& token) {
  switch (token.kind) {
    case TokenKind::IntLiteral: {
      char buffer[24];
      const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, token.int_value);
      return std::string(buffer, end);
    }
    case TokenKind::FloatLiteral:
      return float_text(token.float_value);
    case TokenKind::StringLiteral:
      return "\"" + string_literal_value(token) + "\"";
    case TokenKind::Identifier:
      return std::string(token.lexeme);
    default:
      return std::string(token_kind_text(token.kind));
  }
}

}  // namespace ordel
