#include "policy/policy.h"

#include "checker/checker.h"
#include "parser/parser.h"

namespace ordel {

const PolicyIntent* Policy::find(std::string_view name) const noexcept {
  const auto it = intents_.find(name);
  return it == intents_.end() ? nullptr : it->second.get();
}

std::vector<std::string> Policy::names() const {
  std::vector<std::string> names;
  names.reserve(intents_.size());
  for (const auto& [name, intent] : intents_) {
    names.push_back(name);
  }
  return names;
}

Result<Policy> compile_policy(std::string_view source) {
  ORDEL_ASSIGN_OR_RETURN(Module module, parse_source(source));
  {
    Checker checker;
    ORDEL_TRY(checker.check_module(module));
  }
  Policy policy;
  for (auto& declaration : module.declarations) {
    auto* decl = std::get_if<IntentDecl>(&declaration.node);
    if (decl == nullptr) {
      continue;
    }
    auto intent = std::make_unique<PolicyIntent>();
    intent->decl = std::move(*decl);
    intent->effect = effect_class(intent->decl.effect);
    intent->regexes.prepare(intent->decl.pre);
    std::string name = intent->decl.name;
    policy.intents_.insert_or_assign(std::move(name), std::move(intent));
  }
  return policy;
}

}  // namespace ordel
