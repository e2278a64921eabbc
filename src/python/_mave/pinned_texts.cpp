#include "python/_mave/pinned_texts.hpp"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "base/utf8.hpp"
#include "format/chunk.hpp"

namespace mave::pinned {
namespace {

// Pinned: docs/compatibility.md
constexpr std::string_view kErrorKindNames[] = {
    "NotFound",
    "PermissionDenied",
    "ConnectionRefused",
    "ConnectionReset",
    "HostUnreachable",
    "NetworkUnreachable",
    "ConnectionAborted",
    "NotConnected",
    "AddrInUse",
    "AddrNotAvailable",
    "NetworkDown",
    "BrokenPipe",
    "AlreadyExists",
    "WouldBlock",
    "NotADirectory",
    "IsADirectory",
    "DirectoryNotEmpty",
    "ReadOnlyFilesystem",
    "FilesystemLoop",
    "StaleNetworkFileHandle",
    "InvalidInput",
    "InvalidData",
    "TimedOut",
    "WriteZero",
    "StorageFull",
    "NotSeekable",
    "FilesystemQuotaExceeded",
    "FileTooLarge",
    "ResourceBusy",
    "ExecutableFileBusy",
    "Deadlock",
    "CrossesDevices",
    "TooManyLinks",
    "InvalidFilename",
    "ArgumentListTooLong",
    "Interrupted",
    "Unsupported",
    "UnexpectedEof",
    "OutOfMemory",
    "Other",
    "Uncategorized",
};

static_assert(std::size(kErrorKindNames) == kErrorKindCount);

// Pinned: docs/compatibility.md (a step's text is "Cannot <verb> <field>")
constexpr std::string_view kStepVerbs[] = {
    "", "create", "get", "memory map", "open", "read", "rename", "seek to", "skip", "write",
};
static_assert(std::size(kStepVerbs) == kStepActionCount);

// Pinned: docs/compatibility.md
constexpr std::string_view kIoMessages[] = {
    "failed to fill whole buffer",
    "failed to write whole buffer",
    "file name contained an unexpected NUL byte",
    "invalid seek to a negative or overflowing position",
    "memory map range reaches past the end of the file",
    "only regular files can be memory mapped",
    "memory map length too large",
    "more columns than a u32 can count",
    "a length or centroid count that a u32 cannot hold",
    "codes that are not a whole number of rows",
    "a norm count other than the row count",
    "a code not below the centroid count",
    // Compressed input, which _mave never reads.
    "compressed data is damaged",
    "compressed data ends before its end of stream",
    "zip archive holds more than one file",
    "zip archive holds no such file",
    "zip member compressed with an unsupported method",
    "a member is named but the file is not a zip archive",
    "zip archives are read from regular files only",
};
static_assert(std::size(kIoMessages) == kIoMessageCount);

std::string os_message(int code) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* msg = strerror_r(code, buf, sizeof buf);
  return msg ? std::string(msg) : std::string("Unknown error ") + std::to_string(code);
}

// Pinned: docs/compatibility.md
std::string_view shape_kind_name(ShapeErrorKind kind) {
  switch (kind) {
    case ShapeErrorKind::IncompatibleShape:
      return "IncompatibleShape";
    case ShapeErrorKind::IncompatibleLayout:
      return "IncompatibleLayout";
    case ShapeErrorKind::RangeLimited:
      return "RangeLimited";
    case ShapeErrorKind::OutOfBounds:
      return "OutOfBounds";
    case ShapeErrorKind::Unsupported:
      return "Unsupported";
    case ShapeErrorKind::Overflow:
      return "Overflow";
  }
  return "Unsupported";
}

// Pinned: docs/compatibility.md
std::string_view shape_kind_description(ShapeErrorKind kind) {
  switch (kind) {
    case ShapeErrorKind::IncompatibleShape:
      return "incompatible shapes";
    case ShapeErrorKind::IncompatibleLayout:
      return "incompatible memory layout";
    case ShapeErrorKind::RangeLimited:
      return "the shape does not fit in type limits";
    case ShapeErrorKind::OutOfBounds:
      return "out of bounds indexing";
    case ShapeErrorKind::Unsupported:
      return "unsupported operation";
    case ShapeErrorKind::Overflow:
      return "arithmetic overflow";
  }
  return "unsupported operation";
}

// Pinned: docs/compatibility.md
// Characters shown as \u{...} in debug text: controls, separators other than
// the space, format characters, private use and noncharacters.
bool is_printable(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
  switch (c) {
    case 0xA0:
    case 0xAD:
    case 0x61C:
    case 0x6DD:
    case 0x70F:
    case 0x8E2:
    case 0x180E:
    case 0x1680:
    case 0x202F:
    case 0x205F:
    case 0x3000:
    case 0xFEFF:
    case 0x110BD:
    case 0x110CD:
      return false;
    default:
      break;
  }
  if ((c >= 0x600 && c <= 0x605) || (c >= 0x890 && c <= 0x891) || (c >= 0x2000 && c <= 0x200F) ||
      (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) || (c >= 0xFFF0 && c <= 0xFFFB) ||
      (c >= 0xE000 && c <= 0xF8FF) || (c >= 0x1BCA0 && c <= 0x1BCA3) || (c >= 0x1D173 && c <= 0x1D17A) ||
      (c >= 0xE0000 && c <= 0xE0FFF) || c >= 0xF0000) {
    return false;
  }
  if ((c & 0xFFFE) == 0xFFFE) return false;  // noncharacters U+xFFFE, U+xFFFF
  if (c >= 0xFDD0 && c <= 0xFDEF) return false;
  return true;
}

std::string chunk_name(std::uint64_t code) {
  return std::string(chunk_identifier_name(static_cast<ChunkIdentifier>(code)));
}

constexpr std::uint64_t chunk_bit(ChunkIdentifier id) {
  return std::uint64_t{1} << static_cast<unsigned>(id);
}

// Pinned: docs/compatibility.md
std::string unexpected_chunk_text(const EmbeddingsError& e) {
  constexpr std::uint64_t kVocabs =
      chunk_bit(ChunkIdentifier::SimpleVocab) | chunk_bit(ChunkIdentifier::ExplicitSubwordVocab) |
      chunk_bit(ChunkIdentifier::FastTextSubwordVocab) | chunk_bit(ChunkIdentifier::FloretSubwordVocab) |
      chunk_bit(ChunkIdentifier::BucketSubwordVocab);
  constexpr std::uint64_t kStorages =
      chunk_bit(ChunkIdentifier::NdArray) | chunk_bit(ChunkIdentifier::QuantizedArray);
  std::string expected;
  if (e.expected == kVocabs) {
    expected =
        "expected one of: SimpleVocab, ExplicitSubwordVocab, FastTextSubwordVocab, "
        "FloretSubwordVocab or BucketSubwordVocab";
  } else if (e.expected == kStorages) {
    // Names only NdArray, although QuantizedArray is accepted too.
    expected = "expected: NdArray";
  } else {
    std::uint64_t code = 0;
    while (code < 63 && (e.expected >> code) != 1) ++code;
    expected = "expected: " + chunk_name(code);
  }
  return "Invalid chunk identifier, " + expected + ", got: " + chunk_name(e.found);
}

// Pinned: docs/compatibility.md
// The text of the errors displayed behind "Invalid file format ".
std::string format_text(const EmbeddingsError& e) {
  switch (e.code) {
    case ErrorCode::UnexpectedChunk:
      return unexpected_chunk_text(e);
    case ErrorCode::BadElementType:
      return "Invalid type, expected: " + std::to_string(e.expected) + ", got: " + std::to_string(e.found);
    case ErrorCode::InvalidUtf8: {
      std::string_view what = e.step == Step::ReadTOMLMetadata ? "TOML metadata"
                              : e.step == Step::ReadString     ? "Token"
                                                               : "Item";
      return std::string(what) + " contains invalid UTF-8: " + utf8_error_description(e.found, e.expected);
    }
    case ErrorCode::BadMagic:
      if (e.step == Step::FastTextReadMagic) {
        return "Expected " + std::to_string(e.expected) + " as magic, got: " + std::to_string(e.found);
      }
      return "Expected 'FiFu' as magic, got: " + from_utf8_lossy(e.detail);
    case ErrorCode::UnsupportedVersion:
      if (e.step == Step::ReadFastTextVersion) {
        return "Expected " + std::to_string(e.expected) + " as version, got: " + std::to_string(e.found);
      }
      return "Unknown finalfusion version: " + std::to_string(e.found);
    case ErrorCode::NoChunks:
      return "Embedding file does not contain chunks";
    case ErrorCode::BadMetadata:
      return "Cannot deserialize TOML metadata: " + e.detail + " at line " +
             std::to_string(e.line.value_or(0)) + ", column " + std::to_string(e.column.value_or(0));
    case ErrorCode::UnknownCode:
      return std::string(e.step == Step::ReadLossType ? "Unknown loss: " : "Unknown model: ") +
             std::to_string(e.found);
    case ErrorCode::UnsupportedModel:
      switch (e.step) {
        case Step::ReadNumberOfLabels:
          return "fastText prediction models are not supported";
        case Step::ReadPrunedVocabularySize:
          return "Pruned vocabularies are not supported";
        case Step::ReadEntryType:
          return "Non-word entry";
        default:
          return "Quantized fastText models are not supported";
      }
    case ErrorCode::BadQuantizedShape:
      return "Reconstructed embedding length (" + std::to_string(e.found) +
             ") not a multiple of the quantized embedding length: (" + std::to_string(e.expected) + ")";
    case ErrorCode::BadText:
      if (e.line) return "line " + std::to_string(*e.line) + ": " + e.detail;
      if (e.offset) return "byte " + std::to_string(*e.offset) + ": " + e.detail;
      return e.detail;
    case ErrorCode::Unwritable:
      return e.detail;
    // Failures of readers _mave does not use.
    case ErrorCode::UnknownFloretMode:
      return "Unknown floret mode: " + std::to_string(e.found);
    case ErrorCode::FloretWithoutBuckets:
      return "A floret model without buckets";
    case ErrorCode::RepeatedWord:
      return "A word repeats in the dictionary";
    case ErrorCode::CompressedFinalFusion:
      return "A compressed finalfusion file cannot be memory-mapped";
    case ErrorCode::BadTokenizer:
      return "Invalid tokenizer: " + e.detail;
    default:
      return {};
  }
}

// Pinned: docs/compatibility.md (odd wording kept)
std::string hash_count_text(const EmbeddingsError& e) {
  return "Number of hashes should be in be more than 0 and less than 5, was: " + std::to_string(e.found);
}

void append_debug(std::string& out, const EmbeddingsError& e) {
  // Pinned: docs/compatibility.md
  switch (e.code) {
    case ErrorCode::InStep:
      out += "Context { context: " + debug_quote(step_text(e.step)) + ", error: ";
      append_debug(out, *e.inner);
      out += " }";
      return;
    case ErrorCode::ReadFailed:
      out += "Read { desc: " + debug_quote(step_text(e.step)) + ", error: " + debug(*e.io) + " }";
      return;
    case ErrorCode::WriteFailed:
      out += "Write { desc: " + debug_quote(step_text(e.step)) + ", error: " + debug(*e.io) + " }";
      return;
    case ErrorCode::BadHashCount:
      out += "Read { desc: " + debug_quote(hash_count_text(e)) +
             ", error: " + debug(IoError::from_kind(ErrorKind::InvalidData)) + " }";
      return;
    case ErrorCode::UnknownChunk:
      out += "UnknownChunkIdentifier(" + std::to_string(e.found) + ")";
      return;
    case ErrorCode::BadShape:
      out += "MatrixShape(ShapeError/";
      out += shape_kind_name(e.shape);
      out += ": ";
      out += shape_kind_description(e.shape);
      out += ")";
      return;
    case ErrorCode::Overflow:
      out += "Overflow";
      return;
    default:
      out += "Format(" + debug_quote(format_text(e)) + ")";
      return;
  }
}

// Pinned: docs/compatibility.md
std::string assert_eq_text(std::string_view text, std::uint64_t left, std::uint64_t right) {
  return "assertion `left == right` failed: " + std::string(text) + "\n  left: " + std::to_string(left) +
         "\n right: " + std::to_string(right);
}

}  // namespace

std::string step_text(Step step) {
  // Pinned: docs/compatibility.md (the two texts that do not follow the pattern)
  if (step == Step::FastTextReadMagic) return "Cannot fastText read magic";
  if (step == Step::ReadNgramIndex) return "Cannot read ngram index.";
  const StepFacts& facts = step_facts(step);
  if (facts.action == StepAction::None) return {};
  return "Cannot " + std::string(kStepVerbs[static_cast<std::size_t>(facts.action)]) + " " +
         std::string(facts.field);
}

std::string_view error_kind_name(ErrorKind kind) { return kErrorKindNames[static_cast<std::size_t>(kind)]; }

// Pinned: docs/compatibility.md
std::string utf8_error_description(std::uint64_t valid_up_to, std::uint64_t error_len) {
  if (error_len == 0) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
  }
  return "invalid utf-8 sequence of " + std::to_string(error_len) + " bytes from index " +
         std::to_string(valid_up_to);
}

// Pinned: docs/compatibility.md
std::string display(const EmbeddingsError& e) {
  switch (e.code) {
    case ErrorCode::InStep:
    case ErrorCode::ReadFailed:
    case ErrorCode::WriteFailed:
      return std::string(step_text(e.step));
    case ErrorCode::BadHashCount:
      return hash_count_text(e);
    case ErrorCode::UnknownChunk:
      return "Unknown chunk identifier " + std::to_string(e.found);
    case ErrorCode::BadShape:
      return "Cannot construct matrix with the given shape";
    case ErrorCode::Overflow:
      return "Data cannot be represented using native word size";
    default:
      return "Invalid file format " + format_text(e);
  }
}

std::string debug(const EmbeddingsError& e) {
  std::string out;
  append_debug(out, e);
  return out;
}

// Pinned: docs/compatibility.md
std::string debug(const IoError& e) {
  std::string kind(error_kind_name(e.kind()));
  switch (e.repr()) {
    case IoError::Repr::Os:
      return "Os { code: " + std::to_string(e.code()) + ", kind: " + kind +
             ", message: " + debug_quote(os_message(e.code())) + " }";
    case IoError::Repr::Kind:
      return "Kind(" + kind + ")";
    case IoError::Repr::Message:
      return "Error { kind: " + kind +
             ", message: " + debug_quote(kIoMessages[static_cast<std::size_t>(e.fixed_message())]) + " }";
  }
  return {};
}

// Pinned: docs/compatibility.md
std::string display(const IoError& e) {
  switch (e.repr()) {
    case IoError::Repr::Os: {
      std::string msg = os_message(e.code());
      while (!msg.empty() && std::strchr(" \t\r\n\f\v", msg.back())) msg.pop_back();
      return msg + " (os error " + std::to_string(e.code()) + ")";
    }
    case IoError::Repr::Kind:
      // A bare kind displays as its name; the format code never shows one.
      return std::string(error_kind_name(e.kind()));
    case IoError::Repr::Message:
      return std::string(kIoMessages[static_cast<std::size_t>(e.fixed_message())]);
  }
  return {};
}

// Pinned: docs/compatibility.md
std::string panic_message(const Panic& failure) {
  const PanicFacts& f = failure.facts();
  switch (failure.kind()) {
    case PanicKind::MinNGramZero:
      return "The minimum n-gram length cannot be zero.";
    case PanicKind::MaxBelowMin:
      return "The maximum length should be equal to or greater than the minimum length.";
    case PanicKind::BucketsExponent:
      return "The largest possible buckets exponent is 64.";
    case PanicKind::TooManyBuckets:
      return "The largest possible number of buckets is: " + std::to_string(f.right);
    case PanicKind::RemainderByZero:
      return "attempt to calculate the remainder with a divisor of zero";
    case PanicKind::FloretHashCount:
      return "Floret indexer needs 1 to 4 hashes, got " + std::to_string(f.left);
    case PanicKind::FloretNoBuckets:
      return "assertion `left != right` failed: Floret needs at least 1 bucket.\n  left: 0\n "
             "right: 0";
    case PanicKind::DuplicateNGrams:
      return "ngrams contains duplicate entries.";
    case PanicKind::DuplicateWords:
      return assert_eq_text("words contained duplicate entries.", f.left, f.right);
    case PanicKind::IndexerUpperBound:
      return "The upper bound of the indexer cannot be represented by the native word size.";
    case PanicKind::VocabSizeOverflow:
      return "The vocab + subword vocab size cannot be represented by the native word size";
    case PanicKind::NoQuantizers:
      return "Attempted to construct a product quantizer without quantizers.";
    case PanicKind::ZeroQuantizedLength:
      return "Quantized embedding length must not be zero";
    case PanicKind::QuantizedNormsRows:
      return assert_eq_text("Quantized embedding matrix and norms do not have the same number of rows",
                            f.left, f.right);
    case PanicKind::VocabNormsLength:
      return assert_eq_text("Vocab and norms do not have the same length", f.left, f.right);
    case PanicKind::VocabRowsMismatch:
      return assert_eq_text("Max vocab index must match number of rows in the embedding matrix.", f.left,
                            f.right);
    case PanicKind::TargetLength:
      return assert_eq_text("Embeddings have " + std::to_string(f.right) +
                                " dimensions, whereas target array has " + std::to_string(f.left),
                            f.left, f.right);
    case PanicKind::IndexOutOfBounds:
      return "assertion failed: index < dim";
    case PanicKind::MetadataValue:
      return "Unable to represent value as string: " + f.detail;
    case PanicKind::StdoutFailed:
      return "failed printing to stdout: " + display(*f.io);
    case PanicKind::NumpyImport:
      return "Failed to import NumPy module";
    case PanicKind::NumpyCapsule:
      return "Failed to get NumPy API capsule";
    case PanicKind::PythonCallFailed:
      return "Python API call failed";
    case PanicKind::AllAppendFailed:
      return "could not append __name__ to __all__" + (f.detail.empty() ? "" : ": " + f.detail);
    case PanicKind::FileMissing:
      return "Embedding file missing, run fetch-data.sh: " + debug(*f.io);
    case PanicKind::LoadFailed:
      return "called `Result::unwrap()` on an `Err` value: " + debug(*f.error);
    case PanicKind::NormsCount:
      return "the norms chunk holds " + std::to_string(f.left) + " norms for " + std::to_string(f.right) +
             " words";
    case PanicKind::NotWritable:
      return "fastText models are read, not written";
    // _mave has no search; the kind is worded for completeness.
    case PanicKind::BadSearchArguments:
      return "invalid search arguments: " + f.detail;
    case PanicKind::BlasUnavailable:
      return "no BLAS library is loaded for the search";
  }
  return {};
}

std::string panic_report(const Panic& failure) {
  std::string report = "_mave panicked at ";
  std::string_view file = failure.where().file_name();
  if (auto pos = file.rfind("src/"); pos != std::string_view::npos) file.remove_prefix(pos);
  report += file;
  report += ':';
  report += std::to_string(failure.where().line());
  report += ':';
  report += std::to_string(failure.where().column());
  report += ":\n";
  report += panic_message(failure);
  report += "\n";
  return report;
}

// Pinned: docs/compatibility.md
std::string debug_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for_each_char_lossy(text, [&](char32_t c) {
    if (std::string_view escape = common_escape(c); !escape.empty()) {
      out += escape;
    } else if (c == '\0') {
      out += "\\0";
    } else if (is_printable(c)) {
      append_utf8(out, c);
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out += buf;
    }
  });
  out += '"';
  return out;
}

}  // namespace mave::pinned
