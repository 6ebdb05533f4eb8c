#include "verification/verify.h"

#include "verification/precondition.h"

namespace ordel {

Verdict verify_intent(const PolicyIntent& intent, std::string_view name, const FieldMap& fields,
                      const Conscience& conscience) {
  const EvalContext context{fields, &intent.regexes};
  for (const Expr& pre : intent.decl.pre) {
    const Result<bool> holds = eval_bool(pre, context);
    if (!holds) {
      return Verdict::pre_condition_error(holds.error().message);
    }
    if (!*holds) {
      return Verdict::pre_condition_failed(name);
    }
  }
  return Verdict::from_outcome(conscience.evaluate(name, intent.effect, fields));
}

}  // namespace ordel
