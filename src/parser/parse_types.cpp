// Type expressions.
#include <string>
#include <utility>

#include "parser/parser_internal.h"

namespace ordel::parser_internal {

namespace {

TypeExprPtr boxed(TypeExpr type) { return std::make_unique<TypeExpr>(std::move(type)); }

}  // namespace

// type -> "[" type "]"
//       | "Tensor" "[" [ tensor_dim { "," tensor_dim } ] "]"
//       | "Sealed" "<" type ">"
//       | "Map" "<" type "," type ">"
//       | identifier
Result<TypeExpr> Parser::parse_type() {
  const Span span = current_.span;
  const DepthGuard guard(*this);
  ORDEL_TRY(check_depth(0, span));
  if (peek(TokenKind::LBracket)) {
    advance();
    ORDEL_ASSIGN_OR_RETURN(TypeExpr element, parse_type());
    ORDEL_TRY(expect(TokenKind::RBracket));
    return TypeExpr{TypeExpr::Array{boxed(std::move(element)), span}};
  }
  // Anything else that is not a type fails here as a missing identifier.
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  // The three special names always take their brackets; they are matched
  // exactly as written.
  if (name.lexeme == "Tensor") {
    ORDEL_TRY(expect(TokenKind::LBracket));
    std::vector<TensorDim> dims;
    if (!peek(TokenKind::RBracket)) {
      for (;;) {
        ORDEL_ASSIGN_OR_RETURN(TensorDim dim, parse_tensor_dim());
        dims.push_back(std::move(dim));
        if (!peek(TokenKind::Comma)) {
          break;
        }
        advance();
      }
    }
    ORDEL_TRY(expect(TokenKind::RBracket));
    return TypeExpr{TypeExpr::Tensor{std::move(dims), span}};
  }
  if (name.lexeme == "Sealed") {
    ORDEL_TRY(expect(TokenKind::Lt));
    ORDEL_ASSIGN_OR_RETURN(TypeExpr inner, parse_type());
    ORDEL_TRY(expect(TokenKind::Gt));
    return TypeExpr{TypeExpr::Sealed{boxed(std::move(inner)), span}};
  }
  if (name.lexeme == "Map") {
    ORDEL_TRY(expect(TokenKind::Lt));
    ORDEL_ASSIGN_OR_RETURN(TypeExpr key, parse_type());
    ORDEL_TRY(expect(TokenKind::Comma));
    ORDEL_ASSIGN_OR_RETURN(TypeExpr value, parse_type());
    ORDEL_TRY(expect(TokenKind::Gt));
    return TypeExpr{TypeExpr::Map{boxed(std::move(key)), boxed(std::move(value)), span}};
  }
  return TypeExpr{TypeExpr::Named{std::string(name.lexeme), span}};
}

// tensor_dim -> "?" | integer | identifier
//
// Each result is built in place: moving a finished TensorDim into the Result
// trips a false -Wmaybe-uninitialized in GCC 12 under the sanitizers.
Result<TensorDim> Parser::parse_tensor_dim() {
  if (peek(TokenKind::Question)) {
    advance();
    return Result<TensorDim>(std::in_place, TensorDim::Wildcard{});
  }
  if (peek(TokenKind::IntLiteral)) {
    const auto size = static_cast<std::uint64_t>(current_.int_value);
    advance();
    return Result<TensorDim>(std::in_place, TensorDim::Fixed{size});
  }
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  return Result<TensorDim>(std::in_place, TensorDim::Named{std::string(name.lexeme)});
}

}  // namespace ordel::parser_internal
