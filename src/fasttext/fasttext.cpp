#include "fasttext/fasttext.hpp"

namespace mave {

Result<Embeddings> load_fasttext_model(BufferedReader&) {
  return EmbeddingsError::format("fastText models cannot be read yet");
}

}  // namespace mave
