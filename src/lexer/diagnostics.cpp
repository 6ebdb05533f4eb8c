#include "lexer/diagnostics.h"

#include <charconv>

namespace ordel {

namespace {

void append_number(std::string& out, std::uint64_t value) {
  char buffer[24];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end);
}

}  // namespace

std::string PolicyError::text() const {
  std::string out;
  out.reserve(message.size() + 48);
  out += '[';
  out += error_kind_name(kind);
  if (span) {
    out += "] Error at line ";
    append_number(out, span->line);
    out += ':';
    append_number(out, span->col);
    out += ": ";
  } else {
    out += "] Error: ";
  }
  out += message;
  return out;
}

}  // namespace ordel
