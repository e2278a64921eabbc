// The one way the functions and methods of mave._native take their
// arguments. Each declares its parameters once, as the text of its
// signature; the parser's rules and the signature line of its docstring
// (which inspect.signature reads) both come from that text, so they cannot
// disagree. Refused calls raise the TypeErrors CPython raises for a function
// written in Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/metadata.hpp"
#include "python/helpers/arguments.hpp"

namespace mave::native {

// The arguments of one vector call, as the interpreter passes them.
struct Call {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;
};

// What a function is called on, for the first parameter of its signature line.
enum class Bound { Module, Instance, Type };

class Signature {
 public:
  // `parameters` as in Python, e.g. "words, out=None, *, threads=None" or
  // "word, default=None, /": names, "/" after the positional-only ones, "*"
  // before the keyword-only ones, and None as the only default (the parser
  // gives None for an argument left out). Required parameters come first.
  // Text outside this grammar fails the constant evaluation.
  consteval Signature(const char* function, std::string_view parameters, Bound bound)
      : spec_{nullptr, function, {}, 0, 0, 0, 0, py::Wording::Python},
        parameters_(parameters),
        bound_(bound) {
    bool optional = false, keyword_only = false;
    std::size_t i = 0;
    while (i < parameters.size()) {
      std::size_t end = parameters.find(',', i);
      if (end == std::string_view::npos) end = parameters.size();
      std::string_view item = parameters.substr(i, end - i);
      while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
      i = end + 1;
      if (item == "/") {
        if (spec_.positional_only != 0 || keyword_only) throw "misplaced /";
        spec_.positional_only = spec_.parameter_count;
        continue;
      }
      if (item == "*") {
        if (keyword_only) throw "two *";
        keyword_only = true;
        continue;
      }
      const std::size_t equals = item.find('=');
      if (equals != std::string_view::npos) {
        if (item.substr(equals) != "=None") throw "only None is a default";
        item = item.substr(0, equals);
        optional = true;
      } else if (optional) {
        throw "a required parameter after an optional one";
      } else {
        ++spec_.required_count;
      }
      if (item.empty() || spec_.parameter_count == py::kMaxParameters) throw "bad parameter";
      spec_.parameters[spec_.parameter_count++] = item;
      if (keyword_only) ++spec_.keyword_only;
    }
  }

  const char* name() const { return spec_.function; }

  // The slot of parameter `name` in the parsed arguments: a name the
  // signature does not have fails the constant evaluation.
  consteval std::size_t slot(std::string_view name) const {
    for (std::size_t i = 0; i < spec_.parameter_count; ++i) {
      if (spec_.parameters[i] == name) return i;
    }
    throw "no parameter of that name";
  }
  const py::ArgumentSpec& spec() const { return spec_; }

  // "embed($self, words, out=None, *, threads=None)\n--\n\n": the first lines
  // of the docstring, from which CPython takes __text_signature__.
  std::string signature_line() const;

  // Fills one slot per parameter: the argument given, or None. False with
  // the TypeError (or MemoryError) set when the call does not fit the
  // signature. No C++ exception leaves these.
  [[nodiscard]] bool parse(const Call& call, py::ArgumentSlots& slots) const;
  [[nodiscard]] bool parse(PyObject* args, PyObject* kwargs, py::ArgumentSlots& slots) const;

 private:
  py::ArgumentSpec spec_;
  std::string_view parameters_;
  Bound bound_;
};

// A METH_FASTCALL | METH_KEYWORDS function for a PyMethodDef table.
inline PyCFunction as_cfunction(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Runs `body(slots)` once the call fits `signature`; null with the
// TypeError set otherwise.
template <class Body>
PyObject* with_arguments(const Signature& signature, const Call& call, Body&& body) {
  py::ArgumentSlots slots;
  if (!signature.parse(call, slots)) return nullptr;
  return body(slots);
}

// Puts the signature line before the docstring of each method or function
// in `methods` (a table ending with a null name) that has a signature of the
// same name in `signatures`, once however often it is called. The
// docstrings live as long as the process.
void add_signature_lines(PyMethodDef* methods, std::initializer_list<const Signature*> signatures);

// Adds the functions of `functions` to `module`, with their signature lines.
// False with an exception set.
bool add_functions(PyObject* module, PyMethodDef* functions,
                   std::initializer_list<const Signature*> signatures);

// Creates the type of `spec` (whose Py_tp_methods table is `methods`), with
// the signature lines of its methods and, given a constructor, of its own
// docstring (its Py_tp_doc slot), and adds it to `module` as `name`. The
// new reference is the caller's to keep; null with an exception set.
PyTypeObject* add_type(PyObject* module, const char* name, PyType_Spec& spec, PyMethodDef* methods,
                       std::initializer_list<const Signature*> signatures,
                       const Signature* constructor = nullptr);

// The UTF-8 of str arguments, without copying (the view lives as long as
// the object). Each gives none with TypeError "<what> must be str, not
// <type>" ("<what>[<i>] must be ..." for an item of a sequence), or the
// interpreter's UnicodeEncodeError (unpaired surrogates), set.
std::optional<std::string_view> str_argument(PyObject* obj, const char* what);
std::optional<std::string_view> str_item(PyObject* obj, const char* what, std::size_t i);

// A path as str, bytes or os.PathLike, in the file-system encoding; none
// with the interpreter's TypeError or ValueError (a NUL) set.
std::optional<std::string> fs_path_argument(PyObject* obj);

// Metadata given as None, TOML text, or a mapping of str to int, float or
// str. A bool is refused rather than
// written as an integer: TOML has booleans, and the metadata tables this
// writes do not. False with TypeError or ValueError set.
bool metadata_argument(PyObject* obj, std::optional<Metadata>& out);
// The entries of such a mapping (not None or text), for a table of their own.
bool metadata_entries(PyObject* obj, std::vector<std::pair<std::string, Metadata::Value>>& out);

// The text of a key looked up among the words: none, without an exception,
// for what can name no word (not a str, or a str with unpaired surrogates).
std::optional<std::string_view> word_key(PyObject* key);

}  // namespace mave::native
