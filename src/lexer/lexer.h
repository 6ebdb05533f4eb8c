// The lexer: policy source text to tokens.
//
// Works over valid UTF-8 one character at a time, counting positions in
// characters. Stops at the first malformed character sequence; every lexer
// error has kind UnexpectedChar. Not thread-safe: one lexer, one source,
// one thread. The source must outlive the lexer and its tokens.
#pragma once

#include <array>
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

  // The same, writing the token into `out`; on failure returns false and
  // the error is taken with take_error().
  [[nodiscard]] bool next_into(Token& out);
  [[nodiscard]] PolicyError take_error() { return std::move(error_); }

 private:
  [[nodiscard]] bool at_end() const noexcept { return pos_ >= source_.size(); }
  [[nodiscard]] char32_t peek(std::size_t ahead = 0) const noexcept;
  char32_t advance() noexcept;
  // Skips whitespace and comments and marks the start of the next token.
  void begin_token() noexcept;
  // Consumes ASCII bytes while `in_run` holds for them.
  void skip_ascii_run(const std::array<bool, 256>& in_run) noexcept;
  // Each of these completes the token in *out_ and returns true, or records
  // the error and returns false.
  bool error(std::string message);
  bool finish(TokenKind kind);
  [[nodiscard]] bool lex_string();
  [[nodiscard]] bool lex_number();
  [[nodiscard]] bool lex_word();
  [[nodiscard]] bool lex_annotation();

  std::string_view source_;
  Token* out_ = nullptr;  // the token being written by next_into
  PolicyError error_;
  bool valid_ = true;
  std::size_t pos_ = 0;         // byte offset of the current character
  std::uint64_t index_ = 0;     // character index of the current character
  std::uint64_t line_ = 1;
  std::uint64_t col_ = 1;
  // Start of the token being built.
  std::size_t token_pos_ = 0;
  std::uint64_t token_index_ = 0;
  std::uint64_t token_line_ = 1;
  std::uint64_t token_col_ = 1;
};

// The whole token list, ending with exactly one end-of-input token, or the
// first error.
[[nodiscard]] Result<std::vector<Token>> tokenize(std::string_view source);

}  // namespace ordel
