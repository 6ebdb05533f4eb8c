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

// ASCII bytes that continue a word, and ASCII digits.
constexpr std::array<bool, 256> kAsciiWordBytes = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 128; ++c) {
    table[c] = c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  }
  return table;
}();
constexpr std::array<bool, 256> kAsciiDigits = [] {
  std::array<bool, 256> table{};
  for (int c = '0'; c <= '9'; ++c) {
    table[c] = true;
  }
  return table;
}();

bool starts_word(char32_t c) { return c == '_' || text::is_alphabetic(c); }
bool continues_word(char32_t c) { return c == '_' || text::is_alphanumeric(c); }

struct KeywordEntry {
  std::string_view text;
  TokenKind kind;
};

// Every word that is not an identifier: `true`, `false` and the keywords,
// grouped by first letter for the lookup below.
constexpr KeywordEntry kKeywords[] = {
    {"break", TokenKind::Break},
    {"barrier", TokenKind::Barrier},
    {"bound", TokenKind::Bound},
    {"contract", TokenKind::Contract},
    {"continue", TokenKind::Continue},
    {"collapse", TokenKind::Collapse},
    {"claim_task", TokenKind::ClaimTask},
    {"conscience", TokenKind::Conscience},
    {"do", TokenKind::Do},
    {"declare_anomaly", TokenKind::DeclareAnomaly},
    {"delta_proof", TokenKind::DeltaProof},
    {"export", TokenKind::Export},
    {"enum", TokenKind::Enum},
    {"else", TokenKind::Else},
    {"effect", TokenKind::Effect},
    {"false", TokenKind::False},
    {"fn", TokenKind::Fn},
    {"fallback", TokenKind::Fallback},
    {"gives", TokenKind::Gives},
    {"import", TokenKind::Import},
    {"intent", TokenKind::Intent},
    {"if", TokenKind::If},
    {"let", TokenKind::Let},
    {"loop", TokenKind::Loop},
    {"module", TokenKind::Module},
    {"match", TokenKind::Match},
    {"pre", TokenKind::Pre},
    {"post", TokenKind::Post},
    {"query_conscience", TokenKind::QueryConscience},
    {"return", TokenKind::Return},
    {"resolve", TokenKind::Resolve},
    {"rollback", TokenKind::Rollback},
    {"ring", TokenKind::Ring},
    {"scale", TokenKind::Scale},
    {"self_mod", TokenKind::SelfMod},
    {"true", TokenKind::True},
    {"tensor_op", TokenKind::TensorOp},
    {"takes", TokenKind::Takes},
    {"trace", TokenKind::Trace},
    {"verify", TokenKind::Verify},
};
static_assert(std::size(kKeywords) ==
              static_cast<std::size_t>(TokenKind::Ring) - static_cast<std::size_t>(TokenKind::True) + 1 - 1);

// Keyword candidates grouped by first letter: kKeywordsByLetter[c - 'a'] is
// the range of kKeywords entries starting with c.
struct KeywordRange {
  std::uint8_t begin = 0;
  std::uint8_t end = 0;
};
constexpr std::array<KeywordRange, 26> kKeywordsByLetter = [] {
  std::array<KeywordRange, 26> ranges{};
  for (std::size_t i = 0; i < std::size(kKeywords); ++i) {
    auto& range = ranges[static_cast<std::size_t>(kKeywords[i].text[0] - 'a')];
    if (range.begin == range.end) {
      range.begin = static_cast<std::uint8_t>(i);
    }
    range.end = static_cast<std::uint8_t>(i + 1);
  }
  return ranges;
}();

constexpr bool keywords_grouped_by_letter() {
  for (std::size_t i = 0; i < std::size(kKeywords); ++i) {
    const auto& range = kKeywordsByLetter[static_cast<std::size_t>(kKeywords[i].text[0] - 'a')];
    if (i < range.begin || i >= range.end) return false;
  }
  for (const auto& range : kKeywordsByLetter) {
    for (std::size_t i = range.begin; i < range.end; ++i) {
      if (kKeywords[i].text[0] != kKeywords[range.begin].text[0]) return false;
    }
  }
  return true;
}
static_assert(keywords_grouped_by_letter(), "keep kKeywords sorted by first letter");

TokenKind word_kind(std::string_view word) noexcept {
  if (word.size() < 2 || word[0] < 'a' || word[0] > 'z') {
    return word == "_" ? TokenKind::Underscore : TokenKind::Identifier;
  }
  const auto range = kKeywordsByLetter[static_cast<std::size_t>(word[0] - 'a')];
  for (std::size_t i = range.begin; i < range.end; ++i) {
    if (kKeywords[i].text == word) {
      return kKeywords[i].kind;
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

// The hot loops below work on local copies of the position counters and
// advance them by whole ASCII runs.
void Lexer::begin_token() noexcept {
  const char* const s = source_.data();
  const std::size_t n = source_.size();
  std::size_t pos = pos_;
  std::uint64_t index = index_;
  std::uint64_t line = line_;
  std::uint64_t col = col_;
  while (pos < n) {
    const char c = s[pos];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++pos;
      ++index;
      ++col;
    } else if (c == '\n') {
      ++pos;
      ++index;
      ++line;
      col = 1;
    } else if (c == '/' && pos + 1 < n && s[pos + 1] == '/') {
      const auto* newline = static_cast<const char*>(std::memchr(s + pos, '\n', n - pos));
      const std::size_t end = newline ? static_cast<std::size_t>(newline - s) : n;
      const std::size_t chars = text::count_chars(source_.substr(pos, end - pos));
      pos = end;
      index += chars;
      col += chars;
    } else {
      break;
    }
  }
  // The token starts here. Both copies are stored from registers: copying
  // the members just written would load them back as 16-byte pairs, which
  // stalls on store forwarding once per token.
  pos_ = pos;
  index_ = index;
  line_ = line;
  col_ = col;
  token_pos_ = pos;
  token_index_ = index;
  token_line_ = line;
  token_col_ = col;
}

void Lexer::skip_ascii_run(const std::array<bool, 256>& in_run) noexcept {
  const char* const s = source_.data();
  const std::size_t n = source_.size();
  std::size_t pos = pos_;
  while (pos < n && in_run[static_cast<unsigned char>(s[pos])]) {
    ++pos;
  }
  const std::size_t run = pos - pos_;
  pos_ = pos;
  index_ += run;
  col_ += run;
}

bool Lexer::error(std::string message) {
  error_ = PolicyError{ErrorKind::UnexpectedChar, std::move(message),
                       Span{token_index_, index_, line_, col_}};
  return false;
}

bool Lexer::finish(TokenKind kind) {
  // Written field by field into the caller's token: assembling a Token
  // elsewhere and copying it costs a store-forwarding stall per token.
  Token& token = *out_;
  token.kind = kind;
  token.span.start = token_index_;
  token.span.end = index_;
  token.span.line = token_line_;
  token.span.col = token_col_;
  token.lexeme = std::string_view(source_.data() + token_pos_, pos_ - token_pos_);
  token.int_value = 0;
  return true;
}

Result<Token> Lexer::next() {
  Token token;
  if (!next_into(token)) {
    return std::unexpected(take_error());
  }
  return token;
}

bool Lexer::next_into(Token& out) {
  out_ = &out;
  if (!valid_) {
    error_ = PolicyError{ErrorKind::UnexpectedChar, "Source is not valid UTF-8", Span{0, 0, 1, 1}};
    return false;
  }
  begin_token();
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
bool Lexer::lex_string() {
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
bool Lexer::lex_number() {
  skip_ascii_run(kAsciiDigits);
  const bool is_float = !at_end() && source_[pos_] == '.' && pos_ + 1 < source_.size() &&
                        is_digit(static_cast<unsigned char>(source_[pos_ + 1]));
  if (is_float) {
    advance();
    skip_ascii_run(kAsciiDigits);
  }
  const std::string_view digits = source_.substr(token_pos_, pos_ - token_pos_);
  if (is_float) {
    finish(TokenKind::FloatLiteral);
    out_->float_value = convert_float(digits);
    return true;
  }
  std::int64_t value = 0;
  const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc{}) {
    return error("Invalid integer literal");
  }
  finish(TokenKind::IntLiteral);
  out_->int_value = value;
  return true;
}

// word -> (letter | '_') (letter | digit | '_')*
bool Lexer::lex_word() {
  for (;;) {
    skip_ascii_run(kAsciiWordBytes);
    // A non-ASCII character may continue the word.
    if (at_end() || static_cast<unsigned char>(source_[pos_]) < 0x80 || !continues_word(peek())) {
      break;
    }
    advance();
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
bool Lexer::lex_annotation() {
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
