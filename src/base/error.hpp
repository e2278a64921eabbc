// The one error record of all reading, writing and conversion code, its I/O
// error, the result type that carries it, and the aborting failure.
#pragma once

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
  NotFound, PermissionDenied, ConnectionRefused, ConnectionReset, HostUnreachable,
  NetworkUnreachable, ConnectionAborted, NotConnected, AddrInUse, AddrNotAvailable,
  NetworkDown, BrokenPipe, AlreadyExists, WouldBlock, NotADirectory, IsADirectory,
  DirectoryNotEmpty, ReadOnlyFilesystem, FilesystemLoop, StaleNetworkFileHandle,
  InvalidInput, InvalidData, TimedOut, WriteZero, StorageFull, NotSeekable,
  FilesystemQuotaExceeded, FileTooLarge, ResourceBusy, ExecutableFileBusy, Deadlock,
  CrossesDevices, TooManyLinks, InvalidFilename, ArgumentListTooLong, Interrupted,
  Unsupported, UnexpectedEof, OutOfMemory, Other, Uncategorized,
};

std::string_view error_kind_name(ErrorKind kind);
ErrorKind error_kind_from_errno(int code);

// An operating-system I/O error: an OS code, a bare kind, a static message or a
// custom payload (kept as its rendered debug and display texts).
class IoError {
 public:
  enum class Repr { Os, Kind, Message, Custom };

  static IoError os(int code);
  static IoError from_kind(ErrorKind kind) { return IoError(Repr::Kind, kind, 0, {}, {}); }
  static IoError message(ErrorKind kind, std::string text) {
    return IoError(Repr::Message, kind, 0, std::move(text), {});
  }
  static IoError custom(ErrorKind kind, std::string payload_debug, std::string payload_display) {
    return IoError(Repr::Custom, kind, 0, std::move(payload_debug), std::move(payload_display));
  }
  // Pinned: docs/compatibility.md
  // The two static errors of exact reads and writes.
  static IoError unexpected_eof() {
    return message(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
  }
  static IoError write_zero() { return message(ErrorKind::WriteZero, "failed to write whole buffer"); }

  Repr repr() const { return repr_; }
  ErrorKind kind() const { return kind_; }
  int code() const { return code_; }

  std::string debug() const;
  std::string display() const;

 private:
  IoError(Repr repr, ErrorKind kind, int code, std::string text, std::string text2)
      : repr_(repr), kind_(kind), code_(code), text_(std::move(text)), text2_(std::move(text2)) {}

  Repr repr_;
  ErrorKind kind_;
  int code_;
  std::string text_;   // OS message, static message, or custom payload debug text
  std::string text2_;  // custom payload display text
};

enum class ShapeErrorKind {
  IncompatibleShape, IncompatibleLayout, RangeLimited, OutOfBounds, Unsupported, Overflow,
};

class EmbeddingsError {
 public:
  enum class Variant {
    Context, Format, NGramConversion, MatrixShape, Read, UnknownChunkIdentifier, Overflow,
    Conversion, Quantization, Write,
  };

  static EmbeddingsError context(std::string context, EmbeddingsError inner);
  static EmbeddingsError format(std::string text) { return {Variant::Format, std::move(text)}; }
  static EmbeddingsError ngram_conversion(std::string text) {
    return {Variant::NGramConversion, std::move(text)};
  }
  static EmbeddingsError matrix_shape(ShapeErrorKind kind);
  static EmbeddingsError read(std::string desc, IoError error);
  static EmbeddingsError write(std::string desc, IoError error);
  static EmbeddingsError unknown_chunk_identifier(std::uint32_t code);
  static EmbeddingsError overflow() { return {Variant::Overflow, {}}; }
  static EmbeddingsError conversion(std::string from, std::string to);
  static EmbeddingsError quantization(std::string record_debug) {
    return {Variant::Quantization, std::move(record_debug)};
  }

  Variant variant() const { return variant_; }
  // Format/NGramConversion text, Read/Write desc, Context context, Conversion from.
  const std::string& text() const { return text_; }
  const std::optional<IoError>& io_error() const { return io_; }
  std::uint32_t code() const { return code_; }
  const EmbeddingsError* inner() const { return inner_.get(); }

  std::string display() const;
  std::string debug() const;

 private:
  EmbeddingsError(Variant v, std::string text) : variant_(v), text_(std::move(text)) {}
  void append_debug(std::string& out) const;

  Variant variant_;
  std::string text_;
  std::string text2_;  // Conversion `to`
  std::optional<IoError> io_;
  std::uint32_t code_ = 0;
  ShapeErrorKind shape_ = ShapeErrorKind::IncompatibleShape;
  std::shared_ptr<const EmbeddingsError> inner_;
};

// Text in debug renderings: quoted, with escapes.
std::string debug_quote(std::string_view text);

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
#define MAVE_TRY(expr)                                              \
  do {                                                              \
    auto&& mave_try_status_ = (expr);                               \
    if (!mave_try_status_.ok()) return std::move(mave_try_status_).error(); \
  } while (0)

// Declares `lhs` from the value of a result, or returns its error.
#define MAVE_ASSIGN_OR_RETURN(lhs, expr)                                     \
  auto MAVE_CONCAT(mave_result_, __LINE__) = (expr);                         \
  if (!MAVE_CONCAT(mave_result_, __LINE__).ok())                             \
    return std::move(MAVE_CONCAT(mave_result_, __LINE__)).error();           \
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
// frame turns it into PanicException(message). Nothing else catches it.

class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

// Whether panics write their diagnostic report to standard error (the fuzz
// targets and unit tests turn it off).
void set_panic_reports(bool enabled);

[[noreturn]] void panic(std::string message,
                        SourceLocation where = SourceLocation::current());

// Pinned: docs/compatibility.md
// "assertion `left == right` failed: TEXT\n  left: A\n right: B"
[[noreturn]] void panic_assert_eq(std::string_view text, std::uint64_t left, std::uint64_t right,
                                  SourceLocation where = SourceLocation::current());

// The fixed row-index check of every storage.
[[noreturn]] void panic_index_out_of_bounds(
    SourceLocation where = SourceLocation::current());

inline void check_index(std::uint64_t index, std::uint64_t dim,
                        SourceLocation where = SourceLocation::current()) {
  if (index >= dim) [[unlikely]] panic_index_out_of_bounds(where);
}

}  // namespace mave
