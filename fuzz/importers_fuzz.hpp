// What the three importer fuzz targets share: read the input with one reader;
// every failure must be a Format or Read error value (never a panic, another
// exception, a crash or a sanitizer report). A file that reads is written
// back in the same format and read again: the words and values must survive
// (NaN stays NaN; its payload is not kept by the text formats).
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/io.hpp"
#include "fuzz_support.hpp"
#include "importers/word2vec.hpp"

namespace mave::fuzz {

inline bool same_value(float a, float b) {
  return std::isnan(a) ? std::isnan(b) : std::memcmp(&a, &b, sizeof a) == 0;
}

template <class Read, class Write>
int fuzz_importer(const std::uint8_t* data, std::size_t size, Read read, Write write) {
  BufferedReader reader(memory_file(data, size));
  auto first = read(reader);
  if (!first.ok()) {
    require(first.error().code == ErrorCode::BadText && !first.error().detail.empty() &&
                (first.error().line || first.error().offset),
            "a reader failed with something other than a located BadText error");
    return 0;
  }
  const ImportedEmbeddings& e = first.value();
  require(e.words.size() == e.matrix.rows(), "as many words as rows");
  WordRows rows{e.words.size(), e.matrix.cols(), [&](std::size_t i) { return e.words[i]; },
                [&](std::size_t i, float*) { return e.matrix.row(i); }};
  File out = empty_memory_file();
  const int fd = out.fd();
  BufferedWriter writer(std::move(out));
  if (!write(writer, rows).ok()) return 0;  // a word the format cannot write back
  require(writer.flush().ok(), "flushing the memory file failed");
  File again(::dup(fd));
  require(again.is_open() && ::lseek(again.fd(), 0, SEEK_SET) == 0, "rewinding the memory file failed");
  BufferedReader second_reader(std::move(again));
  auto second = read(second_reader);
  require(second.ok(), "a written file does not read back");
  const ImportedEmbeddings& s = second.value();
  require(s.words.size() == e.words.size() && s.matrix.cols() == e.matrix.cols(), "shape changed");
  for (std::size_t i = 0; i < e.words.size(); ++i) {
    require(s.words[i] == e.words[i], "a word changed");
    for (std::size_t j = 0; j < e.matrix.cols(); ++j) {
      require(same_value(s.matrix.row(i)[j], e.matrix.row(i)[j]), "a value changed");
    }
  }
  return 0;
}

}  // namespace mave::fuzz
