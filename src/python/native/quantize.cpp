// The compiled half of mave.quantize: writing a whole quantized file from a
// loaded source and the arrays that training produced, and turning a fastText
// model into a finalfusion file to quantize. Training itself is faiss's, in
// mave/_quantize.py.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/io.hpp"
#include "compress/decompress.hpp"
#include "fasttext/fasttext.hpp"
#include "format/embeddings.hpp"
#include "python/helpers/errors.hpp"
#include "python/helpers/pyref.hpp"
#include "python/helpers/without_gil.hpp"
#include "python/native/arguments.hpp"
#include "python/native/exceptions.hpp"
#include "python/native/model.hpp"
#include "python/native/numpy_api.hpp"
#include "python/helpers/stable_abi.hpp"

namespace mave::native {
namespace {

using py::call_frame;
using py::PyRef;
using py::without_gil;

// A C-contiguous array of `type` with exactly `shape`, or null with
// ValueError set. The reference keeps the data alive.
PyRef array_argument(PyObject* obj, int type, std::initializer_list<std::size_t> shape,
                     const char* what) {
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

// Writes through `write` into a new file beside `path` and renames it over
// `path` once it is complete (and, with `sync`, on disk), so that `path`
// holds either its old contents or the whole new file, and a reader that has
// the old file mapped keeps its contents. The partial file is removed on
// failure.
Status write_replacing(const std::string& path, bool sync,
                      const std::function<Status(BufferedWriter&)>& write) {
  auto os_error = [](Step step, int code) { return EmbeddingsError::write(step, IoError::os(code)); };
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp;
  int fd = -1;
  for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temp = dir + "." + base + "." + std::to_string(::getpid()) + "." + std::to_string(attempt) + ".tmp";
    do fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno != EEXIST) return os_error(Step::CreateOutputFile, errno);
  }
  if (fd < 0) return os_error(Step::CreateOutputFile, EEXIST);
  // A second descriptor of the same open file, to sync it once the writer
  // has closed its own.
  const int sync_fd = ::dup(fd);
  if (sync_fd < 0) {
    const int code = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    return os_error(Step::CreateOutputFile, code);
  }
  Status written = [&]() -> Status {
    BufferedWriter w{File(fd)};
    MAVE_TRY(write(w));
    if (auto closed = w.close(); !closed.ok()) {
      return EmbeddingsError::write(Step::WriteOutputFile, std::move(closed).error());
    }
    if (sync && ::fsync(sync_fd) != 0) return os_error(Step::WriteOutputFile, errno);
    if (::rename(temp.c_str(), path.c_str()) != 0) return os_error(Step::RenameOutputFile, errno);
    return {};
  }();
  ::close(sync_fd);
  if (!written.ok()) ::unlink(temp.c_str());
  return written;
}

// _write_quantized(source, path, settings, subquantizers, projection,
//                  row_norms, codes, norms)
//
// Writes `path`: the metadata of `source` (an Embeddings object) with a
// [quantizer] table of `settings`, its vocabulary, a quantized matrix of
// `subquantizers` (float32, quantized_len x n_centroids x sub_len), the
// optional `projection` (float32, dims x dims), the optional per-row
// `row_norms` (float32, one per matrix row) and `codes` (uint8, rows x
// quantized_len), and the optional norms chunk `norms` (float32, one per
// word).
constexpr Signature kWriteQuantized{
    "_write_quantized", "source, path, settings, subquantizers, projection, row_norms, codes, norms",
    Bound::Module};

PyObject* write_quantized(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  py::ArgumentSlots slots;
  if (!kWriteQuantized.parse(args, nargs, kwnames, slots)) return nullptr;
  PyObject *source = slots[0], *path_obj = slots[1], *settings_obj = slots[2],
           *subquantizers_obj = slots[3], *projection_obj = slots[4], *row_norms_obj = slots[5],
           *codes_obj = slots[6], *norms_obj = slots[7];
  if (!PyObject_TypeCheck(source, embeddings_type())) {
    PyErr_Format(PyExc_TypeError, "source must be Embeddings, not %s", py::TypeName(source).c_str());
    return nullptr;
  }
  std::shared_ptr<const Model> model = reinterpret_cast<EmbeddingsObject*>(source)->model;
  std::optional<std::string> path = fs_path_argument(path_obj);
  if (!path) return nullptr;
  return call_frame(
      [&]() -> PyObject* {
        const Embeddings& embeddings = model->embeddings;
        const std::size_t dims = embeddings.dims(), rows = embeddings.storage().rows();
        std::vector<std::pair<std::string, Metadata::Value>> settings;
        if (!metadata_entries(settings_obj, settings)) return nullptr;

        PyRef subquantizers_array = PyRef::steal(PyArray_FROMANY(
            subquantizers_obj, NPY_FLOAT32, 3, 3, NPY_ARRAY_CARRAY_RO));
        if (!subquantizers_array) return nullptr;
        auto* sq = reinterpret_cast<PyArrayObject*>(subquantizers_array.get());
        const auto quantized_len = static_cast<std::size_t>(PyArray_DIM(sq, 0));
        const auto n_centroids = static_cast<std::size_t>(PyArray_DIM(sq, 1));
        const auto sub_len = static_cast<std::size_t>(PyArray_DIM(sq, 2));
        if (quantized_len == 0 || quantized_len * sub_len != dims || n_centroids == 0 ||
            n_centroids > 256) {
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

        std::optional<std::vector<float>> projection_values;
        if (projection) {
          auto p = span_of<float>(projection);
          projection_values.emplace(p.begin(), p.end());
        }
        auto centroids = span_of<float>(subquantizers_array);
        ProductQuantizer quantizer(quantized_len, n_centroids, sub_len,
                                   std::vector<float>(centroids.begin(), centroids.end()),
                                   std::move(projection_values));
        std::optional<std::span<const float>> row_norm_values, norm_values;
        if (row_norms) row_norm_values = span_of<float>(row_norms);
        if (norms) norm_values = span_of<float>(norms);
        const std::span<const std::uint8_t> code_values = span_of<std::uint8_t>(codes);

        Metadata base = embeddings.metadata() ? *embeddings.metadata() : Metadata::from_entries({});
        const Metadata metadata = base.with_table("quantizer", settings);
        // The arrays are held by the references above, the source by `model`.
        Status written = without_gil([&] {
          return write_replacing(*path, /*sync=*/true, [&](BufferedWriter& w) {
            return write_embeddings_file(
                w, metadata, embeddings.vocab(), ChunkIdentifier::QuantizedArray,
                [&](BufferedWriter& out) {
                  return write_quantized_array(out, quantizer, row_norm_values, code_values);
                },
                norm_values);
          });
        });
        if (!written.ok()) {
          raise_error(*path, written.error());
          return nullptr;
        }
        Py_RETURN_NONE;
      },
      Translate{*path});
}

// _convert_fasttext(source, path): writes the fastText model `source` as a
// finalfusion file with a dense matrix at `path`, without printing anything.
constexpr Signature kConvertFasttext{"_convert_fasttext", "source, path", Bound::Module};

PyObject* convert_fasttext(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  py::ArgumentSlots slots;
  if (!kConvertFasttext.parse(args, nargs, kwnames, slots)) return nullptr;
  std::optional<std::string> source = fs_path_argument(slots[0]);
  if (!source) return nullptr;
  std::optional<std::string> path = fs_path_argument(slots[1]);
  if (!path) return nullptr;
  return call_frame(
      [&]() -> PyObject* {
        auto input = File::open_read(*source);
        if (!input.ok()) {
          raise_io_error(*source, input.error());
          return nullptr;
        }
        // Compressed models, models from before fastText's magic number and
        // floret models read as mave.convert reads them.
        auto embeddings = without_gil([&]() -> Result<Embeddings> {
          auto reader = open_decompressed(std::move(input).value());
          if (!reader.ok()) return EmbeddingsError::read(Step::ReadEmbeddings, std::move(reader).error());
          MAVE_ASSIGN_OR_RETURN(FastTextImport imported, import_fasttext_model(reader.value()));
          return std::move(imported.embeddings);
        });
        if (!embeddings.ok()) {
          raise_error(*source, embeddings.error());
          return nullptr;
        }
        Status written = without_gil([&] {
          // A temporary file, read back at once: it need not reach the disk.
          return write_replacing(*path, /*sync=*/false, [&](BufferedWriter& w) {
            return embeddings.value().write_embeddings_to(w);
          });
        });
        if (!written.ok()) {
          raise_error(*path, written.error());
          return nullptr;
        }
        Py_RETURN_NONE;
      },
      Translate{*source});
}

PyMethodDef g_functions[] = {
    {"_write_quantized", as_cfunction(write_quantized), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_convert_fasttext", as_cfunction(convert_fasttext), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool init_quantize_functions(PyObject* module) {
  static const bool documented =
      (add_signature_lines(g_functions, {&kWriteQuantized, &kConvertFasttext}), true);
  (void)documented;
  return PyModule_AddFunctions(module, g_functions) == 0;
}

}  // namespace mave::native
