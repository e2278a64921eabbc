// mave._native.storage_info: the shape and size of a loaded file's matrix,
// for `mave info`.
#include <variant>

#include "python/helpers/pyref.hpp"
#include "python/helpers/stable_abi.hpp"
#include "python/native/arguments.hpp"
#include "python/native/info.hpp"
#include "python/native/model.hpp"

namespace mave::native {
namespace {

using py::PyRef;

// storage_info(e: Embeddings) -> dict: rows, cols, bytes (of the matrix as
// stored), and for a quantized matrix also subquantizers, centroids,
// projection (bool) and norms (bool: per-row norms stored with the codes);
// for a static model's converted table also table_rows (the rows stored),
// mapping and weights (bool).
PyObject* describe(PyObject* arg) {
  if (!PyObject_TypeCheck(arg, embeddings_type())) {
    PyErr_Format(PyExc_TypeError, "storage_info() needs Embeddings, not %s", py::TypeName(arg).c_str());
    return nullptr;
  }
  const Storage& s = model_of(arg).embeddings.storage();
  const unsigned long long rows = s.rows(), cols = s.cols();
  if (const auto* q = std::get_if<MappedQuantizedArray>(&s.variant())) {
    const ProductQuantizer& pq = q->quantizer();
    const unsigned long long codes = rows * pq.quantized_len();
    const unsigned long long centroids = pq.quantized_len() * pq.n_centroids() * pq.sub_len() * 4;
    const unsigned long long projection = pq.has_projection() ? cols * cols * 4 : 0;
    const unsigned long long norms = q->norms() ? rows * 4 : 0;
    return Py_BuildValue(
        "{sKsKsKsKsKsNsN}", "rows", rows, "cols", cols, "bytes", codes + centroids + projection + norms,
        "subquantizers", static_cast<unsigned long long>(pq.quantized_len()), "centroids",
        static_cast<unsigned long long>(pq.n_centroids()), "projection", PyBool_FromLong(pq.has_projection()),
        "norms", PyBool_FromLong(q->norms().has_value()));
  }
  if (const auto* t = std::get_if<MappedTable>(&s.variant())) {
    return Py_BuildValue("{sKsKsKsKsNsN}", "rows", rows, "cols", cols, "bytes",
                         static_cast<unsigned long long>(t->stored_bytes()), "table_rows",
                         static_cast<unsigned long long>(t->table_rows()), "mapping",
                         PyBool_FromLong(t->has_mapping()), "weights", PyBool_FromLong(t->has_weights()));
  }
  return Py_BuildValue("{sKsKsK}", "rows", rows, "cols", cols, "bytes", rows * cols * 4);
}

constexpr Signature kStorageInfo{"storage_info", "e, /", Bound::Module};

PyObject* storage_info(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_arguments(kStorageInfo, {args, nargs, kwnames}, [](const py::ArgumentSlots& slots) {
    return describe(slots[kStorageInfo.slot("e")]);
  });
}

PyMethodDef g_functions[] = {
    {"storage_info", as_cfunction(storage_info), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool init_info(PyObject* module) { return add_functions(module, g_functions, {&kStorageInfo}); }

}  // namespace mave::native
