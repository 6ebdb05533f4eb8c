// The pieces of the `ordel` command-line tool that its commands share:
// exit codes, argument parsing, file reading, diagnostics with a source line
// and a caret, and the three command entry points.
//
// The tool is a thin layer over the engine: it never changes a text the
// engine produces, it only arranges those texts for a terminal or as JSON.
// Command-line failures (bad usage, unreadable input) are plain message
// texts, kept apart from the engine's PolicyError.
#pragma once

#include <cstdint>
#include <cstdio>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lexer/diagnostics.h"

namespace ordel::cli {

// Exit codes shared by every command.
inline constexpr int kExitOk = 0;
// `check`: some policy failed to compile; `verify`: the request was denied.
inline constexpr int kExitFailed = 1;
// Bad usage, unreadable input, unknown intent, or an internal fault.
inline constexpr int kExitError = 2;

// A command-line failure: the one-line message shown after "ordel: ".
template <typename T>
using CliResult = std::expected<T, std::string>;

// An option a command accepts, spelled with its leading "--".
struct OptionSpec {
  std::string_view name;
  bool takes_value = false;
};

struct ParsedArgs {
  std::vector<std::string_view> positionals;
  // One entry per OptionSpec, in the same order: the value of a value
  // option, or "" for a flag that was given; nothing when absent.
  std::vector<std::optional<std::string_view>> options;
  bool help = false;
};

// Splits a command's arguments (after the command name) into positionals
// and options. "--name VALUE" and "--name=VALUE" both give a value; "--"
// ends the options; "-" alone is a positional (standard input); "-h" and
// "--help" ask for help and win over every other error. An unknown option,
// a value option without its value, a flag given a value, or a value option
// given twice is an error.
[[nodiscard]] CliResult<ParsedArgs> parse_args(std::span<const std::string_view> args,
                                               std::span<const OptionSpec> options);

// The whole content of the file at `path`. The error names the file and
// gives the system's reason.
[[nodiscard]] CliResult<std::string> read_file(std::string_view path);

// As read_file, except that "-" reads standard input.
[[nodiscard]] CliResult<std::string> read_input(std::string_view path);

// "PATH:LINE:COL: [Kind] message", or "PATH: [Kind] message" when the error
// has no usable position (no span, or the line-0 span of an error past the
// end of input).
[[nodiscard]] std::string located_error(std::string_view path, const PolicyError& error);

// The source line `line` (from 1) of valid UTF-8 `source` without its line
// terminator, and below it a caret under column `col` (from 1). Columns count
// characters; a tab before the column is repeated in the caret line so the
// caret lines up in a terminal. Nothing when the source has no such line.
[[nodiscard]] std::optional<std::string> source_excerpt(std::string_view source,
                                                        std::uint64_t line, std::uint64_t col);

// `text` between single quotes, as messages show names and arguments.
[[nodiscard]] std::string quote(std::string_view text);

// Writes "ordel: {message}" and a line feed to standard error.
void print_error(std::string_view message);

// Writes `text` to `out` unchanged (it may hold NUL bytes).
void write_text(std::FILE* out, std::string_view text);

// The command entry points: `args` are the arguments after the command name.
// Each returns the process exit code.
[[nodiscard]] int run_check(std::span<const std::string_view> args);
[[nodiscard]] int run_verify(std::span<const std::string_view> args);
[[nodiscard]] int run_intents(std::span<const std::string_view> args);

}  // namespace ordel::cli
