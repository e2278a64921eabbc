#include "python/helpers/arguments.hpp"
#include "python/helpers/stable_abi.hpp"

namespace mave::py {
namespace {

void raise_type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

// -1 when `key` names no parameter. A name that is not text, or whose text
// cannot be encoded (an unpaired surrogate), names none.
int parameter_index(const ArgumentSpec& spec, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(key, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return -1;
  }
  const std::string_view text(data, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < spec.parameter_count; ++i) {
    if (spec.parameters[i] == text) return static_cast<int>(i);
  }
  return -1;
}

std::string plural(std::size_t n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// `keyword_only_given`: keyword-only arguments among the keywords, which
// Python's wording mentions.
void raise_too_many_positional(const ArgumentSpec& spec, std::size_t given, std::size_t keyword_only_given) {
  const std::size_t most = spec.positional_count();
  const std::size_t least = std::min(spec.required_count, most);
  if (spec.wording == Wording::Pinned) {
    // Pinned: docs/compatibility.md ("arguments" even for one)
    std::string takes = spec.required_count < most ? "from " + std::to_string(spec.required_count) + " to " +
                                                         std::to_string(most) + " positional arguments"
                                                   : std::to_string(most) + " positional arguments";
    raise_type_error(spec.display_name() + " takes " + takes + " but " + std::to_string(given) + " " +
                     (given == 1 ? "was" : "were") + " given");
    return;
  }
  std::string takes =
      least < most ? "from " + std::to_string(least) + " to " + std::to_string(most) + " positional arguments"
                   : plural(most, "positional argument");
  std::string was_given = std::to_string(given);
  if (keyword_only_given > 0) {
    was_given = plural(given, "positional argument") + " (and " +
                plural(keyword_only_given, "keyword-only argument") + ")";
  }
  raise_type_error(spec.display_name() + " takes " + takes + " but " + was_given + " " +
                   (given == 1 && keyword_only_given == 0 ? "was" : "were") + " given");
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
  return PyRef::steal(
      PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace"));
}

void raise_unexpected_keyword(const ArgumentSpec& spec, PyObject* key) {
  PyRef text = keyword_text(key);
  if (!text) return;
  // Pinned: docs/compatibility.md (CPython's own wording too)
  std::string head = spec.display_name() + " got an unexpected keyword argument '";
  PyRef message = PyRef::steal(PyUnicode_FromFormat("%s%U'", head.c_str(), text.get()));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

// Fills the slot of one keyword argument, or raises.
bool take_keyword(const ArgumentSpec& spec, PyObject* key, PyObject* value, ArgumentSlots& slots) {
  const int i = parameter_index(spec, key);
  if (i >= 0 && static_cast<std::size_t>(i) < spec.positional_only) {
    raise_type_error(
        spec.display_name() +
        " got some positional-only arguments passed as keyword arguments: " + quoted(spec.parameters[i]));
    return false;
  }
  if (i < 0) {
    raise_unexpected_keyword(spec, key);
    return false;
  }
  if (slots[i] != nullptr) {
    // Pinned: docs/compatibility.md (CPython's own wording too)
    raise_type_error(spec.display_name() + " got multiple values for argument " + quoted(spec.parameters[i]));
    return false;
  }
  slots[i] = value;
  return true;
}

// Pinned: docs/compatibility.md (CPython's own wording too)
// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::array<std::string_view, kMaxParameters>& names, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) {
      if (n > 2) out += ",";
      out += (i + 1 == n) ? " and " : " ";
    }
    out += quoted(names[i]);
  }
  return out;
}

// Raises for the missing parameters among [begin, end) of the required ones.
bool check_missing(const ArgumentSpec& spec, const ArgumentSlots& slots, std::size_t begin, std::size_t end,
                   const char* kind) {
  std::array<std::string_view, kMaxParameters> missing{};
  std::size_t n = 0;
  for (std::size_t i = begin; i < end; ++i) {
    if (slots[i] == nullptr) missing[n++] = spec.parameters[i];
  }
  if (n == 0) return true;
  // Pinned: docs/compatibility.md (CPython's own wording too)
  raise_type_error(spec.display_name() + " missing " + std::to_string(n) + " required " + kind + " " +
                   (n == 1 ? "argument" : "arguments") + ": " + quoted_list(missing, n));
  return false;
}

bool check_required(const ArgumentSpec& spec, const ArgumentSlots& slots) {
  const std::size_t positional = std::min(spec.required_count, spec.positional_count());
  return check_missing(spec, slots, 0, positional, "positional") &&
         check_missing(spec, slots, positional, spec.required_count, "keyword-only");
}

std::size_t keyword_only_among(const ArgumentSpec& spec, const ArgumentSlots& slots) {
  std::size_t n = 0;
  for (std::size_t i = spec.positional_count(); i < spec.parameter_count; ++i) {
    n += slots[i] != nullptr;
  }
  return n;
}

// The common order: positions, then keywords, then the checks. `_mave`'s
// pinned order refuses surplus positions before looking at any keyword;
// CPython's looks at the keywords first.
template <class EachKeyword>
bool parse(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, EachKeyword&& each_keyword,
           ArgumentSlots& slots) {
  slots.fill(nullptr);
  const auto given = static_cast<std::size_t>(nargs);
  for (std::size_t i = 0; i < given && i < spec.positional_count(); ++i) slots[i] = args[i];
  const bool too_many = given > spec.positional_count();
  if (too_many && spec.wording == Wording::Pinned) {
    raise_too_many_positional(spec, given, 0);
    return false;
  }
  if (!each_keyword([&](PyObject* key, PyObject* value) { return take_keyword(spec, key, value, slots); })) {
    return false;
  }
  if (too_many) {
    raise_too_many_positional(spec, given, keyword_only_among(spec, slots));
    return false;
  }
  return check_required(spec, slots);
}

}  // namespace

std::string ArgumentSpec::display_name() const {
  std::string name;
  // Pinned: docs/compatibility.md
  if (owner != nullptr && wording == Wording::Pinned) {
    name += owner;
    name += ".";
  }
  name += function;
  name += "()";
  return name;
}

bool parse_vectorcall(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      ArgumentSlots& slots) {
  return parse(
      spec, args, nargs,
      [&](auto&& take) {
        const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
          if (!take(PyTuple_GetItem(kwnames, k), args[nargs + k])) return false;
        }
        return true;
      },
      slots);
}

bool parse_tuple_dict(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, ArgumentSlots& slots) {
  // The items a tuple holds are reached one by one: its layout is not part
  // of the stable ABI. Only the first ones can fill a slot.
  const Py_ssize_t nargs = PyTuple_Size(args);
  std::array<PyObject*, kMaxParameters> positional{};
  for (Py_ssize_t i = 0; i < nargs && i < static_cast<Py_ssize_t>(kMaxParameters); ++i) {
    positional[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  }
  return parse(
      spec, positional.data(), nargs,
      [&](auto&& take) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value)) {
          if (!take(key, value)) return false;
        }
        return true;
      },
      slots);
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
  PyRef message =
      PyRef::steal(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", name.get(), target));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

std::optional<std::string_view> utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<std::string_view> extract_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    // Pinned: docs/compatibility.md
    raise_conversion_error(obj, "PyString");
    return std::nullopt;
  }
  return utf8_of(obj);
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
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
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
