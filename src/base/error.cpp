#include "base/error.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/utf8.hpp"

namespace mave {

namespace {

// Pinned: docs/compatibility.md
constexpr std::string_view kErrorKindNames[] = {
    "NotFound", "PermissionDenied", "ConnectionRefused", "ConnectionReset", "HostUnreachable",
    "NetworkUnreachable", "ConnectionAborted", "NotConnected", "AddrInUse", "AddrNotAvailable",
    "NetworkDown", "BrokenPipe", "AlreadyExists", "WouldBlock", "NotADirectory", "IsADirectory",
    "DirectoryNotEmpty", "ReadOnlyFilesystem", "FilesystemLoop", "StaleNetworkFileHandle",
    "InvalidInput", "InvalidData", "TimedOut", "WriteZero", "StorageFull", "NotSeekable",
    "FilesystemQuotaExceeded", "FileTooLarge", "ResourceBusy", "ExecutableFileBusy", "Deadlock",
    "CrossesDevices", "TooManyLinks", "InvalidFilename", "ArgumentListTooLong", "Interrupted",
    "Unsupported", "UnexpectedEof", "OutOfMemory", "Other", "Uncategorized",
};

std::string os_message(int code) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* msg = strerror_r(code, buf, sizeof buf);
  return msg ? std::string(msg) : std::string("Unknown error ") + std::to_string(code);
}

// Pinned: docs/compatibility.md
std::string_view shape_kind_name(ShapeErrorKind kind) {
  switch (kind) {
    case ShapeErrorKind::IncompatibleShape: return "IncompatibleShape";
    case ShapeErrorKind::IncompatibleLayout: return "IncompatibleLayout";
    case ShapeErrorKind::RangeLimited: return "RangeLimited";
    case ShapeErrorKind::OutOfBounds: return "OutOfBounds";
    case ShapeErrorKind::Unsupported: return "Unsupported";
    case ShapeErrorKind::Overflow: return "Overflow";
  }
  return "Unsupported";
}

// Pinned: docs/compatibility.md
std::string_view shape_kind_description(ShapeErrorKind kind) {
  switch (kind) {
    case ShapeErrorKind::IncompatibleShape: return "incompatible shapes";
    case ShapeErrorKind::IncompatibleLayout: return "incompatible memory layout";
    case ShapeErrorKind::RangeLimited: return "the shape does not fit in type limits";
    case ShapeErrorKind::OutOfBounds: return "out of bounds indexing";
    case ShapeErrorKind::Unsupported: return "unsupported operation";
    case ShapeErrorKind::Overflow: return "arithmetic overflow";
  }
  return "unsupported operation";
}

// Pinned: docs/compatibility.md
// Characters shown as \u{...} in debug text: controls, separators other than
// the space, format characters, private use and noncharacters.
bool is_printable(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
  switch (c) {
    case 0xA0: case 0xAD: case 0x61C: case 0x6DD: case 0x70F: case 0x8E2: case 0x180E:
    case 0x1680: case 0x202F: case 0x205F: case 0x3000: case 0xFEFF: case 0x110BD:
    case 0x110CD:
      return false;
    default: break;
  }
  if ((c >= 0x600 && c <= 0x605) || (c >= 0x890 && c <= 0x891) || (c >= 0x2000 && c <= 0x200F) ||
      (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) ||
      (c >= 0xFFF0 && c <= 0xFFFB) || (c >= 0xE000 && c <= 0xF8FF) ||
      (c >= 0x1BCA0 && c <= 0x1BCA3) || (c >= 0x1D173 && c <= 0x1D17A) ||
      (c >= 0xE0000 && c <= 0xE0FFF) || c >= 0xF0000) {
    return false;
  }
  if ((c & 0xFFFE) == 0xFFFE) return false;  // noncharacters U+xFFFE, U+xFFFF
  if (c >= 0xFDD0 && c <= 0xFDEF) return false;
  return true;
}

bool g_panic_reports = true;

}  // namespace

std::string_view error_kind_name(ErrorKind kind) {
  return kErrorKindNames[static_cast<int>(kind)];
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

IoError IoError::os(int code) {
  return IoError(Repr::Os, error_kind_from_errno(code), code, os_message(code), {});
}

// Pinned: docs/compatibility.md
std::string IoError::debug() const {
  std::string kind(error_kind_name(kind_));
  switch (repr_) {
    case Repr::Os:
      return "Os { code: " + std::to_string(code_) + ", kind: " + kind +
             ", message: " + debug_quote(text_) + " }";
    case Repr::Kind:
      return "Kind(" + kind + ")";
    case Repr::Message:
      return "Error { kind: " + kind + ", message: " + debug_quote(text_) + " }";
    case Repr::Custom:
      return "Custom { kind: " + kind + ", error: " + text_ + " }";
  }
  return {};
}

// Pinned: docs/compatibility.md
std::string IoError::display() const {
  switch (repr_) {
    case Repr::Os: {
      std::string msg = text_;
      while (!msg.empty() && std::strchr(" \t\r\n\f\v", msg.back())) msg.pop_back();
      return msg + " (os error " + std::to_string(code_) + ")";
    }
    case Repr::Kind:
      // A bare kind displays as its description; the format code never shows one.
      return std::string(error_kind_name(kind_));
    case Repr::Message:
      return text_;
    case Repr::Custom:
      return text2_;
  }
  return {};
}

EmbeddingsError EmbeddingsError::context(std::string context, EmbeddingsError inner) {
  EmbeddingsError e(Variant::Context, std::move(context));
  e.inner_ = std::make_shared<const EmbeddingsError>(std::move(inner));
  return e;
}

EmbeddingsError EmbeddingsError::matrix_shape(ShapeErrorKind kind) {
  EmbeddingsError e(Variant::MatrixShape, {});
  e.shape_ = kind;
  return e;
}

EmbeddingsError EmbeddingsError::read(std::string desc, IoError error) {
  EmbeddingsError e(Variant::Read, std::move(desc));
  e.io_ = std::move(error);
  return e;
}

EmbeddingsError EmbeddingsError::write(std::string desc, IoError error) {
  EmbeddingsError e(Variant::Write, std::move(desc));
  e.io_ = std::move(error);
  return e;
}

EmbeddingsError EmbeddingsError::unknown_chunk_identifier(std::uint32_t code) {
  EmbeddingsError e(Variant::UnknownChunkIdentifier, {});
  e.code_ = code;
  return e;
}

EmbeddingsError EmbeddingsError::conversion(std::string from, std::string to) {
  EmbeddingsError e(Variant::Conversion, std::move(from));
  e.text2_ = std::move(to);
  return e;
}

// Pinned: docs/compatibility.md
std::string EmbeddingsError::display() const {
  switch (variant_) {
    case Variant::Context: return text_;
    case Variant::Format: return "Invalid file format " + text_;
    case Variant::NGramConversion: return text_;
    case Variant::MatrixShape: return "Cannot construct matrix with the given shape";
    case Variant::Read: return text_;
    case Variant::UnknownChunkIdentifier: return "Unknown chunk identifier " + std::to_string(code_);
    case Variant::Overflow: return "Data cannot be represented using native word size";
    case Variant::Conversion: return "Can't convert " + text_ + " to " + text2_;
    case Variant::Quantization: return "Cannot quantize embeddings";
    case Variant::Write: return text_;
  }
  return {};
}

std::string EmbeddingsError::debug() const {
  std::string out;
  append_debug(out);
  return out;
}

// Pinned: docs/compatibility.md
void EmbeddingsError::append_debug(std::string& out) const {
  switch (variant_) {
    case Variant::Context:
      out += "Context { context: " + debug_quote(text_) + ", error: ";
      inner_->append_debug(out);
      out += " }";
      return;
    case Variant::Format: out += "Format(" + debug_quote(text_) + ")"; return;
    case Variant::NGramConversion: out += "NGramConversion(" + debug_quote(text_) + ")"; return;
    case Variant::MatrixShape:
      out += "MatrixShape(ShapeError/";
      out += shape_kind_name(shape_);
      out += ": ";
      out += shape_kind_description(shape_);
      out += ")";
      return;
    case Variant::Read:
      out += "Read { desc: " + debug_quote(text_) + ", error: " + io_->debug() + " }";
      return;
    case Variant::UnknownChunkIdentifier:
      out += "UnknownChunkIdentifier(" + std::to_string(code_) + ")";
      return;
    case Variant::Overflow: out += "Overflow"; return;
    case Variant::Conversion:
      out += "Conversion { from: " + debug_quote(text_) + ", to: " + debug_quote(text2_) + " }";
      return;
    case Variant::Quantization: out += "Quantization(" + text_ + ")"; return;
    case Variant::Write:
      out += "Write { desc: " + debug_quote(text_) + ", error: " + io_->debug() + " }";
      return;
  }
}

// Pinned: docs/compatibility.md
std::string debug_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    auto [c, len] = decode_utf8_lossy(text, i);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (is_printable(c)) {
          append_utf8(out, c);
        } else {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
          out += buf;
        }
    }
    i += len;
  }
  out += '"';
  return out;
}

void set_panic_reports(bool enabled) { g_panic_reports = enabled; }

void panic(std::string message, SourceLocation where) {
  if (g_panic_reports) {
    // One write, so that the report is not interleaved with other output.
    std::string report = "_mave panicked at ";
    std::string_view file = where.file_name();
    if (auto pos = file.rfind("src/"); pos != std::string_view::npos) file.remove_prefix(pos);
    report += file;
    report += ":" + std::to_string(where.line()) + ":" + std::to_string(where.column()) + ":\n";
    report += message;
    report += "\n";
    [[maybe_unused]] auto n = ::write(2, report.data(), report.size());
  }
  throw Panic(std::move(message));
}

void panic_assert_eq(std::string_view text, std::uint64_t left, std::uint64_t right,
                     SourceLocation where) {
  // Pinned: docs/compatibility.md
  std::string msg = "assertion `left == right` failed: ";
  msg += text;
  msg += "\n  left: " + std::to_string(left) + "\n right: " + std::to_string(right);
  panic(std::move(msg), where);
}

void panic_index_out_of_bounds(SourceLocation where) {
  // Pinned: docs/compatibility.md
  panic("assertion failed: index < dim", where);
}

}  // namespace mave
