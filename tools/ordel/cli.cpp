// Shared helpers of the command-line tool: argument parsing, reading input
// files, and diagnostics with a source excerpt.
#include "cli.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>

#include "text/utf8.h"

namespace ordel::cli {
namespace {

void append_number(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

// Reads everything from an open descriptor; errno is left set on failure.
bool read_all(int fd, std::string& out) {
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      out.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

std::unexpected<std::string> read_failure(std::string_view what, int error) {
  std::string message = "cannot read ";
  message += what;
  message += ": ";
  message += std::strerror(error);
  return std::unexpected(std::move(message));
}

}  // namespace

CliResult<ParsedArgs> parse_args(std::span<const std::string_view> args,
                                 std::span<const OptionSpec> options) {
  ParsedArgs parsed;
  parsed.options.resize(options.size());
  for (const std::string_view arg : args) {
    if (arg == "--") {
      break;
    }
    if (arg == "-h" || arg == "--help") {
      parsed.help = true;
      return parsed;
    }
  }

  bool options_done = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (options_done || arg == "-" || !arg.starts_with('-')) {
      parsed.positionals.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    const std::size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    std::size_t index = 0;
    while (index < options.size() && options[index].name != name) {
      ++index;
    }
    if (!arg.starts_with("--") || index == options.size()) {
      return std::unexpected("unknown option " + quote(name));
    }
    std::optional<std::string_view>& slot = parsed.options[index];
    if (!options[index].takes_value) {
      if (eq != std::string_view::npos) {
        return std::unexpected("option " + quote(name) + " takes no value");
      }
      slot = std::string_view();
      continue;
    }
    if (slot) {
      return std::unexpected("option " + quote(name) + " given more than once");
    }
    if (eq != std::string_view::npos) {
      slot = arg.substr(eq + 1);
    } else if (i + 1 < args.size()) {
      slot = args[++i];
    } else {
      return std::unexpected("option " + quote(name) + " needs a value");
    }
  }
  return parsed;
}

CliResult<std::string> read_file(std::string_view path) {
  const std::string path_text(path);
  const int fd = ::open(path_text.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return read_failure(quote(path), errno);
  }
  std::string content;
  const bool ok = read_all(fd, content);
  const int error = errno;
  ::close(fd);
  if (!ok) {
    return read_failure(quote(path), error);
  }
  return content;
}

CliResult<std::string> read_input(std::string_view path) {
  if (path != "-") {
    return read_file(path);
  }
  std::string content;
  if (!read_all(STDIN_FILENO, content)) {
    return read_failure("standard input", errno);
  }
  return content;
}

std::string located_error(std::string_view path, const PolicyError& error) {
  std::string out(path);
  if (error.span && error.span->line != 0) {
    out += ':';
    append_number(out, error.span->line);
    out += ':';
    append_number(out, error.span->col);
  }
  out += ": [";
  out += error_kind_name(error.kind);
  out += "] ";
  out += error.message;
  return out;
}

std::optional<std::string> source_excerpt(std::string_view source, std::uint64_t line,
                                          std::uint64_t col) {
  if (line == 0) {
    return std::nullopt;
  }
  // A line feed never occurs inside a multi-byte sequence, so lines can be
  // found by bytes.
  std::size_t begin = 0;
  for (std::uint64_t n = 1; n < line; ++n) {
    const std::size_t feed = source.find('\n', begin);
    if (feed == std::string_view::npos) {
      return std::nullopt;
    }
    begin = feed + 1;
  }
  std::string_view text = source.substr(begin, source.find('\n', begin) - begin);
  if (text.ends_with('\r')) {
    text.remove_suffix(1);
  }

  std::string out(text);
  out += '\n';
  // The caret goes under character `col`; a column past the end of the line
  // (an error at the line's end) puts it just after the last character.
  std::uint64_t before = col > 0 ? col - 1 : 0;
  for (std::size_t pos = 0; pos < text.size() && before > 0; --before) {
    const auto decoded = text::decode_at(text, pos);
    out += decoded.code_point == U'\t' ? '\t' : ' ';
    pos += decoded.length;
  }
  out += '^';
  return out;
}

std::string quote(std::string_view text) {
  std::string out = "'";
  out += text;
  out += '\'';
  return out;
}

void print_error(std::string_view message) {
  std::fputs("ordel: ", stderr);
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fputc('\n', stderr);
}

void write_text(std::FILE* out, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), out);
}

}  // namespace ordel::cli
