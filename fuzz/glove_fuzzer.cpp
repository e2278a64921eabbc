// Fuzz target: the GloVe text reader (no header; the first row decides the
// dimensions), and its writer on what it read.
#include "importers_fuzz.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using mave::TextLayout;
  return mave::fuzz::fuzz_importer(
      data, size, [](mave::BufferedReader& r) { return mave::read_text_embeddings(r, TextLayout::GloVe); },
      [](mave::BufferedWriter& w, const mave::WordRows& rows) {
        return mave::write_text_embeddings(w, rows, TextLayout::GloVe);
      });
}
