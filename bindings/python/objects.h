// Shared declarations of the ordel_py extension module: the three classes,
// the guard every entry point runs its body in, and the entry points that
// one file defines and another registers.
//
// Threads: everything here runs with the interpreter lock held. The module
// lives only in the main interpreter, so the class objects are process-wide.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "conscience/verdict.h"
#include "engine/engine.h"

namespace ordel::py {

// ---- Classes -----------------------------------------------------------------
// Each create_* builds its class from its PyType_Spec once, at module
// initialisation, keeps a reference for the new_* functions and returns a new
// reference for the module; null with an exception set on failure.

[[nodiscard]] PyObject* create_engine_type();
[[nodiscard]] PyObject* create_verdict_type();
[[nodiscard]] PyObject* create_signature_type();

// Stores a new reference to the class `type` in `slot`, releasing the class
// it held before (left from an initialisation that failed later on).
inline void hold_type(PyTypeObject*& slot, PyObject* type) noexcept {
  PyTypeObject* previous = slot;
  slot = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
  Py_XDECREF(reinterpret_cast<PyObject*>(previous));
}

// New instances owning their value; null with an exception set on failure.
// The engine is shared: the object holds one more reference to it.
[[nodiscard]] PyObject* new_engine_object(std::shared_ptr<const Engine> engine);
[[nodiscard]] PyObject* new_verdict_object(Verdict verdict);
[[nodiscard]] PyObject* new_signature_object(IntentSignature signature);

// The engine held by an OrdelEngine instance (`self` must be one).
[[nodiscard]] const std::shared_ptr<const Engine>& engine_of(PyObject* self) noexcept;

// The tp_new of every class: instances come only from the module's
// operations, so calling a class raises TypeError "No constructor defined".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Runs the verification of one request and returns a new Verdict, or raises
// RuntimeError "Verification failed: {error}" and returns null.
[[nodiscard]] PyObject* verify_to_python(const Engine& engine, std::string_view intent,
                                         std::span<const FieldPair> fields);

// A function of any of the calling conventions, as a method table holds it.
template <typename Function>
[[nodiscard]] inline PyCFunction as_method(Function function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// ---- Internal faults -----------------------------------------------------------

// Turns the C++ exception being handled into a Python exception: MemoryError
// for std::bad_alloc, and for anything else the module's panic exception
// type (ordel_py.PanicException, derived from BaseException, so ordinary
// `except Exception` handlers do not swallow it) with the fault's text.
// Call only inside a catch block.
void raise_internal_fault() noexcept;

// Runs the body of an entry point; no C++ exception ever leaves it.
template <typename Body>
[[nodiscard]] PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_internal_fault();
    return nullptr;
  }
}

// ---- Awaitable entry points (async_bridge.cpp) --------------------------------
// Registered beside their synchronous counterparts with these docstrings.

PyObject* engine_from_file_async(PyObject* unused, PyObject* args, PyObject* kwargs);
PyObject* engine_from_source_async(PyObject* unused, PyObject* args, PyObject* kwargs);
PyObject* engine_verify_async(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* module_verify_async(PyObject* module, PyObject* args, PyObject* kwargs);

extern const char kFromFileAsyncDoc[];
extern const char kFromSourceAsyncDoc[];
extern const char kEngineVerifyAsyncDoc[];
extern const char kModuleVerifyAsyncDoc[];

// Prepares the bridge's process-wide state once the module object exists.
// Returns -1 with an exception set on failure.
[[nodiscard]] int init_async_bridge(PyObject* module);

}  // namespace ordel::py
