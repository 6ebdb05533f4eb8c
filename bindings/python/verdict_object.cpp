// The Verdict class: an immutable snapshot of one verification result.

#include <unicode/uchar.h>

#include <new>
#include <string>
#include <utility>

#include "convert.h"
#include "objects.h"
#include "py_ref.h"
#include "text/utf8.h"

namespace ordel::py {

namespace {

struct VerdictObject {
  PyObject_HEAD
  Verdict verdict;
};

PyTypeObject* verdict_type = nullptr;

const Verdict& verdict_of(PyObject* self) noexcept {
  return reinterpret_cast<VerdictObject*>(self)->verdict;
}

constexpr const char kVerdictDoc[] =
    "Result of a verification operation\n"
    "\n"
    "Attributes:\n"
    "    allowed (bool): Whether the intent is permitted by the policy\n"
    "    reason (str | None): Reason for denial, None if allowed\n"
    "    guidance (str): Human-readable guidance about the decision\n"
    "    category (str): Category of the policy decision";

// Characters a repr shows as \u{hex}: those that are not printable (control,
// format, surrogate, private-use and unassigned code points, line and
// paragraph separators, space separators other than U+0020) and the
// grapheme-extending marks, which would otherwise join the character before.
bool needs_hex_escape(char32_t c) noexcept {
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return true;
    case U_SPACE_SEPARATOR:
      return c != U' ';
    default:
      return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_GRAPHEME_EXTEND) != 0;
  }
}

void append_hex_escape(std::string& out, char32_t c) {
  constexpr char kDigits[] = "0123456789abcdef";
  char digits[8];
  int count = 0;
  do {
    digits[count++] = kDigits[c & 0xFu];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  while (count > 0) {
    out += digits[--count];
  }
  out += '}';
}

// Appends `text` (valid UTF-8) between double quotes with the repr's escapes.
void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (std::size_t pos = 0; pos < text.size();) {
    const unsigned char byte = static_cast<unsigned char>(text[pos]);
    if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
      out += static_cast<char>(byte);
      ++pos;
      continue;
    }
    const text::Decoded decoded = text::decode_at(text, pos);
    const char32_t c = decoded.code_point;
    switch (c) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (needs_hex_escape(c)) {
          append_hex_escape(out, c);
        } else {
          out.append(text.substr(pos, decoded.length));
        }
    }
    pos += decoded.length;
  }
  out += '"';
}

// ---- Slots -----------------------------------------------------------------------

void verdict_dealloc(PyObject* self) {
  reinterpret_cast<VerdictObject*>(self)->verdict.~Verdict();
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// "Verdict(allowed=True)" or "Verdict(allowed=False, reason="...")"; a denial
// without a reason shows "unknown".
PyObject* verdict_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const Verdict& verdict = verdict_of(self);
    if (verdict.allowed) {
      return PyUnicode_FromString("Verdict(allowed=True)");
    }
    std::string text = "Verdict(allowed=False, reason=";
    append_quoted(text, verdict.reason ? std::string_view(*verdict.reason) : "unknown");
    text += ')';
    return to_python(text);
  });
}

int verdict_bool(PyObject* self) { return verdict_of(self).allowed ? 1 : 0; }

PyObject* get_allowed(PyObject* self, void*) { return PyBool_FromLong(verdict_of(self).allowed); }

PyObject* get_reason(PyObject* self, void*) {
  const Verdict& verdict = verdict_of(self);
  if (!verdict.reason) {
    Py_RETURN_NONE;
  }
  return guarded([&] { return to_python(*verdict.reason); });
}

PyObject* get_guidance(PyObject* self, void*) { return to_python(verdict_of(self).guidance); }

// Category values outside the table read as ChannelPolicy.
PyObject* get_category(PyObject* self, void*) {
  const VerdictCategory category = verdict_of(self).category;
  const auto index = static_cast<std::size_t>(category);
  return to_python(index < kVerdictCategoryNames.size() ? category_name(category)
                                                        : category_name(VerdictCategory::ChannelPolicy));
}

PyGetSetDef verdict_getset[] = {
    {"allowed", get_allowed, nullptr, nullptr, nullptr},
    {"reason", get_reason, nullptr, nullptr, nullptr},
    {"guidance", get_guidance, nullptr, nullptr, nullptr},
    {"category", get_category, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot verdict_slots[] = {
    // The class docstring (no signature line).
    {Py_tp_doc, const_cast<char*>(kVerdictDoc)},
    // Calling the class raises TypeError "No constructor defined".
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    // Destroys the held verdict and frees the object.
    {Py_tp_dealloc, reinterpret_cast<void*>(verdict_dealloc)},
    // The escaped repr.
    {Py_tp_repr, reinterpret_cast<void*>(verdict_repr)},
    // Truth value: `allowed`.
    {Py_nb_bool, reinterpret_cast<void*>(verdict_bool)},
    // Read-only attributes, each read building a new object.
    {Py_tp_getset, verdict_getset},
    {0, nullptr},
};

PyType_Spec verdict_spec = {
    .name = "ordel_py.Verdict",
    .basicsize = sizeof(VerdictObject),
    .itemsize = 0,
    // Not subclassable; class attributes cannot be set.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = verdict_slots,
};

}  // namespace

PyObject* create_verdict_type() {
  PyObject* type = PyType_FromSpec(&verdict_spec);
  if (type == nullptr) {
    return nullptr;
  }
  hold_type(verdict_type, type);
  return type;
}

PyObject* new_verdict_object(Verdict verdict) {
  PyObject* self = PyType_GenericAlloc(verdict_type, 0);
  if (self == nullptr) {
    return nullptr;
  }
  new (&reinterpret_cast<VerdictObject*>(self)->verdict) Verdict(std::move(verdict));
  return self;
}

}  // namespace ordel::py
