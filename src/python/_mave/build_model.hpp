// build_model(input_path, output_path): a fastText binary model converted
// into a finalfusion file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace mave::py {

// The method definition of the module-level function; it lives for the
// process, as the function object refers to it.
extern PyMethodDef build_model_def;

}  // namespace mave::py
