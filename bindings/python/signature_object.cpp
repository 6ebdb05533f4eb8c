// The IntentSignature class: an immutable snapshot of one intent's
// introspection record.

#include <new>
#include <string>
#include <utility>

#include "convert.h"
#include "objects.h"
#include "py_ref.h"

namespace ordel::py {

namespace {

struct SignatureObject {
  PyObject_HEAD
  IntentSignature signature;
};

PyTypeObject* signature_type = nullptr;

const IntentSignature& signature_of(PyObject* self) noexcept {
  return reinterpret_cast<SignatureObject*>(self)->signature;
}

constexpr const char kSignatureDoc[] =
    "Signature of an intent for introspection\n"
    "\n"
    "Attributes:\n"
    "    name (str): Intent name\n"
    "    takes (list[tuple[str, str]]): Input parameters as (name, type) pairs\n"
    "    gives (list[tuple[str, str]]): Output parameters as (name, type) pairs\n"
    "    effect (str): Effect class (READ, WRITE, NETWORK, etc.)\n"
    "    conscience (list[str]): Conscience predicates that apply";

void signature_dealloc(PyObject* self) {
  reinterpret_cast<SignatureObject*>(self)->signature.~IntentSignature();
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// "IntentSignature(name={name}, effect={effect}, predicates={a, b})", the
// texts as they are, without quotes.
PyObject* signature_repr(PyObject* self) {
  return guarded([&] {
    const IntentSignature& signature = signature_of(self);
    std::string text = "IntentSignature(name=";
    text += signature.name;
    text += ", effect=";
    text += signature.effect;
    text += ", predicates=";
    for (std::size_t i = 0; i < signature.conscience.size(); ++i) {
      if (i > 0) {
        text += ", ";
      }
      text += signature.conscience[i];
    }
    text += ')';
    return to_python(text);
  });
}

PyObject* get_name(PyObject* self, void*) { return to_python(signature_of(self).name); }

PyObject* get_takes(PyObject* self, void*) {
  return guarded([&] { return to_python_list(signature_of(self).takes); });
}

PyObject* get_gives(PyObject* self, void*) {
  return guarded([&] { return to_python_list(signature_of(self).gives); });
}

PyObject* get_effect(PyObject* self, void*) { return to_python(signature_of(self).effect); }

PyObject* get_conscience(PyObject* self, void*) {
  return guarded([&] { return to_python_list(signature_of(self).conscience); });
}

PyGetSetDef signature_getset[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {"takes", get_takes, nullptr, nullptr, nullptr},
    {"gives", get_gives, nullptr, nullptr, nullptr},
    {"effect", get_effect, nullptr, nullptr, nullptr},
    {"conscience", get_conscience, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot signature_slots[] = {
    // The class docstring (no signature line).
    {Py_tp_doc, const_cast<char*>(kSignatureDoc)},
    // Calling the class raises TypeError "No constructor defined".
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    // Destroys the held record and frees the object.
    {Py_tp_dealloc, reinterpret_cast<void*>(signature_dealloc)},
    // The unquoted summary repr.
    {Py_tp_repr, reinterpret_cast<void*>(signature_repr)},
    // Read-only attributes; lists are new on every read.
    {Py_tp_getset, signature_getset},
    {0, nullptr},
};

PyType_Spec signature_spec = {
    .name = "ordel_py.IntentSignature",
    .basicsize = sizeof(SignatureObject),
    .itemsize = 0,
    // Not subclassable; class attributes cannot be set.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = signature_slots,
};

}  // namespace

PyObject* create_signature_type() {
  PyObject* type = PyType_FromSpec(&signature_spec);
  if (type == nullptr) {
    return nullptr;
  }
  hold_type(signature_type, type);
  return type;
}

PyObject* new_signature_object(IntentSignature signature) {
  PyObject* self = PyType_GenericAlloc(signature_type, 0);
  if (self == nullptr) {
    return nullptr;
  }
  new (&reinterpret_cast<SignatureObject*>(self)->signature)
      IntentSignature(std::move(signature));
  return self;
}

}  // namespace ordel::py
