#include "lexer/lexer.h"

#include <charconv>
#include <cstring>

#include "text/unicode.h"
#include "text/utf8.h"

namespace ordel {

namespace {

// Identifiers longer than this many bytes are rejected.
constexpr std::size_t kMaxIdentifierBytes = 255;
// Bytes of an over-long identifier shown in its error message.
constexpr std::size_t kIdentifierPrefixBytes = 32;

constexpr bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }

bool starts_word(char32_t c) { return c == '_' || text::is_alphabetic(c); }
bool continues_word(char32_t c) { return c == '_' || text::is_alphanumeric(c); }

struct KeywordEntry {
  std::string_view text;
  TokenKind kind;
};

// Every word that is not an identifier: `true`, `false` and the keywords.
constexpr KeywordEntry kKeywords[] = {
    {"true", TokenKind::True},
    {"false", TokenKind::False},
    {"module", TokenKind::Module},
    {"fn", TokenKind::Fn},
    {"export", TokenKind::Export},
    {"import", TokenKind::Import},
    {"contract", TokenKind::Contract},
    {"tensor_op", TokenKind::TensorOp},
    {"intent", TokenKind::Intent},
    {"enum", TokenKind::Enum},
    {"let", TokenKind::Let},
    {"do", TokenKind::Do},
    {"query_conscience", TokenKind::QueryConscience},
    {"declare_anomaly", TokenKind::DeclareAnomaly},
    {"if", TokenKind::If},
    {"else", TokenKind::Else},
    {"match", TokenKind::Match},
    {"loop", TokenKind::Loop},
    {"return", TokenKind::Return},
    {"break", TokenKind::Break},
    {"continue", TokenKind::Continue},
    {"collapse", TokenKind::Collapse},
    {"resolve", TokenKind::Resolve},
    {"verify", TokenKind::Verify},
    {"scale", TokenKind::Scale},
    {"barrier", TokenKind::Barrier},
    {"claim_task", TokenKind::ClaimTask},
    {"self_mod", TokenKind::SelfMod},
    {"delta_proof", TokenKind::DeltaProof},
    {"takes", TokenKind::Takes},
    {"gives", TokenKind::Gives},
    {"pre", TokenKind::Pre},
    {"post", TokenKind::Post},
    {"bound", TokenKind::Bound},
    {"effect", TokenKind::Effect},
    {"conscience", TokenKind::Conscience},
    {"fallback", TokenKind::Fallback},
    {"rollback", TokenKind::Rollback},
    {"trace", TokenKind::Trace},
    {"ring", TokenKind::Ring},
};
static_assert(std::size(kKeywords) ==
              static_cast<std::size_t>(TokenKind::Ring) - static_cast<std::size_t>(TokenKind::True) + 1 - 1);

TokenKind word_kind(std::string_view word) noexcept {
  // Keywords are lower-case ASCII of 2 to 16 bytes; most identifiers are
  // rejected by these two tests alone.
  if (word.size() < 2 || word.size() > 16 || word[0] < 'b' || word[0] > 'v') {
    return word == "_" ? TokenKind::Underscore : TokenKind::Identifier;
  }
  for (const auto& entry : kKeywords) {
    if (entry.text.size() == word.size() && entry.text[0] == word[0] && entry.text == word) {
      return entry.kind;
    }
  }
  return TokenKind::Identifier;
}

struct AnnotationEntry {
  std::string_view word;
  TokenKind kind;
};

constexpr AnnotationEntry kAnnotations[] = {
    {"flow", TokenKind::AnnotFlow},         {"guard", TokenKind::AnnotGuard},
    {"shield", TokenKind::AnnotShield},     {"fortress", TokenKind::AnnotFortress},
    {"explicit", TokenKind::AnnotExplicit}, {"kernel", TokenKind::AnnotKernel},
};

// Digit runs around one dot always convert; values beyond the double range
// become infinity and those below its smallest step become zero.
double convert_float(std::string_view digits) {
  double value = 0;
  const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec == std::errc::result_out_of_range) {
    const auto integral = digits.substr(0, digits.find('.'));
    const bool large = integral.find_first_not_of('0') != std::string_view::npos;
    return large ? __builtin_huge_val() : 0.0;
  }
  return value;
}

}  // namespace

Lexer::Lexer(std::string_view source) noexcept
    : source_(source), valid_(text::is_valid_utf8(source)) {}

char32_t Lexer::peek(std::size_t ahead) const noexcept {
  std::size_t p = pos_;
  for (;; --ahead) {
    if (p >= source_.size()) {
      return U'\0';
    }
    const auto c = static_cast<unsigned char>(source_[p]);
    if (ahead == 0) {
      return c < 0x80 ? c : text::decode_at(source_, p).code_point;
    }
    p += c < 0x80 ? 1 : text::decode_at(source_, p).length;
  }
}

char32_t Lexer::advance() noexcept {
  const auto byte = static_cast<unsigned char>(source_[pos_]);
  char32_t c = byte;
  if (byte < 0x80) {
    ++pos_;
  } else {
    const auto decoded = text::decode_at(source_, pos_);
    c = decoded.code_point;
    pos_ += decoded.length;
  }
  ++index_;
  if (c == '\n') {
    ++line_;
    col_ = 1;
  } else {
    ++col_;
  }
  return c;
}

void Lexer::skip_whitespace_and_comments() noexcept {
  while (!at_end()) {
    const char c = source_[pos_];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      advance();
    } else if (c == '/' && pos_ + 1 < source_.size() && source_[pos_ + 1] == '/') {
      while (!at_end() && source_[pos_] != '\n') {
        advance();
      }
    } else {
      return;
    }
  }
}

std::unexpected<PolicyError> Lexer::error(std::string message) const {
  return fail(ErrorKind::UnexpectedChar, std::move(message),
              Span{token_span_.start, index_, line_, col_});
}

Result<Token> Lexer::finish(TokenKind kind) {
  Token token;
  token.kind = kind;
  token.span = token_span_;
  token.span.end = index_;
  token.lexeme = source_.substr(token_pos_, pos_ - token_pos_);
  return token;
}

Result<Token> Lexer::next() {
  if (!valid_) {
    return fail(ErrorKind::UnexpectedChar, "Source is not valid UTF-8", Span{0, 0, 1, 1});
  }
  skip_whitespace_and_comments();
  token_pos_ = pos_;
  token_span_ = Span{index_, index_, line_, col_};
  if (at_end()) {
    return finish(TokenKind::Eof);
  }
  const char32_t c = advance();
  const auto one_or_two = [&](char32_t second, TokenKind two, TokenKind one) {
    if (!at_end() && source_[pos_] == static_cast<char>(second)) {
      advance();
      return finish(two);
    }
    return finish(one);
  };
  const auto next_is = [&](char second) { return !at_end() && source_[pos_] == second; };
  switch (c) {
    case '!': return one_or_two('=', TokenKind::NotEq, TokenKind::Bang);
    case '<': return one_or_two('=', TokenKind::LtEq, TokenKind::Lt);
    case '+': return one_or_two('=', TokenKind::PlusAssign, TokenKind::Plus);
    case '=':
      if (next_is('>')) {
        advance();
        return finish(TokenKind::FatArrow);
      }
      return one_or_two('=', TokenKind::EqEq, TokenKind::Assign);
    case '>':
      if (next_is('>')) {
        advance();
        return finish(TokenKind::GtGt);
      }
      return one_or_two('=', TokenKind::GtEq, TokenKind::Gt);
    case '-':
      if (next_is('>')) {
        advance();
        return finish(TokenKind::Arrow);
      }
      return one_or_two('=', TokenKind::MinusAssign, TokenKind::Minus);
    case '&':
      if (next_is('&')) {
        advance();
        return finish(TokenKind::AndAnd);
      }
      return error("Expected '&&'");
    case '|':
      if (next_is('>')) {
        advance();
        return finish(TokenKind::Pipe);
      }
      if (next_is('|')) {
        advance();
        return finish(TokenKind::OrOr);
      }
      return error("Expected '|>' or '||'");
    case '*': return finish(TokenKind::Star);
    case '/': return finish(TokenKind::Slash);
    case '%': return finish(TokenKind::Percent);
    case '(': return finish(TokenKind::LParen);
    case ')': return finish(TokenKind::RParen);
    case '{': return finish(TokenKind::LBrace);
    case '}': return finish(TokenKind::RBrace);
    case '[': return finish(TokenKind::LBracket);
    case ']': return finish(TokenKind::RBracket);
    case ',': return finish(TokenKind::Comma);
    case ':': return finish(TokenKind::Colon);
    case ';': return finish(TokenKind::Semicolon);
    case '.': return finish(TokenKind::Dot);
    case '@': return finish(TokenKind::At);
    case '?': return finish(TokenKind::Question);
    case '"': return lex_string();
    case '#': return lex_annotation();
    default: break;
  }
  if (is_digit(c)) {
    return lex_number();
  }
  if (starts_word(c)) {
    return lex_word();
  }
  std::string message = "Unexpected character: '";
  text::append_utf8(message, c);
  message += '\'';
  return error(std::move(message));
}

// string -> '"' { char | '\' char } '"'
Result<Token> Lexer::lex_string() {
  while (!at_end()) {
    const char c = source_[pos_];
    // Bytes other than the quote, the backslash and the line feed need no
    // decoding beyond counting characters.
    if (c == '"') {
      advance();
      return finish(TokenKind::StringLiteral);
    }
    advance();
    if (c == '\\') {
      if (at_end()) {
        break;
      }
      advance();
    }
  }
  return error("Unterminated string");
}

// number -> digit+ [ '.' digit+ ]
Result<Token> Lexer::lex_number() {
  while (!at_end() && is_digit(static_cast<unsigned char>(source_[pos_]))) {
    advance();
  }
  const bool is_float = !at_end() && source_[pos_] == '.' && pos_ + 1 < source_.size() &&
                        is_digit(static_cast<unsigned char>(source_[pos_ + 1]));
  if (is_float) {
    advance();
    while (!at_end() && is_digit(static_cast<unsigned char>(source_[pos_]))) {
      advance();
    }
  }
  const std::string_view digits = source_.substr(token_pos_, pos_ - token_pos_);
  if (is_float) {
    auto token = finish(TokenKind::FloatLiteral);
    token->float_value = convert_float(digits);
    return token;
  }
  std::int64_t value = 0;
  const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc{}) {
    return error("Invalid integer literal");
  }
  auto token = finish(TokenKind::IntLiteral);
  token->int_value = value;
  return token;
}

// word -> (letter | '_') (letter | digit | '_')*
Result<Token> Lexer::lex_word() {
  while (!at_end()) {
    const auto byte = static_cast<unsigned char>(source_[pos_]);
    if (byte < 0x80) {
      const bool word_byte = byte == '_' || is_digit(byte) || ((byte | 0x20) >= 'a' && (byte | 0x20) <= 'z');
      if (!word_byte) {
        break;
      }
      ++pos_;
      ++index_;
      ++col_;
    } else if (continues_word(peek())) {
      advance();
    } else {
      break;
    }
  }
  const std::string_view word = source_.substr(token_pos_, pos_ - token_pos_);
  if (word.size() > kMaxIdentifierBytes) {
    std::string message = "Identifier '";
    message += text::prefix_at_boundary(word, kIdentifierPrefixBytes);
    message += "...' exceeds maximum length of 255 characters";
    return error(std::move(message));
  }
  return finish(word_kind(word));
}

// annotation -> '#' (letter | digit)*
Result<Token> Lexer::lex_annotation() {
  const std::size_t word_start = pos_;
  while (!at_end() && text::is_alphanumeric(peek())) {
    advance();
  }
  const std::string_view word = source_.substr(word_start, pos_ - word_start);
  for (const auto& entry : kAnnotations) {
    if (entry.word == word) {
      return finish(entry.kind);
    }
  }
  return finish(TokenKind::Hash);
}

Result<std::vector<Token>> tokenize(std::string_view source) {
  Lexer lexer(source);
  std::vector<Token> tokens;
  // Policies average several bytes per token; the vector grows past this guess.
  tokens.reserve(source.size() / 8 + 1);
  for (;;) {
    ORDEL_ASSIGN_OR_RETURN(Token token, lexer.next());
    tokens.push_back(token);
    if (token.kind == TokenKind::Eof) {
      return tokens;
    }
  }
}

}  // namespace ordel
