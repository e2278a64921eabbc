#include "python/native/messages.hpp"

#include <cstring>
#include <iterator>

#include "base/utf8.hpp"
#include "format/chunk.hpp"

namespace mave::messages {
namespace {

constexpr std::string_view kStepNames[] = {
    "",
    "creating the file",
    "creating the output file",
    "reading the fastText magic number",
    "finding the position of the padding",
    "finding the position of the matrix",
    "finding the storage chunk start position",
    "finding the vocabulary chunk start position",
    "mapping the embedding matrix into memory",
    "mapping the quantized embedding matrix into memory",
    "opening the file",
    "reading the learning rate update rate",
    "reading the metadata",
    "reading the begin-of-word marker",
    "reading the chunk identifier",
    "reading the chunk identifiers length",
    "reading the chunk length",
    "reading the embedding matrix chunk length",
    "reading the vectors",
    "reading the end-of-word marker",
    "reading an entry type",
    "reading the fastText version",
    "reading the hasher seed",
    "reading a string",
    "reading the length of a string",
    "reading the loss type",
    "reading the magic number",
    "reading the maximum n-gram length",
    "reading the maximum subword length",
    "reading the minimum count",
    "reading the minimum n-gram length",
    "reading the minimum subword length",
    "reading the model type",
    "reading the model version",
    "reading the negative samples",
    "reading an n-gram index",
    "reading the norms",
    "reading the norms chunk length",
    "reading the norms vector length",
    "reading the number of buckets",
    "reading the number of columns of the embedding matrix",
    "reading the number of dimensions",
    "reading the number of embedding matrix columns",
    "reading the number of embedding matrix rows",
    "reading the number of epochs",
    "reading the number of hashes",
    "reading the number of labels",
    "reading the number of ngrams",
    "reading the number of quantized embeddings",
    "reading the number of rows of the embedding matrix",
    "reading the number of centroids",
    "reading the number of tokens",
    "reading the number of words",
    "reading the projection matrix",
    "reading the pruned vocabulary size",
    "reading the quantization information",
    "reading the quantized embedding length",
    "reading the quantized embedding matrix chunk length",
    "reading the quantized embedding matrix norms",
    "reading the quantized embedding matrix projection",
    "reading the reconstructed embedding length",
    "reading the sampling threshold",
    "reading the storage chunk identifier",
    "reading a word",
    "reading the length of a string",
    "reading the centroids",
    "reading the type identifier",
    "reading the vocabulary chunk identifier",
    "reading the vocabulary chunk length",
    "reading the vocabulary length",
    "reading the vocabulary size",
    "reading the window size",
    "reading a word frequency",
    "reading the word n-gram length",
    "renaming the output file",
    "seeking to the storage chunk start position",
    "seeking to the vocabulary chunk start position",
    "skipping past the embedding matrix",
    "skipping past the padding",
    "skipping past the quantized embedding matrix",
    "writing the chunk identifier",
    "writing the chunk identifiers length",
    "writing the embedding matrix chunk identifier",
    "writing the embedding matrix chunk length",
    "writing the embedding matrix",
    "writing the embedding matrix type identifier",
    "writing the vectors",
    "writing the file",
    "writing the hasher seed",
    "writing the magic number",
    "writing the maximum n-gram length",
    "writing the metadata",
    "writing the metadata chunk identifier",
    "writing the metadata length",
    "writing the minimum n-gram length",
    "writing the model version",
    "writing an n-gram index",
    "writing a norm",
    "writing the norms",
    "writing the norms chunk identifier",
    "writing the norms chunk length",
    "writing the norms vector length",
    "writing the norms vector type identifier",
    "writing the number of buckets",
    "writing the number of columns of the embedding matrix",
    "writing the number of hashes",
    "writing the number of ngrams",
    "writing the number of quantized embeddings",
    "writing the number of rows of the embedding matrix",
    "writing the number of centroids",
    "writing the number of words",
    "writing the output file",
    "writing the padding",
    "writing the projection matrix",
    "writing the quantized embedding length",
    "writing the quantized embedding matrix",
    "writing the quantized embedding matrix chunk identifier",
    "writing the quantized embedding matrix chunk length",
    "writing the quantized embedding matrix norms",
    "writing the quantized embedding matrix projection",
    "writing the quantized embedding type identifier",
    "writing the reconstructed embedding length",
    "writing the reconstructed embedding type identifier",
    "writing a string",
    "writing the length of a string",
    "writing the centroids",
    "writing the subword vocabulary chunk identifier",
    "writing the subword vocabulary chunk length",
    "writing the vocabulary chunk identifier",
    "writing the vocabulary chunk length",
    "writing the vocabulary length",
};
static_assert(std::size(kStepNames) == kStepCount);

constexpr std::string_view kIoTexts[] = {
    "the file ends too early",
    "nothing could be written",
    "the file name contains a NUL byte",
    "a seek to a negative or overflowing position",
    "the data reaches past the end of the file",
    "only regular files can be memory-mapped",
    "the data is too large to memory-map",
    "the matrix has more columns than a u32 can count",
    "a length or centroid count does not fit in a u32",
    "the codes are not a whole number of rows",
    "the number of norms differs from the number of rows",
    "a code is not below the number of centroids",
};
static_assert(std::size(kIoTexts) == kIoMessageCount);

std::string chunk_name(std::uint64_t code) {
  if (!is_known_chunk_code(static_cast<std::uint32_t>(code))) return "chunk " + std::to_string(code);
  return std::string(chunk_identifier_name(static_cast<ChunkIdentifier>(code))) + " chunk";
}

std::string accepted_chunks(std::uint64_t mask) {
  std::string out;
  for (std::uint32_t code = 1; is_known_chunk_code(code); ++code) {
    if (((mask >> code) & 1) == 0) continue;
    if (!out.empty()) out += " or ";
    out += chunk_identifier_name(static_cast<ChunkIdentifier>(code));
  }
  return out + " chunk";
}

std::string field(Step step) {
  std::string_view name = step_name(step);
  return name.empty() ? std::string("reading the file") : std::string(name);
}

bool is_truncation(const IoError& io) {
  return io.kind() == ErrorKind::UnexpectedEof;
}

std::string what(const EmbeddingsError& e) {
  switch (e.code) {
    case ErrorCode::ReadFailed:
      if (is_truncation(*e.io)) return "the file ends while " + field(e.step);
      if (e.io->repr() == IoError::Repr::Os) return "reading failed while " + field(e.step);
      return io_text(*e.io) + " while " + field(e.step);
    case ErrorCode::WriteFailed:
      return "writing failed while " + field(e.step) +
             (e.io->repr() == IoError::Repr::Message ? ": " + io_text(*e.io) : std::string());
    case ErrorCode::InStep: return what(*e.inner) + ", while " + field(e.step);
    case ErrorCode::UnknownChunk: return "unknown chunk identifier " + std::to_string(e.found);
    case ErrorCode::UnexpectedChunk:
      return "expected a " + accepted_chunks(e.expected) + ", found a " + chunk_name(e.found);
    case ErrorCode::BadElementType:
      return "element type " + std::to_string(e.found) + " where type " +
             std::to_string(e.expected) + " was expected";
    case ErrorCode::InvalidUtf8: {
      std::string_view text = e.step == Step::ReadTOMLMetadata ? "the metadata"
                              : e.step == Step::ReadString     ? "a word"
                                                               : "a string";
      return std::string(text) + " is not valid UTF-8 (" +
             (e.expected == 0 ? "cut short" : "a bad byte sequence") + " after " +
             std::to_string(e.found) + " valid bytes)";
    }
    case ErrorCode::BadMagic:
      if (e.step == Step::FastTextReadMagic) {
        return "not a fastText model: its magic number is " + std::to_string(e.found) +
               ", not " + std::to_string(e.expected);
      }
      return "not a finalfusion file: it starts with " + quoted(e.detail) + ", not \"FiFu\"";
    case ErrorCode::UnsupportedVersion:
      if (e.step == Step::ReadFastTextVersion) {
        return "fastText format version " + std::to_string(e.found) +
               " is newer than the supported " + std::to_string(e.expected);
      }
      return "finalfusion version " + std::to_string(e.found) + " is not supported (only 0 is)";
    case ErrorCode::NoChunks: return "the file holds no chunks";
    case ErrorCode::BadMetadata:
      return "the metadata is not valid TOML (" + e.detail + ", line " +
             std::to_string(e.line.value_or(0)) + ", column " +
             std::to_string(e.column.value_or(0)) + " of the metadata)";
    case ErrorCode::UnknownCode:
      return std::string(e.step == Step::ReadLossType ? "unknown loss type " : "unknown model type ") +
             std::to_string(e.found);
    case ErrorCode::BadHashCount:
      return "the number of hashes is " + std::to_string(e.found) + ", not 1 to 4";
    case ErrorCode::UnsupportedModel:
      switch (e.step) {
        case Step::ReadNumberOfLabels:
          return "a fastText classification model (with labels) holds no word embeddings to read";
        case Step::ReadPrunedVocabularySize: return "pruned fastText vocabularies are not supported";
        case Step::ReadEntryType: return "a dictionary entry is a label, not a word";
        default: return "quantized fastText models (.ftz) are not supported";
      }
    case ErrorCode::BadQuantizedShape:
      return "the reconstructed length " + std::to_string(e.found) +
             " is not a multiple of the quantized length " + std::to_string(e.expected);
    case ErrorCode::BadShape:
      return "the matrix has " + std::to_string(e.found) + " rows, but the words and buckets need " +
             std::to_string(e.expected);
    case ErrorCode::Overflow:
      return "a count does not fit in this machine's word size, while " + field(e.step);
    case ErrorCode::BadText:
    case ErrorCode::Unwritable: return e.detail;
  }
  return "unknown failure";
}

}  // namespace

std::string_view step_name(Step step) { return kStepNames[static_cast<std::size_t>(step)]; }

std::string io_text(const IoError& error) {
  if (error.repr() == IoError::Repr::Message) {
    return std::string(kIoTexts[static_cast<std::size_t>(error.fixed_message())]);
  }
  if (error.repr() == IoError::Repr::Os) return std::strerror(error.code());
  return "an input or output error";
}

Reason reason(const EmbeddingsError& error) {
  Reason out;
  out.offset = error.offset;
  // A TOML line counts within the metadata, not the file.
  if (error.code != ErrorCode::BadMetadata) out.line = error.line;
  std::string where;
  if (out.line) {
    where = "line " + std::to_string(*out.line) + ": ";
  } else if (out.offset) {
    where = "byte " + std::to_string(*out.offset) + ": ";
  }
  out.text = where + what(error);
  if (error.chunk) out.text += " (in the " + chunk_name(*error.chunk) + ")";
  return out;
}

Reason panic_reason(const Panic& failure) {
  const PanicFacts& f = failure.facts();
  switch (failure.kind()) {
    case PanicKind::IndexOutOfBounds:
      return {"the file is damaged: it refers to row or centroid " + std::to_string(f.left) +
                  ", but there are only " + std::to_string(f.right),
              {}, {}};
    case PanicKind::TargetLength:
      return {"the target holds " + std::to_string(f.left) + " values, but the vectors have " +
                  std::to_string(f.right),
              {}, {}};
    case PanicKind::LoadFailed: return reason(*f.error);
    case PanicKind::MinNGramZero:
    case PanicKind::MaxBelowMin:
      return {"the n-gram lengths cannot be used: the minimum is 0 or above the maximum", {}, {}};
    case PanicKind::DuplicateWords:
      return {"the vocabulary holds " + std::to_string(f.left) + " words, but only " +
                  std::to_string(f.right) + " different ones",
              {}, {}};
    case PanicKind::TooManyBuckets:
      return {"more buckets than the largest possible number, " + std::to_string(f.right), {}, {}};
    case PanicKind::BucketsExponent:
      return {"the buckets exponent is above 64", {}, {}};
    case PanicKind::BadSearchArguments:
      return {"the search arguments do not fit together: " + f.detail, {}, {}};
    default:
      return {"the file is damaged: its contents break an internal check (" +
                  std::string(panic_kind_name(failure.kind())) + ")",
              {}, {}};
  }
}

}  // namespace mave::messages
