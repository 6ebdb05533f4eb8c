// The conscience: the five built-in safety predicates every verification
// passes through once an intent's pre-conditions hold.
//
// `evaluate` decides from the intent name, its effect class and the request
// fields alone. Predicates whose effects include the intent's effect are
// applied in table order; every one of them runs, the last denial decides the
// reason and category, a denial outweighs any explicit allow, and a dangerous
// effect without an explicit allow is denied by default.
//
// Field lookups go through a lower-cased view of the keys (Unicode default
// full lower-case mapping); values are used unchanged. When several keys
// lower-case to the same text, the value of the last such pair in the
// caller's order is the one seen, so evaluation is deterministic.
//
// Evaluation never fails, has no side effects and only reads the conscience:
// any number of threads may evaluate on one conscience at once. The fields
// are read in one pass, whatever their number. An allowed request with ASCII
// keys and ASCII path values whose percent escapes decode to ASCII costs no
// heap allocation; non-ASCII keys, other paths and denial reasons allocate.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "conscience/fields.h"
#include "conscience/verdict.h"

namespace ordel {

// ---- Predicates ------------------------------------------------------------

// Grants an explicit allow.
struct AllowRule {};
// Denies path fields that lie inside one of the directories.
struct DeniedPathsRule {
  std::span<const std::string_view> directories;
};
// One of the built-in rules with behaviour of its own.
enum class CustomRule : std::uint8_t { NoHarm, NoExfiltrate, NoBypassVerification };

using PredicateRule = std::variant<AllowRule, DeniedPathsRule, CustomRule>;

struct Predicate {
  std::string_view name;
  std::string_view description;
  // The predicate takes part only for these effect classes.
  std::span<const EffectClass> effects;
  PredicateRule rule;
};

// A channel data may be sent to: a text is declared when it equals
// `address` or starts with `prefix`.
struct DeclaredChannel {
  std::string address;
  std::string prefix;
};

// ---- Name lists of the rules -----------------------------------------------

inline constexpr std::string_view kPathFields[] = {"path", "file", "filepath", "file_path",
                                                   "filename"};
inline constexpr std::string_view kNetworkFields[] = {
    "url",    "destination", "endpoint", "address",     "target", "host",     "uri",
    "remote", "server",      "proxy",    "upstream",    "remote_host", "dst", "location"};
inline constexpr std::string_view kDestructiveVerbs[] = {
    "Terminate", "Destroy", "Delete", "Drop",     "Erase", "Format",
    "Purge",     "Kill",    "Shutdown", "Wipe",   "Truncate", "Remove"};
inline constexpr std::string_view kExecutionDataKeys[] = {"code", "script", "command",
                                                          "payload"};
static_assert(std::size(kPathFields) == 5);
static_assert(std::size(kNetworkFields) == 14);
static_assert(std::size(kDestructiveVerbs) == 12);
static_assert(std::size(kExecutionDataKeys) == 4);

// ---- Conscience ------------------------------------------------------------

class Conscience {
 public:
  // The five built-in predicates and an empty declared-channel registry.
  Conscience() = default;

  // The built-in predicates in evaluation order: no_harm, no_exfiltrate,
  // no_bypass_verification, path_safety, baseline_allow.
  [[nodiscard]] std::span<const Predicate> predicates() const noexcept;

  [[nodiscard]] std::span<const DeclaredChannel> registry() const noexcept { return registry_; }

  // True when `text` equals a registered address or starts with a
  // registered prefix. The registry is always empty, so always false.
  [[nodiscard]] bool is_declared(std::string_view text) const noexcept;

  // Decides on one request. `intent` is the intent name as the caller asked
  // for it; `fields` the caller's fields with their keys as supplied.
  [[nodiscard]] ConscienceOutcome evaluate(std::string_view intent, EffectClass effect,
                                           const FieldMap& fields) const;

 private:
  std::vector<DeclaredChannel> registry_;
};

}  // namespace ordel
