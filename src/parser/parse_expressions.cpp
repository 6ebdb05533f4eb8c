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

ExprPtr boxed(Expr expr) { return std::make_unique<Expr>(std::move(expr)); }

}  // namespace

// expr -> binary(1)
Result<Expr> Parser::parse_expression() {
  const DepthGuard guard(*this);
  ORDEL_TRY(check_depth(0, current_.span));
  return parse_binary(1);
}

// binary(p) -> unary { op binary(power(op) + 1) }   for every op with power(op) >= p
//
// One loop climbs all levels of kInfixRules; every level is left-associative.
// The chain's tree grows upwards from its first operand, so the loop keeps
// the height of the tree built so far on top of the chain's starting depth
// (a chain of n operators counts n levels), and reads each right operand one
// level below that start, where the operator's node will hold it.
Result<Expr> Parser::parse_binary(std::uint8_t min_power) {
  // Every path returns `left`, so the common case (no operator) hands the
  // operand up without moving it.
  const std::size_t base = depth_;
  const std::size_t outer_peak = peak_;
  peak_ = base;
  Result<Expr> left = parse_unary();
  std::size_t height = peak_ - base;
  while (left) {
    const InfixRule& rule = infix_rule(current_.kind);
    if (rule.power == 0 || rule.power < min_power) {
      break;
    }
    const Span op_span = current_.span;
    if (Result<void> room = check_depth(height + 1, op_span); !room) {
      left = std::unexpected(std::move(room).error());
      break;
    }
    advance();
    peak_ = base;
    Result<Expr> right = [&] {
      const DepthGuard guard(*this);
      return parse_binary(static_cast<std::uint8_t>(rule.power + 1));
    }();
    if (!right) {
      left = std::unexpected(std::move(right).error());
      break;
    }
    height = std::max(height + 1, peak_ - base);
    if (rule.pipeline) {
      *left = Expr{Expr::Pipeline{boxed(std::move(*left)), boxed(std::move(*right)), op_span}};
    } else {
      *left =
          Expr{Expr::Binary{boxed(std::move(*left)), rule.op, boxed(std::move(*right)), op_span}};
    }
  }
  peak_ = std::max(outer_peak, base + height);
  return left;
}

// unary -> prefixed | postfix
Result<Expr> Parser::parse_unary() {
  if (peek(TokenKind::Minus) || peek(TokenKind::Bang)) {
    return parse_prefixed();
  }
  return parse_postfix();
}

// prefixed -> ( "-" | "!" ) unary
Result<Expr> Parser::parse_prefixed() {
  const UnaryOp op = peek(TokenKind::Minus) ? UnaryOp::Neg : UnaryOp::Not;
  const Span span = current_.span;
  const DepthGuard guard(*this);
  ORDEL_TRY(check_depth(0, span));
  advance();
  ORDEL_ASSIGN_OR_RETURN(Expr operand, parse_unary());
  return Expr{Expr::Unary{op, boxed(std::move(operand)), span}};
}

// postfix -> primary { "[" expr "]" | "." identifier }
//
// Like a binary chain, a postfix chain grows upwards: each step counts one
// level on top of the height built so far, and an index expression is read
// one level below the chain's start.
Result<Expr> Parser::parse_postfix() {
  // As in parse_binary, every path returns `expr`.
  const std::size_t base = depth_;
  const std::size_t outer_peak = peak_;
  peak_ = base;
  Result<Expr> expr = parse_primary();
  std::size_t height = peak_ - base;
  while (expr) {
    if (peek(TokenKind::Dot)) {
      const Span span = current_.span;
      if (Result<void> room = check_depth(height + 1, span); !room) {
        expr = std::unexpected(std::move(room).error());
        break;
      }
      advance();
      Result<Word> field = identifier();
      if (!field) {
        expr = std::unexpected(std::move(field).error());
        break;
      }
      ++height;
      *expr = Expr{Expr::FieldAccess{boxed(std::move(*expr)), std::string(field->lexeme), span}};
    } else if (peek(TokenKind::LBracket)) {
      expr = parse_index(std::move(*expr), base, height);
    } else {
      break;
    }
  }
  peak_ = std::max(outer_peak, base + height);
  return expr;
}

// index -> "[" expr "]"   (applied to `object`, a postfix chain `height` levels above `base`)
Result<Expr> Parser::parse_index(Expr object, std::size_t base, std::size_t& height) {
  const Span span = current_.span;
  ORDEL_TRY(check_depth(height + 1, span));
  advance();
  peak_ = base;
  ORDEL_ASSIGN_OR_RETURN(Expr index, parse_expression());
  height = std::max(height + 1, peak_ - base);
  ORDEL_TRY(expect(TokenKind::RBracket));
  return Expr{Expr::Index{boxed(std::move(object)), boxed(std::move(index)), span}};
}

// primary -> integer | float | string | "true" | "false" | identifier_primary | do
//          | query_conscience | declare_anomaly | "collapse" parenthesized
//          | "resolve" parenthesized | parenthesized | array_literal
Result<Expr> Parser::parse_primary() {
  const Token token = current_;
  switch (token.kind) {
    case TokenKind::IntLiteral:
      advance();
      return Expr{Expr::IntLiteral{token.int_value, token.span}};
    case TokenKind::FloatLiteral:
      advance();
      return Expr{Expr::FloatLiteral{token.float_value, token.span}};
    case TokenKind::StringLiteral:
      advance();
      return Expr{Expr::StringLiteral{string_literal_value(token), token.span}};
    case TokenKind::True:
    case TokenKind::False:
      advance();
      return Expr{Expr::BoolLiteral{token.kind == TokenKind::True, token.span}};
    case TokenKind::Identifier:
      return parse_identifier_primary();
    case TokenKind::Do:
      return parse_do();
    case TokenKind::QueryConscience:
      return parse_query_conscience();
    case TokenKind::DeclareAnomaly:
      return parse_declare_anomaly();
    case TokenKind::Collapse:
    case TokenKind::Resolve: {
      advance();
      ORDEL_ASSIGN_OR_RETURN(Expr operand, parse_parenthesized_operand());
      if (token.kind == TokenKind::Collapse) {
        return Expr{Expr::Collapse{boxed(std::move(operand)), token.span}};
      }
      return Expr{Expr::Resolve{boxed(std::move(operand)), token.span}};
    }
    case TokenKind::LParen:
      // Parentheses group without adding a node.
      return parse_parenthesized_operand();
    case TokenKind::LBracket:
      return parse_array_literal();
    default:
      return fail_expected("expression");
  }
}

// do -> "do" identifier "{" field_values "}"
Result<Expr> Parser::parse_do() {
  const Span span = current_.span;
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word action, identifier());
  ORDEL_TRY(expect(TokenKind::LBrace));
  ORDEL_ASSIGN_OR_RETURN(std::vector<FieldValue> args, parse_field_values());
  ORDEL_TRY(expect(TokenKind::RBrace));
  return Expr{Expr::Do{std::string(action.lexeme), std::move(args), span}};
}

// query_conscience -> "query_conscience" "(" identifier "{" field_values "}" ")"
Result<Expr> Parser::parse_query_conscience() {
  const Span span = current_.span;
  advance();
  ORDEL_TRY(expect(TokenKind::LParen));
  ORDEL_ASSIGN_OR_RETURN(const Word predicate, identifier());
  ORDEL_TRY(expect(TokenKind::LBrace));
  ORDEL_ASSIGN_OR_RETURN(std::vector<FieldValue> args, parse_field_values());
  ORDEL_TRY(expect(TokenKind::RBrace));
  ORDEL_TRY(expect(TokenKind::RParen));
  return Expr{Expr::QueryConscience{std::string(predicate.lexeme), std::move(args), span}};
}

// declare_anomaly -> "declare_anomaly" "(" expr "," "{" field_values "}" ")"
Result<Expr> Parser::parse_declare_anomaly() {
  const Span span = current_.span;
  advance();
  ORDEL_TRY(expect(TokenKind::LParen));
  ORDEL_ASSIGN_OR_RETURN(Expr subject, parse_expression());
  ORDEL_TRY(expect(TokenKind::Comma));
  ORDEL_TRY(expect(TokenKind::LBrace));
  ORDEL_ASSIGN_OR_RETURN(std::vector<FieldValue> details, parse_field_values());
  ORDEL_TRY(expect(TokenKind::RBrace));
  ORDEL_TRY(expect(TokenKind::RParen));
  return Expr{Expr::DeclareAnomaly{boxed(std::move(subject)), std::move(details), span}};
}

// array_literal -> "[" [ expr { "," expr } [ "," ] ] "]"
Result<Expr> Parser::parse_array_literal() {
  const Span span = current_.span;
  advance();
  ORDEL_ASSIGN_OR_RETURN(std::vector<Expr> elements, parse_expression_list(TokenKind::RBracket));
  ORDEL_TRY(expect(TokenKind::RBracket));
  return Expr{Expr::ArrayLiteral{std::move(elements), span}};
}

// parenthesized -> "(" expr ")"
Result<Expr> Parser::parse_parenthesized_operand() {
  ORDEL_TRY(expect(TokenKind::LParen));
  ORDEL_ASSIGN_OR_RETURN(Expr expr, parse_expression());
  ORDEL_TRY(expect(TokenKind::RParen));
  return expr;
}

// identifier_primary -> qualified
//                     | identifier "(" [ expr { "," expr } [ "," ] ] ")"
//                     | Upper "{" field_values "}"
//                     | identifier
// (Upper: an identifier starting with an upper-case letter.)
Result<Expr> Parser::parse_identifier_primary() {
  const Token name = current_;
  advance();
  const bool upper = starts_uppercase(name.lexeme);
  if (upper && peek(TokenKind::Dot)) {
    return parse_qualified(name);
  }
  if (peek(TokenKind::LParen)) {
    advance();
    ORDEL_ASSIGN_OR_RETURN(std::vector<Expr> args, parse_expression_list(TokenKind::RParen));
    ORDEL_TRY(expect(TokenKind::RParen));
    return Expr{Expr::Call{std::string(name.lexeme), std::move(args), name.span}};
  }
  if (upper && peek(TokenKind::LBrace)) {
    advance();
    ORDEL_ASSIGN_OR_RETURN(std::vector<FieldValue> fields, parse_field_values());
    ORDEL_TRY(expect(TokenKind::RBrace));
    return Expr{Expr::ContractInit{std::string(name.lexeme), std::move(fields), name.span}};
  }
  return Expr{Expr::Ident{std::string(name.lexeme), name.span}};
}

// qualified -> Upper "." identifier [ "(" [ expr { "," expr } ] ")" ]   (after Upper)
Result<Expr> Parser::parse_qualified(const Token& name) {
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word variant, identifier());
  if (!peek(TokenKind::LParen)) {
    return Expr{
        Expr::EnumAccess{std::string(name.lexeme), std::string(variant.lexeme), name.span}};
  }
  // A qualified call takes no comma before its closing parenthesis.
  advance();
  std::vector<Expr> args;
  if (!peek(TokenKind::RParen)) {
    for (;;) {
      ORDEL_ASSIGN_OR_RETURN(Expr arg, parse_expression());
      args.push_back(std::move(arg));
      if (!peek(TokenKind::Comma)) {
        break;
      }
      advance();
    }
  }
  ORDEL_TRY(expect(TokenKind::RParen));
  std::string qualified;
  qualified.reserve(name.lexeme.size() + 1 + variant.lexeme.size());
  qualified += name.lexeme;
  qualified += '.';
  qualified += variant.lexeme;
  return Expr{Expr::Call{std::move(qualified), std::move(args), name.span}};
}

// expr_list -> [ expr { "," expr } [ "," ] ]   (up to, not including, `closing`)
Result<std::vector<Expr>> Parser::parse_expression_list(TokenKind closing) {
  std::vector<Expr> exprs;
  while (!peek(closing)) {
    ORDEL_ASSIGN_OR_RETURN(Expr expr, parse_expression());
    exprs.push_back(std::move(expr));
    if (!peek(TokenKind::Comma)) {
      break;
    }
    advance();
  }
  return exprs;
}

// field_values -> [ identifier ":" expr { "," identifier ":" expr } [ "," ] ]   (up to "}")
Result<std::vector<FieldValue>> Parser::parse_field_values() {
  std::vector<FieldValue> fields;
  while (!peek(TokenKind::RBrace) && !at_end()) {
    ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
    ORDEL_TRY(expect(TokenKind::Colon));
    ORDEL_ASSIGN_OR_RETURN(Expr value, parse_expression());
    fields.push_back(FieldValue{std::string(name.lexeme), std::move(value)});
    if (!peek(TokenKind::Comma)) {
      break;
    }
    advance();
  }
  return fields;
}

}  // namespace ordel::parser_internal
