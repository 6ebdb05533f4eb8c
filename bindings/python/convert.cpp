#include "convert.h"

#include <algorithm>
#include <memory>
#include <string>

#include "py_ref.h"

namespace ordel::py {

namespace {

constexpr const char kStrFailed[] = "<exception str() failed>";

// Raises TypeError "'{type}' object is not an instance of '{expected}'".
void raise_not_instance(PyObject* object, const char* expected) {
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!type_name) {
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(),
               expected);
}

// str(exception), or the fixed text when that fails.
PyRef message_of(PyObject* exception) {
  PyRef message = PyRef::steal(PyObject_Str(exception));
  if (!message) {
    PyErr_Clear();
    message = PyRef::steal(PyUnicode_FromString(kStrFailed));
  }
  return message;
}

// Raises a new `type` exception with `message`, caused by `cause` (whose
// reference it takes over), as `raise type(message) from cause` would.
void raise_caused_by(PyObject* type, PyObject* message, PyRef cause) {
  PyRef exception = PyRef::steal(PyObject_CallFunctionObjArgs(type, message, nullptr));
  if (!exception) {
    return;
  }
  PyException_SetContext(exception.get(), Py_NewRef(cause.get()));
  PyException_SetCause(exception.get(), cause.release());
  PyErr_SetRaisedException(exception.release());
}

// Replaces the current exception, when it is a TypeError, with TypeError
// "argument '{name}': {message}" caused by it; any other failure stays.
void wrap_argument_error(const char* name) {
  PyRef failure = PyRef::steal(PyErr_GetRaisedException());
  if (!PyErr_GivenExceptionMatches(failure.get(), PyExc_TypeError)) {
    PyErr_SetRaisedException(failure.release());
    return;
  }
  PyRef inner = message_of(failure.get());
  if (!inner) {
    return;
  }
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, inner.get()));
  if (!message) {
    return;
  }
  raise_caused_by(PyExc_TypeError, message.get(), std::move(failure));
}

// Replaces the current exception with ValueError "{prefix}{class}: {message}"
// caused by it.
void wrap_field_error(const char* prefix) {
  PyRef failure = PyRef::steal(PyErr_GetRaisedException());
  PyRef class_name = PyRef::steal(PyType_GetName(Py_TYPE(failure.get())));
  if (!class_name) {
    return;
  }
  PyRef inner = message_of(failure.get());
  if (!inner) {
    return;
  }
  PyRef message =
      PyRef::steal(PyUnicode_FromFormat("%s%U: %U", prefix, class_name.get(), inner.get()));
  if (!message) {
    return;
  }
  raise_caused_by(PyExc_ValueError, message.get(), std::move(failure));
}

// The UTF-8 text of a str; otherwise the conversion's exception is raised.
std::optional<std::string_view> str_text(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    raise_not_instance(object, "str");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) {
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

}  // namespace

std::optional<std::string_view> text_arg(PyObject* object, const char* name) {
  std::optional<std::string_view> text = str_text(object);
  if (!text) {
    wrap_argument_error(name);
  }
  return text;
}

bool dict_arg(PyObject* object, const char* name) {
  if (PyDict_Check(object)) {
    return true;
  }
  raise_not_instance(object, "dict");
  wrap_argument_error(name);
  return false;
}

// ---- FieldPairs ------------------------------------------------------------------

FieldPairs::~FieldPairs() {
  for (std::size_t i = 0; i < refs_held_; ++i) {
    Py_DECREF(refs_[i]);
  }
}

void FieldPairs::reserve(std::size_t capacity) {
  if (capacity <= capacity_) {
    return;
  }
  // Growing the vectors keeps their elements; leaving the inline arrays
  // copies them over once.
  const bool was_inline = pairs_ == inline_pairs_.items;
  heap_pairs_.resize(capacity);
  heap_refs_.resize(2 * capacity);
  if (was_inline) {
    std::copy_n(inline_pairs_.items, size_, heap_pairs_.data());
    std::copy_n(inline_refs_, refs_held_, heap_refs_.data());
  }
  pairs_ = heap_pairs_.data();
  refs_ = heap_refs_.data();
  capacity_ = capacity;
}

bool FieldPairs::collect(PyObject* dict) {
  // Held for the walk, so the dict outlives it whoever else lets go of it.
  const PyRef owner = PyRef::borrow(dict);
  reserve(static_cast<std::size_t>(std::max<Py_ssize_t>(PyDict_Size(dict), 0)));
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  // PyDict_Next reads the dict's current storage with bounds checks on every
  // step, so even a dict changed behind the walk cannot be read out of range.
  while (PyDict_Next(dict, &position, &key, &value)) {
    if (size_ == capacity_) {
      reserve(2 * capacity_);
    }
    refs_[refs_held_++] = Py_NewRef(key);
    refs_[refs_held_++] = Py_NewRef(value);
    const std::optional<std::string_view> key_text = str_text(key);
    if (!key_text) {
      wrap_field_error("Field key must be string: ");
      return false;
    }
    const std::optional<std::string_view> value_text = str_text(value);
    if (!value_text) {
      wrap_field_error("Field value must be string: ");
      return false;
    }
    std::construct_at(pairs_ + size_, *key_text, *value_text);
    ++size_;
  }
  return true;
}

std::optional<std::string_view> verify_request(PyObject* intent_name, PyObject* dict,
                                               FieldPairs& fields) {
  const std::optional<std::string_view> intent = text_arg(intent_name, "intent_name");
  if (!intent || !dict_arg(dict, "fields") || !fields.collect(dict)) {
    return std::nullopt;
  }
  return intent;
}

// ---- Results ---------------------------------------------------------------------

PyObject* raise_policy_error(PyObject* type, std::string_view prefix, const PolicyError& error) {
  std::string message(prefix);
  message += error.text();
  PyRef text = PyRef::steal(to_python(message));
  if (text) {
    PyErr_SetObject(type, text.get());
  }
  return nullptr;
}

PyObject* to_python_list(std::span<const std::string> texts) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) {
    return nullptr;
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* item = to_python(texts[i]);
    if (item == nullptr) {
      return nullptr;
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* to_python_list(std::span<const std::pair<std::string, std::string>> pairs) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  if (!list) {
    return nullptr;
  }
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    PyRef first = PyRef::steal(to_python(pairs[i].first));
    PyRef second = PyRef::steal(to_python(pairs[i].second));
    if (!first || !second) {
      return nullptr;
    }
    PyObject* item = PyTuple_Pack(2, first.get(), second.get());
    if (item == nullptr) {
      return nullptr;
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace ordel::py
