// The one error record of every stage: Span, ErrorKind, PolicyError, Result.
//
// Stages stop at their first error and hand the record upwards unchanged;
// bindings show its text form. No stage throws.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace ordel {

// A position in the policy source. `start` and `end` index characters
// (Unicode scalar values), not bytes; `line` and `col` count from 1.
struct Span {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint64_t line = 0;
  std::uint64_t col = 0;

  friend bool operator==(const Span&, const Span&) = default;
};

enum class ErrorKind : std::uint8_t {
  UnexpectedChar,
  UnterminatedString,
  InvalidNumber,
  UnexpectedToken,
  ExpectedToken,
  ExpectedExpression,
  ExpectedType,
  ExpectedDeclaration,
  TypeMismatch,
  UndefinedVariable,
  UndefinedFunction,
  UndefinedContract,
  UndefinedField,
  DuplicateDefinition,
  ArgumentCount,
  DsfUnboundedLoop,
  DsfMissingTrustVerify,
  DsfUnhandledDoFailure,
  DsfTrustDecayChain,
  DsfReVerifyGuardMiss,
  DsfInferenceAmbiguity,
  DsfEnvConditional,
  HaltDeterminism,
  HaltTraceCorrupt,
  HaltContract,
  HaltResource,
  HaltConscience,
  HaltUnknown,
  DivisionByZero,
  IntegerOverflow,
  ResourceBoundExceeded,
  MaxIterExceeded,
  MaxDepthExceeded,
  TrustBoundaryViolation,
  SealedViolation,
  GuardFailed,
  PostConditionFailed,
  IrreversibleNotTerminal,
  InvalidRegex,
};

inline constexpr std::array<std::string_view, 39> kErrorKindNames = {
    "UnexpectedChar",        "UnterminatedString",     "InvalidNumber",
    "UnexpectedToken",       "ExpectedToken",          "ExpectedExpression",
    "ExpectedType",          "ExpectedDeclaration",    "TypeMismatch",
    "UndefinedVariable",     "UndefinedFunction",      "UndefinedContract",
    "UndefinedField",        "DuplicateDefinition",    "ArgumentCount",
    "DsfUnboundedLoop",      "DsfMissingTrustVerify",  "DsfUnhandledDoFailure",
    "DsfTrustDecayChain",    "DsfReVerifyGuardMiss",   "DsfInferenceAmbiguity",
    "DsfEnvConditional",     "HaltDeterminism",        "HaltTraceCorrupt",
    "HaltContract",          "HaltResource",           "HaltConscience",
    "HaltUnknown",           "DivisionByZero",         "IntegerOverflow",
    "ResourceBoundExceeded", "MaxIterExceeded",        "MaxDepthExceeded",
    "TrustBoundaryViolation", "SealedViolation",       "GuardFailed",
    "PostConditionFailed",   "IrreversibleNotTerminal", "InvalidRegex",
};
static_assert(kErrorKindNames.size() == static_cast<std::size_t>(ErrorKind::InvalidRegex) + 1);

[[nodiscard]] constexpr std::string_view error_kind_name(ErrorKind kind) noexcept {
  return kErrorKindNames[static_cast<std::size_t>(kind)];
}

struct PolicyError {
  ErrorKind kind = ErrorKind::HaltUnknown;
  std::string message;
  std::optional<Span> span;

  // "[{kind}] Error at line {line}:{col}: {message}", or
  // "[{kind}] Error: {message}" without a span.
  [[nodiscard]] std::string text() const;

  friend bool operator==(const PolicyError&, const PolicyError&) = default;
};

template <typename T>
using Result = std::expected<T, PolicyError>;

// Returns a failure value carrying a new PolicyError.
[[nodiscard]] inline std::unexpected<PolicyError> fail(ErrorKind kind, std::string message,
                                                       std::optional<Span> span = std::nullopt) {
  return std::unexpected<PolicyError>(PolicyError{kind, std::move(message), span});
}

}  // namespace ordel

// Propagation helpers for Result: return the error of `expr` from the
// enclosing function, or bind its value.
#define ORDEL_CONCAT_INNER(a, b) a##b
#define ORDEL_CONCAT(a, b) ORDEL_CONCAT_INNER(a, b)

#define ORDEL_TRY(expr)                                                   \
  do {                                                                    \
    if (auto ordel_try_result = (expr); !ordel_try_result) [[unlikely]] { \
      return std::unexpected(std::move(ordel_try_result).error());        \
    }                                                                     \
  } while (false)

#define ORDEL_ASSIGN_OR_RETURN(lhs, expr) \
  ORDEL_ASSIGN_OR_RETURN_IMPL(ORDEL_CONCAT(ordel_result_, __LINE__), lhs, expr)
#define ORDEL_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)   \
  auto tmp = (expr);                                  \
  if (!tmp) [[unlikely]] {                            \
    return std::unexpected(std::move(tmp).error());   \
  }                                                   \
  lhs = std::move(tmp).value()
