#include "base/error.hpp"

#include <cerrno>

namespace mave {

namespace {

constexpr std::string_view kErrorCodeNames[] = {
    "ReadFailed",
    "WriteFailed",
    "InStep",
    "UnknownChunk",
    "UnexpectedChunk",
    "BadElementType",
    "InvalidUtf8",
    "BadMagic",
    "UnsupportedVersion",
    "NoChunks",
    "BadMetadata",
    "UnknownCode",
    "BadHashCount",
    "UnsupportedModel",
    "BadQuantizedShape",
    "BadShape",
    "Overflow",
    "BadText",
    "Unwritable",
    "UnknownFloretMode",
    "FloretWithoutBuckets",
    "RepeatedWord",
    "CompressedFinalFusion",
    "BadTokenizer",
    "BadStaticModel",
};
static_assert(std::size(kErrorCodeNames) == kErrorCodeCount);

constexpr std::string_view kPanicKindNames[] = {
    "MinNGramZero",      "MaxBelowMin",     "BucketsExponent",     "TooManyBuckets",     "RemainderByZero",
    "FloretHashCount",   "FloretNoBuckets", "DuplicateNGrams",     "DuplicateWords",     "IndexerUpperBound",
    "VocabSizeOverflow", "NoQuantizers",    "ZeroQuantizedLength", "QuantizedNormsRows", "VocabNormsLength",
    "VocabRowsMismatch", "TargetLength",    "IndexOutOfBounds",    "MetadataValue",      "StdoutFailed",
    "NumpyImport",       "NumpyCapsule",    "PythonCallFailed",    "AllAppendFailed",    "FileMissing",
    "LoadFailed",        "NormsCount",      "NotWritable",         "BadSearchArguments", "BlasUnavailable",
};
static_assert(std::size(kPanicKindNames) == kPanicKindCount);

// One row per step, in the order of Step.
constexpr StepFacts kStepFacts[] = {
#define MAVE_STEP_FACTS(name, action, field) {Step::name, StepAction::action, field},
    MAVE_STEPS(MAVE_STEP_FACTS)
#undef MAVE_STEP_FACTS
};
static_assert(std::size(kStepFacts) == kStepCount);

}  // namespace

const StepFacts& step_facts(Step step) { return kStepFacts[static_cast<std::size_t>(step)]; }

std::string_view error_code_name(ErrorCode code) { return kErrorCodeNames[static_cast<std::size_t>(code)]; }

std::string_view panic_kind_name(PanicKind kind) { return kPanicKindNames[static_cast<std::size_t>(kind)]; }

// Pinned: docs/compatibility.md (the kind shown for each OS error)
ErrorKind error_kind_from_errno(int code) {
  switch (code) {
    case E2BIG:
      return ErrorKind::ArgumentListTooLong;
    case EADDRINUSE:
      return ErrorKind::AddrInUse;
    case EADDRNOTAVAIL:
      return ErrorKind::AddrNotAvailable;
    case EBUSY:
      return ErrorKind::ResourceBusy;
    case ECONNABORTED:
      return ErrorKind::ConnectionAborted;
    case ECONNREFUSED:
      return ErrorKind::ConnectionRefused;
    case ECONNRESET:
      return ErrorKind::ConnectionReset;
    case EDEADLK:
      return ErrorKind::Deadlock;
    case EDQUOT:
      return ErrorKind::FilesystemQuotaExceeded;
    case EEXIST:
      return ErrorKind::AlreadyExists;
    case EFBIG:
      return ErrorKind::FileTooLarge;
    case EHOSTUNREACH:
      return ErrorKind::HostUnreachable;
    case EINTR:
      return ErrorKind::Interrupted;
    case EINVAL:
      return ErrorKind::InvalidInput;
    case EISDIR:
      return ErrorKind::IsADirectory;
    case ELOOP:
      return ErrorKind::FilesystemLoop;
    case ENOENT:
      return ErrorKind::NotFound;
    case ENOMEM:
      return ErrorKind::OutOfMemory;
    case ENOSPC:
      return ErrorKind::StorageFull;
    case ENOSYS:
      return ErrorKind::Unsupported;
    case EMLINK:
      return ErrorKind::TooManyLinks;
    case ENAMETOOLONG:
      return ErrorKind::InvalidFilename;
    case ENETDOWN:
      return ErrorKind::NetworkDown;
    case ENETUNREACH:
      return ErrorKind::NetworkUnreachable;
    case ENOTCONN:
      return ErrorKind::NotConnected;
    case ENOTDIR:
      return ErrorKind::NotADirectory;
    case ENOTEMPTY:
      return ErrorKind::DirectoryNotEmpty;
    case EPIPE:
      return ErrorKind::BrokenPipe;
    case EROFS:
      return ErrorKind::ReadOnlyFilesystem;
    case ESPIPE:
      return ErrorKind::NotSeekable;
    case ESTALE:
      return ErrorKind::StaleNetworkFileHandle;
    case ETIMEDOUT:
      return ErrorKind::TimedOut;
    case ETXTBSY:
      return ErrorKind::ExecutableFileBusy;
    case EXDEV:
      return ErrorKind::CrossesDevices;
    case EACCES:
    case EPERM:
      return ErrorKind::PermissionDenied;
    case EAGAIN:
      return ErrorKind::WouldBlock;
    default:
      return ErrorKind::Uncategorized;
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
