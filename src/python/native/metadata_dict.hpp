// The metadata of a file as Python objects, built from the table the core
// parsed: the dict, lists and scalars tomllib would give for its TOML text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "format/metadata.hpp"

namespace mave::native {

// A new dict: TOML integers as int, floats as float, booleans as bool,
// strings as str, dates, times and date-times as datetime's date, time and
// datetime (an offset as a datetime.timezone; fractions of a second cut to
// microseconds), arrays as lists and tables as dicts, keys in the order the
// file's text lists them. Null with an exception set.
PyObject* metadata_dict(const Metadata& metadata);

}  // namespace mave::native
