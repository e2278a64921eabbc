// Fuzz target: the conversion layer. The input is read as each format in
// turn (with and without normalisation); every source that reads is written
// in every writable format, and each output is read back in its format.
//
// Every failure must be an error value (a Panic only where the source's
// own contents contradict each other); every output must read back with
// the source's words and rows, whatever the format (compared as the text
// they write, where text can hold the words); and writing what was read
// back again in the same format and form must give the same bytes (each
// format a fixed point).
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "convert/conversion.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace mave;
using mave::fuzz::require;

// Sources larger than this are read but not written, to keep runs short.
constexpr std::size_t kMaxValues = std::size_t{1} << 20;

std::size_t dims(const Source& source) {
  if (const auto* imported = std::get_if<ImportedRows>(&source)) return imported->embeddings.matrix.cols();
  return std::get<Embeddings>(source).dims();
}

// A finalfusion file counts columns in 32 bits, and every reader refuses
// rows wider than that.
bool holds_width(const Source& source) { return dims(source) <= UINT32_MAX; }

std::size_t value_count(const Source& source) {
  if (const auto* imported = std::get_if<ImportedRows>(&source)) {
    return imported->embeddings.words.size() * imported->embeddings.matrix.cols();
  }
  const Embeddings& e = std::get<Embeddings>(source);
  return e.storage().rows() * e.dims();
}

// The bytes of a memory file, and a reader at its start.
std::string contents(int fd) {
  std::string out;
  char buffer[65536];
  require(::lseek(fd, 0, SEEK_SET) == 0, "rewinding the memory file failed");
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    require(n >= 0, "reading the memory file failed");
    if (n == 0) return out;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

// Writes `source` in `format` to a memory file: none when the format cannot
// hold a word (a Format error), else the file's bytes.
std::optional<std::string> written(Source& source, Format format, bool normalize) {
  File out = fuzz::empty_memory_file();
  const int fd = ::dup(out.fd());
  require(fd >= 0, "dup failed");
  BufferedWriter w(std::move(out));
  Status status = write_destination(w, source, format, normalize);
  if (!status.ok()) {
    ::close(fd);
    require((status.error().code == ErrorCode::Unwritable && format != Format::FinalFusion) ||
                !holds_width(source),
            "a writer failed with something other than what its format cannot hold");
    return std::nullopt;
  }
  require(w.close().ok(), "closing the memory file failed");
  std::string bytes = contents(fd);
  ::close(fd);
  return bytes;
}

Source read_back(const std::string& bytes, Format format) {
  BufferedReader r(fuzz::memory_file(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  auto again = read_source(r, format, /*normalize=*/false);
  require(again.ok(), "an output does not read back in its format");
  return std::move(again).value();
}

// The word rows of a source as text: the same for every format that holds
// the same words and values (a NaN is "NaN" whatever its payload). None
// when text cannot hold a word.
std::optional<std::string> as_text(Source& source, bool normalize) {
  return written(source, Format::Text, normalize);
}

void convert_all(Source& source, bool normalize) {
  const std::optional<std::string> text = as_text(source, normalize);
  // Backwards, so that finalfusion comes last: it moves the words of an
  // imported source into the vocabulary it writes.
  for (auto it = kFormats.rbegin(); it != kFormats.rend(); ++it) {
    const FormatInfo& to = *it;
    if (!to.writable) continue;
    std::optional<std::string> bytes = written(source, to.format, normalize);
    if (!bytes) continue;
    // What the formats of word rows cannot say: rows of no dimensions, and
    // (GloVe, which has no header) no words at all. Rows wider than 32 bits
    // count are written (without rows) but read by no reader.
    if (!holds_width(source) || (to.format != Format::FinalFusion && (dims(source) == 0 || bytes->empty()))) {
      continue;
    }
    Source again = read_back(*bytes, to.format);
    // The read-back holds its rows in the form written: as they are.
    require(!text || as_text(again, normalize) == text, "a format changed the words or rows");
    // Read back and written again: the same file.
    std::optional<std::string> twice = written(again, to.format, normalize);
    require(twice && *twice == *bytes, "a format is not a fixed point of the conversion");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (const FormatInfo& from : kFormats) {
    for (bool normalize : {false, true}) {
      try {
        BufferedReader r(fuzz::memory_file(data, size));
        auto source = read_source(r, from.format, normalize);
        if (!source.ok() || value_count(source.value()) > kMaxValues) continue;
        convert_all(source.value(), normalize);
      } catch (const Panic&) {
        // Contents that contradict each other (a finalfusion file's norms
        // shorter than its vocabulary, a fastText model's longest n-gram
        // shorter than its shortest), as the readers of those formats
        // report them: the bindings raise these as a damaged file.
        require(from.format == Format::FinalFusion || from.format == Format::FastText,
                "a panic outside a finalfusion or fastText source");
      }
    }
  }
  return 0;
}
