// Reading a fastText binary model and converting it into embeddings.
#pragma once

#include "format/embeddings.hpp"
#include "format/io.hpp"

namespace mave {

Result<Embeddings> load_fasttext_model(BufferedReader& r);

}  // namespace mave
