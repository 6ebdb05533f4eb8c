// `ordel check POLICY...`: compiles each policy and reports its outcome.
#include <charconv>

#include "cli.h"
#include "engine/engine.h"
#include "text/utf8.h"

namespace ordel::cli {
namespace {

constexpr std::string_view kCheckHelp =
    R"text(usage: ordel check POLICY...

Compiles each policy file (lexing, parsing, type checking) and reports each
file on standard output, in the order given:
  PATH: ok (N intents)
  PATH:LINE:COL: [Kind] message     then the source line and a caret under COL
  PATH: [Kind] message              for an error without a source position
Lines and columns count from 1; columns count characters, not bytes. A
compilation stops at its first error, so each failing file shows one error.

Exit status: 0 when every policy compiles, 1 when any does not, 2 on bad
usage.
)text";

std::string ok_line(std::string_view path, std::size_t intents) {
  std::string out(path);
  out += ": ok (";
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, intents).ptr);
  out += intents == 1 ? " intent)\n" : " intents)\n";
  return out;
}

// Compiles one policy and prints its outcome; true when it compiled.
bool check_one(std::string_view path) {
  const auto engine = Engine::from_file(path);
  if (engine) {
    write_text(stdout, ok_line(path, engine->intents().size()));
    return true;
  }
  const PolicyError& error = engine.error();
  std::string report = located_error(path, error);
  report += '\n';
  if (error.span && error.span->line != 0) {
    // The engine keeps no source text; read the file again for the excerpt.
    // A file that changed in between may no longer have the line.
    const auto source = read_file(path);
    if (source && text::is_valid_utf8(*source)) {
      if (auto excerpt = source_excerpt(*source, error.span->line, error.span->col)) {
        report += *excerpt;
        report += '\n';
      }
    }
  }
  write_text(stdout, report);
  return false;
}

}  // namespace

int run_check(std::span<const std::string_view> args) {
  const auto parsed = parse_args(args, std::span<const OptionSpec>());
  if (!parsed) {
    print_error(parsed.error() + " (see 'ordel check --help')");
    return kExitError;
  }
  if (parsed->help) {
    write_text(stdout, kCheckHelp);
    return kExitOk;
  }
  if (parsed->positionals.empty()) {
    print_error("check needs at least one policy file (see 'ordel check --help')");
    return kExitError;
  }
  bool all_compiled = true;
  for (const std::string_view path : parsed->positionals) {
    if (!check_one(path)) {
      all_compiled = false;
    }
  }
  return all_compiled ? kExitOk : kExitFailed;
}

}  // namespace ordel::cli
