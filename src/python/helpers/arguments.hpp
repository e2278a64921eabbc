// Matching a call's arguments against a callable's parameters, converting
// them, and the TypeErrors that report each way a call can be wrong.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "python/helpers/pyref.hpp"

namespace mave::py {

inline constexpr std::size_t kMaxParameters = 12;

// How the TypeErrors of a refused call are worded: `_mave`'s pinned texts, or
// those CPython gives for a function written in Python.
enum class Wording { Pinned, Python };

// The parameters of one callable. The first `positional_only` are given by
// position only, the rest of the first parameter_count - keyword_only by
// position or keyword, the last `keyword_only` by keyword only. The first
// `required_count` must be given (required parameters come first).
struct ArgumentSpec {
  const char* owner;     // class name, or null for a module-level function
  const char* function;  // "__new__" for construction
  std::array<std::string_view, kMaxParameters> parameters;
  std::size_t parameter_count;
  std::size_t required_count;
  std::size_t keyword_only = 0;
  std::size_t positional_only = 0;
  Wording wording = Wording::Pinned;

  constexpr std::size_t positional_count() const { return parameter_count - keyword_only; }

  // The start of every message: "FfModel.load_embedding()" or
  // "build_model()" when pinned, "embed()" in Python's wording.
  std::string display_name() const;
};

// One borrowed object per parameter, null where nothing was given. The
// objects stay alive for the call: the caller's arguments hold them.
using ArgumentSlots = std::array<PyObject*, kMaxParameters>;

// The vector-call form: `nargs` positional arguments, then the values of the
// keyword names in `kwnames` (a tuple or null), all in `args`. False with a
// TypeError set on refusal.
[[nodiscard]] bool parse_vectorcall(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, ArgumentSlots& slots);

// The tuple and dictionary form used by construction.
[[nodiscard]] bool parse_tuple_dict(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs,
                                    ArgumentSlots& slots);

// The `__qualname__` of the object's type, or "<failed to extract type name>".
PyRef type_name(PyObject* obj);

// Raises TypeError "'<type name>' object cannot be converted to '<target>'".
void raise_conversion_error(PyObject* obj, const char* target);

// The UTF-8 text of an object known to be a str (or str subclass), without
// copying: the view lives as long as the object. None with the interpreter's
// UnicodeEncodeError (unpaired surrogates) set.
std::optional<std::string_view> utf8_of(PyObject* str);

// The UTF-8 text of a str (or str subclass), without copying: the view lives
// as long as the object. None with TypeError (not a str) or the interpreter's
// UnicodeEncodeError (unpaired surrogates) set.
std::optional<std::string_view> extract_text(PyObject* obj);

// Names the pending conversion error after its parameter: an exact TypeError
// becomes TypeError "argument '<name>': <message>" keeping the original's
// __cause__; any other exception is left as it is.
void name_conversion_error(const char* parameter);

// extract_text with the error named after `parameter`.
std::optional<std::string_view> text_argument(PyObject* obj, const char* parameter);

}  // namespace mave::py
