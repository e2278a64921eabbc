#include "python/_mave/ff_model.hpp"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>

#include "base/io.hpp"
#include "format/embeddings.hpp"
#include "python/_mave/frame.hpp"
#include "python/helpers/arguments.hpp"
#include "python/helpers/errors.hpp"
#include "python/helpers/numpy_target.hpp"
#include "python/helpers/pyref.hpp"
#include "python/helpers/stable_abi.hpp"
#include "python/helpers/stdout.hpp"
#include "text/vector_text.hpp"

namespace mave::py {
namespace {

struct FfModelObject {
  PyObject_HEAD Embeddings embeddings;  // never modified after construction
  // 0: free; n > 0: n method calls use the instance; -1: exclusively
  // borrowed. Guarded by the interpreter lock.
  Py_ssize_t borrow_count;
};

// The instance is filled by moving a loaded value into freshly allocated
// memory; nothing between the allocation and a complete instance may fail.
static_assert(std::is_nothrow_move_constructible_v<Embeddings>);

PyObject* g_type = nullptr;

// Pinned: docs/compatibility.md (names in the argument messages)
constexpr ArgumentSpec kNewSpec{"FfModel", "__new__", {"embeddings_path"}, 1, 1};
constexpr ArgumentSpec kLoadEmbeddingSpec{"FfModel", "load_embedding", {"sentence", "a"}, 2, 2};
constexpr ArgumentSpec kEvalSpec{"FfModel", "eval", {"haystack"}, 1, 1};

class SharedBorrow {
 public:
  explicit SharedBorrow(FfModelObject& model) : model_(model) { ++model_.borrow_count; }
  ~SharedBorrow() { --model_.borrow_count; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  FfModelObject& model_;
};

// The frame of every method: receiver check, shared borrow held until the
// call ends whichever way, and no C++ exception past it.
template <class Body>
PyObject* method_frame(PyObject* self, Body&& body) {
  return mave_frame([&]() -> PyObject* {
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(g_type))) {
      // Pinned: docs/compatibility.md
      raise_conversion_error(self, "FfModel");
      return nullptr;
    }
    auto& model = *reinterpret_cast<FfModelObject*>(self);
    if (model.borrow_count == -1) {
      // Pinned: docs/compatibility.md
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return nullptr;
    }
    SharedBorrow borrow(model);
    return body(static_cast<const FfModelObject&>(model));
  });
}

Embeddings load(const std::string& path) {
  auto file = File::open_read(path);
  if (!file.ok()) panic(PanicKind::FileMissing, PanicFacts::of(file.error()));
  // The reader and its file are closed on return; the matrix mapping keeps
  // its own handle.
  BufferedReader reader(std::move(file).value());
  auto embeddings = read_embeddings_mapped(reader);
  if (!embeddings.ok()) {
    panic(PanicKind::LoadFailed, PanicFacts::of(std::move(embeddings).error()));
  }
  return std::move(embeddings).value();
}

PyObject* ff_model_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return mave_frame([&]() -> PyObject* {
    ArgumentSlots slots;
    if (!parse_tuple_dict(kNewSpec, args, kwargs, slots)) return nullptr;
    auto path = text_argument(slots[0], "embeddings_path");
    if (!path) return nullptr;
    Embeddings embeddings = load(std::string(*path));
    PyObject* self = py::alloc_instance(subtype);
    if (self == nullptr) return ensure_error_set();
    auto* model = reinterpret_cast<FfModelObject*>(self);
    new (&model->embeddings) Embeddings(std::move(embeddings));
    model->borrow_count = 0;
    return self;
  });
}

void ff_model_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<FfModelObject*>(self)->embeddings.~Embeddings();
  py::free_instance(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyObject* get_dims(PyObject* self, PyObject* /*unused*/) {
  return method_frame(self, [](const FfModelObject& model) {
    return expect_object(PyLong_FromUnsignedLongLong(model.embeddings.dims())).release();
  });
}

PyObject* load_embedding(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method_frame(self, [&](const FfModelObject& model) -> PyObject* {
    ArgumentSlots slots;
    if (!parse_vectorcall(kLoadEmbeddingSpec, args, nargs, kwnames, slots)) return nullptr;
    // `sentence` first: a bad sentence is reported even when `a` is bad too.
    auto sentence = text_argument(slots[0], "sentence");
    if (!sentence) return nullptr;
    auto target = target_argument(slots[1], "a");
    if (!target) return nullptr;
    return Py_NewRef(model.embeddings.fill_embedding(*sentence, *target) ? Py_True : Py_False);
  });
}

PyObject* eval(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method_frame(self, [&](const FfModelObject& model) -> PyObject* {
    ArgumentSlots slots;
    if (!parse_vectorcall(kEvalSpec, args, nargs, kwnames, slots)) return nullptr;
    auto haystack = text_argument(slots[0], "haystack");
    if (!haystack) return nullptr;
    if (auto row = model.embeddings.find_embedding(*haystack)) {
      // Reused between calls: one buffer, one write per line.
      thread_local std::string line;
      line.clear();
      append_vector_text(line, row->values());
      line += '\n';
      print_stdout(line);
    }
    Py_RETURN_NONE;
  });
}

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Pinned: docs/compatibility.md (method order and text signatures)
PyMethodDef g_methods[] = {
    {"get_dims", get_dims, METH_NOARGS, "get_dims($self)\n--\n\n"},
    {"load_embedding", as_cfunction(load_embedding), METH_FASTCALL | METH_KEYWORDS,
     "load_embedding($self, sentence, a)\n--\n\n"},
    {"eval", as_cfunction(eval), METH_FASTCALL | METH_KEYWORDS, "eval($self, haystack)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(ff_model_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_tp_new, reinterpret_cast<void*>(ff_model_new)},
    {0, nullptr},
};

// Default flags only: no subclassing, no garbage-collector participation, and
// with neither a dictionary nor weak-reference slot in the instance.
// Pinned: docs/compatibility.md (type name and flags)
PyType_Spec g_spec{"builtins.FfModel", sizeof(FfModelObject), 0, Py_TPFLAGS_DEFAULT, g_slots};

}  // namespace

PyObject* ff_model_type() {
  if (g_type != nullptr) return g_type;
  g_type = PyType_FromSpec(&g_spec);
  if (g_type == nullptr) {
    PyRef cause = PyRef::steal(py::take_raised_exception());
    // Pinned: docs/compatibility.md
    PyRef error = PyRef::steal(
        PyObject_CallFunction(PyExc_RuntimeError, "s", "An error occurred while initializing class FfModel"));
    if (!error) return nullptr;
    PyException_SetCause(error.get(), cause.release());
    py::raise_exception(error.release());
  }
  return g_type;
}

}  // namespace mave::py
