#include "lexer/lexer.h"

#include <charconv>
#include <cstring>
#include <utility>

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
// Bytes inside a string literal that need no attention beyond moving on:
// ASCII other than the quote, the backslash and the line feed.
constexpr std::array<bool, 256> kPlainStringBytes = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 128; ++c) {
    table[c] = c != '"' && c != '\\' && c != '\n';
  }
  return table;
}();

bool starts_word(char32_t c) { return c == '_' || text::is_alphabetic(c); }
bool continues_word(char32_t c) { return c == '_' || text::is_alphanumeric(c); }

// How the first byte of a token decides what follows.
enum class Lead : std::uint8_t {
  Other,     // '#', non-ASCII, or a byte that starts no token
  Single,    // a one-character token, of kind LeadTable::single[byte]
  Operator,  // a character that may start a two-character operator
  Word,      // ASCII letter or '_'
  Digit,
  Quote,
};

struct LeadTable {
  std::array<Lead, 256> lead{};
  std::array<TokenKind, 256> single{};
};

constexpr LeadTable kLeads = [] {
  LeadTable t{};
  const auto single = [&](char c, TokenKind kind) {
    t.lead[static_cast<unsigned char>(c)] = Lead::Single;
    t.single[static_cast<unsigned char>(c)] = kind;
  };
  single('*', TokenKind::Star);
  single('/', TokenKind::Slash);
  single('%', TokenKind::Percent);
  single('(', TokenKind::LParen);
  single(')', TokenKind::RParen);
  single('{', TokenKind::LBrace);
  single('}', TokenKind::RBrace);
  single('[', TokenKind::LBracket);
  single(']', TokenKind::RBracket);
  single(',', TokenKind::Comma);
  single(':', TokenKind::Colon);
  single(';', TokenKind::Semicolon);
  single('.', TokenKind::Dot);
  single('@', TokenKind::At);
  single('?', TokenKind::Question);
  for (const char c : {'!', '<', '>', '+', '-', '=', '&', '|'}) {
    t.lead[static_cast<unsigned char>(c)] = Lead::Operator;
  }
  for (int c = 0; c < 128; ++c) {
    if (c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      t.lead[c] = Lead::Word;
    } else if (c >= '0' && c <= '9') {
      t.lead[c] = Lead::Digit;
    }
  }
  t.lead['"'] = Lead::Quote;
  return t;
}();

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

constexpr std::size_t kShortestKeyword = 2;
constexpr std::size_t kLongestKeyword = 16;

// Keywords are found through a perfect hash of a word's first, middle and
// last bytes and its length: one table probe and one comparison per word.
constexpr std::size_t kKeywordSlots = 128;

constexpr std::size_t keyword_hash(std::string_view word) noexcept {
  const auto byte = [&](std::size_t i) {
    return static_cast<std::size_t>(static_cast<unsigned char>(word[i]));
  };
  return (byte(0) * 2 + byte(word.size() - 1) * 25 + byte(word.size() / 2) * 25 + word.size()) %
         kKeywordSlots;
}

struct KeywordSlot {
  std::string_view text;  // empty for an unused slot
  TokenKind kind = TokenKind::Identifier;
};

constexpr std::array<KeywordSlot, kKeywordSlots> kKeywordSlotTable = [] {
  std::array<KeywordSlot, kKeywordSlots> slots{};
  for (const KeywordEntry& entry : kKeywords) {
    slots[keyword_hash(entry.text)] = KeywordSlot{entry.text, entry.kind};
  }
  return slots;
}();

constexpr bool keyword_hash_is_perfect() {
  for (const KeywordEntry& entry : kKeywords) {
    if (entry.text.size() < kShortestKeyword || entry.text.size() > kLongestKeyword ||
        kKeywordSlotTable[keyword_hash(entry.text)].text != entry.text) {
      return false;
    }
  }
  return true;
}
static_assert(keyword_hash_is_perfect(), "keywords collide in keyword_hash: change its factors");

TokenKind word_kind(std::string_view word) noexcept {
  // Every keyword starts with a lower-case ASCII letter.
  if (word.size() < kShortestKeyword || word.size() > kLongestKeyword || word[0] < 'a' ||
      word[0] > 'z') {
    return word.size() == 1 && word[0] == '_' ? TokenKind::Underscore : TokenKind::Identifier;
  }
  const KeywordSlot& slot = kKeywordSlotTable[keyword_hash(word)];
  return slot.text == word ? slot.kind : TokenKind::Identifier;
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

// Exact powers of ten: every one up to 1e22 is a double without rounding.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
// Literals with at most this many digits take the exact path in convert_float.
constexpr std::size_t kExactFloatDigits = 15;

// Digit runs around one dot always convert; values beyond the double range
// become infinity and those below its smallest step become zero.
double convert_float(std::string_view digits) {
  if (digits.size() <= kExactFloatDigits + 1) {
    // Up to 15 digits the digits form an integer below 2^53 and the scale a
    // power of ten below 1e22, both exact as doubles, so one correctly
    // rounded division gives the correctly rounded value.
    std::uint64_t mantissa = 0;
    std::size_t fraction_digits = 0;
    bool in_fraction = false;
    for (const char c : digits) {
      if (c == '.') {
        in_fraction = true;
        continue;
      }
      mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
      fraction_digits += in_fraction;
    }
    return static_cast<double>(mantissa) / kExactPowersOfTen[fraction_digits];
  }
  double value = 0;
  const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec == std::errc::result_out_of_range) {
    const auto integral = digits.substr(0, digits.find('.'));
    const bool large = integral.find_first_not_of('0') != std::string_view::npos;
    return large ? __builtin_huge_val() : 0.0;
  }
  return value;
}

// Integers of up to 18 digits cannot overflow 64 bits.
constexpr std::size_t kSafeIntegerDigits = 18;

}  // namespace

Lexer::Lexer(std::string_view source) noexcept
    : source_(source), valid_(text::is_valid_utf8(source)) {}

char32_t Lexer::peek() const noexcept {
  if (at_end()) {
    return U'\0';
  }
  const auto c = static_cast<unsigned char>(source_[pos_]);
  return c < 0x80 ? c : text::decode_at(source_, pos_).code_point;
}

char32_t Lexer::advance() noexcept {
  const auto byte = static_cast<unsigned char>(source_[pos_]);
  if (byte < 0x80) {
    ++pos_;
    if (byte == '\n') {
      ++line_;
      line_start_ = index();
    }
    return byte;
  }
  const auto decoded = text::decode_at(source_, pos_);
  pos_ += decoded.length;
  continuation_bytes_ += decoded.length - 1u;
  return decoded.code_point;
}

// Whitespace is ASCII only (space, tab, carriage return, line feed); a
// comment runs from `//` to the end of its line.
inline void Lexer::begin_token() noexcept {
  const char* const s = source_.data();
  const std::size_t n = source_.size();
  std::size_t pos = pos_;
  for (; pos < n; ++pos) {
    const auto c = static_cast<unsigned char>(s[pos]);
    if (c == ' ') {
      continue;
    }
    if (c > ' ' && c != '/') {
      break;
    }
    if (c == '\t' || c == '\r') {
      continue;
    }
    if (c == '\n') {
      ++line_;
      line_start_ = pos + 1 - continuation_bytes_;
      continue;
    }
    if (c == '/' && pos + 1 < n && s[pos + 1] == '/') {
      const auto* newline = static_cast<const char*>(std::memchr(s + pos, '\n', n - pos));
      const std::size_t end = newline ? static_cast<std::size_t>(newline - s) : n;
      const std::string_view comment = source_.substr(pos, end - pos);
      continuation_bytes_ += comment.size() - text::count_chars(comment);
      // The loop's increment steps onto the line feed, which must be
      // counted: stop just before it.
      pos = end - 1;
      continue;
    }
    break;
  }
  pos_ = pos;
  token_pos_ = pos;
  // The token's start goes straight into the caller's token; finish() adds
  // the rest.
  Span& span = out_->span;
  span.start = pos - continuation_bytes_;
  span.line = line_;
  span.col = span.start - line_start_ + 1;
}

inline void Lexer::skip_ascii_run(const std::array<bool, 256>& in_run) noexcept {
  const char* const s = source_.data();
  const std::size_t n = source_.size();
  std::size_t pos = pos_;
  while (pos < n && in_run[static_cast<unsigned char>(s[pos])]) {
    ++pos;
  }
  pos_ = pos;
}

bool Lexer::error(std::string message) {
  error_ = PolicyError{ErrorKind::UnexpectedChar, std::move(message),
                       Span{out_->span.start, index(), line_, col()}};
  return false;
}

inline bool Lexer::finish(TokenKind kind) {
  // Written field by field into the caller's token: assembling a Token
  // elsewhere and copying it costs a store-forwarding stall per token.
  Token& token = *out_;
  token.kind = kind;
  token.span.end = index();
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
  if (!valid_) [[unlikely]] {
    error_ = PolicyError{ErrorKind::UnexpectedChar, "Source is not valid UTF-8", Span{0, 0, 1, 1}};
    return false;
  }
  begin_token();
  if (at_end()) {
    return finish(TokenKind::Eof);
  }
  const auto lead = static_cast<unsigned char>(source_[pos_]);
  switch (kLeads.lead[lead]) {
    case Lead::Single:
      ++pos_;
      return finish(kLeads.single[lead]);
    case Lead::Word:
      ++pos_;
      return lex_word();
    case Lead::Digit:
      return lex_number();
    case Lead::Quote:
      return lex_string();
    case Lead::Operator:
      return lex_operator(static_cast<char>(lead));
    case Lead::Other:
      break;
  }
  return lex_other();
}

// The characters that may start a two-character operator.
bool Lexer::lex_operator(char lead) {
  ++pos_;
  const char second = at_end() ? '\0' : source_[pos_];
  const auto two = [&](TokenKind kind) {
    ++pos_;
    return finish(kind);
  };
  switch (lead) {
    case '!': return second == '=' ? two(TokenKind::NotEq) : finish(TokenKind::Bang);
    case '<': return second == '=' ? two(TokenKind::LtEq) : finish(TokenKind::Lt);
    case '+': return second == '=' ? two(TokenKind::PlusAssign) : finish(TokenKind::Plus);
    case '=':
      return second == '>'   ? two(TokenKind::FatArrow)
             : second == '=' ? two(TokenKind::EqEq)
                             : finish(TokenKind::Assign);
    case '>':
      return second == '>'   ? two(TokenKind::GtGt)
             : second == '=' ? two(TokenKind::GtEq)
                             : finish(TokenKind::Gt);
    case '-':
      return second == '>'   ? two(TokenKind::Arrow)
             : second == '=' ? two(TokenKind::MinusAssign)
                             : finish(TokenKind::Minus);
    case '&': return second == '&' ? two(TokenKind::AndAnd) : error("Expected '&&'");
    case '|':
      return second == '>'   ? two(TokenKind::Pipe)
             : second == '|' ? two(TokenKind::OrOr)
                             : error("Expected '|>' or '||'");
    default: std::unreachable();
  }
}

// A '#', a non-ASCII character, or a character that starts no token.
[[gnu::noinline]] bool Lexer::lex_other() {
  const char32_t c = advance();
  if (c == '#') {
    return lex_annotation();
  }
  if (c >= 0x80 && starts_word(c)) {
    return lex_word();
  }
  std::string message = "Unexpected character: '";
  text::append_utf8(message, c);
  message += '\'';
  return error(std::move(message));
}

// string -> '"' { char | '\' char } '"'
bool Lexer::lex_string() {
  const char* const s = source_.data();
  const std::size_t n = source_.size();
  std::size_t pos = pos_ + 1;
  for (;;) {
    while (pos < n && kPlainStringBytes[static_cast<unsigned char>(s[pos])]) {
      ++pos;
    }
    if (pos == n) {
      break;
    }
    const char c = s[pos++];
    if (c == '"') {
      pos_ = pos;
      return finish(TokenKind::StringLiteral);
    }
    if (c == '\\') {
      if (pos == n) {
        break;
      }
      // The escaped character never ends the literal. A multi-byte one
      // continues with its continuation bytes, counted below.
      const char escaped = s[pos++];
      if (escaped == '\n') {
        ++line_;
        line_start_ = pos - continuation_bytes_;
      }
    } else if (c == '\n') {
      ++line_;
      line_start_ = pos - continuation_bytes_;
    } else if ((static_cast<unsigned char>(c) & 0xC0) == 0x80) {
      ++continuation_bytes_;
    }
  }
  pos_ = n;
  return error("Unterminated string");
}

// number -> digit+ [ '.' digit+ ]
bool Lexer::lex_number() {
  skip_ascii_run(kAsciiDigits);
  const bool is_float = !at_end() && source_[pos_] == '.' && pos_ + 1 < source_.size() &&
                        is_digit(static_cast<unsigned char>(source_[pos_ + 1]));
  if (is_float) {
    ++pos_;
    skip_ascii_run(kAsciiDigits);
  }
  const std::string_view digits(source_.data() + token_pos_, pos_ - token_pos_);
  if (is_float) {
    finish(TokenKind::FloatLiteral);
    out_->float_value = convert_float(digits);
    return true;
  }
  std::int64_t value = 0;
  if (digits.size() <= kSafeIntegerDigits) {
    for (const char c : digits) {
      value = value * 10 + (c - '0');
    }
  } else {
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc{}) {
      return error("Invalid integer literal");
    }
  }
  finish(TokenKind::IntLiteral);
  out_->int_value = value;
  return true;
}

// word -> (letter | '_') (letter | digit | '_')*   (after its first character)
[[gnu::always_inline]] inline bool Lexer::lex_word() {
  for (;;) {
    skip_ascii_run(kAsciiWordBytes);
    // A non-ASCII character may continue the word.
    if (at_end() || static_cast<unsigned char>(source_[pos_]) < 0x80 || !continues_word(peek()))
        [[likely]] {
      break;
    }
    advance();
  }
  const std::string_view word(source_.data() + token_pos_, pos_ - token_pos_);
  if (word.size() > kMaxIdentifierBytes) [[unlikely]] {
    std::string message = "Identifier '";
    message += text::prefix_at_boundary(word, kIdentifierPrefixBytes);
    message += "...' exceeds maximum length of 255 characters";
    return error(std::move(message));
  }
  return finish(word_kind(word));
}

// annotation -> '#' (letter | digit)*   (after the '#')
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
  // Policies average four or more bytes per token; the vector grows past
  // this guess if needed.
  tokens.reserve(source.size() / 4 + 1);
  for (;;) {
    ORDEL_ASSIGN_OR_RETURN(Token token, lexer.next());
    tokens.push_back(token);
    if (token.kind == TokenKind::Eof) {
      return tokens;
    }
  }
}

}  // namespace ordel
