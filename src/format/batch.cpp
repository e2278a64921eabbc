#include "format/batch.hpp"

#include <cstdint>
#include <cstring>

#include "base/threads.hpp"

namespace mave {

namespace {

// Lookups of words[begin, end) in three stages a few words apart, so that the
// memory fetches of different words are in flight together instead of one
// after the other: hash the word and ask for its index slot; read the slot
// and ask for the candidate's bytes and the start of its row; compare and
// copy. A word that is not the candidate goes the way of fill_embedding
// (found further along, composed, or nothing).
void fill_range(const Embeddings& embeddings, std::span<const std::string_view> words,
                const TargetMatrix& out, bool* found, std::size_t begin, std::size_t end) {
  const WordList& list = embeddings.vocab().words();
  const Storage& storage = embeddings.storage();
  const std::size_t n_rows = storage.rows(), cols = storage.cols();
  const float* dense = nullptr;
  if (const auto* m = std::get_if<MappedNdArray>(&storage.variant())) dense = m->data();
  if (const auto* m = std::get_if<NdArray>(&storage.variant())) dense = m->data().data();
  constexpr std::size_t kDistance = 6;
  constexpr std::size_t kRing = 16;  // more than two distances of entries
  static_assert(kRing > 2 * kDistance);
  struct Entry {
    std::uint64_t hash;
    std::optional<WordList::Candidate> candidate;
  };
  Entry ring[kRing];
  for (std::size_t t = begin; t < end + 2 * kDistance; ++t) {
    // Four stages a distance apart: a word's bytes are asked for, hashed and
    // its slot asked for, its slot read and its row asked for, its row copied.
    if (t + kDistance < end) __builtin_prefetch(words[t + kDistance].data());
    if (t < end) {
      Entry& entry = ring[t % kRing];
      entry.hash = WordList::hash(words[t]);
      list.prefetch_slot(entry.hash);
    }
    if (t >= begin + kDistance && t - kDistance < end) {
      Entry& entry = ring[(t - kDistance) % kRing];
      entry.candidate = list.candidate(entry.hash);
      if (entry.candidate) {
        // A dense row is asked for whole, and here directly: the copy a
        // distance later then finds every line of it on its way (the first
        // line alone left the copy waiting on the rest), and the call through
        // the storage's variant sat on the path of every word.
        const std::size_t r = entry.candidate->index;
        if (dense != nullptr) {
          if (r < n_rows && cols != 0) {
            const char* row = reinterpret_cast<const char*>(dense + r * cols);
            const std::size_t bytes = cols * sizeof(float);
            for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(row + at);
            __builtin_prefetch(row + bytes - 1);
          }
        } else {
          storage.prefetch_row(r, /*whole=*/false);
        }
      }
    }
    if (t >= begin + 2 * kDistance) {
      const std::size_t i = t - 2 * kDistance;
      const Entry& entry = ring[i % kRing];
      const TargetView row = out.row(i);
      if (entry.candidate && entry.candidate->word == words[i]) {
        const std::size_t r = entry.candidate->index;
        // The common case inline: a dense row into a contiguous row of the
        // output; copy_row does the rest (and checks the row).
        if (dense != nullptr && r < n_rows && row.byte_stride == sizeof(float) && row.len != 0) {
          std::memcpy(row.data, dense + r * row.len, row.len * sizeof(float));
        } else {
          embeddings.copy_row(r, row);
        }
        found[i] = true;
        continue;
      }
      found[i] = embeddings.fill_embedding(words[i], row, NormOrder::Contiguous);
      if (!found[i]) {
        for (std::size_t j = 0; j < row.len; ++j) row.set(j, 0.0f);
      }
    }
  }
}

}  // namespace

void fill_embeddings(const Embeddings& embeddings, std::span<const std::string_view> words,
                     const TargetMatrix& out, bool* found, unsigned threads) {
  threads = choose_threads(threads, words.size(), 4096);
  parallel_for(words.size(), threads, [&](unsigned, std::size_t begin, std::size_t end) {
    fill_range(embeddings, words, out, found, begin, end);
  });
}

}  // namespace mave
