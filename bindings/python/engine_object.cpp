// The OrdelEngine class: one shared, immutable engine and the synchronous
// operations on it. Every operation holds the interpreter lock from start to
// end; the engine is only read, so instances may be used from any thread.

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "convert.h"
#include "objects.h"
#include "py_ref.h"

namespace ordel::py {

namespace {

// The engine is shared with every awaitable operation still in flight, hence
// the atomically counted pointer.
struct EngineObject {
  PyObject_HEAD
  std::shared_ptr<const Engine> engine;
};

PyTypeObject* engine_type = nullptr;

const Engine& engine_ref(PyObject* self) noexcept { return *engine_of(self); }

// ---- Docstrings ------------------------------------------------------------------

constexpr const char kEngineDoc[] =
    "Ordel Policy Engine\n"
    "\n"
    "The main interface for loading policies and verifying intents.\n"
    "Supports both sync and async usage for integration with agent frameworks.\n"
    "\n"
    "Example:\n"
    "    ```python\n"
    "    from ordel import OrdelEngine\n"
    "\n"
    "    # Load from file\n"
    "    engine = OrdelEngine.from_file(\"security.odl\")\n"
    "\n"
    "    # Or load from source string\n"
    "    engine = OrdelEngine.from_source('''\n"
    "        module security {\n"
    "            intent ReadFile {\n"
    "                takes: path: String;\n"
    "                gives: content: String;\n"
    "                effect: READ;\n"
    "                conscience: path_safety;\n"
    "            }\n"
    "        }\n"
    "    ''')\n"
    "\n"
    "    # Sync verification\n"
    "    verdict = engine.verify(\"ReadFile\", {\"path\": \"/tmp/data.txt\"})\n"
    "\n"
    "    # Async verification (non-blocking for agent frameworks)\n"
    "    verdict = await engine.verify_async(\"ReadFile\", {\"path\": \"/tmp/data.txt\"})\n"
    "    ```";

constexpr const char kFromFileDoc[] =
    "from_file(path)\n"
    "--\n"
    "\n"
    "Load an Ordel policy from a file\n"
    "\n"
    "Args:\n"
    "    path: Path to the .odl policy file\n"
    "\n"
    "Returns:\n"
    "    OrdelEngine instance\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the policy file cannot be loaded";

constexpr const char kFromSourceDoc[] =
    "from_source(source)\n"
    "--\n"
    "\n"
    "Load an Ordel policy from source code\n"
    "\n"
    "Args:\n"
    "    source: Ordel policy source code as a string\n"
    "\n"
    "Returns:\n"
    "    OrdelEngine instance\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the policy source is invalid";

constexpr const char kVerifyDoc[] =
    "verify($self, intent_name, fields)\n"
    "--\n"
    "\n"
    "Verify an intent against the policy (sync)\n"
    "\n"
    "This is a pure operation - no side effects, fully deterministic.\n"
    "\n"
    "Args:\n"
    "    intent_name: Name of the intent to verify\n"
    "    fields: Dictionary of parameter names to values\n"
    "\n"
    "Returns:\n"
    "    Verdict indicating whether the intent is allowed\n"
    "\n"
    "Raises:\n"
    "    RuntimeError: If verification fails unexpectedly";

constexpr const char kIntentsDoc[] =
    "intents($self)\n"
    "--\n"
    "\n"
    "Get a list of all intent names in the policy\n"
    "\n"
    "Returns:\n"
    "    List of intent name strings";

constexpr const char kIntentSignatureDoc[] =
    "intent_signature($self, name)\n"
    "--\n"
    "\n"
    "Get the signature of an intent\n"
    "\n"
    "Args:\n"
    "    name: Intent name\n"
    "\n"
    "Returns:\n"
    "    IntentSignature if found, None otherwise";

constexpr const char kHasIntentDoc[] =
    "has_intent($self, name)\n"
    "--\n"
    "\n"
    "Check if an intent exists in the policy\n"
    "\n"
    "Args:\n"
    "    name: Intent name to check\n"
    "\n"
    "Returns:\n"
    "    True if intent exists, False otherwise";

// ---- Parameters ------------------------------------------------------------------

constexpr Params<1> kPathParams{"O:from_file", {"path", nullptr}};
constexpr Params<1> kSourceParams{"O:from_source", {"source", nullptr}};
constexpr Params<2> kVerifyParams{"OO:verify", {"intent_name", "fields", nullptr}};
constexpr Params<1> kSignatureParams{"O:intent_signature", {"name", nullptr}};
constexpr Params<1> kHasIntentParams{"O:has_intent", {"name", nullptr}};

// A new OrdelEngine from a load result, or `type` raised with `prefix` and
// the error's text.
PyObject* engine_from_result(Result<Engine> loaded, PyObject* type, std::string_view prefix) {
  if (!loaded) {
    return raise_policy_error(type, prefix, loaded.error());
  }
  return new_engine_object(std::make_shared<const Engine>(std::move(*loaded)));
}

// ---- Methods ---------------------------------------------------------------------

PyObject* engine_from_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 1> argv{};
    if (!match_args(args, kwargs, kPathParams, argv)) {
      return nullptr;
    }
    const std::optional<std::string_view> path = text_arg(argv[0], "path");
    if (!path) {
      return nullptr;
    }
    return engine_from_result(Engine::from_file(*path), PyExc_ValueError, kLoadFailed);
  });
}

PyObject* engine_from_source(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 1> argv{};
    if (!match_args(args, kwargs, kSourceParams, argv)) {
      return nullptr;
    }
    const std::optional<std::string_view> source = text_arg(argv[0], "source");
    if (!source) {
      return nullptr;
    }
    return engine_from_result(Engine::from_source(*source), PyExc_ValueError, kParseFailed);
  });
}

// The hot path: positional arguments are taken straight from the tuple, the
// field texts are read in place, and the verdict is stored by value in the
// new object.
PyObject* engine_verify(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 2> argv{};
    if (!match_args(args, kwargs, kVerifyParams, argv)) {
      return nullptr;
    }
    FieldPairs fields;
    const std::optional<std::string_view> intent = verify_request(argv[0], argv[1], fields);
    if (!intent) {
      return nullptr;
    }
    return verify_to_python(engine_ref(self), *intent, fields.pairs());
  });
}

PyObject* engine_intents(PyObject* self, PyObject*) {
  return guarded([&] { return to_python_list(engine_ref(self).intents()); });
}

PyObject* engine_intent_signature(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 1> argv{};
    if (!match_args(args, kwargs, kSignatureParams, argv)) {
      return nullptr;
    }
    const std::optional<std::string_view> name = text_arg(argv[0], "name");
    if (!name) {
      return nullptr;
    }
    std::optional<IntentSignature> signature = engine_ref(self).intent_signature(*name);
    if (!signature) {
      Py_RETURN_NONE;
    }
    return new_signature_object(std::move(*signature));
  });
}

PyObject* engine_has_intent(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 1> argv{};
    if (!match_args(args, kwargs, kHasIntentParams, argv)) {
      return nullptr;
    }
    const std::optional<std::string_view> name = text_arg(argv[0], "name");
    if (!name) {
      return nullptr;
    }
    return PyBool_FromLong(engine_ref(self).has_intent(*name));
  });
}

constexpr int kWithParams = METH_VARARGS | METH_KEYWORDS;

PyMethodDef engine_methods[] = {
    {"from_file", as_method(engine_from_file), kWithParams | METH_STATIC, kFromFileDoc},
    {"from_source", as_method(engine_from_source), kWithParams | METH_STATIC, kFromSourceDoc},
    {"from_file_async", as_method(engine_from_file_async), kWithParams | METH_STATIC,
     kFromFileAsyncDoc},
    {"from_source_async", as_method(engine_from_source_async), kWithParams | METH_STATIC,
     kFromSourceAsyncDoc},
    {"verify", as_method(engine_verify), kWithParams, kVerifyDoc},
    {"verify_async", as_method(engine_verify_async), kWithParams, kEngineVerifyAsyncDoc},
    {"intents", as_method(engine_intents), METH_NOARGS, kIntentsDoc},
    {"intent_signature", as_method(engine_intent_signature), kWithParams, kIntentSignatureDoc},
    {"has_intent", as_method(engine_has_intent), kWithParams, kHasIntentDoc},
    {nullptr, nullptr, 0, nullptr},
};

// ---- Slots -----------------------------------------------------------------------

void engine_dealloc(PyObject* self) {
  reinterpret_cast<EngineObject*>(self)->engine.~shared_ptr();
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyObject* engine_repr(PyObject* self) {
  return guarded([&] {
    std::string text = "OrdelEngine(intents=";
    text += std::to_string(engine_ref(self).intents().size());
    text += ')';
    return to_python(text);
  });
}

PyType_Slot engine_slots[] = {
    // The class docstring (no signature line).
    {Py_tp_doc, const_cast<char*>(kEngineDoc)},
    // Calling the class raises TypeError "No constructor defined"; engines
    // come from from_file and from_source.
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    // Drops this object's share of the engine.
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    // "OrdelEngine(intents={count})".
    {Py_tp_repr, reinterpret_cast<void*>(engine_repr)},
    // Loading (static), verification and introspection, in table order.
    {Py_tp_methods, engine_methods},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    .name = "ordel_py.OrdelEngine",
    .basicsize = sizeof(EngineObject),
    .itemsize = 0,
    // Not subclassable; class attributes cannot be set.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = engine_slots,
};

}  // namespace

PyObject* create_engine_type() {
  PyObject* type = PyType_FromSpec(&engine_spec);
  if (type == nullptr) {
    return nullptr;
  }
  hold_type(engine_type, type);
  return type;
}

PyObject* new_engine_object(std::shared_ptr<const Engine> engine) {
  PyObject* self = PyType_GenericAlloc(engine_type, 0);
  if (self == nullptr) {
    return nullptr;
  }
  new (&reinterpret_cast<EngineObject*>(self)->engine)
      std::shared_ptr<const Engine>(std::move(engine));
  return self;
}

const std::shared_ptr<const Engine>& engine_of(PyObject* self) noexcept {
  return reinterpret_cast<EngineObject*>(self)->engine;
}

PyObject* verify_to_python(const Engine& engine, std::string_view intent,
                           std::span<const FieldPair> fields) {
  Result<Verdict> verdict = engine.verify(intent, fields);
  if (!verdict) {
    return raise_policy_error(PyExc_RuntimeError, kVerifyFailed, verdict.error());
  }
  return new_verdict_object(std::move(*verdict));
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

}  // namespace ordel::py
