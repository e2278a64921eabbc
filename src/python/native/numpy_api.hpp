// NumPy's C API for the mave extension: one table, imported when the module
// initialises (mave needs NumPy anyway, unlike _mave). Include this instead
// of numpy/arrayobject.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL MAVE_NATIVE_ARRAY_API
#ifndef MAVE_NATIVE_IMPORT_ARRAY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
