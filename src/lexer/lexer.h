// The lexer: policy source text to tokens.
//
// Works over valid UTF-8, counting positions in characters. Stops at the
// first malformed character sequence; every lexer error has kind
// UnexpectedChar. Not thread-safe: one lexer, one source, one thread. The
// source must outlive the lexer and its tokens.
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
  // Character index and column of the current character.
  [[nodiscard]] std::uint64_t index() const noexcept { return pos_ - continuation_bytes_; }
  [[nodiscard]] std::uint64_t col() const noexcept { return index() - line_start_ + 1; }
  [[nodiscard]] char32_t peek() const noexcept;
  char32_t advance() noexcept;
  // Skips whitespace and comments and records where the next token starts.
  void begin_token() noexcept;
  // Consumes ASCII bytes while `in_run` holds for them.
  void skip_ascii_run(const std::array<bool, 256>& in_run) noexcept;
  // Each of these completes the token in *out_ and returns true, or records
  // the error and returns false.
  bool error(std::string message);
  bool finish(TokenKind kind);
  [[nodiscard]] bool lex_operator(char lead);
  [[nodiscard]] bool lex_string();
  [[nodiscard]] bool lex_number();
  [[nodiscard]] bool lex_word();
  [[nodiscard]] bool lex_annotation();
  [[nodiscard]] bool lex_other();

  std::string_view source_;
  Token* out_ = nullptr;  // the token being written by next_into
  PolicyError error_;
  bool valid_ = true;
  // Positions are kept as byte offsets; character counts follow from them:
  // the character index is pos_ - continuation_bytes_, the column counts
  // from line_start_. Only non-ASCII text updates continuation_bytes_, so
  // ASCII runs advance by a single addition.
  std::size_t pos_ = 0;                    // byte offset of the current character
  std::uint64_t continuation_bytes_ = 0;  // UTF-8 continuation bytes before pos_
  std::uint64_t line_ = 1;
  std::uint64_t line_start_ = 0;  // character index of the current line's first character
  std::size_t token_pos_ = 0;  // byte offset where the token being built starts
};

// The whole token list, ending with exactly one end-of-input token, or the
// first error.
[[nodiscard]] Result<std::vector<Token>> tokenize(std::string_view source);

}  // namespace ordel
