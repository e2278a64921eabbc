// File header, chunk identifiers, string items and the error renderings.
#include <gtest/gtest.h>

#include <cerrno>

#include "format/chunk.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

using test::Bytes;
using test::debug_of;
using test::eof_read;
using test::TempFile;

std::string written(const std::vector<ChunkIdentifier>& ids) {
  TempFile out;
  {
    BufferedWriter w(File::create(out.path()).value());
    EXPECT_TRUE(write_header(w, ids).ok());
    EXPECT_TRUE(w.close().ok());
  }
  return out.read();
}

TEST(Header, WrittenBytes) {
  EXPECT_EQ(written({ChunkIdentifier::SimpleVocab, ChunkIdentifier::NdArray}),
            Bytes().str("FiFu").u32(0).u32(2).u32(1).u32(2).str());
  EXPECT_EQ(written({ChunkIdentifier::SimpleVocab, ChunkIdentifier::NdArray}).size(), 20u);
  EXPECT_EQ(written({}), std::string("FiFu\0\0\0\0\0\0\0\0", 12));
}

TEST(Header, ReadsBackWhatWasWrittenAndPositionsAfterIt) {
  std::vector<ChunkIdentifier> ids = {ChunkIdentifier::Metadata, ChunkIdentifier::SimpleVocab,
                                      ChunkIdentifier::QuantizedArray, ChunkIdentifier::NdNorms};
  TempFile f(written(ids) + "tail");
  BufferedReader r = f.reader();
  auto read = read_header(r);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value(), ids);
  EXPECT_EQ(r.position().value(), 28u);

  TempFile empty(written({}));
  BufferedReader r2 = empty.reader();
  auto none = read_header(r2);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none.value().empty());
}

struct HeaderFailure {
  std::string bytes;
  std::string debug;
  std::string display;
};

class HeaderFailures : public testing::TestWithParam<HeaderFailure> {};

TEST_P(HeaderFailures, ReportExactly) {
  TempFile f(GetParam().bytes);
  BufferedReader r = f.reader();
  auto read = read_header(r);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(debug(read.error()), GetParam().debug);
  EXPECT_EQ(display(read.error()), GetParam().display);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderFailures,
    testing::Values(
        HeaderFailure{"Fi", eof_read("Cannot read magic"), "Cannot read magic"},
        HeaderFailure{"", eof_read("Cannot read magic"), "Cannot read magic"},
        HeaderFailure{"FiFv", "Format(\"Expected 'FiFu' as magic, got: FiFv\")",
                      "Invalid file format Expected 'FiFu' as magic, got: FiFv"},
        HeaderFailure{"\xFF"
                      "FiF",
                      "Format(\"Expected 'FiFu' as magic, got: \xEF\xBF\xBD"
                      "FiF\")",
                      "Invalid file format Expected 'FiFu' as magic, got: \xEF\xBF\xBD"
                      "FiF"},
        HeaderFailure{std::string("\0\0\0\0", 4), "Format(\"Expected 'FiFu' as magic, got: \\0\\0\\0\\0\")",
                      std::string("Invalid file format Expected 'FiFu' as magic, got: \0\0\0\0", 55)},
        HeaderFailure{"FiFu\0\0", eof_read("Cannot read model version"), "Cannot read model version"},
        HeaderFailure{Bytes().str("FiFu").u32(1).str(), "Format(\"Unknown finalfusion version: 1\")",
                      "Invalid file format Unknown finalfusion version: 1"},
        HeaderFailure{Bytes().str("FiFu").u32(0).str(), eof_read("Cannot read chunk identifiers length"),
                      "Cannot read chunk identifiers length"},
        HeaderFailure{Bytes().str("FiFu").u32(0).u32(2).u32(1).str(),
                      eof_read("Cannot read chunk identifier"), "Cannot read chunk identifier"},
        HeaderFailure{Bytes().str("FiFu").u32(0).u32(1).u32(0).str(), "UnknownChunkIdentifier(0)",
                      "Unknown chunk identifier 0"},
        HeaderFailure{Bytes().str("FiFu").u32(0).u32(2).u32(1).u32(10).str(), "UnknownChunkIdentifier(10)",
                      "Unknown chunk identifier 10"},
        HeaderFailure{Bytes().str("FiFu").u32(0).u32(1).u32(4294967295u).str(),
                      "UnknownChunkIdentifier(4294967295)", "Unknown chunk identifier 4294967295"},
        // A count far beyond the file fails as the short read does.
        HeaderFailure{Bytes().str("FiFu").u32(0).u32(4294967295u).u32(1).str(),
                      eof_read("Cannot read chunk identifier"), "Cannot read chunk identifier"}));

TEST(Padding, FillsToTheNextMultipleOfFourAndNeverZero) {
  EXPECT_EQ(padding_for(8), 4u);
  EXPECT_EQ(padding_for(9), 3u);
  EXPECT_EQ(padding_for(10), 2u);
  EXPECT_EQ(padding_for(11), 1u);
  EXPECT_EQ(padding_for(0), 4u);
}

TEST(ChunkIdentifiers, ExpectReportsBothNamesOrTheUnknownCode) {
  auto expect = [](std::uint32_t code, ChunkIdentifier want) {
    TempFile f(Bytes().u32(code).str());
    BufferedReader r = f.reader();
    return debug_of(expect_chunk_identifier(r, want));
  };
  EXPECT_EQ(expect(5, ChunkIdentifier::NdNorms),
            "Format(\"Invalid chunk identifier, expected: NdNorms, got: Metadata\")");
  EXPECT_EQ(expect(6, ChunkIdentifier::NdNorms), "ok");
  EXPECT_EQ(expect(0, ChunkIdentifier::NdNorms), "UnknownChunkIdentifier(0)");
  EXPECT_EQ(expect(10, ChunkIdentifier::NdNorms), "UnknownChunkIdentifier(10)");
  const char* names[] = {"Header",
                         "SimpleVocab",
                         "NdArray",
                         "BucketSubwordVocab",
                         "QuantizedArray",
                         "Metadata",
                         "NdNorms",
                         "FastTextSubwordVocab",
                         "ExplicitSubwordVocab",
                         "FloretSubwordVocab"};
  for (std::uint32_t code = 0; code < 10; ++code) {
    EXPECT_EQ(chunk_identifier_name(static_cast<ChunkIdentifier>(code)), names[code]);
  }
  TempFile none("");
  BufferedReader r = none.reader();
  EXPECT_EQ(debug_of(expect_chunk_identifier(r, ChunkIdentifier::NdArray)),
            eof_read("Cannot read chunk identifier"));
}

TEST(ElementType, MismatchNamesBothNumbers) {
  TempFile f(Bytes().u32(1).u32(10).str());
  BufferedReader r = f.reader();
  EXPECT_EQ(debug_of(expect_element_type(r, 10)), "Format(\"Invalid type, expected: 10, got: 1\")");
  EXPECT_EQ(debug_of(expect_element_type(r, 10)), "ok");
  EXPECT_EQ(debug_of(expect_element_type(r, 10)), eof_read("Cannot read type identifier"));
}

struct ItemCase {
  std::string bytes;
  std::string outcome;  // the text, or the error's debug text
};

class StringItems : public testing::TestWithParam<ItemCase> {};

TEST_P(StringItems, DecodeOrReport) {
  TempFile f(GetParam().bytes);
  BufferedReader r = f.reader();
  auto item = read_string_item(r);
  EXPECT_EQ(item.ok() ? item.value() : debug(item.error()), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StringItems,
    testing::Values(
        ItemCase{Bytes().item("").str(), ""}, ItemCase{Bytes().item("Haus").str(), "Haus"},
        ItemCase{Bytes().item("\xC3\xA9t\xC3\xA9").str(), "\xC3\xA9t\xC3\xA9"},
        ItemCase{Bytes().item("a\xC3").str(),
                 "Format(\"Item contains invalid UTF-8: incomplete utf-8 byte sequence from index 1\")"},
        ItemCase{Bytes()
                     .item("a\xFF"
                           "b")
                     .str(),
                 "Format(\"Item contains invalid UTF-8: invalid utf-8 sequence of 1 bytes from index 1\")"},
        ItemCase{Bytes()
                     .item("ab\xE2\x82"
                           "c")
                     .str(),
                 "Format(\"Item contains invalid UTF-8: invalid utf-8 sequence of 2 bytes from index 2\")"},
        ItemCase{Bytes().item("\xF0\x9F\x98").str(),
                 "Format(\"Item contains invalid UTF-8: incomplete utf-8 byte sequence from index 0\")"},
        ItemCase{Bytes().item("\xED\xA0\x80").str(),  // an encoded surrogate
                 "Format(\"Item contains invalid UTF-8: invalid utf-8 sequence of 1 bytes from index 0\")"},
        ItemCase{Bytes().item("x\xF4\x90\x80\x80").str(),  // above U+10FFFF
                 "Format(\"Item contains invalid UTF-8: invalid utf-8 sequence of 1 bytes from index 1\")"},
        ItemCase{Bytes().item("\xC0\xAF").str(),  // overlong
                 "Format(\"Item contains invalid UTF-8: invalid utf-8 sequence of 1 bytes from index 0\")"},
        ItemCase{"\x02\x00", eof_read("Cannot read string length")},
        ItemCase{Bytes().u32(5).str("abc").str(), eof_read("Cannot read item")},
        ItemCase{Bytes().u32(4294967295u).str("abc").str(), eof_read("Cannot read item")}));

// --- The error record and its renderings ------------------------------------

TEST(EmbeddingsErrorText, DisplayAndDebugOfEveryCode) {
  IoError eof = IoError::unexpected_eof();
  auto shape = [](ShapeErrorKind kind) {
    EmbeddingsError e(ErrorCode::BadShape);
    e.shape = kind;
    return e;
  };
  auto with_detail = [](ErrorCode code, Step step, std::string detail) {
    return EmbeddingsError(code, step).with_detail(std::move(detail));
  };
  auto values = [](ErrorCode code, Step step, std::uint64_t expected, std::uint64_t found) {
    return EmbeddingsError::with_values(code, step, expected, found);
  };
  EmbeddingsError toml(ErrorCode::BadMetadata, Step::ReadTOMLMetadata);
  toml.detail = "expected a value";
  toml.line = 2;
  toml.column = 7;
  struct Case {
    EmbeddingsError error;
    std::string display, debug;
  };
  std::vector<Case> cases = {
      {EmbeddingsError::in_step(Step::ReadBeginOfWordMarker,
                                EmbeddingsError::read(Step::ReadStringLength, eof)),
       "Cannot read begin of word marker",
       "Context { context: \"Cannot read begin of word marker\", error: Read { desc: \"Cannot read "
       "string length\", error: Error { kind: UnexpectedEof, message: \"failed to fill whole "
       "buffer\" } } }"},
      {shape(ShapeErrorKind::IncompatibleShape), "Cannot construct matrix with the given shape",
       "MatrixShape(ShapeError/IncompatibleShape: incompatible shapes)"},
      {shape(ShapeErrorKind::RangeLimited), "Cannot construct matrix with the given shape",
       "MatrixShape(ShapeError/RangeLimited: the shape does not fit in type limits)"},
      {EmbeddingsError::read(Step::ReadMagic, eof), "Cannot read magic", test::eof_read("Cannot read magic")},
      {values(ErrorCode::UnknownChunk, Step::ReadChunkIdentifier, 0, 10), "Unknown chunk identifier 10",
       "UnknownChunkIdentifier(10)"},
      {EmbeddingsError::overflow(Step::ReadNormsVectorLength),
       "Data cannot be represented using native word size", "Overflow"},
      {EmbeddingsError::write(Step::WriteNorm, IoError::write_zero()), "Cannot write norm",
       "Write { desc: \"Cannot write norm\", error: Error { kind: WriteZero, message: \"failed to "
       "write whole buffer\" } }"},
      {values(ErrorCode::BadHashCount, Step::ReadNumberOfHashes, 4, 5),
       "Number of hashes should be in be more than 0 and less than 5, was: 5",
       "Read { desc: \"Number of hashes should be in be more than 0 and less than 5, was: 5\", "
       "error: Kind(InvalidData) }"},
      {values(ErrorCode::UnexpectedChunk, Step::ReadChunkIdentifier, chunk_mask(ChunkIdentifier::NdNorms), 5),
       "Invalid file format Invalid chunk identifier, expected: NdNorms, got: Metadata",
       "Format(\"Invalid chunk identifier, expected: NdNorms, got: Metadata\")"},
      {values(ErrorCode::UnexpectedChunk, Step::ReadStorageChunkIdentifier,
              chunk_mask(ChunkIdentifier::NdArray) | chunk_mask(ChunkIdentifier::QuantizedArray), 1),
       "Invalid file format Invalid chunk identifier, expected: NdArray, got: SimpleVocab",
       "Format(\"Invalid chunk identifier, expected: NdArray, got: SimpleVocab\")"},
      {values(ErrorCode::BadElementType, Step::ReadTypeIdentifier, 10, 3),
       "Invalid file format Invalid type, expected: 10, got: 3",
       "Format(\"Invalid type, expected: 10, got: 3\")"},
      {values(ErrorCode::InvalidUtf8, Step::ReadItem, 1, 2),
       "Invalid file format Item contains invalid UTF-8: invalid utf-8 sequence of 1 bytes from "
       "index 2",
       "Format(\"Item contains invalid UTF-8: invalid utf-8 sequence of 1 bytes from index 2\")"},
      {values(ErrorCode::InvalidUtf8, Step::ReadTOMLMetadata, 0, 3),
       "Invalid file format TOML metadata contains invalid UTF-8: incomplete utf-8 byte sequence "
       "from index 3",
       "Format(\"TOML metadata contains invalid UTF-8: incomplete utf-8 byte sequence from index "
       "3\")"},
      {with_detail(ErrorCode::BadMagic, Step::ReadMagic, "Fi\"\n"),
       "Invalid file format Expected 'FiFu' as magic, got: Fi\"\n",
       "Format(\"Expected 'FiFu' as magic, got: Fi\\\"\\n\")"},
      {values(ErrorCode::BadMagic, Step::FastTextReadMagic, 793712314, 7),
       "Invalid file format Expected 793712314 as magic, got: 7",
       "Format(\"Expected 793712314 as magic, got: 7\")"},
      {values(ErrorCode::UnsupportedVersion, Step::ReadModelVersion, 0, 1),
       "Invalid file format Unknown finalfusion version: 1", "Format(\"Unknown finalfusion version: 1\")"},
      {EmbeddingsError(ErrorCode::NoChunks), "Invalid file format Embedding file does not contain chunks",
       "Format(\"Embedding file does not contain chunks\")"},
      {toml, "Invalid file format Cannot deserialize TOML metadata: expected a value at line 2, column 7",
       "Format(\"Cannot deserialize TOML metadata: expected a value at line 2, column 7\")"},
      {values(ErrorCode::BadQuantizedShape, Step::ReadReconstructedEmbeddingLength, 3, 10),
       "Invalid file format Reconstructed embedding length (10) not a multiple of the quantized "
       "embedding length: (3)",
       "Format(\"Reconstructed embedding length (10) not a multiple of the quantized embedding "
       "length: (3)\")"},
      {with_detail(ErrorCode::BadText, Step::None, "an empty line").on_line(3),
       "Invalid file format line 3: an empty line", "Format(\"line 3: an empty line\")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(display(c.error), c.display);
    EXPECT_EQ(debug(c.error), c.debug);
  }
}

TEST(IoErrorText, OperatingSystemErrorsCarryCodeKindAndMessage) {
  IoError missing = IoError::os(ENOENT);
  EXPECT_EQ(missing.kind(), ErrorKind::NotFound);
  EXPECT_EQ(debug(missing), "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  EXPECT_EQ(display(missing), "No such file or directory (os error 2)");
  EXPECT_EQ(IoError::os(EACCES).kind(), ErrorKind::PermissionDenied);
  EXPECT_EQ(display(IoError::os(ENOSPC)), "No space left on device (os error 28)");
  EXPECT_EQ(debug(IoError::os(EISDIR)), "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
  EXPECT_EQ(debug(IoError::from_kind(ErrorKind::InvalidData)), "Kind(InvalidData)");

  auto opened = File::open_read("/nonexistent/mave/file");
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(debug(opened.error()), "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  auto nul = File::open_read(std::string("a\0b", 3));
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(display(nul.error()), "file name contained an unexpected NUL byte");
}

TEST(DebugQuote, EscapesQuotesBackslashesAndControlsButKeepsPrintableUnicode) {
  EXPECT_EQ(debug_quote("plain"), "\"plain\"");
  EXPECT_EQ(debug_quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(debug_quote(std::string("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
  EXPECT_EQ(debug_quote("\x01\x7F"), "\"\\u{1}\\u{7f}\"");
  EXPECT_EQ(debug_quote("Stra\xC3\x9F"
                        "e \xE6\x97\xA5"),
            "\"Stra\xC3\x9F"
            "e \xE6\x97\xA5\"");
  EXPECT_EQ(debug_quote("\xC2\x85"), "\"\\u{85}\"");        // a C1 control
  EXPECT_EQ(debug_quote("\xE2\x80\x8B"), "\"\\u{200b}\"");  // zero-width space
  EXPECT_EQ(debug_quote("'"), "\"'\"");
}

TEST(Panics, EqualityAndIndexChecksCarryTheirMessages) {
  EXPECT_EQ(test::panic_message([] { panic(PanicKind::DuplicateWords, PanicFacts::values(3, 2)); }),
            "assertion `left == right` failed: words contained duplicate entries.\n  left: 3\n right: 2");
  EXPECT_EQ(test::panic_message([] { check_index(5, 5); }), "assertion failed: index < dim");
  EXPECT_EQ(test::panic_message([] { check_index(4, 5); }), "");
}

}  // namespace
}  // namespace mave
