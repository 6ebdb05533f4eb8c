#include "checker/types.h"

#include <array>
#include <charconv>
#include <string_view>
#include <utility>

namespace ordel {

namespace {

// Text forms of the variants without payload, in variant order.
constexpr std::array<std::string_view, kPlainTypeCount> kPlainTypeTexts = {
    "i64",  "f64",   "bool", "String",  "Bytes",       "Handle",
    "Provenance", "Seed", "AgentId", "PrivilegeId", "void",
};

// Written names of the built-in scalar types: the first ten variants. "void"
// is deliberately absent: a written void is a contract name.
constexpr std::size_t kWrittenScalarCount = kPlainTypeCount - 1;

template <std::size_t... I>
Type plain_type_at(std::size_t index, std::index_sequence<I...> /*unused*/) {
  Type type;
  (void)((index == I ? (type.node.template emplace<I>(), true) : false) || ...);
  return type;
}

std::string decimal(std::uint64_t value) {
  std::array<char, 24> buffer{};
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  (void)ec;
  return std::string(buffer.data(), end);
}

void append_dim(std::string& out, const TensorDim& dim) {
  std::visit(overloaded{
                 [&](const TensorDim::Named& named) { out += named.name; },
                 [&](const TensorDim::Fixed& fixed) { out += decimal(fixed.size); },
                 [&](const TensorDim::Wildcard&) { out += '?'; },
             },
             dim.value);
}

std::unexpected<PolicyError> mismatch(std::string message, const Span& span) {
  return fail(ErrorKind::TypeMismatch, std::move(message), span);
}

// Compares two tensor types' dimensions; the first failing pair decides.
Result<void> expect_dims(const std::vector<TensorDim>& expected,
                         const std::vector<TensorDim>& found, const Span& span) {
  if (expected.size() != found.size()) {
    return mismatch("Tensor rank mismatch: expected " + decimal(expected.size()) +
                        " dimensions, found " + decimal(found.size()),
                    span);
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& want = expected[i].value;
    const auto& have = found[i].value;
    if (const auto* a = std::get_if<TensorDim::Fixed>(&want)) {
      const auto* b = std::get_if<TensorDim::Fixed>(&have);
      if (b != nullptr && a->size != b->size) {
        return mismatch("Tensor dimension " + decimal(i) + " size mismatch: expected " +
                            decimal(a->size) + ", found " + decimal(b->size),
                        span);
      }
    } else if (const auto* a = std::get_if<TensorDim::Named>(&want)) {
      const auto* b = std::get_if<TensorDim::Named>(&have);
      if (b != nullptr && a->name != b->name) {
        return mismatch("Tensor dimension " + decimal(i) + " name mismatch: expected '" + a->name +
                            "', found '" + b->name + "'",
                        span);
      }
    }
    // An expected wildcard, or a mixed pair, passes.
  }
  return {};
}

bool is_numeric(const Type& type) { return type.is<Type::I64>() || type.is<Type::F64>(); }

}  // namespace

// Release of the last hold on a type whose nested parts are held only by it.
// Destroying such a chain recursively could exhaust the stack (a policy can
// build types thousands of levels deep, one `let` per level), so the nested
// holds are detached and released from a work list instead.
struct TypeRelease {
  template <typename F>
  static void for_each_box(Type& type, F&& f) {
    std::visit(overloaded{
                   []<typename Plain>(Plain&)
                     requires std::is_empty_v<Plain>
                   {},
                   [](Type::Tensor&) {},
                   [](Type::Contract&) {},
                   [](Type::Enum&) {},
                   [](Type::IntentResult&) {},
                   [&](Type::Array& array) { f(array.element); },
                   [&](Type::Map& map) {
                     f(map.key);
                     f(map.value);
                   },
                   [&](Type::Sealed& sealed) { f(sealed.inner); },
                   // Parameters are values of the function type; each one's
                   // own boxes release themselves when the vector goes.
                   [&](Type::Function& function) { f(function.ret); },
               },
               type.node);
  }

  static bool owns_nested(Type& type) {
    bool owns = false;
    for_each_box(type, [&](TypeBox& box) { owns = owns || (box.p_ && box.p_.use_count() == 1); });
    return owns;
  }

  static void release(std::shared_ptr<Type> root) {
    std::vector<std::shared_ptr<Type>> pending;
    pending.push_back(std::move(root));
    while (!pending.empty()) {
      std::shared_ptr<Type> current = std::move(pending.back());
      pending.pop_back();
      if (current.use_count() == 1) {
        for_each_box(*current, [&](TypeBox& box) {
          if (box.p_) {
            pending.push_back(std::move(box.p_));
          }
        });
      }
      // `current` goes here; its boxes are empty, so nothing nests.
    }
  }
};

TypeBox::TypeBox(Type type) : p_(std::make_shared<Type>(std::move(type))) {}

TypeBox::~TypeBox() {
  if (p_ && p_.use_count() == 1 && TypeRelease::owns_nested(*p_)) {
    TypeRelease::release(std::move(p_));
  }
}

std::string type_text(const Type& type) {
  if (type.node.index() < kPlainTypeCount) {
    return std::string(kPlainTypeTexts[type.node.index()]);
  }
  // Work list of pending pieces, last first: a nested type or a literal text.
  struct Piece {
    const Type* type;
    std::string_view text;
  };
  std::string out;
  std::vector<Piece> pending{{&type, {}}};
  while (!pending.empty()) {
    const Piece piece = pending.back();
    pending.pop_back();
    if (piece.type == nullptr) {
      out += piece.text;
      continue;
    }
    const Type& current = *piece.type;
    if (current.node.index() < kPlainTypeCount) {
      out += kPlainTypeTexts[current.node.index()];
      continue;
    }
    std::visit(overloaded{
                   []<typename Plain>(const Plain&)
                     requires std::is_empty_v<Plain>
                   {},
                   [&](const Type::Array& array) {
                     out += '[';
                     pending.push_back({nullptr, "]"});
                     pending.push_back({&*array.element, {}});
                   },
                   [&](const Type::Map& map) {
                     out += "Map<";
                     pending.push_back({nullptr, ">"});
                     pending.push_back({&*map.value, {}});
                     pending.push_back({nullptr, ", "});
                     pending.push_back({&*map.key, {}});
                   },
                   [&](const Type::Tensor& tensor) {
                     out += "Tensor[";
                     for (std::size_t i = 0; i < tensor.dims.size(); ++i) {
                       if (i > 0) {
                         out += ", ";
                       }
                       append_dim(out, tensor.dims[i]);
                     }
                     out += ']';
                   },
                   [&](const Type::Sealed& sealed) {
                     out += "Sealed<";
                     pending.push_back({nullptr, ">"});
                     pending.push_back({&*sealed.inner, {}});
                   },
                   [&](const Type::Contract& contract) { out += contract.name; },
                   [&](const Type::Enum& enumeration) { out += enumeration.name; },
                   [&](const Type::Function& function) {
                     out += "fn(";
                     pending.push_back({&*function.ret, {}});
                     pending.push_back({nullptr, ") -> "});
                     for (std::size_t i = function.params.size(); i > 0; --i) {
                       pending.push_back({&function.params[i - 1], {}});
                       if (i > 1) {
                         pending.push_back({nullptr, ", "});
                       }
                     }
                   },
                   [&](const Type::IntentResult& result) {
                     out += "IntentResult<";
                     out += result.name;
                     out += '>';
                   },
               },
               current.node);
  }
  return out;
}

Type resolve_type(const TypeExpr& type) {
  return std::visit(
      overloaded{
          [](const TypeExpr::Named& named) -> Type {
            for (std::size_t i = 0; i < kWrittenScalarCount; ++i) {
              if (named.name == kPlainTypeTexts[i]) {
                return plain_type_at(i, std::make_index_sequence<kWrittenScalarCount>{});
              }
            }
            return Type::Contract{named.name};
          },
          [](const TypeExpr::Array& array) -> Type { return array_type(resolve_type(*array.element)); },
          [](const TypeExpr::Map& map) -> Type {
            return map_type(resolve_type(*map.key), resolve_type(*map.value));
          },
          [](const TypeExpr::Tensor& tensor) -> Type { return Type::Tensor{tensor.dims}; },
          [](const TypeExpr::Sealed& sealed) -> Type { return sealed_type(resolve_type(*sealed.inner)); },
      },
      type.node);
}

Result<void> expect_type(const Type& expected, const Type& found, const Span& span) {
  const Type* want = &expected;
  const Type* have = &found;
  // Sealed against sealed compares the inner types with the whole rule again.
  for (;;) {
    if (want->is<Type::Void>() || have->is<Type::Void>()) {
      return {};
    }
    if (is_numeric(*want) && is_numeric(*have)) {
      return {};
    }
    const auto* want_tensor = std::get_if<Type::Tensor>(&want->node);
    const auto* have_tensor = std::get_if<Type::Tensor>(&have->node);
    if (want_tensor != nullptr && have_tensor != nullptr) {
      return expect_dims(want_tensor->dims, have_tensor->dims, span);
    }
    const auto* want_sealed = std::get_if<Type::Sealed>(&want->node);
    const auto* have_sealed = std::get_if<Type::Sealed>(&have->node);
    if (want_sealed != nullptr && have_sealed != nullptr) {
      want = &*want_sealed->inner;
      have = &*have_sealed->inner;
      continue;
    }
    if (want->node.index() == have->node.index()) {
      return {};
    }
    return mismatch("Type mismatch: expected " + type_text(*want) + ", found " + type_text(*have),
                    span);
  }
}

}  // namespace ordel
