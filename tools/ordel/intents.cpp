// `ordel intents POLICY [--json]`: lists the signature of every intent.
#include <algorithm>
#include <array>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "engine/engine.h"

namespace ordel::cli {
namespace {

constexpr std::string_view kIntentsHelp =
    R"text(usage: ordel intents POLICY [--json]

Opens POLICY and lists the signature of each of its intents, sorted by name
(byte order):
  takes, gives   the parameters as NAME: TYPE, in declaration order
  effect         the effect name as written in the policy, or NOOP when the
                 intent has none
  conscience     the names in the intent's conscience clause, as written
"-" marks an empty list.

  --json         one JSON array instead, of objects
                 {"name": "...", "takes": [{"name": "...", "type": "..."}],
                  "gives": [...], "effect": "...", "conscience": ["..."]}

Exit status: 0 on success, 2 on any error (bad usage, unreadable policy, a
policy that does not compile), which is reported in one line on standard
error.
)text";

enum Option : std::size_t { kJson };
constexpr std::array<OptionSpec, 1> kOptions = {{
    {.name = "--json", .takes_value = false},
}};

using Params = std::vector<std::pair<std::string, std::string>>;

void append_params(std::string& out, const Params& params) {
  if (params.empty()) {
    out += '-';
    return;
  }
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i > 0) {
      out += ", ";
    }
    out += params[i].first;
    out += ": ";
    out += params[i].second;
  }
}

void append_signature_text(std::string& out, const IntentSignature& signature) {
  out += signature.name;
  out += "\n  takes:      ";
  append_params(out, signature.takes);
  out += "\n  gives:      ";
  append_params(out, signature.gives);
  out += "\n  effect:     ";
  out += signature.effect;
  out += "\n  conscience: ";
  if (signature.conscience.empty()) {
    out += '-';
  }
  for (std::size_t i = 0; i < signature.conscience.size(); ++i) {
    if (i > 0) {
      out += ", ";
    }
    out += signature.conscience[i];
  }
  out += '\n';
}

nlohmann::ordered_json params_json(const Params& params) {
  auto out = nlohmann::ordered_json::array();
  for (const auto& [name, type] : params) {
    out.push_back({{"name", name}, {"type", type}});
  }
  return out;
}

nlohmann::ordered_json signature_json(const IntentSignature& signature) {
  nlohmann::ordered_json out;
  out["name"] = signature.name;
  out["takes"] = params_json(signature.takes);
  out["gives"] = params_json(signature.gives);
  out["effect"] = signature.effect;
  out["conscience"] = signature.conscience;
  return out;
}

}  // namespace

int run_intents(std::span<const std::string_view> args) {
  const auto parsed = parse_args(args, kOptions);
  if (!parsed) {
    print_error(parsed.error() + " (see 'ordel intents --help')");
    return kExitError;
  }
  if (parsed->help) {
    write_text(stdout, kIntentsHelp);
    return kExitOk;
  }
  if (parsed->positionals.size() != 1) {
    print_error("intents needs exactly one policy file (see 'ordel intents --help')");
    return kExitError;
  }
  const std::string_view policy_path = parsed->positionals[0];
  const auto engine = Engine::from_file(policy_path);
  if (!engine) {
    print_error(located_error(policy_path, engine.error()));
    return kExitError;
  }

  std::vector<std::string> names = engine->intents();
  std::sort(names.begin(), names.end());
  const bool as_json = parsed->options[kJson].has_value();
  auto json = nlohmann::ordered_json::array();
  std::string text;
  for (const std::string& name : names) {
    // intents() lists only names that intent_signature() finds.
    const auto signature = engine->intent_signature(name);
    if (!signature) {
      continue;
    }
    if (as_json) {
      json.push_back(signature_json(*signature));
    } else {
      if (!text.empty()) {
        text += '\n';
      }
      append_signature_text(text, *signature);
    }
  }
  if (as_json) {
    text = json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    text += '\n';
  }
  write_text(stdout, text);
  return kExitOk;
}

}  // namespace ordel::cli
