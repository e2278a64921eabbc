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
#include "python/native/arguments.hpp"
#include "python/native/convert.hpp"
#include "python/native/exceptions.hpp"
#include "python/native/numpy_api.hpp"
#include "python/helpers/stable_abi.hpp"

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
    PyObject* exception = failed ? py::take_raised_exception() : nullptr;
    PyGILState_Release(state);
    if (exception) throw PythonErrorPending{exception};
  };
}

// Where a failure belongs: reading the source or writing the destination.
struct Failure {
  std::string path;
  EmbeddingsError error;
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
  if (!file.ok()) return EmbeddingsError::read(Step::OpenFile, std::move(file).error());
  auto opened = open_decompressed(std::move(file).value(), options.member, kConvertBufferBytes);
  if (!opened.ok()) return EmbeddingsError::read(Step::ReadEmbeddings, std::move(opened).error());
  BufferedReader& r = opened.value();
  switch (format) {
    case Format::FinalFusion: {
      if (!r.file().is_open()) {
        return EmbeddingsError(ErrorCode::CompressedFinalFusion);
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
      panic(PanicKind::NormsCount, PanicFacts::values(norms->values.size(), e.vocab().n_words()));
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
      return EmbeddingsError(ErrorCode::Unwritable)
          .with_detail("only a file of the floret vocabulary kind can be written as a floret table");
    case Format::FastText:
      break;
  }
  panic(PanicKind::NotWritable);
}

// Writes through `write` into a temporary file beside `path` and renames it
// there when complete; on failure the temporary file is removed.
template <class Write>
std::optional<Failure> write_atomically(const std::string& path, Write&& write) {
  auto output = AtomicOutput::create(path, kConvertBufferBytes);
  if (!output.ok()) {
    return Failure{path, EmbeddingsError::write(Step::CreateFile, std::move(output).error())};
  }
  if (Status written = write(output.value().writer()); !written.ok()) {
    return Failure{path, std::move(written).error()};
  }
  if (auto committed = output.value().commit(); !committed.ok()) {
    return Failure{path, EmbeddingsError::write(Step::WriteFile, std::move(committed).error())};
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
      py::raise_exception(pending.exception);
    } catch (...) {
      raise_in_flight(path);
    }
  }
};

void raise_failure(const Failure& failure) {
  raise_error(failure.path, failure.error);
}

// A format named by its str.
std::optional<Format> format_argument(PyObject* obj, const char* what) {
  auto name = str_argument(obj, what);
  if (!name) return std::nullopt;
  auto format = format_named(*name);
  if (!format) PyErr_Format(PyExc_ValueError, "%s names no format: %R", what, obj);
  return format;
}

constexpr Signature kConvert{"convert",
                             "src, src_format, dst, dst_format, normalize, progress, *, errors=None, "
                             "limit=None, member=None",
                             Bound::Module};

// The paths are str, bytes or os.PathLike; progress a callable or None;
// errors "strict" (None), "replace" or "ignore"; limit an int of at least 0
// or None (all); member the str name of a zip archive's file, or None.
// Returns how many words were dropped.
PyObject* convert(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::ArgumentSlots slots;
  if (!kConvert.parse(args, nargs, kwnames, slots)) return nullptr;
  const auto src_path = fs_path_argument(slots[0]);
  if (!src_path) return nullptr;
  const auto src_format = format_argument(slots[1], "src_format");
  if (!src_format) return nullptr;
  const auto dst_path = fs_path_argument(slots[2]);
  if (!dst_path) return nullptr;
  const auto dst_format = format_argument(slots[3], "dst_format");
  if (!dst_format) return nullptr;
  if (*dst_format == Format::FastText) {
    PyErr_SetString(PyExc_ValueError, "fastText models are read, not written");
    return nullptr;
  }
  const int normalize = PyObject_IsTrue(slots[4]);
  if (normalize < 0) return nullptr;
  PyObject* progress = slots[5];
  SourceOptions options;
  if (slots[6] != Py_None) {
    const auto errors = str_argument(slots[6], "errors");
    if (!errors) return nullptr;
    if (*errors == "strict") {
      options.read.errors = Utf8Errors::Strict;
    } else if (*errors == "replace") {
      options.read.errors = Utf8Errors::Replace;
    } else if (*errors == "ignore") {
      options.read.errors = Utf8Errors::Ignore;
    } else {
      PyErr_Format(PyExc_ValueError, "errors must be strict, replace or ignore, not %R", slots[6]);
      return nullptr;
    }
  }
  if (slots[7] != Py_None) {
    if (!PyLong_Check(slots[7]) || PyBool_Check(slots[7])) {
      PyErr_Format(PyExc_TypeError, "limit must be int or None, not %s", py::TypeName(slots[7]).c_str());
      return nullptr;
    }
    int overflow = 0;
    const long long limit = PyLong_AsLongLongAndOverflow(slots[7], &overflow);
    if (limit == -1 && PyErr_Occurred()) return nullptr;
    if (overflow < 0 || (overflow == 0 && limit < 0)) {
      PyErr_Format(PyExc_ValueError, "limit must be at least 0, not %R", slots[7]);
      return nullptr;
    }
    // Beyond a long long: more words than any file holds.
    if (overflow == 0) options.read.limit = static_cast<std::uint64_t>(limit);
  }
  if (slots[8] != Py_None) {
    const auto member = str_argument(slots[8], "member");
    if (!member) return nullptr;
    options.member = std::string(*member);
  }
  std::size_t dropped_words = 0;
  const std::string& src = *src_path;
  const std::string& dst = *dst_path;
  const Progress read_progress = python_progress(progress, "read");
  const Progress write_progress = python_progress(progress, "write");
  return py::call_frame(
      [&]() -> PyObject* {
        std::optional<Failure> failure = py::without_gil([&]() -> std::optional<Failure> {
          auto source = read_source(src, *src_format, normalize != 0, read_progress, options, dropped_words);
          if (!source.ok()) {
            return Failure{src, std::move(source).error()};
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

constexpr Signature kWrite{"write", "path, words, matrix, norms, metadata, normalize, progress",
                           Bound::Module};

// words: list[str]; matrix: float32 C-contiguous (n, dims); norms: float32
// (n,) or None; metadata as metadata_argument takes it.
PyObject* write(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::ArgumentSlots slots;
  if (!kWrite.parse(args, nargs, kwnames, slots)) return nullptr;
  const auto dst_path = fs_path_argument(slots[0]);
  if (!dst_path) return nullptr;
  PyObject *words_obj = slots[1], *matrix_obj = slots[2], *norms_obj = slots[3],
           *metadata_obj = slots[4], *progress = slots[6];
  const int normalize = PyObject_IsTrue(slots[5]);
  if (normalize < 0) return nullptr;
  if (!PyList_Check(words_obj) || !PyArray_Check(matrix_obj) ||
      (norms_obj != Py_None && !PyArray_Check(norms_obj))) {
    PyErr_SetString(PyExc_TypeError, "write: words must be a list, matrix and norms arrays");
    return nullptr;
  }
  auto* matrix = reinterpret_cast<PyArrayObject*>(matrix_obj);
  auto* norms = norms_obj == Py_None ? nullptr : reinterpret_cast<PyArrayObject*>(norms_obj);
  const std::size_t n = static_cast<std::size_t>(PyList_Size(words_obj));
  if (PyArray_NDIM(matrix) != 2 || PyArray_TYPE(matrix) != NPY_FLOAT32 ||
      !PyArray_IS_C_CONTIGUOUS(matrix) || static_cast<std::size_t>(PyArray_DIM(matrix, 0)) != n ||
      (norms && (PyArray_NDIM(norms) != 1 || PyArray_TYPE(norms) != NPY_FLOAT32 ||
                 !PyArray_IS_C_CONTIGUOUS(norms) || static_cast<std::size_t>(PyArray_DIM(norms, 0)) != n))) {
    PyErr_SetString(PyExc_ValueError, "write: arrays of the wrong kind");
    return nullptr;
  }
  const std::string& dst = *dst_path;
  return py::call_frame(
      [&]() -> PyObject* {
        std::optional<Metadata> metadata;
        if (!metadata_argument(metadata_obj, metadata)) return nullptr;
        WordList words;
        words.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
          auto text = str_item(PyList_GetItem(words_obj, static_cast<Py_ssize_t>(i)), "words", i);
          if (!text) return nullptr;
          words.push_back(*text);
        }
        if (words.build_index() != n) {
          for (std::size_t i = 0; i < n; ++i) {
            const std::size_t last = *words.find(words[i]);
            if (last != i) {
              PyErr_Format(PyExc_ValueError, "words repeat %R (at %zu and %zu)",
                           PyList_GetItem(words_obj, static_cast<Py_ssize_t>(i)), i, last);
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
    {"convert", as_cfunction(convert), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"write", as_cfunction(write), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool init_convert(PyObject* module) {
  static const bool documented = (add_signature_lines(g_functions, {&kConvert, &kWrite}), true);
  (void)documented;
  return PyModule_AddFunctions(module, g_functions) == 0;
}

}  // namespace mave::native
