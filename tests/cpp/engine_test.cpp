#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/engine.h"

namespace ordel {
namespace {

constexpr std::string_view kPolicy = R"(
module files {
  intent ReadFile {
    takes: path: String;
    gives: data: Bytes;
    effect: READ;
    conscience: path_safety;
  }
  intent WriteFile {
    takes: path: String, data: Map<String, [bool]>, t: Tensor[3, n, ?], s: Sealed<Report>;
    effect: WRITE;
    pre: length(path) > 0;
  }
  intent DeleteFile { takes: path: String; effect: WRITE; }
  intent Lower { effect: read; conscience: made_up; }
  intent Bare { }
  intent Guarded { effect: READ; pre: starts_with(path, "/tmp/"), matches(path, "\\.txt$"), n < 10; }
  intent Twice { effect: READ; }
  intent Twice { effect: NETWORK; }
}
)";

Engine open() {
  auto engine = Engine::from_source(kPolicy);
  EXPECT_TRUE(engine) << engine.error().text();
  return std::move(*engine);
}

TEST(Engine, VerifiesThroughPreconditionsAndConscience) {
  const Engine engine = open();
  struct Case {
    std::string_view intent;
    std::vector<FieldPair> fields;
    bool allowed;
    std::string_view reason;
    VerdictCategory category;
  };
  const Case cases[] = {
      {"ReadFile", {{"path", "/tmp/data.txt"}}, true, "", VerdictCategory::ChannelPolicy},
      {"ReadFile", {{"path", "/etc/passwd"}}, false,
       "Path '/etc/passwd' (normalized: '/etc/passwd') denied by predicate 'path_safety'",
       VerdictCategory::ChannelPolicy},
      // The later duplicate key wins, for pre-conditions and predicates alike.
      {"ReadFile", {{"path", "/etc/passwd"}, {"path", "/tmp/x"}}, true, "",
       VerdictCategory::ChannelPolicy},
      {"WriteFile", {{"path", ""}}, false, "Pre-condition failed for intent 'WriteFile'",
       VerdictCategory::ConscienceCore},
      {"WriteFile", {}, false,
       "Pre-condition evaluation error: Unknown field 'path' in pre-condition",
       VerdictCategory::ConscienceCore},
      {"WriteFile", {{"path", "/tmp/out"}}, true, "", VerdictCategory::ChannelPolicy},
      {"DeleteFile", {{"path", "/tmp/out"}}, false,
       "no_harm: Destructive intent 'DeleteFile' requires authorized=true",
       VerdictCategory::IrreversibleAction},
      // An unknown effect name (here lower case) is Noop.
      {"Lower", {}, true, "", VerdictCategory::ChannelPolicy},
      {"Bare", {}, true, "", VerdictCategory::ChannelPolicy},
      {"Guarded", {{"path", "/tmp/a.txt"}, {"n", "3"}}, true, "", VerdictCategory::ChannelPolicy},
      {"Guarded", {{"path", "/tmp/a.md"}, {"n", "3"}}, false,
       "Pre-condition failed for intent 'Guarded'", VerdictCategory::ConscienceCore},
      // The second declaration of a name replaces the first.
      {"Twice", {}, true, "", VerdictCategory::ChannelPolicy},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.intent);
    auto verdict = engine.verify(c.intent, c.fields);
    ASSERT_TRUE(verdict) << verdict.error().text();
    EXPECT_EQ(verdict->allowed, c.allowed);
    EXPECT_EQ(verdict->reason.value_or(""), c.reason);
    EXPECT_EQ(verdict->category, c.category);
  }
}

TEST(Engine, UnknownIntentIsTheOnlyVerifyError) {
  const Engine engine = open();
  for (const std::string_view name : {"readfile", "READFILE", "", "Nope"}) {
    auto verdict = engine.verify(name, {});
    ASSERT_FALSE(verdict);
    EXPECT_EQ(verdict.error().text(),
              "[UndefinedFunction] Error: Intent '" + std::string(name) + "' not found in policy");
  }
}

TEST(Engine, Introspection) {
  const Engine engine = open();
  auto names = engine.intents();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Bare", "DeleteFile", "Guarded", "Lower", "ReadFile",
                                             "Twice", "WriteFile"}));
  EXPECT_TRUE(engine.has_intent("ReadFile"));
  EXPECT_FALSE(engine.has_intent("readFile"));
  EXPECT_FALSE(engine.has_intent(""));
  EXPECT_FALSE(engine.intent_signature("Nope"));

  const auto write = engine.intent_signature("WriteFile");
  ASSERT_TRUE(write);
  EXPECT_EQ(write->takes, (std::vector<std::pair<std::string, std::string>>{
                              {"path", "String"},
                              {"data", "Map<String, [bool]>"},
                              {"t", "Tensor[3, n, ?]"},
                              {"s", "Sealed<Report>"}}));
  EXPECT_EQ(write->effect, "WRITE");

  const auto read = engine.intent_signature("ReadFile");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->gives, (std::vector<std::pair<std::string, std::string>>{{"data", "Bytes"}}));
  EXPECT_EQ(read->conscience, std::vector<std::string>{"path_safety"});

  EXPECT_EQ(engine.intent_signature("Lower")->effect, "read");
  EXPECT_EQ(engine.intent_signature("Lower")->conscience, std::vector<std::string>{"made_up"});
  EXPECT_EQ(engine.intent_signature("Bare")->effect, "NOOP");
  EXPECT_EQ(engine.intent_signature("Twice")->effect, "NETWORK");
}

TEST(Engine, CompilationReportsTheFirstStageError) {
  struct Case {
    std::string_view source;
    std::string_view error;
  };
  const Case cases[] = {
      // A lexical error wins over a type error earlier in the source.
      {"module m { fn f() { if 1 { } } } $",
       "[UnexpectedChar] Error at line 1:35: Unexpected character: '$'"},
      {"module m { fn f() { if 1 { } } }",
       "[TypeMismatch] Error at line 1:21: Type mismatch: expected bool, found i64"},
      {"", "[ExpectedToken] Error at line 1:1: Expected 'module', found 'EOF'"},
  };
  for (const auto& c : cases) {
    auto engine = Engine::from_source(c.source);
    ASSERT_FALSE(engine);
    EXPECT_EQ(engine.error().text(), c.error);
  }
  auto no_intents = Engine::from_source("module m { import \"missing/file.odl\"; }");
  ASSERT_TRUE(no_intents);
  EXPECT_TRUE(no_intents->intents().empty());
  EXPECT_FALSE(no_intents->verify("ReadFile", {}));
}

class EngineFile : public testing::Test {
 protected:
  std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                               ("ordel_engine_test_" + std::to_string(::getpid()));
  void SetUp() override { std::filesystem::create_directories(dir_); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string write(std::string_view name, std::string_view content) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }
};

TEST_F(EngineFile, OpensAFileAndReportsReadFailures) {
  const std::string good = write("good.odl", kPolicy);
  auto engine = Engine::from_file(good);
  ASSERT_TRUE(engine) << engine.error().text();
  EXPECT_TRUE(engine->has_intent("ReadFile"));

  const std::string missing = (dir_ / "missing.odl").string();
  const std::string bad_utf8 = write("bad.odl", "module m { \xFF }");
  struct Case {
    std::string path;
    std::string error;
  };
  const Case cases[] = {
      {missing, "[HaltUnknown] Error: Failed to read policy file " + missing +
                    ": No such file or directory (os error 2)"},
      {dir_.string(), "[HaltUnknown] Error: Failed to read policy file " + dir_.string() +
                          ": Is a directory (os error 21)"},
      {bad_utf8, "[HaltUnknown] Error: Failed to read policy file " + bad_utf8 +
                     ": stream did not contain valid UTF-8"},
      {std::string("a\0b", 3), "[HaltUnknown] Error: Failed to read policy file " +
                                   std::string("a\0b", 3) +
                                   ": file name contained an unexpected NUL byte"},
  };
  for (const auto& c : cases) {
    auto failed = Engine::from_file(c.path);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().text(), c.error);
  }
  // NUL characters inside a policy are lexical errors, not crashes.
  auto with_nul = Engine::from_file(write("nul.odl", std::string("module m {\0}", 12)));
  ASSERT_FALSE(with_nul);
  EXPECT_EQ(with_nul.error().kind, ErrorKind::UnexpectedChar);
}

TEST(Engine, ConcurrentVerificationMatchesSequential) {
  const Engine engine = open();
  struct Request {
    std::string intent;
    std::vector<std::pair<std::string, std::string>> fields;
  };
  std::vector<Request> requests;
  const char* paths[] = {"/tmp/data.txt", "/etc/passwd", "%2Fetc%2Fshadow", "/tmp/a.txt",
                         "/mnt/share/x", "", "/TMP/../Etc"};
  for (const char* intent : {"ReadFile", "WriteFile", "DeleteFile", "Guarded", "Twice"}) {
    for (const char* path : paths) {
      requests.push_back({intent, {{"path", path}, {"n", "4"}, {"URL", "https://x"}}});
    }
  }
  const auto run = [&](const Request& r) {
    std::vector<FieldPair> fields;
    for (const auto& [k, v] : r.fields) fields.emplace_back(k, v);
    return *engine.verify(r.intent, fields);
  };
  std::vector<Verdict> expected;
  for (const auto& r : requests) expected.push_back(run(r));

  std::vector<std::thread> threads;
  std::vector<int> mismatches(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        for (std::size_t i = 0; i < requests.size(); ++i) {
          if (!(run(requests[i]) == expected[i])) ++mismatches[t];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(8, 0));
}

}  // namespace
}  // namespace ordel
