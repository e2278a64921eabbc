// mave._native._rerank (see rerank.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace mave::native {

// Adds the function to the module. False with an exception set on failure.
bool init_rerank(PyObject* module);

}  // namespace mave::native
