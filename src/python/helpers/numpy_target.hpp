// The caller's NumPy array as the target of a lookup.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "format/target.hpp"

namespace mave::py {

// Accepts a one-dimensional, float32, writeable NumPy array (or an instance of
// a subclass) and views its memory. None with an exception set otherwise; the
// error is already named after `parameter`. The first call loads NumPy's C
// API; a NumPy that cannot be loaded is an aborting failure.
std::optional<TargetView> target_argument(PyObject* obj, const char* parameter);

}  // namespace mave::py
