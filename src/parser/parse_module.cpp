// The parser's entry points and helpers, the module, attributes and the six
// declarations.
#include <charconv>
#include <string>
#include <utility>

#include "parser/parser.h"
#include "parser/parser_internal.h"

namespace ordel {

namespace parser_internal {

namespace {

// "Expected {what}, found '{found}'", with `what` in quotes when it is a token.
std::string expected_found(std::string_view what, bool quoted, const Token& found) {
  std::string message = "Expected ";
  if (quoted) {
    message += '\'';
  }
  message += what;
  if (quoted) {
    message += '\'';
  }
  message += ", found '";
  message += display_text(found);
  message += '\'';
  return message;
}

}  // namespace

// ---- TokenSource ------------------------------------------------------------

void TokenSource::next_listed(Token& out) {
  if (lexer_ != nullptr) {
    out = Token{};
    return;
  }
  out = index_ < tokens_.size() ? tokens_[index_++] : Token{};
}

void TokenSource::keep_lexical_error(Token& out) {
  lexical_error_ = lexer_->take_error();
  lexer_done_ = true;
  out = Token{};
}

std::optional<PolicyError> TokenSource::finish() {
  if (lexer_ != nullptr) {
    Token scratch;
    while (!lexer_done_) {
      next_into(scratch);
    }
  }
  return std::move(lexical_error_);
}

// ---- helpers ----------------------------------------------------------------

std::unexpected<PolicyError> Parser::fail_expected(std::string_view what) const {
  return fail(ErrorKind::UnexpectedToken, expected_found(what, false, current_), current_.span);
}

std::unexpected<PolicyError> Parser::fail_missing(std::string_view expected) const {
  return fail(ErrorKind::ExpectedToken, expected_found(expected, true, current_), current_.span);
}

std::unexpected<PolicyError> Parser::fail_missing_word(std::string_view what) const {
  return fail(ErrorKind::ExpectedToken, expected_found(what, false, current_), current_.span);
}

std::unexpected<PolicyError> Parser::fail_depth(const Span& at) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, kMaxNestingDepth);
  std::string message = "Maximum nesting depth of ";
  message.append(digits, end);
  message += " exceeded";
  return fail(ErrorKind::MaxDepthExceeded, std::move(message), at);
}

// ---- module -----------------------------------------------------------------

// module -> attributes "module" identifier "{" { attributes declaration } "}"
Result<Module> Parser::parse_module() {
  Module module;
  module.span = current_.span;
  ORDEL_ASSIGN_OR_RETURN(module.attributes, parse_attributes());
  ORDEL_TRY(expect(TokenKind::Module));
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  module.name.assign(name.lexeme);
  ORDEL_TRY(expect(TokenKind::LBrace));
  while (!peek(TokenKind::RBrace) && !at_end()) {
    ORDEL_ASSIGN_OR_RETURN(std::vector<Attribute> attributes, parse_attributes());
    // Declarations are large; each is parsed where it stays.
    ORDEL_TRY(parse_declaration(module.declarations.emplace_back(), std::move(attributes)));
  }
  // Whatever follows the closing brace is not examined.
  ORDEL_TRY(expect(TokenKind::RBrace));
  return module;
}

// attributes -> { "[" identifier [ "(" { token [ ":" token ] [ "," ] } ")" ] "]" }
Result<std::vector<Attribute>> Parser::parse_attributes() {
  std::vector<Attribute> attributes;
  while (peek(TokenKind::LBracket)) {
    Attribute& attribute = attributes.emplace_back();
    attribute.span = current_.span;
    advance();
    ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
    attribute.name.assign(name.lexeme);
    if (peek(TokenKind::LParen)) {
      advance();
      // Keys and values are single tokens of any kind, kept as written.
      while (!peek(TokenKind::RParen) && !at_end()) {
        const std::string_view key = current_.lexeme;
        advance();
        if (peek(TokenKind::Colon)) {
          advance();
          const std::string_view value = current_.lexeme;
          advance();
          attribute.args.push_back(
              AttributeArg{AttributeArg::Named{std::string(key), std::string(value)}});
        } else {
          attribute.args.push_back(AttributeArg{AttributeArg::Positional{std::string(key)}});
        }
        if (peek(TokenKind::Comma)) {
          advance();
        }
      }
      ORDEL_TRY(expect(TokenKind::RParen));
    }
    ORDEL_TRY(expect(TokenKind::RBracket));
  }
  return attributes;
}

// declaration -> function | "export" function | import | contract | tensor_op | intent | enum
Result<void> Parser::parse_declaration(Declaration& out, std::vector<Attribute> attributes) {
  switch (current_.kind) {
    case TokenKind::Fn: {
      auto& function = out.node.emplace<FunctionDecl>();
      function.attributes = std::move(attributes);
      return parse_function(function);
    }
    case TokenKind::Export: {
      advance();
      if (!peek(TokenKind::Fn)) {
        return fail_missing(token_kind_text(TokenKind::Fn));
      }
      auto& function = out.node.emplace<FunctionDecl>();
      function.attributes = std::move(attributes);
      function.exported = true;
      return parse_function(function);
    }
    case TokenKind::Import:
      return parse_import(out.node.emplace<ImportDecl>());
    case TokenKind::Contract:
      return parse_contract(out.node.emplace<ContractDecl>());
    case TokenKind::TensorOp:
      return parse_tensor_op(out.node.emplace<TensorOpDecl>());
    case TokenKind::Intent: {
      auto& intent = out.node.emplace<IntentDecl>();
      intent.attributes = std::move(attributes);
      return parse_intent(intent);
    }
    case TokenKind::Enum:
      return parse_enum(out.node.emplace<EnumDecl>());
    default:
      return fail_expected("declaration (fn, contract, intent, enum, import)");
  }
}

// import -> "import" string ";"
Result<void> Parser::parse_import(ImportDecl& out) {
  out.span = current_.span;
  advance();
  if (!peek(TokenKind::StringLiteral)) {
    return fail_missing_word("string literal");
  }
  out.path = string_literal_value(current_);
  advance();
  ORDEL_TRY(expect(TokenKind::Semicolon));
  return {};
}

// function -> "fn" identifier "(" param_list ")" [ "->" type ] block
Result<void> Parser::parse_function(FunctionDecl& out) {
  out.span = current_.span;
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  out.name.assign(name.lexeme);
  ORDEL_TRY(expect(TokenKind::LParen));
  ORDEL_TRY(parse_param_list(out.params, TokenKind::RParen));
  ORDEL_TRY(expect(TokenKind::RParen));
  if (peek(TokenKind::Arrow)) {
    advance();
    ORDEL_TRY(parse_type(out.return_type.emplace()));
  }
  return parse_block(out.body);
}

// composition -> identifier { separator identifier } ";"
Result<void> Parser::parse_composition(TokenKind separator, std::vector<std::string>& out) {
  const std::size_t mark = names_.mark();
  for (;;) {
    ORDEL_ASSIGN_OR_RETURN(const Word part, identifier());
    names_.push(std::string(part.lexeme));
    if (!peek(separator)) {
      break;
    }
    advance();
  }
  ORDEL_TRY(expect(TokenKind::Semicolon));
  names_.move_since(mark, out);
  return {};
}

// contract -> "contract" identifier ( "=" identifier { "+" identifier } ";"
//                                   | "{" { invariant_block | contract_field } "}" )
Result<void> Parser::parse_contract(ContractDecl& out) {
  out.span = current_.span;
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  out.name.assign(name.lexeme);
  if (peek(TokenKind::Assign)) {
    advance();
    return parse_composition(TokenKind::Plus, out.composition.emplace());
  }
  ORDEL_TRY(expect(TokenKind::LBrace));
  const std::size_t fields_mark = contract_fields_.mark();
  while (!peek(TokenKind::RBrace) && !at_end()) {
    // invariant_block -> "invariant" "{" { expr [ "," ] } "}"
    if (peek(TokenKind::Identifier) && current_.lexeme == "invariant") {
      advance();
      ORDEL_TRY(expect(TokenKind::LBrace));
      const std::size_t mark = exprs_.mark();
      Expr invariant;
      while (!peek(TokenKind::RBrace) && !at_end()) {
        ORDEL_TRY(parse_expression(invariant));
        exprs_.push(std::move(invariant));
        if (peek(TokenKind::Comma)) {
          advance();
        }
      }
      ORDEL_TRY(expect(TokenKind::RBrace));
      // A later invariant block replaces an earlier one.
      std::vector<Expr>& invariants = out.invariants.emplace();
      exprs_.move_since(mark, invariants);
      continue;
    }
    ContractField field;
    ORDEL_TRY(parse_contract_field(field));
    contract_fields_.push(std::move(field));
  }
  ORDEL_TRY(expect(TokenKind::RBrace));
  contract_fields_.move_since(fields_mark, out.fields);
  return {};
}

// contract_field -> "@" integer ":" identifier ":" type [ "[" identifier ["=" identifier] "]" ] ","
Result<void> Parser::parse_contract_field(ContractField& out) {
  out.span = current_.span;
  ORDEL_TRY(expect(TokenKind::At));
  if (!peek(TokenKind::IntLiteral)) {
    return fail_expected("field index number");
  }
  // Indexes beyond 32 bits keep their low 32 bits.
  out.index = static_cast<std::uint32_t>(static_cast<std::uint64_t>(current_.int_value));
  advance();
  ORDEL_TRY(expect(TokenKind::Colon));
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  out.name.assign(name.lexeme);
  ORDEL_TRY(expect(TokenKind::Colon));
  ORDEL_TRY(parse_type(out.ty));
  if (peek(TokenKind::LBracket)) {
    advance();
    // Only `conflict = name` means something; any other single word is ignored.
    ORDEL_ASSIGN_OR_RETURN(const Word word, identifier());
    if (word.lexeme == "conflict") {
      ORDEL_TRY(expect(TokenKind::Assign));
      ORDEL_ASSIGN_OR_RETURN(const Word conflict, identifier());
      out.conflict.emplace(conflict.lexeme);
    }
    ORDEL_TRY(expect(TokenKind::RBracket));
  }
  ORDEL_TRY(expect(TokenKind::Comma));
  return {};
}

// tensor_op -> "tensor_op" identifier "{" { ("takes" | "gives") ":" param_list ";"
//                                           | identifier ":" { token } ";" } "}"
Result<void> Parser::parse_tensor_op(TensorOpDecl& out) {
  out.span = current_.span;
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  out.name.assign(name.lexeme);
  ORDEL_TRY(expect(TokenKind::LBrace));
  while (!peek(TokenKind::RBrace) && !at_end()) {
    if (peek(TokenKind::Takes) || peek(TokenKind::Gives)) {
      std::vector<Param>& target = peek(TokenKind::Takes) ? out.takes : out.gives;
      advance();
      ORDEL_TRY(expect(TokenKind::Colon));
      // A later list replaces an earlier one.
      target.clear();
      ORDEL_TRY(parse_param_list(target, TokenKind::Semicolon));
      ORDEL_TRY(expect(TokenKind::Semicolon));
    } else {
      ORDEL_TRY(skip_unknown_clause());
    }
  }
  ORDEL_TRY(expect(TokenKind::RBrace));
  return {};
}

// intent -> "intent" identifier ("=" identifier {">>" identifier} ";" | "{" {intent_clause} "}")
Result<void> Parser::parse_intent(IntentDecl& out) {
  out.span = current_.span;
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  out.name.assign(name.lexeme);
  if (peek(TokenKind::Assign)) {
    advance();
    return parse_composition(TokenKind::GtGt, out.composition.emplace());
  }
  ORDEL_TRY(expect(TokenKind::LBrace));
  while (!peek(TokenKind::RBrace) && !at_end()) {
    ORDEL_TRY(parse_intent_clause(out));
  }
  ORDEL_TRY(expect(TokenKind::RBrace));
  return {};
}

// intent_clause -> clause_keyword ":" content ";" | unknown_clause
// List-valued clauses `takes`, `gives` and `bound` and the single-valued ones
// replace earlier values; `pre`, `post` and `conscience` accumulate.
Result<void> Parser::parse_intent_clause(IntentDecl& intent) {
  const TokenKind clause = current_.kind;
  switch (clause) {
    case TokenKind::Takes:
    case TokenKind::Gives:
    case TokenKind::Pre:
    case TokenKind::Post:
    case TokenKind::Bound:
    case TokenKind::Effect:
    case TokenKind::Conscience:
    case TokenKind::Fallback:
    case TokenKind::Rollback:
    case TokenKind::Ring:
      break;
    case TokenKind::Identifier:
      return skip_unknown_clause();
    default:
      return fail_expected("intent clause");
  }
  advance();
  ORDEL_TRY(expect(TokenKind::Colon));
  switch (clause) {
    case TokenKind::Takes:
    case TokenKind::Gives: {
      std::vector<Param>& target = clause == TokenKind::Takes ? intent.takes : intent.gives;
      target.clear();
      ORDEL_TRY(parse_param_list(target, TokenKind::Semicolon));
      break;
    }
    case TokenKind::Pre:
      ORDEL_TRY(parse_clause_expressions(intent.pre));
      break;
    case TokenKind::Post:
      ORDEL_TRY(parse_clause_expressions(intent.post));
      break;
    case TokenKind::Bound:
      intent.bound.clear();
      ORDEL_TRY(parse_bound_entries(intent.bound));
      break;
    case TokenKind::Conscience: {
      // identifier { "," identifier } [ "," ]
      const std::size_t mark = names_.mark();
      for (;;) {
        ORDEL_ASSIGN_OR_RETURN(const Word predicate, identifier());
        names_.push(std::string(predicate.lexeme));
        if (!peek(TokenKind::Comma)) {
          break;
        }
        advance();
        if (peek(TokenKind::Semicolon)) {
          break;
        }
      }
      names_.move_since(mark, intent.conscience);
      break;
    }
    case TokenKind::Effect:
    case TokenKind::Fallback:
    case TokenKind::Rollback: {
      ORDEL_ASSIGN_OR_RETURN(const Word word, identifier());
      std::optional<std::string>& target = clause == TokenKind::Effect     ? intent.effect
                                           : clause == TokenKind::Fallback ? intent.fallback
                                                                           : intent.rollback;
      target.emplace(word.lexeme);
      break;
    }
    case TokenKind::Ring: {
      // [ "-" ] integer
      const bool negative = peek(TokenKind::Minus);
      if (negative) {
        advance();
      }
      if (!peek(TokenKind::IntLiteral)) {
        return fail_expected("ring number");
      }
      intent.ring = negative ? -current_.int_value : current_.int_value;
      advance();
      break;
    }
    default:
      break;
  }
  ORDEL_TRY(expect(TokenKind::Semicolon));
  return {};
}

// clause_exprs -> expr { "," expr } [ "," ]   (ended by ";"; appended to `target`)
Result<void> Parser::parse_clause_expressions(std::vector<Expr>& target) {
  const std::size_t mark = exprs_.mark();
  Expr expr;
  for (;;) {
    ORDEL_TRY(parse_expression(expr));
    exprs_.push(std::move(expr));
    if (!peek(TokenKind::Comma)) {
      break;
    }
    advance();
    if (peek(TokenKind::Semicolon)) {
      break;
    }
  }
  exprs_.move_since(mark, target);
  return {};
}

// bound_entries -> bound_entry { "," bound_entry } [ "," ]
// bound_entry -> identifier "(" { token } ")"
Result<void> Parser::parse_bound_entries(std::vector<IntentBound>& out) {
  const std::size_t mark = bounds_.mark();
  for (;;) {
    ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
    ORDEL_TRY(expect(TokenKind::LParen));
    IntentBound entry{std::string(name.lexeme), std::string(), name.span};
    // The entry's value is its tokens' source texts, concatenated.
    while (!peek(TokenKind::RParen) && !at_end()) {
      entry.value += current_.lexeme;
      advance();
    }
    ORDEL_TRY(expect(TokenKind::RParen));
    bounds_.push(std::move(entry));
    if (!peek(TokenKind::Comma)) {
      break;
    }
    advance();
    if (peek(TokenKind::Semicolon)) {
      break;
    }
  }
  bounds_.move_since(mark, out);
  return {};
}

// unknown_clause -> identifier ":" { token } ";"
Result<void> Parser::skip_unknown_clause() {
  ORDEL_TRY(identifier());
  ORDEL_TRY(expect(TokenKind::Colon));
  while (!peek(TokenKind::Semicolon) && !at_end()) {
    advance();
  }
  ORDEL_TRY(expect(TokenKind::Semicolon));
  return {};
}

// enum -> "enum" identifier "{" { identifier [ "(" param_list ")" ] [ "," ] } "}"
Result<void> Parser::parse_enum(EnumDecl& out) {
  out.span = current_.span;
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  out.name.assign(name.lexeme);
  ORDEL_TRY(expect(TokenKind::LBrace));
  while (!peek(TokenKind::RBrace) && !at_end()) {
    ORDEL_ASSIGN_OR_RETURN(const Word variant_name, identifier());
    VariantDecl& variant = out.variants.emplace_back();
    variant.name.assign(variant_name.lexeme);
    variant.span = variant_name.span;
    if (peek(TokenKind::LParen)) {
      advance();
      ORDEL_TRY(parse_param_list(variant.fields, TokenKind::RParen));
      ORDEL_TRY(expect(TokenKind::RParen));
    }
    if (peek(TokenKind::Comma)) {
      advance();
    }
  }
  ORDEL_TRY(expect(TokenKind::RBrace));
  return {};
}

// param_list -> [ param { "," param } [ "," ] ]   (up to, not including, `closing`;
//                                                  appended to `out`)
// param -> identifier ":" type
Result<void> Parser::parse_param_list(std::vector<Param>& out, TokenKind closing) {
  const std::size_t mark = params_.mark();
  Param param;
  while (!peek(closing)) {
    ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
    ORDEL_TRY(expect(TokenKind::Colon));
    param.name.assign(name.lexeme);
    param.span = name.span;
    ORDEL_TRY(parse_type(param.ty));
    params_.push(std::move(param));
    if (!peek(TokenKind::Comma)) {
      break;
    }
    advance();
  }
  params_.move_since(mark, out);
  return {};
}

}  // namespace parser_internal

Result<Module> parse_module(std::span<const Token> tokens) {
  parser_internal::TokenSource source(tokens);
  parser_internal::Parser parser(source);
  return parser.parse_module();
}

Result<Module> parse_source(std::string_view source) {
  Lexer lexer(source);
  parser_internal::TokenSource tokens(lexer);
  parser_internal::Parser parser(tokens);
  Result<Module> module = parser.parse_module();
  // A lexical error anywhere in the source wins, as it would when the whole
  // source is tokenized before parsing.
  if (std::optional<PolicyError> lexical = tokens.finish()) {
    return std::unexpected(std::move(*lexical));
  }
  return module;
}

}  // namespace ordel
