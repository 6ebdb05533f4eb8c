// `ordel`: checks, evaluates and inspects policies from the command line.
//
// Dispatches to the commands and keeps every fault inside the process: no
// exception leaves main, and every failure ends in a message on standard
// error and exit status 2.
#include <cstdio>
#include <exception>
#include <string_view>
#include <vector>

#include "cli.h"
#include "ordel/ordel.h"

namespace {

// The version of the policy language, as the Python module also reports it.
constexpr std::string_view kLanguageVersion = "0.2.1";

constexpr std::string_view kUsage =
    R"text(usage: ordel COMMAND [ARGUMENTS]

Checks, evaluates and inspects Ordel policies (.odl files).

Commands:
  check POLICY...              compile policies and report the first error of
                               each, with its source line
  verify POLICY INTENT [KEY=VALUE ...] [--fields-json FILE|-] [--json]
                               verify one request and print the verdict
  intents POLICY [--json]      list the signatures of the policy's intents

Options:
  -h, --help    show this help; "ordel COMMAND --help" shows a command's
  --version     show the version of the tool, which is that of the C
                interface, and of the policy language, as
                "ordel VERSION (ordel-lang LANGUAGE_VERSION)"
)text";

void print_version() {
  std::string text = "ordel ";
  text += ordel_version();
  text += " (ordel-lang ";
  text += kLanguageVersion;
  text += ")\n";
  ordel::cli::write_text(stdout, text);
}

int dispatch(std::span<const std::string_view> args) {
  using namespace ordel::cli;
  if (args.empty()) {
    write_text(stderr, kUsage);
    return kExitError;
  }
  const std::string_view command = args[0];
  const auto rest = args.subspan(1);
  if (command == "check") {
    return run_check(rest);
  }
  if (command == "verify") {
    return run_verify(rest);
  }
  if (command == "intents") {
    return run_intents(rest);
  }
  if (command == "-h" || command == "--help" || command == "help") {
    write_text(stdout, kUsage);
    return kExitOk;
  }
  if (command == "--version") {
    print_version();
    return kExitOk;
  }
  std::string message = command.starts_with('-') ? "unknown option '" : "unknown command '";
  message += command;
  message += "' (see 'ordel --help')";
  print_error(message);
  return kExitError;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const int status = dispatch(args);
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
      ordel::cli::print_error("cannot write to standard output");
      return ordel::cli::kExitError;
    }
    return status;
  } catch (const std::exception& fault) {
    // Only allocation failures are expected here; report without allocating.
    std::fputs("ordel: internal error: ", stderr);
    std::fputs(fault.what(), stderr);
    std::fputc('\n', stderr);
  } catch (...) {
    std::fputs("ordel: internal error\n", stderr);
  }
  return ordel::cli::kExitError;
}
