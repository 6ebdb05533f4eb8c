// Conversion between Python arguments and the engine's inputs and outputs.
//
// Every function needs the interpreter lock. On failure a function raises
// the Python exception the module's callers see and returns null, nullopt or
// false; none of them throws.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <type_traits>
#include <string_view>
#include <utility>
#include <vector>

#include "conscience/fields.h"
#include "lexer/diagnostics.h"

namespace ordel::py {

// ---- Argument matching ---------------------------------------------------------

// The parameters of one operation: the format PyArg_ParseTupleAndKeywords
// takes ("OO:verify", one "O" per parameter, then the function name for its
// messages) and the parameter names, null-terminated.
template <std::size_t N>
struct Params {
  const char* format;
  std::array<const char*, N + 1> names;
};

// Matches positional and keyword arguments to the N parameters and stores
// borrowed references in `out`. A call with exactly N positional arguments
// and no keywords takes a fast path; anything else goes through the host's
// argument parser, which raises TypeError for a missing, surplus, repeated or
// unknown argument in the host's usual wording.
template <std::size_t N>
[[nodiscard]] bool match_args(PyObject* args, PyObject* kwargs, const Params<N>& params,
                              std::array<PyObject*, N>& out) {
  if (kwargs == nullptr && PyTuple_Size(args) == static_cast<Py_ssize_t>(N)) {
    for (std::size_t i = 0; i < N; ++i) {
      out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }
    return true;
  }
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return PyArg_ParseTupleAndKeywords(args, kwargs, params.format,
                                       const_cast<char**>(params.names.data()),
                                       &out[I]...) != 0;
  }(std::make_index_sequence<N>{});
}

// ---- Arguments -------------------------------------------------------------------

// The UTF-8 text of a `str` argument (subclasses included), valid while
// `object` lives. Anything else raises TypeError "argument '{name}':
// {message}" whose __cause__ is the conversion's TypeError; a str that cannot
// be encoded (lone surrogates) raises the host's UnicodeEncodeError unchanged.
[[nodiscard]] std::optional<std::string_view> text_arg(PyObject* object, const char* name);

// True for a `dict` (subclasses included); anything else raises TypeError
// "argument '{name}': {message}" as text_arg does.
[[nodiscard]] bool dict_arg(PyObject* object, const char* name);

// ---- Fields ----------------------------------------------------------------------

// The (key, value) pairs of a fields dictionary as views into the dictionary's
// own strings, without copying the text.
//
// collect() walks the dict's storage in insertion order (a subclass's
// overridden iteration is not consulted) and holds a reference to every key
// and value it has seen, so the views stay valid for the object's lifetime
// whatever happens to the dict afterwards. The walk runs no Python code:
// keys are never hashed or compared, and str subclasses are read through
// their str storage, never through overridden methods.
class FieldPairs {
 public:
  FieldPairs() = default;
  FieldPairs(const FieldPairs&) = delete;
  FieldPairs& operator=(const FieldPairs&) = delete;
  ~FieldPairs();

  // Converts the entries of `dict`, which must be a dict. The first key that
  // is not a str raises ValueError "Field key must be string: {error}", the
  // first such value "Field value must be string: {error}", where {error} is
  // the failure's class name, ": " and its message; the failure is the new
  // exception's __cause__.
  [[nodiscard]] bool collect(PyObject* dict);

  [[nodiscard]] std::span<const FieldPair> pairs() const noexcept { return {pairs_, size_}; }

 private:
  // Requests up to this many fields need no heap memory.
  static constexpr std::size_t kInlineFields = 8;

  void reserve(std::size_t capacity);

  // Left uninitialised: only the first size_ pairs and refs_held_
  // references are ever read.
  union InlinePairs {
    InlinePairs() {}
    FieldPair items[kInlineFields];
  };
  static_assert(std::is_trivially_destructible_v<FieldPair>);

  InlinePairs inline_pairs_;
  PyObject* inline_refs_[2 * kInlineFields];
  std::vector<FieldPair> heap_pairs_;
  std::vector<PyObject*> heap_refs_;
  FieldPair* pairs_ = inline_pairs_.items;
  PyObject** refs_ = inline_refs_;
  std::size_t capacity_ = kInlineFields;
  std::size_t size_ = 0;       // pairs converted
  std::size_t refs_held_ = 0;  // references owned in refs_
};

// The (intent_name, fields) arguments of a verification, converted in
// order: the intent name as text_arg does, then the dict check, then the
// fields collected into `fields`. On failure the exception is set and
// nothing is returned.
[[nodiscard]] std::optional<std::string_view> verify_request(PyObject* intent_name,
                                                             PyObject* dict,
                                                             FieldPairs& fields);

// ---- Results ---------------------------------------------------------------------

// Prefixes of the errors raised for a failed load, compile or verification;
// the error's text form follows.
inline constexpr std::string_view kLoadFailed = "Failed to load policy: ";
inline constexpr std::string_view kParseFailed = "Failed to parse policy: ";
inline constexpr std::string_view kVerifyFailed = "Verification failed: ";

// Raises `type` with `prefix` followed by the error's text form. Returns null.
PyObject* raise_policy_error(PyObject* type, std::string_view prefix, const PolicyError& error);

// A new str from UTF-8 text (NUL characters included).
[[nodiscard]] inline PyObject* to_python(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// A new list of str.
[[nodiscard]] PyObject* to_python_list(std::span<const std::string> texts);

// A new list of 2-tuples of str.
[[nodiscard]] PyObject* to_python_list(std::span<const std::pair<std::string, std::string>> pairs);

}  // namespace ordel::py
