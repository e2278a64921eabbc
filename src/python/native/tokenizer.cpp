// mave._native._Tokenizer: the core tokenizer of static models, for the
// tests and the bench (the static models call it from C++).
#include <new>
#include <string>
#include <vector>

#include "base/threads.hpp"
#include "python/helpers/errors.hpp"
#include "python/helpers/pyref.hpp"
#include "python/helpers/stable_abi.hpp"
#include "python/helpers/without_gil.hpp"
#include "python/native/arguments.hpp"
#include "python/native/arrays.hpp"
#include "python/native/exceptions.hpp"
#include "python/native/model.hpp"
#include "python/native/numpy_api.hpp"
#include "python/native/tokenizer.hpp"
#include "tokenize/tokenizer.hpp"

namespace mave::native {
namespace {

using py::ArgumentSlots;
using py::call_frame;
using py::PyRef;
using py::without_gil;

struct TokenizerObject {
  PyObject_HEAD Tokenizer* tokenizer;  // owned
};

PyTypeObject* g_type = nullptr;

const Tokenizer& tokenizer_of(PyObject* self) { return *reinterpret_cast<TokenizerObject*>(self)->tokenizer; }

constexpr Signature kNew{"_Tokenizer", "json, /", Bound::Type};

PyObject* tokenizer_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  ArgumentSlots slots;
  if (!kNew.parse(args, kwargs, slots)) return nullptr;
  auto json = str_argument(slots[kNew.slot("json")], "json");
  if (!json) return nullptr;
  return call_frame(
      [&]() -> PyObject* {
        auto parsed = without_gil([&] { return Tokenizer::parse(*json); });
        if (!parsed.ok()) {
          raise_error("", parsed.error());
          return nullptr;
        }
        auto owned = std::make_unique<Tokenizer>(std::move(parsed).value());
        PyObject* self = py::alloc_instance(subtype);
        if (self == nullptr) return nullptr;
        reinterpret_cast<TokenizerObject*>(self)->tokenizer = owned.release();
        return self;
      },
      Translate{""});
}

void tokenizer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<TokenizerObject*>(self)->tokenizer;
  py::free_instance(self);
  Py_DECREF(type);
}

PyObject* get_unsupported(PyObject* self, void*) { return str_from_utf8(tokenizer_of(self).unsupported()); }

PyObject* get_vocab_size(PyObject* self, void*) { return PyLong_FromSize_t(tokenizer_of(self).vocab_size()); }

PyObject* get_unk_id(PyObject* self, void*) {
  const auto unk = tokenizer_of(self).unk_id();
  if (!unk) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(*unk);
}

PyGetSetDef g_getset[] = {
    {"unsupported", get_unsupported, nullptr,
     "Empty when every component is tokenized natively; else the first that is not.", nullptr},
    {"vocab_size", get_vocab_size, nullptr, "The number of ids.", nullptr},
    {"unk_id", get_unk_id, nullptr, "The model's unknown token, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <const Signature& signature, PyObject* (*body)(const Tokenizer&, const ArgumentSlots&)>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // A copy shares the tokenizer: it stays alive while the lock is released.
  const Tokenizer tokenizer = tokenizer_of(self);
  return call_frame(
      [&]() -> PyObject* {
        ArgumentSlots slots;
        if (!signature.parse({args, nargs, kwnames}, slots)) return nullptr;
        return body(tokenizer, slots);
      },
      Translate{""});
}

constexpr Signature kDescribe{"describe", "", Bound::Instance};

PyObject* describe(const Tokenizer& t, const ArgumentSlots&) { return str_from_utf8(t.describe()); }

constexpr Signature kToken{"token", "id, /", Bound::Instance};

PyObject* token(const Tokenizer& t, const ArgumentSlots& slots) {
  auto id = count_argument(slots[kToken.slot("id")], "id");
  if (!id) return nullptr;
  if (*id >= t.vocab_size()) {
    PyErr_SetString(PyExc_IndexError, "token id out of range");
    return nullptr;
  }
  return str_from_utf8(t.token(static_cast<std::uint32_t>(*id)));
}

constexpr Signature kIdOf{"id_of", "token, /", Bound::Instance};

PyObject* id_of(const Tokenizer& t, const ArgumentSlots& slots) {
  auto token = str_argument(slots[kIdOf.slot("token")], "token");
  if (!token) return nullptr;
  const auto id = t.id_of(*token);
  if (!id) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(*id);
}

constexpr Signature kNormalize{"normalize", "text, /", Bound::Instance};

PyObject* normalize(const Tokenizer& t, const ArgumentSlots& slots) {
  auto text = str_argument(slots[kNormalize.slot("text")], "text");
  if (!text) return nullptr;
  return str_from_utf8(t.normalize(*text));
}

constexpr Signature kPreTokenize{"pre_tokenize", "text, /", Bound::Instance};

PyObject* pre_tokenize(const Tokenizer& t, const ArgumentSlots& slots) {
  auto text = str_argument(slots[kPreTokenize.slot("text")], "text");
  if (!text) return nullptr;
  const std::vector<std::string> pieces = t.pre_tokenize(*text);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    PyObject* piece = str_from_utf8(pieces[i]);
    if (piece == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), piece);
  }
  return list.release();
}

constexpr Signature kEncodeBatch{"encode_batch", "texts, *, max_ids=None, threads=None", Bound::Instance};

PyObject* encode_batch(const Tokenizer& t, const ArgumentSlots& slots) {
  if (!t.unsupported().empty()) {
    PyErr_Format(PyExc_ValueError, "this tokenizer is not tokenized natively: %s",
                 std::string(t.unsupported()).c_str());
    return nullptr;
  }
  std::size_t max_ids = SIZE_MAX;
  if (slots[kEncodeBatch.slot("max_ids")] != Py_None) {
    auto n = count_argument(slots[kEncodeBatch.slot("max_ids")], "max_ids");
    if (!n) return nullptr;
    max_ids = *n;
  }
  auto requested = thread_count_argument(slots[kEncodeBatch.slot("threads")]);
  if (!requested) return nullptr;
  std::vector<std::string_view> texts;
  PyRef items = str_sequence(slots[kEncodeBatch.slot("texts")], "texts", texts);
  if (!items) return nullptr;
  const std::size_t n = texts.size();
  const unsigned threads = choose_threads(*requested, n, 256);
  std::vector<std::vector<std::uint32_t>> parts(threads);
  std::vector<std::int64_t> counts(n);
  without_gil([&] {
    parallel_for(n, threads, [&](unsigned part, std::size_t begin, std::size_t end) {
      TokenizerScratch scratch;
      std::vector<std::uint32_t>& ids = parts[part];
      for (std::size_t i = begin; i < end; ++i) {
        const std::size_t before = ids.size();
        t.encode(texts[i], ids, scratch, max_ids);
        counts[i] = static_cast<std::int64_t>(ids.size() - before);
      }
    });
  });
  std::size_t total = 0;
  for (const auto& p : parts) total += p.size();
  npy_intp ids_shape[1] = {static_cast<npy_intp>(total)};
  npy_intp offsets_shape[1] = {static_cast<npy_intp>(n + 1)};
  PyRef ids = PyRef::steal(PyArray_SimpleNew(1, ids_shape, NPY_UINT32));
  PyRef offsets = PyRef::steal(PyArray_SimpleNew(1, offsets_shape, NPY_INT64));
  if (!ids || !offsets) return nullptr;
  auto* out = static_cast<std::uint32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(ids.get())));
  for (const auto& p : parts) out = std::copy(p.begin(), p.end(), out);
  auto* off = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(offsets.get())));
  off[0] = 0;
  for (std::size_t i = 0; i < n; ++i) off[i + 1] = off[i] + counts[i];
  return PyTuple_Pack(2, ids.get(), offsets.get());
}

PyMethodDef g_methods[] = {
    {"describe", as_cfunction(method<kDescribe, describe>), METH_FASTCALL | METH_KEYWORDS,
     "One line: the model kind and each component with its settings."},
    {"token", as_cfunction(method<kToken, token>), METH_FASTCALL | METH_KEYWORDS, "The token of an id."},
    {"id_of", as_cfunction(method<kIdOf, id_of>), METH_FASTCALL | METH_KEYWORDS,
     "The id of a token, or None."},
    {"normalize", as_cfunction(method<kNormalize, normalize>), METH_FASTCALL | METH_KEYWORDS,
     "The text after the normalizer."},
    {"pre_tokenize", as_cfunction(method<kPreTokenize, pre_tokenize>), METH_FASTCALL | METH_KEYWORDS,
     "The pieces the pre-tokenizer makes of a (normalized) text."},
    {"encode_batch", as_cfunction(method<kEncodeBatch, encode_batch>), METH_FASTCALL | METH_KEYWORDS,
     "The ids of each text, as the tokenizers package's encode_batch(texts,\n"
     "add_special_tokens=False): a uint32 array of all ids and an int64 array of\n"
     "len(texts) + 1 offsets (text i's ids are ids[offsets[i]:offsets[i + 1]]),\n"
     "at most max_ids per text. The lock is released; threads as in embed()."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tokenizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tokenizer_dealloc)},
    {Py_tp_getset, g_getset},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("A tokenizer read from the text of a tokenizer.json (tests and bench).")},
    {0, nullptr},
};

PyType_Spec g_spec{"mave._native._Tokenizer", sizeof(TokenizerObject), 0, Py_TPFLAGS_DEFAULT, g_slots};

}  // namespace

bool init_tokenizer_type(PyObject* module) {
  g_type = add_type(module, "_Tokenizer", g_spec, g_methods,
                    {&kDescribe, &kToken, &kIdOf, &kNormalize, &kPreTokenize, &kEncodeBatch}, &kNew);
  return g_type != nullptr;
}

}  // namespace mave::native
