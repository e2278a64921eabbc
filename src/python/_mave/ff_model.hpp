// The FfModel class: one loaded Embeddings value and its three questions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace mave::py {

// The type object, created on first use and kept for the process. Borrowed;
// null with RuntimeError "An error occurred while initializing class FfModel"
// set (its __cause__ the interpreter's error) if it cannot be created.
PyObject* ff_model_type();

}  // namespace mave::py
