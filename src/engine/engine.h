// The engine: one opened policy plus its conscience.
//
// Opened from source text or a file; immutable afterwards. Every operation
// only reads it, so any number of threads may use one engine at once.
// Results (verdicts, signatures, name lists) are independent copies.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "conscience/conscience.h"
#include "conscience/fields.h"
#include "conscience/verdict.h"
#include "lexer/diagnostics.h"
#include "policy/policy.h"

namespace ordel {

class Engine {
 public:
  // Compiles `source` (valid UTF-8). The first lexical, syntax or type
  // error is returned unchanged.
  [[nodiscard]] static Result<Engine> from_source(std::string_view source);

  // Reads the whole file as UTF-8, then as from_source. A file that cannot
  // be read (missing, a directory, no permission) or is not valid UTF-8 gives
  // kind HaltUnknown, no span, and "Failed to read policy file {path}:
  // {reason}".
  [[nodiscard]] static Result<Engine> from_file(std::string_view path);

  // Verifies one request. The only error is an intent name missing from the
  // policy; every other outcome is a Verdict. `fields` are (key, value)
  // pairs; a later pair with an equal key replaces an earlier one. Makes no
  // heap allocation for an allowed request whose pre-conditions compare
  // fields with literals and whose keys and path values are ASCII.
  [[nodiscard]] Result<Verdict> verify(std::string_view intent,
                                       std::span<const FieldPair> fields) const;

  // Every intent name once, in unspecified order.
  [[nodiscard]] std::vector<std::string> intents() const;
  [[nodiscard]] bool has_intent(std::string_view name) const noexcept;
  [[nodiscard]] std::optional<IntentSignature> intent_signature(std::string_view name) const;

 private:
  explicit Engine(Policy policy) : policy_(std::move(policy)) {}

  Policy policy_;
  Conscience conscience_;
};

// The text form of a written type, as signatures show it:
// Map<String, [bool]>, Tensor[3, n, ?], Sealed<Report>.
[[nodiscard]] std::string type_expr_text(const TypeExpr& type);

}  // namespace ordel
