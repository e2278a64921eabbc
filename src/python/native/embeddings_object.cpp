// mave._native.Embeddings: a loaded file and the lookups on it. The Python
// class mave.Embeddings derives from it and adds what needs no speed.
#include <algorithm>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "base/io.hpp"
#include "format/batch.hpp"
#include "python/helpers/errors.hpp"
#include "python/helpers/pyref.hpp"
#include "python/helpers/stable_abi.hpp"
#include "python/helpers/without_gil.hpp"
#include "python/native/arguments.hpp"
#include "python/native/arrays.hpp"
#include "python/native/exceptions.hpp"
#include "python/native/metadata_dict.hpp"
#include "python/native/model.hpp"
#include "python/native/numpy_api.hpp"
#include "static/encode.hpp"
#include "static/pooling.hpp"

namespace mave::native {
namespace {

using py::ArgumentSlots;
using py::call_frame;
using py::PyRef;
using py::without_gil;

PyTypeObject* g_type = nullptr;

EmbeddingsObject& object_of(PyObject* self) { return *reinterpret_cast<EmbeddingsObject*>(self); }

// Every method runs in this frame: a C++ exception becomes the Python
// exception for this file, and nothing C++ escapes. The caller's reference
// keeps `self`, and so the model, alive for the call while the lock is held.
template <class Body>
PyObject* method_frame(PyObject* self, Body&& body) {
  const Model& model = *object_of(self).model;
  return call_frame([&]() -> PyObject* { return body(model); }, Translate{model.path});
}

// Whether a method releases the interpreter lock. One that does holds the
// model by its shared_ptr, so that it outlives the call whatever other
// threads do with their references meanwhile.
enum class Lock { Held, Released };

// The entry point of a method with arguments: they are parsed by
// `signature`, then `body(model, slots)` runs in the method frame.
template <const Signature& signature, PyObject* (*body)(const Model&, const ArgumentSlots&),
          Lock lock = Lock::Held>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto run = [&](const Model& model) -> PyObject* {
    ArgumentSlots slots;
    if (!signature.parse({args, nargs, kwnames}, slots)) return nullptr;
    return body(model, slots);
  };
  if constexpr (lock == Lock::Held) {
    return method_frame(self, run);
  } else {
    std::shared_ptr<const Model> model = object_of(self).model;
    return call_frame([&]() -> PyObject* { return run(*model); }, Translate{model->path});
  }
}

std::shared_ptr<const Model> load_static_model(std::string folder) {
  auto loaded = without_gil([&] { return mave::load_static_model(folder); });
  if (!loaded.ok()) {
    const EmbeddingsError& error = loaded.error().error;
    // A folder without a model's files is missing them, as a missing file is.
    if (error.code == ErrorCode::BadStaticModel && error.fault == StaticFault::NoModelFiles) {
      raise_not_found(loaded.error().path, error);
    } else {
      raise_error(loaded.error().path, error);
    }
    return nullptr;
  }
  return std::make_shared<const Model>(std::move(loaded).value(), std::move(folder));
}

std::shared_ptr<const Model> load_model(std::string path) {
  // A folder is a static sentence model; anything else a finalfusion file.
  if (without_gil([&] { return is_directory(path); })) return load_static_model(std::move(path));
  auto file = File::open_read(path);
  if (!file.ok()) {
    raise_io_error(path, file.error());
    return nullptr;
  }
  // The reader and its file are closed on return; the mapping keeps its own
  // handle to the file.
  auto embeddings = without_gil([&] {
    BufferedReader reader(std::move(file).value());
    return read_embeddings_mapped(reader);
  });
  if (!embeddings.ok()) {
    raise_error(path, embeddings.error());
    return nullptr;
  }
  return std::make_shared<const Model>(std::move(embeddings).value(), std::move(path));
}

constexpr Signature kNew{"Embeddings", "path", Bound::Type};

PyObject* embeddings_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  ArgumentSlots slots;
  if (!kNew.parse(args, kwargs, slots)) return nullptr;
  PyRef path = PyRef::steal(PyOS_FSPath(slots[kNew.slot("path")]));
  if (!path) return nullptr;
  if (!PyUnicode_Check(path.get())) {
    // A bytes path is decoded as the OS would, so that `path` is always str.
    path = PyRef::steal(
        PyUnicode_DecodeFSDefaultAndSize(PyBytes_AsString(path.get()), PyBytes_Size(path.get())));
    if (!path) return nullptr;
  }
  PyObject* encoded_obj = nullptr;
  if (!PyUnicode_FSConverter(path.get(), &encoded_obj)) return nullptr;  // ValueError on NUL
  PyRef encoded = PyRef::steal(encoded_obj);
  std::string fs_path(PyBytes_AsString(encoded.get()), static_cast<std::size_t>(PyBytes_Size(encoded.get())));
  return call_frame(
      [&]() -> PyObject* {
        std::shared_ptr<const Model> model = load_model(fs_path);
        if (!model) return nullptr;
        PyObject* self = py::alloc_instance(subtype);
        if (self == nullptr) return nullptr;
        auto& object = object_of(self);
        new (&object.model) std::shared_ptr<const Model>(std::move(model));
        object.path = path.release();
        return self;
      },
      Translate{fs_path});
}

void embeddings_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto& object = object_of(self);
  object.model.~shared_ptr();
  Py_XDECREF(object.path);
  py::free_instance(self);
  Py_DECREF(type);
}

// --- Properties -------------------------------------------------------------

PyObject* get_path(PyObject* self, void*) { return Py_NewRef(object_of(self).path); }

PyObject* get_dims(PyObject* self, void*) { return PyLong_FromSize_t(model_of(self).dims()); }

PyObject* get_vocab_kind(PyObject* self, void*) {
  static constexpr const char* kNames[] = {"simple", "bucket", "fasttext", "explicit", "floret"};
  const Model& model = model_of(self);
  if (model.static_facts) return PyUnicode_FromString("tokenizer");
  return PyUnicode_FromString(kNames[model.embeddings.vocab().variant().index()]);
}

// "dense" whenever the rows are a float32 matrix in memory (e.matrix views
// it, and the callers of storage_kind rely on that); a static model's table
// read any other way (converted, unaligned, through a mapping or with
// weights) by its element type, as NumPy names it.
PyObject* get_storage_kind(PyObject* self, void*) {
  const Model& model = model_of(self);
  const auto& storage = model.embeddings.storage().variant();
  if (const auto* table = std::get_if<MappedTable>(&storage)) {
    static constexpr const char* kNames[] = {"float32", "float16", "bfloat16", "int8"};
    return PyUnicode_FromString(kNames[static_cast<std::size_t>(table->element())]);
  }
  const bool quantized = std::holds_alternative<MappedQuantizedArray>(storage);
  return PyUnicode_FromString(quantized ? "quantized" : "dense");
}

// A str from a path of the file system's encoding.
PyObject* path_str(const std::string& path) {
  return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

// The facts of a static model as a dict (None for a finalfusion file):
// layout, tokenizer and tensors (paths), tokenizer_model, dtype (the
// safetensors name), normalize, max_length (None: no limit),
// chars_per_token (a text is cut to max_length x chars_per_token characters
// before it is tokenized), unknown_id (None: none), mapping and weights
// (bool).
PyObject* get_static(PyObject* self, void*) {
  const Model& model = model_of(self);
  if (!model.static_facts) Py_RETURN_NONE;
  const StaticFacts& f = *model.static_facts;
  static constexpr const char* kLayouts[] = {"model2vec", "sentence-transformers",
                                             "sentence-transformers-modules"};
  PyRef tokenizer = PyRef::steal(path_str(f.tokenizer_path));
  PyRef tensors = PyRef::steal(path_str(f.tensors_path));
  PyRef model_type = PyRef::steal(str_from_utf8(f.tokenizer_model));
  PyRef max_length = f.settings.max_length ? PyRef::steal(PyLong_FromSize_t(*f.settings.max_length))
                                           : PyRef::borrow(Py_None);
  PyRef unknown = f.settings.unknown_id ? PyRef::steal(PyLong_FromUnsignedLong(*f.settings.unknown_id))
                                        : PyRef::borrow(Py_None);
  if (!tokenizer || !tensors || !model_type || !max_length || !unknown) return nullptr;
  const std::string_view dtype = dtype_name(f.dtype);
  return Py_BuildValue(
      "{sssOsOsOss#sNsOsnsOsNsN}", "layout", kLayouts[static_cast<std::size_t>(f.layout)], "tokenizer",
      tokenizer.get(), "tensors", tensors.get(), "tokenizer_model", model_type.get(), "dtype", dtype.data(),
      static_cast<Py_ssize_t>(dtype.size()), "normalize", PyBool_FromLong(f.settings.normalize), "max_length",
      max_length.get(), "chars_per_token", static_cast<Py_ssize_t>(f.settings.chars_per_token), "unknown_id",
      unknown.get(), "mapping", PyBool_FromLong(f.has_mapping), "weights", PyBool_FromLong(f.has_weights));
}

PyObject* get_words(PyObject* self, void*) { return new_words(self); }

// (kind, min_n, max_n, buckets, ngrams, hashes, seed, begin_marker, end_marker)
// for a subword vocabulary, None for a simple one; mave.Embeddings.subwords
// turns it into a SubwordSettings.
PyObject* get_subwords(PyObject* self, void*) {
  return std::visit(
      [](const auto& v) -> PyObject* {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, SimpleVocab>) {
          Py_RETURN_NONE;
        } else {
          PyRef none = PyRef::borrow(Py_None);
          PyRef buckets = PyRef::borrow(Py_None), ngrams = PyRef::borrow(Py_None),
                hashes = PyRef::borrow(Py_None), seed = PyRef::borrow(Py_None);
          const char* kind = "";
          if constexpr (std::is_same_v<V, BucketSubwordVocab>) {
            kind = "bucket";
            // 2^exponent buckets; an exponent of 64 is a Python int too.
            PyRef one = PyRef::steal(PyLong_FromLong(1));
            PyRef shift = PyRef::steal(PyLong_FromUnsignedLong(v.indexer.buckets_exponent()));
            if (!one || !shift) return nullptr;
            buckets = PyRef::steal(PyNumber_Lshift(one.get(), shift.get()));
          } else if constexpr (std::is_same_v<V, FastTextSubwordVocab>) {
            kind = "fasttext";
            buckets = PyRef::steal(PyLong_FromUnsignedLong(v.indexer.bucket_count()));
          } else if constexpr (std::is_same_v<V, ExplicitSubwordVocab>) {
            kind = "explicit";
            ngrams = PyRef::steal(PyLong_FromSize_t(v.indexer.ngrams().size()));
          } else {
            kind = "floret";
            buckets = PyRef::steal(PyLong_FromUnsignedLongLong(v.indexer.bucket_count()));
            hashes = PyRef::steal(PyLong_FromUnsignedLong(v.indexer.hash_count()));
            seed = PyRef::steal(PyLong_FromUnsignedLong(v.indexer.seed()));
          }
          PyRef begin = PyRef::steal(str_from_utf8(v.begin_marker));
          PyRef end = PyRef::steal(str_from_utf8(v.end_marker));
          if (!buckets || !ngrams || !hashes || !seed || !begin || !end) return nullptr;
          return Py_BuildValue("(sIIOOOOOO)", kind, v.min_ngram_len, v.max_ngram_len, buckets.get(),
                               ngrams.get(), hashes.get(), seed.get(), begin.get(), end.get());
        }
      },
      model_of(self).embeddings.vocab().variant());
}

// The metadata's TOML text as the core writes it (a Parquet file keeps it).
PyObject* get_metadata_toml(PyObject* self, void*) {
  return method_frame(self, [](const Model& model) -> PyObject* {
    const auto& metadata = model.embeddings.metadata();
    if (!metadata) Py_RETURN_NONE;
    return str_from_utf8(metadata->to_toml());
  });
}

// The metadata as a dict (Embeddings.metadata).
PyObject* get_metadata(PyObject* self, void*) {
  return method_frame(self, [](const Model& model) -> PyObject* {
    const auto& metadata = model.embeddings.metadata();
    if (!metadata) Py_RETURN_NONE;
    return metadata_dict(*metadata);
  });
}

PyObject* get_norms(PyObject* self, void*) {
  const auto& norms = model_of(self).embeddings.norms();
  if (!norms) Py_RETURN_NONE;
  return readonly_view(self, norms->values.data(), {norms->values.size()});
}

PyObject* get_matrix(PyObject* self, void*) {
  const Model& model = model_of(self);
  const auto* dense = std::get_if<MappedNdArray>(&model.embeddings.storage().variant());
  if (std::holds_alternative<MappedTable>(model.embeddings.storage().variant())) {
    PyErr_SetString(PyExc_ValueError,
                    "this model's table is not float32 rows in token order (its elements are "
                    "converted, or reached through a mapping or scaled by weights), so there is "
                    "no matrix to view: rebuild rows with e.reconstruct(rows) (all rows: "
                    "e.reconstruct())");
    return nullptr;
  }
  if (dense == nullptr) {
    PyErr_SetString(PyExc_ValueError,
                    "the matrix of this file is product-quantized, so there is no dense matrix "
                    "to view: rebuild rows with e.reconstruct(rows) (all rows: "
                    "e.reconstruct()), or look words up with e.embed(words)");
    return nullptr;
  }
  return readonly_view(self, dense->data(), {dense->rows(), dense->cols()});
}

PyGetSetDef g_getset[] = {
    {"path", get_path, nullptr, "The file's absolute path.", nullptr},
    {"dims", get_dims, nullptr, "The length of every vector.", nullptr},
    {"vocab_kind", get_vocab_kind, nullptr,
     "The vocabulary kind: \"simple\", \"bucket\", \"fasttext\", \"explicit\", \"floret\", or\n"
     "\"tokenizer\" for a static sentence model.",
     nullptr},
    {"storage_kind", get_storage_kind, nullptr,
     "The matrix kind: \"dense\" (float32 rows that e.matrix views) or \"quantized\"; a\n"
     "static model's table read otherwise, by its element type: \"float16\", \"bfloat16\",\n"
     "\"int8\", or \"float32\" (unaligned, or through a mapping or weights).",
     nullptr},
    {"words", get_words, nullptr,
     "The vocabulary as a read-only sequence of str in row order, made in constant time.\n\n"
     "Example: e.words[:3] -> ['</s>', 'the', 'of']",
     nullptr},
    {"norms", get_norms, nullptr,
     "The norms chunk as a read-only float32 view (the length each word's vector had\n"
     "before it was scaled to unit length), or None.",
     nullptr},
    {"matrix", get_matrix, nullptr,
     "The dense matrix as a read-only float32 view of the mapped file, without copying:\n"
     "vocabulary rows first, then subword rows. ValueError for a quantized matrix\n"
     "(rebuild rows with reconstruct()).",
     nullptr},
    {"_subwords", get_subwords, nullptr, nullptr, nullptr},
    {"_static", get_static, nullptr, nullptr, nullptr},
    {"_metadata", get_metadata, nullptr, nullptr, nullptr},
    {"_metadata_toml", get_metadata_toml, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- Lookups ----------------------------------------------------------------

Py_ssize_t embeddings_length(PyObject* self) { return static_cast<Py_ssize_t>(model_of(self).n_words()); }

int embeddings_contains(PyObject* self, PyObject* key) {
  const auto word = word_key(key);
  return word && model_of(self).embeddings.vocab().words().find(*word).has_value();
}

// A new float32 array holding the vector of `word`, or null with no
// exception set when the string has none.
PyObject* vector_of(const Model& model, std::string_view word) {
  std::optional<EmbeddingRow> row = model.embeddings.find_embedding(word);
  if (!row) return nullptr;
  return new_vector(row->values());
}

PyObject* embeddings_subscript(PyObject* self, PyObject* key) {
  return method_frame(self, [&](const Model& model) -> PyObject* {
    auto word = str_argument(key, "key");
    if (!word) return nullptr;
    if (PyObject* v = vector_of(model, *word)) return v;
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  });
}

constexpr Signature kGet{"get", "word, default=None, /", Bound::Instance};

PyObject* embeddings_get(const Model& model, const ArgumentSlots& slots) {
  auto word = str_argument(slots[kGet.slot("word")], "word");
  if (!word) return nullptr;
  if (PyObject* v = vector_of(model, *word)) return v;
  if (PyErr_Occurred()) return nullptr;
  return Py_NewRef(slots[kGet.slot("default")]);
}

constexpr Signature kEmbedding{"embedding", "word, out=None", Bound::Instance};

PyObject* embeddings_embedding(const Model& model, const ArgumentSlots& slots) {
  PyObject* const out = slots[kEmbedding.slot("out")];
  auto word = str_argument(slots[kEmbedding.slot("word")], "word");
  if (!word) return nullptr;
  if (out == Py_None) {
    if (PyObject* v = vector_of(model, *word)) return v;
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  }
  auto target = vector_target(out, model.dims());
  if (!target) return nullptr;
  if (!model.embeddings.fill_embedding(*word, *target, NormOrder::Contiguous)) Py_RETURN_NONE;
  return Py_NewRef(out);
}

constexpr Signature kIndex{"index", "word, /", Bound::Instance};

PyObject* embeddings_index(const Model& model, const ArgumentSlots& slots) {
  PyObject* key = slots[kIndex.slot("word")];
  auto word = str_argument(key, "word");
  if (!word) return nullptr;
  if (auto row = model.embeddings.vocab().words().find(*word)) return PyLong_FromSize_t(*row);
  PyErr_SetObject(PyExc_KeyError, key);
  return nullptr;
}

constexpr Signature kEmbed{"embed", "words, out=None, *, threads=None", Bound::Instance};

PyObject* embeddings_embed(const Model& model, const ArgumentSlots& slots) {
  PyObject *const words_arg = slots[kEmbed.slot("words")], *const out_arg = slots[kEmbed.slot("out")];
  auto threads = thread_count_argument(slots[kEmbed.slot("threads")]);
  if (!threads) return nullptr;
  // The words are held by this tuple while the lock is released: the
  // caller's list may change meanwhile, the tuple cannot.
  PyRef words = PyRef::steal(PySequence_Tuple(words_arg));
  if (!words) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Format(PyExc_TypeError, "words must be an iterable of str, not %s",
                   py::TypeName(words_arg).c_str());
    }
    return nullptr;
  }
  const std::size_t n = static_cast<std::size_t>(PyTuple_Size(words.get()));
  std::vector<std::string_view> texts;
  texts.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GetItem(words.get(), static_cast<Py_ssize_t>(i));
    auto text = str_item(item, "words", i);
    if (!text) return nullptr;
    texts.push_back(*text);
  }
  PyRef out;
  if (out_arg == Py_None) {
    out = PyRef::steal(new_matrix(n, model.dims()));
  } else {
    if (!check_matrix_target(out_arg, n, model.dims())) return nullptr;
    out = PyRef::borrow(out_arg);
  }
  if (!out) return nullptr;
  PyRef mask = PyRef::steal(new_mask(n));
  if (!mask) return nullptr;
  const TargetMatrix view = matrix_view(out.get());
  bool* found = static_cast<bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(mask.get())));
  without_gil([&] { fill_embeddings(model.embeddings, texts, view, found, *threads); });
  return PyTuple_Pack(2, out.get(), mask.get());
}

// The pooling of a model's settings (none for word vectors), with
// `normalize` and `max_length` given as arguments (None: the model's).
bool pooling_options(const Model& model, PyObject* normalize, PyObject* max_length, PoolingOptions& options) {
  if (model.static_facts) {
    const StaticSettings& settings = model.static_facts->settings;
    options.unknown_id = settings.unknown_id;
    options.normalize = settings.normalize;
    options.max_tokens = settings.max_length.value_or(SIZE_MAX);
  }
  if (normalize != Py_None) {
    const int on = PyObject_IsTrue(normalize);
    if (on < 0) return false;
    options.normalize = on != 0;
  }
  if (max_length != Py_None) {
    auto limit = count_argument(max_length, "max_length");
    if (!limit) return false;
    options.max_tokens = *limit;
  }
  return true;
}

// The float32 (rows, dims) array to fill: `out` when given (checked), a new
// one for None.
PyRef output_matrix(PyObject* out, std::size_t rows, std::size_t dims) {
  if (out == Py_None) return PyRef::steal(new_matrix(rows, dims));
  if (!check_matrix_target(out, rows, dims)) return PyRef();
  return PyRef::borrow(out);
}

// _pool(ids, offsets, out, normalize, max_length, threads, /) -> out: the
// vectors of texts already tokenized (text i has the uint32 token ids
// ids[offsets[i], offsets[i + 1]), offsets uint64), pooled as the model
// pools (static/pooling.hpp). `normalize` and `max_length` None take the
// model's settings. mave/_embeddings.py builds the arrays with their exact
// dtypes; the checks keep a wrong call from reading out of bounds.
constexpr Signature kPool{"_pool", "ids, offsets, out, normalize, max_length, threads, /", Bound::Instance};

PyObject* embeddings_pool(const Model& model, const ArgumentSlots& slots) {
  std::vector<std::uint32_t> ids;
  std::vector<std::uint64_t> offsets;
  std::size_t shape = 0;
  if (!copy_array_argument(slots[kPool.slot("ids")], NPY_UINT32, 1, "ids", ids, &shape) ||
      !copy_array_argument(slots[kPool.slot("offsets")], NPY_UINT64, 1, "offsets", offsets, &shape)) {
    return nullptr;
  }
  bool offsets_ok = !offsets.empty() && offsets.back() <= ids.size();
  for (std::size_t i = 1; offsets_ok && i < offsets.size(); ++i) offsets_ok = offsets[i - 1] <= offsets[i];
  if (!offsets_ok) {
    PyErr_SetString(PyExc_ValueError, "offsets do not fit the ids");
    return nullptr;
  }
  const std::size_t rows = model.embeddings.storage().rows();
  for (std::uint32_t id : ids) {
    if (id >= rows) {
      PyErr_Format(PyExc_ValueError, "token id %u is not below the %zu rows", id, rows);
      return nullptr;
    }
  }
  PoolingOptions options;
  if (!pooling_options(model, slots[kPool.slot("normalize")], slots[kPool.slot("max_length")], options)) {
    return nullptr;
  }
  auto threads = thread_count_argument(slots[kPool.slot("threads")]);
  if (!threads) return nullptr;
  PyRef out = output_matrix(slots[kPool.slot("out")], offsets.size() - 1, model.dims());
  if (!out) return nullptr;
  const TargetMatrix view = matrix_view(out.get());
  without_gil([&] { pool_token_ids(model.embeddings.storage(), ids, offsets, options, view, *threads); });
  return out.release();
}

// The core's tokenizer of a static model, read on first use: the tokenizer
// when it tokenizes every component of the model's file, null when the
// tokenizers package must (the Python side then tokenizes); none, with the
// exception set, when tokenizer.json cannot be read.
std::optional<const Tokenizer*> core_tokenizer(const Model& model) {
  if (!model.static_facts) {
    PyErr_SetString(PyExc_TypeError, "only a static model has a tokenizer");
    return std::nullopt;
  }
  const LazyTokenizer& lazy = *model.static_facts->tokenizer;
  const Result<Tokenizer, FileFailure>& read = *without_gil([&] { return &lazy.get(); });
  if (!read.ok()) {
    raise_error(read.error().path, read.error().error);
    return std::nullopt;
  }
  const Tokenizer& tokenizer = read.value();
  if (tokenizer.vocab_size() != model.n_words()) {
    // The vocabulary was read from the same file: the two readers disagree.
    raise_error(model.static_facts->tokenizer_path,
                EmbeddingsError::static_model(StaticFault::TokenizerSize, {}, model.n_words(),
                                              tokenizer.vocab_size()));
    return std::nullopt;
  }
  if (!tokenizer.unsupported().empty()) return nullptr;
  return &tokenizer;
}

// The core's tokenizer of a static model whose texts it tokenizes; null,
// with the exception set, otherwise.
const Tokenizer* native_tokenizer(const Model& model) {
  auto tokenizer = core_tokenizer(model);
  if (tokenizer && *tokenizer == nullptr) {
    PyErr_SetString(PyExc_ValueError, "this model's tokenizer.json is tokenized by the tokenizers package");
  }
  return tokenizer ? *tokenizer : nullptr;
}

// _tokenizer_info() -> dict: "path" ("native": the core tokenizes the
// model's texts; "tokenizers": the tokenizers package does, for a component
// the core does not tokenize), "unsupported" (that component, or "") and
// "describe" (the model kind and each component, one line). Reads
// tokenizer.json the first time.
constexpr Signature kTokenizerInfo{"_tokenizer_info", "", Bound::Instance};

PyObject* embeddings_tokenizer_info(const Model& model, const ArgumentSlots&) {
  auto tokenizer = core_tokenizer(model);
  if (!tokenizer) return nullptr;
  const Tokenizer& t = model.static_facts->tokenizer->get().value();
  PyRef unsupported = PyRef::steal(str_from_utf8(t.unsupported()));
  PyRef describe = PyRef::steal(str_from_utf8(t.describe()));
  if (!unsupported || !describe) return nullptr;
  return Py_BuildValue("{sssOsO}", "path", *tokenizer != nullptr ? "native" : "tokenizers", "unsupported",
                       unsupported.get(), "describe", describe.get());
}

// _encode(texts, out, normalize, max_length, threads, /) -> out: encode() of
// a static model whose texts the core tokenizes (the Python side checks the
// arguments' types and asks _tokenizer_info first). `normalize` and
// `max_length` None take the model's settings.
constexpr Signature kEncode{"_encode", "texts, out, normalize, max_length, threads, /", Bound::Instance};

PyObject* embeddings_encode(const Model& model, const ArgumentSlots& slots) {
  const Tokenizer* tokenizer = native_tokenizer(model);
  if (tokenizer == nullptr) return nullptr;
  std::vector<std::string_view> texts;
  PyRef held = str_sequence(slots[kEncode.slot("texts")], "texts", texts);
  if (!held) return nullptr;
  EncodeOptions options;
  options.chars_per_token = model.static_facts->settings.chars_per_token;
  if (!pooling_options(model, slots[kEncode.slot("normalize")], slots[kEncode.slot("max_length")],
                       options.pooling)) {
    return nullptr;
  }
  auto threads = thread_count_argument(slots[kEncode.slot("threads")]);
  if (!threads) return nullptr;
  PyRef out = output_matrix(slots[kEncode.slot("out")], texts.size(), model.dims());
  if (!out) return nullptr;
  const TargetMatrix view = matrix_view(out.get());
  without_gil([&] { encode_texts(*tokenizer, model.embeddings.storage(), texts, options, view, *threads); });
  return out.release();
}

// _count_tokens(texts, threads, /) -> int64 array: the ids of each whole
// text under the core's tokenizer (as _encode).
constexpr Signature kCountTokens{"_count_tokens", "texts, threads, /", Bound::Instance};

PyObject* embeddings_count_tokens(const Model& model, const ArgumentSlots& slots) {
  const Tokenizer* tokenizer = native_tokenizer(model);
  if (tokenizer == nullptr) return nullptr;
  std::vector<std::string_view> texts;
  PyRef held = str_sequence(slots[kCountTokens.slot("texts")], "texts", texts);
  if (!held) return nullptr;
  auto threads = thread_count_argument(slots[kCountTokens.slot("threads")]);
  if (!threads) return nullptr;
  PyRef counts = PyRef::steal(new_int64_matrix(texts.size(), 1));
  if (!counts) return nullptr;
  auto* data = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(counts.get())));
  without_gil([&] { count_tokens(*tokenizer, texts, data, *threads); });
  return counts.release();
}

constexpr Signature kReconstruct{"reconstruct", "rows=None", Bound::Instance};

PyObject* embeddings_reconstruct(const Model& model, const ArgumentSlots& slots) {
  const Storage& storage = model.embeddings.storage();
  std::vector<std::uint64_t> rows;
  PyObject* const wanted = slots[kReconstruct.slot("rows")];
  if (wanted == Py_None) {
    rows.resize(storage.rows());
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = i;
  } else if (!row_indices_argument(wanted, storage.rows(), rows)) {
    return nullptr;
  }
  PyRef out = PyRef::steal(new_matrix(rows.size(), model.dims()));
  if (!out) return nullptr;
  auto* data = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
  without_gil([&] {
    for (std::size_t k = 0; k < rows.size(); ++k) {
      storage.row_into(static_cast<std::size_t>(rows[k]), data + k * model.dims());
    }
  });
  return out.release();
}

// _search(questions, k, n_rows, allowed, cosmul, threads) -> (rows, scores):
// the search behind similar(), analogy(), nearest() and the evaluations.
// `questions` (a Questions object) was checked when it was made; here only
// what ties it and the candidates to this model: the terms' length, and the
// allowed flags (uint8 or None), one per word.
constexpr Signature kSearch{"_search", "questions, k, n_rows, allowed, cosmul, threads, /", Bound::Instance};

PyObject* embeddings_search(const Model& model, const ArgumentSlots& slots) {
  const std::size_t dims = model.dims();
  // Held by the caller's reference for the call, and immutable.
  const SearchQuestions* questions = search_questions(slots[kSearch.slot("questions")]);
  if (questions == nullptr) return nullptr;
  if (questions->dims != dims) {
    PyErr_Format(PyExc_ValueError, "terms have %zu columns, but the vectors have %zu", questions->dims, dims);
    return nullptr;
  }
  auto k = count_argument(slots[kSearch.slot("k")], "k");
  if (!k) return nullptr;
  auto n_rows = count_argument(slots[kSearch.slot("n_rows")], "n_rows");
  if (!n_rows) return nullptr;
  *n_rows = std::min(*n_rows, model.n_words());
  std::vector<std::uint8_t> allowed;
  if (PyObject* flags = slots[kSearch.slot("allowed")]; flags != Py_None) {
    std::size_t shape = 0;
    if (!copy_array_argument(flags, NPY_UINT8, 1, "allowed", allowed, &shape)) return nullptr;
    if (allowed.size() != model.n_words()) {
      PyErr_Format(PyExc_ValueError, "allowed has %zu flags for %zu words", allowed.size(), model.n_words());
      return nullptr;
    }
  }
  const int cosmul = PyObject_IsTrue(slots[kSearch.slot("cosmul")]);
  if (cosmul < 0) return nullptr;
  auto threads = thread_count_argument(slots[kSearch.slot("threads")]);
  if (!threads) return nullptr;
  const std::size_t n_questions = questions->count();
  PyRef rows = PyRef::steal(new_int64_matrix(n_questions, *k));
  if (!rows) return nullptr;
  PyRef scores = PyRef::steal(new_matrix(n_questions, *k));
  if (!scores) return nullptr;
  auto* rows_data = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rows.get())));
  auto* scores_data = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(scores.get())));
  if (dims == 0) {
    // No direction in vectors without columns: nothing answers. (The core
    // cannot count terms of no length; it answers none of them.)
    std::fill_n(rows_data, n_questions * *k, std::int64_t{-1});
    std::fill_n(scores_data, n_questions * *k, std::numeric_limits<float>::quiet_NaN());
    return PyTuple_Pack(2, rows.get(), scores.get());
  }
  const SearchOptions options{*k, *n_rows, allowed, cosmul ? Objective::CosMul : Objective::Cosine, *threads};
  without_gil([&] { model.search.search(questions->view(), options, rows_data, scores_data); });
  return PyTuple_Pack(2, rows.get(), scores.get());
}

PyObject* embeddings_iter(PyObject* self) {
  PyRef words = PyRef::steal(new_words(self));
  if (!words) return nullptr;
  return PyObject_GetIter(words.get());
}

PyMethodDef g_methods[] = {
    {"get", as_cfunction(method<kGet, embeddings_get>), METH_FASTCALL | METH_KEYWORDS,
     "The vector of `word` as a new float32 array, or `default` when it has none.\n\n"
     "Example: e.get(\"sofware\") composes a vector from character n-grams."},
    {"embedding", as_cfunction(method<kEmbedding, embeddings_embedding>), METH_FASTCALL | METH_KEYWORDS,
     "Writes the vector of `word` into `out` (a writeable float32 array of shape\n"
     "(dims,), any stride) and returns it; a new array when `out` is None; None when\n"
     "the string has no vector (`out` is then untouched).\n\n"
     "Raises TypeError or ValueError for an unsuitable `out`.\n\n"
     "Example: e.embedding(\"house\", out)"},
    {"index", as_cfunction(method<kIndex, embeddings_index>), METH_FASTCALL | METH_KEYWORDS,
     "The row of a vocabulary word; KeyError for any other string.\n\n"
     "Example: e.words[e.index(\"house\")] == \"house\""},
    {"embed", as_cfunction(method<kEmbed, embeddings_embed, Lock::Released>), METH_FASTCALL | METH_KEYWORDS,
     "The vectors of many strings: a (len(words), dims) float32 array and a bool\n"
     "array telling which strings had a vector (rows without one are zeros).\n\n"
     "`words` is any sequence or iterable of str; `out` a writeable float32 array of\n"
     "that shape (any strides). The interpreter lock is released while the work\n"
     "runs; `threads` (None: by the size of the batch, up to one per core) spreads\n"
     "it. Raises TypeError for a non-str (naming its position) or an unsuitable\n"
     "`out`, ValueError for a wrong shape.\n\n"
     "Example: vectors, found = e.embed(text.split())"},
    {"reconstruct", as_cfunction(method<kReconstruct, embeddings_reconstruct, Lock::Released>),
     METH_FASTCALL | METH_KEYWORDS,
     "A new float32 array of storage rows (an int or a sequence of ints, negative\n"
     "ones from the end; all rows when None), rebuilt for a quantized matrix.\n\n"
     "Example: e.reconstruct([0, 1]).shape == (2, e.dims)"},
    {"_tokenizer_info", as_cfunction(method<kTokenizerInfo, embeddings_tokenizer_info, Lock::Released>),
     METH_FASTCALL | METH_KEYWORDS, "Which tokenizer a static model's texts take, read on first use."},
    {"_encode", as_cfunction(method<kEncode, embeddings_encode, Lock::Released>),
     METH_FASTCALL | METH_KEYWORDS, "encode() of a static model whose texts the core tokenizes."},
    {"_count_tokens", as_cfunction(method<kCountTokens, embeddings_count_tokens, Lock::Released>),
     METH_FASTCALL | METH_KEYWORDS, "The number of tokens of each whole text, under the core's tokenizer."},
    {"_pool", as_cfunction(method<kPool, embeddings_pool, Lock::Released>), METH_FASTCALL | METH_KEYWORDS,
     "The vectors of tokenized texts, pooled as the model pools (behind encode())."},
    {"_search", as_cfunction(method<kSearch, embeddings_search, Lock::Released>),
     METH_FASTCALL | METH_KEYWORDS, "The search behind similar(), analogy(), nearest() and the evaluations."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(embeddings_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(embeddings_dealloc)},
    {Py_tp_getset, g_getset},
    {Py_tp_methods, g_methods},
    {Py_tp_iter, reinterpret_cast<void*>(embeddings_iter)},
    {Py_mp_length, reinterpret_cast<void*>(embeddings_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(embeddings_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(embeddings_contains)},
    {Py_tp_doc, const_cast<char*>("The compiled base of mave.Embeddings.")},
    {0, nullptr},
};

PyType_Spec g_spec{"mave._native.Embeddings", sizeof(EmbeddingsObject), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, g_slots};

}  // namespace

PyTypeObject* embeddings_type() { return g_type; }

bool init_embeddings_type(PyObject* module) {
  g_type = add_type(module, "Embeddings", g_spec, g_methods,
                    {&kGet, &kEmbedding, &kIndex, &kEmbed, &kTokenizerInfo, &kEncode, &kCountTokens, &kPool,
                     &kReconstruct, &kSearch},
                    &kNew);
  return g_type != nullptr;
}

}  // namespace mave::native
