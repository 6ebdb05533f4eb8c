// Initialisation of the ordel_py module, its module-level functions and the
// boundary that turns internal faults into Python exceptions.
//
// The module is initialised once per process, in the main interpreter: its
// classes are process-wide, so a second interpreter cannot have its own
// copies and gets ImportError. Removing the module from sys.modules and
// importing it again returns the same module object.

#include <exception>
#include <new>
#include <string_view>
#include <utility>

#include "convert.h"
#include "objects.h"
#include "py_ref.h"

namespace ordel::py {

namespace {

constexpr const char kVersionText[] = "ordel-py 0.2.1 (ordel-lang 0.2.1)";
constexpr const char kModuleVersion[] = "0.2.1";

constexpr const char kModuleDoc[] =
    "Ordel Python module\n"
    "\n"
    "Provides policy verification for AI agents with sync and async support.\n"
    "\n"
    "Key classes:\n"
    "    - OrdelEngine: Main policy engine for loading and verifying\n"
    "    - Verdict: Result of a verification operation\n"
    "    - IntentSignature: Intent metadata for introspection\n"
    "\n"
    "Sync functions:\n"
    "    - verify(): One-shot verification helper\n"
    "\n"
    "Async functions:\n"
    "    - verify_async(): Non-blocking verification for agent frameworks";

constexpr const char kVersionDoc[] =
    "version()\n"
    "--\n"
    "\n"
    "Get Ordel version information";

constexpr const char kVerifyDoc[] =
    "verify(policy_path, intent_name, fields)\n"
    "--\n"
    "\n"
    "Quick verification helper (sync)\n"
    "\n"
    "Load a policy and verify an intent in one call.\n"
    "\n"
    "Args:\n"
    "    policy_path: Path to the .odl policy file\n"
    "    intent_name: Name of the intent to verify\n"
    "    fields: Dictionary of parameter names to values\n"
    "\n"
    "Returns:\n"
    "    Verdict indicating whether the intent is allowed";

constexpr const char kPanicDoc[] =
    "An internal fault of the ordel_py extension, caught where a call entered it.";

constexpr Params<3> kVerifyParams{"OOO:verify",
                                  {"policy_path", "intent_name", "fields", nullptr}};

PyObject* the_module = nullptr;
PyObject* panic_type = nullptr;

PyObject* create_panic_type() {
  return PyErr_NewExceptionWithDoc("ordel_py.PanicException", kPanicDoc, PyExc_BaseException,
                                   nullptr);
}

PyObject* module_version(PyObject*, PyObject*) { return PyUnicode_FromString(kVersionText); }

// Loads, then converts the fields, then verifies: a policy that cannot be
// loaded is reported even when the fields are bad too. Nothing is cached.
PyObject* module_verify(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 3> argv{};
    if (!match_args(args, kwargs, kVerifyParams, argv)) {
      return nullptr;
    }
    const std::optional<std::string_view> path = text_arg(argv[0], "policy_path");
    if (!path) {
      return nullptr;
    }
    const std::optional<std::string_view> intent = text_arg(argv[1], "intent_name");
    if (!intent || !dict_arg(argv[2], "fields")) {
      return nullptr;
    }
    const Result<Engine> engine = Engine::from_file(*path);
    if (!engine) {
      return raise_policy_error(PyExc_ValueError, kLoadFailed, engine.error());
    }
    FieldPairs fields;
    if (!fields.collect(argv[2])) {
      return nullptr;
    }
    return verify_to_python(*engine, *intent, fields.pairs());
  });
}

constexpr int kWithParams = METH_VARARGS | METH_KEYWORDS;

PyMethodDef version_def = {"version", as_method(module_version), METH_NOARGS, kVersionDoc};
PyMethodDef verify_def = {"verify", as_method(module_verify), kWithParams, kVerifyDoc};
PyMethodDef verify_async_def = {"verify_async", as_method(module_verify_async), kWithParams,
                                kModuleVerifyAsyncDoc};

// m_size 0 rather than -1: the host then calls the init function again on a
// repeated import instead of copying the first module's dict into a new
// module, which lets it return the one module object (and refuse
// sub-interpreters).
PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "ordel_py",
    .m_doc = kModuleDoc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// Adds `value` (a new reference, may be null after a failed creation) to the
// module under `name` and appends the name to __all__.
bool add_export(PyObject* module, PyObject* all, const char* name, PyRef value) {
  if (!value || PyModule_AddObjectRef(module, name, value.get()) < 0) {
    return false;
  }
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  return key && PyList_Append(all, key.get()) == 0;
}

PyRef new_function(PyMethodDef& def, PyObject* module) {
  PyRef name = PyRef::steal(PyModule_GetNameObject(module));
  if (!name) {
    return {};
  }
  return PyRef::steal(PyCFunction_NewEx(&def, module, name.get()));
}

// Builds the module: classes, functions and __version__ in this order, each
// name appended to __all__.
PyRef build_module() {
  if (panic_type == nullptr) {
    panic_type = create_panic_type();
    if (panic_type == nullptr) {
      return {};
    }
  }
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) {
    return {};
  }
  PyRef all = PyRef::steal(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) {
    return {};
  }
  PyObject* m = module.get();
  PyObject* a = all.get();
  const bool added =
      add_export(m, a, "OrdelEngine", PyRef::steal(create_engine_type())) &&
      add_export(m, a, "Verdict", PyRef::steal(create_verdict_type())) &&
      add_export(m, a, "IntentSignature", PyRef::steal(create_signature_type())) &&
      add_export(m, a, "version", new_function(version_def, m)) &&
      add_export(m, a, "verify", new_function(verify_def, m)) &&
      add_export(m, a, "verify_async", new_function(verify_async_def, m)) &&
      add_export(m, a, "__version__", PyRef::steal(PyUnicode_FromString(kModuleVersion)));
  if (!added || init_async_bridge(m) < 0) {
    return {};
  }
  return module;
}

PyObject* init_module() {
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
    PyErr_SetString(PyExc_ImportError,
                    "module ordel_py does not support loading in subinterpreters");
    return nullptr;
  }
  if (the_module != nullptr) {
    return Py_NewRef(the_module);
  }
  PyRef module = build_module();
  if (!module) {
    return nullptr;
  }
  the_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

void raise_internal_fault() noexcept {
  // Before the panic type exists only initialisation can fail.
  PyObject* type = panic_type != nullptr ? panic_type : PyExc_SystemError;
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    const std::string_view what = fault.what();
    PyRef message = PyRef::steal(
        PyUnicode_DecodeUTF8(what.data(), static_cast<Py_ssize_t>(what.size()), "replace"));
    if (message) {
      PyErr_SetObject(type, message.get());
    }
  } catch (...) {
    PyErr_SetString(type, "unknown internal fault");
  }
}

}  // namespace ordel::py

PyMODINIT_FUNC PyInit_ordel_py() {
  return ordel::py::guarded([] { return ordel::py::init_module(); });
}
