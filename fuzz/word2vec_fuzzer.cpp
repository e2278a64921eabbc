// Fuzz target: the word2vec binary reader, and its writer on what it read.
#include "importers_fuzz.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return mave::fuzz::fuzz_importer(
      data, size, [](mave::BufferedReader& r) { return mave::read_word2vec_binary(r); },
      [](mave::BufferedWriter& w, const mave::WordRows& rows) {
        return mave::write_word2vec_binary(w, rows);
      });
}
