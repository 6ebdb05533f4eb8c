// Type expressions.
#include <memory>
#include <string>
#include <utility>

#include "parser/parser_internal.h"

namespace ordel::parser_internal {

// type -> "[" type "]"
//       | "Tensor" "[" [ tensor_dim { "," tensor_dim } ] "]"
//       | "Sealed" "<" type ">"
//       | "Map" "<" type "," type ">"
//       | identifier
Result<void> Parser::parse_type(TypeExpr& out) {
  const Span span = current_.span;
  const DepthGuard guard(*this);
  ORDEL_TRY(check_depth(0, span));
  if (peek(TokenKind::LBracket)) {
    advance();
    auto& array = out.node.emplace<TypeExpr::Array>(std::make_unique<TypeExpr>(), span);
    ORDEL_TRY(parse_type(*array.element));
    ORDEL_TRY(expect(TokenKind::RBracket));
    return {};
  }
  // Anything else that is not a type fails here as a missing identifier.
  ORDEL_ASSIGN_OR_RETURN(const Word name, identifier());
  // The three special names always take their brackets; they are matched
  // exactly as written.
  if (name.lexeme == "Tensor") {
    ORDEL_TRY(expect(TokenKind::LBracket));
    auto& tensor = out.node.emplace<TypeExpr::Tensor>(std::vector<TensorDim>(), span);
    if (!peek(TokenKind::RBracket)) {
      for (;;) {
        ORDEL_ASSIGN_OR_RETURN(TensorDim dim, parse_tensor_dim());
        tensor.dims.push_back(std::move(dim));
        if (!peek(TokenKind::Comma)) {
          break;
        }
        advance();
      }
    }
    ORDEL_TRY(expect(TokenKind::RBracket));
    return {};
  }
  if (name.lexeme == "Sealed") {
    ORDEL_TRY(expect(TokenKind::Lt));
    auto& sealed = out.node.emplace<TypeExpr::Sealed>(std::make_unique<TypeExpr>(), span);
    ORDEL_TRY(parse_type(*sealed.inner));
    ORDEL_TRY(expect(TokenKind::Gt));
    return {};
  }
  if (name.lexeme == "Map") {
    ORDEL_TRY(expect(TokenKind::Lt));
    auto& map = out.node.emplace<TypeExpr::Map>(std::make_unique<TypeExpr>(),
                                                std::make_unique<TypeExpr>(), span);
    ORDEL_TRY(parse_type(*map.key));
    ORDEL_TRY(expect(TokenKind::Comma));
    ORDEL_TRY(parse_type(*map.value));
    ORDEL_TRY(expect(TokenKind::Gt));
    return {};
  }
  auto& named = out.node.emplace<TypeExpr::Named>();
  named.name.assign(name.lexeme);
  named.span = span;
  return {};
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
