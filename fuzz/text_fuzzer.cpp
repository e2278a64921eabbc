// Fuzz target: the word2vec/fastText text reader (header line first), and its
// writer on what it read.
#include "importers_fuzz.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using mave::TextLayout;
  return mave::fuzz::fuzz_importer(
      data, size,
      [](mave::BufferedReader& r) { return mave::read_text_embeddings(r, TextLayout::WithHeader); },
      [](mave::BufferedWriter& w, const mave::WordRows& rows) {
        return mave::write_text_embeddings(w, rows, TextLayout::WithHeader);
      });
}
