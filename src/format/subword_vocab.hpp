// The four subword vocabulary chunks (bucket, fastText, explicit, floret) and
// the fastText subword vocabulary writer.
#pragma once

#include "format/chunk.hpp"
#include "format/error.hpp"
#include "format/io.hpp"
#include "subword/ngrams.hpp"

namespace mave {

Result<BucketSubwordVocab> read_bucket_subword_vocab(BufferedReader& r);
Result<FastTextSubwordVocab> read_fasttext_subword_vocab(BufferedReader& r);
Result<ExplicitSubwordVocab> read_explicit_subword_vocab(BufferedReader& r);
Result<FloretSubwordVocab> read_floret_subword_vocab(BufferedReader& r);

Status write_fasttext_subword_vocab(BufferedWriter& w, const FastTextSubwordVocab& vocab);

}  // namespace mave
