#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "lexer/lexer.h"
#include "lexer/token.h"

namespace ordel {
namespace {

// Each token as its display text; value-carrying kinds are wrapped so that,
// say, the identifier `x` and the keyword `fn` cannot be confused.
std::string render(std::string_view source) {
  const Result<std::vector<Token>> tokens = tokenize(source);
  if (!tokens) {
    return tokens.error().text();
  }
  std::string out;
  for (const Token& token : *tokens) {
    out += out.empty() ? "" : " ";
    switch (token.kind) {
      case TokenKind::Identifier: out += "id(" + display_text(token) + ")"; break;
      case TokenKind::IntLiteral: out += "int(" + display_text(token) + ")"; break;
      case TokenKind::FloatLiteral: out += "float(" + display_text(token) + ")"; break;
      case TokenKind::StringLiteral: out += "str(" + display_text(token) + ")"; break;
      default: out += display_text(token); break;
    }
  }
  return out;
}

struct Case {
  std::string_view src;
  std::string_view want;
};

TEST(Lexer, EveryFixedKindInDeclaredOrder) {
  constexpr std::string_view kSource =
      "true false module fn export import contract tensor_op intent enum let do query_conscience "
      "declare_anomaly if else match loop return break continue collapse resolve verify scale "
      "barrier claim_task self_mod delta_proof takes gives pre post bound effect conscience "
      "fallback rollback trace ring + - * / % == != < > <= >= && || ! = += -= |> >> -> => ( ) { } "
      "[ ] , : ; . @ # ? _ #flow #guard #shield #fortress #explicit #kernel";
  const Result<std::vector<Token>> tokens = tokenize(kSource);
  ASSERT_TRUE(tokens.has_value());
  ASSERT_EQ(tokens->size(), 82u);  // kinds 3, 4 and 6 to 84, then end of input
  std::size_t expected_kind = 3;
  std::size_t word_start = 0;
  for (std::size_t i = 0; i + 1 < tokens->size(); ++i) {
    const Token& token = (*tokens)[i];
    const std::size_t word_end = std::min(kSource.find(' ', word_start), kSource.size());
    const std::string_view word = kSource.substr(word_start, word_end - word_start);
    SCOPED_TRACE(word);
    EXPECT_EQ(static_cast<std::size_t>(token.kind), expected_kind);
    EXPECT_EQ(display_text(token), word);
    EXPECT_EQ(token.lexeme, word);
    expected_kind += expected_kind == 4 ? 2 : 1;  // 5 is the identifier
    word_start = word_end + 1;
  }
  EXPECT_EQ(tokens->back().kind, TokenKind::Eof);
  EXPECT_EQ(display_text(tokens->back()), "EOF");
}

TEST(Lexer, Tokens) {
  const struct {
    std::string src;
    std::string_view want;
  } cases[] = {
      {"", "EOF"},
      {"  \t\r\n // only a comment", "EOF"},
      {"a//b", "id(a) EOF"},
      {"a/ /b", "id(a) / / id(b) EOF"},
      {"x>>=y", "id(x) >> = id(y) EOF"},
      {"a=>b", "id(a) => id(b) EOF"},
      {"a->b-=c", "id(a) -> id(b) -= id(c) EOF"},
      {"a||b&&!c", "id(a) || id(b) && ! id(c) EOF"},
      {"|>", "|> EOF"},
      {"< <= = == ! != > >=", "< <= = == ! != > >= EOF"},
      {"#flow #kernel #Flow #flow_x #abc # #guard1", "#flow #kernel # #flow id(_x) # # # EOF"},
      {"_ _a a_ __", "_ id(_a) id(a_) id(__) EOF"},
      {"True Module INTENT true", "id(True) id(Module) id(INTENT) true EOF"},
      {"caf\xC3\xA9 \xE5\xA4\x89\xE6\x95\xB0 x1 a\xC2\xB2",
       "id(caf\xC3\xA9) id(\xE5\xA4\x89\xE6\x95\xB0) id(x1) id(a\xC2\xB2) EOF"},
      {"1.x 1..2 1e5 007", "int(1) . id(x) int(1) . . int(2) int(1) id(e5) int(7) EOF"},
      {"-5", "- int(5) EOF"},
      {"9223372036854775807", "int(9223372036854775807) EOF"},
      {"2.50 3.0 0.125 00.5", "float(2.5) float(3) float(0.125) float(0.5) EOF"},
      {"1000000000000000000000000000000.0", "float(1000000000000000000000000000000) EOF"},
      {"123456789012345678901234567890.0", "float(123456789012345680000000000000) EOF"},
      {"1" + std::string(400, '0') + ".0", "float(inf) EOF"},
      {R"("a" "" "say \"hi\"")", R"(str("a") str("") str("say "hi"") EOF)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.src);
    EXPECT_EQ(render(c.src), c.want);
  }
}

TEST(Lexer, Errors) {
  const std::string long_ascii(256, 'a');
  std::string long_accented;
  for (int i = 0; i < 128; ++i) {
    long_accented += "\xC3\xA9";  // 256 bytes
  }
  const std::string sixteen_accented = long_accented.substr(0, 32);
  const struct {
    std::string src;
    std::string want;
  } cases[] = {
      {"$", "[UnexpectedChar] Error at line 1:2: Unexpected character: '$'"},
      {"\n    $", "[UnexpectedChar] Error at line 2:6: Unexpected character: '$'"},
      {"\xC3\xA9$", "[UnexpectedChar] Error at line 1:3: Unexpected character: '$'"},
      {"a\r$", "[UnexpectedChar] Error at line 1:4: Unexpected character: '$'"},
      {"\xE2\x82\xAC", "[UnexpectedChar] Error at line 1:2: Unexpected character: '\xE2\x82\xAC'"},
      {"\xC2\xA0", "[UnexpectedChar] Error at line 1:2: Unexpected character: '\xC2\xA0'"},
      {"\xC2\xB2", "[UnexpectedChar] Error at line 1:2: Unexpected character: '\xC2\xB2'"},
      {"&", "[UnexpectedChar] Error at line 1:2: Expected '&&'"},
      {"a & b", "[UnexpectedChar] Error at line 1:4: Expected '&&'"},
      {"|", "[UnexpectedChar] Error at line 1:2: Expected '|>' or '||'"},
      {"a | b", "[UnexpectedChar] Error at line 1:4: Expected '|>' or '||'"},
      {"\"abc", "[UnexpectedChar] Error at line 1:5: Unterminated string"},
      {"\"\\\"", "[UnexpectedChar] Error at line 1:4: Unterminated string"},
      {"\"a\\", "[UnexpectedChar] Error at line 1:4: Unterminated string"},
      {"\"line\nnext", "[UnexpectedChar] Error at line 2:5: Unterminated string"},
      {"9223372036854775808", "[UnexpectedChar] Error at line 1:20: Invalid integer literal"},
      {long_ascii,
       "[UnexpectedChar] Error at line 1:257: Identifier '" + long_ascii.substr(0, 32) +
           "...' exceeds maximum length of 255 characters"},
      {long_accented,
       "[UnexpectedChar] Error at line 1:129: Identifier '" + sixteen_accented +
           "...' exceeds maximum length of 255 characters"},
      // The 32-byte cut would split a character: the prefix stops before it.
      {"a" + long_accented,
       "[UnexpectedChar] Error at line 1:130: Identifier 'a" + sixteen_accented.substr(0, 30) +
           "...' exceeds maximum length of 255 characters"},
      {"module m {} \xFF", "[UnexpectedChar] Error at line 1:1: Source is not valid UTF-8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.src);
    EXPECT_EQ(render(c.src), c.want);
  }
  // The byte limit, not a character count, decides.
  EXPECT_EQ(render(std::string(255, 'a')), "id(" + std::string(255, 'a') + ") EOF");
  EXPECT_EQ(render("a" + long_accented.substr(2)), "id(a" + long_accented.substr(2) + ") EOF");
}

TEST(Lexer, Spans) {
  struct SpanCase {
    std::string_view src;
    std::size_t token;  // index into the token list
    Span want;
  };
  const SpanCase cases[] = {
      {"", 0, {0, 0, 1, 1}},
      {"a // c\n  ", 1, {9, 9, 2, 3}},  // end of input after whitespace and comments
      {"\xC3\xA9 x", 1, {2, 3, 1, 3}},
      {"a\r\nb", 1, {3, 4, 2, 1}},
      {"\"a\nb\"\nx", 1, {6, 7, 3, 1}},  // a raw line feed inside a string counts
      {"  module", 0, {2, 8, 1, 3}},
      {"#abc x", 1, {5, 6, 1, 6}},
  };
  for (const SpanCase& c : cases) {
    SCOPED_TRACE(c.src);
    const Result<std::vector<Token>> tokens = tokenize(c.src);
    ASSERT_TRUE(tokens.has_value());
    EXPECT_EQ(tokens->at(c.token).span, c.want);
  }
  const struct {
    std::string src;
    Span want;
  } errors[] = {
      {"\xC3\xA9$", {1, 2, 1, 3}},
      {"ab \"cd", {3, 6, 1, 7}},
      {"x 9223372036854775808", {2, 21, 1, 22}},
      {std::string(256, 'a'), {0, 256, 1, 257}},
  };
  for (const auto& c : errors) {
    SCOPED_TRACE(c.src);
    const Result<std::vector<Token>> tokens = tokenize(c.src);
    ASSERT_FALSE(tokens.has_value());
    EXPECT_EQ(tokens.error().span, c.want);
  }
}

TEST(Lexer, StringValuesAndLexemes) {
  const Case cases[] = {
      {R"("a\qb")", "a\\qb"},
      {R"("\"\\\n\r\t")", "\"\\\n\r\t"},
      {"\"a\\\nb\"", "a\\\nb"},  // a backslash before a line feed is kept
      {"\"a\nb\"", "a\nb"},
      {"\"\xC3\xA9\\\xC3\xA9\"", "\xC3\xA9\\\xC3\xA9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.src);
    const Result<std::vector<Token>> tokens = tokenize(c.src);
    ASSERT_TRUE(tokens.has_value());
    const Token& token = tokens->front();
    EXPECT_EQ(token.kind, TokenKind::StringLiteral);
    EXPECT_EQ(string_literal_value(token), c.want);
    EXPECT_EQ(token.lexeme, c.src);
  }
  const Result<std::vector<Token>> annotation = tokenize("#abc");
  ASSERT_TRUE(annotation.has_value());
  EXPECT_EQ(annotation->front().kind, TokenKind::Hash);
  EXPECT_EQ(annotation->front().lexeme, "#abc");
}

TEST(Lexer, StreamsTokensAndRepeatsEndOfInput) {
  Lexer lexer("a 1");
  std::string seen;
  for (int i = 0; i < 5; ++i) {
    const Result<Token> token = lexer.next();
    ASSERT_TRUE(token.has_value());
    seen += display_text(*token) + " ";
    if (token->kind == TokenKind::Eof) {
      EXPECT_EQ(token->span, (Span{3, 3, 1, 4}));
    }
  }
  EXPECT_EQ(seen, "a 1 EOF EOF EOF ");
}

}  // namespace
}  // namespace ordel
