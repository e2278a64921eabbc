#include "python/native/arguments.hpp"

#include <deque>
#include <new>

#include "python/helpers/pyref.hpp"
#include "python/helpers/stable_abi.hpp"
#include "python/native/exceptions.hpp"

namespace mave::native {
namespace {

void fill_defaults(const py::ArgumentSpec& spec, py::ArgumentSlots& slots) {
  for (std::size_t i = spec.required_count; i < spec.parameter_count; ++i) {
    if (slots[i] == nullptr) slots[i] = Py_None;
  }
}

// `doc` with the signature line of `signature` first, unless it has it.
// Docstrings must outlive their types and functions: kept for the process.
const char* with_signature_line(const Signature& signature, const char* doc) {
  std::string line = signature.signature_line();
  if (doc != nullptr && std::string_view(doc).starts_with(line)) return doc;
  if (doc != nullptr) line += doc;
  static std::deque<std::string> kept;
  return kept.emplace_back(std::move(line)).c_str();
}

// The parsers build their messages in std::string: running out of memory
// there is a MemoryError like any other.
template <class Parse>
bool memory_safe(Parse&& parse) {
  try {
    return parse();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

}  // namespace

std::string Signature::signature_line() const {
  std::string line = spec_.function;
  line += "(";
  if (bound_ != Bound::Type) {
    line += bound_ == Bound::Module ? "$module" : "$self";
    if (!parameters_.empty()) line += ", ";
  }
  line += parameters_;
  line += ")\n--\n\n";
  return line;
}

bool Signature::parse(const Call& call, py::ArgumentSlots& slots) const {
  return memory_safe([&] {
    if (!py::parse_vectorcall(spec_, call.args, call.nargs, call.kwnames, slots)) return false;
    fill_defaults(spec_, slots);
    return true;
  });
}

bool Signature::parse(PyObject* args, PyObject* kwargs, py::ArgumentSlots& slots) const {
  return memory_safe([&] {
    if (!py::parse_tuple_dict(spec_, args, kwargs, slots)) return false;
    fill_defaults(spec_, slots);
    return true;
  });
}

void add_signature_lines(PyMethodDef* methods, std::initializer_list<const Signature*> signatures) {
  for (PyMethodDef* m = methods; m->ml_name != nullptr; ++m) {
    for (const Signature* s : signatures) {
      if (std::string_view(s->name()) == m->ml_name) m->ml_doc = with_signature_line(*s, m->ml_doc);
    }
  }
}

bool add_functions(PyObject* module, PyMethodDef* functions,
                   std::initializer_list<const Signature*> signatures) {
  add_signature_lines(functions, signatures);
  return PyModule_AddFunctions(module, functions) == 0;
}

PyTypeObject* add_type(PyObject* module, const char* name, PyType_Spec& spec, PyMethodDef* methods,
                       std::initializer_list<const Signature*> signatures, const Signature* constructor) {
  add_signature_lines(methods, signatures);
  for (PyType_Slot* slot = spec.slots; constructor != nullptr && slot->slot != 0; ++slot) {
    if (slot->slot == Py_tp_doc) {
      slot->pfunc =
          const_cast<char*>(with_signature_line(*constructor, static_cast<const char*>(slot->pfunc)));
    }
  }
  PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
  if (type == nullptr) return nullptr;
  if (PyModule_AddObjectRef(module, name, type) < 0) {
    Py_DECREF(type);
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

std::optional<std::string_view> str_argument(PyObject* obj, const char* what) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %s", what, py::TypeName(obj).c_str());
    return std::nullopt;
  }
  return py::utf8_of(obj);
}

std::optional<std::string_view> str_item(PyObject* obj, const char* what, std::size_t i) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s[%zu] must be str, not %s", what, i, py::TypeName(obj).c_str());
    return std::nullopt;
  }
  return py::utf8_of(obj);
}

py::PyRef str_sequence(PyObject* sequence, const char* what, std::vector<std::string_view>& views) {
  py::PyRef held = py::PyRef::steal(PySequence_Tuple(sequence));
  if (!held) return held;
  const std::size_t n = static_cast<std::size_t>(PyTuple_Size(held.get()));
  views.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    auto text = str_item(PyTuple_GetItem(held.get(), static_cast<Py_ssize_t>(i)), what, i);
    if (!text) return py::PyRef();
    views.push_back(*text);
  }
  return held;
}

std::optional<std::string> fs_path_argument(PyObject* obj) {
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(obj, &encoded)) return std::nullopt;
  py::PyRef owned = py::PyRef::steal(encoded);
  return std::string(PyBytes_AsString(encoded), static_cast<std::size_t>(PyBytes_Size(encoded)));
}

namespace {

constexpr const char* kMetadataKinds = "metadata must be a mapping or TOML text, not %s";

// `key` names the entry in the messages.
bool metadata_value(PyObject* key, PyObject* value, Metadata::Value& out) {
  if (PyLong_Check(value) && !PyBool_Check(value)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0) {
      PyErr_Format(PyExc_ValueError, "metadata value of %R does not fit a TOML integer", key);
      return false;
    }
    out = static_cast<std::int64_t>(v);
  } else if (PyFloat_Check(value)) {
    out = PyFloat_AsDouble(value);
  } else if (PyUnicode_Check(value)) {
    auto text = py::utf8_of(value);
    if (!text) return false;
    out = std::string(*text);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "metadata value of %R must be int, float or str (or pass TOML text), not %s", key,
                 py::TypeName(value).c_str());
    return false;
  }
  return true;
}

}  // namespace

bool metadata_entries(PyObject* obj, std::vector<std::pair<std::string, Metadata::Value>>& out) {
  // A sequence (of pairs or anything else) is no mapping, though the C API
  // would take a list's items.
  const bool mapping = PyMapping_Check(obj) && !PySequence_Check(obj) && !PyUnicode_Check(obj);
  py::PyRef items = py::PyRef::steal(mapping ? PyMapping_Items(obj) : nullptr);
  if (!items) {
    if (!mapping || PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, kMetadataKinds, py::TypeName(obj).c_str());
    }
    return false;
  }
  const Py_ssize_t n = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GetItem(items.get(), i);
    if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
      PyErr_Format(PyExc_TypeError, kMetadataKinds, py::TypeName(obj).c_str());
      return false;
    }
    PyObject* key = PyTuple_GetItem(pair, 0);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "metadata keys must be str, not %s", py::TypeName(key).c_str());
      return false;
    }
    auto name = py::utf8_of(key);
    if (!name) return false;
    Metadata::Value value;
    if (!metadata_value(key, PyTuple_GetItem(pair, 1), value)) return false;
    out.emplace_back(std::string(*name), std::move(value));
  }
  return true;
}

bool metadata_argument(PyObject* obj, std::optional<Metadata>& out) {
  if (obj == Py_None) return true;
  if (PyUnicode_Check(obj)) {
    auto text = py::utf8_of(obj);
    if (!text) return false;
    auto parsed = Metadata::parse(*text);
    if (!parsed.ok()) {
      PyErr_Format(PyExc_ValueError, "metadata is not TOML: %s",
                   messages::reason(parsed.error()).text.c_str());
      return false;
    }
    out = std::move(parsed).value();
    return true;
  }
  std::vector<std::pair<std::string, Metadata::Value>> entries;
  if (!metadata_entries(obj, entries)) return false;
  out = Metadata::from_entries(entries);
  return true;
}

std::optional<std::string_view> word_key(PyObject* key) {
  if (!PyUnicode_Check(key)) return std::nullopt;
  auto text = py::utf8_of(key);
  if (!text) PyErr_Clear();
  return text;
}

}  // namespace mave::native
