// Blocks, statements, match arms and patterns.
#include <string>
#include <utility>

#include "parser/parser_internal.h"

namespace ordel::parser_internal {

// block -> "{" { statement } "}"
Result<void> Parser::parse_block(Block& out) {
  out.span = current_.span;
  ORDEL_TRY(expect(TokenKind::LBrace));
  const DepthGuard guard(*this);
  ORDEL_TRY(check_depth(0, out.span));
  const std::size_t mark = stmts_.mark();
  Stmt stmt;
  while (!peek(TokenKind::RBrace) && !at_end()) {
    ORDEL_TRY(parse_statement(stmt));
    stmts_.push(std::move(stmt));
  }
  ORDEL_TRY(expect(TokenKind::RBrace));
  stmts_.move_since(mark, out.stmts);
  return {};
}

// statement -> let | if | match | loop | return | "break" ";" | "continue" ";"
//            | expr_statement
Result<void> Parser::parse_statement(Stmt& out) {
  switch (current_.kind) {
    case TokenKind::Let:
      return parse_let(out);
    case TokenKind::If:
      return parse_if(out);
    case TokenKind::Match:
      return parse_match(out);
    case TokenKind::Loop:
      return parse_loop(out);
    case TokenKind::Return:
      return parse_return(out);
    case TokenKind::Break:
      out.node.emplace<Stmt::Break>(current_.span);
      advance();
      ORDEL_TRY(expect(TokenKind::Semicolon));
      return {};
    case TokenKind::Continue:
      out.node.emplace<Stmt::Continue>(current_.span);
      advance();
      ORDEL_TRY(expect(TokenKind::Semicolon));
      return {};
    default:
      return parse_expression_statement(out);
  }
}

// let -> "let" identifier [ ":" type ] "=" expr ";"
Result<void> Parser::parse_let(Stmt& out) {
  auto& let = out.node.emplace<Stmt::Let>();
  let.span = current_.span;
  advance();
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  let.name.assign(name.lexeme);
  if (peek(TokenKind::Colon)) {
    advance();
    ORDEL_TRY(parse_type(let.ty.emplace()));
  }
  ORDEL_TRY(expect(TokenKind::Assign));
  ORDEL_TRY(parse_expression(let.value));
  ORDEL_TRY(expect(TokenKind::Semicolon));
  return {};
}

// if -> "if" expr block [ "else" block ]
Result<void> Parser::parse_if(Stmt& out) {
  auto& branch = out.node.emplace<Stmt::If>();
  branch.span = current_.span;
  advance();
  ORDEL_TRY(parse_expression(branch.condition));
  ORDEL_TRY(parse_block(branch.then_block));
  if (peek(TokenKind::Else)) {
    advance();
    ORDEL_TRY(parse_block(branch.else_block.emplace()));
  }
  return {};
}

// loop -> "loop" "(" expr "," expr ")" block
Result<void> Parser::parse_loop(Stmt& out) {
  auto& loop = out.node.emplace<Stmt::Loop>();
  loop.span = current_.span;
  advance();
  ORDEL_TRY(expect(TokenKind::LParen));
  ORDEL_TRY(parse_expression(loop.condition));
  ORDEL_TRY(expect(TokenKind::Comma));
  ORDEL_TRY(parse_expression(loop.max_iter));
  ORDEL_TRY(expect(TokenKind::RParen));
  ORDEL_TRY(parse_block(loop.body));
  return {};
}

// return -> "return" [ expr ] ";"
Result<void> Parser::parse_return(Stmt& out) {
  auto& ret = out.node.emplace<Stmt::Return>();
  ret.span = current_.span;
  advance();
  if (!peek(TokenKind::Semicolon)) {
    ORDEL_TRY(parse_expression(ret.value.emplace()));
  }
  ORDEL_TRY(expect(TokenKind::Semicolon));
  return {};
}

// match -> "match" expr "{" { match_arm } "}"
Result<void> Parser::parse_match(Stmt& out) {
  auto& match = out.node.emplace<Stmt::Match>();
  match.span = current_.span;
  advance();
  ORDEL_TRY(parse_expression(match.value));
  ORDEL_TRY(expect(TokenKind::LBrace));
  const std::size_t mark = arms_.mark();
  MatchArm arm;
  while (!peek(TokenKind::RBrace) && !at_end()) {
    ORDEL_TRY(parse_match_arm(arm));
    arms_.push(std::move(arm));
  }
  ORDEL_TRY(expect(TokenKind::RBrace));
  arms_.move_since(mark, match.arms);
  return {};
}

// match_arm -> pattern "=>" ( block | expr ) [ "," ]
Result<void> Parser::parse_match_arm(MatchArm& out) {
  out.span = current_.span;
  ORDEL_TRY(parse_pattern(out.pattern));
  ORDEL_TRY(expect(TokenKind::FatArrow));
  if (peek(TokenKind::LBrace)) {
    auto& block = out.body.node.emplace<Expr::Block>();
    ORDEL_TRY(parse_block(block.block));
    block.span = block.block.span;
  } else {
    ORDEL_TRY(parse_expression(out.body));
  }
  if (peek(TokenKind::Comma)) {
    advance();
  }
  return {};
}

// expr_statement -> identifier ("=" | "+=" | "-=") expr ";" | expr ";"
Result<void> Parser::parse_expression_statement(Stmt& out) {
  auto& statement = out.node.emplace<Stmt::Expr>();
  ORDEL_TRY(parse_expression(statement.expr));
  if (auto* target = std::get_if<Expr::Ident>(&statement.expr.node)) {
    std::optional<AssignOp> op;
    switch (current_.kind) {
      case TokenKind::Assign: op = AssignOp::Assign; break;
      case TokenKind::PlusAssign: op = AssignOp::PlusAssign; break;
      case TokenKind::MinusAssign: op = AssignOp::MinusAssign; break;
      default: break;
    }
    if (op) {
      advance();
      std::string name = std::move(target->name);
      const Span span = target->span;
      auto& assign = out.node.emplace<Stmt::Assign>();
      assign.target = std::move(name);
      assign.op = *op;
      assign.span = span;
      ORDEL_TRY(parse_expression(assign.value));
      ORDEL_TRY(expect(TokenKind::Semicolon));
      return {};
    }
  }
  ORDEL_TRY(expect(TokenKind::Semicolon));
  statement.span = statement.expr.span();
  return {};
}

// pattern -> integer | float | string | "true" | "false" | identifier [ "." identifier ] | "_"
Result<void> Parser::parse_pattern(Pattern& out) {
  switch (current_.kind) {
    case TokenKind::IntLiteral:
      out.node.emplace<Pattern::IntLiteral>(current_.int_value);
      advance();
      return {};
    case TokenKind::FloatLiteral:
      out.node.emplace<Pattern::FloatLiteral>(current_.float_value);
      advance();
      return {};
    case TokenKind::StringLiteral:
      out.node.emplace<Pattern::StringLiteral>(string_literal_value(current_));
      advance();
      return {};
    case TokenKind::True:
    case TokenKind::False:
      out.node.emplace<Pattern::BoolLiteral>(current_.kind == TokenKind::True);
      advance();
      return {};
    case TokenKind::Underscore:
      out.node.emplace<Pattern::Wildcard>();
      advance();
      return {};
    case TokenKind::Identifier: {
      const std::string_view name = current_.lexeme;
      advance();
      if (!peek(TokenKind::Dot)) {
        out.node.emplace<Pattern::Ident>(std::string(name));
        return {};
      }
      // Enum.Variant; capitalisation is not checked here.
      advance();
      ORDEL_ASSIGN_OR_RETURN(const Word variant, identifier());
      out.node.emplace<Pattern::EnumVariant>(std::string(name), std::string(variant.lexeme));
      return {};
    }
    default:
      return fail_expected("pattern");
  }
}

}  // namespace ordel::parser_internal
