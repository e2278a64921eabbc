// The two renderers of the core's failures: mave's plain messages never
// contain _mave's pinned texts, and every code, step and panic kind has
// words in both.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "format/chunk.hpp"
#include "python/_mave/pinned_texts.hpp"
#include "python/native/messages.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

const std::vector<std::string> kPinnedFragments = {
    "Invalid file format",
    "Cannot ",
    "Result::unwrap",
    "assertion",
    "Os {",
    "Kind(",
    "Error {",
    "fetch-data.sh",
    "failed to fill whole buffer",
    "utf-8 sequence",
    "Unknown chunk identifier",
};

void expect_plain(const std::string& text) {
  EXPECT_FALSE(text.empty());
  for (const std::string& fragment : kPinnedFragments) {
    EXPECT_EQ(text.find(fragment), std::string::npos) << text;
  }
}

// One error of every code, with the facts its readers give it.
std::vector<EmbeddingsError> one_of_each_code() {
  std::vector<EmbeddingsError> out;
  for (std::size_t c = 0; c < kErrorCodeCount; ++c) {
    const auto code = static_cast<ErrorCode>(c);
    EmbeddingsError e(code, Step::ReadNorms);
    e.io = IoError::unexpected_eof();
    e.expected = chunk_mask(ChunkIdentifier::NdArray);
    e.found = 1;
    e.detail = "facts";
    e.offset = 40;
    e.chunk = static_cast<std::uint32_t>(ChunkIdentifier::NdNorms);
    if (code == ErrorCode::InStep) {
      e = EmbeddingsError::in_step(Step::ReadBeginOfWordMarker,
                                   EmbeddingsError::read(Step::ReadStringLength, *e.io).at(40));
      e.chunk = static_cast<std::uint32_t>(ChunkIdentifier::NdNorms);
    }
    out.push_back(e);
  }
  return out;
}

TEST(Messages, EveryCodeHasPlainWordsAndPinnedTexts) {
  for (const EmbeddingsError& e : one_of_each_code()) {
    SCOPED_TRACE(std::string(error_code_name(e.code)));
    const messages::Reason reason = messages::reason(e);
    expect_plain(reason.text);
    EXPECT_EQ(reason.offset, e.offset);
    EXPECT_EQ(reason.text.rfind("byte 40: ", 0), 0u) << reason.text;
    EXPECT_NE(reason.text.find("(in the NdNorms chunk)"), std::string::npos) << reason.text;
    EXPECT_FALSE(pinned::display(e).empty());
    EXPECT_FALSE(pinned::debug(e).empty());
  }
}

// Both renderers word each step from the core's facts (its action and
// field); the texts they give are kept byte for byte in a golden file, made
// from the tables the two renderers held before the facts were shared.
TEST(Messages, EveryStepTextIsThatOfTheGoldenFile) {
  std::istringstream in(test::read_file(test::data_path("step_texts.tsv")));
  std::string line;
  std::size_t s = 0;
  while (std::getline(in, line)) {
    if (line.starts_with("#")) continue;
    const std::size_t a = line.find('\t'), b = line.find('\t', a + 1);
    ASSERT_NE(b, std::string::npos) << line;
    ASSERT_LT(s, kStepCount) << line;
    const auto step = static_cast<Step>(s++);
    EXPECT_EQ(pinned::step_text(step), line.substr(a + 1, b - a - 1)) << line;
    EXPECT_EQ(messages::step_name(step), line.substr(b + 1)) << line;
  }
  EXPECT_EQ(s, kStepCount);
}

TEST(Messages, EveryStepAndPanicKindIsNamed) {
  for (std::size_t s = 1; s < kStepCount; ++s) {
    const auto step = static_cast<Step>(s);
    expect_plain(messages::step_name(step));
    EXPECT_EQ(pinned::step_text(step).rfind("Cannot ", 0), 0u) << s;
  }
  for (std::size_t k = 0; k < kPanicKindCount; ++k) {
    PanicFacts facts = PanicFacts::values(7, 5);
    facts.io = IoError::os(9);
    facts.error = std::make_shared<const EmbeddingsError>(EmbeddingsError(ErrorCode::NoChunks));
    const Panic failure(static_cast<PanicKind>(k), facts, SourceLocation::current());
    SCOPED_TRACE(std::string(panic_kind_name(failure.kind())));
    EXPECT_FALSE(pinned::panic_message(failure).empty());
    expect_plain(messages::panic_reason(failure).text);
  }
}

TEST(Messages, TruncationsWritesAndTextFilesReadAsSentences) {
  EXPECT_EQ(
      messages::reason(EmbeddingsError::read(Step::ReadNumberOfDimensions, IoError::unexpected_eof()).at(8))
          .text,
      "byte 8: the file ends while reading the number of dimensions");
  // A write that failed is reported as one, whatever the step.
  EXPECT_EQ(messages::reason(EmbeddingsError::write(Step::WriteNorms, IoError::write_zero())).text,
            "writing failed while writing the norms: nothing could be written");
  EmbeddingsError text(ErrorCode::BadText);
  text.detail = "an empty line";
  text.line = 3;
  const messages::Reason reason = messages::reason(text);
  EXPECT_EQ(reason.text, "line 3: an empty line");
  EXPECT_EQ(reason.line, 3u);
  EXPECT_EQ(reason.offset, std::nullopt);
  // A TOML line counts within the metadata, so it is no line of the file.
  EmbeddingsError toml(ErrorCode::BadMetadata, Step::ReadTOMLMetadata);
  toml.line = 2;
  EXPECT_EQ(messages::reason(toml).line, std::nullopt);
}

TEST(PinnedTexts, PanicReportHoldsTheMessageAndWhere) {
  const Panic failure(PanicKind::IndexOutOfBounds, PanicFacts::values(9, 3), SourceLocation::current());
  const std::string report = pinned::panic_report(failure);
  EXPECT_EQ(report.rfind("_mave panicked at ", 0), 0u) << report;
  EXPECT_NE(report.find("messages_test.cpp:"), std::string::npos) << report;
  EXPECT_NE(report.find(":\nassertion failed: index < dim\n"), std::string::npos) << report;
}

}  // namespace
}  // namespace mave
