// The conversion layer: every readable format to every writable one and
// back, the forms rows take with and without normalisation, the fastText
// path against the file _mave.build_model writes, files built from a matrix
// in memory, quantized files, failures that name the right file, and the
// atomic output (nothing left behind by a failure or an interrupt).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <stdexcept>

#include "base/vector_math.hpp"
#include "convert/conversion.hpp"
#include "fasttext/fasttext.hpp"
#include "test_files.hpp"
#include "text/vector_text.hpp"

namespace mave {
namespace {

using namespace test;

const std::vector<std::string> kWords = {"</s>", "grün", "a", "日本"};
// Row 3 is zero: its norm is 0 and it stays zero when normalised.
const std::vector<float> kRows = {3.0f,  4.0f,  0.0f, -1.25f, 0.5f, 1e-3f,
                                  1e10f, -2.0f, 7.0f, 0.0f,   0.0f, 0.0f};

std::string text_source() {
  std::string s = "4 3\n";
  char buffer[32];
  for (std::size_t i = 0; i < kWords.size(); ++i) {
    s += kWords[i];
    for (std::size_t j = 0; j < 3; ++j) {
      s += ' ';
      s.append(buffer, format_element(kRows[i * 3 + j], buffer));
    }
    s += '\n';
  }
  return s;
}

// The words and rows of a source as lookups give them.
struct Rows {
  std::vector<std::string> words;
  std::vector<float> values;
};

Rows rows_of(const Source& source) {
  Rows out;
  if (const auto* imported = std::get_if<ImportedRows>(&source)) {
    const ImportedEmbeddings& e = imported->embeddings;
    for (std::size_t i = 0; i < e.words.size(); ++i) {
      out.words.emplace_back(e.words[i]);
      out.values.insert(out.values.end(), e.matrix.row(i), e.matrix.row(i) + e.matrix.cols());
    }
    return out;
  }
  const Embeddings& e = std::get<Embeddings>(source);
  std::vector<float> row(e.dims());
  for (std::size_t i = 0; i < e.vocab().n_words(); ++i) {
    out.words.emplace_back(e.vocab().words()[i]);
    e.storage().row_into(i, row.data());
    out.values.insert(out.values.end(), row.begin(), row.end());
  }
  return out;
}

Source read(const std::string& path, Format format, bool normalize) {
  BufferedReader r(File::open_read(path).value());
  auto source = read_source(r, format, normalize);
  if (!source.ok()) throw std::runtime_error(std::string(error_code_name(source.error().code)));
  return std::move(source).value();
}

void write(const std::string& path, Source& source, Format format, bool normalize) {
  BufferedWriter w(File::create(path).value());
  ASSERT_TRUE(write_destination(w, source, format, normalize).ok());
  ASSERT_TRUE(w.close().ok());
}

// A finalfusion file of kWords and `values` (`cols` per row) from memory.
void write_matrix(const std::string& path, const std::vector<float>& values, std::size_t cols, bool normalize,
                  std::optional<Metadata> metadata = std::nullopt) {
  MatrixRows rows{WordList{}, values.data(), cols, std::nullopt, std::move(metadata)};
  for (const auto& word : kWords) rows.words.push_back(word);
  ASSERT_EQ(rows.words.build_index(), kWords.size());
  BufferedWriter w(File::create(path).value());
  ASSERT_TRUE(write_matrix_embeddings(w, rows, normalize).ok());
  ASSERT_TRUE(w.close().ok());
}

std::vector<float> unit_rows(std::vector<float> rows, std::size_t cols) {
  for (std::size_t i = 0; i < rows.size(); i += cols) {
    scale_to_unit_norm(rows.data() + i, cols, /*contiguous=*/true);
  }
  return rows;
}

void expect_same_bits(const std::vector<float>& got, const std::vector<float>& expected) {
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(std::memcmp(&got[i], &expected[i], sizeof(float)), 0)
        << "value " << i << ": " << got[i] << " != " << expected[i];
  }
}

TEST(ConversionTest, FormatNamesAreOneTable) {
  for (const FormatInfo& info : kFormats) {
    EXPECT_EQ(format_named(info.name), info.format);
    EXPECT_EQ(&format_info(info.format), &info);
    EXPECT_EQ(info.writable, info.format != Format::FastText);
  }
  EXPECT_EQ(format_named("vec"), std::nullopt);
  EXPECT_EQ(format_named("FinalFusion"), std::nullopt);
}

// Each writable format, written from a text source and read back, gives the
// same words and bit-identical rows; with normalisation unit rows (zero rows
// stay zero), and a finalfusion file turns them back into the originals.
TEST(ConversionTest, EveryFormatRoundTrips) {
  TempFile text(text_source());
  for (bool normalize : {false, true}) {
    const std::vector<float> expected = normalize ? unit_rows(kRows, 3) : kRows;
    for (const FormatInfo& info : kFormats) {
      // A floret table is written from files of the floret kind only.
      if (!info.writable || info.format == Format::Floret) continue;
      SCOPED_TRACE(std::string(info.name) + (normalize ? " normalized" : " raw"));
      Source source = read(text.path(), Format::Text, normalize);
      TempFile out;
      write(out.path(), source, info.format, normalize);
      const Rows back = rows_of(read(out.path(), info.format, false));
      EXPECT_EQ(back.words, kWords);
      expect_same_bits(back.values, expected);
      if (info.format == Format::FinalFusion && normalize) {
        // Written again without normalisation: row x norm, the original
        // vectors up to float32 rounding.
        Source unit = read(out.path(), Format::FinalFusion, false);
        TempFile raw;
        write(raw.path(), unit, Format::Text, /*normalize=*/false);
        const Rows restored = rows_of(read(raw.path(), Format::Text, false));
        for (std::size_t i = 0; i < kRows.size(); ++i) {
          EXPECT_NEAR(restored.values[i], kRows[i], std::abs(kRows[i]) * 1e-6f) << i;
        }
      }
    }
  }
}

// mave.convert of a fastText model and _mave.build_model write the same
// file: the layer's finalfusion writer equals the container's own.
TEST(ConversionTest, FastTextPathWritesWhatTheModelWrites) {
  for (const char* model : {"fasttext/demo-skipgram.bin", "fasttext/skipgram-minn1.bin"}) {
    SCOPED_TRACE(model);
    Source source = read(data_path(model), Format::FastText, /*normalize=*/true);
    TempFile layer;
    write(layer.path(), source, Format::FinalFusion, true);
    EXPECT_TRUE(layer.read() == written_file(std::get<Embeddings>(source)));

    // Other formats hold the vocabulary words only, as lookups give them.
    TempFile vec;
    write(vec.path(), source, Format::Text, true);
    const Rows words = rows_of(read(vec.path(), Format::Text, false));
    const Rows looked_up = rows_of(source);
    EXPECT_EQ(words.words, looked_up.words);
    expect_same_bits(words.values, looked_up.values);
  }
}

TEST(ConversionTest, MatrixInMemoryBecomesAFile) {
  for (bool normalize : {false, true}) {
    TempFile out;
    write_matrix(out.path(), kRows, 3, normalize,
                 Metadata::from_entries({{"epochs", std::int64_t{5}}, {"source", std::string("x")}}));
    Source back = read(out.path(), Format::FinalFusion, false);
    const Embeddings& e = std::get<Embeddings>(back);
    EXPECT_EQ(rows_of(back).words, kWords);
    expect_same_bits(rows_of(back).values, normalize ? unit_rows(kRows, 3) : kRows);
    EXPECT_EQ(e.norms().has_value(), normalize);
    if (normalize) {
      EXPECT_EQ(e.norms()->values[0], 5.0f);
      EXPECT_EQ(e.norms()->values[3], 0.0f);
    }
    ASSERT_TRUE(e.metadata());
    EXPECT_EQ(e.metadata()->get("epochs"), Metadata::Value(std::int64_t{5}));
    EXPECT_EQ(e.metadata()->get("source"), Metadata::Value(std::string("x")));
  }
}

TEST(ConversionTest, QuantizedFileIsAssembledFromItsParts) {
  // A finalfusion source of the four words and 4 dims; the quantizer cuts
  // rows in 2 parts of 2 values, with 2 centroids per part.
  TempFile dense;
  write_matrix(dense.path(), {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 7, 8, 5, 6, 3, 4}, 4, false);
  Source source = read(dense.path(), Format::FinalFusion, false);
  const ProductQuantizer quantizer(2, 2, 2, {1, 2, 5, 6, 3, 4, 7, 8}, std::nullopt);
  const std::vector<std::uint8_t> codes = {0, 0, 1, 1, 0, 1, 1, 0};
  const std::vector<float> row_norms = {1, 1, 1, 2};
  const std::vector<float> norms = {10, 20, 30, 40};
  TempFile out;
  {
    BufferedWriter w(File::create(out.path()).value());
    ASSERT_TRUE(write_quantized_embeddings(w, std::get<Embeddings>(source), "quantizer",
                                           {{"bits", std::int64_t{1}}},
                                           QuantizedMatrix{quantizer, row_norms, codes}, norms)
                    .ok());
    ASSERT_TRUE(w.close().ok());
  }
  Source back = read(out.path(), Format::FinalFusion, false);
  const Embeddings& e = std::get<Embeddings>(back);
  EXPECT_TRUE(std::holds_alternative<MappedQuantizedArray>(e.storage().variant()));
  const std::vector<float> expected = {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 7, 8, 10, 12, 6, 8};
  expect_same_bits(rows_of(back).values, expected);
  expect_same_bits(e.norms()->values, norms);
  EXPECT_EQ(e.metadata()->keys(), std::vector<std::string>{"quantizer"});
}

int files_in(const std::string& dir) {
  return static_cast<int>(
      std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()));
}

// A failure names the file it is about and leaves the destination as it was.
TEST(ConversionTest, FailuresNameTheirFileAndLeaveTheDestination) {
  TempFile bad("2 3\nword 1 2\n");
  TempFile dst("old contents");
  const std::string dir = std::filesystem::path(dst.path()).parent_path();
  for (Format format : {Format::Text, Format::FinalFusion, Format::FastText}) {
    auto failure = convert_file(bad.path(), format, dst.path(), Format::Word2Vec, true, {}, {}, {}).failure;
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->path, bad.path());
    if (format == Format::Text) {
      EXPECT_EQ(failure->error.code, ErrorCode::BadText);
    }
  }
  auto missing =
      convert_file(dir + "/none", Format::Text, dst.path(), Format::Text, true, {}, {}, {}).failure;
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->path, dir + "/none");
  ASSERT_TRUE(missing->error.io_cause());
  EXPECT_EQ(missing->error.io_cause()->kind(), ErrorKind::NotFound);

  // A word that text cannot hold fails the writer, before the rename.
  TempFile spaced(std::string("1 2\n") + "a 1 2\n");
  Source source = read(spaced.path(), Format::Text, false);
  std::get<ImportedRows>(source).embeddings.words = WordList{};
  std::get<ImportedRows>(source).embeddings.words.push_back("two words");
  auto unwritable = write_file(dst.path(), Durability::Synced, [&](BufferedWriter& w) {
    return write_destination(w, source, Format::Text, false);
  });
  ASSERT_TRUE(unwritable);
  EXPECT_EQ(unwritable->path, dst.path());
  EXPECT_EQ(unwritable->error.code, ErrorCode::Unwritable);
  EXPECT_EQ(dst.read(), "old contents");
  EXPECT_EQ(files_in(dir), 1);

  auto no_dir =
      convert_file(bad.path(), Format::Text, dir + "/no/such/x", Format::Text, true, {}, {}, {}).failure;
  ASSERT_TRUE(no_dir);
  EXPECT_EQ(no_dir->path, bad.path());  // the source fails first
  TempFile good(text_source());
  no_dir =
      convert_file(good.path(), Format::Text, dir + "/no/such/x", Format::Text, true, {}, {}, {}).failure;
  ASSERT_TRUE(no_dir);
  EXPECT_EQ(no_dir->path, dir + "/no/such/x");
  ASSERT_TRUE(no_dir->error.io_cause());
  EXPECT_EQ(no_dir->error.io_cause()->kind(), ErrorKind::NotFound);
}

TEST(ConversionTest, ProgressCountsBytesReadAndRowsWritten) {
  TempFile text(text_source());
  TempFile out;
  std::uint64_t last_read = 0, read_total = 0, last_row = 0, rows = 0;
  auto failure = convert_file(
                     text.path(), Format::Text, out.path(), Format::FinalFusion, true, {},
                     [&](std::uint64_t done, std::uint64_t total) { last_read = done, read_total = total; },
                     [&](std::uint64_t done, std::uint64_t total) { last_row = done, rows = total; })
                     .failure;
  ASSERT_FALSE(failure);
  EXPECT_EQ(read_total, text_source().size());
  EXPECT_EQ(last_read, read_total);
  EXPECT_EQ(rows, kWords.size());
  EXPECT_EQ(last_row, rows);
}

// An exception thrown by a progress callback (how Ctrl-C reaches the
// writer) unwinds through the output, which removes its temporary file.
TEST(ConversionTest, InterruptedConversionLeavesNothingBehind) {
  TempFile text(text_source());
  TempFile dst("old contents");
  const std::string dir = std::filesystem::path(dst.path()).parent_path();
  struct Interrupted {};
  for (Format format : {Format::FinalFusion, Format::Word2Vec, Format::GloVe}) {
    EXPECT_THROW(convert_file(text.path(), Format::Text, dst.path(), format, true, {}, {},
                              [](std::uint64_t, std::uint64_t) { throw Interrupted{}; }),
                 Interrupted);
    EXPECT_EQ(dst.read(), "old contents");
    EXPECT_EQ(files_in(dir), 1);
  }
}

TEST(AtomicOutputTest, AppearsOnlyWhenCommitted) {
  TempFile dir_marker;
  const std::string dir = std::filesystem::path(dir_marker.path()).parent_path();
  const std::string path = dir + "/out.fifu";
  const int before = files_in(dir);
  for (Durability durability : {Durability::Cached, Durability::Synced}) {
    {
      auto output = AtomicOutput::create(path, durability);
      ASSERT_TRUE(output.ok());
      ASSERT_TRUE(output.value().writer().write_all("abandoned", 9).ok());
      EXPECT_EQ(files_in(dir), before + 1);
    }
    EXPECT_EQ(files_in(dir), before);
    EXPECT_FALSE(std::filesystem::exists(path));

    const mode_t old_mask = ::umask(022);
    auto output = AtomicOutput::create(path, durability);
    ::umask(old_mask);
    ASSERT_TRUE(output.ok());
    ASSERT_TRUE(output.value().writer().write_all("complete", 8).ok());
    ASSERT_TRUE(output.value().commit().ok());
    EXPECT_EQ(read_file(path), "complete");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(files_in(dir), before + 1);
    std::filesystem::remove(path);
  }

  auto missing = AtomicOutput::create(dir + "/no/such/dir/x", Durability::Cached);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), ErrorKind::NotFound);
  auto nul = AtomicOutput::create(dir + std::string("/a\0b", 4), Durability::Cached);
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(files_in(dir), before);
}

}  // namespace
}  // namespace mave
