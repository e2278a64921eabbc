// mave._native._Tokenizer (see tokenizer.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace mave::native {

// Adds the type to the module. False with an exception set on failure.
bool init_tokenizer_type(PyObject* module);

}  // namespace mave::native
