// Throughput of the policy front end on generated policies of 1 MB and 4 MB:
// tokenizing alone, tokenizing + parsing, and tokenizing + parsing +
// checking. Also reports the peak heap use of one run relative to the
// source size.
#include <benchmark/benchmark.h>

#include "alloc_counter.h"
#include "checker/checker.h"
#include "lexer/lexer.h"
#include "parser/parser.h"
#include "policy_gen.h"

namespace ordel::bench {
namespace {

const std::string& policy_of(std::int64_t megabytes) {
  static const std::string one = generate_policy(1 << 20);
  static const std::string four = generate_policy(4 << 20);
  return megabytes == 1 ? one : four;
}

// Measures one extra run outside the timing loop for the heap figures.
template <typename Run>
void report_memory(benchmark::State& state, const std::string& source, Run run) {
  reset_peak();
  const AllocStats before = alloc_stats();
  run();
  const AllocStats after = alloc_stats();
  state.counters["peak_x_source"] =
      static_cast<double>(after.peak_bytes - before.live_bytes) / static_cast<double>(source.size());
  state.counters["allocs_per_KB"] =
      static_cast<double>(after.allocations - before.allocations) / (source.size() / 1024.0);
}

// The lexer alone, as the parser drives it: one token at a time.
void BM_Lex(benchmark::State& state) {
  const std::string& source = policy_of(state.range(0));
  for (auto _ : state) {
    Lexer lexer(source);
    Token token;
    std::size_t count = 0;
    while (lexer.next_into(token) && token.kind != TokenKind::Eof) {
      ++count;
    }
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}

// tokenize(): the whole token list materialised.
void BM_Tokenize(benchmark::State& state) {
  const std::string& source = policy_of(state.range(0));
  for (auto _ : state) {
    auto tokens = tokenize(source);
    benchmark::DoNotOptimize(tokens);
    if (!tokens) state.SkipWithError(tokens.error().text().c_str());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
  report_memory(state, source, [&] { benchmark::DoNotOptimize(tokenize(source)); });
}

void BM_TokenizeParse(benchmark::State& state) {
  const std::string& source = policy_of(state.range(0));
  for (auto _ : state) {
    auto module = parse_source(source);
    benchmark::DoNotOptimize(module);
    if (!module) state.SkipWithError(module.error().text().c_str());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
  report_memory(state, source, [&] { benchmark::DoNotOptimize(parse_source(source)); });
}

void BM_TokenizeParseCheck(benchmark::State& state) {
  const std::string& source = policy_of(state.range(0));
  const auto run = [&] {
    auto module = parse_source(source);
    if (!module) return false;
    Checker checker;
    return checker.check_module(*module).has_value();
  };
  for (auto _ : state) {
    if (!run()) state.SkipWithError("the generated policy does not check");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
  report_memory(state, source, [&] { benchmark::DoNotOptimize(run()); });
}

BENCHMARK(BM_Lex)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Tokenize)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TokenizeParse)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TokenizeParseCheck)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ordel::bench

BENCHMARK_MAIN();
