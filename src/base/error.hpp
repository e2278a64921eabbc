// The one error record of all reading, writing and conversion code, its I/O
// error, the result type that carries it, and the aborting failure. They hold
// codes and facts only: the bindings render them (src/python/_mave its pinned
// texts, src/python/native mave's own messages).
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace mave {

enum class ErrorKind {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  HostUnreachable,
  NetworkUnreachable,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  NetworkDown,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  FilesystemLoop,
  StaleNetworkFileHandle,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  StorageFull,
  NotSeekable,
  FilesystemQuotaExceeded,
  FileTooLarge,
  ResourceBusy,
  ExecutableFileBusy,
  Deadlock,
  CrossesDevices,
  TooManyLinks,
  InvalidFilename,
  ArgumentListTooLong,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  Other,
  Uncategorized,
};
inline constexpr std::size_t kErrorKindCount = 41;

ErrorKind error_kind_from_errno(int code);

// The fixed messages of I/O errors that have no OS error code.
enum class IoMessage : std::uint8_t {
  FillWholeBuffer,   // a read met the end of the file
  WriteWholeBuffer,  // a write wrote nothing
  NulInFileName,
  InvalidSeek,  // to a negative or overflowing position
  MapPastEnd,   // a mapping reaching beyond the file
  MapNotRegularFile,
  MapTooLarge,
  TooManyColumns,     // a matrix wider than a u32 can count
  QuantizedTooLarge,  // a length or centroid count beyond a u32
  CodesNotWholeRows,
  NormCountNotRows,
  CodeBeyondCentroids,
  // Compressed input; the detail names the compression and what the
  // decompressor found.
  CompressedDamaged,
  CompressedCutShort,
  ZipMemberUnnamed,      // detail: the files the archive holds
  ZipMemberMissing,      // detail: the name asked for, then the files held
  ZipMethodUnsupported,  // detail: the member and its method number
  MemberOfNonZip,
  ZipNotRegularFile,
};
inline constexpr std::size_t kIoMessageCount = 19;

// An operating-system I/O error: an OS code (errno), a bare kind, or a kind
// with one of the fixed messages.
class IoError {
 public:
  enum class Repr : std::uint8_t { Os, Kind, Message };

  static IoError os(int code) { return IoError(Repr::Os, error_kind_from_errno(code), code, {}); }
  static IoError from_kind(ErrorKind kind) { return IoError(Repr::Kind, kind, 0, {}); }
  static IoError message(ErrorKind kind, IoMessage message) {
    return IoError(Repr::Message, kind, 0, message);
  }
  // A fixed message with facts that only the failure knows (a member name,
  // a decompressor's own words).
  static IoError message(ErrorKind kind, IoMessage message, std::string detail) {
    IoError e(Repr::Message, kind, 0, message);
    e.detail_ = std::make_shared<const std::string>(std::move(detail));
    return e;
  }
  // The two errors of exact reads and writes.
  static IoError unexpected_eof() { return message(ErrorKind::UnexpectedEof, IoMessage::FillWholeBuffer); }
  static IoError write_zero() { return message(ErrorKind::WriteZero, IoMessage::WriteWholeBuffer); }

  Repr repr() const { return repr_; }
  ErrorKind kind() const { return kind_; }
  int code() const { return code_; }                    // errno, for Repr::Os
  IoMessage fixed_message() const { return message_; }  // for Repr::Message
  // The facts of a fixed message; empty when it has none.
  std::string_view detail() const { return detail_ ? std::string_view(*detail_) : std::string_view(); }

 private:
  IoError(Repr repr, ErrorKind kind, int code, IoMessage message)
      : repr_(repr), kind_(kind), code_(code), message_(message) {}

  Repr repr_;
  ErrorKind kind_;
  int code_;
  IoMessage message_;
  std::shared_ptr<const std::string> detail_;
};

enum class ShapeErrorKind : std::uint8_t {
  IncompatibleShape,
  IncompatibleLayout,
  RangeLimited,
  OutOfBounds,
  Unsupported,
  Overflow,
};

// What is wrong with a static model's folder or one of its files
// (ErrorCode::BadStaticModel). `name` is the tensor, field or token concerned;
// the facts beside each are those the renderers need.
enum class StaticFault : std::uint8_t {
  // The safetensors file.
  ShortFile,          // found: the file's size, below the 8 bytes of the header length
  HeaderPastEnd,      // found: the header length; expected: the bytes after the length field
  UnknownDtype,       // name: the tensor; detail: the dtype given
  OffsetsReversed,    // name: the tensor; expected: its first offset; found: its end
  OffsetsPastData,    // name: the tensor; expected: the data's bytes; found: its end
  TensorsOverlap,     // name: the tensor; expected: the previous tensor's end; found: its begin
  DataGap,            // expected, found: the first and the end offset of bytes no tensor holds
  SizeMismatch,       // name: the tensor; expected: its shape's bytes; found: its offsets' bytes
  ShapeOverflow,      // name: the tensor: its shape's size does not fit in 64 bits
  RepeatedTensor,     // name: the tensor
  MissingTensor,      // name: the tensor looked for
  BadRank,            // name: the tensor; expected, found: dimensions
  UnusableDtype,      // name: the tensor; found: its TensorDtype, which its role cannot take
  RowsMismatch,       // name: the tensor; expected: the tokens; found: its rows
  MappingOutOfRange,  // name: the token id; expected: the table's rows; found: the row named
  // Any JSON file of the folder.
  NotJson,       // detail: the parser's message
  BadField,      // name: the field; expected: the JsonKind it must have
  MissingField,  // name: the field
  // The folder and tokenizer.json.
  NoModelFiles,           // the folder holds none of the layouts
  NoStaticModule,         // modules.json names no StaticEmbedding module
  UnknownTokenizerModel,  // detail: the model type
  TokenIdMissing,         // found: an id below the largest that no token has
  TwoTokensOneId,         // name: the second token; found: the id
  TokenizerSize,          // expected: the vocabulary's tokens; found: those the tokenizer reads
};
inline constexpr std::size_t kStaticFaultCount = 24;

// The JSON kinds a field of a static model's files must have.
enum class JsonKind : std::uint8_t {
  Object,
  Array,
  String,
  Count,
  Bool,
  CountPair,
  CountList,
  StringOrNull,
  CountOrNull,
  TokenScorePair,
};
inline constexpr std::size_t kJsonKindCount = 10;

// What went wrong. The facts that go with each code are listed beside it;
// the bindings turn code and facts into their own texts.
enum class ErrorCode : std::uint8_t {
  ReadFailed,          // step, io (UnexpectedEof: the file ends inside the field)
  WriteFailed,         // step, io
  InStep,              // step, inner: the step failed because of `inner`
  UnknownChunk,        // found: the chunk code
  UnexpectedChunk,     // expected: a mask of accepted chunk codes, found: the chunk code
  BadElementType,      // expected, found: element type codes
  InvalidUtf8,         // step: the text; found: valid bytes, expected: bad sequence length (0: cut short)
  BadMagic,            // step; detail: the bytes found (finalfusion) or expected, found (fastText)
  UnsupportedVersion,  // step; expected, found
  NoChunks,
  BadMetadata,        // detail: the TOML parser's message; line, column
  UnknownCode,        // step: the enumeration field; found
  BadHashCount,       // found: a floret hash count outside 1..4
  UnsupportedModel,   // step: the field that tells; found
  BadQuantizedShape,  // expected: quantized length, found: reconstructed length
  BadShape,           // shape; expected, found: matrix rows
  Overflow,           // step: a count that does not fit the native word size
  BadText,            // detail: what is wrong with a text or word2vec file; line or offset
  Unwritable,         // detail: why a word cannot be written in the chosen text format
  UnknownFloretMode,  // found: the mode field of a floret model
  FloretWithoutBuckets,
  RepeatedWord,           // detail: a word the fastText dictionary holds twice
  CompressedFinalFusion,  // a compressed finalfusion file, which is memory-mapped
  BadTokenizer,           // detail: the field of tokenizer.json (a path: model.vocab); found: a
                          // TokenizerFault; offset: where the JSON goes wrong (NotJson)
  BadStaticModel,         // fault, name, detail, expected, found: a static model's folder or file
};
inline constexpr std::size_t kErrorCodeCount = 25;
std::string_view error_code_name(ErrorCode code);

// What is wrong with a field of a tokenizer.json (ErrorCode::BadTokenizer).
enum class TokenizerFault : std::uint8_t {
  NotJson,       // detail: the JSON parser's message
  WrongType,     // the field is not of the type the `tokenizers` package reads
  Missing,       // a field that must be there is not
  BadValue,      // a value that package refuses (an unknown behavior, a negative count)
  IdOutOfRange,  // a token id at or past the number of tokens
  DuplicateId,   // two tokens with one id
  UnknownToken,  // a token named (unk_token, a merge) that the vocabulary lacks
  TooLarge,      // more tokens than a u32 can number
};
inline constexpr std::size_t kTokenizerFaultCount = 8;

// What a step does to its field; each binding has its own verb for each.
enum class StepAction : std::uint8_t { None, Create, Find, Map, Open, Read, Rename, Seek, Skip, Write };
inline constexpr std::size_t kStepActionCount = 10;

// Every step, written once: its name, its action and the field or part of
// the file it acts on, named in the format's own terms. The bindings word
// their step texts from these (_mave's pinned ones are "Cannot <verb>
// <field>": a field name changed here changes a pinned text,
// docs/compatibility.md).
#define MAVE_STEPS(X)                                                                                   \
  X(None, None, "")                                                                                     \
  X(CreateFile, Create, "file")                                                                         \
  X(CreateOutputFile, Create, "output file")                                                            \
  X(FastTextReadMagic, Read, "fastText magic number")                                                   \
  X(GetFilePositionForComputingPadding, Find, "file position for computing padding")                    \
  X(GetFilePositionForMemoryMappingEmbeddingMatrix, Find,                                               \
    "file position for memory mapping embedding matrix")                                                \
  X(GetStorageChunkStartPosition, Find, "storage chunk start position")                                 \
  X(GetVocabularyChunkStartPosition, Find, "vocabulary chunk start position")                           \
  X(MemoryMapEmbeddingMatrix, Map, "embedding matrix")                                                  \
  X(MemoryMapQuantizedEmbeddingMatrix, Map, "quantized embedding matrix")                               \
  X(OpenFile, Open, "file")                                                                             \
  X(ReadLRUpdateRate, Read, "LR update rate")                                                           \
  X(ReadTOMLMetadata, Read, "TOML metadata")                                                            \
  X(ReadBeginOfWordMarker, Read, "begin of word marker")                                                \
  X(ReadChunkIdentifier, Read, "chunk identifier")                                                      \
  X(ReadChunkIdentifiersLength, Read, "chunk identifiers length")                                       \
  X(ReadChunkLength, Read, "chunk length")                                                              \
  X(ReadEmbeddingMatrixChunkLength, Read, "embedding matrix chunk length")                              \
  X(ReadEmbeddings, Read, "embeddings")                                                                 \
  X(ReadEndOfWordMarker, Read, "end of word marker")                                                    \
  X(ReadEntryType, Read, "entry type")                                                                  \
  X(ReadFastTextVersion, Read, "fastText version")                                                      \
  X(ReadHasherSeed, Read, "hasher seed")                                                                \
  X(ReadItem, Read, "item")                                                                             \
  X(ReadItemLength, Read, "item length")                                                                \
  X(ReadLossType, Read, "loss type")                                                                    \
  X(ReadMagic, Read, "magic")                                                                           \
  X(ReadMaximumNGramLength, Read, "maximum n-gram length")                                              \
  X(ReadMaximumSubwordLength, Read, "maximum subword length")                                           \
  X(ReadMinimumCount, Read, "minimum count")                                                            \
  X(ReadMinimumNGramLength, Read, "minimum n-gram length")                                              \
  X(ReadMinimumSubwordLength, Read, "minimum subword length")                                           \
  X(ReadModelType, Read, "model type")                                                                  \
  X(ReadModelVersion, Read, "model version")                                                            \
  X(ReadNegativeSamples, Read, "negative samples")                                                      \
  X(ReadNgramIndex, Read, "ngram index")                                                                \
  X(ReadNorms, Read, "norms")                                                                           \
  X(ReadNormsChunkLength, Read, "norms chunk length")                                                   \
  X(ReadNormsVectorLength, Read, "norms vector length")                                                 \
  X(ReadNumberOfBuckets, Read, "number of buckets")                                                     \
  X(ReadNumberOfColumnsOfTheEmbeddingMatrix, Read, "number of columns of the embedding matrix")         \
  X(ReadNumberOfDimensions, Read, "number of dimensions")                                               \
  X(ReadNumberOfEmbeddingMatrixColumns, Read, "number of embedding matrix columns")                     \
  X(ReadNumberOfEmbeddingMatrixRows, Read, "number of embedding matrix rows")                           \
  X(ReadNumberOfEpochs, Read, "number of epochs")                                                       \
  X(ReadNumberOfHashes, Read, "number of hashes")                                                       \
  X(ReadNumberOfLabels, Read, "number of labels")                                                       \
  X(ReadNumberOfNgrams, Read, "number of ngrams")                                                       \
  X(ReadNumberOfQuantizedEmbeddings, Read, "number of quantized embeddings")                            \
  X(ReadNumberOfRowsOfTheEmbeddingMatrix, Read, "number of rows of the embedding matrix")               \
  X(ReadNumberOfSubquantizers, Read, "number of subquantizers")                                         \
  X(ReadNumberOfTokens, Read, "number of tokens")                                                       \
  X(ReadNumberOfWords, Read, "number of words")                                                         \
  X(ReadProjectionMatrix, Read, "projection matrix")                                                    \
  X(ReadPrunedVocabularySize, Read, "pruned vocabulary size")                                           \
  X(ReadQuantizationInformation, Read, "quantization information")                                      \
  X(ReadQuantizedEmbeddingLength, Read, "quantized embedding length")                                   \
  X(ReadQuantizedEmbeddingMatrixChunkLength, Read, "quantized embedding matrix chunk length")           \
  X(ReadQuantizedEmbeddingMatrixNorms, Read, "quantized embedding matrix norms")                        \
  X(ReadQuantizedEmbeddingMatrixProjection, Read, "quantized embedding matrix projection")              \
  X(ReadReconstructedEmbeddingLength, Read, "reconstructed embedding length")                           \
  X(ReadSamplingThreshold, Read, "sampling threshold")                                                  \
  X(ReadStorageChunkIdentifier, Read, "storage chunk identifier")                                       \
  X(ReadString, Read, "string")                                                                         \
  X(ReadStringLength, Read, "string length")                                                            \
  X(ReadSubquantizer, Read, "subquantizer")                                                             \
  X(ReadTypeIdentifier, Read, "type identifier")                                                        \
  X(ReadVocabularyChunkIdentifier, Read, "vocabulary chunk identifier")                                 \
  X(ReadVocabularyChunkLength, Read, "vocabulary chunk length")                                         \
  X(ReadVocabularyLength, Read, "vocabulary length")                                                    \
  X(ReadVocabularySize, Read, "vocabulary size")                                                        \
  X(ReadWindowSize, Read, "window size")                                                                \
  X(ReadWordFrequency, Read, "word frequency")                                                          \
  X(ReadWordNGramLength, Read, "word n-gram length")                                                    \
  X(RenameOutputFile, Rename, "output file")                                                            \
  X(SeekToStorageChunkStartPosition, Seek, "storage chunk start position")                              \
  X(SeekToVocabularyChunkStartPosition, Seek, "vocabulary chunk start position")                        \
  X(SkipEmbeddingMatrix, Skip, "embedding matrix")                                                      \
  X(SkipPadding, Skip, "padding")                                                                       \
  X(SkipQuantizedEmbeddingMatrix, Skip, "quantized embedding matrix")                                   \
  X(WriteChunkIdentifier, Write, "chunk identifier")                                                    \
  X(WriteChunkIdentifiersLength, Write, "chunk identifiers length")                                     \
  X(WriteEmbeddingMatrixChunkIdentifier, Write, "embedding matrix chunk identifier")                    \
  X(WriteEmbeddingMatrixChunkLength, Write, "embedding matrix chunk length")                            \
  X(WriteEmbeddingMatrixComponent, Write, "embedding matrix component")                                 \
  X(WriteEmbeddingMatrixTypeIdentifier, Write, "embedding matrix type identifier")                      \
  X(WriteEmbeddings, Write, "embeddings")                                                               \
  X(WriteFile, Write, "file")                                                                           \
  X(WriteHasherSeed, Write, "hasher seed")                                                              \
  X(WriteMagic, Write, "magic")                                                                         \
  X(WriteMaximumNGramLength, Write, "maximum n-gram length")                                            \
  X(WriteMetadata, Write, "metadata")                                                                   \
  X(WriteMetadataChunkIdentifier, Write, "metadata chunk identifier")                                   \
  X(WriteMetadataLength, Write, "metadata length")                                                      \
  X(WriteMinimumNGramLength, Write, "minimum n-gram length")                                            \
  X(WriteModelVersion, Write, "model version")                                                          \
  X(WriteNgramIndex, Write, "ngram index")                                                              \
  X(WriteNorm, Write, "norm")                                                                           \
  X(WriteNorms, Write, "norms")                                                                         \
  X(WriteNormsChunkIdentifier, Write, "norms chunk identifier")                                         \
  X(WriteNormsChunkLength, Write, "norms chunk length")                                                 \
  X(WriteNormsVectorLength, Write, "norms vector length")                                               \
  X(WriteNormsVectorTypeIdentifier, Write, "norms vector type identifier")                              \
  X(WriteNumberOfBuckets, Write, "number of buckets")                                                   \
  X(WriteNumberOfColumnsOfTheEmbeddingMatrix, Write, "number of columns of the embedding matrix")       \
  X(WriteNumberOfHashes, Write, "number of hashes")                                                     \
  X(WriteNumberOfNgrams, Write, "number of ngrams")                                                     \
  X(WriteNumberOfQuantizedEmbeddings, Write, "number of quantized embeddings")                          \
  X(WriteNumberOfRowsOfTheEmbeddingMatrix, Write, "number of rows of the embedding matrix")             \
  X(WriteNumberOfSubquantizers, Write, "number of subquantizers")                                       \
  X(WriteNumberOfWords, Write, "number of words")                                                       \
  X(WriteOutputFile, Write, "output file")                                                              \
  X(WritePadding, Write, "padding")                                                                     \
  X(WriteProjectionMatrix, Write, "projection matrix")                                                  \
  X(WriteQuantizedEmbeddingLength, Write, "quantized embedding length")                                 \
  X(WriteQuantizedEmbeddingMatrix, Write, "quantized embedding matrix")                                 \
  X(WriteQuantizedEmbeddingMatrixChunkIdentifier, Write, "quantized embedding matrix chunk identifier") \
  X(WriteQuantizedEmbeddingMatrixChunkLength, Write, "quantized embedding matrix chunk length")         \
  X(WriteQuantizedEmbeddingMatrixNorms, Write, "quantized embedding matrix norms")                      \
  X(WriteQuantizedEmbeddingMatrixProjection, Write, "quantized embedding matrix projection")            \
  X(WriteQuantizedEmbeddingTypeIdentifier, Write, "quantized embedding type identifier")                \
  X(WriteReconstructedEmbeddingLength, Write, "reconstructed embedding length")                         \
  X(WriteReconstructedEmbeddingTypeIdentifier, Write, "reconstructed embedding type identifier")        \
  X(WriteString, Write, "string")                                                                       \
  X(WriteStringLength, Write, "string length")                                                          \
  X(WriteSubquantizer, Write, "subquantizer")                                                           \
  X(WriteSubwordVocabularyChunkIdentifier, Write, "subword vocabulary chunk identifier")                \
  X(WriteSubwordVocabularyChunkLength, Write, "subword vocabulary chunk length")                        \
  X(WriteVocabularyChunkIdentifier, Write, "vocabulary chunk identifier")                               \
  X(WriteVocabularyChunkLength, Write, "vocabulary chunk length")                                       \
  X(WriteVocabularyLength, Write, "vocabulary length")                                                  \
  X(ReadJsonFile, Read, "JSON file")                                                                    \
  X(ReadSafetensorsHeader, Read, "safetensors header")                                                  \
  X(MapTensor, Map, "tensor")

// The field being read or written, or the file step taken, when a failure
// happened; each binding names it in its own words.
enum class Step : std::uint8_t {
#define MAVE_STEP_NAME(name, action, field) name,
  MAVE_STEPS(MAVE_STEP_NAME)
#undef MAVE_STEP_NAME
};
inline constexpr std::size_t kStepCount = 0
#define MAVE_STEP_ONE(name, action, field) +1
    MAVE_STEPS(MAVE_STEP_ONE)
#undef MAVE_STEP_ONE
    ;

// A step's action and field, as MAVE_STEPS gives them.
struct StepFacts {
  Step step;
  StepAction action;
  std::string_view field;
};
const StepFacts& step_facts(Step step);

// A failure of reading, writing or converting, as a value: the code and the
// facts. Facts that do not apply keep their empty values.
struct EmbeddingsError {
  ErrorCode code;
  Step step = Step::None;
  std::optional<std::uint64_t> offset;  // byte offset of the field in the file
  std::optional<std::uint64_t> line;    // 1-based line of a text file
  std::optional<std::uint64_t> column;  // 1-based column, with `line`
  std::optional<std::uint32_t> chunk;   // code of the chunk being read
  std::uint64_t expected = 0;
  std::uint64_t found = 0;
  std::string detail;
  std::optional<IoError> io;
  ShapeErrorKind shape = ShapeErrorKind::IncompatibleShape;
  StaticFault fault = StaticFault::ShortFile;    // BadStaticModel only
  std::string name;                              // BadStaticModel only
  std::shared_ptr<const EmbeddingsError> inner;  // InStep only

  explicit EmbeddingsError(ErrorCode c, Step s = Step::None) : code(c), step(s) {}

  static EmbeddingsError read(Step step, IoError error) {
    EmbeddingsError e(ErrorCode::ReadFailed, step);
    e.io = error;
    return e;
  }
  static EmbeddingsError write(Step step, IoError error) {
    EmbeddingsError e(ErrorCode::WriteFailed, step);
    e.io = error;
    return e;
  }
  static EmbeddingsError in_step(Step step, EmbeddingsError inner);
  static EmbeddingsError overflow(Step step) { return EmbeddingsError(ErrorCode::Overflow, step); }
  static EmbeddingsError static_model(StaticFault fault, std::string name = {}, std::uint64_t expected = 0,
                                      std::uint64_t found = 0) {
    EmbeddingsError e(ErrorCode::BadStaticModel);
    e.fault = fault;
    e.name = std::move(name);
    e.expected = expected;
    e.found = found;
    return e;
  }
  static EmbeddingsError with_values(ErrorCode code, Step step, std::uint64_t expected, std::uint64_t found) {
    EmbeddingsError e(code, step);
    e.expected = expected;
    e.found = found;
    return e;
  }

  // Setters that read as part of the construction: `...().at(offset)`.
  EmbeddingsError&& at(std::uint64_t byte) && {
    offset = byte;
    return std::move(*this);
  }
  EmbeddingsError&& on_line(std::uint64_t number) && {
    line = number;
    return std::move(*this);
  }
  EmbeddingsError&& with_detail(std::string text) && {
    detail = std::move(text);
    return std::move(*this);
  }

  // The error underneath the InStep wrappers.
  const EmbeddingsError& root() const { return inner ? inner->root() : *this; }
  // The I/O error underneath, if any.
  const IoError* io_cause() const { return root().io ? &*root().io : nullptr; }
};

// Records the chunk being read in an error from inside it (the outermost
// chunk wins: an error keeps the first chunk it was given).
inline EmbeddingsError in_chunk(EmbeddingsError e, std::uint32_t chunk) {
  if (!e.chunk) e.chunk = chunk;
  return e;
}

// ---------------------------------------------------------------------------
// Result: a value or an error, returned by every fallible operation.

template <class T, class E = EmbeddingsError>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)) {}  // NOLINT

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  E& error() & { return *error_; }
  const E& error() const& { return *error_; }
  E&& error() && { return std::move(*error_); }

 private:
  std::optional<E> error_;
};

using Status = Result<void>;
template <class T>
using IoResult = Result<T, IoError>;
using IoStatus = Result<void, IoError>;

#define MAVE_CONCAT_INNER(a, b) a##b
#define MAVE_CONCAT(a, b) MAVE_CONCAT_INNER(a, b)

// Returns the error of a failed status from the enclosing function.
#define MAVE_TRY(expr)                                                      \
  do {                                                                      \
    auto&& mave_try_status_ = (expr);                                       \
    if (!mave_try_status_.ok()) return std::move(mave_try_status_).error(); \
  } while (0)

// Declares `lhs` from the value of a result, or returns its error.
#define MAVE_ASSIGN_OR_RETURN(lhs, expr)                           \
  auto MAVE_CONCAT(mave_result_, __LINE__) = (expr);               \
  if (!MAVE_CONCAT(mave_result_, __LINE__).ok())                   \
    return std::move(MAVE_CONCAT(mave_result_, __LINE__)).error(); \
  lhs = std::move(MAVE_CONCAT(mave_result_, __LINE__)).value()

// ---------------------------------------------------------------------------
// Where a panic was raised, for its report. libstdc++'s std::source_location
// needs a builtin that clang 14 (the fuzz build) lacks; there the compiler's
// file and line builtins stand in.
#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
struct SourceLocation {
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          std::uint_least32_t line = __builtin_LINE()) noexcept {
    return SourceLocation{file, line};
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr std::uint_least32_t line() const noexcept { return line_; }
  constexpr std::uint_least32_t column() const noexcept { return 0; }

  const char* file_;
  std::uint_least32_t line_;
};
#endif

// ---------------------------------------------------------------------------
// Aborting failure: abandons the current call at any depth; the Python call
// frame turns it into an exception. Nothing else catches it.

// The checks that abort, each with the facts its message needs.
enum class PanicKind : std::uint8_t {
  MinNGramZero,  // n-gram lengths
  MaxBelowMin,
  BucketsExponent,  // above 64
  TooManyBuckets,   // right: the largest possible count
  RemainderByZero,  // an indexer without buckets
  FloretHashCount,  // left: the count
  FloretNoBuckets,
  DuplicateNGrams,
  DuplicateWords,  // left: words, right: distinct words
  IndexerUpperBound,
  VocabSizeOverflow,
  NoQuantizers,
  ZeroQuantizedLength,
  QuantizedNormsRows,  // left: matrix rows, right: norms
  VocabNormsLength,    // left: words, right: norms
  VocabRowsMismatch,   // left: rows the vocabulary addresses, right: matrix rows
  TargetLength,        // left: target length, right: dimensions
  IndexOutOfBounds,    // left: index, right: bound
  MetadataValue,       // detail: the TOML library's message
  StdoutFailed,        // io
  NumpyImport,
  NumpyCapsule,
  PythonCallFailed,
  AllAppendFailed,     // detail: the Python exception's text
  FileMissing,         // io: why the file could not be opened
  LoadFailed,          // error: why the file could not be read
  NormsCount,          // left: norms, right: rows
  NotWritable,         // a format that is read, never written
  BadSearchArguments,  // detail: which arguments of a search contradict each other
  BlasUnavailable,     // a dense search before any BLAS library was loaded
};
inline constexpr std::size_t kPanicKindCount = 30;
std::string_view panic_kind_name(PanicKind kind);

struct PanicFacts {
  std::uint64_t left = 0;
  std::uint64_t right = 0;
  std::string detail;
  std::optional<IoError> io;
  std::shared_ptr<const EmbeddingsError> error;

  static PanicFacts values(std::uint64_t left, std::uint64_t right) {
    PanicFacts f;
    f.left = left;
    f.right = right;
    return f;
  }
  static PanicFacts text(std::string detail) {
    PanicFacts f;
    f.detail = std::move(detail);
    return f;
  }
  static PanicFacts of(IoError io) {
    PanicFacts f;
    f.io = io;
    return f;
  }
  static PanicFacts of(EmbeddingsError error) {
    PanicFacts f;
    f.error = std::make_shared<const EmbeddingsError>(std::move(error));
    return f;
  }
};

class Panic : public std::exception {
 public:
  Panic(PanicKind kind, PanicFacts facts, SourceLocation where)
      : kind_(kind), facts_(std::move(facts)), where_(where) {}
  const char* what() const noexcept override { return panic_kind_name(kind_).data(); }
  PanicKind kind() const { return kind_; }
  const PanicFacts& facts() const { return facts_; }
  const SourceLocation& where() const { return where_; }

 private:
  PanicKind kind_;
  PanicFacts facts_;
  SourceLocation where_;
};

[[noreturn]] void panic(PanicKind kind, PanicFacts facts = {},
                        SourceLocation where = SourceLocation::current());

// The row-index check of every storage.
[[noreturn]] void panic_index_out_of_bounds(std::uint64_t index, std::uint64_t bound,
                                            SourceLocation where = SourceLocation::current());

inline void check_index(std::uint64_t index, std::uint64_t dim,
                        SourceLocation where = SourceLocation::current()) {
  if (index >= dim) [[unlikely]]
    panic_index_out_of_bounds(index, dim, where);
}

}  // namespace mave
