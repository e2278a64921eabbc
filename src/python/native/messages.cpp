#include "python/native/messages.hpp"

#include <cstring>
#include <iterator>
#include <utility>

#include "base/utf8.hpp"
#include "format/chunk.hpp"
#include "static/safetensors.hpp"

namespace mave::messages {
namespace {

// The words before and after a step's field, for each action.
constexpr std::pair<std::string_view, std::string_view> kStepWords[] = {
    {"", ""},
    {"creating the ", ""},
    {"finding the ", ""},
    {"mapping the ", " into memory"},
    {"opening the ", ""},
    {"reading the ", ""},
    {"renaming the ", ""},
    {"seeking to the ", ""},
    {"skipping past the ", ""},
    {"writing the ", ""},
};
static_assert(std::size(kStepWords) == kStepActionCount);

// The steps whose plain words are not those of the field's name in the format.
constexpr std::pair<Step, std::string_view> kStepsInOtherWords[] = {
    {Step::GetFilePositionForComputingPadding, "finding the position of the padding"},
    {Step::GetFilePositionForMemoryMappingEmbeddingMatrix, "finding the position of the matrix"},
    {Step::ReadLRUpdateRate, "reading the learning rate update rate"},
    {Step::ReadTOMLMetadata, "reading the metadata"},
    {Step::ReadBeginOfWordMarker, "reading the begin-of-word marker"},
    {Step::ReadEmbeddings, "reading the vectors"},
    {Step::ReadEndOfWordMarker, "reading the end-of-word marker"},
    {Step::ReadEntryType, "reading an entry type"},
    {Step::ReadItem, "reading a string"},
    {Step::ReadItemLength, "reading the length of a string"},
    {Step::ReadMagic, "reading the magic number"},
    {Step::ReadNgramIndex, "reading an n-gram index"},
    {Step::ReadNumberOfSubquantizers, "reading the number of centroids"},
    {Step::ReadString, "reading a word"},
    {Step::ReadStringLength, "reading the length of a string"},
    {Step::ReadSubquantizer, "reading the centroids"},
    {Step::ReadWordFrequency, "reading a word frequency"},
    {Step::WriteEmbeddingMatrixComponent, "writing the embedding matrix"},
    {Step::WriteEmbeddings, "writing the vectors"},
    {Step::WriteMagic, "writing the magic number"},
    {Step::WriteNgramIndex, "writing an n-gram index"},
    {Step::WriteNorm, "writing a norm"},
    {Step::WriteNumberOfSubquantizers, "writing the number of centroids"},
    {Step::WriteString, "writing a string"},
    {Step::WriteStringLength, "writing the length of a string"},
    {Step::WriteSubquantizer, "writing the centroids"},
};

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
    "the compressed data is damaged",
    "the compressed data ends before its end of stream",
    "the zip archive holds more than one file; name the one to read with --member on the command "
    "line (member= in Python)",
    "the zip archive holds no file of that name",
    "the zip member is compressed with a method other than stored or deflated",
    "a member is named but the file is not a zip archive",
    "a zip archive is read from a regular file only",
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
  std::string name = step_name(step);
  return name.empty() ? std::string("reading the file") : name;
}

constexpr std::string_view kJsonKinds[] = {
    "a JSON object",
    "a JSON array",
    "a string",
    "a non-negative integer",
    "true or false",
    "a list of two non-negative integers",
    "a list of non-negative integers",
    "a string or null",
    "a non-negative integer or null",
    "a list of [token, score] pairs",
};
static_assert(std::size(kJsonKinds) == kJsonKindCount);

std::string tensor(const std::string& name) { return "tensor " + quoted(name); }

// A static model's fault in words; the file is named by the caller.
std::string static_fault(const EmbeddingsError& e) {
  const std::string n = std::to_string(e.found), x = std::to_string(e.expected);
  switch (e.fault) {
    case StaticFault::ShortFile:
      return "not a safetensors file: it holds " + n + " bytes, fewer than the 8 of the header length";
    case StaticFault::HeaderPastEnd:
      return "the header length " + n + " reaches past the end of the file (" + x +
             " bytes follow the length)";
    case StaticFault::UnknownDtype:
      return tensor(e.name) + " has the unknown dtype " + quoted(e.detail);
    case StaticFault::OffsetsReversed:
      return tensor(e.name) + " ends at " + n + ", before it begins at " + x;
    case StaticFault::OffsetsPastData:
      return tensor(e.name) + " ends at byte " + n + " of the data, which holds only " + x +
             " bytes (the file is cut short or the offsets are wrong)";
    case StaticFault::TensorsOverlap:
      return tensor(e.name) + " begins at byte " + n +
             " of the data, inside the tensor before it "
             "(which ends at " +
             x + ")";
    case StaticFault::DataGap:
      return "bytes " + x + " to " + n + " of the data belong to no tensor";
    case StaticFault::SizeMismatch:
      return tensor(e.name) + ": its shape and dtype take " + x + " bytes, but its offsets hold " + n;
    case StaticFault::ShapeOverflow:
      return tensor(e.name) + " has a shape too large to hold";
    case StaticFault::RepeatedTensor:
      return tensor(e.name) + " is named twice";
    case StaticFault::MissingTensor:
      return "there is no " + tensor(e.name);
    case StaticFault::BadRank:
      return tensor(e.name) + " has " + n + " dimensions, not " + x;
    case StaticFault::UnusableDtype:
      return tensor(e.name) + " has dtype " +
             std::string(e.found < kTensorDtypeCount ? dtype_name(static_cast<TensorDtype>(e.found)) : "?") +
             (e.name == "mapping"   ? ", not an integer type (I32, I64, U32, U64)"
              : e.name == "weights" ? ", not a float type (F32, F64, F16, BF16)"
                                    : ", which a table cannot have (F32, F16, BF16 and I8 can)");
    case StaticFault::RowsMismatch:
      return tensor(e.name) + " has " + n + " rows, but the tokenizer has " + x + " tokens";
    case StaticFault::MappingOutOfRange:
      return "the mapping sends token " + e.name + " to row " + n + ", but the table has " + x + " rows";
    case StaticFault::NotJson:
      return "not valid JSON (" + e.detail + ")";
    case StaticFault::BadField:
      return (e.name.empty() ? std::string("the file") : quoted(e.name)) + " must be " +
             std::string(e.expected < kJsonKindCount ? kJsonKinds[e.expected] : "another value");
    case StaticFault::MissingField:
      return "there is no field " + quoted(e.name);
    case StaticFault::NoModelFiles:
      return "no static model in this folder: it holds neither config.json (Model2Vec) nor "
             "modules.json, config_sentence_transformers.json or 0_StaticEmbedding "
             "(sentence-transformers)";
    case StaticFault::NoStaticModule:
      return "no module is a StaticEmbedding";
    case StaticFault::UnknownTokenizerModel:
      return "the tokenizer model " + quoted(e.detail) +
             " is not one of WordPiece, BPE, Unigram and WordLevel";
    case StaticFault::TokenIdMissing:
      return "no token has the id " + n + ", though larger ids have one";
    case StaticFault::TwoTokensOneId:
      return "the id " + n + " names two tokens, one of them " + quoted(e.name);
    case StaticFault::TokenizerSize:
      return "the tokenizer reads " + n + " tokens from it, but its vocabulary holds " + x;
  }
  return "unknown fault";
}

constexpr std::string_view kTokenizerFaultTexts[] = {
    "is not valid JSON",
    "has the wrong type",
    "is missing",
    "has a value the tokenizers package does not accept",
    "names an id at or past the number of tokens",
    "gives an id that another token has",
    "names a token that is not in the vocabulary",
    "holds more tokens than a 32-bit id can number",
};
static_assert(std::size(kTokenizerFaultTexts) == kTokenizerFaultCount);

// "tokenizer.json: model.vocab has the wrong type"; for bad JSON, the parser's words.
std::string tokenizer_fault(const EmbeddingsError& e) {
  const auto fault = static_cast<TokenizerFault>(e.found);
  if (fault == TokenizerFault::NotJson) {
    return "the tokenizer is not valid JSON (" + e.detail + ")";
  }
  const std::size_t index = e.found < kTokenizerFaultCount ? e.found : 0;
  return "the tokenizer's " + (e.detail.empty() ? std::string("file") : e.detail) + " " +
         std::string(kTokenizerFaultTexts[index]);
}

bool is_truncation(const IoError& io) { return io.kind() == ErrorKind::UnexpectedEof; }

std::string what(const EmbeddingsError& e) {
  switch (e.code) {
    case ErrorCode::ReadFailed:
      if (is_truncation(*e.io)) return "the file ends while " + field(e.step);
      if (e.io->repr() == IoError::Repr::Os) return "reading failed while " + field(e.step);
      return io_text(*e.io) + " while " + field(e.step);
    case ErrorCode::WriteFailed:
      return "writing failed while " + field(e.step) +
             (e.io->repr() == IoError::Repr::Message ? ": " + io_text(*e.io) : std::string());
    case ErrorCode::InStep:
      return what(*e.inner) + ", while " + field(e.step);
    case ErrorCode::UnknownChunk:
      return "unknown chunk identifier " + std::to_string(e.found);
    case ErrorCode::UnexpectedChunk:
      return "expected a " + accepted_chunks(e.expected) + ", found a " + chunk_name(e.found);
    case ErrorCode::BadElementType:
      return "element type " + std::to_string(e.found) + " where type " + std::to_string(e.expected) +
             " was expected";
    case ErrorCode::InvalidUtf8: {
      std::string_view text = e.step == Step::ReadTOMLMetadata ? "the metadata"
                              : e.step == Step::ReadString     ? "a word"
                                                               : "a string";
      return std::string(text) + " is not valid UTF-8 (" +
             (e.expected == 0 ? "cut short" : "a bad byte sequence") + " after " + std::to_string(e.found) +
             " valid bytes)";
    }
    case ErrorCode::BadMagic:
      if (e.step == Step::FastTextReadMagic) {
        return "not a fastText model: its magic number is " + std::to_string(e.found) + ", not " +
               std::to_string(e.expected);
      }
      return "not a finalfusion file: it starts with " + quoted(e.detail) + ", not \"FiFu\"";
    case ErrorCode::UnsupportedVersion:
      if (e.step == Step::ReadFastTextVersion) {
        return "fastText format version " + std::to_string(e.found) + " is newer than the supported " +
               std::to_string(e.expected);
      }
      return "finalfusion version " + std::to_string(e.found) + " is not supported (only 0 is)";
    case ErrorCode::NoChunks:
      return "the file holds no chunks";
    case ErrorCode::BadMetadata:
      return "the metadata is not valid TOML (" + e.detail + ", line " + std::to_string(e.line.value_or(0)) +
             ", column " + std::to_string(e.column.value_or(0)) + " of the metadata)";
    case ErrorCode::UnknownCode:
      return std::string(e.step == Step::ReadLossType ? "unknown loss type " : "unknown model type ") +
             std::to_string(e.found);
    case ErrorCode::BadHashCount:
      return "the number of hashes is " + std::to_string(e.found) + ", not 1 to 4";
    case ErrorCode::UnsupportedModel:
      switch (e.step) {
        case Step::ReadNumberOfLabels:
          return "a fastText classification model (with labels) holds no word embeddings to read";
        case Step::ReadPrunedVocabularySize:
          return "pruned fastText vocabularies are not supported";
        case Step::ReadEntryType:
          return "a dictionary entry is a label, not a word";
        default:
          return "quantized fastText models (.ftz) are not supported";
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
    case ErrorCode::Unwritable:
      return e.detail;
    case ErrorCode::UnknownFloretMode:
      return "unknown floret mode " + std::to_string(e.found) + " (1 is fastText, 2 floret)";
    case ErrorCode::FloretWithoutBuckets:
      return "a floret model without buckets holds no vectors";
    case ErrorCode::RepeatedWord:
      return "the word " + quoted(e.detail) + " repeats in the dictionary";
    case ErrorCode::CompressedFinalFusion:
      return "a compressed finalfusion file cannot be memory-mapped; decompress it first";
    case ErrorCode::BadTokenizer:
      return tokenizer_fault(e);
    case ErrorCode::BadStaticModel:
      return static_fault(e);
  }
  return "unknown failure";
}

}  // namespace

std::string step_name(Step step) {
  for (const auto& [other, words] : kStepsInOtherWords) {
    if (other == step) return std::string(words);
  }
  const StepFacts& facts = step_facts(step);
  const auto& [before, after] = kStepWords[static_cast<std::size_t>(facts.action)];
  return std::string(before) + std::string(facts.field) + std::string(after);
}

std::string io_text(const IoError& error) {
  if (error.repr() == IoError::Repr::Message) {
    std::string text(kIoTexts[static_cast<std::size_t>(error.fixed_message())]);
    if (!error.detail().empty()) text += " (" + std::string(error.detail()) + ")";
    return text;
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
              {},
              {}};
    case PanicKind::TargetLength:
      return {"the target holds " + std::to_string(f.left) + " values, but the vectors have " +
                  std::to_string(f.right),
              {},
              {}};
    case PanicKind::LoadFailed:
      return reason(*f.error);
    case PanicKind::MinNGramZero:
    case PanicKind::MaxBelowMin:
      return {"the n-gram lengths cannot be used: the minimum is 0 or above the maximum", {}, {}};
    case PanicKind::DuplicateWords:
      return {"the vocabulary holds " + std::to_string(f.left) + " words, but only " +
                  std::to_string(f.right) + " different ones",
              {},
              {}};
    case PanicKind::TooManyBuckets:
      return {"more buckets than the largest possible number, " + std::to_string(f.right), {}, {}};
    case PanicKind::BucketsExponent:
      return {"the buckets exponent is above 64", {}, {}};
    case PanicKind::BadSearchArguments:
      return {"the search arguments do not fit together: " + f.detail, {}, {}};
    case PanicKind::BlasUnavailable:
      return {"the search needs OpenBLAS (the scipy-openblas32 package), and none is loaded", {}, {}};
    default:
      return {"the file is damaged: its contents break an internal check (" +
                  std::string(panic_kind_name(failure.kind())) + ")",
              {},
              {}};
  }
}

}  // namespace mave::messages
