// The `.floret` table floret writes for spaCy (`spacy init vectors --mode
// floret` reads it): a header line "<rows> <dims> <min_n> <max_n>
// <hash count> <seed> <begin marker> <end marker>", then one line per
// bucket row, its index and its values. It holds a floret vocabulary and
// its rows, nothing else.
#pragma once

#include "base/io.hpp"
#include "format/embeddings.hpp"
#include "importers/word2vec.hpp"

namespace mave {

// A floret-kind Embeddings without norms; lookups compose every string from
// its n-grams' rows. The rows must come in index order, 0 first.
Result<Embeddings> read_floret_table(BufferedReader& r, const Progress& progress = {});

// The table of a floret-kind file (anything else is refused with a Format
// error); each value as the shortest text that reads back to the same float32.
Status write_floret_table(BufferedWriter& w, const Embeddings& e, const Progress& progress = {});

}  // namespace mave
