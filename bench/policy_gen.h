// Generates policy sources of a requested size for the benchmarks: many
// intents with pre-conditions and functions with nested expressions, laid
// out the way people write policies.
#pragma once

#include <string>

namespace ordel::bench {

inline std::string generate_policy(std::size_t target_bytes) {
  std::string out = "module bench_policy {\n";
  for (std::size_t i = 0; out.size() < target_bytes; ++i) {
    const std::string n = std::to_string(i);
    out += "  // Unit " + n + ": a contract, two intents and a scoring function.\n";
    out += "  contract Report" + n + " {\n    @1: summary: String,\n    @2: score: i64,\n  }\n\n";
    out += "  intent ReadFile" + n + " {\n"
           "    takes: path: String, limit: i64;\n"
           "    gives: data: Bytes;\n"
           "    effect: READ;\n"
           "    conscience: path_safety, no_exfiltrate;\n"
           "    pre: length(path) > 3, starts_with(path, \"/tmp/\"),\n"
           "         matches(path, \"^/tmp/[a-z0-9_./]+$\");\n"
           "    bound: max_calls(100), window(60 s);\n"
           "  }\n\n";
    out += "  intent FetchUrl" + n + " {\n"
           "    takes: url: String, retries: i64;\n"
           "    effect: NETWORK;\n"
           "    pre: starts_with(url, \"https://\") && !contains(url, \"..\"), retries <= 5;\n"
           "  }\n\n";
    out += "  fn score" + n + "(a: i64, b: f64, name: String) -> f64 {\n"
           "    let total: f64 = (a * 3 + b / 2.5) - (a % 7);\n"
           "    if total > 10.0 && len(name) < 40 {\n"
           "      return total * 2.0;\n"
           "    } else {\n"
           "      loop (total < 100.0, 50) {\n"
           "        total += 1.5;\n"
           "      }\n"
           "    }\n"
           "    match a {\n"
           "      0 => 1.0,\n"
           "      1 => { log(name); },\n"
           "      _ => total,\n"
           "    }\n"
           "    let report = Report" + n + " { summary: name, score: a };\n"
           "    return abs(total - (1.0 + b) * (2.0 - b / (a + 1)));\n"
           "  }\n\n";
  }
  out += "}\n";
  return out;
}

}  // namespace ordel::bench
