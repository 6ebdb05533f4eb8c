#include "lexer/token.h"

#include <charconv>

namespace ordel {

std::string string_literal_value(const Token& token) {
  // The lexeme is the literal with its quotes; the lexer guarantees both.
  const std::string_view body = token.lexeme.substr(1, token.lexeme.size() - 2);
  std::string value;
  value.reserve(body.size());
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c != '\\' || i + 1 == body.size()) {
      value.push_back(c);
      continue;
    }
    const char next = body[++i];
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
  }
  return value;
}

std::string float_text(double value) {
  // Fixed notation of the largest double needs 309 digits before the point.
  char buffer[400];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  return std::string(buffer, ec == std::errc{} ? end : buffer);
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
