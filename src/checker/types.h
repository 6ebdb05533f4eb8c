// The checker's types: Type, its text form, resolution of written types and
// the one compatibility rule.
//
// Types are plain values with value semantics. Nothing mutates a type once it
// is built, so copies share their nested parts (array elements, map keys and
// values, sealed inner types, function results) instead of duplicating them:
// copying any type costs O(1), and releasing the last copy of an arbitrarily
// deep type runs without recursion. Scalar types allocate nothing.
//
// The compatibility rule is deliberately shallow: only the outermost
// constructor is compared, except for tensors (dimensions) and sealed values
// (inner types); `void` is compatible with everything.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "lexer/diagnostics.h"
#include "parser/ast.h"

namespace ordel {

struct Type;

template <typename T, typename Variant>
inline constexpr bool kIsAlternative = false;
template <typename T, typename... Ts>
inline constexpr bool kIsAlternative<T, std::variant<Ts...>> = (std::is_same_v<T, Ts> || ...);

// A shared, immutable hold on a nested Type. Never empty except after being
// moved from.
class TypeBox {
 public:
  explicit TypeBox(Type type);
  TypeBox(const TypeBox&) = default;
  TypeBox(TypeBox&&) noexcept = default;
  // Copy-and-swap: the previous content is released by `other`'s destructor.
  TypeBox& operator=(TypeBox other) noexcept {
    p_.swap(other.p_);
    return *this;
  }
  ~TypeBox();

  [[nodiscard]] const Type& get() const noexcept { return *p_; }
  [[nodiscard]] const Type& operator*() const noexcept { return *p_; }
  [[nodiscard]] const Type* operator->() const noexcept { return p_.get(); }

 private:
  friend struct TypeRelease;
  std::shared_ptr<Type> p_;
};

struct Type {
  struct I64 {};
  struct F64 {};
  struct Bool {};
  struct String {};
  struct Bytes {};
  struct Handle {};
  struct Provenance {};
  struct Seed {};
  struct AgentId {};
  struct PrivilegeId {};
  struct Void {};
  // [element]
  struct Array {
    TypeBox element;
  };
  // Map<key, value>
  struct Map {
    TypeBox key;
    TypeBox value;
  };
  // Tensor[dims...]; a tensor has no element type.
  struct Tensor {
    std::vector<TensorDim> dims;
  };
  // Sealed<inner>
  struct Sealed {
    TypeBox inner;
  };
  struct Contract {
    std::string name;
  };
  struct Enum {
    std::string name;
  };
  // The recorded type of a user-declared function; no expression has it.
  struct Function {
    std::vector<Type> params;
    TypeBox ret;
  };
  // The result of `do` on an intent that does not declare exactly one output.
  struct IntentResult {
    std::string name;
  };

  using Node = std::variant<I64, F64, Bool, String, Bytes, Handle, Provenance, Seed, AgentId,
                            PrivilegeId, Void, Array, Map, Tensor, Sealed, Contract, Enum, Function,
                            IntentResult>;

  // The real `void`, which no written type produces.
  Type() : node(Void{}) {}

  // Implicit on purpose, so that `Type t = Type::I64{};` reads naturally.
  template <typename T>
    requires kIsAlternative<std::remove_cvref_t<T>, Node>
  Type(T&& alternative) : node(std::forward<T>(alternative)) {}  // NOLINT

  template <typename T>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<T>(node);
  }

  Node node;
};
static_assert(std::variant_size_v<Type::Node> == 19);

// Number of variants without payload (i64 up to and including void); they
// come first, in this order.
inline constexpr std::size_t kPlainTypeCount = 11;
static_assert(std::is_same_v<std::variant_alternative_t<kPlainTypeCount - 1, Type::Node>, Type::Void>);

[[nodiscard]] inline Type array_type(Type element) {
  return Type::Array{TypeBox(std::move(element))};
}
[[nodiscard]] inline Type map_type(Type key, Type value) {
  return Type::Map{TypeBox(std::move(key)), TypeBox(std::move(value))};
}
[[nodiscard]] inline Type sealed_type(Type inner) {
  return Type::Sealed{TypeBox(std::move(inner))};
}

// The text form shown in every checker message: "i64", "[String]",
// "Map<String, [i64]>", "Tensor[3, ?, batch]", "Sealed<Report>", a contract's
// or enumeration's bare name, "fn(i64, [String]) -> bool", "IntentResult<Fetch>".
// Runs without recursion, however deep the type.
[[nodiscard]] std::string type_text(const Type& type);

// Turns a written type into a Type. Never fails and consults no table: the ten
// built-in scalar names map to their variants, every other name (including
// "void" and the names of enumerations) to a contract type of that name.
// Recursion follows the written type, whose depth the parser bounds.
[[nodiscard]] Type resolve_type(const TypeExpr& type);

// The compatibility rule for a value of type `found` flowing into a place of
// type `expected`. Fails with a TypeMismatch carrying `span`.
[[nodiscard]] Result<void> expect_type(const Type& expected, const Type& found, const Span& span);

}  // namespace ordel
