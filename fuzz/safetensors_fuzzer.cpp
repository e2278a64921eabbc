// Fuzz target: a static model's safetensors file, read as mave.load reads a
// folder's (the header checked against the file, the tensors mapped, the
// table built for as many tokens as the header suggests), then every way the
// table is read: rows one by one and in blocks, sums, the pooling of a few
// texts on one thread and on two, and a nearest-rows search.
//
// A failure must come back as an error that both renderers can word; a read
// outside the mappings, a crash, a hang or a huge allocation is a finding.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "format/embeddings.hpp"
#include "fuzz_support.hpp"
#include "search/nearest.hpp"
#include "static/pooling.hpp"
#include "static/safetensors.hpp"
#include "static/static_model.hpp"

namespace {

using mave::fuzz::require;

// Tables larger than this are read only in part.
constexpr std::size_t kMaxCols = std::size_t{1} << 14;
constexpr std::size_t kMaxRows = 64;

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// The number of tokens the header's tensors suggest (the mapping's length,
// else the table's rows), so that the table can load; 3 when none does.
std::size_t suggested_tokens(const mave::File& file, std::uint64_t size) {
  const int fd = ::dup(file.fd());
  require(fd >= 0, "dup failed");
  mave::BufferedReader header_reader{mave::File(fd)};
  auto header = mave::read_safetensors_header(header_reader, size);
  if (!header.ok()) {
    require(mave::fuzz::renders(header.error()), "a header error without text");
    return 3;
  }
  for (const mave::TensorInfo& t : header.value().tensors) {
    // Every tensor maps exactly its bytes.
    auto mapped = mave::map_tensor(file, header.value(), t);
    require(mapped.ok(), "a checked tensor could not be mapped");
    require(mapped.value().size() == t.end - t.begin, "a tensor mapped with another size");
  }
  if (const auto* m = header.value().find("mapping"); m && m->shape.size() == 1) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(m->shape[0], 1u << 20));
  }
  if (const auto* t = header.value().find("embeddings"); t && !t->shape.empty()) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(t->shape[0], 1u << 20));
  }
  return 3;
}

void exercise(const mave::Storage& s) {
  const std::size_t rows = s.rows(), cols = s.cols();
  if (cols > kMaxCols) return;
  const std::size_t n = std::min(rows, kMaxRows);
  std::vector<float> one(cols), block(n * cols);
  s.rows_into(0, n, block.data());
  for (std::size_t i = 0; i < n; ++i) {
    s.row_into(i, one.data());
    require(cols == 0 || std::memcmp(one.data(), block.data() + i * cols, cols * 4) == 0,
            "rows_into and row_into disagree");
  }
  // Texts of the first rows' ids, pooled on one thread and on two.
  std::vector<std::uint32_t> ids;
  std::vector<std::uint64_t> offsets = {0};
  for (std::uint32_t t = 0; t < 6; ++t) {
    for (std::uint32_t k = 0; k < t && n > 0; ++k) ids.push_back((t + k) % n);
    offsets.push_back(ids.size());
  }
  mave::PoolingOptions options;
  options.unknown_id = 1;
  options.max_tokens = 4;
  options.normalize = true;
  std::vector<float> first;
  for (unsigned threads : {1u, 2u}) {
    std::vector<float> out(6 * cols, -1.0f);
    const mave::TargetMatrix target{reinterpret_cast<std::byte*>(out.data()), 6, cols,
                                    static_cast<std::ptrdiff_t>(cols * 4), 4};
    mave::pool_token_ids(s, ids, offsets, options, target, threads);
    if (threads == 1) {
      first = out;
    } else {
      require(same_bits(first, out), "threads changed the pooled bits");
    }
  }
}

void search(mave::Embeddings e) {
  const std::size_t rows = e.storage().rows(), cols = e.storage().cols();
  if (cols == 0 || cols > kMaxCols || rows * cols > (std::size_t{1} << 20)) return;
  std::vector<float> query(cols, 0.0f);
  query[0] = 1.0f;
  mave::NearestSearch searcher(e);
  for (unsigned threads : {1u, 2u}) {
    for (const mave::Neighbour& n : searcher.nearest(query, rows, 3, {}, threads)) {
      require(n.row < rows, "a neighbour beyond the rows");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mave::File file = mave::fuzz::memory_file(data, size);
  const std::size_t tokens = suggested_tokens(file, size);
  const std::string_view names[2] = {"embeddings", "embedding.weight"};
  mave::StaticFacts facts;
  try {
    auto table = mave::read_token_table(file, size, names, tokens, &facts);
    if (!table.ok()) {
      require(mave::fuzz::renders(table.error()), "an error without text");
      return 0;
    }
    require(table.value().rows() == tokens, "a table of another number of tokens");
    // The mappings must not need the file.
    (void)file.close();
    exercise(table.value());
    mave::WordList words;
    for (std::size_t i = 0; i < tokens; ++i) words.push_back("t" + std::to_string(i));
    words.build_index();
    search(mave::Embeddings::unchecked(std::nullopt, mave::Vocab(mave::SimpleVocab{std::move(words)}),
                                       std::move(table).value(), std::nullopt));
  } catch (const mave::Panic&) {
    require(false, "a checked table broke an invariant");
  }
  return 0;
}
