// PyRef: one owned reference to a Python object.
//
// Move-only; the destructor releases the reference, so an early return on an
// error path never leaks one. Needs the interpreter lock wherever a non-empty
// PyRef is destroyed or reassigned.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace ordel::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (may be null, for example a failed call).
  [[nodiscard]] static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference to a borrowed object.
  [[nodiscard]] static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace ordel::py
