// The vocabulary of the policy runtime: effect classes, verdict categories,
// the conscience's outcome, the Verdict handed to hosts and the
// IntentSignature used for introspection.
//
// Everything here is a plain value. Texts that never vary (display names,
// category names, guidance texts) are string_views into static storage, so an
// allowed Verdict is built without touching the heap; only a denial's reason
// is an owned string.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace ordel {

// ---- Effect classes --------------------------------------------------------

// What an intent declares it does. Read and Noop are safe; the other six are
// dangerous and fall under the conscience's default-deny.
enum class EffectClass : std::uint8_t {
  Read,
  Write,
  Execute,
  Network,
  ModifyPredicate,
  ModifyPrivilege,
  ModifyAgent,
  Noop,
};

// The names a policy writes after `effect:`, indexed by EffectClass.
inline constexpr std::array<std::string_view, 8> kEffectSourceNames = {
    "READ",   "WRITE", "EXECUTE", "NETWORK", "MODIFY_PREDICATE", "MODIFY_PRIVILEGE",
    "MODIFY_AGENT", "NOOP",
};
// The names shown inside reason texts, indexed by EffectClass.
inline constexpr std::array<std::string_view, 8> kEffectDisplayNames = {
    "Read",   "Write", "Execute", "Network", "ModifyPredicate", "ModifyPrivilege",
    "ModifyAgent", "Noop",
};
static_assert(kEffectSourceNames.size() == static_cast<std::size_t>(EffectClass::Noop) + 1);
static_assert(kEffectDisplayNames.size() == kEffectSourceNames.size());

// The effect class of an intent from the identifier of its `effect` clause.
// The name is compared byte for byte with the source names; an absent clause
// or any other name (including "read" or "DELETE") gives Noop. Never fails.
[[nodiscard]] EffectClass effect_class(std::optional<std::string_view> effect_name) noexcept;

[[nodiscard]] constexpr std::string_view display_name(EffectClass effect) noexcept {
  return kEffectDisplayNames[static_cast<std::size_t>(effect)];
}

[[nodiscard]] constexpr std::string_view source_name(EffectClass effect) noexcept {
  return kEffectSourceNames[static_cast<std::size_t>(effect)];
}

[[nodiscard]] constexpr bool is_dangerous(EffectClass effect) noexcept {
  return effect != EffectClass::Read && effect != EffectClass::Noop;
}

// ---- Verdict categories ----------------------------------------------------

enum class VerdictCategory : std::uint8_t {
  ChannelPolicy,
  ResourcePolicy,
  IrreversibleAction,
  ConscienceCore,
};

inline constexpr std::array<std::string_view, 4> kVerdictCategoryNames = {
    "ChannelPolicy", "ResourcePolicy", "IrreversibleAction", "ConscienceCore"};
// The guidance of a denial in each category.
inline constexpr std::array<std::string_view, 4> kVerdictCategoryGuidance = {
    "Action denied: channel policy restriction. Consider using an alternative path or "
    "requesting predicate review.",
    "Action denied: resource policy constraint. Check resource bounds.",
    "Action denied: irreversible action requires additional authorization.",
    "Action denied: core conscience constraint. This restriction is permanent.",
};
static_assert(kVerdictCategoryNames.size() ==
              static_cast<std::size_t>(VerdictCategory::ConscienceCore) + 1);
static_assert(kVerdictCategoryGuidance.size() == kVerdictCategoryNames.size());

[[nodiscard]] constexpr std::string_view category_name(VerdictCategory category) noexcept {
  return kVerdictCategoryNames[static_cast<std::size_t>(category)];
}

[[nodiscard]] constexpr std::string_view category_guidance(VerdictCategory category) noexcept {
  return kVerdictCategoryGuidance[static_cast<std::size_t>(category)];
}

// Guidance texts of the verdicts that do not come from a denial category.
inline constexpr std::string_view kAllowedGuidance =
    "Action is permitted under current conscience evaluation.";
inline constexpr std::string_view kPreConditionFailedGuidance =
    "One or more pre-conditions were not satisfied";
inline constexpr std::string_view kPreConditionErrorGuidance =
    "Pre-condition could not be evaluated";

// ---- Conscience outcome ----------------------------------------------------

// What the conscience decides: Allow, or Deny with a reason and a category.
struct ConscienceOutcome {
  struct Allow {
    friend bool operator==(const Allow&, const Allow&) = default;
  };
  struct Deny {
    std::string reason;
    VerdictCategory category = VerdictCategory::ChannelPolicy;
    friend bool operator==(const Deny&, const Deny&) = default;
  };

  std::variant<Allow, Deny> decision;

  [[nodiscard]] static ConscienceOutcome allow() noexcept { return {Allow{}}; }
  [[nodiscard]] static ConscienceOutcome deny(std::string reason, VerdictCategory category) {
    return {Deny{std::move(reason), category}};
  }
  [[nodiscard]] bool allowed() const noexcept {
    return std::holds_alternative<Allow>(decision);
  }

  friend bool operator==(const ConscienceOutcome&, const ConscienceOutcome&) = default;
};

// ---- Verdict ---------------------------------------------------------------

// The result of verifying an intent. Built only through the four named
// constructors below. `reason` is absent exactly when `allowed` is true.
// `guidance` always points at static storage, so a Verdict may outlive any
// engine and copying it never copies the guidance text.
struct Verdict {
  bool allowed = false;
  std::optional<std::string> reason;
  std::string_view guidance;
  VerdictCategory category = VerdictCategory::ChannelPolicy;

  // Allow: allowed, no reason, the permitted guidance, ChannelPolicy. Makes
  // no heap allocation. Deny: the outcome's reason and category with the
  // category's guidance.
  [[nodiscard]] static Verdict from_outcome(ConscienceOutcome outcome) noexcept;
  // "Pre-condition failed for intent '{intent}'", ConscienceCore.
  [[nodiscard]] static Verdict pre_condition_failed(std::string_view intent);
  // "Pre-condition evaluation error: {message}", ConscienceCore. `message` is
  // the evaluator's message text alone, without kind or position.
  [[nodiscard]] static Verdict pre_condition_error(std::string_view message);

  friend bool operator==(const Verdict&, const Verdict&) = default;
};

// ---- Introspection ---------------------------------------------------------

// One intent as a host sees it. `takes` and `gives` hold (name, type text)
// in declaration order; `effect` is the effect name as written, or "NOOP"
// without an effect clause; `conscience` the names of the intent's
// conscience clause as written.
struct IntentSignature {
  std::string name;
  std::vector<std::pair<std::string, std::string>> takes;
  std::vector<std::pair<std::string, std::string>> gives;
  std::string effect;
  std::vector<std::string> conscience;

  friend bool operator==(const IntentSignature&, const IntentSignature&) = default;
};

}  // namespace ordel
