// mave._native.storage_info (see info.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace mave::native {

// Adds the function to the module. False with an exception set on failure.
bool init_info(PyObject* module);

}  // namespace mave::native
