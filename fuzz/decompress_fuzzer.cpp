// Fuzz target: the decompressing readers (gzip, bzip2, xz, zip; the input's
// first bytes choose), as the text and word2vec readers use them. The
// whole stream must read to its end or to an error, never past a budget
// that a small input can make it expand to.
#include <string>

#include "compress/decompress.hpp"
#include "fuzz_support.hpp"
#include "importers/word2vec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mave;
  // Everything the stream holds, up to 64 MiB.
  {
    auto r = open_decompressed(fuzz::memory_file(data, size));
    if (r.ok()) {
      std::string chunk;
      std::uint64_t total = 0;
      while (total < (std::uint64_t{64} << 20)) {
        chunk.clear();
        auto got = r.value().read_until('\n', chunk, 1 << 20);
        if (!got.ok() || got.value() == 0) break;
        total += got.value();
        fuzz::require(r.value().position().value() == total, "positions count the bytes read");
      }
    } else {
      fuzz::require(r.error().repr() != IoError::Repr::Os, "no OS error from an in-memory file");
    }
  }
  // The readers on top, with each way of decoding words.
  for (Utf8Errors errors : {Utf8Errors::Strict, Utf8Errors::Replace, Utf8Errors::Ignore}) {
    auto r = open_decompressed(fuzz::memory_file(data, size));
    if (!r.ok()) break;
    auto e = read_text_embeddings(r.value(), TextLayout::WithHeader, {}, {errors, {}});
    if (e.ok()) {
      fuzz::require(e.value().words.size() == e.value().matrix.rows(), "a row for each word");
    }
  }
  return 0;
}
