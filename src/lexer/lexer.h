// The lexer: policy source text to tokens.
//
// Works over valid UTF-8 one character at a time, counting positions in
// characters. Stops at the first malformed character sequence; every lexer
// error has kind UnexpectedChar. Not thread-safe: one lexer, one source,
// one thread. The source must outlive the lexer and its tokens.
#pragma once

#include <string_view>
#include <vector>

#include "lexer/diagnostics.h"
#include "lexer/token.h"

namespace ordel {

class Lexer {
 public:
  explicit Lexer(std::string_view source) noexcept;

  // The next token. After the end-of-input token every further call yields
  // it again. A source that is not valid UTF-8 fails on the first call.
  [[nodiscard]] Result<Token> next();

 private:
  [[nodiscard]] bool at_end() const noexcept { return pos_ >= source_.size(); }
  [[nodiscard]] char32_t peek(std::size_t ahead = 0) const noexcept;
  char32_t advance() noexcept;
  void skip_whitespace_and_comments() noexcept;
  [[nodiscard]] std::unexpected<PolicyError> error(std::string message) const;
  [[nodiscard]] Result<Token> finish(TokenKind kind);
  [[nodiscard]] Result<Token> lex_string();
  [[nodiscard]] Result<Token> lex_number();
  [[nodiscard]] Result<Token> lex_word();
  [[nodiscard]] Result<Token> lex_annotation();

  std::string_view source_;
  bool valid_ = true;
  std::size_t pos_ = 0;         // byte offset of the current character
  std::uint64_t index_ = 0;     // character index of the current character
  std::uint64_t line_ = 1;
  std::uint64_t col_ = 1;
  // Start of the token being built.
  std::size_t token_pos_ = 0;
  Span token_span_;
};

// The whole token list, ending with exactly one end-of-input token, or the
// first error.
[[nodiscard]] Result<std::vector<Token>> tokenize(std::string_view source);

}  // namespace ordel
