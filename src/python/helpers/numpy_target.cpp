#include "python/helpers/numpy_target.hpp"

// Only this file touches NumPy. Its API table is fetched by hand on first use
// (not import_array() at module load), so importing _mave never imports NumPy.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include "base/error.hpp"
#include "python/helpers/arguments.hpp"
#include "python/helpers/pyref.hpp"

namespace mave::py {
namespace {

// The float32 descriptor, held for the process once the API table is loaded.
PyArray_Descr* g_float32 = nullptr;

// NumPy 2 keeps the API in numpy._core; numpy.core is only a deprecated
// alias there, whose warnings -W error turns into failures. NumPy 1.x has
// only numpy.core.
// Pinned: docs/compatibility.md (which module serves the table)
PyRef import_multiarray() {
  PyRef module = PyRef::steal(PyImport_ImportModule("numpy._core.multiarray"));
  if (module) return module;
  PyErr_Clear();
  return PyRef::steal(PyImport_ImportModule("numpy.core.multiarray"));
}

// Pinned: docs/compatibility.md (importing _mave does not import NumPy; the texts below)
void load_array_api() {
  if (PyArray_API != nullptr) return;
  PyRef multiarray = import_multiarray();
  if (!multiarray) panic(PanicKind::NumpyImport);
  PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  // Anything but an unnamed capsule yields no table.
  void* table = nullptr;
  if (capsule && PyCapsule_CheckExact(capsule.get())) {
    table = PyCapsule_GetPointer(capsule.get(), nullptr);
  }
  if (table == nullptr) panic(PanicKind::NumpyCapsule);
  PyArray_API = static_cast<void**>(table);
  g_float32 = PyArray_DescrFromType(NPY_FLOAT);
  if (g_float32 == nullptr) {
    PyArray_API = nullptr;
    panic(PanicKind::NumpyCapsule);
  }
  // The capsule's module stays imported (NumPy is never unloaded), so the
  // table outlives the references dropped here.
}

void raise_type_mismatch(PyArray_Descr* from_descr) {
  PyRef from = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(from_descr)));
  if (!from) return;
  PyRef to = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(g_float32)));
  if (!to) return;
  // Pinned: docs/compatibility.md
  PyRef message = PyRef::steal(PyUnicode_FromFormat("type mismatch:\n from=%U, to=%U", from.get(), to.get()));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

// The three checks, in order; the first failing one decides.
PyArrayObject* convert_array(PyObject* obj) {
  if (!PyObject_TypeCheck(obj, &PyArray_Type)) {
    // Pinned: docs/compatibility.md
    raise_conversion_error(obj, "PyArray<T, D>");
    return nullptr;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 1) {
    // Pinned: docs/compatibility.md
    PyErr_Format(PyExc_TypeError, "dimensionality mismatch:\n from=%d, to=1", PyArray_NDIM(array));
    return nullptr;
  }
  PyArray_Descr* descr = PyArray_DESCR(array);
  if (descr != g_float32 && !PyArray_EquivTypes(descr, g_float32)) {
    raise_type_mismatch(descr);
    return nullptr;
  }
  return array;
}

}  // namespace

std::optional<TargetView> target_argument(PyObject* obj, const char* parameter) {
  load_array_api();
  PyArrayObject* array = convert_array(obj);
  if (array == nullptr) {
    name_conversion_error(parameter);
    return std::nullopt;
  }
  // Read-only arrays (views of bytes, broadcasts, arrays frozen by their
  // owner) may share memory with immutable objects: never write there.
  if (!PyArray_ISWRITEABLE(array)) {
    // Pinned: docs/compatibility.md
    PyErr_Format(PyExc_ValueError, "argument '%s': array is not writeable", parameter);
    return std::nullopt;
  }
  // The byte stride is kept as it is: strides that are not a multiple of 4
  // and unaligned data are both addressed byte-wise by the view.
  return TargetView{reinterpret_cast<std::byte*>(PyArray_BYTES(array)),
                    static_cast<std::size_t>(PyArray_DIM(array, 0)), PyArray_STRIDE(array, 0)};
}

}  // namespace mave::py
