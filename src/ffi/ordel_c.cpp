// The seven exported C functions over the engine.
//
// Each call converts its C strings to views, asks the engine and turns the
// outcome into a result code plus the handle's two texts. Every body ends in
// a catch-all so no exception unwinds into C. Running out of memory ends the
// process; any other exception (none is expected: the core reports failures
// as values) becomes an ordinary error text.
#include "ordel/ordel.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "conscience/fields.h"
#include "engine/engine.h"
#include "text/utf8.h"

struct ordel_engine {
  // Absent when the open failed; fixed for the life of the handle.
  std::optional<ordel::Engine> engine;
  std::string error_text;
  std::string denied_text;
};

namespace {

constexpr std::string_view kPathNotUtf8 = "path is not valid UTF-8";
constexpr std::string_view kSourceNotUtf8 = "source is not valid UTF-8";
constexpr std::string_view kIntentNotUtf8 = "intent name is not valid UTF-8";
constexpr std::string_view kKeyNotUtf8 = "field key is not valid UTF-8";
constexpr std::string_view kValueNotUtf8 = "field value is not valid UTF-8";
constexpr std::string_view kNotInitialized = "engine not initialized (open failed)";
constexpr std::string_view kInternalError = "internal error: ";

// Requests with up to this many fields are collected without touching the
// heap; larger ones move to a vector.
constexpr std::size_t kInlineFields = 16;

// Replaces `out` with `message`, each NUL written as backslash and zero, so
// the stored C text holds the whole message.
void store_text(std::string& out, std::string_view message) {
  out.clear();
  std::size_t from = 0;
  for (std::size_t nul = message.find('\0'); nul != std::string_view::npos;
       nul = message.find('\0', from)) {
    out.append(message, from, nul - from);
    out += "\\0";
    from = nul + 1;
  }
  out.append(message, from);
}

// The outcome of a verify that returns -1 (other than for NULL arguments).
int32_t record_error(ordel_engine& handle, std::string_view message) {
  store_text(handle.error_text, message);
  handle.denied_text.clear();
  return -1;
}

// Handles the exception in flight. Memory exhaustion ends the process;
// anything else is described and handed back for the caller to store.
std::string exception_message() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    std::terminate();
  } catch (const std::exception& e) {
    std::string message(kInternalError);
    message += e.what();
    return message;
  } catch (...) {
    std::string message(kInternalError);
    message += "unknown exception";
    return message;
  }
}

// Collects the request's pairs: inline up to kInlineFields, then on the
// heap. Grows one pair at a time, so a count far beyond the real arrays
// reserves nothing.
class FieldCollector {
 public:
  void push(std::string_view key, std::string_view value) {
    if (size_ < inline_.size()) {
      inline_[size_++] = {key, value};
      return;
    }
    if (heap_.empty()) {
      heap_.reserve(2 * inline_.size());
      heap_.assign(inline_.begin(), inline_.end());
    }
    heap_.emplace_back(key, value);
    ++size_;
  }

  [[nodiscard]] std::span<const ordel::FieldPair> pairs() const noexcept {
    if (heap_.empty()) {
      return {inline_.data(), size_};
    }
    return heap_;
  }

 private:
  std::array<ordel::FieldPair, kInlineFields> inline_{};
  std::size_t size_ = 0;
  std::vector<ordel::FieldPair> heap_;
};

// Which text was not UTF-8, if any, after collecting the fields.
enum class FieldCheck { Ok, BadKey, BadValue };

FieldCheck collect_fields(const char* const* keys, const char* const* values, int32_t count,
                          FieldCollector& out) {
  if (count <= 0 || keys == nullptr || values == nullptr) {
    return FieldCheck::Ok;
  }
  for (int32_t i = 0; i < count; ++i) {
    if (keys[i] == nullptr) {
      break;
    }
    const std::string_view key(keys[i]);
    if (!ordel::text::is_valid_utf8(key)) {
      return FieldCheck::BadKey;
    }
    if (values[i] == nullptr) {
      break;
    }
    const std::string_view value(values[i]);
    if (!ordel::text::is_valid_utf8(value)) {
      return FieldCheck::BadValue;
    }
    out.push(key, value);
  }
  return FieldCheck::Ok;
}

// Shared by both opens: `open` turns the valid UTF-8 argument into an
// engine or an error.
template <typename Open>
ordel_engine* open_handle(const char* argument, std::string_view not_utf8, Open open) {
  if (argument == nullptr) {
    return nullptr;
  }
  auto* handle = new ordel_engine();
  try {
    const std::string_view text(argument);
    if (!ordel::text::is_valid_utf8(text)) {
      store_text(handle->error_text, not_utf8);
      return handle;
    }
    ordel::Result<ordel::Engine> opened = open(text);
    if (!opened) {
      store_text(handle->error_text, opened.error().text());
      return handle;
    }
    handle->engine.emplace(std::move(*opened));
    return handle;
  } catch (...) {
    handle->engine.reset();
    store_text(handle->error_text, exception_message());
    return handle;
  }
}

constinit const char kEmptyText[] = "";
constinit const char kVersionText[] = "0.1.0";

}  // namespace

extern "C" {

ordel_engine* ordel_engine_open(const char* path) noexcept {
  try {
    return open_handle(path, kPathNotUtf8,
                       [](std::string_view p) { return ordel::Engine::from_file(p); });
  } catch (...) {
    // Only allocating the handle or its error text can get here.
    std::terminate();
  }
}

ordel_engine* ordel_engine_open_source(const char* source) noexcept {
  try {
    return open_handle(source, kSourceNotUtf8,
                       [](std::string_view s) { return ordel::Engine::from_source(s); });
  } catch (...) {
    std::terminate();
  }
}

int32_t ordel_verify(ordel_engine* engine, const char* intent, const char* const* keys,
                     const char* const* values, int32_t count) noexcept {
  if (engine == nullptr || intent == nullptr) {
    return -1;
  }
  try {
    if (!engine->engine) {
      return record_error(*engine, kNotInitialized);
    }
    const std::string_view intent_name(intent);
    if (!ordel::text::is_valid_utf8(intent_name)) {
      return record_error(*engine, kIntentNotUtf8);
    }
    FieldCollector fields;
    switch (collect_fields(keys, values, count, fields)) {
      case FieldCheck::Ok:
        break;
      case FieldCheck::BadKey:
        return record_error(*engine, kKeyNotUtf8);
      case FieldCheck::BadValue:
        return record_error(*engine, kValueNotUtf8);
    }
    const ordel::Result<ordel::Verdict> verdict = engine->engine->verify(intent_name, fields.pairs());
    if (!verdict) {
      return record_error(*engine, verdict.error().text());
    }
    engine->error_text.clear();
    if (verdict->allowed) {
      engine->denied_text.clear();
      return 1;
    }
    store_text(engine->denied_text, verdict->reason ? std::string_view(*verdict->reason)
                                                    : verdict->guidance);
    return 0;
  } catch (...) {
    try {
      return record_error(*engine, exception_message());
    } catch (...) {
      std::terminate();
    }
  }
}

const char* ordel_denied_reason(const ordel_engine* engine) noexcept {
  return engine == nullptr ? kEmptyText : engine->denied_text.c_str();
}

const char* ordel_errmsg(const ordel_engine* engine) noexcept {
  return engine == nullptr ? kEmptyText : engine->error_text.c_str();
}

const char* ordel_version(void) noexcept { return kVersionText; }

void ordel_engine_close(ordel_engine* engine) noexcept {
  // Destroying the engine and two strings cannot throw.
  delete engine;
}

}  // extern "C"
