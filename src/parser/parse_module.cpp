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

void TokenSource::next_from_lexer(Token& out) {
  if (lexer_done_) {
    out = Token{};
    return;
  }
  if (!lexer_->next_into(out)) {
    lexical_error_ = lexer_->take_error();
    lexer_done_ = true;
    out = Token{};
    return;
  }
  lexer_done_ = out.kind == TokenKind::Eof;
}

std::optional<PolicyError> TokenSource::finish() {
  if (lexer_ != nullptr) {
    Token scratch;
    while (!lexer_done_) {
      next_from_lexer(scratch);
    }
  }
  return std::move(lexical_error_);
}

// ---- helpers ----------------------------------------------------------------

Result<Span> Parser::expect(TokenKind kind) {
  if (current_.kind != kind) {
    return fail_missing(token_kind_text(kind));
  }
  const Span span = current_.span;
  advance();
  return span;
}

Result<Parser::Word> Parser::identifier() {
  if (current_.kind != TokenKind::Identifier) {
    return fail_missing_word("identifier");
  }
  const Word word{current_.lexeme, current_.span};
  advance();
  return word;
}

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
  module.name = std::string(name.lexeme);
  ORDEL_TRY(expect(TokenKind::LBrace));
  while (!peek(TokenKind::RBrace) && !at_end()) {
    ORDEL_ASSIGN_OR_RETURN(std::vector<Attribute> attributes, parse_attributes());
    ORDEL_ASSIGN_OR_RETURN(Declaration declaration, parse_declaration(std::move(attributes)));
    module.declarations.push_back(std::move(declaration));
  }
  // Whatever follows the closing brace is not examined.
  ORDEL_TRY(expect(TokenKind::RBrace));
  return module;
}

// attributes -> { "[" identifier [ "(" { token [ ":" token ] [ "," ] } ")" ] "]" }
Result<std::vector<Attribute>> Parser::parse_attributes() {
  std::vector<Attribute> attributes;
  while (peek(TokenKind::LBracket)) {
    Attribute attribute;
    attribute.span = current_.span;
    advance();
    ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
    attribute.name = std::string(name.lexeme);
    if (peek(TokenKind::LParen)) {
      advance();
      // Keys and values are single tokens of any kind, kept as written.
      while (!peek(TokenKind::RParen) && !at_end()) {
        const Token key = current_;
        advance();
        if (peek(TokenKind::Colon)) {
          advance();
          const Token value = current_;
          advance();
          attribute.args.push_back(AttributeArg{
              AttributeArg::Named{std::string(key.lexeme), std::string(value.lexeme)}});
        } else {
          attribute.args.push_back(
              AttributeArg{AttributeArg::Positional{std::string(key.lexeme)}});
        }
        if (peek(TokenKind::Comma)) {
          advance();
        }
      }
      ORDEL_TRY(expect(TokenKind::RParen));
    }
    ORDEL_TRY(expect(TokenKind::RBracket));
    attributes.push_back(std::move(attribute));
  }
  return attributes;
}

// declaration -> function | "export" function | import | contract | tensor_op | intent | enum
Result<Declaration> Parser::parse_declaration(std::vector<Attribute> attributes) {
  switch (current_.kind) {
    case TokenKind::Fn: {
      ORDEL_ASSIGN_OR_RETURN(FunctionDecl function, parse_function(std::move(attributes), false));
      return Declaration{std::move(function)};
    }
    case TokenKind::Export: {
      advance();
      if (!peek(TokenKind::Fn)) {
        return fail_missing(token_kind_text(TokenKind::Fn));
      }
      ORDEL_ASSIGN_OR_RETURN(FunctionDecl function, parse_function(std::move(attributes), true));
      return Declaration{std::move(function)};
    }
    case TokenKind::Import: {
      ORDEL_ASSIGN_OR_RETURN(ImportDecl import, parse_import());
      return Declaration{std::move(import)};
    }
    case TokenKind::Contract: {
      ORDEL_ASSIGN_OR_RETURN(ContractDecl contract, parse_contract());
      return Declaration{std::move(contract)};
    }
    case TokenKind::TensorOp: {
      ORDEL_ASSIGN_OR_RETURN(TensorOpDecl tensor_op, parse_tensor_op());
      return Declaration{std::move(tensor_op)};
    }
    case TokenKind::Intent: {
      ORDEL_ASSIGN_OR_RETURN(IntentDecl intent, parse_intent(std::move(attributes)));
      return Declaration{std::move(intent)};
    }
    case TokenKind::Enum: {
      ORDEL_ASSIGN_OR_RETURN(EnumDecl enum_decl, parse_enum());
      return Declaration{std::move(enum_decl)};
    }
    default:
      return fail_expected("declaration (fn, contract, intent, enum, import)");
  }
}

// import -> "import" string ";"
Result<ImportDecl> Parser::parse_import() {
  ImportDecl import;
  import.span = current_.span;
  advance();
  if (!peek(TokenKind::StringLiteral)) {
    return fail_missing_word("string literal");
  }
  import.path = string_literal_value(current_);
  advance();
  ORDEL_TRY(expect(TokenKind::Semicolon));
  return import;
}

// function -> "fn" identifier "(" param_list ")" [ "->" type ] block
Result<FunctionDecl> Parser::parse_function(std::vector<Attribute> attributes, bool exported) {
  FunctionDecl function;
  function.span = current_.span;
  function.exported = exported;
  function.attributes = std::move(attributes);
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  function.name = std::string(name.lexeme);
  ORDEL_TRY(expect(TokenKind::LParen));
  ORDEL_ASSIGN_OR_RETURN(function.params, parse_param_list(TokenKind::RParen));
  ORDEL_TRY(expect(TokenKind::RParen));
  if (peek(TokenKind::Arrow)) {
    advance();
    ORDEL_ASSIGN_OR_RETURN(function.return_type, parse_type());
  }
  ORDEL_ASSIGN_OR_RETURN(function.body, parse_block());
  return function;
}

// contract -> "contract" identifier ( "=" identifier { "+" identifier } ";"
//                                   | "{" { invariant_block | contract_field } "}" )
Result<ContractDecl> Parser::parse_contract() {
  ContractDecl contract;
  contract.span = current_.span;
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  contract.name = std::string(name.lexeme);
  if (peek(TokenKind::Assign)) {
    advance();
    std::vector<std::string> parts;
    for (;;) {
      ORDEL_ASSIGN_OR_RETURN(const Word part, identifier());
      parts.emplace_back(part.lexeme);
      if (!peek(TokenKind::Plus)) {
        break;
      }
      advance();
    }
    ORDEL_TRY(expect(TokenKind::Semicolon));
    contract.composition = std::move(parts);
    return contract;
  }
  ORDEL_TRY(expect(TokenKind::LBrace));
  while (!peek(TokenKind::RBrace) && !at_end()) {
    // invariant_block -> "invariant" "{" { expr [ "," ] } "}"
    if (peek(TokenKind::Identifier) && current_.lexeme == "invariant") {
      advance();
      ORDEL_TRY(expect(TokenKind::LBrace));
      std::vector<Expr> invariants;
      while (!peek(TokenKind::RBrace) && !at_end()) {
        ORDEL_ASSIGN_OR_RETURN(Expr invariant, parse_expression());
        invariants.push_back(std::move(invariant));
        if (peek(TokenKind::Comma)) {
          advance();
        }
      }
      ORDEL_TRY(expect(TokenKind::RBrace));
      // A later invariant block replaces an earlier one.
      contract.invariants = std::move(invariants);
      continue;
    }
    ORDEL_ASSIGN_OR_RETURN(ContractField field, parse_contract_field());
    contract.fields.push_back(std::move(field));
  }
  ORDEL_TRY(expect(TokenKind::RBrace));
  return contract;
}

// contract_field -> "@" integer ":" identifier ":" type [ "[" identifier ["=" identifier] "]" ] ","
Result<ContractField> Parser::parse_contract_field() {
  ContractField field;
  ORDEL_ASSIGN_OR_RETURN(const Span at, expect(TokenKind::At));
  field.span = at;
  if (!peek(TokenKind::IntLiteral)) {
    return fail_expected("field index number");
  }
  // Indexes beyond 32 bits keep their low 32 bits.
  field.index = static_cast<std::uint32_t>(static_cast<std::uint64_t>(current_.int_value));
  advance();
  ORDEL_TRY(expect(TokenKind::Colon));
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  field.name = std::string(name.lexeme);
  ORDEL_TRY(expect(TokenKind::Colon));
  ORDEL_ASSIGN_OR_RETURN(field.ty, parse_type());
  if (peek(TokenKind::LBracket)) {
    advance();
    // Only `conflict = name` means something; any other single word is ignored.
    ORDEL_ASSIGN_OR_RETURN(const Word word, identifier());
    if (word.lexeme == "conflict") {
      ORDEL_TRY(expect(TokenKind::Assign));
      ORDEL_ASSIGN_OR_RETURN(const Word conflict, identifier());
      field.conflict = std::string(conflict.lexeme);
    }
    ORDEL_TRY(expect(TokenKind::RBracket));
  }
  ORDEL_TRY(expect(TokenKind::Comma));
  return field;
}

// tensor_op -> "tensor_op" identifier "{" { ("takes" | "gives") ":" param_list ";"
//                                           | identifier ":" { token } ";" } "}"
Result<TensorOpDecl> Parser::parse_tensor_op() {
  TensorOpDecl tensor_op;
  tensor_op.span = current_.span;
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  tensor_op.name = std::string(name.lexeme);
  ORDEL_TRY(expect(TokenKind::LBrace));
  while (!peek(TokenKind::RBrace) && !at_end()) {
    if (peek(TokenKind::Takes) || peek(TokenKind::Gives)) {
      std::vector<Param>& target = peek(TokenKind::Takes) ? tensor_op.takes : tensor_op.gives;
      advance();
      ORDEL_TRY(expect(TokenKind::Colon));
      ORDEL_ASSIGN_OR_RETURN(target, parse_param_list(TokenKind::Semicolon));
      ORDEL_TRY(expect(TokenKind::Semicolon));
    } else {
      ORDEL_TRY(skip_unknown_clause());
    }
  }
  ORDEL_TRY(expect(TokenKind::RBrace));
  return tensor_op;
}

// intent -> "intent" identifier ("=" identifier {">>" identifier} ";" | "{" {intent_clause} "}")
Result<IntentDecl> Parser::parse_intent(std::vector<Attribute> attributes) {
  IntentDecl intent;
  intent.span = current_.span;
  intent.attributes = std::move(attributes);
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  intent.name = std::string(name.lexeme);
  if (peek(TokenKind::Assign)) {
    advance();
    std::vector<std::string> parts;
    for (;;) {
      ORDEL_ASSIGN_OR_RETURN(const Word part, identifier());
      parts.emplace_back(part.lexeme);
      if (!peek(TokenKind::GtGt)) {
        break;
      }
      advance();
    }
    ORDEL_TRY(expect(TokenKind::Semicolon));
    intent.composition = std::move(parts);
    return intent;
  }
  ORDEL_TRY(expect(TokenKind::LBrace));
  while (!peek(TokenKind::RBrace) && !at_end()) {
    ORDEL_TRY(parse_intent_clause(intent));
  }
  ORDEL_TRY(expect(TokenKind::RBrace));
  return intent;
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
    case TokenKind::Takes: {
      ORDEL_ASSIGN_OR_RETURN(intent.takes, parse_param_list(TokenKind::Semicolon));
      break;
    }
    case TokenKind::Gives: {
      ORDEL_ASSIGN_OR_RETURN(intent.gives, parse_param_list(TokenKind::Semicolon));
      break;
    }
    case TokenKind::Pre:
    case TokenKind::Post: {
      ORDEL_ASSIGN_OR_RETURN(std::vector<Expr> exprs, parse_clause_expressions());
      std::vector<Expr>& target = clause == TokenKind::Pre ? intent.pre : intent.post;
      for (Expr& expr : exprs) {
        target.push_back(std::move(expr));
      }
      break;
    }
    case TokenKind::Bound: {
      ORDEL_ASSIGN_OR_RETURN(intent.bound, parse_bound_entries());
      break;
    }
    case TokenKind::Conscience: {
      // identifier { "," identifier } [ "," ]
      for (;;) {
        ORDEL_ASSIGN_OR_RETURN(const Word predicate, identifier());
        intent.conscience.emplace_back(predicate.lexeme);
        if (!peek(TokenKind::Comma)) {
          break;
        }
        advance();
        if (peek(TokenKind::Semicolon)) {
          break;
        }
      }
      break;
    }
    case TokenKind::Effect:
    case TokenKind::Fallback:
    case TokenKind::Rollback: {
      ORDEL_ASSIGN_OR_RETURN(const Word word, identifier());
      std::optional<std::string>& target = clause == TokenKind::Effect     ? intent.effect
                                           : clause == TokenKind::Fallback ? intent.fallback
                                                                           : intent.rollback;
      target = std::string(word.lexeme);
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

// clause_exprs -> expr { "," expr } [ "," ]   (ended by ";")
Result<std::vector<Expr>> Parser::parse_clause_expressions() {
  std::vector<Expr> exprs;
  for (;;) {
    ORDEL_ASSIGN_OR_RETURN(Expr expr, parse_expression());
    exprs.push_back(std::move(expr));
    if (!peek(TokenKind::Comma)) {
      break;
    }
    advance();
    if (peek(TokenKind::Semicolon)) {
      break;
    }
  }
  return exprs;
}

// bound_entries -> bound_entry { "," bound_entry } [ "," ]
// bound_entry -> identifier "(" { token } ")"
Result<std::vector<IntentBound>> Parser::parse_bound_entries() {
  std::vector<IntentBound> entries;
  for (;;) {
    ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
    ORDEL_TRY(expect(TokenKind::LParen));
    // The entry's value is its tokens' source texts, concatenated.
    std::string value;
    while (!peek(TokenKind::RParen) && !at_end()) {
      value += current_.lexeme;
      advance();
    }
    ORDEL_TRY(expect(TokenKind::RParen));
    entries.push_back(IntentBound{std::string(name.lexeme), std::move(value), name.span});
    if (!peek(TokenKind::Comma)) {
      break;
    }
    advance();
    if (peek(TokenKind::Semicolon)) {
      break;
    }
  }
  return entries;
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
Result<EnumDecl> Parser::parse_enum() {
  EnumDecl enum_decl;
  enum_decl.span = current_.span;
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  enum_decl.name = std::string(name.lexeme);
  ORDEL_TRY(expect(TokenKind::LBrace));
  while (!peek(TokenKind::RBrace) && !at_end()) {
    VariantDecl variant;
    ORDEL_ASSIGN_OR_RETURN(const Word variant_name, identifier());
    variant.name = std::string(variant_name.lexeme);
    variant.span = variant_name.span;
    if (peek(TokenKind::LParen)) {
      advance();
      ORDEL_ASSIGN_OR_RETURN(variant.fields, parse_param_list(TokenKind::RParen));
      ORDEL_TRY(expect(TokenKind::RParen));
    }
    if (peek(TokenKind::Comma)) {
      advance();
    }
    enum_decl.variants.push_back(std::move(variant));
  }
  ORDEL_TRY(expect(TokenKind::RBrace));
  return enum_decl;
}

// param_list -> [ param { "," param } [ "," ] ]   (up to, not including, `closing`)
// param -> identifier ":" type
Result<std::vector<Param>> Parser::parse_param_list(TokenKind closing) {
  std::vector<Param> params;
  while (!peek(closing)) {
    ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
    ORDEL_TRY(expect(TokenKind::Colon));
    ORDEL_ASSIGN_OR_RETURN(TypeExpr type, parse_type());
    params.push_back(Param{std::string(name.lexeme), std::move(type), name.span});
    if (!peek(TokenKind::Comma)) {
      break;
    }
    advance();
  }
  return params;
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
