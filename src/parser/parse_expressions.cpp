// Expressions: operator precedence, prefix and postfix operators, primaries
// and field-value lists.
#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "parser/parser_internal.h"
#include "text/unicode.h"
#include "text/utf8.h"

namespace ordel::parser_internal {

namespace {

// Whether a name starts with an upper-case letter (ASCII A-Z or the Unicode
// Uppercase property). Such a name before `.` is an enum, before `{` a
// contract.
bool starts_uppercase(std::string_view name) {
  if (name.empty()) {
    return false;
  }
  const auto lead = static_cast<unsigned char>(name.front());
  if (lead < 0x80) {
    return lead >= 'A' && lead <= 'Z';
  }
  return text::is_uppercase(text::decode_at(name, 0).code_point);
}

// A new heap node holding `expr`, which is left moved-from.
ExprPtr boxed(Expr& expr) { return std::make_unique<Expr>(std::move(expr)); }

}  // namespace

// unary -> prefixed | postfix
Result<void> Parser::parse_unary(Expr& out) {
  if (peek(TokenKind::Minus) || peek(TokenKind::Bang)) {
    return parse_prefixed(out);
  }
  return parse_postfix(out);
}

// primary -> integer | float | string | "true" | "false" | identifier_primary | do
//          | query_conscience | declare_anomaly | "collapse" parenthesized
//          | "resolve" parenthesized | parenthesized | array_literal
Result<void> Parser::parse_primary(Expr& out) {
  const Span span = current_.span;
  switch (current_.kind) {
    case TokenKind::IntLiteral:
      out.node.emplace<Expr::IntLiteral>(current_.int_value, span);
      advance();
      return {};
    case TokenKind::FloatLiteral:
      out.node.emplace<Expr::FloatLiteral>(current_.float_value, span);
      advance();
      return {};
    case TokenKind::StringLiteral:
      out.node.emplace<Expr::StringLiteral>(string_literal_value(current_), span);
      advance();
      return {};
    case TokenKind::True:
    case TokenKind::False:
      out.node.emplace<Expr::BoolLiteral>(current_.kind == TokenKind::True, span);
      advance();
      return {};
    case TokenKind::Identifier:
      return parse_identifier_primary(out);
    case TokenKind::Do:
      return parse_do(out);
    case TokenKind::QueryConscience:
      return parse_query_conscience(out);
    case TokenKind::DeclareAnomaly:
      return parse_declare_anomaly(out);
    case TokenKind::Collapse:
    case TokenKind::Resolve: {
      const bool collapse = current_.kind == TokenKind::Collapse;
      advance();
      auto operand = std::make_unique<Expr>();
      ORDEL_TRY(parse_parenthesized_operand(*operand));
      if (collapse) {
        out.node.emplace<Expr::Collapse>(std::move(operand), span);
      } else {
        out.node.emplace<Expr::Resolve>(std::move(operand), span);
      }
      return {};
    }
    case TokenKind::LParen:
      // Parentheses group without adding a node.
      return parse_parenthesized_operand(out);
    case TokenKind::LBracket:
      return parse_array_literal(out);
    default:
      return fail_expected("expression");
  }
}

// expr -> binary(1)
Result<void> Parser::parse_expression(Expr& out) {
  const DepthGuard guard(*this);
  ORDEL_TRY(check_depth(0, current_.span));
  return parse_binary(out, 1);
}

// binary(p) -> unary { op binary(power(op) + 1) }   for every op with power(op) >= p
//
// One loop climbs all levels of kInfixRules; every level is left-associative.
// The chain's tree grows upwards from its first operand, so the loop keeps
// the height of the tree built so far on top of the chain's starting depth
// (a chain of n operators counts n levels), and reads each right operand one
// level below that start, where the operator's node will hold it.
Result<void> Parser::parse_binary(Expr& out, std::uint8_t min_power) {
  const std::size_t base = depth_;
  const std::size_t outer_peak = peak_;
  peak_ = base;
  ORDEL_TRY(parse_unary(out));
  std::size_t height = peak_ - base;
  for (;;) {
    const InfixRule& rule = infix_rule(current_.kind);
    if (rule.power == 0 || rule.power < min_power) {
      break;
    }
    const Span op_span = current_.span;
    ORDEL_TRY(check_depth(height + 1, op_span));
    advance();
    peak_ = base;
    // The right operand is read straight into its heap node.
    auto right = std::make_unique<Expr>();
    {
      const DepthGuard guard(*this);
      ORDEL_TRY(parse_binary(*right, static_cast<std::uint8_t>(rule.power + 1)));
    }
    height = std::max(height + 1, peak_ - base);
    ExprPtr left = boxed(out);
    if (rule.pipeline) {
      out.node.emplace<Expr::Pipeline>(std::move(left), std::move(right), op_span);
    } else {
      out.node.emplace<Expr::Binary>(std::move(left), rule.op, std::move(right), op_span);
    }
  }
  peak_ = std::max(outer_peak, base + height);
  return {};
}

// prefixed -> ( "-" | "!" ) unary
Result<void> Parser::parse_prefixed(Expr& out) {
  const UnaryOp op = peek(TokenKind::Minus) ? UnaryOp::Neg : UnaryOp::Not;
  const Span span = current_.span;
  const DepthGuard guard(*this);
  ORDEL_TRY(check_depth(0, span));
  advance();
  auto operand = std::make_unique<Expr>();
  ORDEL_TRY(parse_unary(*operand));
  out.node.emplace<Expr::Unary>(op, std::move(operand), span);
  return {};
}

// postfix -> primary { "[" expr "]" | "." identifier }
//
// Like a binary chain, a postfix chain grows upwards: each step counts one
// level on top of the height built so far, and an index expression is read
// one level below the chain's start.
Result<void> Parser::parse_postfix(Expr& out) {
  const std::size_t base = depth_;
  const std::size_t outer_peak = peak_;
  peak_ = base;
  ORDEL_TRY(parse_primary(out));
  std::size_t height = peak_ - base;
  for (;;) {
    if (peek(TokenKind::Dot)) {
      const Span span = current_.span;
      ORDEL_TRY(check_depth(height + 1, span));
      advance();
      ORDEL_ASSIGN_OR_RETURN(const Word field, identifier());
      ++height;
      ExprPtr object = boxed(out);
      auto& access = out.node.emplace<Expr::FieldAccess>();
      access.object = std::move(object);
      access.field.assign(field.lexeme);
      access.span = span;
    } else if (peek(TokenKind::LBracket)) {
      ORDEL_TRY(parse_index(out, base, height));
    } else {
      break;
    }
  }
  peak_ = std::max(outer_peak, base + height);
  return {};
}

// index -> "[" expr "]"   (applied to `out`, a postfix chain `height` levels above `base`)
Result<void> Parser::parse_index(Expr& out, std::size_t base, std::size_t& height) {
  const Span span = current_.span;
  ORDEL_TRY(check_depth(height + 1, span));
  advance();
  peak_ = base;
  auto index = std::make_unique<Expr>();
  ORDEL_TRY(parse_expression(*index));
  height = std::max(height + 1, peak_ - base);
  ORDEL_TRY(expect(TokenKind::RBracket));
  ExprPtr object = boxed(out);
  out.node.emplace<Expr::Index>(std::move(object), std::move(index), span);
  return {};
}

// do -> "do" identifier "{" field_values "}"
Result<void> Parser::parse_do(Expr& out) {
  auto& action = out.node.emplace<Expr::Do>();
  action.span = current_.span;
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  action.action.assign(name.lexeme);
  ORDEL_TRY(expect(TokenKind::LBrace));
  ORDEL_TRY(parse_field_values(action.args));
  ORDEL_TRY(expect(TokenKind::RBrace));
  return {};
}

// query_conscience -> "query_conscience" "(" identifier "{" field_values "}" ")"
Result<void> Parser::parse_query_conscience(Expr& out) {
  auto& query = out.node.emplace<Expr::QueryConscience>();
  query.span = current_.span;
  advance();
  ORDEL_TRY(expect(TokenKind::LParen));
  ORDEL_ASSIGN_OR_RETURN(const Word predicate, identifier());
  query.predicate.assign(predicate.lexeme);
  ORDEL_TRY(expect(TokenKind::LBrace));
  ORDEL_TRY(parse_field_values(query.args));
  ORDEL_TRY(expect(TokenKind::RBrace));
  ORDEL_TRY(expect(TokenKind::RParen));
  return {};
}

// declare_anomaly -> "declare_anomaly" "(" expr "," "{" field_values "}" ")"
Result<void> Parser::parse_declare_anomaly(Expr& out) {
  auto& anomaly = out.node.emplace<Expr::DeclareAnomaly>();
  anomaly.span = current_.span;
  advance();
  ORDEL_TRY(expect(TokenKind::LParen));
  anomaly.subject = std::make_unique<Expr>();
  ORDEL_TRY(parse_expression(*anomaly.subject));
  ORDEL_TRY(expect(TokenKind::Comma));
  ORDEL_TRY(expect(TokenKind::LBrace));
  ORDEL_TRY(parse_field_values(anomaly.details));
  ORDEL_TRY(expect(TokenKind::RBrace));
  ORDEL_TRY(expect(TokenKind::RParen));
  return {};
}

// array_literal -> "[" [ expr { "," expr } [ "," ] ] "]"
Result<void> Parser::parse_array_literal(Expr& out) {
  auto& array = out.node.emplace<Expr::ArrayLiteral>();
  array.span = current_.span;
  advance();
  ORDEL_TRY(parse_expression_list(array.elements, TokenKind::RBracket));
  ORDEL_TRY(expect(TokenKind::RBracket));
  return {};
}

// parenthesized -> "(" expr ")"
Result<void> Parser::parse_parenthesized_operand(Expr& out) {
  ORDEL_TRY(expect(TokenKind::LParen));
  ORDEL_TRY(parse_expression(out));
  ORDEL_TRY(expect(TokenKind::RParen));
  return {};
}

// identifier_primary -> qualified
//                     | identifier "(" [ expr { "," expr } [ "," ] ] ")"
//                     | Upper "{" field_values "}"
//                     | identifier
// (Upper: an identifier starting with an upper-case letter.)
Result<void> Parser::parse_identifier_primary(Expr& out) {
  const Word name{current_.lexeme, current_.span};
  advance();
  const bool upper = starts_uppercase(name.lexeme);
  if (upper && peek(TokenKind::Dot)) {
    return parse_qualified(out, name);
  }
  if (peek(TokenKind::LParen)) {
    advance();
    auto& call = out.node.emplace<Expr::Call>();
    call.name.assign(name.lexeme);
    call.span = name.span;
    ORDEL_TRY(parse_expression_list(call.args, TokenKind::RParen));
    ORDEL_TRY(expect(TokenKind::RParen));
    return {};
  }
  if (upper && peek(TokenKind::LBrace)) {
    advance();
    auto& init = out.node.emplace<Expr::ContractInit>();
    init.name.assign(name.lexeme);
    init.span = name.span;
    ORDEL_TRY(parse_field_values(init.fields));
    ORDEL_TRY(expect(TokenKind::RBrace));
    return {};
  }
  auto& ident = out.node.emplace<Expr::Ident>();
  ident.name.assign(name.lexeme);
  ident.span = name.span;
  return {};
}

// qualified -> Upper "." identifier [ "(" [ expr { "," expr } ] ")" ]   (after Upper)
Result<void> Parser::parse_qualified(Expr& out, const Word& name) {
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word variant, identifier());
  if (!peek(TokenKind::LParen)) {
    out.node.emplace<Expr::EnumAccess>(
        std::make_unique<Expr::EnumAccess::Names>(std::string(name.lexeme),
                                                  std::string(variant.lexeme)),
        name.span);
    return {};
  }
  // A qualified call takes no comma before its closing parenthesis.
  advance();
  std::string qualified;
  qualified.reserve(name.lexeme.size() + 1 + variant.lexeme.size());
  qualified += name.lexeme;
  qualified += '.';
  qualified += variant.lexeme;
  auto& call = out.node.emplace<Expr::Call>(std::move(qualified), std::vector<Expr>(), name.span);
  if (!peek(TokenKind::RParen)) {
    const std::size_t mark = exprs_.mark();
    Expr arg;
    for (;;) {
      ORDEL_TRY(parse_expression(arg));
      exprs_.push(std::move(arg));
      if (!peek(TokenKind::Comma)) {
        break;
      }
      advance();
    }
    exprs_.move_since(mark, call.args);
  }
  ORDEL_TRY(expect(TokenKind::RParen));
  return {};
}

// expr_list -> [ expr { "," expr } [ "," ] ]   (up to, not including, `closing`)
Result<void> Parser::parse_expression_list(std::vector<Expr>& out, TokenKind closing) {
  const std::size_t mark = exprs_.mark();
  Expr expr;
  while (!peek(closing)) {
    ORDEL_TRY(parse_expression(expr));
    exprs_.push(std::move(expr));
    if (!peek(TokenKind::Comma)) {
      break;
    }
    advance();
  }
  exprs_.move_since(mark, out);
  return {};
}

// field_values -> [ identifier ":" expr { "," identifier ":" expr } [ "," ] ]   (up to "}")
Result<void> Parser::parse_field_values(std::vector<FieldValue>& out) {
  const std::size_t mark = field_values_.mark();
  FieldValue field;
  while (!peek(TokenKind::RBrace) && !at_end()) {
    ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
    field.name.assign(name.lexeme);
    ORDEL_TRY(expect(TokenKind::Colon));
    ORDEL_TRY(parse_expression(field.value));
    field_values_.push(std::move(field));
    if (!peek(TokenKind::Comma)) {
      break;
    }
    advance();
  }
  field_values_.move_since(mark, out);
  return {};
}

}  // namespace ordel::parser_internal
