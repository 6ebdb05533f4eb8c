#include "conscience/conscience.h"

#include <initializer_list>
#include <optional>
#include <unordered_map>
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

constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

constexpr bool ascii_iequal(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) {
      return false;
    }
  }
  return true;
}

// Hash and equality that ignore ASCII letter case. A key's stand-in in the
// view is either the key itself (ASCII) or its full lower-case mapping,
// which holds no ASCII capital; for such texts, equality ignoring ASCII case
// is exactly equality of their lower-case mappings.
struct AsciiFoldHash {
  std::size_t operator()(std::string_view s) const noexcept {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : s) {
      hash = (hash ^ static_cast<unsigned char>(ascii_lower(c))) * 1099511628211ull;
    }
    return static_cast<std::size_t>(hash);
  }
};
struct AsciiFoldEqual {
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    return ascii_iequal(a, b);
  }
};

// The fields seen through lower-cased keys, without copying ASCII keys:
// those are compared ignoring ASCII case in place. Only non-ASCII keys are
// lower-cased through ICU, once each. Large requests get a hash index, as
// FieldMap does. A lookup gives the value of the last pair, in the caller's
// order, whose key lower-cases to the name.
class LoweredView {
 public:
  explicit LoweredView(const FieldMap& fields) : pairs_(fields.pairs()) {
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
      if (!text::is_ascii(pairs_[i].first)) {
        lowered_.resize(pairs_.size());
        text::to_lower_into(pairs_[i].first, lowered_[i]);
      }
    }
    if (pairs_.size() > kFieldMapLinearLimit) {
      index_.reserve(pairs_.size());
      for (std::size_t i = 0; i < pairs_.size(); ++i) {
        index_.insert_or_assign(key(i), pairs_[i].second);
      }
    }
  }
  LoweredView(const LoweredView&) = delete;
  LoweredView& operator=(const LoweredView&) = delete;

  [[nodiscard]] bool empty() const noexcept { return pairs_.empty(); }

  // `name` is an ASCII lower-case field name.
  [[nodiscard]] std::optional<std::string_view> find(std::string_view name) const {
    if (pairs_.size() > kFieldMapLinearLimit) {
      const auto it = index_.find(name);
      if (it == index_.end()) {
        return std::nullopt;
      }
      return it->second;
    }
    for (std::size_t i = pairs_.size(); i-- > 0;) {
      if (ascii_iequal(key(i), name)) {
        return pairs_[i].second;
      }
    }
    return std::nullopt;
  }

  // A flag is set only by the exact value "true".
  [[nodiscard]] bool flag(std::string_view name) const {
    const auto value = find(name);
    return value && *value == "true";
  }

 private:
  [[nodiscard]] std::string_view key(std::size_t i) const noexcept {
    if (!lowered_.empty() && !lowered_[i].empty()) {
      return lowered_[i];
    }
    return pairs_[i].first;
  }

  std::span<const FieldPair> pairs_;
  // Per pair, the lower-case mapping of a non-ASCII key (empty otherwise);
  // sized once, so views into it stay valid.
  std::vector<std::string> lowered_;
  std::unordered_map<std::string_view, std::string_view, AsciiFoldHash, AsciiFoldEqual> index_;
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

bool in_directory(std::string_view path, std::string_view directory) noexcept {
  return path.starts_with(directory) &&
         (path.size() == directory.size() || path[directory.size()] == '/');
}

bool is_destructive(std::string_view intent) noexcept {
  for (const std::string_view verb : kDestructiveVerbs) {
    if (intent.find(verb) != std::string_view::npos) {
      return true;
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
    PathBuffer buffer;
    std::string spill;
    for (const std::string_view field : kPathFields) {
      const auto value = view_.find(field);
      if (!value) {
        continue;
      }
      const std::string_view normalized = normalize_path_view(*value, buffer, spill);
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
    if (view_.flag("authorized")) {
      return;
    }
    tally_.deny(concat({"no_harm: Destructive intent '", intent_, "' requires authorized=true"}),
                VerdictCategory::IrreversibleAction);
  }

  void no_exfiltrate() const {
    if (!view_.empty()) {
      for (const std::string_view field : kNetworkFields) {
        const auto value = view_.find(field);
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
      PathBuffer buffer;
      std::string spill;
      for (const std::string_view field : kPathFields) {
        const auto value = view_.find(field);
        if (!value) {
          continue;
        }
        const std::string_view normalized = normalize_path_view(*value, buffer, spill);
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
    for (const std::string_view key : kExecutionDataKeys) {
      if (view_.find(key)) {
        carries_code = true;
        break;
      }
    }
    if (!carries_code || view_.flag("verified")) {
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
