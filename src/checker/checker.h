// The static checker: gives every declaration and every expression in
// function bodies a type and rejects the policy at the first error.
//
// A Checker is created for one module, used for one `check_module` call on
// one thread and then discarded. Pass 1 registers functions, contracts,
// intents and enumerations (replacing built-in or earlier entries of the
// same name); pass 2 checks every function body in declaration order.
// Intent clauses, contract invariants and other expressions outside function
// bodies are not checked.
//
// The rules are lenient by design: an expression whose type cannot be
// determined is `void`, which is compatible with everything. The checker
// reports only TypeMismatch, UndefinedVariable and ArgumentCount, always with
// the span of the construct that failed. When an error is returned the
// checker's state is abandoned as it is (open scopes stay open).
//
// Recursion follows only the nesting of the syntax tree, whose depth the
// parser bounds; lists are looped over, and operator chains (`a + b + c`,
// `x.a.b`, `v[0][1]`, `x |> f |> g`) are walked iteratively, one stack frame
// per chain. Types that grow one level per statement are shared, never
// copied or released recursively. Checking is linear in the size of the
// module: variable lookups are hashed, and long field, input and variant
// lists are indexed.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "checker/types.h"
#include "lexer/diagnostics.h"
#include "parser/ast.h"

namespace ordel {

struct NameHash {
  using is_transparent = void;
  [[nodiscard]] std::size_t operator()(std::string_view name) const noexcept {
    return std::hash<std::string_view>{}(name);
  }
};

// A table keyed by name, exact and case-sensitive, searchable by string_view.
template <typename V>
using NameMap = std::unordered_map<std::string, V, NameHash, std::equal_to<>>;

// The first position of each name in an ordered list. Short lists are
// scanned; long ones get a hash index, so that a construction with thousands
// of fields stays linear.
class FirstIndex {
 public:
  static constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

  template <typename Entry, typename NameOf>
  void build(const std::vector<Entry>& entries, NameOf name_of) {
    index_.clear();
    if (entries.size() <= kScanLimit) {
      return;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
      index_.try_emplace(std::string(name_of(entries[i])), i);
    }
  }

  template <typename Entry, typename NameOf>
  [[nodiscard]] std::size_t find(const std::vector<Entry>& entries, NameOf name_of,
                                 std::string_view name) const {
    if (entries.size() > kScanLimit) {
      auto it = index_.find(name);
      return it == index_.end() ? kNotFound : it->second;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (name_of(entries[i]) == name) {
        return i;
      }
    }
    return kNotFound;
  }

 private:
  static constexpr std::size_t kScanLimit = 8;
  NameMap<std::size_t> index_;
};

// A named, typed entry: a contract field or an intent input or output.
struct FieldInfo {
  std::string name;
  Type ty;
};

struct ContractInfo {
  std::string name;
  std::vector<FieldInfo> fields;
  FirstIndex field_index;  // built by `index()`

  void index();
  // The first field of that name, or null.
  [[nodiscard]] const FieldInfo* find_field(std::string_view field) const;
};

struct IntentInfo {
  std::string name;
  std::vector<FieldInfo> takes;
  std::vector<FieldInfo> gives;
  FirstIndex takes_index;  // built by `index()`

  void index();
  // The first input of that name, or null.
  [[nodiscard]] const FieldInfo* find_input(std::string_view input) const;
};

struct EnumInfo {
  std::string name;
  std::vector<std::string> variants;
  FirstIndex variant_index;  // built by `index()`

  void index();
  [[nodiscard]] bool has_variant(std::string_view variant) const;
};

class Checker {
 public:
  // One empty scope and the built-in entries: the contract ConscienceQuery
  // and the enumerations QueryCategory, AnomalyType and Provenance.
  Checker();

  // The whole check: registration, then every function body.
  [[nodiscard]] Result<void> check_module(const Module& module);

  // Checks the statements in order in the current innermost scope (opens no
  // scope of its own).
  [[nodiscard]] Result<void> check_block(const Block& block);

  // The type of an expression, or its first error.
  [[nodiscard]] Result<Type> check_expr(const Expr& expr);

  // A name used as a value: variables from the innermost scope outward, then
  // contracts (a contract type), then enumerations (an enumeration type);
  // otherwise UndefinedVariable at `span`. Functions are not values.
  [[nodiscard]] Result<Type> lookup_variable(std::string_view name, const Span& span) const;

  // Binds `name` in the innermost scope, replacing a binding of the same name
  // there and shadowing any in outer scopes.
  void declare_variable(std::string_view name, Type type);

  void open_scope();
  // Drops the innermost scope with its bindings. The outermost scope stays.
  void close_scope();

 private:
  // A node whose first-checked child is its left operand or object.
  using SpineNode = std::variant<const Expr::Binary*, const Expr::Unary*, const Expr::Pipeline*,
                                 const Expr::FieldAccess*, const Expr::Index*>;

  struct Binding {
    Type type;
    std::size_t* slot;       // this name's entry in latest_
    std::size_t shadowed;    // the binding it hides, or kUnbound
  };
  static constexpr std::size_t kUnbound = static_cast<std::size_t>(-1);

  void register_declaration(const Declaration& declaration);
  [[nodiscard]] Result<void> check_function_body(const FunctionDecl& function);
  [[nodiscard]] Result<void> check_stmt(const Stmt& stmt);
  [[nodiscard]] Result<void> check_scoped_block(const Block& block);

  [[nodiscard]] Result<Type> check_spine(SpineNode top);
  [[nodiscard]] Result<Type> finish_spine(SpineNode node, Type first);
  [[nodiscard]] Result<Type> check_pipeline(const Expr::Pipeline& pipeline, Type left);
  [[nodiscard]] Result<Type> check_member(const Expr::FieldAccess& access, Type object) const;
  [[nodiscard]] Result<Type> check_call(const Expr::Call& call);
  [[nodiscard]] Result<Type> check_contract_init(const Expr::ContractInit& init);
  [[nodiscard]] Result<Type> check_enum_access(const Expr::EnumAccess& access) const;
  [[nodiscard]] Result<Type> check_array(const Expr::ArrayLiteral& array);
  [[nodiscard]] Result<Type> check_block_expr(const Expr::Block& block);

  [[nodiscard]] Result<Type> check_do(const Expr::Do& action);
  [[nodiscard]] Result<Type> check_query_conscience(const Expr::QueryConscience& query);
  [[nodiscard]] Result<Type> check_declare_anomaly(const Expr::DeclareAnomaly& anomaly);
  [[nodiscard]] Result<Type> check_collapse(const Expr::Collapse& collapse);
  [[nodiscard]] Result<Type> check_resolve(const Expr::Resolve& resolve);
  // Checks every value of a name-value list in order, discarding the types.
  [[nodiscard]] Result<void> check_values(const std::vector<FieldValue>& values);

  // Scopes: all bindings in one stack, scope_starts_ marking where each scope
  // begins, and latest_ pointing at each name's innermost binding.
  std::vector<Binding> bindings_;
  std::vector<std::size_t> scope_starts_;
  NameMap<std::size_t> latest_;

  NameMap<ContractInfo> contracts_;
  NameMap<IntentInfo> intents_;
  NameMap<EnumInfo> enums_;
  NameMap<Type::Function> functions_;

  // Work stacks shared by nested checks, each used strictly last-in
  // first-out: the spine being walked and the argument types of calls.
  std::vector<SpineNode> spine_;
  std::vector<Type> arg_types_;
};

}  // namespace ordel
