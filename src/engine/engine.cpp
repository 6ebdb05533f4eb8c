#include "engine/engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <system_error>

#include "text/utf8.h"
#include "verification/verify.h"

namespace ordel {

namespace {

std::unexpected<PolicyError> read_failure(std::string_view path, std::string_view reason) {
  std::string message = "Failed to read policy file ";
  message += path;
  message += ": ";
  message += reason;
  return fail(ErrorKind::HaltUnknown, std::move(message));
}

std::unexpected<PolicyError> os_failure(std::string_view path, int error) {
  std::string reason = std::system_category().message(error);
  reason += " (os error ";
  char buffer[16];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, error);
  reason.append(buffer, end);
  reason += ')';
  return read_failure(path, reason);
}

// Reads a whole file; errno-style failures come back as the error number.
std::expected<std::string, int> read_whole_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::unexpected(errno);
  }
  std::string content;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      content.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      const int error = errno;
      ::close(fd);
      return std::unexpected(error);
    }
  }
  ::close(fd);
  return content;
}

void append_type_text(std::string& out, const TypeExpr& type) {
  std::visit(overloaded{
                 [&](const TypeExpr::Named& n) { out += n.name; },
                 [&](const TypeExpr::Array& n) {
                   out += '[';
                   append_type_text(out, *n.element);
                   out += ']';
                 },
                 [&](const TypeExpr::Map& n) {
                   out += "Map<";
                   append_type_text(out, *n.key);
                   out += ", ";
                   append_type_text(out, *n.value);
                   out += '>';
                 },
                 [&](const TypeExpr::Tensor& n) {
                   out += "Tensor[";
                   for (std::size_t i = 0; i < n.dims.size(); ++i) {
                     if (i > 0) out += ", ";
                     std::visit(overloaded{
                                    [&](const TensorDim::Named& d) { out += d.name; },
                                    [&](const TensorDim::Fixed& d) { out += std::to_string(d.size); },
                                    [&](const TensorDim::Wildcard&) { out += '?'; },
                                },
                                n.dims[i].value);
                   }
                   out += ']';
                 },
                 [&](const TypeExpr::Sealed& n) {
                   out += "Sealed<";
                   append_type_text(out, *n.inner);
                   out += '>';
                 },
             },
             type.node);
}

std::vector<std::pair<std::string, std::string>> signature_params(const std::vector<Param>& params) {
  std::vector<std::pair<std::string, std::string>> out;
  out.reserve(params.size());
  for (const auto& param : params) {
    out.emplace_back(param.name, type_expr_text(param.ty));
  }
  return out;
}

}  // namespace

std::string type_expr_text(const TypeExpr& type) {
  std::string out;
  append_type_text(out, type);
  return out;
}

Result<Engine> Engine::from_source(std::string_view source) {
  ORDEL_ASSIGN_OR_RETURN(Policy policy, compile_policy(source));
  return Engine(std::move(policy));
}

Result<Engine> Engine::from_file(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return read_failure(path, "file name contained an unexpected NUL byte");
  }
  const std::string path_text(path);
  auto content = read_whole_file(path_text);
  if (!content) {
    return os_failure(path, content.error());
  }
  if (!text::is_valid_utf8(*content)) {
    return read_failure(path, "stream did not contain valid UTF-8");
  }
  return from_source(*content);
}

Result<Verdict> Engine::verify(std::string_view intent, std::span<const FieldPair> fields) const {
  const PolicyIntent* found = policy_.find(intent);
  if (found == nullptr) {
    std::string message = "Intent '";
    message += intent;
    message += "' not found in policy";
    return fail(ErrorKind::UndefinedFunction, std::move(message));
  }
  return verify_intent(*found, intent, FieldMap(fields), conscience_);
}

std::vector<std::string> Engine::intents() const { return policy_.names(); }

bool Engine::has_intent(std::string_view name) const noexcept {
  return policy_.find(name) != nullptr;
}

std::optional<IntentSignature> Engine::intent_signature(std::string_view name) const {
  const PolicyIntent* found = policy_.find(name);
  if (found == nullptr) {
    return std::nullopt;
  }
  const IntentDecl& decl = found->decl;
  return IntentSignature{
      .name = decl.name,
      .takes = signature_params(decl.takes),
      .gives = signature_params(decl.gives),
      .effect = decl.effect.value_or("NOOP"),
      .conscience = decl.conscience,
  };
}

}  // namespace ordel
