// check_expr for the general expressions: literals, names, operators, calls,
// pipelines, member access, contract construction, enumeration access,
// arrays, block expressions and indexing.
#include <array>
#include <charconv>
#include <utility>

#include "checker/checker.h"

namespace ordel {

namespace {

// Truncates a work stack back to its size at construction, on every exit.
template <typename T>
class StackMark {
 public:
  explicit StackMark(std::vector<T>& stack) : stack_(stack), base_(stack.size()) {}
  StackMark(const StackMark&) = delete;
  StackMark& operator=(const StackMark&) = delete;
  ~StackMark() { stack_.erase(stack_.begin() + static_cast<std::ptrdiff_t>(base_), stack_.end()); }
  [[nodiscard]] std::size_t base() const { return base_; }

 private:
  std::vector<T>& stack_;
  std::size_t base_;
};

std::unexpected<PolicyError> type_error(std::string message, const Span& span) {
  return fail(ErrorKind::TypeMismatch, std::move(message), span);
}

std::string decimal(std::size_t value) {
  std::array<char, 24> buffer{};
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  (void)ec;
  return std::string(buffer.data(), end);
}

bool is_numeric(const Type& type) { return type.is<Type::I64>() || type.is<Type::F64>(); }

// The operator table of binary expressions, on already checked operands.
Result<Type> apply_binary(BinaryOp op, Type left, Type right, const Span& span) {
  switch (op) {
    case BinaryOp::Add:
    case BinaryOp::Sub:
    case BinaryOp::Mul:
    case BinaryOp::Div:
    case BinaryOp::Mod:
      if (left.is<Type::Void>()) {
        return right;
      }
      if (right.is<Type::Void>()) {
        return left;
      }
      if (left.is<Type::I64>() && right.is<Type::I64>()) {
        return Type::I64{};
      }
      if (is_numeric(left) && is_numeric(right)) {
        return Type::F64{};
      }
      if (op == BinaryOp::Add && left.is<Type::String>() && right.is<Type::String>()) {
        return Type::String{};
      }
      return type_error("Cannot apply " + std::string(op_name(op)) + " to " + type_text(left) +
                            " and " + type_text(right),
                        span);
    case BinaryOp::Eq:
    case BinaryOp::NotEq:
      return Type::Bool{};
    case BinaryOp::Lt:
    case BinaryOp::Gt:
    case BinaryOp::LtEq:
    case BinaryOp::GtEq: {
      auto comparable = [](const Type& t) { return is_numeric(t) || t.is<Type::Void>(); };
      if (comparable(left) && comparable(right)) {
        return Type::Bool{};
      }
      return type_error("Cannot compare " + type_text(left) + " and " + type_text(right), span);
    }
    case BinaryOp::And:
    case BinaryOp::Or: {
      auto logical = [](const Type& t) { return t.is<Type::Bool>() || t.is<Type::Void>(); };
      if (logical(left) && logical(right)) {
        return Type::Bool{};
      }
      return type_error("Logical operators require bool, got " + type_text(left) + " and " +
                            type_text(right),
                        span);
    }
  }
  return Type::Void{};
}

Result<Type> apply_unary(UnaryOp op, Type operand, const Span& span) {
  switch (op) {
    case UnaryOp::Not:
      ORDEL_TRY(expect_type(Type::Bool{}, operand, span));
      return Type::Bool{};
    case UnaryOp::Neg:
      if (is_numeric(operand)) {
        return operand;
      }
      return type_error("Cannot negate type " + type_text(operand), span);
  }
  return Type::Void{};
}

// How a built-in function's result type is determined.
enum class BuiltinResult : std::uint8_t {
  Void,
  I64,
  F64,
  String,
  Bool,
  FirstOrF64,                // the first argument's type; f64 without arguments
  FirstOrArrayOfVoid,        // the first argument's type; [void] without arguments
  FirstOrMapOfStringToVoid,  // the first argument's type; Map<String, void> without arguments
  MapOfStringToVoid,
  ArrayOfString,
};

struct Builtin {
  std::string_view name;
  BuiltinResult result;
};

// Built-in functions win over user functions of the same name; their
// arguments are checked but neither counted nor compared.
constexpr std::array<Builtin, 25> kBuiltins = {{
    {"log", BuiltinResult::Void},
    {"print", BuiltinResult::Void},
    {"len", BuiltinResult::I64},
    {"length", BuiltinResult::I64},
    {"abs", BuiltinResult::FirstOrF64},
    {"sqrt", BuiltinResult::FirstOrF64},
    {"as_f64", BuiltinResult::F64},
    {"as_i64", BuiltinResult::I64},
    {"to_string", BuiltinResult::String},
    {"parse_int", BuiltinResult::I64},
    {"char_at", BuiltinResult::String},
    {"char_code", BuiltinResult::I64},
    {"char_from_code", BuiltinResult::String},
    {"substring", BuiltinResult::String},
    {"contains", BuiltinResult::Bool},
    {"bounded", BuiltinResult::Bool},
    {"push", BuiltinResult::FirstOrArrayOfVoid},
    {"map_new", BuiltinResult::MapOfStringToVoid},
    {"map_get", BuiltinResult::Void},
    {"map_insert", BuiltinResult::FirstOrMapOfStringToVoid},
    {"map_has_key", BuiltinResult::Bool},
    {"map_keys", BuiltinResult::ArrayOfString},
    {"map_size", BuiltinResult::I64},
    {"path_exists", BuiltinResult::Bool},
    {"path_is_safe", BuiltinResult::Bool},
}};

const Builtin* find_builtin(std::string_view name) {
  for (const Builtin& builtin : kBuiltins) {
    if (builtin.name == name) {
      return &builtin;
    }
  }
  return nullptr;
}

Type builtin_result(BuiltinResult result, const Type* first) {
  switch (result) {
    case BuiltinResult::Void:
      return Type::Void{};
    case BuiltinResult::I64:
      return Type::I64{};
    case BuiltinResult::F64:
      return Type::F64{};
    case BuiltinResult::String:
      return Type::String{};
    case BuiltinResult::Bool:
      return Type::Bool{};
    case BuiltinResult::FirstOrF64:
      return first != nullptr ? *first : Type(Type::F64{});
    case BuiltinResult::FirstOrArrayOfVoid:
      return first != nullptr ? *first : array_type(Type::Void{});
    case BuiltinResult::FirstOrMapOfStringToVoid:
      return first != nullptr ? *first : map_type(Type::String{}, Type::Void{});
    case BuiltinResult::MapOfStringToVoid:
      return map_type(Type::String{}, Type::Void{});
    case BuiltinResult::ArrayOfString:
      return array_type(Type::String{});
  }
  return Type::Void{};
}

}  // namespace

Result<Type> Checker::check_expr(const Expr& expr) {
  return std::visit(
      overloaded{
          [](const Expr::IntLiteral&) -> Result<Type> { return Type::I64{}; },
          [](const Expr::FloatLiteral&) -> Result<Type> { return Type::F64{}; },
          [](const Expr::StringLiteral&) -> Result<Type> { return Type::String{}; },
          [](const Expr::BoolLiteral&) -> Result<Type> { return Type::Bool{}; },
          [this](const Expr::Ident& ident) { return lookup_variable(ident.name, ident.span); },
          [this](const Expr::Binary& binary) { return check_spine(&binary); },
          [this](const Expr::Unary& unary) { return check_spine(&unary); },
          [this](const Expr::Call& call) { return check_call(call); },
          [this](const Expr::Pipeline& pipeline) { return check_spine(&pipeline); },
          [this](const Expr::FieldAccess& access) { return check_spine(&access); },
          [this](const Expr::ContractInit& init) { return check_contract_init(init); },
          [this](const Expr::Do& action) { return check_do(action); },
          [this](const Expr::QueryConscience& query) { return check_query_conscience(query); },
          [this](const Expr::DeclareAnomaly& anomaly) { return check_declare_anomaly(anomaly); },
          [this](const Expr::Collapse& collapse) { return check_collapse(collapse); },
          [this](const Expr::Resolve& resolve) { return check_resolve(resolve); },
          [this](const Expr::ArrayLiteral& array) { return check_array(array); },
          [this](const Expr::EnumAccess& access) { return check_enum_access(access); },
          [this](const Expr::Block& block) { return check_block_expr(block); },
          [this](const Expr::Index& index) { return check_spine(&index); },
      },
      expr.node);
}

// Operators, member access, indexing and pipelines check their left operand
// (or object) first. Chains of them (`a + b + c`, `x.a.b`, `v[0][1]`,
// `x |> f |> g`) nest to the left, so the spine is walked down in a loop,
// the innermost operand checked, and each node finished on the way back up:
// a chain costs one stack frame however long it is. Only right operands and
// indices recurse.
Result<Type> Checker::check_spine(SpineNode top) {
  StackMark<SpineNode> mark(spine_);
  const Expr* leaf = nullptr;
  for (SpineNode node = top;;) {
    spine_.push_back(node);
    const Expr& child = *std::visit(
        overloaded{
            [](const Expr::Binary* n) { return n->left.get(); },
            [](const Expr::Unary* n) { return n->operand.get(); },
            [](const Expr::Pipeline* n) { return n->left.get(); },
            [](const Expr::FieldAccess* n) { return n->object.get(); },
            [](const Expr::Index* n) { return n->object.get(); },
        },
        node);
    if (const auto* n = std::get_if<Expr::Binary>(&child.node)) {
      node = n;
    } else if (const auto* n = std::get_if<Expr::Unary>(&child.node)) {
      node = n;
    } else if (const auto* n = std::get_if<Expr::Pipeline>(&child.node)) {
      node = n;
    } else if (const auto* n = std::get_if<Expr::FieldAccess>(&child.node)) {
      node = n;
    } else if (const auto* n = std::get_if<Expr::Index>(&child.node)) {
      node = n;
    } else {
      leaf = &child;
      break;
    }
  }
  ORDEL_ASSIGN_OR_RETURN(Type type, check_expr(*leaf));
  // Nested checks push above this spine and restore it before returning, so
  // the entries below stay in place; read each by index, never by reference.
  for (std::size_t i = spine_.size(); i > mark.base(); --i) {
    ORDEL_ASSIGN_OR_RETURN(type, finish_spine(spine_[i - 1], std::move(type)));
  }
  return type;
}

Result<Type> Checker::finish_spine(SpineNode node, Type first) {
  return std::visit(
      overloaded{
          [&](const Expr::Binary* binary) -> Result<Type> {
            ORDEL_ASSIGN_OR_RETURN(Type right, check_expr(*binary->right));
            return apply_binary(binary->op, std::move(first), std::move(right), binary->span);
          },
          [&](const Expr::Unary* unary) -> Result<Type> {
            return apply_unary(unary->op, std::move(first), unary->span);
          },
          [&](const Expr::Pipeline* pipeline) -> Result<Type> {
            return check_pipeline(*pipeline, std::move(first));
          },
          [&](const Expr::FieldAccess* access) -> Result<Type> {
            return check_member(*access, std::move(first));
          },
          [&](const Expr::Index* index) -> Result<Type> {
            // The index may be of any type.
            ORDEL_TRY(check_expr(*index->index));
            if (first.is<Type::String>()) {
              return Type::String{};
            }
            if (const auto* array = std::get_if<Type::Array>(&first.node)) {
              return *array->element;
            }
            return Type::Void{};
          },
      },
      node);
}

Result<Type> Checker::check_call(const Expr::Call& call) {
  StackMark<Type> mark(arg_types_);
  for (const Expr& arg : call.args) {
    ORDEL_ASSIGN_OR_RETURN(Type type, check_expr(arg));
    arg_types_.push_back(std::move(type));
  }
  const std::size_t base = mark.base();
  if (const Builtin* builtin = find_builtin(call.name)) {
    return builtin_result(builtin->result, call.args.empty() ? nullptr : &arg_types_[base]);
  }
  auto it = functions_.find(call.name);
  if (it == functions_.end()) {
    return Type::Void{};
  }
  const Type::Function& function = it->second;
  if (function.params.size() != call.args.size()) {
    return fail(ErrorKind::ArgumentCount,
                "Function '" + call.name + "' expects " + decimal(function.params.size()) +
                    " arguments, got " + decimal(call.args.size()),
                call.span);
  }
  for (std::size_t i = 0; i < function.params.size(); ++i) {
    ORDEL_TRY(expect_type(function.params[i], arg_types_[base + i], call.span));
  }
  return *function.ret;
}

Result<Type> Checker::check_pipeline(const Expr::Pipeline& pipeline, Type left) {
  // Only user functions take a piped value; built-ins are not consulted.
  const std::string* name = nullptr;
  if (const auto* ident = std::get_if<Expr::Ident>(&pipeline.right->node)) {
    name = &ident->name;
  } else if (const auto* call = std::get_if<Expr::Call>(&pipeline.right->node)) {
    name = &call->name;
  }
  if (name != nullptr) {
    if (auto it = functions_.find(*name); it != functions_.end()) {
      const Type::Function& function = it->second;
      if (function.params.empty()) {
        return type_error("Function '" + *name + "' takes no arguments for pipeline",
                          pipeline.span);
      }
      // The call's own arguments, if any, are neither checked nor counted.
      ORDEL_TRY(expect_type(function.params.front(), left, pipeline.span));
      return *function.ret;
    }
  }
  ORDEL_TRY(check_expr(*pipeline.right));
  return Type::Void{};
}

Result<Type> Checker::check_member(const Expr::FieldAccess& access, Type object) const {
  if (const auto* sealed = std::get_if<Type::Sealed>(&object.node)) {
    return type_error("Cannot access field '" + access.field +
                          "' through Sealed type. Sealed values must be unwrapped via `do "
                          "Verify` before field access. Inner type: " +
                          type_text(*sealed->inner),
                      access.span);
  }
  const auto* contract = std::get_if<Type::Contract>(&object.node);
  if (contract == nullptr) {
    return Type::Void{};
  }
  auto it = contracts_.find(contract->name);
  if (it == contracts_.end()) {
    return type_error("Unknown contract '" + contract->name + "'", access.span);
  }
  if (const FieldInfo* field = it->second.find_field(access.field)) {
    return field->ty;
  }
  return type_error("Contract '" + contract->name + "' has no field '" + access.field + "'",
                    access.span);
}

Result<Type> Checker::check_contract_init(const Expr::ContractInit& init) {
  auto it = contracts_.find(init.name);
  if (it == contracts_.end()) {
    return type_error("Unknown contract '" + init.name + "'", init.span);
  }
  const ContractInfo& contract = it->second;
  for (const FieldValue& value : init.fields) {
    ORDEL_ASSIGN_OR_RETURN(Type type, check_expr(value.value));
    // Unknown names are ignored, and missing fields are not reported.
    if (const FieldInfo* field = contract.find_field(value.name)) {
      ORDEL_TRY(expect_type(field->ty, type, init.span));
    }
  }
  return Type::Contract{init.name};
}

Result<Type> Checker::check_enum_access(const Expr::EnumAccess& access) const {
  const auto& [enum_name, variant] = *access.names;
  auto it = enums_.find(enum_name);
  if (it == enums_.end()) {
    return Type::Void{};
  }
  if (!it->second.has_variant(variant)) {
    return type_error("Enum '" + enum_name + "' has no variant '" + variant + "'", access.span);
  }
  return Type::Enum{enum_name};
}

Result<Type> Checker::check_array(const Expr::ArrayLiteral& array) {
  if (array.elements.empty()) {
    return array_type(Type::Void{});
  }
  // Only the first element gives the element type; the others are checked
  // but not compared with it.
  ORDEL_ASSIGN_OR_RETURN(Type element, check_expr(array.elements.front()));
  for (std::size_t i = 1; i < array.elements.size(); ++i) {
    ORDEL_TRY(check_expr(array.elements[i]));
  }
  return array_type(std::move(element));
}

Result<Type> Checker::check_block_expr(const Expr::Block& block) {
  ORDEL_TRY(check_scoped_block(block.block));
  return Type::Void{};
}

}  // namespace ordel
