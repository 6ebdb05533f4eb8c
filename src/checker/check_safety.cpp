// check_expr for the agent-safety constructs: `do`, `query_conscience`,
// `declare_anomaly`, `collapse` and `resolve`.
//
// The checker's part in safety is typing only: it gives these constructs
// their types and checks a `do`'s inputs against the intent's declared
// `takes`. It tracks no trust level, enforces no ordering of verification
// steps and proves nothing about effects; those decisions belong to the
// conscience and the engine at verification time. No construct seals or
// unseals a value, and an intent named Verify is not special here.
#include <utility>

#include "checker/checker.h"

namespace ordel {

Result<void> Checker::check_values(const std::vector<FieldValue>& values) {
  for (const FieldValue& value : values) {
    ORDEL_TRY(check_expr(value.value));
  }
  return {};
}

Result<Type> Checker::check_do(const Expr::Do& action) {
  auto it = intents_.find(action.action);
  if (it == intents_.end()) {
    // Invoking an undeclared intent is not a checking error.
    ORDEL_TRY(check_values(action.args));
    return Type::IntentResult{action.action};
  }
  const IntentInfo& intent = it->second;
  for (const FieldValue& arg : action.args) {
    ORDEL_ASSIGN_OR_RETURN(Type value, check_expr(arg.value));
    // Names the intent does not take are ignored; missing inputs are not
    // reported.
    if (const FieldInfo* input = intent.find_input(arg.name)) {
      ORDEL_TRY(expect_type(input->ty, value, action.span));
    }
  }
  if (intent.gives.size() == 1) {
    return intent.gives.front().ty;
  }
  return Type::IntentResult{action.action};
}

Result<Type> Checker::check_query_conscience(const Expr::QueryConscience& query) {
  // Neither the predicate name nor the argument names are looked up.
  ORDEL_TRY(check_values(query.args));
  return Type::Contract{"ConscienceQuery"};
}

Result<Type> Checker::check_declare_anomaly(const Expr::DeclareAnomaly& anomaly) {
  // The kind expression need not be an AnomalyType value.
  ORDEL_TRY(check_expr(*anomaly.subject));
  ORDEL_TRY(check_values(anomaly.details));
  return Type::Void{};
}

Result<Type> Checker::check_collapse(const Expr::Collapse& collapse) {
  ORDEL_TRY(check_expr(*collapse.operand));
  return Type::Handle{};
}

Result<Type> Checker::check_resolve(const Expr::Resolve& resolve) {
  ORDEL_TRY(check_expr(*resolve.operand));
  return Type::Void{};
}

}  // namespace ordel
