// Cost of Engine::verify on typical requests, with baselines measured in the
// same binary (an RE2 partial match, a hash-map find, ASCII lower-casing) so
// the figures can be read as ratios on a noisy machine. Every case reports
// its heap allocations per call.
#include <benchmark/benchmark.h>
#include <re2/re2.h>

#include <unordered_map>

#include "alloc_counter.h"
#include "engine/engine.h"

namespace ordel::bench {
namespace {

constexpr std::string_view kPolicy = R"(
module bench {
  intent ReadFile { takes: path: String; effect: READ; }
  intent ReadChecked {
    takes: path: String;
    effect: READ;
    pre: starts_with(path, "/tmp/"), matches(path, "\\.txt$"), length(path) < 200;
  }
  intent WriteFile { takes: path: String, content: Bytes; effect: WRITE; }
}
)";

const Engine& engine() {
  static const Engine instance = *Engine::from_source(kPolicy);
  return instance;
}

void verify_loop(benchmark::State& state, std::string_view intent,
                 std::span<const FieldPair> fields) {
  const Engine& e = engine();
  const auto before = alloc_stats().allocations;
  for (auto _ : state) {
    auto verdict = e.verify(intent, fields);
    benchmark::DoNotOptimize(verdict);
  }
  state.counters["allocs_per_call"] =
      static_cast<double>(alloc_stats().allocations - before) / static_cast<double>(state.iterations());
}

void BM_VerifyReadAllowed(benchmark::State& state) {
  const FieldPair fields[] = {{"path", "/tmp/data.txt"}};
  verify_loop(state, "ReadFile", fields);
}

void BM_VerifyReadDenied(benchmark::State& state) {
  const FieldPair fields[] = {{"path", "/etc/passwd"}};
  verify_loop(state, "ReadFile", fields);
}

void BM_VerifyThreePreconditions(benchmark::State& state) {
  const FieldPair fields[] = {{"path", "/tmp/data.txt"}};
  verify_loop(state, "ReadChecked", fields);
}

void BM_VerifyWriteFourFields(benchmark::State& state) {
  const FieldPair fields[] = {{"path", "/tmp/out/report.txt"},
                              {"Content", "hello"},
                              {"mode", "0644"},
                              {"owner", "agent"}};
  verify_loop(state, "WriteFile", fields);
}

// Baselines.
void BM_BaselineRe2PartialMatch(benchmark::State& state) {
  RE2::Options options;
  options.set_log_errors(false);
  const RE2 re("\\.txt$", options);
  const std::string path = "/workspace/project/src/data.txt";  // 31 bytes
  for (auto _ : state) {
    benchmark::DoNotOptimize(RE2::PartialMatch(path, re));
  }
}

void BM_BaselineHashMapFind(benchmark::State& state) {
  std::unordered_map<std::string, int> map = {{"ReadFile", 1}, {"WriteFile", 2}, {"Run", 3}};
  std::string key = "ReadFile";
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.find(key));
    benchmark::ClobberMemory();
  }
}

void BM_BaselineAsciiLower30(benchmark::State& state) {
  const std::string text = "/Workspace/Project/SRC/Data.TXT";
  char out[64];
  for (auto _ : state) {
    for (std::size_t i = 0; i < 30; ++i) {
      const char c = text[i];
      out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    }
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
}

BENCHMARK(BM_VerifyReadAllowed);
BENCHMARK(BM_VerifyReadDenied);
BENCHMARK(BM_VerifyThreePreconditions);
BENCHMARK(BM_VerifyWriteFourFields);
BENCHMARK(BM_BaselineRe2PartialMatch);
BENCHMARK(BM_BaselineHashMapFind);
BENCHMARK(BM_BaselineAsciiLower30);

}  // namespace
}  // namespace ordel::bench

BENCHMARK_MAIN();
