// mave._native._rerank: the exact re-ranking of the candidates an
// approximate-neighbours index proposes (src/search/rerank.hpp), for
// mave/_index.py. That module builds every argument with its exact dtype;
// these checks keep a wrong call from reading out of bounds.
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "python/helpers/errors.hpp"
#include "python/helpers/pyref.hpp"
#include "python/helpers/stable_abi.hpp"
#include "python/helpers/without_gil.hpp"
#include "python/native/arguments.hpp"
#include "python/native/arrays.hpp"
#include "python/native/exceptions.hpp"
#include "python/native/model.hpp"
#include "python/native/numpy_api.hpp"
#include "python/native/rerank.hpp"
#include "search/rerank.hpp"

namespace mave::native {
namespace {

using py::PyRef;

constexpr Signature kRerank{"_rerank", "e, queries, candidates, k, exclude", Bound::Module};

// _rerank(e, queries, candidates, k, exclude) -> (rows, cosines): for each
// query (float32 (n, dims)) the best k of its candidates (int64 (n, count),
// -1 for none) by exact cosine, best first, row -1 and NaN filling the end
// (both (n, k)). exclude: a sequence of at most n sequences of rows, those
// of query i never in its answer.
PyObject* rerank_rows(const py::ArgumentSlots& slots, std::string& path) {
  PyObject* const e = slots[kRerank.slot("e")];
  PyObject* const queries_obj = slots[kRerank.slot("queries")];
  PyObject* const candidates_obj = slots[kRerank.slot("candidates")];
  PyObject* const k_obj = slots[kRerank.slot("k")];
  PyObject* const exclude_obj = slots[kRerank.slot("exclude")];
  if (!PyObject_TypeCheck(e, embeddings_type())) {
    PyErr_Format(PyExc_TypeError, "e must be Embeddings, not %s", py::TypeName(e).c_str());
    return nullptr;
  }
  // Holds the model while the work runs without the interpreter lock.
  const std::shared_ptr<const Model> model = reinterpret_cast<EmbeddingsObject*>(e)->model;
  path = model->path;
  const std::size_t dims = model->dims();
  std::vector<float> queries;
  std::size_t query_shape[2];
  if (!copy_array_argument(queries_obj, NPY_FLOAT32, 2, "queries", queries, query_shape)) {
    return nullptr;
  }
  std::vector<std::int64_t> candidates;
  std::size_t candidate_shape[2];
  if (!copy_array_argument(candidates_obj, NPY_INT64, 2, "candidates", candidates, candidate_shape)) {
    return nullptr;
  }
  const std::size_t n = query_shape[0], count = candidate_shape[1];
  if (query_shape[1] != dims || candidate_shape[0] != n) {
    PyErr_SetString(PyExc_ValueError, "queries and candidates do not fit the model and each other");
    return nullptr;
  }
  const auto k = count_argument(k_obj, "k");
  if (!k) return nullptr;
  PyRef exclude = PyRef::steal(PySequence_Fast(exclude_obj, "exclude must be a sequence"));
  if (!exclude) return nullptr;
  const auto n_excluded = static_cast<std::size_t>(PySequence_Size(exclude.get()));
  if (n_excluded > n) {
    PyErr_SetString(PyExc_ValueError, "exclude has more entries than there are queries");
    return nullptr;
  }
  std::vector<std::vector<std::size_t>> excluded(n_excluded);
  std::vector<std::uint64_t> rows_of;
  for (std::size_t i = 0; i < n_excluded; ++i) {
    rows_of.clear();
    PyObject* item = py::fast_item(exclude.get(), static_cast<Py_ssize_t>(i));
    if (!row_indices_argument(item, model->n_words(), rows_of)) return nullptr;
    excluded[i].assign(rows_of.begin(), rows_of.end());
  }
  PyRef rows = PyRef::steal(new_int64_matrix(n, *k));
  if (!rows) return nullptr;
  PyRef cosines = PyRef::steal(new_matrix(n, *k));
  if (!cosines) return nullptr;
  auto* rows_data = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rows.get())));
  auto* cosines_data = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(cosines.get())));
  py::without_gil([&] {
    const Storage& storage = model->embeddings.storage();
    for (std::size_t i = 0; i < n; ++i) {
      const std::vector<Neighbour> best = rerank(
          storage, model->n_words(), {queries.data() + i * dims, dims},
          {candidates.data() + i * count, count},
          i < n_excluded ? std::span<const std::size_t>(excluded[i]) : std::span<const std::size_t>(), *k);
      for (std::size_t j = 0; j < *k; ++j) {
        const bool found = j < best.size();
        rows_data[i * *k + j] = found ? static_cast<std::int64_t>(best[j].row) : -1;
        cosines_data[i * *k + j] = found ? best[j].cosine : std::numeric_limits<float>::quiet_NaN();
      }
    }
  });
  return PyTuple_Pack(2, rows.get(), cosines.get());
}

// No C++ exception leaves the call (memory exhaustion becomes MemoryError).
PyObject* rerank_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string path;
  return py::call_frame(
      [&]() -> PyObject* {
        return with_arguments(kRerank, {args, nargs, kwnames},
                              [&](const py::ArgumentSlots& slots) { return rerank_rows(slots, path); });
      },
      [&]() noexcept { raise_in_flight(path); });
}

PyMethodDef g_functions[] = {
    {"_rerank", as_cfunction(rerank_function), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool init_rerank(PyObject* module) { return add_functions(module, g_functions, {&kRerank}); }

}  // namespace mave::native
