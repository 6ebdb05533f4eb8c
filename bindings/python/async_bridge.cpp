// The awaitable operations of ordel_py.
//
// Registered with their final names, calling conventions and docstrings;
// until the asyncio bridge and its worker pool are in place each raises
// NotImplementedError.

#include "objects.h"

namespace ordel::py {

const char kFromFileAsyncDoc[] =
    "from_file_async(path)\n"
    "--\n"
    "\n"
    "Load an Ordel policy from a file (async)\n"
    "\n"
    "Non-blocking file I/O for async contexts.\n"
    "\n"
    "Args:\n"
    "    path: Path to the .odl policy file\n"
    "\n"
    "Returns:\n"
    "    OrdelEngine instance";

const char kFromSourceAsyncDoc[] =
    "from_source_async(source)\n"
    "--\n"
    "\n"
    "Load an Ordel policy from source code (async)\n"
    "\n"
    "Non-blocking parse for async contexts.\n"
    "\n"
    "Args:\n"
    "    source: Ordel policy source code as a string\n"
    "\n"
    "Returns:\n"
    "    OrdelEngine instance";

const char kEngineVerifyAsyncDoc[] =
    "verify_async($self, intent_name, fields)\n"
    "--\n"
    "\n"
    "Verify an intent against the policy (async)\n"
    "\n"
    "Non-blocking verification for async agent frameworks.\n"
    "Offloads CPU-bound verification to a thread pool.\n"
    "\n"
    "Args:\n"
    "    intent_name: Name of the intent to verify\n"
    "    fields: Dictionary of parameter names to values\n"
    "\n"
    "Returns:\n"
    "    Coroutine that resolves to Verdict";

const char kModuleVerifyAsyncDoc[] =
    "verify_async(policy_path, intent_name, fields)\n"
    "--\n"
    "\n"
    "Quick verification helper (async)\n"
    "\n"
    "Load a policy and verify an intent in one async call.\n"
    "Non-blocking for agent frameworks.\n"
    "\n"
    "Args:\n"
    "    policy_path: Path to the .odl policy file\n"
    "    intent_name: Name of the intent to verify\n"
    "    fields: Dictionary of parameter names to values\n"
    "\n"
    "Returns:\n"
    "    Coroutine that resolves to Verdict";

namespace {

PyObject* not_yet(const char* operation) {
  PyErr_Format(PyExc_NotImplementedError, "%s arrives with the async API", operation);
  return nullptr;
}

}  // namespace

PyObject* engine_from_file_async(PyObject*, PyObject*, PyObject*) {
  return not_yet("OrdelEngine.from_file_async");
}

PyObject* engine_from_source_async(PyObject*, PyObject*, PyObject*) {
  return not_yet("OrdelEngine.from_source_async");
}

PyObject* engine_verify_async(PyObject*, PyObject*, PyObject*) {
  return not_yet("OrdelEngine.verify_async");
}

PyObject* module_verify_async(PyObject*, PyObject*, PyObject*) {
  return not_yet("verify_async");
}

int init_async_bridge(PyObject*) { return 0; }

}  // namespace ordel::py
