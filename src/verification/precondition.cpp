#include "verification/precondition.h"

#include <charconv>
#include <cmath>
#include <concepts>
#include <limits>

#include "lexer/token.h"

namespace ordel {

namespace {

template <typename T, typename... Us>
concept OneOf = (std::same_as<T, Us> || ...);

struct Builtin {
  std::string_view name;
  std::size_t arity;
  std::string_view arity_message;
};

constexpr Builtin kBuiltins[] = {
    {"length", 1, "length() requires exactly 1 argument"},
    {"contains", 2, "contains() requires exactly 2 arguments"},
    {"starts_with", 2, "starts_with() requires exactly 2 arguments"},
    {"ends_with", 2, "ends_with() requires exactly 2 arguments"},
    {"matches", 2, "matches() requires exactly 2 arguments"},
};
// kBuiltins' order: eval_call dispatches on the position.
constexpr const Builtin& kLength = kBuiltins[0];

constexpr bool names_differ_in_length() {
  for (std::size_t i = 0; i < std::size(kBuiltins); ++i) {
    for (std::size_t j = i + 1; j < std::size(kBuiltins); ++j) {
      if (kBuiltins[i].name.size() == kBuiltins[j].name.size()) return false;
    }
  }
  return true;
}
static_assert(names_differ_in_length());

Result<std::string_view> field_value(const Expr::Ident& ident, const EvalContext& context) {
  if (const auto value = context.fields.find(ident.name)) {
    return *value;
  }
  return fail(ErrorKind::UndefinedVariable, "Unknown field '" + ident.name + "' in pre-condition",
              ident.span);
}

// An optional single sign, then one or more ASCII digits, within int64.
std::optional<std::int64_t> parse_decimal(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') {
    digits.remove_prefix(1);
    text = digits;
  } else if (!digits.empty() && digits.front() == '-') {
    digits.remove_prefix(1);
  }
  if (digits.empty() || digits.front() < '0' || digits.front() > '9') {
    return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::int64_t truncate_saturating(double value) {
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (value >= kLimit) {
    return std::numeric_limits<std::int64_t>::max();
  }
  if (value <= -kLimit) {
    return std::numeric_limits<std::int64_t>::min();
  }
  return static_cast<std::int64_t>(std::trunc(value));
}

std::string integer_text(std::int64_t value) {
  char buffer[24];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, end);
}

Result<bool> regex_matches(const Expr::Call& call, std::string_view subject,
                           std::string_view pattern, const EvalContext& context) {
  const RE2* prepared = context.regexes ? context.regexes->find(&call.args[1]) : nullptr;
  std::unique_ptr<RE2> compiled;
  if (prepared == nullptr) {
    compiled = std::make_unique<RE2>(re2::StringPiece(pattern.data(), pattern.size()),
                                     regex_options());
    prepared = compiled.get();
  }
  if (!prepared->ok()) {
    std::string message = "Invalid regex pattern '";
    message += pattern;
    message += "': ";
    message += prepared->error();
    return fail(ErrorKind::InvalidRegex, std::move(message), call.span);
  }
  return RE2::PartialMatch(re2::StringPiece(subject.data(), subject.size()), *prepared);
}

Result<bool> eval_call(const Expr::Call& call, const EvalContext& context) {
  // The five names differ in length, so the length alone picks the candidate.
  const Builtin* builtin = nullptr;
  for (const auto& candidate : kBuiltins) {
    if (candidate.name.size() == call.name.size()) {
      builtin = candidate.name == call.name ? &candidate : nullptr;
      break;
    }
  }
  if (builtin == nullptr) {
    return fail(ErrorKind::UndefinedFunction,
                "Unknown function '" + call.name + "' in pre-condition", call.span);
  }
  // The count is checked before any argument is evaluated.
  if (call.args.size() != builtin->arity) {
    return fail(ErrorKind::ArgumentCount, std::string(builtin->arity_message), call.span);
  }
  std::string first_scratch;
  ORDEL_ASSIGN_OR_RETURN(const std::string_view s, eval_text(call.args[0], context, first_scratch));
  if (builtin == &kLength) {
    return !s.empty();
  }
  std::string second_scratch;
  ORDEL_ASSIGN_OR_RETURN(const std::string_view t,
                         eval_text(call.args[1], context, second_scratch));
  switch (builtin - kBuiltins) {
    case 1: return s.find(t) != std::string_view::npos;
    case 2: return s.starts_with(t);
    case 3: return s.ends_with(t);
    default: return regex_matches(call, s, t, context);
  }
}

Result<bool> eval_binary(const Expr::Binary& binary, const EvalContext& context) {
  switch (binary.op) {
    case BinaryOp::Eq:
    case BinaryOp::NotEq: {
      std::string left_scratch;
      std::string right_scratch;
      ORDEL_ASSIGN_OR_RETURN(const std::string_view left,
                             eval_text(*binary.left, context, left_scratch));
      ORDEL_ASSIGN_OR_RETURN(const std::string_view right,
                             eval_text(*binary.right, context, right_scratch));
      return (left == right) == (binary.op == BinaryOp::Eq);
    }
    case BinaryOp::Lt:
    case BinaryOp::Gt:
    case BinaryOp::LtEq:
    case BinaryOp::GtEq: {
      ORDEL_ASSIGN_OR_RETURN(const std::int64_t left, eval_number(*binary.left, context));
      ORDEL_ASSIGN_OR_RETURN(const std::int64_t right, eval_number(*binary.right, context));
      switch (binary.op) {
        case BinaryOp::Lt: return left < right;
        case BinaryOp::Gt: return left > right;
        case BinaryOp::LtEq: return left <= right;
        default: return left >= right;
      }
    }
    case BinaryOp::And:
    case BinaryOp::Or: {
      // Both operands are always evaluated, so an error on the right is
      // reported even when the left already decides.
      ORDEL_ASSIGN_OR_RETURN(const bool left, eval_bool(*binary.left, context));
      ORDEL_ASSIGN_OR_RETURN(const bool right, eval_bool(*binary.right, context));
      return binary.op == BinaryOp::And ? (left && right) : (left || right);
    }
    case BinaryOp::Add:
    case BinaryOp::Sub:
    case BinaryOp::Mul:
    case BinaryOp::Div:
    case BinaryOp::Mod:
      return true;
  }
  return true;
}

}  // namespace

RE2::Options regex_options() {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingUTF8);
  options.set_log_errors(false);
  return options;
}

void RegexTable::prepare(const std::vector<Expr>& expressions) {
  for (const auto& expr : expressions) {
    prepare_expr(expr);
  }
}

// Recursion depth is bounded by the parser's nesting limit.
void RegexTable::prepare_expr(const Expr& expr) {
  const auto each = [&](const std::vector<Expr>& list) {
    for (const auto& e : list) prepare_expr(e);
  };
  const auto each_field = [&](const std::vector<FieldValue>& list) {
    for (const auto& f : list) prepare_expr(f.value);
  };
  std::visit(
      overloaded{
          [&](const OneOf<Expr::IntLiteral, Expr::FloatLiteral, Expr::StringLiteral,
                          Expr::BoolLiteral, Expr::Ident, Expr::EnumAccess> auto&) {},
          [&](const Expr::Binary& n) { prepare_expr(*n.left); prepare_expr(*n.right); },
          [&](const Expr::Unary& n) { prepare_expr(*n.operand); },
          [&](const Expr::Call& n) {
            each(n.args);
            if (n.name == "matches" && n.args.size() == 2) {
              if (const auto* literal = std::get_if<Expr::StringLiteral>(&n.args[1].node)) {
                entries_.push_back(
                    {&n.args[1], std::make_unique<RE2>(literal->value, regex_options())});
              }
            }
          },
          [&](const Expr::Pipeline& n) { prepare_expr(*n.left); prepare_expr(*n.right); },
          [&](const Expr::FieldAccess& n) { prepare_expr(*n.object); },
          [&](const Expr::ContractInit& n) { each_field(n.fields); },
          [&](const Expr::Do& n) { each_field(n.args); },
          [&](const Expr::QueryConscience& n) { each_field(n.args); },
          [&](const Expr::DeclareAnomaly& n) {
            prepare_expr(*n.subject);
            each_field(n.details);
          },
          [&](const Expr::Collapse& n) { prepare_expr(*n.operand); },
          [&](const Expr::Resolve& n) { prepare_expr(*n.operand); },
          [&](const Expr::ArrayLiteral& n) { each(n.elements); },
          // Statements inside block expressions are never evaluated.
          [&](const Expr::Block&) {},
          [&](const Expr::Index& n) { prepare_expr(*n.object); prepare_expr(*n.index); },
      },
      expr.node);
}

const RE2* RegexTable::find(const Expr* pattern) const noexcept {
  for (const auto& entry : entries_) {
    if (entry.pattern == pattern) {
      return entry.regex.get();
    }
  }
  return nullptr;
}

Result<bool> eval_bool(const Expr& expr, const EvalContext& context) {
  return std::visit(
      overloaded{
          [&](const Expr::BoolLiteral& n) -> Result<bool> { return n.value; },
          [&](const Expr::Ident& n) -> Result<bool> {
            ORDEL_ASSIGN_OR_RETURN(const std::string_view value, field_value(n, context));
            // Only the exact text false is false.
            return value != "false";
          },
          [&](const Expr::Binary& n) { return eval_binary(n, context); },
          [&](const Expr::Unary& n) -> Result<bool> {
            if (n.op == UnaryOp::Neg) {
              return true;
            }
            ORDEL_ASSIGN_OR_RETURN(const bool operand, eval_bool(*n.operand, context));
            return !operand;
          },
          [&](const Expr::Call& n) { return eval_call(n, context); },
          [&](const OneOf<Expr::IntLiteral, Expr::FloatLiteral, Expr::StringLiteral,
                          Expr::Pipeline, Expr::FieldAccess, Expr::ContractInit, Expr::Do,
                          Expr::QueryConscience, Expr::DeclareAnomaly, Expr::Collapse,
                          Expr::Resolve, Expr::ArrayLiteral, Expr::EnumAccess, Expr::Block,
                          Expr::Index> auto&) -> Result<bool> { return true; },
      },
      expr.node);
}

Result<std::string_view> eval_text(const Expr& expr, const EvalContext& context,
                                   std::string& scratch) {
  return std::visit(
      overloaded{
          [&](const Expr::IntLiteral& n) -> Result<std::string_view> {
            scratch = integer_text(n.value);
            return scratch;
          },
          [&](const Expr::FloatLiteral& n) -> Result<std::string_view> {
            scratch = float_text(n.value);
            return scratch;
          },
          [&](const Expr::StringLiteral& n) -> Result<std::string_view> { return n.value; },
          [&](const Expr::BoolLiteral& n) -> Result<std::string_view> {
            return n.value ? "true" : "false";
          },
          [&](const Expr::Ident& n) { return field_value(n, context); },
          [&](const OneOf<Expr::Binary, Expr::Unary, Expr::Call, Expr::Pipeline,
                          Expr::FieldAccess, Expr::ContractInit, Expr::Do, Expr::QueryConscience,
                          Expr::DeclareAnomaly, Expr::Collapse, Expr::Resolve,
                          Expr::ArrayLiteral, Expr::EnumAccess, Expr::Block,
                          Expr::Index> auto&) -> Result<std::string_view> {
            scratch = debug_text(expr);
            return scratch;
          },
      },
      expr.node);
}

Result<std::int64_t> eval_number(const Expr& expr, const EvalContext& context) {
  if (const auto* n = std::get_if<Expr::IntLiteral>(&expr.node)) {
    return n->value;
  }
  if (const auto* n = std::get_if<Expr::FloatLiteral>(&expr.node)) {
    return truncate_saturating(n->value);
  }
  if (const auto* n = std::get_if<Expr::Ident>(&expr.node)) {
    ORDEL_ASSIGN_OR_RETURN(const std::string_view value, field_value(*n, context));
    if (const auto number = parse_decimal(value)) {
      return *number;
    }
    std::string message = "Cannot convert '";
    message += value;
    message += "' to number";
    return fail(ErrorKind::TypeMismatch, std::move(message), n->span);
  }
  if (const auto* n = std::get_if<Expr::Call>(&expr.node); n && n->name == kLength.name) {
    if (n->args.size() != 1) {
      return fail(ErrorKind::ArgumentCount, std::string(kLength.arity_message), n->span);
    }
    std::string scratch;
    ORDEL_ASSIGN_OR_RETURN(const std::string_view text, eval_text(n->args[0], context, scratch));
    return static_cast<std::int64_t>(text.size());
  }
  return fail(ErrorKind::TypeMismatch, "Cannot evaluate " + debug_text(expr) + " to number");
}

}  // namespace ordel
