#include "conscience/verdict.h"

namespace ordel {

namespace {

// Turns each alternative of a conscience outcome into its Verdict shape.
struct OutcomeToVerdict {
  Verdict operator()(ConscienceOutcome::Allow) const noexcept {
    return Verdict{true, std::nullopt, kAllowedGuidance, VerdictCategory::ChannelPolicy};
  }
  Verdict operator()(ConscienceOutcome::Deny& deny) const noexcept {
    return Verdict{false, std::move(deny.reason), category_guidance(deny.category),
                   deny.category};
  }
};

}  // namespace

EffectClass effect_class(std::optional<std::string_view> effect_name) noexcept {
  if (!effect_name) {
    return EffectClass::Noop;
  }
  for (std::size_t i = 0; i < kEffectSourceNames.size(); ++i) {
    if (kEffectSourceNames[i] == *effect_name) {
      return static_cast<EffectClass>(i);
    }
  }
  return EffectClass::Noop;
}

Verdict Verdict::from_outcome(ConscienceOutcome outcome) noexcept {
  return std::visit(OutcomeToVerdict{}, outcome.decision);
}

Verdict Verdict::pre_condition_failed(std::string_view intent) {
  std::string reason;
  constexpr std::string_view kHead = "Pre-condition failed for intent '";
  reason.reserve(kHead.size() + intent.size() + 1);
  reason.append(kHead).append(intent).push_back('\'');
  return Verdict{false, std::move(reason), kPreConditionFailedGuidance,
                 VerdictCategory::ConscienceCore};
}

Verdict Verdict::pre_condition_error(std::string_view message) {
  std::string reason;
  constexpr std::string_view kHead = "Pre-condition evaluation error: ";
  reason.reserve(kHead.size() + message.size());
  reason.append(kHead).append(message);
  return Verdict{false, std::move(reason), kPreConditionErrorGuidance,
                 VerdictCategory::ConscienceCore};
}

}  // namespace ordel
