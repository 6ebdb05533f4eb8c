// Pre-conditions evaluated through a whole engine: each row declares a Read
// intent with one pre-condition and verifies it against a set of fields.
#include <gtest/gtest.h>

#include "engine/engine.h"

namespace ordel {
namespace {

constexpr std::string_view kAllowed = "allowed";
constexpr std::string_view kFailed = "Pre-condition failed for intent 'T'";

struct Case {
  std::string_view pre;
  std::vector<FieldPair> fields;
  std::string_view want;  // kAllowed, kFailed, or the evaluation error message
};

std::string outcome(std::string_view pre, const std::vector<FieldPair>& fields) {
  const std::string source = "module m { intent T { effect: READ; pre: " + std::string(pre) + "; } }";
  auto engine = Engine::from_source(source);
  if (!engine) {
    return "compile error: " + engine.error().text();
  }
  auto verdict = engine->verify("T", fields);
  if (!verdict) {
    return "verify error: " + verdict.error().text();
  }
  if (verdict->allowed) {
    return std::string(kAllowed);
  }
  if (*verdict->reason == kFailed) {
    EXPECT_EQ(verdict->guidance, "One or more pre-conditions were not satisfied");
    return std::string(kFailed);
  }
  constexpr std::string_view kErrorPrefix = "Pre-condition evaluation error: ";
  EXPECT_TRUE(verdict->reason->starts_with(kErrorPrefix)) << *verdict->reason;
  EXPECT_EQ(verdict->guidance, "Pre-condition could not be evaluated");
  EXPECT_EQ(verdict->category, VerdictCategory::ConscienceCore);
  return verdict->reason->substr(kErrorPrefix.size());
}

void run(std::span<const Case> cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pre);
    EXPECT_EQ(outcome(c.pre, c.fields), c.want);
  }
}

TEST(Precondition, BooleanPositions) {
  const Case cases[] = {
      {"flag", {{"flag", "true"}}, kAllowed},
      {"flag", {{"flag", "false"}}, kFailed},
      {"flag", {{"flag", "False"}}, kAllowed},
      {"flag", {{"flag", "FALSE"}}, kAllowed},
      {"flag", {{"flag", "0"}}, kAllowed},
      {"flag", {{"flag", ""}}, kAllowed},
      {"!flag", {{"flag", "false"}}, kAllowed},
      {"flag", {}, "Unknown field 'flag' in pre-condition"},
      {"true", {}, kAllowed},
      {"false", {}, kFailed},
      // Kinds that simply count as true; nothing inside is evaluated.
      {"x + 1", {}, kAllowed},
      {"-x", {}, kAllowed},
      {"0", {}, kAllowed},
      {"\"false\"", {}, kAllowed},
      {"a.b", {}, kAllowed},
      {"[missing]", {}, kAllowed},
      {"Color.Red", {}, kAllowed},
      {"x |> f", {}, kAllowed},
      // No short-circuit: both operands are always evaluated.
      {"false && missing_field", {}, "Unknown field 'missing_field' in pre-condition"},
      {"true || missing_field", {}, "Unknown field 'missing_field' in pre-condition"},
      {"missing_a && missing_b", {}, "Unknown field 'missing_a' in pre-condition"},
      {"a && b", {{"a", "true"}, {"b", "false"}}, kFailed},
      {"a || b", {{"a", "false"}, {"b", "x"}}, kAllowed},
  };
  run(cases);
}

TEST(Precondition, Comparisons) {
  const Case cases[] = {
      {"amount > 100", {{"amount", "150"}}, kAllowed},
      {"amount > 100", {{"amount", "+150"}}, kAllowed},
      {"amount > 100", {{"amount", "-150"}}, kFailed},
      {"amount > 100", {{"amount", " 150"}}, "Cannot convert ' 150' to number"},
      {"amount > 100", {{"amount", "1e3"}}, "Cannot convert '1e3' to number"},
      {"amount > 100", {{"amount", "12.5"}}, "Cannot convert '12.5' to number"},
      {"amount > 100", {{"amount", "+-5"}}, "Cannot convert '+-5' to number"},
      {"amount > 100", {{"amount", "+"}}, "Cannot convert '+' to number"},
      {"amount > 100", {{"amount", ""}}, "Cannot convert '' to number"},
      {"amount < 0", {{"amount", "-9223372036854775808"}}, kAllowed},
      {"amount > 0", {{"amount", "9223372036854775808"}},
       "Cannot convert '9223372036854775808' to number"},
      {"count == 5", {{"count", "05"}}, kFailed},
      {"count == 5", {{"count", "5"}}, kAllowed},
      {"count != 5", {{"count", "05"}}, kAllowed},
      {"2 < 2.5", {}, kFailed},
      {"1 < 2.5", {}, kAllowed},
      {"1 <= 99999999999999999999.0", {}, kAllowed},
      {"x == 1.0", {{"x", "1"}}, kAllowed},
      {"x == true", {{"x", "true"}}, kAllowed},
      // Expressions other than literals and fields compare as their debug text.
      {"f(x) == f(x)", {}, kAllowed},
      {"a.b == \"FieldAccess(Ident(\\\"a\\\"), \\\"b\\\")\"", {}, kAllowed},
      {"length(name) > 3", {{"name", "\xC3\xA9\xC3\xA9\xC3\xA9"}}, kAllowed},
      {"length(name) == 6", {{"name", "\xC3\xA9\xC3\xA9\xC3\xA9"}}, kFailed},
      {"length(x) + 1 > 3", {{"x", "abc"}},
       "Cannot evaluate Binary(Call(\"length\", [Ident(\"x\")]), Add, IntLiteral(1)) to number"},
      {"length(a, b) > 1", {}, "length() requires exactly 1 argument"},
      {"upper(x) > 1", {}, "Cannot evaluate Call(\"upper\", [Ident(\"x\")]) to number"},
      {"n >= 1", {}, "Unknown field 'n' in pre-condition"},
  };
  run(cases);
}

TEST(Precondition, BuiltinFunctions) {
  const Case cases[] = {
      {"length(s)", {{"s", "x"}}, kAllowed},
      {"length(s)", {{"s", ""}}, kFailed},
      {"contains(s, \"ab\")", {{"s", "xaby"}}, kAllowed},
      {"contains(s, \"\")", {{"s", ""}}, kAllowed},
      {"contains(s, \"ba\")", {{"s", "xaby"}}, kFailed},
      {"starts_with(s, \"/tmp/\")", {{"s", "/tmp/x"}}, kAllowed},
      {"starts_with(s, \"/tmp/\")", {{"s", "/tmpx"}}, kFailed},
      {"ends_with(s, \".txt\")", {{"s", "a.txt"}}, kAllowed},
      {"matches(s, \"ab\")", {{"s", "xaby"}}, kAllowed},
      {"matches(s, \"^ab\")", {{"s", "xaby"}}, kFailed},
      {"matches(s, p)", {{"s", "xaby"}, {"p", "b.$"}}, kAllowed},
      {"matches(s, \"^\\\\p{L}+$\")", {{"s", "\xC3\xA9t\xC3\xA9"}}, kAllowed},
      {"matches(s, \"(\")", {{"s", "x"}}, "Invalid regex pattern '(': missing ): ("},
      {"matches(s, p)", {{"s", "x"}, {"p", "("}}, "Invalid regex pattern '(': missing ): ("},
      {"matches(s, \"(a)\\\\1\")", {{"s", "aa"}},
       "Invalid regex pattern '(a)\\1': invalid escape sequence: \\1"},
      {"matches(s, \"(?=a)\")", {{"s", "a"}},
       "Invalid regex pattern '(?=a)': invalid perl operator: (?="},
      // The subject is evaluated before the pattern.
      {"matches(missing, \"(\")", {}, "Unknown field 'missing' in pre-condition"},
      {"upper(x)", {}, "Unknown function 'upper' in pre-condition"},
      {"contains(x)", {}, "contains() requires exactly 2 arguments"},
      {"starts_with(x)", {}, "starts_with() requires exactly 2 arguments"},
      {"ends_with(x, y, z)", {}, "ends_with() requires exactly 2 arguments"},
      {"matches()", {}, "matches() requires exactly 2 arguments"},
      {"length()", {}, "length() requires exactly 1 argument"},
      {"contains(f(x), \"Call\")", {}, kAllowed},
  };
  run(cases);
}

TEST(Precondition, HostileInputsStayLinear) {
  // A pattern that backtracking engines take exponential time on.
  const std::string subject(100000, 'a');
  const std::vector<FieldPair> fields = {{"s", subject}};
  EXPECT_EQ(outcome("matches(s, \"(a+)+$\")", fields), kAllowed);
  EXPECT_EQ(outcome("matches(s, \"(a|aa)*b\")", fields), kFailed);
}

TEST(Precondition, FirstFalseEndsVerification) {
  auto engine = Engine::from_source(
      "module m { intent T { effect: READ; pre: a; pre: missing > 1; } }");
  ASSERT_TRUE(engine);
  const std::vector<FieldPair> fields = {{"a", "false"}};
  auto verdict = engine->verify("T", fields);
  ASSERT_TRUE(verdict);
  EXPECT_EQ(verdict->reason, kFailed);
}

}  // namespace
}  // namespace ordel
