#include "python/helpers/arguments.hpp"

#include "python/helpers/stable_abi.hpp"

namespace mave::py {
namespace {

void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

// -1 when `key` names no parameter. A name that is not text, or whose text
// cannot be encoded (an unpaired surrogate), names none.
int parameter_index(const ArgumentSpec& spec, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  for (std::size_t i = 0; i < spec.parameter_count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, spec.parameters[i]) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void raise_too_many_positional(const ArgumentSpec& spec, Py_ssize_t given) {
  // Pinned: docs/compatibility.md ("arguments" even for one)
  const std::size_t most = spec.positional_count();
  std::string takes = spec.required_count < most
                          ? "from " + std::to_string(spec.required_count) + " to " +
                                std::to_string(most) + " positional arguments"
                          : std::to_string(most) + " positional arguments";
  raise_type_error(spec.display_name() + " takes " + takes + " but " + std::to_string(given) +
                   " " + (given == 1 ? "was" : "were") + " given");
}

// The keyword as text, with each unpaired surrogate shown as replacement
// characters rather than failing the message.
PyRef keyword_text(PyObject* key) {
  PyRef text = PyRef::steal(PyObject_Str(key));
  if (!text) return text;
  if (PyUnicode_AsUTF8AndSize(text.get(), nullptr) != nullptr) return text;
  PyErr_Clear();
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!bytes) return bytes;
  const std::string_view utf8 = bytes_view(bytes.get());
  return PyRef::steal(
      PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

void raise_unexpected_keyword(const ArgumentSpec& spec, PyObject* key) {
  PyRef text = keyword_text(key);
  if (!text) return;
  // Pinned: docs/compatibility.md
  std::string head = spec.display_name() + " got an unexpected keyword argument '";
  PyRef message = PyRef::steal(PyUnicode_FromFormat("%s%U'", head.c_str(), text.get()));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

// Fills the slot of one keyword argument, or raises.
bool take_keyword(const ArgumentSpec& spec, PyObject* key, PyObject* value,
                  ArgumentSlots& slots) {
  int i = parameter_index(spec, key);
  if (i < 0) {
    raise_unexpected_keyword(spec, key);
    return false;
  }
  if (slots[i] != nullptr) {
    // Pinned: docs/compatibility.md
    raise_type_error(spec.display_name() + " got multiple values for argument '" +
                     spec.parameters[i] + "'");
    return false;
  }
  slots[i] = value;
  return true;
}

// Pinned: docs/compatibility.md
// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::array<const char*, kMaxParameters>& names, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) {
      if (n > 2) out += ",";
      out += (i + 1 == n) ? " and " : " ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

bool check_required(const ArgumentSpec& spec, const ArgumentSlots& slots) {
  std::array<const char*, kMaxParameters> missing{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < spec.required_count; ++i) {
    if (slots[i] == nullptr) missing[n++] = spec.parameters[i];
  }
  if (n == 0) return true;
  // Pinned: docs/compatibility.md
  raise_type_error(spec.display_name() + " missing " + std::to_string(n) +
                   " required positional " + (n == 1 ? "argument" : "arguments") + ": " +
                   quoted_list(missing, n));
  return false;
}

bool take_positional(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                     ArgumentSlots& slots) {
  slots.fill(nullptr);
  const auto n = static_cast<std::size_t>(nargs);
  for (std::size_t i = 0; i < n && i < spec.positional_count(); ++i) slots[i] = args[i];
  if (n > spec.positional_count()) {
    raise_too_many_positional(spec, nargs);
    return false;
  }
  return true;
}

}  // namespace

// Pinned: docs/compatibility.md
std::string ArgumentSpec::display_name() const {
  std::string name;
  if (owner != nullptr) {
    name += owner;
    name += ".";
  }
  name += function;
  name += "()";
  return name;
}

bool parse_vectorcall(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, ArgumentSlots& slots) {
  if (!take_positional(spec, args, nargs, slots)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!take_keyword(spec, PyTuple_GetItem(kwnames, k), args[nargs + k], slots)) {
        return false;
      }
    }
  }
  return check_required(spec, slots);
}

bool parse_tuple_dict(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs,
                      ArgumentSlots& slots) {
  // The items a tuple holds are reached one by one: its layout is not part
  // of the stable ABI. Only the first ones can fill a slot.
  const Py_ssize_t nargs = PyTuple_Size(args);
  std::array<PyObject*, kMaxParameters> positional{};
  for (Py_ssize_t i = 0; i < nargs && i < static_cast<Py_ssize_t>(kMaxParameters); ++i) {
    positional[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  }
  if (!take_positional(spec, positional.data(), nargs, slots)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!take_keyword(spec, key, value, slots)) return false;
    }
  }
  return check_required(spec, slots);
}

PyRef type_name(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (name && PyUnicode_Check(name.get())) return name;
  PyErr_Clear();
  // Pinned: docs/compatibility.md
  return PyRef::steal(PyUnicode_FromString("<failed to extract type name>"));
}

void raise_conversion_error(PyObject* obj, const char* target) {
  PyRef name = type_name(obj);
  if (!name) return;
  // Pinned: docs/compatibility.md
  PyRef message = PyRef::steal(
      PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", name.get(), target));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

std::optional<std::string_view> extract_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    // Pinned: docs/compatibility.md
    raise_conversion_error(obj, "PyString");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

void name_conversion_error(const char* parameter) {
  PyRef error = PyRef::steal(py::take_raised_exception());
  if (!error) {
    ensure_error_set();
    return;
  }
  if (!Py_IS_TYPE(error.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    py::raise_exception(error.release());
    return;
  }
  PyRef text = PyRef::steal(PyObject_Str(error.get()));
  if (!text) return;
  // Pinned: docs/compatibility.md
  PyRef message =
      PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  if (!message) return;
  PyRef named = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!named) return;
  // Also sets __suppress_context__, as an explicit `raise ... from` would.
  PyException_SetCause(named.get(), PyException_GetCause(error.get()));
  py::raise_exception(named.release());
}

std::optional<std::string_view> text_argument(PyObject* obj, const char* parameter) {
  auto text = extract_text(obj);
  if (!text) name_conversion_error(parameter);
  return text;
}

}  // namespace mave::py
