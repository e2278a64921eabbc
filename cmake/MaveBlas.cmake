# The BLAS behind the batched nearest-neighbour search: OpenBLAS as the
# scipy-openblas32 package ships it (the build NumPy and SciPy bundle: built
# for manylinux2014 and macOS with runtime CPU dispatch, its symbols prefixed
# scipy_ so that it never clashes with another BLAS in the same process).
#
# Nothing links it. The package depends on scipy-openblas32 and loads its
# library by path when it is imported (src/search/blas.hpp,
# src/python/mave/_openblas.py), so an extension built anywhere (an isolated
# `pip install`, a wheel repaired by auditwheel) needs no path from the build
# machine and no copy of the library beside it.
#
# The C++ tests and the fuzz replay runners load it themselves, from
# MAVE_OPENBLAS_LIBRARY: the library of the scipy-openblas32 package in the
# Python environment that builds them, unless given.
set(MAVE_OPENBLAS_LIBRARY "" CACHE FILEPATH
  "scipy-openblas32's library, loaded by the C++ tests and fuzz runners; found through Python when empty")

if((MAVE_BUILD_TESTS OR MAVE_FUZZ) AND NOT MAVE_OPENBLAS_LIBRARY)
  if(NOT Python_EXECUTABLE)
    find_package(Python 3 REQUIRED COMPONENTS Interpreter)
  endif()
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
      "import os, scipy_openblas32 as s; print(os.path.join(s.get_lib_dir(), s.get_library(fullname=True)))"
    OUTPUT_VARIABLE MAVE_OPENBLAS_FOUND OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE MAVE_OPENBLAS_STATUS ERROR_QUIET)
  if(NOT MAVE_OPENBLAS_STATUS EQUAL 0)
    message(FATAL_ERROR "The C++ tests load OpenBLAS for the search: pip install scipy-openblas32 "
      "(into ${Python_EXECUTABLE}'s environment), or set MAVE_OPENBLAS_LIBRARY")
  endif()
  set(MAVE_OPENBLAS_LIBRARY "${MAVE_OPENBLAS_FOUND}" CACHE FILEPATH "" FORCE)
endif()
