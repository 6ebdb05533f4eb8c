// The verification road for one intent: pre-conditions in order, then the
// conscience. Pure: reads the intent, the fields and the conscience only.
#pragma once

#include <string_view>

#include "conscience/conscience.h"
#include "conscience/fields.h"
#include "conscience/verdict.h"
#include "policy/policy.h"

namespace ordel {

// `name` is the intent name as the caller gave it. The first pre-condition
// that is false, or whose evaluation fails, decides the verdict; later ones
// are not evaluated.
[[nodiscard]] Verdict verify_intent(const PolicyIntent& intent, std::string_view name,
                                    const FieldMap& fields, const Conscience& conscience);

}  // namespace ordel
