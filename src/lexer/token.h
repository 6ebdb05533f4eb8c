// Tokens of the policy language and their display texts.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "lexer/diagnostics.h"

namespace ordel {

enum class TokenKind : std::uint8_t {
  // Tokens that carry a value.
  IntLiteral,
  FloatLiteral,
  StringLiteral,
  True,
  False,
  Identifier,
  // Keywords.
  Module,
  Fn,
  Export,
  Import,
  Contract,
  TensorOp,
  Intent,
  Enum,
  Let,
  Do,
  QueryConscience,
  DeclareAnomaly,
  If,
  Else,
  Match,
  Loop,
  Return,
  Break,
  Continue,
  Collapse,
  Resolve,
  Verify,
  Scale,
  Barrier,
  ClaimTask,
  SelfMod,
  DeltaProof,
  Takes,
  Gives,
  Pre,
  Post,
  Bound,
  Effect,
  Conscience,
  Fallback,
  Rollback,
  Trace,
  Ring,
  // Operators and punctuation.
  Plus,
  Minus,
  Star,
  Slash,
  Percent,
  EqEq,
  NotEq,
  Lt,
  Gt,
  LtEq,
  GtEq,
  AndAnd,
  OrOr,
  Bang,
  Assign,
  PlusAssign,
  MinusAssign,
  Pipe,
  GtGt,
  Arrow,
  FatArrow,
  LParen,
  RParen,
  LBrace,
  RBrace,
  LBracket,
  RBracket,
  Comma,
  Colon,
  Semicolon,
  Dot,
  At,
  Hash,
  Question,
  Underscore,
  // Annotation words.
  AnnotFlow,
  AnnotGuard,
  AnnotShield,
  AnnotFortress,
  AnnotExplicit,
  AnnotKernel,
  Eof,
};

// Display text of every kind whose text does not depend on a carried value
// (empty for the four value-carrying kinds).
inline constexpr std::array<std::string_view, 86> kTokenKindTexts = {
    "", "", "", "true", "false", "",
    "module", "fn", "export", "import", "contract", "tensor_op", "intent", "enum", "let", "do",
    "query_conscience", "declare_anomaly", "if", "else", "match", "loop", "return", "break",
    "continue", "collapse", "resolve", "verify", "scale", "barrier", "claim_task", "self_mod",
    "delta_proof", "takes", "gives", "pre", "post", "bound", "effect", "conscience", "fallback",
    "rollback", "trace", "ring",
    "+", "-", "*", "/", "%", "==", "!=", "<", ">", "<=", ">=", "&&", "||", "!", "=", "+=", "-=",
    "|>", ">>", "->", "=>", "(", ")", "{", "}", "[", "]", ",", ":", ";", ".", "@", "#", "?", "_",
    "#flow", "#guard", "#shield", "#fortress", "#explicit", "#kernel",
    "EOF",
};
static_assert(kTokenKindTexts.size() == static_cast<std::size_t>(TokenKind::Eof) + 1);

// The fixed text of a kind (for value-carrying kinds, empty).
[[nodiscard]] constexpr std::string_view token_kind_text(TokenKind kind) noexcept {
  return kTokenKindTexts[static_cast<std::size_t>(kind)];
}

// One lexical unit. `lexeme` views the source text, which must outlive the
// token. Integer and float literals carry their converted value; a string
// literal's decoded value comes from string_literal_value(), an identifier's
// name is its lexeme.
struct Token {
  // Declared so that value-initialisation (as in a Result built in place)
  // runs these initialisers instead of first zero-filling the whole token.
  Token() noexcept {}

  TokenKind kind = TokenKind::Eof;
  Span span;
  std::string_view lexeme;
  union {
    std::int64_t int_value = 0;
    double float_value;
  };
};

// The decoded value of a string literal token: quotes removed, the escapes
// \" \\ \n \r \t replaced, any other backslash pair kept as written.
[[nodiscard]] std::string string_literal_value(const Token& token);

// Shortest round-trip decimal text of a float, never with an exponent and
// without a fractional part when integral ("2.5", "3").
[[nodiscard]] std::string float_text(double value);

// The text parser messages show for a token ("found '{found}'").
[[nodiscard]] std::string display_text(const Token& token);

}  // namespace ordel
