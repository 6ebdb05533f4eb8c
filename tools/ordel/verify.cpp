// `ordel verify POLICY INTENT [KEY=VALUE ...] [--fields-json FILE|-] [--json]`:
// verifies one request and prints the verdict.
#include <array>
#include <utility>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "engine/engine.h"
#include "text/utf8.h"

namespace ordel::cli {
namespace {

constexpr std::string_view kVerifyHelp =
    R"text(usage: ordel verify POLICY INTENT [KEY=VALUE ...] [--fields-json FILE|-] [--json]

Opens POLICY and verifies one request for INTENT with the given fields.

Fields:
  KEY=VALUE            split at the first "=": the value may contain "=",
                       the key must not be empty
  --fields-json FILE   fields from a JSON object whose values are all strings,
                       read from FILE, or from standard input when FILE is "-";
                       KEY=VALUE arguments come after these fields
When a key occurs more than once, its last value is the one used.
Put "--" before fields whose key starts with "-".

Output:
  allowed, with its guidance; or denied, with its reason, guidance and
  category.
  --json               one JSON object instead:
                       {"allowed": true|false, "reason": "..."|null,
                        "guidance": "...", "category": "..."}

Exit status: 0 allowed, 1 denied, 2 on any error (bad usage, unreadable
policy or fields file, a policy that does not compile, malformed field,
fields JSON that is not an object of strings, unknown intent), which is
reported in one line on standard error.
)text";

enum Option : std::size_t { kFieldsJson, kJson };
constexpr std::array<OptionSpec, 2> kOptions = {{
    {.name = "--fields-json", .takes_value = true},
    {.name = "--json", .takes_value = false},
}};

using OwnedField = std::pair<std::string, std::string>;

// The fields of a JSON object whose values are all strings, in the
// document's order (a repeated key keeps its last value).
CliResult<std::vector<OwnedField>> fields_from_json(std::string_view path) {
  auto content = read_input(path);
  if (!content) {
    return std::unexpected("--fields-json: " + content.error());
  }
  const std::string label =
      "--fields-json " + (path == "-" ? std::string("- (standard input)") : quote(path)) + ": ";
  if (!text::is_valid_utf8(*content)) {
    return std::unexpected(label + "not valid UTF-8");
  }
  // Parses without exceptions: malformed text gives a discarded value.
  auto json = nlohmann::ordered_json::parse(*content, nullptr, false);
  if (json.is_discarded()) {
    return std::unexpected(label + "not valid JSON (expected an object of strings)");
  }
  if (!json.is_object()) {
    return std::unexpected(label + "expected a JSON object of strings, got " +
                           json.type_name());
  }
  std::vector<OwnedField> fields;
  fields.reserve(json.size());
  for (auto& [key, value] : json.items()) {
    if (key.empty()) {
      return std::unexpected(label + "empty field key");
    }
    if (!value.is_string()) {
      return std::unexpected(label + "field " + quote(key) + " must be a string, got " +
                             value.type_name());
    }
    fields.emplace_back(key, std::move(value.get_ref<std::string&>()));
  }
  return fields;
}

// One KEY=VALUE argument, split at its first "=".
CliResult<FieldPair> field_from_arg(std::string_view arg) {
  if (!text::is_valid_utf8(arg)) {
    return std::unexpected(std::string("field argument is not valid UTF-8"));
  }
  const std::size_t eq = arg.find('=');
  if (eq == std::string_view::npos) {
    return std::unexpected("expected KEY=VALUE, got " + quote(arg));
  }
  if (eq == 0) {
    return std::unexpected("empty key in " + quote(arg));
  }
  return FieldPair(arg.substr(0, eq), arg.substr(eq + 1));
}

void print_verdict_text(const Verdict& verdict) {
  std::string out;
  if (verdict.allowed) {
    out = "allowed\n  guidance: ";
    out += verdict.guidance;
  } else {
    out = "denied\n  reason:   ";
    out += verdict.reason.value_or("");
    out += "\n  guidance: ";
    out += verdict.guidance;
    out += "\n  category: ";
    out += category_name(verdict.category);
  }
  out += '\n';
  write_text(stdout, out);
}

void print_verdict_json(const Verdict& verdict) {
  nlohmann::ordered_json out;
  out["allowed"] = verdict.allowed;
  out["reason"] = verdict.reason ? nlohmann::ordered_json(*verdict.reason)
                                 : nlohmann::ordered_json(nullptr);
  out["guidance"] = std::string(verdict.guidance);
  out["category"] = std::string(category_name(verdict.category));
  std::string text = out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  text += '\n';
  write_text(stdout, text);
}

}  // namespace

int run_verify(std::span<const std::string_view> args) {
  const auto parsed = parse_args(args, kOptions);
  if (!parsed) {
    print_error(parsed.error() + " (see 'ordel verify --help')");
    return kExitError;
  }
  if (parsed->help) {
    write_text(stdout, kVerifyHelp);
    return kExitOk;
  }
  const std::vector<std::string_view>& positionals = parsed->positionals;
  if (positionals.size() < 2) {
    print_error("verify needs a policy file and an intent name (see 'ordel verify --help')");
    return kExitError;
  }
  const std::string_view policy_path = positionals[0];
  const std::string_view intent = positionals[1];
  if (!text::is_valid_utf8(intent)) {
    print_error("intent name is not valid UTF-8");
    return kExitError;
  }

  // Fields from JSON first, then the KEY=VALUE arguments; the engine lets a
  // later pair with an equal key win.
  std::vector<OwnedField> json_fields;
  if (const auto& path = parsed->options[kFieldsJson]) {
    auto loaded = fields_from_json(*path);
    if (!loaded) {
      print_error(loaded.error());
      return kExitError;
    }
    json_fields = std::move(*loaded);
  }
  std::vector<FieldPair> fields;
  fields.reserve(json_fields.size() + positionals.size() - 2);
  for (const auto& [key, value] : json_fields) {
    fields.emplace_back(key, value);
  }
  for (std::size_t i = 2; i < positionals.size(); ++i) {
    const auto field = field_from_arg(positionals[i]);
    if (!field) {
      print_error(field.error());
      return kExitError;
    }
    fields.push_back(*field);
  }

  const auto engine = Engine::from_file(policy_path);
  if (!engine) {
    print_error(located_error(policy_path, engine.error()));
    return kExitError;
  }
  const auto verdict = engine->verify(intent, fields);
  if (!verdict) {
    print_error(verdict.error().text());
    return kExitError;
  }
  if (parsed->options[kJson]) {
    print_verdict_json(*verdict);
  } else {
    print_verdict_text(*verdict);
  }
  return verdict->allowed ? kExitOk : kExitFailed;
}

}  // namespace ordel::cli
