#include "format/embeddings.hpp"

#include <algorithm>
#include <cstring>

#include "base/vector_math.hpp"

namespace mave {

namespace {

// Per-thread buffers reused across lookups, so that a lookup allocates only
// when a word needs more room than any before it.
struct LookupScratch {
  std::vector<std::uint64_t> rows;
  std::vector<float> acc;
  std::vector<float> rebuilt;
};

LookupScratch& scratch() {
  thread_local LookupScratch s;
  return s;
}

void copy_to_target(const float* values, const TargetView& target) {
  if (target.len == 0) return;  // a zero-column matrix has no row memory to copy from
  if (target.byte_stride == 4) {
    std::memcpy(target.data, values, target.len * sizeof(float));
    return;
  }
  for (std::size_t j = 0; j < target.len; ++j) target.set(j, values[j]);
}

}  // namespace

EmbeddingRow::EmbeddingRow(EmbeddingRow&& other) noexcept {
  bool owns = !other.owned_.empty() && other.view_.data() == other.owned_.data();
  owned_ = std::move(other.owned_);
  view_ = owns ? std::span<const float>(owned_) : other.view_;
}

Embeddings::Embeddings(std::optional<Metadata> metadata, Vocab vocab, Storage storage, NdNorms norms)
    : Embeddings(Unchecked{}, std::move(metadata), std::move(vocab), std::move(storage), std::move(norms)) {
  if (vocab_.n_words() != norms_->values.size()) {
    panic(PanicKind::VocabNormsLength, PanicFacts::values(vocab_.n_words(), norms_->values.size()));
  }
  if (vocab_.addressed_rows() != storage_.rows()) {
    panic(PanicKind::VocabRowsMismatch, PanicFacts::values(vocab_.addressed_rows(), storage_.rows()));
  }
}

Embeddings Embeddings::unchecked(std::optional<Metadata> metadata, Vocab vocab, Storage storage,
                                 std::optional<NdNorms> norms) {
  return Embeddings(Unchecked{}, std::move(metadata), std::move(vocab), std::move(storage), std::move(norms));
}

bool Embeddings::fill_embedding(std::string_view word, const TargetView& target, NormOrder order) const {
  const std::size_t n = dims();
  if (target.len != n) {
    panic(PanicKind::TargetLength, PanicFacts::values(target.len, n));
  }
  LookupScratch& s = scratch();
  // A composed string's rows arrive in batches and are summed in list order
  // into s.acc as they come. The target is zeroed before the first batch is
  // added, so that a lookup that fails on a row's index check leaves it
  // zeroed rather than holding the previous contents; it is not touched when
  // there are no rows.
  bool composing = false;
  auto add_batch = [&](std::span<const std::uint64_t> rows) {
    if (!composing) {
      for (std::size_t j = 0; j < n; ++j) target.set(j, 0.0f);
      s.acc.assign(n, 0.0f);
      composing = true;
    }
    storage_.add_rows(rows, s.acc.data(), s.rebuilt);
  };
  auto prefetch = [this](std::size_t row) { storage_.prefetch_row(row, /*whole=*/true); };
  WordLookup found = vocab_.lookup(word, s.rows, RowBatchSink(add_batch), CandidateHook(prefetch));
  switch (found.kind) {
    case WordLookup::Kind::None:
      return false;
    case WordLookup::Kind::Known:
      copy_row(found.row, target);
      return true;
    case WordLookup::Kind::Composed: {
      scale_to_unit_norm(s.acc.data(), n, order == NormOrder::Contiguous || target.is_contiguous());
      copy_to_target(s.acc.data(), target);
      return true;
    }
  }
  return false;
}

void Embeddings::copy_row(std::size_t row, const TargetView& target) const {
  if (const float* values = storage_.dense_row(row)) {
    copy_to_target(values, target);
    return;
  }
  LookupScratch& s = scratch();
  s.acc.resize(dims());
  storage_.row_into(row, s.acc.data());
  copy_to_target(s.acc.data(), target);
}

std::optional<EmbeddingRow> Embeddings::find_embedding(std::string_view word) const {
  const std::size_t n = dims();
  LookupScratch& s = scratch();
  std::vector<float> composed;
  bool composing = false;
  auto add_batch = [&](std::span<const std::uint64_t> rows) {
    if (!composing) {
      // The rows are checked before the vector is allocated: a file whose
      // matrix has no rows may claim any number of columns.
      for (std::uint64_t row : rows) check_index(row, storage_.rows());
      composed.assign(n, 0.0f);
      composing = true;
    }
    storage_.add_rows(rows, composed.data(), s.rebuilt);
  };
  auto prefetch = [this](std::size_t row) { storage_.prefetch_row(row, /*whole=*/true); };
  WordLookup found = vocab_.lookup(word, s.rows, RowBatchSink(add_batch), CandidateHook(prefetch));
  switch (found.kind) {
    case WordLookup::Kind::None:
      return std::nullopt;
    case WordLookup::Kind::Known: {
      if (const float* row = storage_.dense_row(found.row)) {
        return EmbeddingRow(std::span<const float>(row, n));
      }
      std::vector<float> v(n);
      storage_.row_into(found.row, v.data());
      return EmbeddingRow(std::move(v));
    }
    case WordLookup::Kind::Composed: {
      scale_to_unit_norm(composed.data(), n, true);
      return EmbeddingRow(std::move(composed));
    }
  }
  return std::nullopt;
}

Status Embeddings::write_embeddings_to(BufferedWriter& w) const {
  std::function<Status(BufferedWriter&)> write_storage;
  ChunkIdentifier storage_id = ChunkIdentifier::NdArray;
  if (const auto* owned = std::get_if<NdArray>(&storage_.variant())) {
    write_storage = [owned](BufferedWriter& out) { return write_nd_array(out, *owned); };
  } else if (const auto* mapped = std::get_if<MappedNdArray>(&storage_.variant())) {
    write_storage = [mapped](BufferedWriter& out) {
      return write_nd_array(out, mapped->rows(), mapped->cols(), mapped->data());
    };
  } else if (const auto* table = std::get_if<MappedTable>(&storage_.variant())) {
    // A converted table is written as the float32 rows it presents.
    write_storage = [table](BufferedWriter& out) {
      return write_nd_array(
          out, table->rows(), table->cols(),
          [table](std::size_t i, float* scratch) -> const float* {
            table->row_into(i, scratch);
            return scratch;
          },
          RowLifetime::UntilNextRow);
    };
  } else {
    const auto& quantized = std::get<MappedQuantizedArray>(storage_.variant());
    storage_id = ChunkIdentifier::QuantizedArray;
    write_storage = [&quantized](BufferedWriter& out) { return write_quantized_array(out, quantized); };
  }
  std::optional<std::span<const float>> norms;
  if (norms_) norms = std::span<const float>(norms_->values);
  return write_embeddings_file(w, metadata_, vocab_, storage_id, write_storage, norms);
}

Status write_embeddings_file(BufferedWriter& w, const std::optional<Metadata>& metadata, const Vocab& vocab,
                             ChunkIdentifier storage_id,
                             const std::function<Status(BufferedWriter&)>& write_storage,
                             std::optional<std::span<const float>> norms) {
  std::vector<ChunkIdentifier> ids;
  if (metadata) ids.push_back(ChunkIdentifier::Metadata);
  ids.push_back(vocab.chunk_identifier());
  ids.push_back(storage_id);
  if (norms) ids.push_back(ChunkIdentifier::NdNorms);

  MAVE_TRY(write_header(w, ids));
  if (metadata) MAVE_TRY(write_metadata(w, *metadata));
  MAVE_TRY(write_vocab_chunk(w, vocab));
  MAVE_TRY(write_storage(w));
  if (norms) MAVE_TRY(write_norms(w, *norms));
  return {};
}

Result<Embeddings> read_embeddings_mapped(BufferedReader& r) {
  MAVE_ASSIGN_OR_RETURN(std::vector<ChunkIdentifier> ids, read_header(r));
  // Pinned: docs/compatibility.md
  if (ids.empty()) return EmbeddingsError(ErrorCode::NoChunks);
  std::optional<Metadata> metadata;
  if (ids.front() == ChunkIdentifier::Metadata) {
    auto m = read_metadata(r);
    if (!m.ok()) {
      return in_chunk(std::move(m).error(), static_cast<std::uint32_t>(ChunkIdentifier::Metadata));
    }
    metadata = std::move(m).value();
  }
  MAVE_ASSIGN_OR_RETURN(Vocab vocab, read_vocab_chunk(r));
  MAVE_ASSIGN_OR_RETURN(Storage storage, read_storage_chunk(r));
  // Anything after the matrix that is not a readable norms chunk means "no norms".
  std::optional<NdNorms> norms;
  if (auto read = read_norms(r); read.ok()) norms = std::move(read).value();
  return Embeddings::unchecked(std::move(metadata), std::move(vocab), std::move(storage), std::move(norms));
}

}  // namespace mave
