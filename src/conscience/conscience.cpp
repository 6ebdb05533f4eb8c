#include "conscience/conscience.h"

#include <initializer_list>
#include <optional>
#include <array>
#include <utility>

#include "conscience/path.h"
#include "text/unicode.h"

namespace ordel {

namespace {

// ---- The built-in predicates -------------------------------------------------

constexpr EffectClass kNoHarmEffects[] = {EffectClass::Write, EffectClass::Execute,
                                          EffectClass::Network, EffectClass::ModifyAgent};
constexpr EffectClass kNoExfiltrateEffects[] = {EffectClass::Network, EffectClass::Write};
constexpr EffectClass kNoBypassEffects[] = {EffectClass::Execute};
constexpr EffectClass kPathSafetyEffects[] = {EffectClass::Read, EffectClass::Write};
constexpr EffectClass kBaselineEffects[] = {EffectClass::Noop, EffectClass::Read};

constexpr std::string_view kDeniedDirectories[] = {"/etc",  "/proc", "/sys",
                                                   "/boot", "/root", "/dev"};

constexpr Predicate kBuiltinPredicates[] = {
    {"no_harm", "Prevent actions that could cause irreversible harm", kNoHarmEffects,
     CustomRule::NoHarm},
    {"no_exfiltrate", "Prevent unauthorized data exfiltration to undeclared channels",
     kNoExfiltrateEffects, CustomRule::NoExfiltrate},
    {"no_bypass_verification", "Prevent bypassing the verification pipeline", kNoBypassEffects,
     CustomRule::NoBypassVerification},
    {"path_safety", "Restrict file system paths to safe directories", kPathSafetyEffects,
     DeniedPathsRule{kDeniedDirectories}},
    {"baseline_allow", "Baseline allow for safe effect classes only (NOOP, Read)",
     kBaselineEffects, AllowRule{}},
};
static_assert(std::size(kBuiltinPredicates) == 5);

// ---- Lower-cased view of the fields ------------------------------------------

// Every field name a rule reads, grouped by rule: the rules look fields up
// by position in this table.
constexpr std::size_t kPathFieldsAt = 0;
constexpr std::size_t kNetworkFieldsAt = kPathFieldsAt + std::size(kPathFields);
constexpr std::size_t kAuthorizedAt = kNetworkFieldsAt + std::size(kNetworkFields);
constexpr std::size_t kVerifiedAt = kAuthorizedAt + 1;
constexpr std::size_t kExecutionDataAt = kVerifiedAt + 1;
constexpr std::size_t kKnownFieldCount = kExecutionDataAt + std::size(kExecutionDataKeys);

constexpr std::array<std::string_view, kKnownFieldCount> kKnownFields = [] {
  std::array<std::string_view, kKnownFieldCount> names{};
  std::size_t i = 0;
  for (const auto name : kPathFields) names[i++] = name;
  for (const auto name : kNetworkFields) names[i++] = name;
  names[i++] = "authorized";
  names[i++] = "verified";
  for (const auto name : kExecutionDataKeys) names[i++] = name;
  return names;
}();
static_assert(kKnownFieldCount <= 32, "presence is kept in a 32-bit mask");

constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// `name` is lower-case ASCII; `key` is compared ignoring ASCII case.
constexpr bool equals_ignoring_ascii_case(std::string_view key, std::string_view name) noexcept {
  if (key.size() != name.size()) {
    return false;
  }
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (ascii_lower(key[i]) != name[i]) {
      return false;
    }
  }
  return true;
}

// Position of the known field a lower-cased key names, or kKnownFieldCount.
std::size_t known_field_index(std::string_view key) noexcept {
  for (std::size_t i = 0; i < kKnownFieldCount; ++i) {
    if (equals_ignoring_ascii_case(key, kKnownFields[i])) {
      return i;
    }
  }
  return kKnownFieldCount;
}

// The fields the rules read, seen through lower-cased keys, gathered in one
// pass over the caller's pairs; the last pair whose key lower-cases to a
// name gives its value. ASCII keys are compared ignoring ASCII case in place
// (equality ignoring ASCII case of an ASCII key with a lower-case name is
// equality of its lower-case mapping with that name); only keys with other
// characters are lower-cased through ICU.
class LoweredView {
 public:
  explicit LoweredView(const FieldMap& fields) : empty_(fields.empty()) {
    std::string lowered;
    for (const auto& [key, value] : fields.pairs()) {
      std::size_t index;
      if (text::is_ascii(key)) {
        index = known_field_index(key);
      } else {
        text::to_lower_into(key, lowered);
        index = known_field_index(lowered);
      }
      if (index < kKnownFieldCount) {
        values_[index] = {value.data(), value.size()};
        present_ |= 1u << index;
      }
    }
  }
  LoweredView(const LoweredView&) = delete;
  LoweredView& operator=(const LoweredView&) = delete;

  [[nodiscard]] bool empty() const noexcept { return empty_; }

  [[nodiscard]] std::optional<std::string_view> at(std::size_t index) const noexcept {
    if ((present_ & (1u << index)) == 0) {
      return std::nullopt;
    }
    return std::string_view(values_[index].data, values_[index].size);
  }

  // The normalized form of the path field at `index` (which is present).
  // Both directory rules of a Write ask for the same fields in the same
  // order, so the view keeps the last result; the text stays valid until
  // the next call for another field.
  [[nodiscard]] std::string_view normalized_path(std::size_t index) const {
    if (normalized_index_ != index) {
      normalized_ = normalize_path_view(*at(index), path_buffer_, path_spill_);
      normalized_index_ = index;
    }
    return normalized_;
  }

  // A flag is set only by the exact value "true".
  [[nodiscard]] bool flag(std::size_t index) const noexcept {
    const auto value = at(index);
    return value && *value == "true";
  }

 private:
  // Left uninitialised: a slot is read only when its bit in present_ is set.
  struct Slot {
    const char* data;
    std::size_t size;
  };

  bool empty_;
  std::uint32_t present_ = 0;
  Slot values_[kKnownFieldCount];

  mutable std::size_t normalized_index_ = kKnownFieldCount;
  mutable std::string_view normalized_;
  mutable PathBuffer path_buffer_;  // left uninitialised; written before read
  mutable std::string path_spill_;
};

// ---- Applying the rules ------------------------------------------------------

std::string concat(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (const std::string_view part : parts) {
    size += part.size();
  }
  std::string out;
  out.reserve(size);
  for (const std::string_view part : parts) {
    out.append(part);
  }
  return out;
}

// The running decision of one evaluation.
struct Tally {
  bool denied = false;
  bool allowed = false;
  bool matched = false;
  std::string reason;
  VerdictCategory category = VerdictCategory::ChannelPolicy;

  // A later denial replaces the reason and category of an earlier one.
  void deny(std::string new_reason, VerdictCategory new_category) {
    denied = true;
    reason = std::move(new_reason);
    category = new_category;
  }
  void allow() noexcept { allowed = true; }
};

// `path` is normalized (it starts with "/"), and so is `directory`.
bool in_directory(std::string_view path, std::string_view directory) noexcept {
  // Comparing the first letters first keeps most paths away from memcmp.
  return path.size() >= directory.size() && path[1] == directory[1] &&
         path.starts_with(directory) &&
         (path.size() == directory.size() || path[directory.size()] == '/');
}

// Every destructive verb starts with a capital letter: only positions holding
// one are compared with the verbs.
bool is_destructive(std::string_view intent) noexcept {
  for (std::size_t i = 0; i < intent.size(); ++i) {
    const char c = intent[i];
    if (c < 'A' || c > 'Z') {
      continue;
    }
    const std::string_view rest = intent.substr(i);
    for (const std::string_view verb : kDestructiveVerbs) {
      if (verb[0] == c && rest.starts_with(verb)) {
        return true;
      }
    }
  }
  return false;
}

class RuleApplier {
 public:
  RuleApplier(const Conscience& conscience, std::string_view intent, EffectClass effect,
              const LoweredView& view, const Predicate& predicate, Tally& tally) noexcept
      : conscience_(conscience),
        intent_(intent),
        effect_(effect),
        view_(view),
        predicate_(predicate),
        tally_(tally) {}

  void operator()(const AllowRule&) const noexcept { tally_.allow(); }

  void operator()(const DeniedPathsRule& rule) const {
    if (view_.empty()) {
      return;
    }
    for (std::size_t i = 0; i < std::size(kPathFields); ++i) {
      const auto value = view_.at(kPathFieldsAt + i);
      if (!value) {
        continue;
      }
      const std::string_view normalized = view_.normalized_path(kPathFieldsAt + i);
      for (const std::string_view directory : rule.directories) {
        if (in_directory(normalized, directory)) {
          tally_.deny(concat({"Path '", *value, "' (normalized: '", normalized,
                              "') denied by predicate '", predicate_.name, "'"}),
                      VerdictCategory::ChannelPolicy);
          break;
        }
      }
    }
  }

  void operator()(CustomRule rule) const {
    switch (rule) {
      case CustomRule::NoHarm:
        return no_harm();
      case CustomRule::NoExfiltrate:
        return no_exfiltrate();
      case CustomRule::NoBypassVerification:
        return no_bypass_verification();
    }
  }

 private:
  void no_harm() const {
    if (!is_destructive(intent_)) {
      tally_.allow();
      return;
    }
    if (view_.flag(kAuthorizedAt)) {
      return;
    }
    tally_.deny(concat({"no_harm: Destructive intent '", intent_, "' requires authorized=true"}),
                VerdictCategory::IrreversibleAction);
  }

  void no_exfiltrate() const {
    if (!view_.empty()) {
      for (std::size_t i = 0; i < std::size(kNetworkFields); ++i) {
        const std::string_view field = kNetworkFields[i];
        const auto value = view_.at(kNetworkFieldsAt + i);
        if (!value) {
          continue;
        }
        const bool examined =
            effect_ == EffectClass::Network || value->find("://") != std::string_view::npos;
        if (examined && !conscience_.is_declared(*value)) {
          tally_.deny(concat({"no_exfiltrate: ", field, " '", *value,
                              "' is not in declared-channel registry"}),
                      VerdictCategory::ChannelPolicy);
          return;
        }
      }
    }
    if (effect_ == EffectClass::Write && !view_.empty()) {
      for (std::size_t i = 0; i < std::size(kPathFields); ++i) {
        const auto value = view_.at(kPathFieldsAt + i);
        if (!value) {
          continue;
        }
        const std::string_view normalized = view_.normalized_path(kPathFieldsAt + i);
        const bool network_path =
            normalized.starts_with("/mnt/") || normalized.starts_with("/net/");
        if (network_path && !conscience_.is_declared(normalized)) {
          tally_.deny(concat({"no_exfiltrate: write to '", *value, "' (normalized: '",
                              normalized,
                              "') may be a network path; not in declared channels"}),
                      VerdictCategory::ChannelPolicy);
          return;
        }
      }
    }
    tally_.allow();
  }

  void no_bypass_verification() const {
    bool carries_code = false;
    for (std::size_t i = 0; i < std::size(kExecutionDataKeys); ++i) {
      if (view_.at(kExecutionDataAt + i)) {
        carries_code = true;
        break;
      }
    }
    if (!carries_code || view_.flag(kVerifiedAt)) {
      tally_.allow();
      return;
    }
    tally_.deny(concat({"no_bypass_verification: intent '", intent_,
                        "' carries unverified data for execution. Set verified=true or use "
                        "`do Verify` first."}),
                VerdictCategory::ConscienceCore);
  }

  const Conscience& conscience_;
  std::string_view intent_;
  EffectClass effect_;
  const LoweredView& view_;
  const Predicate& predicate_;
  Tally& tally_;
};

bool takes_part(const Predicate& predicate, EffectClass effect) noexcept {
  for (const EffectClass e : predicate.effects) {
    if (e == effect) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::span<const Predicate> Conscience::predicates() const noexcept {
  return kBuiltinPredicates;
}

bool Conscience::is_declared(std::string_view text) const noexcept {
  for (const DeclaredChannel& channel : registry_) {
    if (text == channel.address || text.starts_with(channel.prefix)) {
      return true;
    }
  }
  return false;
}

ConscienceOutcome Conscience::evaluate(std::string_view intent, EffectClass effect,
                                       const FieldMap& fields) const {
  const LoweredView view(fields);
  Tally tally;
  for (const Predicate& predicate : predicates()) {
    if (!takes_part(predicate, effect)) {
      continue;
    }
    tally.matched = true;
    std::visit(RuleApplier(*this, intent, effect, view, predicate, tally), predicate.rule);
  }

  if (tally.denied) {
    return ConscienceOutcome::deny(std::move(tally.reason), tally.category);
  }
  if (tally.allowed) {
    return ConscienceOutcome::allow();
  }
  // Only dangerous effects get here: a safe one always meets baseline_allow.
  // Should that ever change, a safe effect is denied the same way rather than
  // allowed without an explicit allow.
  if (tally.matched) {
    return ConscienceOutcome::deny(
        concat({"Default-deny: no explicit Allow predicate for dangerous effect ",
                display_name(effect), " on '", intent, "'"}),
        VerdictCategory::ChannelPolicy);
  }
  return ConscienceOutcome::deny(concat({"Default-deny: no predicates match effect ",
                                         display_name(effect), " for intent '", intent, "'"}),
                                 VerdictCategory::ChannelPolicy);
}

}  // namespace ordel
