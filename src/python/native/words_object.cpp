// mave._native.Words: the vocabulary as a read-only sequence of str in row
// order. It keeps its Embeddings alive and makes each str on demand, so that
// creating it costs nothing whatever the size of the vocabulary.
#include <memory>

#include "python/helpers/pyref.hpp"
#include "python/helpers/stable_abi.hpp"
#include "python/native/arguments.hpp"
#include "python/native/arrays.hpp"
#include "python/native/model.hpp"

namespace mave::native {
namespace {

using py::PyRef;

struct WordsObject {
  PyObject_HEAD PyObject* owner;  // the Embeddings object
  std::shared_ptr<const Model> model;
};

PyTypeObject* g_type = nullptr;

WordsObject& object_of(PyObject* self) { return *reinterpret_cast<WordsObject*>(self); }
const WordList& words_of(PyObject* self) { return object_of(self).model->embeddings.vocab().words(); }

void words_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto& object = object_of(self);
  object.model.~shared_ptr();
  Py_XDECREF(object.owner);
  py::free_instance(self);
  Py_DECREF(type);
}

Py_ssize_t words_length(PyObject* self) { return static_cast<Py_ssize_t>(words_of(self).size()); }

PyObject* words_item(PyObject* self, Py_ssize_t i) {
  const WordList& words = words_of(self);
  if (i < 0 || static_cast<std::size_t>(i) >= words.size()) {
    PyErr_SetString(PyExc_IndexError, "word index out of range");
    return nullptr;
  }
  return str_from_utf8(words[static_cast<std::size_t>(i)]);
}

PyObject* words_subscript(PyObject* self, PyObject* key) {
  if (PyIndex_Check(key)) {
    Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    if (i < 0) i += words_length(self);
    return words_item(self, i);
  }
  if (!PySlice_Check(key)) {
    PyErr_Format(PyExc_TypeError, "word indices must be integers or slices, not %s",
                 py::TypeName(key).c_str());
    return nullptr;
  }
  Py_ssize_t start, stop, step;
  if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
  const Py_ssize_t n = PySlice_AdjustIndices(words_length(self), &start, &stop, step);
  PyRef list = PyRef::steal(PyList_New(n));
  if (!list) return nullptr;
  for (Py_ssize_t k = 0, i = start; k < n; ++k, i += step) {
    PyObject* word = words_item(self, i);
    if (word == nullptr) return nullptr;
    PyList_SetItem(list.get(), k, word);
  }
  return list.release();
}

std::optional<std::size_t> find(PyObject* self, PyObject* key) {
  const auto word = word_key(key);
  if (!word) return std::nullopt;
  return words_of(self).find(*word);
}

int words_contains(PyObject* self, PyObject* key) { return find(self, key).has_value(); }

// A start or stop of index(): None keeps `bound`; an int (negative ones from
// the end, as in a slice) replaces it.
bool bound_argument(PyObject* obj, Py_ssize_t& bound) {
  if (obj == Py_None) return true;
  if (!PyIndex_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "slice indices must be integers or None, not %s",
                 py::TypeName(obj).c_str());
    return false;
  }
  const Py_ssize_t n = PyNumber_AsSsize_t(obj, nullptr);  // clamped, as a slice clamps
  if (n == -1 && PyErr_Occurred()) return false;
  bound = n;
  return true;
}

constexpr Signature kIndex{"index", "word, start=None, stop=None, /", Bound::Instance};
constexpr Signature kCount{"count", "word, /", Bound::Instance};

PyObject* words_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_arguments(kIndex, {args, nargs, kwnames}, [&](const py::ArgumentSlots& slots) {
    PyObject* const word = slots[kIndex.slot("word")];
    // Within [start, stop), counted as a slice counts them (list.index's rule).
    Py_ssize_t start = 0, stop = PY_SSIZE_T_MAX;
    if (!bound_argument(slots[kIndex.slot("start")], start) ||
        !bound_argument(slots[kIndex.slot("stop")], stop)) {
      return static_cast<PyObject*>(nullptr);
    }
    PySlice_AdjustIndices(words_length(self), &start, &stop, 1);
    const auto i = find(self, word);
    if (i && static_cast<Py_ssize_t>(*i) >= start && static_cast<Py_ssize_t>(*i) < stop) {
      return PyLong_FromSize_t(*i);
    }
    PyRef text = PyRef::steal(PyObject_Repr(word));
    if (text) PyErr_Format(PyExc_ValueError, "%U is not in the vocabulary", text.get());
    return static_cast<PyObject*>(nullptr);
  });
}

PyObject* words_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_arguments(kCount, {args, nargs, kwnames}, [&](const py::ArgumentSlots& slots) {
    // Words are distinct in every vocabulary that loads.
    return PyLong_FromLong(find(self, slots[kCount.slot("word")]) ? 1 : 0);
  });
}

constexpr Signature kBuffers{"_buffers", "", Bound::Instance};

// (ends, bytes): where each word ends (uint64, one per word) in the bytes of
// all words (uint8), read-only views that keep the vocabulary alive. Arrow
// string columns are made from them without a str per word.
PyObject* words_buffers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_arguments(kBuffers, {args, nargs, kwnames}, [&](const py::ArgumentSlots&) {
    const WordList& words = words_of(self);
    PyRef ends = PyRef::steal(readonly_view(self, words.ends()));
    if (!ends) return static_cast<PyObject*>(nullptr);
    PyRef bytes = PyRef::steal(readonly_view(self, words.all_bytes()));
    if (!bytes) return static_cast<PyObject*>(nullptr);
    return PyTuple_Pack(2, ends.get(), bytes.get());
  });
}

PyObject* words_repr(PyObject* self) {
  return PyUnicode_FromFormat("<mave.Words of %zd words>", words_length(self));
}

PyMethodDef g_methods[] = {
    {"index", as_cfunction(words_index), METH_FASTCALL | METH_KEYWORDS,
     "The row of the word; ValueError if absent."},
    {"count", as_cfunction(words_count), METH_FASTCALL | METH_KEYWORDS,
     "1 if the word is in the vocabulary, else 0."},
    {"_buffers", as_cfunction(words_buffers), METH_FASTCALL | METH_KEYWORDS,
     "(ends, bytes): read-only views of where each word ends in the bytes of all words."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(words_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(words_repr)},
    {Py_tp_methods, g_methods},
    {Py_sq_length, reinterpret_cast<void*>(words_length)},
    {Py_sq_item, reinterpret_cast<void*>(words_item)},
    {Py_sq_contains, reinterpret_cast<void*>(words_contains)},
    {Py_mp_length, reinterpret_cast<void*>(words_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(words_subscript)},
    {Py_tp_doc, const_cast<char*>("The words of the vocabulary, in row order (read-only).")},
    {0, nullptr},
};

// A sequence for `match` too: mave registers it as a collections.abc.Sequence.
PyType_Spec g_spec{"mave._native.Words", sizeof(WordsObject), 0, Py_TPFLAGS_DEFAULT, g_slots};

}  // namespace

bool init_words_type(PyObject* module) {
  g_type = add_type(module, "Words", g_spec, g_methods, {&kIndex, &kCount, &kBuffers});
  return g_type != nullptr;
}

PyObject* new_words(PyObject* owner) {
  PyObject* self = py::alloc_instance(g_type);
  if (self == nullptr) return nullptr;
  auto& object = object_of(self);
  new (&object.model) std::shared_ptr<const Model>(reinterpret_cast<EmbeddingsObject*>(owner)->model);
  object.owner = Py_NewRef(owner);
  return self;
}

PyObject* str_from_utf8(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
}

}  // namespace mave::native
