#include "python/_mave/build_model.hpp"

#include <string>

#include "base/io.hpp"
#include "convert/conversion.hpp"
#include "python/_mave/frame.hpp"
#include "python/_mave/pinned_texts.hpp"
#include "python/helpers/arguments.hpp"
#include "python/helpers/errors.hpp"
#include "python/helpers/stdout.hpp"

namespace mave::py {
namespace {

// Pinned: docs/compatibility.md (names in the argument messages)
constexpr ArgumentSpec kSpec{nullptr, "build_model", {"input_path", "output_path"}, 2, 2};

// Expected failures (missing files, bad models, write errors) reach Python as
// OSError with the error's display text; whatever is open is closed by the
// destructors on the way out.
bool fail(const std::string& message) {
  raise_os_error(message);
  return false;
}

bool convert(const std::string& input_path, const std::string& output_path) {
  // Pinned: docs/compatibility.md (progress lines and OSError texts, here and below)
  print_stdout("Reading fasttext embeddings\n");
  auto input = File::open_read(input_path);
  if (!input.ok()) return fail(pinned::display(input.error()));
  BufferedReader reader(std::move(input).value());
  auto source = read_source(reader, Format::FastText, /*normalize=*/true);
  if (!source.ok()) return fail(pinned::display(source.error()));

  // Pinned: docs/compatibility.md
  print_stdout("Writing fasttext embeddings\n");
  // Created only now, so a failed conversion leaves output_path untouched.
  auto output = File::create(output_path);
  if (!output.ok()) return fail(pinned::display(output.error()));
  BufferedWriter writer(std::move(output).value());
  Status written = write_destination(writer, source.value(), Format::FinalFusion, /*normalize=*/true);
  if (!written.ok()) {
    // What was buffered still goes out: the partial file stays for inspection.
    (void)writer.close();
    return fail(pinned::display(written.error()));
  }
  // Pinned: docs/compatibility.md
  print_stdout("Done\n");
  // The last buffered bytes are written here; losing them silently would
  // leave a truncated file behind a successful call.
  IoStatus closed = writer.close();
  if (!closed.ok()) return fail(pinned::display(closed.error()));
  return true;
}

PyObject* build_model(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return mave_frame([&]() -> PyObject* {
    ArgumentSlots slots;
    if (!parse_vectorcall(kSpec, args, nargs, kwnames, slots)) return nullptr;
    // In parameter order: the first refused path ends the call.
    std::string paths[2];
    for (std::size_t i = 0; i < 2; ++i) {
      auto text = text_argument(slots[i], kSpec.parameters[i].data());  // literals: NUL-terminated
      if (!text) return nullptr;
      paths[i] = *text;
    }
    if (!convert(paths[0], paths[1])) return nullptr;
    Py_RETURN_NONE;
  });
}

}  // namespace

// Pinned: docs/compatibility.md (name and text signature)
PyMethodDef build_model_def = {
    "build_model",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_model)),
    METH_FASTCALL | METH_KEYWORDS,
    "build_model(input_path, output_path)\n--\n\n",
};

}  // namespace mave::py
