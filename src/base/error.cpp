#include "base/error.hpp"

#include <cerrno>

namespace mave {

namespace {

constexpr std::string_view kErrorCodeNames[] = {
    "ReadFailed", "WriteFailed", "InStep", "UnknownChunk", "UnexpectedChunk", "BadElementType",
    "InvalidUtf8", "BadMagic", "UnsupportedVersion", "NoChunks", "BadMetadata", "UnknownCode",
    "BadHashCount", "UnsupportedModel", "BadQuantizedShape", "BadShape", "Overflow", "BadText",
    "Unwritable", "UnknownFloretMode", "FloretWithoutBuckets", "RepeatedWord",
    "CompressedFinalFusion", "BadTokenizer", "BadStaticModel",
};
static_assert(std::size(kErrorCodeNames) == kErrorCodeCount);

constexpr std::string_view kPanicKindNames[] = {
    "MinNGramZero", "MaxBelowMin", "BucketsExponent", "TooManyBuckets", "RemainderByZero",
    "FloretHashCount", "FloretNoBuckets", "DuplicateNGrams", "DuplicateWords",
    "IndexerUpperBound", "VocabSizeOverflow", "NoQuantizers", "ZeroQuantizedLength",
    "QuantizedNormsRows", "VocabNormsLength", "VocabRowsMismatch", "TargetLength",
    "IndexOutOfBounds", "MetadataValue", "StdoutFailed", "NumpyImport", "NumpyCapsule",
    "PythonCallFailed", "AllAppendFailed", "FileMissing", "LoadFailed", "NormsCount",
    "NotWritable", "BadSearchArguments", "BlasUnavailable",
};
static_assert(std::size(kPanicKindNames) == kPanicKindCount);

// One row per step, in the order of Step.
constexpr StepFacts kStepFacts[] = {
    {Step::None, StepAction::None, ""},
    {Step::CreateFile, StepAction::Create, "file"},
    {Step::CreateOutputFile, StepAction::Create, "output file"},
    {Step::FastTextReadMagic, StepAction::Read, "fastText magic number"},
    {Step::GetFilePositionForComputingPadding, StepAction::Find, "file position for computing padding"},
    {Step::GetFilePositionForMemoryMappingEmbeddingMatrix, StepAction::Find, "file position for memory mapping embedding matrix"},
    {Step::GetStorageChunkStartPosition, StepAction::Find, "storage chunk start position"},
    {Step::GetVocabularyChunkStartPosition, StepAction::Find, "vocabulary chunk start position"},
    {Step::MemoryMapEmbeddingMatrix, StepAction::Map, "embedding matrix"},
    {Step::MemoryMapQuantizedEmbeddingMatrix, StepAction::Map, "quantized embedding matrix"},
    {Step::OpenFile, StepAction::Open, "file"},
    {Step::ReadLRUpdateRate, StepAction::Read, "LR update rate"},
    {Step::ReadTOMLMetadata, StepAction::Read, "TOML metadata"},
    {Step::ReadBeginOfWordMarker, StepAction::Read, "begin of word marker"},
    {Step::ReadChunkIdentifier, StepAction::Read, "chunk identifier"},
    {Step::ReadChunkIdentifiersLength, StepAction::Read, "chunk identifiers length"},
    {Step::ReadChunkLength, StepAction::Read, "chunk length"},
    {Step::ReadEmbeddingMatrixChunkLength, StepAction::Read, "embedding matrix chunk length"},
    {Step::ReadEmbeddings, StepAction::Read, "embeddings"},
    {Step::ReadEndOfWordMarker, StepAction::Read, "end of word marker"},
    {Step::ReadEntryType, StepAction::Read, "entry type"},
    {Step::ReadFastTextVersion, StepAction::Read, "fastText version"},
    {Step::ReadHasherSeed, StepAction::Read, "hasher seed"},
    {Step::ReadItem, StepAction::Read, "item"},
    {Step::ReadItemLength, StepAction::Read, "item length"},
    {Step::ReadLossType, StepAction::Read, "loss type"},
    {Step::ReadMagic, StepAction::Read, "magic"},
    {Step::ReadMaximumNGramLength, StepAction::Read, "maximum n-gram length"},
    {Step::ReadMaximumSubwordLength, StepAction::Read, "maximum subword length"},
    {Step::ReadMinimumCount, StepAction::Read, "minimum count"},
    {Step::ReadMinimumNGramLength, StepAction::Read, "minimum n-gram length"},
    {Step::ReadMinimumSubwordLength, StepAction::Read, "minimum subword length"},
    {Step::ReadModelType, StepAction::Read, "model type"},
    {Step::ReadModelVersion, StepAction::Read, "model version"},
    {Step::ReadNegativeSamples, StepAction::Read, "negative samples"},
    {Step::ReadNgramIndex, StepAction::Read, "ngram index"},
    {Step::ReadNorms, StepAction::Read, "norms"},
    {Step::ReadNormsChunkLength, StepAction::Read, "norms chunk length"},
    {Step::ReadNormsVectorLength, StepAction::Read, "norms vector length"},
    {Step::ReadNumberOfBuckets, StepAction::Read, "number of buckets"},
    {Step::ReadNumberOfColumnsOfTheEmbeddingMatrix, StepAction::Read, "number of columns of the embedding matrix"},
    {Step::ReadNumberOfDimensions, StepAction::Read, "number of dimensions"},
    {Step::ReadNumberOfEmbeddingMatrixColumns, StepAction::Read, "number of embedding matrix columns"},
    {Step::ReadNumberOfEmbeddingMatrixRows, StepAction::Read, "number of embedding matrix rows"},
    {Step::ReadNumberOfEpochs, StepAction::Read, "number of epochs"},
    {Step::ReadNumberOfHashes, StepAction::Read, "number of hashes"},
    {Step::ReadNumberOfLabels, StepAction::Read, "number of labels"},
    {Step::ReadNumberOfNgrams, StepAction::Read, "number of ngrams"},
    {Step::ReadNumberOfQuantizedEmbeddings, StepAction::Read, "number of quantized embeddings"},
    {Step::ReadNumberOfRowsOfTheEmbeddingMatrix, StepAction::Read, "number of rows of the embedding matrix"},
    {Step::ReadNumberOfSubquantizers, StepAction::Read, "number of subquantizers"},
    {Step::ReadNumberOfTokens, StepAction::Read, "number of tokens"},
    {Step::ReadNumberOfWords, StepAction::Read, "number of words"},
    {Step::ReadProjectionMatrix, StepAction::Read, "projection matrix"},
    {Step::ReadPrunedVocabularySize, StepAction::Read, "pruned vocabulary size"},
    {Step::ReadQuantizationInformation, StepAction::Read, "quantization information"},
    {Step::ReadQuantizedEmbeddingLength, StepAction::Read, "quantized embedding length"},
    {Step::ReadQuantizedEmbeddingMatrixChunkLength, StepAction::Read, "quantized embedding matrix chunk length"},
    {Step::ReadQuantizedEmbeddingMatrixNorms, StepAction::Read, "quantized embedding matrix norms"},
    {Step::ReadQuantizedEmbeddingMatrixProjection, StepAction::Read, "quantized embedding matrix projection"},
    {Step::ReadReconstructedEmbeddingLength, StepAction::Read, "reconstructed embedding length"},
    {Step::ReadSamplingThreshold, StepAction::Read, "sampling threshold"},
    {Step::ReadStorageChunkIdentifier, StepAction::Read, "storage chunk identifier"},
    {Step::ReadString, StepAction::Read, "string"},
    {Step::ReadStringLength, StepAction::Read, "string length"},
    {Step::ReadSubquantizer, StepAction::Read, "subquantizer"},
    {Step::ReadTypeIdentifier, StepAction::Read, "type identifier"},
    {Step::ReadVocabularyChunkIdentifier, StepAction::Read, "vocabulary chunk identifier"},
    {Step::ReadVocabularyChunkLength, StepAction::Read, "vocabulary chunk length"},
    {Step::ReadVocabularyLength, StepAction::Read, "vocabulary length"},
    {Step::ReadVocabularySize, StepAction::Read, "vocabulary size"},
    {Step::ReadWindowSize, StepAction::Read, "window size"},
    {Step::ReadWordFrequency, StepAction::Read, "word frequency"},
    {Step::ReadWordNGramLength, StepAction::Read, "word n-gram length"},
    {Step::RenameOutputFile, StepAction::Rename, "output file"},
    {Step::SeekToStorageChunkStartPosition, StepAction::Seek, "storage chunk start position"},
    {Step::SeekToVocabularyChunkStartPosition, StepAction::Seek, "vocabulary chunk start position"},
    {Step::SkipEmbeddingMatrix, StepAction::Skip, "embedding matrix"},
    {Step::SkipPadding, StepAction::Skip, "padding"},
    {Step::SkipQuantizedEmbeddingMatrix, StepAction::Skip, "quantized embedding matrix"},
    {Step::WriteChunkIdentifier, StepAction::Write, "chunk identifier"},
    {Step::WriteChunkIdentifiersLength, StepAction::Write, "chunk identifiers length"},
    {Step::WriteEmbeddingMatrixChunkIdentifier, StepAction::Write, "embedding matrix chunk identifier"},
    {Step::WriteEmbeddingMatrixChunkLength, StepAction::Write, "embedding matrix chunk length"},
    {Step::WriteEmbeddingMatrixComponent, StepAction::Write, "embedding matrix component"},
    {Step::WriteEmbeddingMatrixTypeIdentifier, StepAction::Write, "embedding matrix type identifier"},
    {Step::WriteEmbeddings, StepAction::Write, "embeddings"},
    {Step::WriteFile, StepAction::Write, "file"},
    {Step::WriteHasherSeed, StepAction::Write, "hasher seed"},
    {Step::WriteMagic, StepAction::Write, "magic"},
    {Step::WriteMaximumNGramLength, StepAction::Write, "maximum n-gram length"},
    {Step::WriteMetadata, StepAction::Write, "metadata"},
    {Step::WriteMetadataChunkIdentifier, StepAction::Write, "metadata chunk identifier"},
    {Step::WriteMetadataLength, StepAction::Write, "metadata length"},
    {Step::WriteMinimumNGramLength, StepAction::Write, "minimum n-gram length"},
    {Step::WriteModelVersion, StepAction::Write, "model version"},
    {Step::WriteNgramIndex, StepAction::Write, "ngram index"},
    {Step::WriteNorm, StepAction::Write, "norm"},
    {Step::WriteNorms, StepAction::Write, "norms"},
    {Step::WriteNormsChunkIdentifier, StepAction::Write, "norms chunk identifier"},
    {Step::WriteNormsChunkLength, StepAction::Write, "norms chunk length"},
    {Step::WriteNormsVectorLength, StepAction::Write, "norms vector length"},
    {Step::WriteNormsVectorTypeIdentifier, StepAction::Write, "norms vector type identifier"},
    {Step::WriteNumberOfBuckets, StepAction::Write, "number of buckets"},
    {Step::WriteNumberOfColumnsOfTheEmbeddingMatrix, StepAction::Write, "number of columns of the embedding matrix"},
    {Step::WriteNumberOfHashes, StepAction::Write, "number of hashes"},
    {Step::WriteNumberOfNgrams, StepAction::Write, "number of ngrams"},
    {Step::WriteNumberOfQuantizedEmbeddings, StepAction::Write, "number of quantized embeddings"},
    {Step::WriteNumberOfRowsOfTheEmbeddingMatrix, StepAction::Write, "number of rows of the embedding matrix"},
    {Step::WriteNumberOfSubquantizers, StepAction::Write, "number of subquantizers"},
    {Step::WriteNumberOfWords, StepAction::Write, "number of words"},
    {Step::WriteOutputFile, StepAction::Write, "output file"},
    {Step::WritePadding, StepAction::Write, "padding"},
    {Step::WriteProjectionMatrix, StepAction::Write, "projection matrix"},
    {Step::WriteQuantizedEmbeddingLength, StepAction::Write, "quantized embedding length"},
    {Step::WriteQuantizedEmbeddingMatrix, StepAction::Write, "quantized embedding matrix"},
    {Step::WriteQuantizedEmbeddingMatrixChunkIdentifier, StepAction::Write, "quantized embedding matrix chunk identifier"},
    {Step::WriteQuantizedEmbeddingMatrixChunkLength, StepAction::Write, "quantized embedding matrix chunk length"},
    {Step::WriteQuantizedEmbeddingMatrixNorms, StepAction::Write, "quantized embedding matrix norms"},
    {Step::WriteQuantizedEmbeddingMatrixProjection, StepAction::Write, "quantized embedding matrix projection"},
    {Step::WriteQuantizedEmbeddingTypeIdentifier, StepAction::Write, "quantized embedding type identifier"},
    {Step::WriteReconstructedEmbeddingLength, StepAction::Write, "reconstructed embedding length"},
    {Step::WriteReconstructedEmbeddingTypeIdentifier, StepAction::Write, "reconstructed embedding type identifier"},
    {Step::WriteString, StepAction::Write, "string"},
    {Step::WriteStringLength, StepAction::Write, "string length"},
    {Step::WriteSubquantizer, StepAction::Write, "subquantizer"},
    {Step::WriteSubwordVocabularyChunkIdentifier, StepAction::Write, "subword vocabulary chunk identifier"},
    {Step::WriteSubwordVocabularyChunkLength, StepAction::Write, "subword vocabulary chunk length"},
    {Step::WriteVocabularyChunkIdentifier, StepAction::Write, "vocabulary chunk identifier"},
    {Step::WriteVocabularyChunkLength, StepAction::Write, "vocabulary chunk length"},
    {Step::WriteVocabularyLength, StepAction::Write, "vocabulary length"},
    {Step::ReadJsonFile, StepAction::Read, "JSON file"},
    {Step::ReadSafetensorsHeader, StepAction::Read, "safetensors header"},
    {Step::MapTensor, StepAction::Map, "tensor"},
};
static_assert(std::size(kStepFacts) == kStepCount);

constexpr bool in_step_order() {
  for (std::size_t i = 0; i < std::size(kStepFacts); ++i) {
    if (kStepFacts[i].step != static_cast<Step>(i)) return false;
  }
  return true;
}
static_assert(in_step_order());

}  // namespace

const StepFacts& step_facts(Step step) { return kStepFacts[static_cast<std::size_t>(step)]; }

std::string_view error_code_name(ErrorCode code) {
  return kErrorCodeNames[static_cast<std::size_t>(code)];
}

std::string_view panic_kind_name(PanicKind kind) {
  return kPanicKindNames[static_cast<std::size_t>(kind)];
}

// Pinned: docs/compatibility.md (the kind shown for each OS error)
ErrorKind error_kind_from_errno(int code) {
  switch (code) {
    case E2BIG: return ErrorKind::ArgumentListTooLong;
    case EADDRINUSE: return ErrorKind::AddrInUse;
    case EADDRNOTAVAIL: return ErrorKind::AddrNotAvailable;
    case EBUSY: return ErrorKind::ResourceBusy;
    case ECONNABORTED: return ErrorKind::ConnectionAborted;
    case ECONNREFUSED: return ErrorKind::ConnectionRefused;
    case ECONNRESET: return ErrorKind::ConnectionReset;
    case EDEADLK: return ErrorKind::Deadlock;
    case EDQUOT: return ErrorKind::FilesystemQuotaExceeded;
    case EEXIST: return ErrorKind::AlreadyExists;
    case EFBIG: return ErrorKind::FileTooLarge;
    case EHOSTUNREACH: return ErrorKind::HostUnreachable;
    case EINTR: return ErrorKind::Interrupted;
    case EINVAL: return ErrorKind::InvalidInput;
    case EISDIR: return ErrorKind::IsADirectory;
    case ELOOP: return ErrorKind::FilesystemLoop;
    case ENOENT: return ErrorKind::NotFound;
    case ENOMEM: return ErrorKind::OutOfMemory;
    case ENOSPC: return ErrorKind::StorageFull;
    case ENOSYS: return ErrorKind::Unsupported;
    case EMLINK: return ErrorKind::TooManyLinks;
    case ENAMETOOLONG: return ErrorKind::InvalidFilename;
    case ENETDOWN: return ErrorKind::NetworkDown;
    case ENETUNREACH: return ErrorKind::NetworkUnreachable;
    case ENOTCONN: return ErrorKind::NotConnected;
    case ENOTDIR: return ErrorKind::NotADirectory;
    case ENOTEMPTY: return ErrorKind::DirectoryNotEmpty;
    case EPIPE: return ErrorKind::BrokenPipe;
    case EROFS: return ErrorKind::ReadOnlyFilesystem;
    case ESPIPE: return ErrorKind::NotSeekable;
    case ESTALE: return ErrorKind::StaleNetworkFileHandle;
    case ETIMEDOUT: return ErrorKind::TimedOut;
    case ETXTBSY: return ErrorKind::ExecutableFileBusy;
    case EXDEV: return ErrorKind::CrossesDevices;
    case EACCES: case EPERM: return ErrorKind::PermissionDenied;
    case EAGAIN: return ErrorKind::WouldBlock;
    default: return ErrorKind::Uncategorized;
  }
}

EmbeddingsError EmbeddingsError::in_step(Step step, EmbeddingsError inner) {
  EmbeddingsError e(ErrorCode::InStep, step);
  e.offset = inner.offset;
  e.chunk = inner.chunk;
  e.inner = std::make_shared<const EmbeddingsError>(std::move(inner));
  return e;
}

void panic(PanicKind kind, PanicFacts facts, SourceLocation where) {
  throw Panic(kind, std::move(facts), where);
}

void panic_index_out_of_bounds(std::uint64_t index, std::uint64_t bound, SourceLocation where) {
  panic(PanicKind::IndexOutOfBounds, PanicFacts::values(index, bound), where);
}

}  // namespace mave
