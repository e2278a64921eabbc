#include "format/vocab.hpp"

#include <type_traits>

namespace mave {

std::size_t Vocab::n_words() const {
  return std::visit([](const auto& v) -> std::size_t { return v.n_words(); }, v_);
}

const WordList& Vocab::words() const {
  return std::visit([](const auto& v) -> const WordList& { return v.words; }, v_);
}

std::uint64_t Vocab::addressed_rows() const {
  return std::visit([](const auto& v) -> std::uint64_t { return v.addressed_rows(); }, v_);
}

ChunkIdentifier Vocab::chunk_identifier() const {
  constexpr ChunkIdentifier ids[] = {ChunkIdentifier::SimpleVocab, ChunkIdentifier::BucketSubwordVocab,
                                     ChunkIdentifier::FastTextSubwordVocab,
                                     ChunkIdentifier::ExplicitSubwordVocab,
                                     ChunkIdentifier::FloretSubwordVocab};
  return ids[v_.index()];
}

WordLookup Vocab::lookup(std::string_view word, std::vector<std::uint64_t>& buffer, RowBatchSink sink,
                         CandidateHook on_candidate) const {
  return std::visit(
      [&](const auto& v) -> WordLookup {
        if (auto row = v.words.find(word, WordList::hash(word), on_candidate)) {
          return {WordLookup::Kind::Known, *row};
        }
        if constexpr (std::is_same_v<std::decay_t<decltype(v)>, SimpleVocab>) {
          return {};
        } else {
          if (subword_rows(v, word, buffer, sink) == 0) return {};
          return {WordLookup::Kind::Composed, 0};
        }
      },
      v_);
}

Result<Vocab> read_vocab_chunk(BufferedReader& r) {
  // Pinned: docs/compatibility.md
  MAVE_ASSIGN_OR_RETURN(ChunkIdentifier id, peek_chunk_identifier(r, PeekedChunk::Vocabulary));
  const std::uint64_t start = r.offset();

  // A failure inside the chunk names it.
  auto wrap = [id](auto result) -> Result<Vocab> {
    if (!result.ok()) return in_chunk(std::move(result).error(), static_cast<std::uint32_t>(id));
    return Vocab(std::move(result).value());
  };
  switch (id) {
    case ChunkIdentifier::SimpleVocab:
      return wrap(read_simple_vocab(r));
    case ChunkIdentifier::ExplicitSubwordVocab:
      return wrap(read_explicit_subword_vocab(r));
    case ChunkIdentifier::FastTextSubwordVocab:
      return wrap(read_fasttext_subword_vocab(r));
    case ChunkIdentifier::FloretSubwordVocab:
      return wrap(read_floret_subword_vocab(r));
    case ChunkIdentifier::BucketSubwordVocab:
      return wrap(read_bucket_subword_vocab(r));
    default:
      return EmbeddingsError::with_values(ErrorCode::UnexpectedChunk, Step::ReadVocabularyChunkIdentifier,
                                          chunk_mask(ChunkIdentifier::SimpleVocab) |
                                              chunk_mask(ChunkIdentifier::ExplicitSubwordVocab) |
                                              chunk_mask(ChunkIdentifier::FastTextSubwordVocab) |
                                              chunk_mask(ChunkIdentifier::FloretSubwordVocab) |
                                              chunk_mask(ChunkIdentifier::BucketSubwordVocab),
                                          static_cast<std::uint32_t>(id))
          .at(start);
  }
}

Status write_vocab_chunk(BufferedWriter& w, const Vocab& vocab) {
  return std::visit(
      [&w](const auto& v) -> Status {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, SimpleVocab>) return write_simple_vocab(w, v);
        if constexpr (std::is_same_v<V, BucketSubwordVocab>) return write_bucket_subword_vocab(w, v);
        if constexpr (std::is_same_v<V, FastTextSubwordVocab>) return write_fasttext_subword_vocab(w, v);
        if constexpr (std::is_same_v<V, ExplicitSubwordVocab>) return write_explicit_subword_vocab(w, v);
        if constexpr (std::is_same_v<V, FloretSubwordVocab>) return write_floret_subword_vocab(w, v);
      },
      vocab.variant());
}

}  // namespace mave
