// The in-memory form of a finalfusion file: optional metadata, a vocabulary, a
// storage matrix and optional norms; reading, lookup and writing.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "format/metadata.hpp"
#include "format/norms.hpp"
#include "format/storage.hpp"
#include "format/target.hpp"
#include "format/vocab.hpp"

namespace mave {

// Where the sum of squares that scales a composed vector to unit length takes
// its order from. The vector is always summed into contiguous memory; only
// this order can make its bits depend on where it is written.
enum class NormOrder {
  // The eight partial sums, whatever the target's layout: every target gets
  // the bits a contiguous one gets.
  Contiguous,
  // The eight partial sums for a contiguous target (or fewer than two
  // elements), the index order for any other stride.
  FollowTarget,
};

// The vector of a string: a view into the storage for a known word of a dense
// matrix, an owned vector otherwise.
class EmbeddingRow {
 public:
  explicit EmbeddingRow(std::span<const float> view) : view_(view) {}
  explicit EmbeddingRow(std::vector<float> owned) : owned_(std::move(owned)), view_(owned_) {}
  EmbeddingRow(EmbeddingRow&& other) noexcept;
  EmbeddingRow(const EmbeddingRow&) = delete;
  EmbeddingRow& operator=(const EmbeddingRow&) = delete;

  std::span<const float> values() const { return view_; }

 private:
  std::vector<float> owned_;
  // Views owned_ when the row owns its values (re-pointed on a move), else
  // the storage's memory, which must outlive the row.
  std::span<const float> view_;
};

class Embeddings {
 public:
  // The checking constructor: norms as many as words, and the vocabulary
  // addressing exactly the storage's rows (aborting failures otherwise).
  Embeddings(std::optional<Metadata> metadata, Vocab vocab, Storage storage, NdNorms norms);

  // Without checks, as read from a file.
  static Embeddings unchecked(std::optional<Metadata> metadata, Vocab vocab, Storage storage,
                              std::optional<NdNorms> norms);

  std::size_t dims() const { return storage_.cols(); }

  // Writes the vector of `word` through the target and returns true, or
  // returns false and leaves the target untouched. A target whose length is
  // not dims() is an aborting failure, checked before the lookup.
  bool fill_embedding(std::string_view word, const TargetView& target,
                      NormOrder order = NormOrder::FollowTarget) const;
  std::optional<EmbeddingRow> find_embedding(std::string_view word) const;
  // Writes storage row `row` through the target, as fill_embedding does for a
  // known word. The target's length must be dims(); the row is checked.
  void copy_row(std::size_t row, const TargetView& target) const;

  // Writes the whole file: header, metadata, vocabulary, matrix (dense or
  // quantized, as held), norms. Does not flush the writer.
  Status write_embeddings_to(BufferedWriter& w) const;

  const std::optional<Metadata>& metadata() const { return metadata_; }
  const Vocab& vocab() const { return vocab_; }
  const Storage& storage() const { return storage_; }
  const std::optional<NdNorms>& norms() const { return norms_; }

 private:
  // Selects the constructor that takes the parts as they are.
  struct Unchecked {};

  Embeddings(Unchecked, std::optional<Metadata> metadata, Vocab vocab, Storage storage,
             std::optional<NdNorms> norms)
      : metadata_(std::move(metadata)),
        vocab_(std::move(vocab)),
        storage_(std::move(storage)),
        norms_(std::move(norms)) {}

  std::optional<Metadata> metadata_;
  Vocab vocab_;
  Storage storage_;
  std::optional<NdNorms> norms_;
};

Result<Embeddings> read_embeddings_mapped(BufferedReader& r);

// Writes a whole file in the order the reader expects: the header, the
// metadata chunk (if any), the vocabulary chunk, the storage chunk of kind
// `storage_id` that `write_storage` writes, and the norms chunk (if any).
// Does not flush the writer.
Status write_embeddings_file(BufferedWriter& w, const std::optional<Metadata>& metadata, const Vocab& vocab,
                             ChunkIdentifier storage_id,
                             const std::function<Status(BufferedWriter&)>& write_storage,
                             std::optional<std::span<const float>> norms);

}  // namespace mave
