#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "support/alloc_counter.h"
#include "conscience/conscience.h"
#include "conscience/fields.h"
#include "conscience/verdict.h"


namespace ordel {
namespace {

using namespace std::literals;

// ---- Vocabulary --------------------------------------------------------------

TEST(Verdict, EffectClassDerivationIsByteExact) {
  struct Case {
    std::optional<std::string_view> name;
    EffectClass effect;
  };
  const Case cases[] = {
      {"READ", EffectClass::Read},
      {"WRITE", EffectClass::Write},
      {"EXECUTE", EffectClass::Execute},
      {"NETWORK", EffectClass::Network},
      {"MODIFY_PREDICATE", EffectClass::ModifyPredicate},
      {"MODIFY_PRIVILEGE", EffectClass::ModifyPrivilege},
      {"MODIFY_AGENT", EffectClass::ModifyAgent},
      {"NOOP", EffectClass::Noop},
      {std::nullopt, EffectClass::Noop},
      {"read", EffectClass::Noop},
      {"DELETE", EffectClass::Noop},
      {"READ ", EffectClass::Noop},
      {"", EffectClass::Noop},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name.value_or("<absent>")));
    EXPECT_EQ(effect_class(c.name), c.effect);
  }
}

TEST(Verdict, EffectDisplayNamesAndDanger) {
  struct Case {
    EffectClass effect;
    std::string_view display;
    bool dangerous;
  };
  const Case cases[] = {
      {EffectClass::Read, "Read", false},
      {EffectClass::Write, "Write", true},
      {EffectClass::Execute, "Execute", true},
      {EffectClass::Network, "Network", true},
      {EffectClass::ModifyPredicate, "ModifyPredicate", true},
      {EffectClass::ModifyPrivilege, "ModifyPrivilege", true},
      {EffectClass::ModifyAgent, "ModifyAgent", true},
      {EffectClass::Noop, "Noop", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.display));
    EXPECT_EQ(display_name(c.effect), c.display);
    EXPECT_EQ(is_dangerous(c.effect), c.dangerous);
  }
}

TEST(Verdict, FourShapes) {
  const Verdict allowed = Verdict::from_outcome(ConscienceOutcome::allow());
  EXPECT_TRUE(allowed.allowed);
  EXPECT_FALSE(allowed.reason.has_value());
  EXPECT_EQ(allowed.guidance, "Action is permitted under current conscience evaluation.");
  EXPECT_EQ(allowed.category, VerdictCategory::ChannelPolicy);

  struct Case {
    VerdictCategory category;
    std::string_view name;
    std::string_view guidance;
  };
  const Case cases[] = {
      {VerdictCategory::ChannelPolicy, "ChannelPolicy",
       "Action denied: channel policy restriction. Consider using an alternative path or "
       "requesting predicate review."},
      {VerdictCategory::ResourcePolicy, "ResourcePolicy",
       "Action denied: resource policy constraint. Check resource bounds."},
      {VerdictCategory::IrreversibleAction, "IrreversibleAction",
       "Action denied: irreversible action requires additional authorization."},
      {VerdictCategory::ConscienceCore, "ConscienceCore",
       "Action denied: core conscience constraint. This restriction is permanent."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name));
    EXPECT_EQ(category_name(c.category), c.name);
    const Verdict denied = Verdict::from_outcome(ConscienceOutcome::deny("why", c.category));
    EXPECT_EQ(denied, (Verdict{false, "why"s, c.guidance, c.category}));
  }

  EXPECT_EQ(Verdict::pre_condition_failed("ReadFile"),
            (Verdict{false, "Pre-condition failed for intent 'ReadFile'"s,
                     "One or more pre-conditions were not satisfied",
                     VerdictCategory::ConscienceCore}));
  EXPECT_EQ(Verdict::pre_condition_error("Undefined variable: size"),
            (Verdict{false, "Pre-condition evaluation error: Undefined variable: size"s,
                     "Pre-condition could not be evaluated", VerdictCategory::ConscienceCore}));
}

TEST(FieldMap, LaterDuplicateWinsAndKeysAreExact) {
  std::vector<FieldPair> pairs = {{"path", "/a"}, {"Path", "/b"}, {"path", "/c"}};
  // Above the linear-scan limit the hash index must give the same answers.
  std::vector<FieldPair> many = pairs;
  const std::vector<std::string> fillers = [] {
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i) {
      names.push_back("k" + std::to_string(i));
    }
    return names;
  }();
  for (const std::string& name : fillers) {
    many.emplace_back(name, "x");
  }
  many.emplace_back("path", "/d");

  for (const auto& [input, last_path] : {std::pair{&pairs, "/c"}, std::pair{&many, "/d"}}) {
    SCOPED_TRACE(input->size());
    const FieldMap fields(*input);
    EXPECT_FALSE(fields.empty());
    EXPECT_EQ(fields.find("path"), std::optional<std::string_view>(last_path));
    EXPECT_EQ(fields.find("Path"), std::optional<std::string_view>("/b"));
    EXPECT_EQ(fields.find("PATH"), std::nullopt);
    EXPECT_FALSE(fields.contains("file"));
  }
  EXPECT_TRUE(FieldMap{}.empty());
}

TEST(Conscience, BuiltInPredicatesAndRegistry) {
  const Conscience conscience;
  const auto predicates = conscience.predicates();
  ASSERT_EQ(predicates.size(), 5u);
  const std::string_view names[] = {"no_harm", "no_exfiltrate", "no_bypass_verification",
                                    "path_safety", "baseline_allow"};
  const std::string_view descriptions[] = {
      "Prevent actions that could cause irreversible harm",
      "Prevent unauthorized data exfiltration to undeclared channels",
      "Prevent bypassing the verification pipeline",
      "Restrict file system paths to safe directories",
      "Baseline allow for safe effect classes only (NOOP, Read)"};
  for (std::size_t i = 0; i < predicates.size(); ++i) {
    EXPECT_EQ(predicates[i].name, names[i]);
    EXPECT_EQ(predicates[i].description, descriptions[i]);
  }
  EXPECT_TRUE(conscience.registry().empty());
  EXPECT_FALSE(conscience.is_declared(""));
  EXPECT_FALSE(conscience.is_declared("https://example.com"));
}

// ---- Evaluation --------------------------------------------------------------

struct Case {
  std::string_view intent;
  EffectClass effect;
  std::vector<FieldPair> fields;
  bool allowed;
  std::string reason;  // empty when allowed
  VerdictCategory category = VerdictCategory::ChannelPolicy;
};

void run(const Case& c) {
  const Conscience conscience;
  const Verdict verdict =
      Verdict::from_outcome(conscience.evaluate(c.intent, c.effect, FieldMap(c.fields)));
  EXPECT_EQ(verdict.allowed, c.allowed);
  if (c.allowed) {
    EXPECT_EQ(verdict.reason, std::nullopt);
  } else {
    EXPECT_EQ(verdict.reason, std::optional<std::string>(c.reason));
  }
  EXPECT_EQ(verdict.category, c.category);
}

std::string path_denial(std::string_view value, std::string_view normalized) {
  return "Path '" + std::string(value) + "' (normalized: '" + std::string(normalized) +
         "') denied by predicate 'path_safety'";
}

constexpr auto kRead = EffectClass::Read;
constexpr auto kWrite = EffectClass::Write;
constexpr auto kExecute = EffectClass::Execute;
constexpr auto kNetwork = EffectClass::Network;
constexpr auto kIrreversible = VerdictCategory::IrreversibleAction;
constexpr auto kCore = VerdictCategory::ConscienceCore;

TEST(Conscience, PathSafety) {
  const std::string long_path = "/tmp/" + std::string(5000, 'a');
  const Case cases[] = {
      {"ReadFile", kRead, {{"path", "/tmp/data.txt"}}, true, ""},
      {"ReadFile", kRead, {{"path", "/etc/passwd"}}, false,
       path_denial("/etc/passwd", "/etc/passwd")},
      {"ReadFile", kRead, {{"PATH", "/etc/shadow"}}, false,
       path_denial("/etc/shadow", "/etc/shadow")},
      {"ReadFile", kRead, {{"File_Path", "/ETC/x"}}, false, path_denial("/ETC/x", "/etc/x")},
      {"ReadFile", kRead, {{"filename", "/etc"}}, false, path_denial("/etc", "/etc")},
      {"ReadFile", kRead, {{"filepath", "/etcetera"}}, true, ""},
      {"ReadFile", kRead, {{"path", "/proc/1/mem"}}, false,
       path_denial("/proc/1/mem", "/proc/1/mem")},
      {"ReadFile", kRead, {{"path", "sys"}}, false, path_denial("sys", "/sys")},
      {"ReadFile", kRead, {{"path", "/boot/"}}, false, path_denial("/boot/", "/boot")},
      {"ReadFile", kRead, {{"path", "/root/.ssh"}}, false, path_denial("/root/.ssh", "/root/.ssh")},
      {"ReadFile", kRead, {{"path", " /dev/null"}}, false, path_denial(" /dev/null", "/dev/null")},
      {"ReadFile", kRead, {{"path", "/tmp/%2e%2e/ETC/passwd"}}, false,
       path_denial("/tmp/%2e%2e/ETC/passwd", "/etc/passwd")},
      {"ReadFile", kRead, {{"path", "/\u0435tc/passwd"}}, false,
       path_denial("/\u0435tc/passwd", "/etc/passwd")},
      {"ReadFile", kRead, {{"path", long_path}}, false,
       path_denial(long_path, "/etc/BLOCKED_PATH_TOO_LONG")},
      {"ReadFile", kRead, {{"path", "/tmp/\0"sv}}, false,
       path_denial("/tmp/\0"s, "/etc/BLOCKED_NULL_BYTE")},
      // Fields are examined in the order of the name list, the later
      // denial replacing the earlier one.
      {"ReadFile", kRead, {{"file", "/dev/b"}, {"path", "/etc/a"}}, false,
       path_denial("/dev/b", "/dev/b")},
      // Fields the rule does not name are not paths.
      {"ReadFile", kRead, {{"dir", "/etc"}}, true, ""},
      {"ReadFile", kRead, {}, true, ""},
      {"Touch", EffectClass::Noop, {{"path", "/etc/passwd"}}, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    run(c);
  }
}

TEST(Conscience, DuplicateAndCaseFoldedKeysLaterPairWins) {
  std::vector<std::string> fillers;
  for (int i = 0; i < 20; ++i) {
    fillers.push_back("Key" + std::to_string(i));
  }
  fillers.push_back("\u00C9TAT");
  const auto padded = [&](std::vector<FieldPair> tail) {
    std::vector<FieldPair> pairs;
    for (const std::string& name : fillers) {
      pairs.emplace_back(name, "x");
    }
    pairs.insert(pairs.end(), tail.begin(), tail.end());
    return pairs;
  };
  const Case cases[] = {
      {"ReadFile", kRead, {{"path", "/etc/passwd"}, {"path", "/tmp/x"}}, true, ""},
      {"ReadFile", kRead, {{"path", "/tmp/x"}, {"path", "/etc/passwd"}}, false,
       path_denial("/etc/passwd", "/etc/passwd")},
      {"ReadFile", kRead, {{"PATH", "/etc/passwd"}, {"path", "/tmp/x"}}, true, ""},
      {"ReadFile", kRead, {{"path", "/tmp/x"}, {"Path", "/etc/passwd"}}, false,
       path_denial("/etc/passwd", "/etc/passwd")},
      {"ReadFile", kRead, {{"\u00C9TAT", "x"}, {"Path", "/etc/passwd"}}, false,
       path_denial("/etc/passwd", "/etc/passwd")},
      {"ReadFile", kRead, padded({{"PATH", "/etc/passwd"}, {"path", "/tmp/x"}}), true, ""},
      {"ReadFile", kRead, padded({{"path", "/tmp/x"}, {"PATH", "/etc/passwd"}}), false,
       path_denial("/etc/passwd", "/etc/passwd")},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    run(cases[i]);
  }
}

TEST(Conscience, HarmExfiltrationAndExecution) {
  const std::string no_harm = "no_harm: Destructive intent 'DeleteRecord' requires authorized=true";
  const std::string unverified =
      "no_bypass_verification: intent 'RunTool' carries unverified data for execution. Set "
      "verified=true or use `do Verify` first.";
  const Case cases[] = {
      // no_harm.
      {"DeleteRecord", kWrite, {}, false, no_harm, kIrreversible},
      {"DeleteRecord", kWrite, {{"authorized", "true"}}, true, ""},
      {"DeleteRecord", kWrite, {{"Authorized", "true"}}, true, ""},
      {"DeleteRecord", kWrite, {{"authorized", "True"}}, false, no_harm, kIrreversible},
      {"DeleteRecord", kWrite, {{"authorized", "TRUE"}}, false, no_harm, kIrreversible},
      {"DeleteRecord", kWrite, {{"authorized", "true "}}, false, no_harm, kIrreversible},
      {"deleteRecord", kWrite, {}, true, ""},
      {"DeleteRecord", kWrite, {{"path", "/etc/x"}}, false, path_denial("/etc/x", "/etc/x")},
      {"SaveNote", kWrite, {}, true, ""},
      // no_exfiltrate.
      {"FetchPage", kNetwork, {{"url", "https://example.com"}}, false,
       "no_exfiltrate: url 'https://example.com' is not in declared-channel registry"},
      {"FetchPage", kNetwork, {{"HOST", "example.com"}}, false,
       "no_exfiltrate: host 'example.com' is not in declared-channel registry"},
      {"FetchPage", kNetwork, {{"location", "b"}, {"url", "a"}}, false,
       "no_exfiltrate: url 'a' is not in declared-channel registry"},
      {"FetchPage", kNetwork, {{"note", "https://example.com"}}, true, ""},
      {"FetchPage", kNetwork, {}, true, ""},
      {"SaveNote", kWrite, {{"url", "ftp://host/x"}}, false,
       "no_exfiltrate: url 'ftp://host/x' is not in declared-channel registry"},
      {"SaveNote", kWrite, {{"url", "example.com"}}, true, ""},
      {"SaveNote", kWrite, {{"note", "https://example.com"}}, true, ""},
      {"SaveNote", kWrite, {{"path", "/mnt/share/x"}}, false,
       "no_exfiltrate: write to '/mnt/share/x' (normalized: '/mnt/share/x') may be a network "
       "path; not in declared channels"},
      {"SaveNote", kWrite, {{"file", "/NET/%2e/a"}}, false,
       "no_exfiltrate: write to '/NET/%2e/a' (normalized: '/net/a') may be a network path; not "
       "in declared channels"},
      {"SaveNote", kWrite, {{"path", "/mnt"}}, true, ""},
      {"SaveNote", kRead, {{"path", "/mnt/share/x"}}, true, ""},
      {"DeleteRecord", kWrite, {{"authorized", "true"}, {"url", "http://x"}}, false,
       "no_exfiltrate: url 'http://x' is not in declared-channel registry"},
      // no_bypass_verification.
      {"RunTool", kExecute, {{"code", "rm -rf /"}}, false, unverified, kCore},
      {"RunTool", kExecute, {{"Script", "x"}}, false, unverified, kCore},
      {"RunTool", kExecute, {{"payload", "x"}, {"verified", "yes"}}, false, unverified, kCore},
      {"RunTool", kExecute, {{"code", "x"}, {"verified", "true"}}, true, ""},
      {"RunTool", kExecute, {{"arg", "1"}}, true, ""},
      {"RunTool", kExecute, {}, true, ""},
      {"KillProcess", kExecute, {{"command", "x"}, {"verified", "true"}, {"authorized", "true"}},
       true, ""},
      {"KillProcess", kExecute, {{"command", "x"}, {"verified", "true"}}, false,
       "no_harm: Destructive intent 'KillProcess' requires authorized=true", kIrreversible},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.intent) + " " + c.reason);
    run(c);
  }
}

TEST(Conscience, DefaultDeny) {
  const Case cases[] = {
      {"ChangeRules", EffectClass::ModifyPredicate, {{"authorized", "true"}}, false,
       "Default-deny: no predicates match effect ModifyPredicate for intent 'ChangeRules'"},
      {"Escalate", EffectClass::ModifyPrivilege, {}, false,
       "Default-deny: no predicates match effect ModifyPrivilege for intent 'Escalate'"},
      {"KillAgent", EffectClass::ModifyAgent, {{"authorized", "true"}}, false,
       "Default-deny: no explicit Allow predicate for dangerous effect ModifyAgent on "
       "'KillAgent'"},
      {"KillAgent", EffectClass::ModifyAgent, {}, false,
       "no_harm: Destructive intent 'KillAgent' requires authorized=true", kIrreversible},
      {"UpdateAgent", EffectClass::ModifyAgent, {}, true, ""},
      // no_exfiltrate's allow stands in for the withheld no_harm allow.
      {"PurgeLogs", kNetwork, {{"authorized", "true"}}, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    run(c);
  }
}

// ---- Allocation behaviour ----------------------------------------------------

TEST(Conscience, AllowedAsciiRequestMakesNoHeapAllocation) {
  const Conscience conscience;
  const FieldPair short_path[] = {{"path", "/tmp/data.txt"}};
  const FieldPair long_path[] = {{"Mode", "r"},
                                 {"File_Path", "/home/agent/projects/ordel/../data/input.txt"}};
  for (const auto pairs : {std::span<const FieldPair>(short_path),
                           std::span<const FieldPair>(long_path)}) {
    const std::size_t before = testing_support::heap_allocations();
    const Verdict verdict =
        Verdict::from_outcome(conscience.evaluate("ReadFile", EffectClass::Read, FieldMap(pairs)));
    const std::size_t after = testing_support::heap_allocations();
    EXPECT_TRUE(verdict.allowed);
    EXPECT_EQ(after - before, 0u);
  }

  // The counter does see the allocations of a denial's reason.
  const FieldPair denied[] = {{"path", "/etc/passwd"}};
  const std::size_t before = testing_support::heap_allocations();
  const Verdict verdict =
      Verdict::from_outcome(conscience.evaluate("ReadFile", EffectClass::Read, FieldMap(denied)));
  EXPECT_FALSE(verdict.allowed);
  EXPECT_GT(testing_support::heap_allocations() - before, 0u);
}

}  // namespace
}  // namespace ordel
