// mave._native.convert, write, _write_rows, _write_quantized, _read_head and
// _write_atomic: the bindings of the conversion layer (src/convert). The mave
// package checks and normalises most arguments (mave/_convert.py,
// mave/_quantize.py); these functions run the work with the interpreter lock
// released, taking it back only to report progress and to notice Ctrl-C.
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "convert/conversion.hpp"
#include "python/helpers/errors.hpp"
#include "python/helpers/pyref.hpp"
#include "python/helpers/stable_abi.hpp"
#include "python/helpers/without_gil.hpp"
#include "python/native/arguments.hpp"
#include "python/native/arrays.hpp"
#include "python/native/convert.hpp"
#include "python/native/exceptions.hpp"
#include "python/native/model.hpp"
#include "python/native/numpy_api.hpp"

namespace mave::native {
namespace {

using py::PyRef;

// A Python exception raised by the progress callback (or a signal), carried
// out of the lock-free work to the call frame, which raises it again. On
// its way it unwinds through the output, which removes its temporary file.
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
      PyRef result =
          PyRef::steal(PyObject_CallFunction(callable, "sKK", phase, static_cast<unsigned long long>(done),
                                             static_cast<unsigned long long>(total)));
      failed = !result;
    }
    PyObject* exception = failed ? py::take_raised_exception() : nullptr;
    PyGILState_Release(state);
    if (exception) throw PythonErrorPending{exception};
  };
}

// Translates the C++ exception in flight: a pending Python exception is
// raised again; an aborting failure of the core names the file at `*path`
// (set by the body once known).
struct TranslateConvert {
  const std::string* path;
  void operator()() const noexcept {
    try {
      throw;
    } catch (const PythonErrorPending& pending) {
      py::raise_exception(pending.exception);
    } catch (...) {
      raise_in_flight(*path);
    }
  }
};

// The entry point of every function here: its arguments are parsed by
// `signature`, then `body(slots, path)` runs in the frame, storing in `path`
// the file an aborting failure is about.
template <const Signature& signature, PyObject* (*body)(const py::ArgumentSlots&, std::string&)>
PyObject* conversion(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string path;
  return py::call_frame(
      [&]() -> PyObject* {
        return with_arguments(signature, {args, nargs, kwnames},
                              [&](const py::ArgumentSlots& slots) { return body(slots, path); });
      },
      TranslateConvert{&path});
}

// Runs `work` (which gives an optional ConversionFailure) without the
// interpreter lock and raises what failed.
template <class Work>
PyObject* run_conversion(Work&& work) {
  std::optional<ConversionFailure> failure = py::without_gil(work);
  if (!failure) Py_RETURN_NONE;
  raise_error(failure->path, failure->error);
  return nullptr;
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
                             "src, src_format, dst, dst_format, normalize, progress, *, errors, "
                             "limit=None, member=None",
                             Bound::Module};

// errors, limit and member come checked by mave.convert and
// mave.detect_format (mave/_convert.py, where every way of converting
// starts): here they are only taken apart, and anything else is a caller's
// bug, refused with one message.
constexpr const char* kUncheckedOptions = "convert: errors, limit or member of the wrong kind";

// "strict", "replace" or "ignore".
std::optional<Utf8Errors> errors_argument(PyObject* obj) {
  const auto name = PyUnicode_Check(obj) ? py::utf8_of(obj) : std::nullopt;
  if (name == "strict") return Utf8Errors::Strict;
  if (name == "replace") return Utf8Errors::Replace;
  if (name == "ignore") return Utf8Errors::Ignore;
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, kUncheckedOptions);
  return std::nullopt;
}

// An int of at least 0, or None (all rows). Returns false with an exception set.
bool limit_argument(PyObject* obj, std::optional<std::uint64_t>& limit) {
  if (obj == Py_None) return true;
  int overflow = 0;
  const long long value =
      PyLong_Check(obj) && !PyBool_Check(obj) ? PyLong_AsLongLongAndOverflow(obj, &overflow) : -1;
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    PyErr_SetString(PyExc_ValueError, kUncheckedOptions);
    return false;
  }
  // Beyond a long long: more words than any file holds.
  if (overflow == 0) limit = static_cast<std::uint64_t>(value);
  return true;
}

// The name of a zip archive's file to read (empty: none named).
std::optional<std::string> member_argument(PyObject* obj) {
  if (obj == Py_None) return std::string();
  const auto name = PyUnicode_Check(obj) ? py::utf8_of(obj) : std::nullopt;
  if (name) return std::string(*name);
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, kUncheckedOptions);
  return std::nullopt;
}

// The paths are str, bytes or os.PathLike; progress a callable or None.
// Returns how many words were dropped (see errors).
PyObject* convert(const py::ArgumentSlots& slots, std::string& failing) {
  const auto src = fs_path_argument(slots[kConvert.slot("src")]);
  if (!src) return nullptr;
  const auto src_format = format_argument(slots[kConvert.slot("src_format")], "src_format");
  if (!src_format) return nullptr;
  const auto dst = fs_path_argument(slots[kConvert.slot("dst")]);
  if (!dst) return nullptr;
  const auto dst_format = format_argument(slots[kConvert.slot("dst_format")], "dst_format");
  if (!dst_format) return nullptr;
  if (!format_info(*dst_format).writable) {
    PyErr_SetString(PyExc_ValueError, "fastText models are read, not written");
    return nullptr;
  }
  const int normalize = PyObject_IsTrue(slots[kConvert.slot("normalize")]);
  if (normalize < 0) return nullptr;
  SourceOptions options;
  options.any_fasttext_layout = true;
  const auto errors = errors_argument(slots[kConvert.slot("errors")]);
  if (!errors) return nullptr;
  options.read.errors = *errors;
  if (!limit_argument(slots[kConvert.slot("limit")], options.read.limit)) return nullptr;
  auto member = member_argument(slots[kConvert.slot("member")]);
  if (!member) return nullptr;
  options.member = std::move(*member);
  PyObject* const progress = slots[kConvert.slot("progress")];
  const Progress read_progress = python_progress(progress, "read");
  const Progress write_progress = python_progress(progress, "write");
  failing = *src;
  ConversionOutcome outcome = py::without_gil([&] {
    return convert_file(*src, *src_format, *dst, *dst_format, normalize != 0, options, read_progress,
                        write_progress);
  });
  if (outcome.failure) {
    raise_error(outcome.failure->path, outcome.failure->error);
    return nullptr;
  }
  return PyLong_FromSize_t(outcome.dropped_words);
}

constexpr Signature kReadHead{"_read_head", "path, size, *, member=None", Bound::Module};

// The first `size` bytes the file holds, decompressed as a conversion reads
// them (mave.detect_format's look at a file): bytes, fewer only when the
// file holds fewer. Raises as reading the file for a conversion does.
PyObject* read_head(const py::ArgumentSlots& slots, std::string& failing) {
  const auto path = fs_path_argument(slots[kReadHead.slot("path")]);
  if (!path) return nullptr;
  const auto size = count_argument(slots[kReadHead.slot("size")], "size");
  if (!size) return nullptr;
  const auto member = member_argument(slots[kReadHead.slot("member")]);
  if (!member) return nullptr;
  failing = *path;
  Result<std::string> head = py::without_gil([&] { return mave::read_head(*path, *member, *size); });
  if (!head.ok()) {
    raise_error(*path, head.error());
    return nullptr;
  }
  return PyBytes_FromStringAndSize(head.value().data(), static_cast<Py_ssize_t>(head.value().size()));
}

// The words of `list` (each a str), indexed and checked to be distinct.
std::optional<WordList> distinct_words(PyObject* list) {
  const std::size_t n = static_cast<std::size_t>(PyList_Size(list));
  WordList words;
  words.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    auto text = str_item(PyList_GetItem(list, static_cast<Py_ssize_t>(i)), "words", i);
    if (!text) return std::nullopt;
    words.push_back(*text);
  }
  if (words.build_index() == n) return words;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t last = *words.find(words[i]);
    if (last != i) {
      PyErr_Format(PyExc_ValueError, "words repeat %R (at %zu and %zu)",
                   PyList_GetItem(list, static_cast<Py_ssize_t>(i)), i, last);
      return std::nullopt;
    }
  }
  return std::nullopt;  // not reached: some word repeats
}

bool is_float_array(PyObject* obj, int ndim, std::size_t rows) {
  if (!PyArray_Check(obj)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  return PyArray_NDIM(a) == ndim && PyArray_TYPE(a) == NPY_FLOAT32 && PyArray_IS_C_CONTIGUOUS(a) &&
         static_cast<std::size_t>(PyArray_DIM(a, 0)) == rows;
}

constexpr Signature kWrite{"write", "path, words, matrix, norms, metadata, normalize, progress",
                           Bound::Module};

// words: list[str]; matrix: float32 C-contiguous (n, dims); norms: float32
// (n,) or None; metadata as metadata_argument takes it.
PyObject* write(const py::ArgumentSlots& slots, std::string& failing) {
  const auto dst = fs_path_argument(slots[kWrite.slot("path")]);
  if (!dst) return nullptr;
  PyObject* const words_obj = slots[kWrite.slot("words")];
  PyObject* const matrix_obj = slots[kWrite.slot("matrix")];
  PyObject* const norms_obj = slots[kWrite.slot("norms")];
  const int normalize = PyObject_IsTrue(slots[kWrite.slot("normalize")]);
  if (normalize < 0) return nullptr;
  if (!PyList_Check(words_obj)) {
    PyErr_Format(PyExc_TypeError, "words must be a list, not %s", py::TypeName(words_obj).c_str());
    return nullptr;
  }
  const std::size_t n = static_cast<std::size_t>(PyList_Size(words_obj));
  if (!is_float_array(matrix_obj, 2, n) || (norms_obj != Py_None && !is_float_array(norms_obj, 1, n))) {
    PyErr_SetString(PyExc_ValueError, "write: arrays of the wrong kind");
    return nullptr;
  }
  std::optional<Metadata> metadata;
  if (!metadata_argument(slots[kWrite.slot("metadata")], metadata)) return nullptr;
  auto words = distinct_words(words_obj);
  if (!words) return nullptr;
  auto* matrix = reinterpret_cast<PyArrayObject*>(matrix_obj);
  MatrixRows rows{std::move(*words), static_cast<const float*>(PyArray_DATA(matrix)),
                  static_cast<std::size_t>(PyArray_DIM(matrix, 1)), std::nullopt, std::move(metadata)};
  if (norms_obj != Py_None) {
    rows.norms = std::span<const float>(
        static_cast<const float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(norms_obj))), n);
  }
  const Progress write_progress = python_progress(slots[kWrite.slot("progress")], "write");
  failing = *dst;
  // The arrays are held by the caller's references for the call.
  return run_conversion([&] {
    return write_file(*dst, Durability::Cached, [&](BufferedWriter& w) {
      return write_matrix_embeddings(w, rows, normalize != 0, write_progress);
    });
  });
}

// A C-contiguous array of `type` with exactly `shape`, or null with
// ValueError set. The reference keeps the data alive.
PyRef array_argument(PyObject* obj, int type, std::initializer_list<std::size_t> shape, const char* what) {
  PyRef array = PyRef::steal(PyArray_FROMANY(obj, type, 0, 0, NPY_ARRAY_CARRAY_RO));
  if (!array) return array;
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  bool same = static_cast<std::size_t>(PyArray_NDIM(a)) == shape.size();
  std::size_t k = 0;
  for (std::size_t n : shape) {
    if (!same) break;
    same = static_cast<std::size_t>(PyArray_DIM(a, static_cast<int>(k++))) == n;
  }
  if (!same) {
    PyErr_Format(PyExc_ValueError, "%s does not have the shape this file needs", what);
    return PyRef();
  }
  return array;
}

template <class T>
std::span<const T> span_of(const PyRef& array) {
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  return {static_cast<const T*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_SIZE(a))};
}

// The words of an Arrow string column: word i is data[offsets[i],
// offsets[i + 1]), each word distinct (the caller has checked; a repeat is
// refused here too, since the vocabulary would not load).
std::optional<WordList> arrow_words(PyObject* offsets_obj, PyObject* data_obj) {
  PyRef offsets = PyRef::steal(PyArray_FROMANY(offsets_obj, NPY_UINT64, 1, 1, NPY_ARRAY_CARRAY_RO));
  if (!offsets) return std::nullopt;
  PyRef data = PyRef::steal(PyArray_FROMANY(data_obj, NPY_UINT8, 1, 1, NPY_ARRAY_CARRAY_RO));
  if (!data) return std::nullopt;
  auto* o = reinterpret_cast<PyArrayObject*>(offsets.get());
  const auto* at = static_cast<const std::uint64_t*>(PyArray_DATA(o));
  const auto n_offsets = static_cast<std::size_t>(PyArray_DIM(o, 0));
  auto* d = reinterpret_cast<PyArrayObject*>(data.get());
  const auto* bytes = static_cast<const char*>(PyArray_DATA(d));
  const auto n_bytes = static_cast<std::uint64_t>(PyArray_DIM(d, 0));
  if (n_offsets == 0) {
    PyErr_SetString(PyExc_ValueError, "offsets must hold one more number than there are words");
    return std::nullopt;
  }
  WordList words;
  words.reserve(n_offsets - 1);
  for (std::size_t i = 0; i + 1 < n_offsets; ++i) {
    if (at[i] > at[i + 1] || at[i + 1] > n_bytes) {
      PyErr_Format(PyExc_ValueError, "offsets %zu and %zu do not delimit a word of the %llu bytes", i, i + 1,
                   static_cast<unsigned long long>(n_bytes));
      return std::nullopt;
    }
    words.push_back(std::string_view(bytes + at[i], static_cast<std::size_t>(at[i + 1] - at[i])));
  }
  if (words.build_index() != words.size()) {
    PyErr_SetString(PyExc_ValueError, "the words are not distinct");
    return std::nullopt;
  }
  return words;
}

// The rows of a matrix that a Python callable hands out in blocks: each call
// gives the next float32 C-contiguous (k, cols) array, 1 <= k <= the rows
// still to come. The writer asks for rows in order without the interpreter
// lock; the lock is taken only to fetch a block. The current block is held
// here, so this object must be destroyed with the lock held.
class BlockRows {
 public:
  BlockRows(PyObject* blocks, std::size_t rows, std::size_t cols)
      : blocks_(blocks), rows_(rows), cols_(cols) {}

  const float* operator()(std::size_t i, float* /*scratch*/) {
    if (i >= end_) next(i);
    return data_ + (i - begin_) * cols_;
  }
  std::size_t delivered() const { return end_; }

 private:
  void next(std::size_t i) {
    PyGILState_STATE state = PyGILState_Ensure();
    bool failed = PyErr_CheckSignals() < 0;
    if (!failed) {
      current_ = PyRef::steal(PyObject_CallNoArgs(blocks_));
      failed = !current_ || !accept(i);
    }
    PyObject* exception = failed ? py::take_raised_exception() : nullptr;
    PyGILState_Release(state);
    if (exception) throw PythonErrorPending{exception};
  }

  bool accept(std::size_t i) {
    auto* a = reinterpret_cast<PyArrayObject*>(current_.get());
    if (!PyArray_Check(current_.get()) || PyArray_TYPE(a) != NPY_FLOAT32 || PyArray_NDIM(a) != 2 ||
        !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a) || !PyArray_ISNOTSWAPPED(a) ||
        static_cast<std::size_t>(PyArray_DIM(a, 1)) != cols_ || PyArray_DIM(a, 0) < 1 ||
        static_cast<std::size_t>(PyArray_DIM(a, 0)) > rows_ - i) {
      PyErr_Format(PyExc_ValueError,
                   "blocks must give float32 C-contiguous arrays of %zu columns and 1 to %zu rows", cols_,
                   rows_ - i);
      return false;
    }
    begin_ = i;
    end_ = i + static_cast<std::size_t>(PyArray_DIM(a, 0));
    data_ = static_cast<const float*>(PyArray_DATA(a));
    return true;
  }

  PyObject* blocks_;
  std::size_t rows_, cols_;
  PyRef current_;
  const float* data_ = nullptr;
  std::size_t begin_ = 0, end_ = 0;
};

constexpr Signature kWriteRows{
    "_write_rows", "path, offsets, data, dims, blocks, norms, metadata, normalize, progress", Bound::Module};

// A finalfusion file of a simple vocabulary and a dense matrix of `dims`
// columns, the words given as an Arrow string column's offsets (uint64, one
// more than the words) and bytes (uint8), the rows by `blocks` (see
// BlockRows), `norms` float32 (one per word) or None, metadata as
// metadata_argument takes it. Only the words, the norms and one block are in
// memory at a time.
PyObject* write_rows(const py::ArgumentSlots& slots, std::string& failing) {
  const auto dst = fs_path_argument(slots[kWriteRows.slot("path")]);
  if (!dst) return nullptr;
  auto words = arrow_words(slots[kWriteRows.slot("offsets")], slots[kWriteRows.slot("data")]);
  if (!words) return nullptr;
  const auto dims = count_argument(slots[kWriteRows.slot("dims")], "dims");
  if (!dims) return nullptr;
  const std::size_t n = words->size();
  PyRef norms;
  if (PyObject* given = slots[kWriteRows.slot("norms")]; given != Py_None) {
    norms = array_argument(given, NPY_FLOAT32, {n}, "norms");
    if (!norms) return nullptr;
  }
  std::optional<Metadata> metadata;
  if (!metadata_argument(slots[kWriteRows.slot("metadata")], metadata)) return nullptr;
  const int normalize = PyObject_IsTrue(slots[kWriteRows.slot("normalize")]);
  if (normalize < 0) return nullptr;
  BlockRows blocks(slots[kWriteRows.slot("blocks")], n, *dims);
  StreamedRows rows{std::move(*words), *dims,
                    [&blocks](std::size_t i, float* scratch) { return blocks(i, scratch); }, std::nullopt,
                    std::move(metadata)};
  if (norms) rows.norms = span_of<float>(norms);
  const Progress write_progress = python_progress(slots[kWriteRows.slot("progress")], "write");
  failing = *dst;
  // `blocks` holds the block being written and `norms` the norms for the
  // call; both are released here, with the interpreter lock.
  return run_conversion([&] {
    return write_file(*dst, Durability::Cached, [&](BufferedWriter& w) {
      return write_streamed_embeddings(w, rows, normalize != 0, write_progress);
    });
  });
}

constexpr Signature kWriteQuantized{
    "_write_quantized", "source, path, settings, subquantizers, projection, row_norms, codes, norms",
    Bound::Module};

// Writes `path`: the metadata of `source` (an Embeddings object) with a
// [quantizer] table of `settings`, its vocabulary, a quantized matrix of
// `subquantizers` (float32, quantized_len x n_centroids x sub_len), the
// optional `projection` (float32, dims x dims), the optional per-row
// `row_norms` (float32, one per matrix row) and `codes` (uint8, rows x
// quantized_len), and the optional norms chunk `norms` (float32, one per
// word).
PyObject* write_quantized(const py::ArgumentSlots& slots, std::string& failing) {
  PyObject* const source = slots[kWriteQuantized.slot("source")];
  PyObject* const subquantizers_obj = slots[kWriteQuantized.slot("subquantizers")];
  PyObject* const projection_obj = slots[kWriteQuantized.slot("projection")];
  PyObject* const row_norms_obj = slots[kWriteQuantized.slot("row_norms")];
  PyObject* const codes_obj = slots[kWriteQuantized.slot("codes")];
  PyObject* const norms_obj = slots[kWriteQuantized.slot("norms")];
  if (!PyObject_TypeCheck(source, embeddings_type())) {
    PyErr_Format(PyExc_TypeError, "source must be Embeddings, not %s", py::TypeName(source).c_str());
    return nullptr;
  }
  std::shared_ptr<const Model> model = reinterpret_cast<EmbeddingsObject*>(source)->model;
  std::optional<std::string> path = fs_path_argument(slots[kWriteQuantized.slot("path")]);
  if (!path) return nullptr;
  failing = *path;
  const Embeddings& embeddings = model->embeddings;
  const std::size_t dims = embeddings.dims(), rows = embeddings.storage().rows();
  std::vector<std::pair<std::string, Metadata::Value>> settings;
  if (!metadata_entries(slots[kWriteQuantized.slot("settings")], settings)) return nullptr;

  PyRef subquantizers_array =
      PyRef::steal(PyArray_FROMANY(subquantizers_obj, NPY_FLOAT32, 3, 3, NPY_ARRAY_CARRAY_RO));
  if (!subquantizers_array) return nullptr;
  auto* sq = reinterpret_cast<PyArrayObject*>(subquantizers_array.get());
  const auto quantized_len = static_cast<std::size_t>(PyArray_DIM(sq, 0));
  const auto n_centroids = static_cast<std::size_t>(PyArray_DIM(sq, 1));
  const auto sub_len = static_cast<std::size_t>(PyArray_DIM(sq, 2));
  if (quantized_len == 0 || quantized_len * sub_len != dims || n_centroids == 0 || n_centroids > 256) {
    PyErr_Format(PyExc_ValueError,
                 "subquantizers of shape (%zu, %zu, %zu) do not rebuild rows of %zu "
                 "dims with one-byte codes",
                 quantized_len, n_centroids, sub_len, dims);
    return nullptr;
  }
  PyRef codes = array_argument(codes_obj, NPY_UINT8, {rows, quantized_len}, "codes");
  if (!codes) return nullptr;
  PyRef projection, row_norms, norms;
  if (projection_obj != Py_None) {
    projection = array_argument(projection_obj, NPY_FLOAT32, {dims, dims}, "projection");
    if (!projection) return nullptr;
  }
  if (row_norms_obj != Py_None) {
    row_norms = array_argument(row_norms_obj, NPY_FLOAT32, {rows}, "row norms");
    if (!row_norms) return nullptr;
  }
  if (norms_obj != Py_None) {
    norms = array_argument(norms_obj, NPY_FLOAT32, {embeddings.vocab().n_words()}, "norms");
    if (!norms) return nullptr;
  }
  return run_conversion([&] {
    std::optional<std::vector<float>> projection_values;
    if (projection) {
      auto p = span_of<float>(projection);
      projection_values.emplace(p.begin(), p.end());
    }
    auto centroids = span_of<float>(subquantizers_array);
    const ProductQuantizer quantizer(quantized_len, n_centroids, sub_len,
                                     std::vector<float>(centroids.begin(), centroids.end()),
                                     std::move(projection_values));
    QuantizedMatrix matrix{quantizer, std::nullopt, span_of<std::uint8_t>(codes)};
    if (row_norms) matrix.row_norms = span_of<float>(row_norms);
    std::optional<std::span<const float>> norm_values;
    if (norms) norm_values = span_of<float>(norms);
    // The arrays are held by the references above, the source by `model`.
    return write_file(*path, Durability::Synced, [&](BufferedWriter& w) {
      return write_quantized_embeddings(w, embeddings, "quantizer", settings, matrix, norm_values);
    });
  });
}

constexpr Signature kWriteAtomic{"_write_atomic", "path, parts", Bound::Module};

// The contiguous bytes of the objects of a list or tuple, each held until
// the list is destroyed.
class ByteParts {
 public:
  ByteParts() = default;
  ByteParts(const ByteParts&) = delete;
  ByteParts& operator=(const ByteParts&) = delete;
  ~ByteParts() {
    for (Py_buffer& view : views_) PyBuffer_Release(&view);
  }

  // False with an exception set when `parts` is not a list or tuple of
  // C-contiguous bytes-like objects.
  bool take(PyObject* parts) {
    if (!PyList_Check(parts) && !PyTuple_Check(parts)) {
      PyErr_Format(PyExc_TypeError, "parts must be a list or tuple, not %s", py::TypeName(parts).c_str());
      return false;
    }
    const Py_ssize_t n = PySequence_Size(parts);
    if (n < 0) return false;
    views_.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyRef item = PyRef::steal(PySequence_GetItem(parts, i));
      if (!item) return false;
      // Filled in place (the reservation keeps it there): an exporter may
      // recognise its view by address when it is released.
      views_.emplace_back();
      if (PyObject_GetBuffer(item.get(), &views_.back(), PyBUF_C_CONTIGUOUS) < 0) {
        views_.pop_back();
        return false;
      }
    }
    return true;
  }

  const std::vector<Py_buffer>& views() const { return views_; }

 private:
  std::vector<Py_buffer> views_;
};

// Writes the bytes of `parts` (a list or tuple of bytes-like objects, such
// as NumPy arrays), one after the other, as the file `path`: atomically and
// synced, the way the core writes its own files, so that files made in
// Python (an index's faiss bytes) have the same one path to the disk.
PyObject* write_atomic(const py::ArgumentSlots& slots, std::string& failing) {
  const auto path = fs_path_argument(slots[kWriteAtomic.slot("path")]);
  if (!path) return nullptr;
  ByteParts parts;
  if (!parts.take(slots[kWriteAtomic.slot("parts")])) return nullptr;
  failing = *path;
  // The views hold the objects' memory for the call.
  return run_conversion([&] {
    return write_file(*path, Durability::Synced, [&](BufferedWriter& w) -> Status {
      for (const Py_buffer& view : parts.views()) {
        if (auto written = w.write_all(view.buf, static_cast<std::size_t>(view.len)); !written.ok()) {
          return EmbeddingsError::write(Step::WriteFile, std::move(written).error());
        }
      }
      return {};
    });
  });
}

PyMethodDef g_functions[] = {
    {"convert", as_cfunction(conversion<kConvert, convert>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"write", as_cfunction(conversion<kWrite, write>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_write_quantized", as_cfunction(conversion<kWriteQuantized, write_quantized>),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_write_rows", as_cfunction(conversion<kWriteRows, write_rows>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_read_head", as_cfunction(conversion<kReadHead, read_head>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_write_atomic", as_cfunction(conversion<kWriteAtomic, write_atomic>), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The format names of the conversion layer, in its order; the writable ones.
bool add_format_names(PyObject* module) {
  PyRef all = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kFormats.size())));
  PyRef writable = PyRef::steal(PyList_New(0));
  if (!all || !writable) return false;
  for (std::size_t i = 0; i < kFormats.size(); ++i) {
    PyObject* name = PyUnicode_FromStringAndSize(kFormats[i].name.data(),
                                                 static_cast<Py_ssize_t>(kFormats[i].name.size()));
    if (name == nullptr) return false;
    if (PyTuple_SetItem(all.get(), static_cast<Py_ssize_t>(i), name) < 0) return false;
    if (kFormats[i].writable && PyList_Append(writable.get(), name) < 0) return false;
  }
  PyRef output = PyRef::steal(PyList_AsTuple(writable.get()));
  return output && PyModule_AddObjectRef(module, "FORMATS", all.get()) == 0 &&
         PyModule_AddObjectRef(module, "OUTPUT_FORMATS", output.get()) == 0;
}

}  // namespace

bool init_convert(PyObject* module) {
  return add_functions(module, g_functions,
                       {&kConvert, &kWrite, &kWriteQuantized, &kWriteRows, &kReadHead, &kWriteAtomic}) &&
         add_format_names(module);
}

}  // namespace mave::native
