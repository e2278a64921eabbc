# The BLAS behind the batched nearest-neighbour search: OpenBLAS as the
# scipy-openblas32 wheel ships it (the build NumPy and SciPy bundle: built for
# manylinux2014 on x86_64 and aarch64 with runtime CPU dispatch, its symbols
# prefixed scipy_ so that it never clashes with another BLAS in the same
# process). The wheel is a build requirement (pyproject.toml); the build finds
# its headers and library through the Python interpreter that has it, or
# through MAVE_OPENBLAS_DIR (a directory with include/ and lib/). The
# extension links the shared library and keeps its directory on its run path;
# auditwheel copies it into the repaired wheel.
set(MAVE_OPENBLAS_DIR "" CACHE PATH
  "scipy-openblas32's directory (include/ and lib/); found through Python when empty")

if(NOT MAVE_OPENBLAS_DIR)
  if(NOT Python_EXECUTABLE)
    find_package(Python 3 REQUIRED COMPONENTS Interpreter)
  endif()
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
      "import os, scipy_openblas32 as s; print(os.path.dirname(s.get_lib_dir()))"
    OUTPUT_VARIABLE MAVE_OPENBLAS_FOUND_DIR OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE MAVE_OPENBLAS_STATUS ERROR_QUIET)
  if(NOT MAVE_OPENBLAS_STATUS EQUAL 0)
    message(FATAL_ERROR "OpenBLAS for the search is needed: pip install scipy-openblas32 "
      "(into ${Python_EXECUTABLE}'s environment), or set MAVE_OPENBLAS_DIR")
  endif()
  set(MAVE_OPENBLAS_DIR "${MAVE_OPENBLAS_FOUND_DIR}" CACHE PATH "" FORCE)
endif()

find_library(MAVE_OPENBLAS_LIBRARY NAMES scipy_openblas PATHS "${MAVE_OPENBLAS_DIR}/lib"
  NO_DEFAULT_PATH REQUIRED)
add_library(mave_openblas SHARED IMPORTED)
set_target_properties(mave_openblas PROPERTIES
  IMPORTED_LOCATION "${MAVE_OPENBLAS_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${MAVE_OPENBLAS_DIR}/include")
