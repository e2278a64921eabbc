// mave._native.convert, write, _write_quantized and _write_atomic, and
// the format names FORMATS and OUTPUT_FORMATS (see convert.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace mave::native {

// Adds the functions to the module. False with an exception set on failure.
bool init_convert(PyObject* module);

}  // namespace mave::native
