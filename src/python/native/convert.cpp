// mave._native.convert and mave._native.write: every reader to every writer,
// and a finalfusion file from a NumPy matrix. The mave package checks and
// normalises the arguments (mave/_convert.py); these functions do the work
// with the interpreter lock released, taking it back only to report
// progress and to notice Ctrl-C.
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "base/vector_math.hpp"
#include "compress/decompress.hpp"
#include "fasttext/fasttext.hpp"
#include "format/embeddings.hpp"
#include "importers/atomic_output.hpp"
#include "importers/floret_text.hpp"
#include "importers/word2vec.hpp"
#include "python/helpers/errors.hpp"
#include "python/helpers/pyref.hpp"
#include "python/helpers/without_gil.hpp"
#include "python/native/convert.hpp"
#include "python/native/exceptions.hpp"
#include "python/native/numpy_api.hpp"

namespace mave::native {
namespace {

using py::PyRef;

// Large sequential reads and writes: fewer system calls on files of gigabytes.
constexpr std::size_t kConvertBufferBytes = std::size_t{1} << 20;

enum class Format { FinalFusion, FastText, Word2Vec, Text, GloVe, Floret };

std::optional<Format> format_named(std::string_view name) {
  if (name == "finalfusion") return Format::FinalFusion;
  if (name == "fasttext") return Format::FastText;
  if (name == "word2vec") return Format::Word2Vec;
  if (name == "text") return Format::Text;
  if (name == "glove") return Format::GloVe;
  if (name == "floret") return Format::Floret;
  return std::nullopt;
}

// A Python exception raised by the progress callback (or a signal), carried
// out of the lock-free work to the call frame, which raises it again.
struct PythonErrorPending {
  PyObject* exception;  // owned; handed back to the interpreter by the frame
};

// Reports progress to a Python callable `progress(phase, done, total)` (or
// None), and checks for signals so that Ctrl-C stops a long conversion.
// Called without the interpreter lock; takes it for the call.
Progress python_progress(PyObject* callable, const char* phase) {
  return [callable, phase](std::uint64_t done, std::uint64_t total) {
    PyGILState_STATE state = PyGILState_Ensure();
    bool failed = PyErr_CheckSignals() < 0;
    if (!failed && callable != Py_None) {
      PyRef result = PyRef::steal(PyObject_CallFunction(callable, "sKK", phase,
                                                        static_cast<unsigned long long>(done),
                                                        static_cast<unsigned long long>(total)));
      failed = !result;
    }
    PyObject* exception = failed ? PyErr_GetRaisedException() : nullptr;
    PyGILState_Release(state);
    if (exception) throw PythonErrorPending{exception};
  };
}

// Where a failure belongs: reading the source or writing the destination.
// The importers' and exporters' Format errors say where and what in their
// own words ("line 3: ..."), shown without the generic display prefix.
struct Failure {
  std::string path;
  EmbeddingsError error;
  bool own_words = false;
};

// What the source became: the rows of a text or word2vec file (with their
// norms once scaled), or a finalfusion or fastText file as Embeddings.
struct Imported {
  ImportedEmbeddings embeddings;
  std::optional<std::vector<float>> norms;
};
using Source = std::variant<Imported, Embeddings>;

// How to read the source: the zip member, how to decode words, how many.
struct SourceOptions {
  std::string member;
  ReadOptions read;
};

Result<Source> read_source(const std::string& path, Format format, bool normalize,
                           const Progress& progress, const SourceOptions& options,
                           std::size_t& dropped_words) {
  auto file = File::open_read(path);
  if (!file.ok()) return EmbeddingsError::read("Cannot open file", std::move(file).error());
  auto opened = open_decompressed(std::move(file).value(), options.member, kConvertBufferBytes);
  if (!opened.ok()) return EmbeddingsError::read("Cannot read embeddings", std::move(opened).error());
  BufferedReader& r = opened.value();
  switch (format) {
    case Format::FinalFusion: {
      if (!r.file().is_open()) {
        return EmbeddingsError::format("a compressed finalfusion file cannot be memory-mapped; decompress it first");
      }
      MAVE_ASSIGN_OR_RETURN(Embeddings e, read_embeddings_mapped(r));
      return Source(std::move(e));
    }
    case Format::FastText: {
      MAVE_ASSIGN_OR_RETURN(FastTextImport imported, import_fasttext_model(r, {normalize, options.read.limit}));
      return Source(std::move(imported.embeddings));
    }
    case Format::Floret: {
      MAVE_ASSIGN_OR_RETURN(Embeddings e, read_floret_table(r, progress));
      return Source(std::move(e));
    }
    case Format::Word2Vec:
    case Format::Text:
    case Format::GloVe: break;
  }
  auto read = format == Format::Word2Vec
                  ? read_word2vec_binary(r, progress, options.read)
                  : read_text_embeddings(r, format == Format::Text ? TextLayout::WithHeader : TextLayout::GloVe,
                                         progress, options.read);
  if (!read.ok()) return std::move(read).error();
  dropped_words = read.value().dropped_words;
  Imported imported{std::move(read).value(), std::nullopt};
  if (normalize) {
    // In place: the matrix is held once.
    RowBlocks& m = imported.embeddings.matrix;
    imported.norms.emplace(m.rows());
    for (std::size_t i = 0; i < m.rows(); ++i) {
      (*imported.norms)[i] = scale_to_unit_norm(m.row_mut(i), m.cols(), /*contiguous=*/true);
    }
  }
  return Source(std::move(imported));
}

// Calls `tick` for each row a writer produces, so the writers of finalfusion
// files report progress as the exporters do.
RowFunction counted(RowFunction row, std::size_t rows, const Progress& progress) {
  return [row = std::move(row), rows, &progress, next = std::size_t{0}](std::size_t i, float* scratch) mutable {
    if (progress && (i >= next || i + 1 == rows)) {
      progress(i + 1, rows);
      next = i + 4096;
    }
    return row(i, scratch);
  };
}

// The rows of the vocabulary words of a finalfusion or fastText file as
// lookups give them, turned into the requested form: with `normalize` unit
// rows (a file with norms already holds them; other files' rows are scaled),
// without it the original vectors (row x norm where the file has norms).
struct WordRowForm {
  const Embeddings& e;
  bool normalize;
  // Filled when rows are scaled here: the norms to write.
  std::vector<float>* computed_norms;

  const float* operator()(std::size_t i, float* scratch) const {
    const Storage& s = e.storage();
    const std::size_t n = s.cols();
    const float* stored = s.dense_row(i);
    if (stored == nullptr) {
      s.row_into(i, scratch);
      stored = scratch;
    }
    const auto& norms = e.norms();
    if (normalize && norms) return stored;
    if (!normalize && !norms) return stored;
    if (stored != scratch) std::memcpy(scratch, stored, n * sizeof(float));
    if (normalize) {
      const float norm = scale_to_unit_norm(scratch, n, /*contiguous=*/true);
      if (computed_norms) (*computed_norms)[i] = norm;
      return scratch;
    }
    if (i >= norms->values.size()) {
      panic("the norms chunk holds " + std::to_string(norms->values.size()) + " norms for " +
            std::to_string(e.vocab().n_words()) + " words");
    }
    const float norm = norms->values[i];
    for (std::size_t j = 0; j < n; ++j) scratch[j] = scratch[j] * norm;
    return scratch;
  }
};

WordRows word_rows(const Source& source, bool normalize) {
  if (const auto* imported = std::get_if<Imported>(&source)) {
    const ImportedEmbeddings& e = imported->embeddings;
    return WordRows{e.words.size(), e.matrix.cols(),
                    [&e](std::size_t i) { return e.words[i]; },
                    [&e](std::size_t i, float*) { return e.matrix.row(i); }};
  }
  const Embeddings& e = std::get<Embeddings>(source);
  const WordList& words = e.vocab().words();
  return WordRows{words.size(), e.dims(), [&words](std::size_t i) { return words[i]; },
                  WordRowForm{e, normalize, nullptr}};
}

// Moves the words of an imported source into the vocabulary it writes.
Status write_finalfusion(BufferedWriter& w, Source& source, bool normalize,
                         const Progress& progress) {
  if (auto* imported = std::get_if<Imported>(&source)) {
    ImportedEmbeddings& e = imported->embeddings;
    const Vocab vocab{SimpleVocab{std::move(e.words)}};
    const RowBlocks& m = e.matrix;
    RowFunction rows = counted([&m](std::size_t i, float*) { return m.row(i); }, m.rows(), progress);
    std::optional<std::span<const float>> norms;
    if (imported->norms) norms = std::span<const float>(*imported->norms);
    return write_embeddings_file(
        w, std::nullopt, vocab, ChunkIdentifier::NdArray,
        [&](BufferedWriter& out) { return write_nd_array(out, m.rows(), m.cols(), rows); }, norms);
  }
  // A finalfusion or fastText file keeps its vocabulary (subwords included)
  // and metadata; its word rows take the requested form, the rows beyond the
  // words (subword rows) are carried over as stored, and a quantized matrix
  // is written dense.
  const Embeddings& e = std::get<Embeddings>(source);
  const Storage& s = e.storage();
  const std::size_t n_words = std::min(e.vocab().n_words(), s.rows());
  std::vector<float> computed(normalize && !e.norms() ? e.vocab().n_words() : 0);
  const WordRowForm form{e, normalize, &computed};
  RowFunction rows = counted(
      [&](std::size_t i, float* scratch) -> const float* {
        if (i < n_words) return form(i, scratch);
        if (const float* stored = s.dense_row(i)) return stored;
        s.row_into(i, scratch);
        return scratch;
      },
      s.rows(), progress);
  std::optional<std::span<const float>> norms;
  if (normalize) {
    // Filled while the matrix is written, before the norms chunk follows it.
    norms = e.norms() ? std::span<const float>(e.norms()->values) : std::span<const float>(computed);
  }
  return write_embeddings_file(
      w, e.metadata(), e.vocab(), ChunkIdentifier::NdArray,
      [&](BufferedWriter& out) { return write_nd_array(out, s.rows(), s.cols(), rows); }, norms);
}

Status write_destination(BufferedWriter& w, Source& source, Format format, bool normalize,
                         const Progress& progress) {
  switch (format) {
    case Format::FinalFusion:
      return write_finalfusion(w, source, normalize, progress);
    case Format::Word2Vec:
      return write_word2vec_binary(w, word_rows(source, normalize), progress);
    case Format::Text:
      return write_text_embeddings(w, word_rows(source, normalize), TextLayout::WithHeader, progress);
    case Format::GloVe:
      return write_text_embeddings(w, word_rows(source, normalize), TextLayout::GloVe, progress);
    case Format::Floret:
      if (const auto* e = std::get_if<Embeddings>(&source)) return write_floret_table(w, *e, progress);
      return EmbeddingsError::format("only a file of the floret vocabulary kind can be written as a floret table");
    case Format::FastText:
      break;
  }
  panic("fastText models are read, not written");
}

// Writes through `write` into a temporary file beside `path` and renames it
// there when complete; on failure the temporary file is removed.
template <class Write>
std::optional<Failure> write_atomically(const std::string& path, Write&& write) {
  auto output = AtomicOutput::create(path, kConvertBufferBytes);
  if (!output.ok()) {
    return Failure{path, EmbeddingsError::write("Cannot create file", std::move(output).error())};
  }
  if (Status written = write(output.value().writer()); !written.ok()) {
    return Failure{path, std::move(written).error(), true};
  }
  if (auto committed = output.value().commit(); !committed.ok()) {
    return Failure{path, EmbeddingsError::write("Cannot write file", std::move(committed).error())};
  }
  return std::nullopt;
}

// Translates the C++ exception in flight: a pending Python exception is
// raised again; an aborting failure of the core names the file being read.
struct TranslateConvert {
  std::string_view path;
  void operator()() const noexcept {
    try {
      throw;
    } catch (const PythonErrorPending& pending) {
      PyErr_SetRaisedException(pending.exception);
    } catch (...) {
      raise_in_flight(path);
    }
  }
};

void raise_failure(const Failure& failure) {
  if (failure.own_words && failure.error.variant() == EmbeddingsError::Variant::Format) {
    raise_format_error(failure.path, failure.error.text());
  } else {
    raise_read_error(failure.path, failure.error);
  }
}

std::string fs_path(PyObject* bytes) {
  return std::string(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

// convert(src: bytes, src_format: str, dst: bytes, dst_format: str,
//         normalize: bool, progress: callable | None, errors: str,
//         limit: int (-1: all), member: bytes) -> int (words dropped)
PyObject* convert(PyObject*, PyObject* args) {
  PyObject *src_obj, *dst_obj, *progress, *member_obj;
  const char *src_format_name, *dst_format_name, *errors_name;
  int normalize;
  long long limit;
  if (!PyArg_ParseTuple(args, "O!sO!spOsLO!:convert", &PyBytes_Type, &src_obj, &src_format_name,
                        &PyBytes_Type, &dst_obj, &dst_format_name, &normalize, &progress, &errors_name,
                        &limit, &PyBytes_Type, &member_obj)) {
    return nullptr;
  }
  SourceOptions options;
  options.member = fs_path(member_obj);
  const std::string_view errors(errors_name);
  if (errors == "strict") {
    options.read.errors = Utf8Errors::Strict;
  } else if (errors == "replace") {
    options.read.errors = Utf8Errors::Replace;
  } else if (errors == "ignore") {
    options.read.errors = Utf8Errors::Ignore;
  } else {
    PyErr_SetString(PyExc_ValueError, "unknown errors setting");
    return nullptr;
  }
  if (limit >= 0) options.read.limit = static_cast<std::uint64_t>(limit);
  std::size_t dropped_words = 0;
  const auto src_format = format_named(src_format_name);
  const auto dst_format = format_named(dst_format_name);
  if (!src_format || !dst_format || *dst_format == Format::FastText) {
    PyErr_SetString(PyExc_ValueError, "unknown conversion formats");
    return nullptr;
  }
  const std::string src = fs_path(src_obj), dst = fs_path(dst_obj);
  const Progress read_progress = python_progress(progress, "read");
  const Progress write_progress = python_progress(progress, "write");
  return py::call_frame(
      [&]() -> PyObject* {
        std::optional<Failure> failure = py::without_gil([&]() -> std::optional<Failure> {
          auto source = read_source(src, *src_format, normalize != 0, read_progress, options, dropped_words);
          if (!source.ok()) {
            const bool imported = *src_format != Format::FinalFusion && *src_format != Format::FastText;
            return Failure{src, std::move(source).error(), imported};
          }
          return write_atomically(dst, [&](BufferedWriter& w) {
            return write_destination(w, source.value(), *dst_format, normalize != 0, write_progress);
          });
        });
        if (failure) {
          raise_failure(*failure);
          return nullptr;
        }
        return PyLong_FromSize_t(dropped_words);
      },
      TranslateConvert{src});
}

// The metadata argument of write: None, TOML text, or a list of (key, value)
// pairs with int, float or str values. Raises and returns false on refusal.
bool metadata_argument(PyObject* obj, std::optional<Metadata>& out) {
  if (obj == Py_None) return true;
  if (PyUnicode_Check(obj)) {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) return false;
    auto parsed = Metadata::parse(std::string_view(text, static_cast<std::size_t>(size)));
    if (!parsed.ok()) {
      PyErr_Format(PyExc_ValueError, "metadata is not TOML: %s", reason_text(parsed.error()).c_str());
      return false;
    }
    out = std::move(parsed).value();
    return true;
  }
  if (!PyList_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "metadata must be None, str or a list of (key, value) pairs");
    return false;
  }
  std::vector<std::pair<std::string, Metadata::Value>> entries;
  const Py_ssize_t n = PyList_GET_SIZE(obj);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(obj, i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      PyErr_SetString(PyExc_TypeError, "metadata must be None, str or a list of (key, value) pairs");
      return false;
    }
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    Py_ssize_t key_size;
    const char* key_data = PyUnicode_AsUTF8AndSize(key, &key_size);
    if (key_data == nullptr) return false;
    const std::string key_text(key_data, static_cast<std::size_t>(key_size));
    if (PyLong_Check(value)) {
      long long v = PyLong_AsLongLong(value);
      if (v == -1 && PyErr_Occurred()) return false;
      entries.emplace_back(key_text, Metadata::Value(static_cast<std::int64_t>(v)));
    } else if (PyFloat_Check(value)) {
      entries.emplace_back(key_text, Metadata::Value(PyFloat_AS_DOUBLE(value)));
    } else {
      Py_ssize_t size;
      const char* text = PyUnicode_AsUTF8AndSize(value, &size);
      if (text == nullptr) return false;
      entries.emplace_back(key_text, Metadata::Value(std::string(text, static_cast<std::size_t>(size))));
    }
  }
  out = Metadata::from_entries(entries);
  return true;
}

// write(dst: bytes, words: list[str], matrix: float32 C-contiguous (n, dims),
//       norms: float32 (n,) | None, metadata, normalize: bool,
//       progress: callable | None) -> None
PyObject* write(PyObject*, PyObject* args) {
  PyObject *dst_obj, *words_obj, *matrix_obj, *norms_obj, *metadata_obj, *progress;
  int normalize;
  if (!PyArg_ParseTuple(args, "O!O!O!OOpO:write", &PyBytes_Type, &dst_obj, &PyList_Type, &words_obj,
                        &PyArray_Type, &matrix_obj, &norms_obj, &metadata_obj, &normalize, &progress)) {
    return nullptr;
  }
  auto* matrix = reinterpret_cast<PyArrayObject*>(matrix_obj);
  auto* norms = norms_obj == Py_None ? nullptr : reinterpret_cast<PyArrayObject*>(norms_obj);
  const std::size_t n = static_cast<std::size_t>(PyList_GET_SIZE(words_obj));
  if (PyArray_NDIM(matrix) != 2 || PyArray_TYPE(matrix) != NPY_FLOAT32 ||
      !PyArray_IS_C_CONTIGUOUS(matrix) || static_cast<std::size_t>(PyArray_DIM(matrix, 0)) != n ||
      (norms && (PyArray_NDIM(norms) != 1 || PyArray_TYPE(norms) != NPY_FLOAT32 ||
                 !PyArray_IS_C_CONTIGUOUS(norms) || static_cast<std::size_t>(PyArray_DIM(norms, 0)) != n))) {
    PyErr_SetString(PyExc_ValueError, "write: arrays of the wrong kind");
    return nullptr;
  }
  const std::string dst = fs_path(dst_obj);
  return py::call_frame(
      [&]() -> PyObject* {
        std::optional<Metadata> metadata;
        if (!metadata_argument(metadata_obj, metadata)) return nullptr;
        WordList words;
        words.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
          PyObject* word = PyList_GET_ITEM(words_obj, static_cast<Py_ssize_t>(i));
          Py_ssize_t size;
          const char* text = PyUnicode_Check(word) ? PyUnicode_AsUTF8AndSize(word, &size) : nullptr;
          if (text == nullptr) {
            if (!PyErr_Occurred()) {
              PyErr_Format(PyExc_TypeError, "words must be str, not %s (word %zu)",
                           Py_TYPE(word)->tp_name, i);
            }
            return nullptr;
          }
          words.push_back(std::string_view(text, static_cast<std::size_t>(size)));
        }
        if (words.build_index() != n) {
          for (std::size_t i = 0; i < n; ++i) {
            const std::size_t last = *words.find(words[i]);
            if (last != i) {
              PyErr_Format(PyExc_ValueError, "words repeat %R (at %zu and %zu)",
                           PyList_GET_ITEM(words_obj, static_cast<Py_ssize_t>(i)), i, last);
              return nullptr;
            }
          }
        }
        const std::size_t cols = static_cast<std::size_t>(PyArray_DIM(matrix, 1));
        const float* data = static_cast<const float*>(PyArray_DATA(matrix));
        const Progress write_progress = python_progress(progress, "write");
        std::optional<Failure> failure = py::without_gil([&]() -> std::optional<Failure> {
          // With normalize each row is scaled on its way to the file; the
          // caller's matrix is not changed.
          std::vector<float> computed(normalize ? n : 0);
          RowFunction rows = counted(
              [&](std::size_t i, float* scratch) -> const float* {
                const float* row = data + i * cols;
                if (!normalize) return row;
                std::memcpy(scratch, row, cols * sizeof(float));
                computed[i] = scale_to_unit_norm(scratch, cols, /*contiguous=*/true);
                return scratch;
              },
              n, write_progress);
          std::optional<std::span<const float>> norm_values;
          if (normalize) norm_values = std::span<const float>(computed);
          if (norms) norm_values = std::span<const float>(static_cast<const float*>(PyArray_DATA(norms)), n);
          const Vocab vocab{SimpleVocab{std::move(words)}};
          return write_atomically(dst, [&](BufferedWriter& w) {
            return write_embeddings_file(
                w, metadata, vocab, ChunkIdentifier::NdArray,
                [&](BufferedWriter& out) { return write_nd_array(out, n, cols, rows); }, norm_values);
          });
        });
        if (failure) {
          raise_failure(*failure);
          return nullptr;
        }
        Py_RETURN_NONE;
      },
      TranslateConvert{dst});
}

PyMethodDef g_functions[] = {
    {"convert", convert, METH_VARARGS, nullptr},
    {"write", write, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool init_convert(PyObject* module) { return PyModule_AddFunctions(module, g_functions) == 0; }

}  // namespace mave::native
