// mave._native.Questions: the questions of one search, built once and
// checked once, where they enter: the term vectors, how the questions take
// them (counts of positive and negative terms, or shared terms named by
// number) and the rows each answer leaves out. mave.Embeddings builds one for
// similar(), analogy(), nearest() and the evaluations and hands it to
// Embeddings._search, which checks only that it fits the model.
#include <memory>
#include <new>

#include "python/helpers/errors.hpp"
#include "python/helpers/stable_abi.hpp"
#include "python/native/arguments.hpp"
#include "python/native/arrays.hpp"
#include "python/native/exceptions.hpp"
#include "python/native/model.hpp"
#include "python/native/numpy_api.hpp"

namespace mave::native {
namespace {

struct QuestionsObject {
  PyObject_HEAD const SearchQuestions* questions;  // owned
};

PyTypeObject* g_type = nullptr;

const SearchQuestions& questions_data(PyObject* self) {
  return *reinterpret_cast<QuestionsObject*>(self)->questions;
}

constexpr Signature kNew{
    "Questions", "terms, *, positive=None, negative=None, exclude=None, exclude_offsets=None, term_of=None",
    Bound::Type};

// Copies the optional 1-D array in slot `name` into `out`.
template <class T>
bool optional_array(const py::ArgumentSlots& slots, std::size_t slot, int type, const char* name,
                    std::vector<T>& out) {
  std::size_t shape = 0;
  return slots[slot] == Py_None || copy_array_argument(slots[slot], type, 1, name, out, &shape);
}

// The arguments as questions, or null with TypeError or ValueError set.
std::unique_ptr<SearchQuestions> questions_of(const py::ArgumentSlots& slots) {
  auto q = std::make_unique<SearchQuestions>();
  std::size_t terms_shape[2] = {0, 0};
  if (!copy_array_argument(slots[kNew.slot("terms")], NPY_FLOAT32, 2, "terms", q->terms, terms_shape)) {
    return nullptr;
  }
  q->n_terms = terms_shape[0];
  q->dims = terms_shape[1];
  std::vector<std::uint64_t> exclude, offsets;
  if (!optional_array(slots, kNew.slot("positive"), NPY_UINT32, "positive", q->positive) ||
      !optional_array(slots, kNew.slot("negative"), NPY_UINT32, "negative", q->negative) ||
      !optional_array(slots, kNew.slot("term_of"), NPY_UINT32, "term_of", q->term_of) ||
      !optional_array(slots, kNew.slot("exclude"), NPY_UINT64, "exclude", exclude) ||
      !optional_array(slots, kNew.slot("exclude_offsets"), NPY_UINT64, "exclude_offsets", offsets)) {
    return nullptr;
  }
  q->exclude.assign(exclude.begin(), exclude.end());
  q->exclude_offsets.assign(offsets.begin(), offsets.end());
  if (const char* what = contradiction(q->view(), q->n_terms)) {
    PyErr_SetString(PyExc_ValueError, what);
    return nullptr;
  }
  return q;
}

PyObject* questions_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return py::call_frame(
      [&]() -> PyObject* {
        py::ArgumentSlots slots;
        if (!kNew.parse(args, kwargs, slots)) return nullptr;
        std::unique_ptr<SearchQuestions> questions = questions_of(slots);
        if (!questions) return nullptr;
        PyObject* self = py::alloc_instance(subtype);
        if (self == nullptr) return nullptr;
        reinterpret_cast<QuestionsObject*>(self)->questions = questions.release();
        return self;
      },
      Translate{""});
}

void questions_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<QuestionsObject*>(self)->questions;
  py::free_instance(self);
  Py_DECREF(type);
}

Py_ssize_t questions_length(PyObject* self) { return static_cast<Py_ssize_t>(questions_data(self).count()); }

PyObject* questions_repr(PyObject* self) {
  const SearchQuestions& q = questions_data(self);
  return PyUnicode_FromFormat("<mave._native.Questions: %zu questions of %zu terms of %zu dims>", q.count(),
                              q.n_terms, q.dims);
}

PyMethodDef g_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(questions_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(questions_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(questions_repr)},
    {Py_tp_methods, g_methods},
    {Py_sq_length, reinterpret_cast<void*>(questions_length)},
    {Py_tp_doc, const_cast<char*>("The questions of one search: `terms` a float32 (n, dims) array; one\n"
                                  "question per term, or question i takes the next positive[i] terms\n"
                                  "(weighted +1) and negative[i] (weighted -1), which with `term_of` are\n"
                                  "the terms it names by number; exclude[exclude_offsets[i]:\n"
                                  "exclude_offsets[i + 1]] the rows its answer leaves out. ValueError\n"
                                  "when they contradict each other.")},
    {0, nullptr},
};

PyType_Spec g_spec{"mave._native.Questions", sizeof(QuestionsObject), 0, Py_TPFLAGS_DEFAULT, g_slots};

}  // namespace

bool init_questions_type(PyObject* module) {
  g_type = add_type(module, "Questions", g_spec, g_methods, {}, &kNew);
  return g_type != nullptr;
}

const SearchQuestions* search_questions(PyObject* obj) {
  if (!PyObject_TypeCheck(obj, g_type)) {
    PyErr_Format(PyExc_TypeError, "questions must be Questions, not %s", py::TypeName(obj).c_str());
    return nullptr;
  }
  return &questions_data(obj);
}

}  // namespace mave::native
