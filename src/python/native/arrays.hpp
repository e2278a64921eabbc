// NumPy arrays in and out of the mave extension: new results, read-only views
// of the file's data, and the checks on arrays and values callers pass in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "format/target.hpp"

namespace mave::native {

// A read-only C-contiguous float32 array over `data`, kept alive by `owner`.
PyObject* readonly_view(PyObject* owner, const float* data, std::initializer_list<std::size_t> shape);
// The same over bytes (uint8) and over uint64 values.
PyObject* readonly_view(PyObject* owner, std::string_view bytes);
PyObject* readonly_view(PyObject* owner, std::span<const std::uint64_t> values);

// New arrays: a float32 vector holding `values`; an uninitialised float32
// (rows, cols) matrix; an uninitialised bool vector.
PyObject* new_vector(std::span<const float> values);
PyObject* new_matrix(std::size_t rows, std::size_t cols);
PyObject* new_mask(std::size_t n);
// An uninitialised int64 (rows, cols) matrix.
PyObject* new_int64_matrix(std::size_t rows, std::size_t cols);

// A copy of an array argument of `ndim` dimensions as `type` (NPY_FLOAT32,
// NPY_UINT32, NPY_UINT64, NPY_UINT8 or NPY_INT64), converted only where NumPy casts safely; its shape in
// `shape`. A copy, so that work without the interpreter lock never reads memory the caller may change
// meanwhile. False with TypeError or ValueError set.
template <class T>
bool copy_array_argument(PyObject* obj, int type, int ndim, const char* what, std::vector<T>& out,
                         std::size_t* shape);

// `out` for one vector: a writeable float32 ndarray of shape (dims,), any
// stride. None with TypeError (not such an array) or ValueError (wrong shape,
// read-only) set.
std::optional<TargetView> vector_target(PyObject* obj, std::size_t dims);

// `out` for a batch: a writeable float32 ndarray of shape (rows, dims), any
// strides. False with the exception set.
bool check_matrix_target(PyObject* obj, std::size_t rows, std::size_t dims);
// The view of an array that passed check_matrix_target or came from new_matrix.
TargetMatrix matrix_view(PyObject* array);

// A query vector: anything NumPy turns into a float array of shape (dims,),
// copied into `out` as float32.
bool vector_argument(PyObject* obj, std::size_t dims, const char* what, std::vector<float>& out);

// Row numbers: an int or a sequence of ints, each in [-n_rows, n_rows) with
// negative ones counted from the end (as NumPy indexes).
bool row_indices_argument(PyObject* obj, std::size_t n_rows, std::vector<std::uint64_t>& out);

// `threads`: None (0: choose by the size of the work) or an int >= 1.
std::optional<unsigned> thread_count_argument(PyObject* obj);

// `k`: an int >= 0.
std::optional<std::size_t> count_argument(PyObject* obj, const char* what);

}  // namespace mave::native
