#include "python/native/arrays.hpp"

#include <cstring>
#include <string>

#include "python/helpers/pyref.hpp"
#include "python/helpers/stable_abi.hpp"
#include "python/native/numpy_api.hpp"

namespace mave::native {
namespace {

using py::PyRef;

std::string shape_text(PyArrayObject* array) {
  std::string text = "(";
  for (int d = 0; d < PyArray_NDIM(array); ++d) {
    if (d > 0) text += ", ";
    text += std::to_string(PyArray_DIM(array, d));
  }
  if (PyArray_NDIM(array) == 1) text += ",";
  return text + ")";
}

// The checks shared by both kinds of `out`: an ndarray of float32 that may be
// written. Null with the exception set.
PyArrayObject* float32_target(PyObject* obj) {
  if (!PyArray_Check(obj)) {
    py::PyRef type = py::tp_name_of(obj);
    if (type) PyErr_Format(PyExc_TypeError, "out must be a numpy.ndarray of float32, not %U", type.get());
    return nullptr;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_TYPE(array) != NPY_FLOAT32 || !PyArray_ISNOTSWAPPED(array)) {
    PyRef dtype = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    if (!dtype) return nullptr;
    PyErr_Format(PyExc_TypeError, "out must have dtype float32, not %U", dtype.get());
    return nullptr;
  }
  if (!PyArray_ISWRITEABLE(array)) {
    PyErr_SetString(PyExc_ValueError, "out is read-only");
    return nullptr;
  }
  return array;
}

PyObject* new_array(int nd, npy_intp* dims, int type) { return PyArray_SimpleNew(nd, dims, type); }

}  // namespace

namespace {

// A read-only C-contiguous array of NumPy `type` over `data`, kept alive by
// `owner`.
PyObject* view_of(PyObject* owner, const void* data, int type, std::initializer_list<std::size_t> shape) {
  npy_intp dims[2] = {0, 0};
  int nd = 0;
  std::size_t count = 1;
  for (std::size_t d : shape) {
    dims[nd++] = static_cast<npy_intp>(d);
    count *= d;
  }
  PyRef array;
  if (count == 0 || data == nullptr) {
    // NumPy allocates when given no data; an empty array needs none.
    array = PyRef::steal(new_array(nd, dims, type));
  } else {
    array = PyRef::steal(PyArray_New(&PyArray_Type, nd, dims, type, nullptr, const_cast<void*>(data), 0,
                                     NPY_ARRAY_CARRAY_RO, nullptr));
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), Py_NewRef(owner)) < 0) {
      return nullptr;
    }
  }
  if (!array) return nullptr;
  PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(array.get()), NPY_ARRAY_WRITEABLE);
  return array.release();
}

}  // namespace

PyObject* readonly_view(PyObject* owner, const float* data, std::initializer_list<std::size_t> shape) {
  return view_of(owner, data, NPY_FLOAT32, shape);
}

PyObject* readonly_view(PyObject* owner, std::string_view bytes) {
  return view_of(owner, bytes.data(), NPY_UINT8, {bytes.size()});
}

PyObject* readonly_view(PyObject* owner, std::span<const std::uint64_t> values) {
  return view_of(owner, values.data(), NPY_UINT64, {values.size()});
}

PyObject* new_vector(std::span<const float> values) {
  // The descriptor is looked up once: this is the path of every e[word].
  static PyArray_Descr* const float32 = PyArray_DescrFromType(NPY_FLOAT32);
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  Py_INCREF(reinterpret_cast<PyObject*>(float32));
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, float32, 1, dims, nullptr, nullptr, 0, nullptr);
  if (array != nullptr && !values.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values.data(),
                values.size() * sizeof(float));
  }
  return array;
}

PyObject* new_matrix(std::size_t rows, std::size_t cols) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  return new_array(2, dims, NPY_FLOAT32);
}

PyObject* new_mask(std::size_t n) {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  return new_array(1, dims, NPY_BOOL);
}

PyObject* new_int64_matrix(std::size_t rows, std::size_t cols) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  return new_array(2, dims, NPY_INT64);
}

template <class T>
bool copy_array_argument(PyObject* obj, int type, int ndim, const char* what, std::vector<T>& out,
                         std::size_t* shape) {
  PyRef array = PyRef::steal(PyArray_FROMANY(obj, type, ndim, ndim, NPY_ARRAY_CARRAY_RO));
  if (!array) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be a %d-dimensional array of numbers, not %s", what, ndim,
                   py::TypeName(obj).c_str());
    }
    return false;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  std::size_t count = 1;
  for (int d = 0; d < ndim; ++d) {
    shape[d] = static_cast<std::size_t>(PyArray_DIM(a, d));
    count *= shape[d];
  }
  const T* data = static_cast<const T*>(PyArray_DATA(a));
  out.assign(data, data + count);
  return true;
}

template bool copy_array_argument<float>(PyObject*, int, int, const char*, std::vector<float>&, std::size_t*);
template bool copy_array_argument<std::uint32_t>(PyObject*, int, int, const char*,
                                                 std::vector<std::uint32_t>&, std::size_t*);
template bool copy_array_argument<std::uint64_t>(PyObject*, int, int, const char*,
                                                 std::vector<std::uint64_t>&, std::size_t*);
template bool copy_array_argument<std::uint8_t>(PyObject*, int, int, const char*, std::vector<std::uint8_t>&,
                                                std::size_t*);
template bool copy_array_argument<std::int64_t>(PyObject*, int, int, const char*, std::vector<std::int64_t>&,
                                                std::size_t*);

std::optional<TargetView> vector_target(PyObject* obj, std::size_t dims) {
  PyArrayObject* array = float32_target(obj);
  if (array == nullptr) return std::nullopt;
  if (PyArray_NDIM(array) != 1 || static_cast<std::size_t>(PyArray_DIM(array, 0)) != dims) {
    PyErr_Format(PyExc_ValueError, "out has shape %s, but the vectors have shape (%zu,)",
                 shape_text(array).c_str(), dims);
    return std::nullopt;
  }
  return TargetView{reinterpret_cast<std::byte*>(PyArray_BYTES(array)), dims, PyArray_STRIDE(array, 0)};
}

bool check_matrix_target(PyObject* obj, std::size_t rows, std::size_t dims) {
  PyArrayObject* array = float32_target(obj);
  if (array == nullptr) return false;
  if (PyArray_NDIM(array) != 2 || static_cast<std::size_t>(PyArray_DIM(array, 0)) != rows ||
      static_cast<std::size_t>(PyArray_DIM(array, 1)) != dims) {
    PyErr_Format(PyExc_ValueError, "out has shape %s, but %zu words of %zu dimensions need (%zu, %zu)",
                 shape_text(array).c_str(), rows, dims, rows, dims);
    return false;
  }
  return true;
}

TargetMatrix matrix_view(PyObject* obj) {
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  return TargetMatrix{
      reinterpret_cast<std::byte*>(PyArray_BYTES(array)), static_cast<std::size_t>(PyArray_DIM(array, 0)),
      static_cast<std::size_t>(PyArray_DIM(array, 1)), PyArray_STRIDE(array, 0), PyArray_STRIDE(array, 1)};
}

bool vector_argument(PyObject* obj, std::size_t dims, const char* what, std::vector<float>& out) {
  PyRef array =
      PyRef::steal(PyArray_FROMANY(obj, NPY_FLOAT32, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
  if (!array) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      py::PyRef type = py::tp_name_of(obj);
      if (type) {
        PyErr_Format(PyExc_TypeError, "%s must be a str or a vector of %zu numbers, not %U", what, dims,
                     type.get());
      }
    }
    return false;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  if (PyArray_NDIM(a) != 1 || static_cast<std::size_t>(PyArray_DIM(a, 0)) != dims) {
    PyErr_Format(PyExc_ValueError, "%s has shape %s, but the vectors have shape (%zu,)", what,
                 shape_text(a).c_str(), dims);
    return false;
  }
  const auto* data = static_cast<const float*>(PyArray_DATA(a));
  out.assign(data, data + dims);
  return true;
}

bool row_indices_argument(PyObject* obj, std::size_t n_rows, std::vector<std::uint64_t>& out) {
  auto take = [&](PyObject* item) {
    Py_ssize_t i = PyNumber_AsSsize_t(item, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return false;
    const auto n = static_cast<Py_ssize_t>(n_rows);
    if (i < -n || i >= n) {
      PyErr_Format(PyExc_IndexError, "row %zd is out of range for a matrix of %zu rows", i, n_rows);
      return false;
    }
    out.push_back(static_cast<std::uint64_t>(i < 0 ? i + n : i));
    return true;
  };
  // An ndarray of ints has __index__ too, but is a sequence of rows.
  if (PyIndex_Check(obj) && !PySequence_Check(obj)) return take(obj);
  PyRef items = PyRef::steal(PySequence_Fast(obj, "rows must be an int or a sequence of ints"));
  if (!items) return false;
  const Py_ssize_t n = PySequence_Size(items.get());
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    if (!take(py::fast_item(items.get(), k))) return false;
  }
  return true;
}

std::optional<unsigned> thread_count_argument(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return 0u;
  if (!PyLong_Check(obj)) {
    py::PyRef type = py::tp_name_of(obj);
    if (type) PyErr_Format(PyExc_TypeError, "threads must be an int or None, not %U", type.get());
    return std::nullopt;
  }
  const long n = PyLong_AsLong(obj);
  if (n == -1 && PyErr_Occurred()) return std::nullopt;
  if (n < 1 || n > 1024) {
    PyErr_Format(PyExc_ValueError, "threads must be between 1 and 1024, got %ld", n);
    return std::nullopt;
  }
  return static_cast<unsigned>(n);
}

std::optional<std::size_t> count_argument(PyObject* obj, const char* what) {
  if (!PyLong_Check(obj)) {
    py::PyRef type = py::tp_name_of(obj);
    if (type) PyErr_Format(PyExc_TypeError, "%s must be an int, not %U", what, type.get());
    return std::nullopt;
  }
  const Py_ssize_t n = PyLong_AsSsize_t(obj);
  if (n == -1 && PyErr_Occurred()) return std::nullopt;
  if (n < 0) {
    PyErr_Format(PyExc_ValueError, "%s must not be negative, got %zd", what, n);
    return std::nullopt;
  }
  return static_cast<std::size_t>(n);
}

}  // namespace mave::native
