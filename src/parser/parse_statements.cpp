// Blocks, statements, match arms and patterns.
#include <string>
#include <utility>

#include "parser/parser_internal.h"

namespace ordel::parser_internal {

// block -> "{" { statement } "}"
Result<Block> Parser::parse_block() {
  Block block;
  ORDEL_ASSIGN_OR_RETURN(const Span open, expect(TokenKind::LBrace));
  block.span = open;
  const DepthGuard guard(*this);
  ORDEL_TRY(check_depth(0, open));
  while (!peek(TokenKind::RBrace) && !at_end()) {
    ORDEL_ASSIGN_OR_RETURN(Stmt stmt, parse_statement());
    block.stmts.push_back(std::move(stmt));
  }
  ORDEL_TRY(expect(TokenKind::RBrace));
  return block;
}

// statement -> let | if | match | loop | return | "break" ";" | "continue" ";"
//            | expr_statement
Result<Stmt> Parser::parse_statement() {
  switch (current_.kind) {
    case TokenKind::Let:
      return parse_let();
    case TokenKind::If:
      return parse_if();
    case TokenKind::Match:
      return parse_match();
    case TokenKind::Loop:
      return parse_loop();
    case TokenKind::Return:
      return parse_return();
    case TokenKind::Break: {
      const Span span = current_.span;
      advance();
      ORDEL_TRY(expect(TokenKind::Semicolon));
      return Stmt{Stmt::Break{span}};
    }
    case TokenKind::Continue: {
      const Span span = current_.span;
      advance();
      ORDEL_TRY(expect(TokenKind::Semicolon));
      return Stmt{Stmt::Continue{span}};
    }
    default:
      return parse_expression_statement();
  }
}

// let -> "let" identifier [ ":" type ] "=" expr ";"
Result<Stmt> Parser::parse_let() {
  const Span span = current_.span;
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  std::optional<TypeExpr> type;
  if (peek(TokenKind::Colon)) {
    advance();
    ORDEL_ASSIGN_OR_RETURN(type, parse_type());
  }
  ORDEL_TRY(expect(TokenKind::Assign));
  ORDEL_ASSIGN_OR_RETURN(Expr value, parse_expression());
  ORDEL_TRY(expect(TokenKind::Semicolon));
  return Stmt{Stmt::Let{std::string(name.lexeme), std::move(type), std::move(value), span}};
}

// if -> "if" expr block [ "else" block ]
Result<Stmt> Parser::parse_if() {
  const Span span = current_.span;
  advance();
  ORDEL_ASSIGN_OR_RETURN(Expr condition, parse_expression());
  ORDEL_ASSIGN_OR_RETURN(Block then_block, parse_block());
  std::optional<Block> else_block;
  if (peek(TokenKind::Else)) {
    advance();
    ORDEL_ASSIGN_OR_RETURN(else_block, parse_block());
  }
  return Stmt{Stmt::If{std::move(condition), std::move(then_block), std::move(else_block), span}};
}

// loop -> "loop" "(" expr "," expr ")" block
Result<Stmt> Parser::parse_loop() {
  const Span span = current_.span;
  advance();
  ORDEL_TRY(expect(TokenKind::LParen));
  ORDEL_ASSIGN_OR_RETURN(Expr condition, parse_expression());
  ORDEL_TRY(expect(TokenKind::Comma));
  ORDEL_ASSIGN_OR_RETURN(Expr max_iter, parse_expression());
  ORDEL_TRY(expect(TokenKind::RParen));
  ORDEL_ASSIGN_OR_RETURN(Block body, parse_block());
  return Stmt{Stmt::Loop{std::move(condition), std::move(max_iter), std::move(body), span}};
}

// return -> "return" [ expr ] ";"
Result<Stmt> Parser::parse_return() {
  const Span span = current_.span;
  advance();
  std::optional<Expr> value;
  if (!peek(TokenKind::Semicolon)) {
    ORDEL_ASSIGN_OR_RETURN(value, parse_expression());
  }
  ORDEL_TRY(expect(TokenKind::Semicolon));
  return Stmt{Stmt::Return{std::move(value), span}};
}

// match -> "match" expr "{" { match_arm } "}"
Result<Stmt> Parser::parse_match() {
  const Span span = current_.span;
  advance();
  ORDEL_ASSIGN_OR_RETURN(Expr value, parse_expression());
  ORDEL_TRY(expect(TokenKind::LBrace));
  std::vector<MatchArm> arms;
  while (!peek(TokenKind::RBrace) && !at_end()) {
    ORDEL_ASSIGN_OR_RETURN(MatchArm arm, parse_match_arm());
    arms.push_back(std::move(arm));
  }
  ORDEL_TRY(expect(TokenKind::RBrace));
  return Stmt{Stmt::Match{std::move(value), std::move(arms), span}};
}

// match_arm -> pattern "=>" ( block | expr ) [ "," ]
Result<MatchArm> Parser::parse_match_arm() {
  const Span span = current_.span;
  ORDEL_ASSIGN_OR_RETURN(Pattern pattern, parse_pattern());
  ORDEL_TRY(expect(TokenKind::FatArrow));
  Result<Expr> body = [&]() -> Result<Expr> {
    if (!peek(TokenKind::LBrace)) {
      return parse_expression();
    }
    ORDEL_ASSIGN_OR_RETURN(Block block, parse_block());
    const Span block_span = block.span;
    return Expr{Expr::Block{std::move(block), block_span}};
  }();
  if (!body) {
    return std::unexpected(std::move(body).error());
  }
  if (peek(TokenKind::Comma)) {
    advance();
  }
  return MatchArm{std::move(pattern), std::move(*body), span};
}

// expr_statement -> identifier ("=" | "+=" | "-=") expr ";" | expr ";"
Result<Stmt> Parser::parse_expression_statement() {
  ORDEL_ASSIGN_OR_RETURN(Expr expr, parse_expression());
  if (auto* target = std::get_if<Expr::Ident>(&expr.node)) {
    std::optional<AssignOp> op;
    switch (current_.kind) {
      case TokenKind::Assign: op = AssignOp::Assign; break;
      case TokenKind::PlusAssign: op = AssignOp::PlusAssign; break;
      case TokenKind::MinusAssign: op = AssignOp::MinusAssign; break;
      default: break;
    }
    if (op) {
      advance();
      ORDEL_ASSIGN_OR_RETURN(Expr value, parse_expression());
      ORDEL_TRY(expect(TokenKind::Semicolon));
      return Stmt{Stmt::Assign{std::move(target->name), *op, std::move(value), target->span}};
    }
  }
  ORDEL_TRY(expect(TokenKind::Semicolon));
  const Span span = expr.span();
  return Stmt{Stmt::Expr{std::move(expr), span}};
}

// pattern -> integer | float | string | "true" | "false" | identifier [ "." identifier ] | "_"
Result<Pattern> Parser::parse_pattern() {
  const Token token = current_;
  switch (token.kind) {
    case TokenKind::IntLiteral:
      advance();
      return Pattern{Pattern::IntLiteral{token.int_value}};
    case TokenKind::FloatLiteral:
      advance();
      return Pattern{Pattern::FloatLiteral{token.float_value}};
    case TokenKind::StringLiteral:
      advance();
      return Pattern{Pattern::StringLiteral{string_literal_value(token)}};
    case TokenKind::True:
    case TokenKind::False:
      advance();
      return Pattern{Pattern::BoolLiteral{token.kind == TokenKind::True}};
    case TokenKind::Underscore:
      advance();
      return Pattern{Pattern::Wildcard{}};
    case TokenKind::Identifier: {
      advance();
      if (!peek(TokenKind::Dot)) {
        return Pattern{Pattern::Ident{std::string(token.lexeme)}};
      }
      // Enum.Variant; capitalisation is not checked here.
      advance();
      ORDEL_ASSIGN_OR_RETURN(const Word variant, identifier());
      return Pattern{
          Pattern::EnumVariant{std::string(token.lexeme), std::string(variant.lexeme)}};
    }
    default:
      return fail_expected("pattern");
  }
}

}  // namespace ordel::parser_internal
