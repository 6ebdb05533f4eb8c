// The syntax tree of one policy source.
//
// Plain owned values: every node owns its children (recursive children
// through std::unique_ptr, lists directly in std::vector, in source order);
// no parent links, no sharing. Each family is a struct holding a std::variant
// of its node structs, in the language's declared order. A node's Span is the
// span of one token (its leading keyword, name or operator), not of the whole
// construct. Written by the parser, then only read.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "lexer/diagnostics.h"

namespace ordel {

struct Expr;
struct Stmt;
struct TypeExpr;
struct FieldValue;
using ExprPtr = std::unique_ptr<Expr>;
using TypeExprPtr = std::unique_ptr<TypeExpr>;

// Matches any number of callables for std::visit.
template <typename... Fs>
struct overloaded : Fs... {
  using Fs::operator()...;
};
template <typename... Fs>
overloaded(Fs...) -> overloaded<Fs...>;

enum class BinaryOp : std::uint8_t { Add, Sub, Mul, Div, Mod, Eq, NotEq, Lt, Gt, LtEq, GtEq, And, Or };
inline constexpr std::string_view kBinaryOpNames[] = {"Add", "Sub",  "Mul", "Div",  "Mod",
                                                      "Eq",  "NotEq", "Lt", "Gt",   "LtEq",
                                                      "GtEq", "And", "Or"};
static_assert(std::size(kBinaryOpNames) == static_cast<std::size_t>(BinaryOp::Or) + 1);

enum class UnaryOp : std::uint8_t { Neg, Not };
inline constexpr std::string_view kUnaryOpNames[] = {"Neg", "Not"};

enum class AssignOp : std::uint8_t { Assign, PlusAssign, MinusAssign };
inline constexpr std::string_view kAssignOpNames[] = {"Assign", "PlusAssign", "MinusAssign"};

[[nodiscard]] constexpr std::string_view op_name(BinaryOp op) {
  return kBinaryOpNames[static_cast<std::size_t>(op)];
}
[[nodiscard]] constexpr std::string_view op_name(UnaryOp op) {
  return kUnaryOpNames[static_cast<std::size_t>(op)];
}
[[nodiscard]] constexpr std::string_view op_name(AssignOp op) {
  return kAssignOpNames[static_cast<std::size_t>(op)];
}

// ---- Types ----------------------------------------------------------------

struct TensorDim {
  struct Named {
    std::string name;
  };
  struct Fixed {
    std::uint64_t size = 0;
  };
  struct Wildcard {};
  std::variant<Named, Fixed, Wildcard> value;
};

struct TypeExpr {
  struct Named {
    std::string name;
    Span span;
  };
  // [T]
  struct Array {
    TypeExprPtr element;
    Span span;
  };
  // Map<K, V>
  struct Map {
    TypeExprPtr key;
    TypeExprPtr value;
    Span span;
  };
  // Tensor[d, ...]
  struct Tensor {
    std::vector<TensorDim> dims;
    Span span;
  };
  // Sealed<T>
  struct Sealed {
    TypeExprPtr inner;
    Span span;
  };
  std::variant<Named, Array, Map, Tensor, Sealed> node;

  [[nodiscard]] Span span() const {
    return std::visit([](const auto& n) { return n.span; }, node);
  }
};
static_assert(std::variant_size_v<decltype(TypeExpr::node)> == 5);

// ---- Expressions ----------------------------------------------------------

struct Block {
  std::vector<Stmt> stmts;
  Span span;  // the `{` token
};

struct Expr {
  // The first alternative has no default member initializer, so that the
  // variant below is default-constructible (GCC decides that before it has
  // read the initializers of nested structs); value-initialisation still
  // makes it zero.
  struct IntLiteral {
    std::int64_t value;
    Span span;
  };
  struct FloatLiteral {
    double value = 0;
    Span span;
  };
  struct StringLiteral {
    std::string value;  // escapes decoded
    Span span;
  };
  struct BoolLiteral {
    bool value = false;
    Span span;
  };
  struct Ident {
    std::string name;
    Span span;
  };
  struct Binary {
    ExprPtr left;
    BinaryOp op = BinaryOp::Add;
    ExprPtr right;
    Span span;  // the operator
  };
  struct Unary {
    UnaryOp op = UnaryOp::Neg;
    ExprPtr operand;
    Span span;  // the operator
  };
  struct Call {
    std::string name;  // "Enum.Variant" for a qualified call
    std::vector<Expr> args;
    Span span;
  };
  // left |> right
  struct Pipeline {
    ExprPtr left;
    ExprPtr right;
    Span span;
  };
  struct FieldAccess {
    ExprPtr object;
    std::string field;
    Span span;  // the `.`
  };
  struct ContractInit {
    std::string name;
    std::vector<FieldValue> fields;
    Span span;
  };
  struct Do {
    std::string action;
    std::vector<FieldValue> args;
    Span span;
  };
  struct QueryConscience {
    std::string predicate;
    std::vector<FieldValue> args;
    Span span;
  };
  struct DeclareAnomaly {
    ExprPtr subject;
    std::vector<FieldValue> details;
    Span span;
  };
  struct Collapse {
    ExprPtr operand;
    Span span;
  };
  struct Resolve {
    ExprPtr operand;
    Span span;
  };
  struct ArrayLiteral {
    std::vector<Expr> elements;
    Span span;  // the `[`
  };
  // Enum.Variant. The two names live in a heap box (never null in a parsed
  // tree): the node is rare, and held inline they would make every
  // expression node larger.
  struct EnumAccess {
    struct Names {
      std::string enum_name;
      std::string variant;
    };
    std::unique_ptr<Names> names;
    Span span;
  };
  struct Block {
    ordel::Block block;
    Span span;  // a copy of the block's span
  };
  struct Index {
    ExprPtr object;
    ExprPtr index;
    Span span;  // the `[`
  };

  std::variant<IntLiteral, FloatLiteral, StringLiteral, BoolLiteral, Ident, Binary, Unary, Call,
               Pipeline, FieldAccess, ContractInit, Do, QueryConscience, DeclareAnomaly, Collapse,
               Resolve, ArrayLiteral, EnumAccess, Block, Index>
      node;

  [[nodiscard]] Span span() const {
    return std::visit([](const auto& n) { return n.span; }, node);
  }
};
static_assert(std::variant_size_v<decltype(Expr::node)> == 20);
// Expressions are the most numerous nodes: no alternative may grow past the
// largest ones that must stay inline (a name, a list and a span).
static_assert(sizeof(Expr) <= sizeof(Expr::Call) + sizeof(std::size_t));

// `name: value` in contract initialisations, `do`, `query_conscience` and
// `declare_anomaly`. Names may repeat; the parser does not check them.
struct FieldValue {
  std::string name;
  Expr value;
};

// ---- Patterns and statements ----------------------------------------------

struct Pattern {
  // No default member initializer, as for Expr::IntLiteral.
  struct IntLiteral {
    std::int64_t value;
  };
  struct FloatLiteral {
    double value = 0;
  };
  struct StringLiteral {
    std::string value;
  };
  struct BoolLiteral {
    bool value = false;
  };
  struct Ident {
    std::string name;
  };
  struct Wildcard {};
  struct EnumVariant {
    std::string enum_name;
    std::string variant;
  };
  std::variant<IntLiteral, FloatLiteral, StringLiteral, BoolLiteral, Ident, Wildcard, EnumVariant>
      node;
};
static_assert(std::variant_size_v<decltype(Pattern::node)> == 7);

struct MatchArm {
  Pattern pattern;
  Expr body;
  Span span;  // the pattern's first token
};

struct Stmt {
  struct Let {
    std::string name;
    std::optional<TypeExpr> ty;
    ordel::Expr value;
    Span span;
  };
  struct Return {
    std::optional<ordel::Expr> value;
    Span span;
  };
  struct If {
    ordel::Expr condition;
    ordel::Block then_block;
    std::optional<ordel::Block> else_block;
    Span span;
  };
  struct Loop {
    ordel::Expr condition;
    ordel::Expr max_iter;
    ordel::Block body;
    Span span;
  };
  struct Match {
    ordel::Expr value;
    std::vector<MatchArm> arms;
    Span span;
  };
  struct Expr {
    ordel::Expr expr;
    Span span;  // a copy of the expression's span
  };
  struct Assign {
    std::string target;
    AssignOp op = AssignOp::Assign;
    ordel::Expr value;
    Span span;  // the target's token
  };
  struct Break {
    Span span;
  };
  struct Continue {
    Span span;
  };
  std::variant<Let, Return, If, Loop, Match, Expr, Assign, Break, Continue> node;

  [[nodiscard]] Span span() const {
    return std::visit([](const auto& n) { return n.span; }, node);
  }
};
static_assert(std::variant_size_v<decltype(Stmt::node)> == 9);

// ---- Declarations ---------------------------------------------------------

struct AttributeArg {
  // key: value
  struct Named {
    std::string key;
    std::string value;
  };
  struct Positional {
    std::string value;
  };
  std::variant<Named, Positional> node;
};

// [Name] or [Name(args)]; key and value texts are raw token lexemes.
struct Attribute {
  std::string name;
  std::vector<AttributeArg> args;
  Span span;  // the `[`
};

struct Param {
  std::string name;
  TypeExpr ty;
  Span span;  // the name
};

struct ContractField {
  std::string name;
  TypeExpr ty;
  std::optional<std::string> conflict;
  std::uint32_t index = 0;  // low 32 bits of the number after `@`
  Span span;                // the `@`
};

struct IntentBound {
  std::string name;
  std::string value;  // lexemes between the parentheses, concatenated
  Span span;          // the name
};

struct VariantDecl {
  std::string name;
  std::vector<Param> fields;
  Span span;  // the name
};

struct ImportDecl {
  std::string path;
  Span span;
};

struct FunctionDecl {
  std::string name;
  std::vector<Param> params;
  std::optional<TypeExpr> return_type;
  Block body;
  std::vector<Attribute> attributes;
  Span span;  // the `fn` keyword, also after `export`
  bool exported = false;
};

struct ContractDecl {
  std::string name;
  std::vector<ContractField> fields;
  std::optional<std::vector<Expr>> invariants;
  std::optional<std::vector<std::string>> composition;  // contract Name = A + B;
  Span span;
};

struct IntentDecl {
  std::string name;
  std::vector<Param> takes;
  std::vector<Param> gives;
  std::vector<Expr> pre;
  std::vector<Expr> post;
  std::vector<IntentBound> bound;
  std::optional<std::string> effect;
  std::vector<std::string> conscience;
  std::optional<std::string> fallback;
  std::optional<std::string> rollback;
  std::optional<std::string> trace;  // never filled by the parser
  std::optional<std::int64_t> ring;
  std::optional<std::vector<std::string>> composition;  // intent Name = A >> B;
  std::vector<Attribute> attributes;
  Span span;
};

struct EnumDecl {
  std::string name;
  std::vector<VariantDecl> variants;
  Span span;
};

struct TensorOpDecl {
  std::string name;
  std::vector<Param> takes;
  std::vector<Param> gives;
  std::optional<Expr> expression;  // never filled by the parser
  Span span;
};

struct Declaration {
  std::variant<ImportDecl, FunctionDecl, ContractDecl, IntentDecl, EnumDecl, TensorOpDecl> node;
};
static_assert(std::variant_size_v<decltype(Declaration::node)> == 6);

struct Module {
  std::string name;
  std::vector<Declaration> declarations;
  std::vector<Attribute> attributes;
  Span span;  // the first token of the source
};

// Structural debug rendering: a deterministic text that starts with the
// node's variant name and shows its components (not its span) in declared
// order, e.g. Binary(Ident("a"), Add, IntLiteral(1)). Texts are quoted with
// " \ and control characters escaped. The pre-condition evaluator uses an
// expression's rendering as its text value, so the form is part of the
// language's observable behaviour: change it only deliberately.
[[nodiscard]] std::string debug_text(const Expr& expr);
[[nodiscard]] std::string debug_text(const Stmt& stmt);
[[nodiscard]] std::string debug_text(const TypeExpr& type);
[[nodiscard]] std::string debug_text(const Pattern& pattern);
[[nodiscard]] std::string debug_text(const Declaration& declaration);
[[nodiscard]] std::string debug_text(const Module& module);

}  // namespace ordel
