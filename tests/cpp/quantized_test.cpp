// The quantized matrix chunk: reading, row reconstruction, and lookups
// through whole files.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "base/vector_math.hpp"
#include "format/embeddings.hpp"
#include "format/metadata.hpp"
#include "format/quantized_array.hpp"
#include "format/storage.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

using namespace test;

// --- A small test-side writer of the chunk -------------------------------------

struct Quantized {
  bool projection_flag = false, norms_flag = false;
  std::uint32_t quantized_len = 0, reconstructed_len = 0, n_centroids = 0;
  std::uint64_t n_embeddings = 0;
  std::uint32_t code_type = 1, value_type = 10;
  // Written as given, whatever the counts above claim.
  std::vector<float> projection, subquantizers, norms;
  std::vector<std::uint8_t> codes;
};

// Absolute offsets of the parts of a written chunk.
struct Layout {
  std::size_t start, padding, projection, subquantizers, norms, codes, end;
};

Layout quantized_array(Bytes& f, const Quantized& q, std::uint8_t padding_byte = 0) {
  Layout at{};
  at.start = f.size();
  f.u32(4).u64(0);  // the chunk length is not used by the reader
  f.u32(q.projection_flag).u32(q.norms_flag);
  f.u32(q.quantized_len).u32(q.reconstructed_len).u32(q.n_centroids).u64(q.n_embeddings);
  f.u32(q.code_type).u32(q.value_type);
  at.padding = f.size();
  for (std::size_t n = 4 - f.size() % 4; n > 0; --n) f.u8(padding_byte);
  at.projection = f.size();
  for (float v : q.projection) f.f32(v);
  at.subquantizers = f.size();
  for (float v : q.subquantizers) f.f32(v);
  at.norms = f.size();
  for (float v : q.norms) f.f32(v);
  at.codes = f.size();
  f.raw(q.codes.data(), q.codes.size());
  at.end = f.size();
  return at;
}

// Values of mixed magnitudes, so that the order of a float32 sum shows in
// its result.
std::vector<float> mixed_values(std::size_t n, std::uint32_t seed) {
  static constexpr float kScales[] = {1e-3f, 1.0f, 1e3f, 0.37f, 31.0f};
  std::vector<float> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    float unit = static_cast<float>(seed >> 8) / static_cast<float>(1u << 24) - 0.5f;
    out[i] = unit * kScales[(seed >> 3) % 5];
  }
  return out;
}

// Three subquantizers of five centroids of four values: rows of twelve, so
// that the projection's dot products have a block of eight and a tail.
Quantized fixture(bool projection, bool norms) {
  Quantized q;
  q.projection_flag = projection;
  q.norms_flag = norms;
  q.quantized_len = 3;
  q.reconstructed_len = 12;
  q.n_centroids = 5;
  q.n_embeddings = 6;
  if (projection) q.projection = mixed_values(12 * 12, 7);
  q.subquantizers = mixed_values(3 * 5 * 4, 11);
  if (norms) {
    for (float v : mixed_values(6, 13)) q.norms.push_back(1.5f + v);
  }
  for (std::uint32_t i = 0; i < 6; ++i) {
    for (std::uint32_t s = 0; s < 3; ++s)
      q.codes.push_back(static_cast<std::uint8_t>((i * 2 + s * 3 + i * s) % 5));
  }
  return q;
}

// --- An independent reconstruction -----------------------------------------

// Row k of the projection times v: products of elements 8b + l go to partial
// sum l, the partial sums are joined pairwise, then the tail is added in order.
float projected(const std::vector<float>& p, const std::vector<float>& v, std::size_t k) {
  const std::size_t n = v.size();
  float part[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) {
    for (std::size_t l = 0; l < 8; ++l) part[l] += p[k * n + j + l] * v[j + l];
  }
  float s = (((part[0] + part[4]) + (part[1] + part[5])) + (part[2] + part[6])) + (part[3] + part[7]);
  for (; j < n; ++j) s += p[k * n + j] * v[j];
  return s;
}

std::vector<float> expected_row(const Quantized& q, std::size_t i) {
  const std::size_t sub_len = q.reconstructed_len / q.quantized_len;
  std::vector<float> v;
  for (std::size_t s = 0; s < q.quantized_len; ++s) {
    std::size_t c = q.codes[i * q.quantized_len + s];
    auto first = q.subquantizers.begin() + static_cast<std::ptrdiff_t>((s * q.n_centroids + c) * sub_len);
    v.insert(v.end(), first, first + static_cast<std::ptrdiff_t>(sub_len));
  }
  if (q.projection_flag) {
    std::vector<float> w(v.size());
    for (std::size_t k = 0; k < v.size(); ++k) w[k] = projected(q.projection, v, k);
    v = w;
  }
  if (q.norms_flag) {
    for (float& x : v) x *= q.norms[i];
  }
  return v;
}

std::vector<std::uint32_t> bits(std::span<const float> v) {
  std::vector<std::uint32_t> out;
  for (float x : v) out.push_back(std::bit_cast<std::uint32_t>(x));
  return out;
}

Result<MappedQuantizedArray> read_at(const TempFile& file, std::uint64_t offset = 0) {
  BufferedReader r = file.reader();
  EXPECT_TRUE(r.seek_to(offset).ok());
  return read_mapped_quantized_array(r);
}

std::vector<float> row_of(const MappedQuantizedArray& m, std::size_t i) {
  std::vector<float> out(m.cols());
  m.row_into(i, out.data());
  return out;
}

// --- Reconstruction ----------------------------------------------------------

TEST(QuantizedFixture, ProjectionSumsDependOnTheirOrder) {
  // Guards the bit-for-bit comparisons below: a plain left-to-right sum of
  // some projected value differs from the eight-partial-sum result.
  Quantized q = fixture(true, false);
  int differing = 0;
  for (std::size_t i = 0; i < q.n_embeddings; ++i) {
    std::vector<float> unprojected = expected_row(fixture(false, false), i);
    for (std::size_t k = 0; k < 12; ++k) {
      float sequential = 0;
      for (std::size_t j = 0; j < 12; ++j) sequential += q.projection[k * 12 + j] * unprojected[j];
      differing += sequential != projected(q.projection, unprojected, k);
    }
  }
  EXPECT_GT(differing, 0);
}

class QuantizedRows : public testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(QuantizedRows, RebuildEveryRowBitForBit) {
  auto [projection, norms] = GetParam();
  Quantized q = fixture(projection, norms);
  Bytes f;
  Layout at = quantized_array(f, q);
  TempFile file(f.str() + "next");
  BufferedReader r = file.reader();
  auto read = read_mapped_quantized_array(r);
  ASSERT_TRUE(read.ok()) << debug(read.error());
  EXPECT_EQ(r.position().value(), at.end);  // just after the codes
  const MappedQuantizedArray& m = read.value();
  EXPECT_EQ(m.rows(), 6u);
  EXPECT_EQ(m.cols(), 12u);
  EXPECT_EQ(m.quantizer().has_projection(), projection);
  EXPECT_EQ(m.norms().has_value(), norms);

  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(bits(row_of(m, i)), bits(expected_row(q, i))) << "row " << i;
  }
  // Several rows at once, in list order, repeats kept.
  const std::vector<std::uint64_t> indices = {5, 0, 5, 2};
  std::vector<float> many(indices.size() * 12);
  m.rows_into(indices, many.data());
  for (std::size_t k = 0; k < indices.size(); ++k) {
    EXPECT_EQ(bits(std::span<const float>(many).subspan(k * 12, 12)), bits(expected_row(q, indices[k])))
        << "entry " << k;
  }
  EXPECT_EQ(panic_message([&] { (void)row_of(m, 6); }), "assertion failed: index < dim");
}

INSTANTIATE_TEST_SUITE_P(Flags, QuantizedRows, testing::Combine(testing::Bool(), testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Projection" : "Plain") +
                                  (std::get<1>(info.param) ? "Norms" : "NoNorms");
                         });

TEST(QuantizedRows, WithoutFlagsARowIsItsCentroidsSideBySide) {
  Quantized q;
  q.quantized_len = 2;
  q.reconstructed_len = 4;
  q.n_centroids = 2;
  q.n_embeddings = 2;
  q.subquantizers = {1, 2, 3, 4, 5, 6, 7, 8};  // (q0: c0, c1), (q1: c0, c1)
  q.codes = {1, 0, 0, 1};
  Bytes f;
  quantized_array(f, q);
  TempFile file(f.str());
  auto m = read_at(file);
  ASSERT_TRUE(m.ok()) << debug(m.error());
  EXPECT_EQ(row_of(m.value(), 0), (std::vector<float>{3, 4, 5, 6}));
  EXPECT_EQ(row_of(m.value(), 1), (std::vector<float>{1, 2, 7, 8}));
}

// --- The projection, many rows at once ---------------------------------------

// Every row's dot product as projected() computes it, one row after the
// other: the reference the blocked, lane-parallel projection must equal.
TEST(Projection, EveryVectorWidthGivesTheRowByRowResults) {
  std::vector<VectorWidth> widths = {VectorWidth::Bits128};
  if (widest_vector_width() >= VectorWidth::Bits256) widths.push_back(VectorWidth::Bits256);
  if (widest_vector_width() >= VectorWidth::Bits512) widths.push_back(VectorWidth::Bits512);
  // Around the eight partial sums and the sixteen rows of a block.
  for (std::size_t n : {0, 1, 3, 7, 8, 9, 15, 16, 17, 31, 33, 100, 300}) {
    std::vector<float> p = mixed_values(n * n, static_cast<std::uint32_t>(3 + n));
    std::vector<float> x = mixed_values(n, static_cast<std::uint32_t>(5 + n));
    // Values whose products and sums are not ordinary numbers.
    if (n >= 9) {
      x[1] = std::numeric_limits<float>::infinity();
      x[2] = -0.0f;
      x[3] = std::numeric_limits<float>::denorm_min();
      p[4] = std::numeric_limits<float>::max();
      p[n + 1] = 0.0f;  // infinity times zero in row 1
    }
    const ProjectionBlocks blocks(p, n);
    std::vector<float> expected(n);
    for (std::size_t k = 0; k < n; ++k) expected[k] = projected(p, x, k);
    for (VectorWidth width : widths) {
      // Eight sentinels past the end catch a write beyond row n - 1.
      std::vector<float> out(n + 8, -7.0f);
      project(blocks, x.data(), out.data(), width);
      EXPECT_EQ(bits(std::span<const float>(out).first(n)), bits(expected))
          << "n " << n << ", width " << static_cast<int>(width);
      EXPECT_EQ(std::vector<float>(out.begin() + static_cast<std::ptrdiff_t>(n), out.end()),
                std::vector<float>(8, -7.0f));
    }
  }
}

// A file of 300-dimensional rows with a projection and norms, as the
// quantizer writes them: rows, groups of rows and composed sums rebuilt bit
// for bit.
TEST(Projection, WideRowsRebuildAsRowByRowDotProducts) {
  Quantized q;
  q.projection_flag = q.norms_flag = true;
  q.quantized_len = 100;
  q.reconstructed_len = 300;
  q.n_centroids = 16;
  q.n_embeddings = 40;
  q.projection = mixed_values(300 * 300, 17);
  q.subquantizers = mixed_values(100 * 16 * 3, 19);
  q.norms = mixed_values(40, 23);
  for (std::size_t i = 0; i < 40 * 100; ++i)
    q.codes.push_back(static_cast<std::uint8_t>((i * 7 + i / 100) % 16));
  Bytes f;
  quantized_array(f, q);
  TempFile file(f.str());
  auto read = read_at(file);
  ASSERT_TRUE(read.ok()) << debug(read.error());
  const MappedQuantizedArray& m = read.value();
  for (std::size_t i = 0; i < 40; ++i) EXPECT_EQ(bits(row_of(m, i)), bits(expected_row(q, i))) << i;

  // More rows than one group of the storage's sum, with repeats, added in
  // list order.
  std::vector<std::uint64_t> indices;
  for (std::uint64_t k = 0; k < 75; ++k) indices.push_back((k * 13) % 40);
  std::vector<float> expected(300, 0.0f);
  for (std::uint64_t i : indices) {
    std::vector<float> row = expected_row(q, static_cast<std::size_t>(i));
    for (std::size_t j = 0; j < 300; ++j) expected[j] = expected[j] + row[j];
  }
  const Storage storage(std::move(read).value());
  std::vector<float> acc(300, 0.0f), scratch;
  storage.add_rows(indices, acc.data(), scratch);
  EXPECT_EQ(bits(acc), bits(expected));
  // The scratch holds one group of rows, not all of them.
  EXPECT_LE(scratch.size(), GroupedRowSum::kGroup * 300);
}

class QuantizedPadding : public testing::TestWithParam<std::size_t> {};

TEST_P(QuantizedPadding, FloatDataStartsAtAMultipleOfFour) {
  const std::size_t lead = GetParam();
  Quantized q = fixture(true, true);
  Bytes f;
  f.zeros(lead);
  // Padding bytes are skipped, not checked.
  Layout at = quantized_array(f, q, 0xFF);
  EXPECT_EQ(at.projection - at.padding, lead == 0 ? 4u : 4 - lead);
  EXPECT_EQ(at.projection % 4, 0u);
  TempFile file(f.str());
  auto m = read_at(file, lead);
  ASSERT_TRUE(m.ok()) << debug(m.error());
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(bits(row_of(m.value(), i)), bits(expected_row(q, i)));
}

INSTANTIATE_TEST_SUITE_P(Lead, QuantizedPadding, testing::Values(0, 1, 2, 3));

TEST(QuantizedRows, EmptyMatrixHasNoRowToLookUp) {
  for (bool norms : {false, true}) {
    Quantized q = fixture(false, norms);
    q.n_embeddings = 0;
    q.norms.clear();
    q.codes.clear();
    Bytes f;
    Layout at = quantized_array(f, q);
    TempFile file(f.str());
    BufferedReader r = file.reader();
    auto m = read_mapped_quantized_array(r);
    ASSERT_TRUE(m.ok()) << debug(m.error());
    EXPECT_EQ(r.position().value(), at.end);
    EXPECT_EQ(m.value().rows(), 0u);
    EXPECT_EQ(m.value().cols(), 12u);
    EXPECT_EQ(panic_message([&] { (void)row_of(m.value(), 0); }), "assertion failed: index < dim");
    std::vector<float> out(12);
    const std::vector<std::uint64_t> one = {0};
    EXPECT_EQ(panic_message([&] { m.value().rows_into(one, out.data()); }), "assertion failed: index < dim");
  }
}

TEST(QuantizedRows, BadCodeFailsOnlyItsRow) {
  for (std::uint8_t bad : {std::uint8_t{5}, std::uint8_t{255}}) {  // n_centroids is 5
    Quantized q = fixture(true, true);
    q.codes[1 * 3 + 2] = bad;
    Bytes f;
    quantized_array(f, q);
    TempFile file(f.str());
    auto m = read_at(file);
    ASSERT_TRUE(m.ok()) << debug(m.error());
    EXPECT_EQ(panic_message([&] { (void)row_of(m.value(), 1); }), "assertion failed: index < dim");
    std::vector<float> out(24);
    const std::vector<std::uint64_t> with_bad = {0, 1}, without = {0, 2};
    EXPECT_EQ(panic_message([&] { m.value().rows_into(with_bad, out.data()); }),
              "assertion failed: index < dim");
    m.value().rows_into(without, out.data());
    EXPECT_EQ(bits(std::span<const float>(out).subspan(12)), bits(expected_row(q, 2)));
    for (std::size_t i : {0, 2, 3, 4, 5}) EXPECT_EQ(bits(row_of(m.value(), i)), bits(expected_row(q, i)));
  }
}

// --- Reading failures --------------------------------------------------------

struct Failure {
  std::string name;
  std::function<Quantized(Quantized)> change;
  std::string debug;
};

std::string failure_name(const testing::TestParamInfo<Failure>& info) { return info.param.name; }
void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

class QuantizedFieldChecks : public testing::TestWithParam<Failure> {};

TEST_P(QuantizedFieldChecks, ReportExactly) {
  Bytes f;
  quantized_array(f, GetParam().change(fixture(true, true)));
  TempFile file(f.str());
  EXPECT_EQ(debug_of(read_at(file)), GetParam().debug);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuantizedFieldChecks,
    testing::Values(Failure{"CodeType2",
                            [](Quantized q) {
                              q.code_type = 2;
                              return q;
                            },
                            "Format(\"Invalid type, expected: 1, got: 2\")"},
                    Failure{"CodeTypeFloat",
                            [](Quantized q) {
                              q.code_type = 10;
                              return q;
                            },
                            "Format(\"Invalid type, expected: 1, got: 10\")"},
                    Failure{"ValueTypeU8",
                            [](Quantized q) {
                              q.value_type = 1;
                              return q;
                            },
                            "Format(\"Invalid type, expected: 10, got: 1\")"},
                    // The code type is checked first.
                    Failure{"BothTypesSwapped",
                            [](Quantized q) {
                              q.code_type = 10;
                              q.value_type = 1;
                              return q;
                            },
                            "Format(\"Invalid type, expected: 1, got: 10\")"},
                    Failure{"NotAMultiple",
                            [](Quantized q) {
                              q.quantized_len = 4;
                              q.reconstructed_len = 10;
                              return q;
                            },
                            "Format(\"Reconstructed embedding length (10) not a multiple of the quantized "
                            "embedding length: (4)\")"},
                    Failure{"NotAMultipleLarge",
                            [](Quantized q) {
                              q.quantized_len = 2;
                              q.reconstructed_len = 4294967295u;
                              return q;
                            },
                            "Format(\"Reconstructed embedding length (4294967295) not a multiple of the "
                            "quantized embedding length: (2)\")"},
                    // The length check comes before the type checks.
                    Failure{"NotAMultipleBeforeTypes",
                            [](Quantized q) {
                              q.quantized_len = 5;
                              q.code_type = 2;
                              return q;
                            },
                            "Format(\"Reconstructed embedding length (12) not a multiple of the quantized "
                            "embedding length: (5)\")"}),
    failure_name);

TEST(QuantizedFieldChecks, DisplayTextOfTheLengthCheck) {
  Quantized q = fixture(false, false);
  q.quantized_len = 4;
  q.reconstructed_len = 10;
  Bytes f;
  quantized_array(f, q);
  TempFile file(f.str());
  auto m = read_at(file);
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(display(m.error()),
            "Invalid file format Reconstructed embedding length (10) not a multiple of the "
            "quantized embedding length: (4)");
}

TEST(QuantizedFieldChecks, ChunkIdentifierIsChecked) {
  for (auto [code, debug] :
       {std::pair<std::uint32_t, std::string>{
            2, "Format(\"Invalid chunk identifier, expected: QuantizedArray, got: NdArray\")"},
        {0, "UnknownChunkIdentifier(0)"},
        {10, "UnknownChunkIdentifier(10)"}}) {
    Bytes f;
    quantized_array(f, fixture(false, false));
    std::string bytes = f.str();
    std::memcpy(bytes.data(), &code, 4);
    TempFile file(bytes);
    EXPECT_EQ(debug_of(read_at(file)), debug) << code;
  }
}

class QuantizedAbortingChecks : public testing::TestWithParam<Failure> {};

TEST_P(QuantizedAbortingChecks, FailWhileReading) {
  Bytes f;
  quantized_array(f, GetParam().change(fixture(true, true)));
  TempFile file(f.str());
  EXPECT_EQ(panic_message([&] { (void)read_at(file); }), GetParam().debug);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuantizedAbortingChecks,
    testing::Values(Failure{"NoSubquantizers",
                            [](Quantized q) {
                              q.quantized_len = 0;
                              return q;
                            },
                            "Quantized embedding length must not be zero"},
                    Failure{"NoCentroids",
                            [](Quantized q) {
                              q.n_centroids = 0;
                              q.subquantizers.clear();
                              return q;
                            },
                            "Attempted to construct a product quantizer without quantizers."},
                    Failure{"EmptyRows",
                            [](Quantized q) {
                              q.reconstructed_len = 0;
                              q.projection.clear();
                              q.subquantizers.clear();
                              return q;
                            },
                            "Attempted to construct a product quantizer without quantizers."}),
    failure_name);

// Every read step, reached by cutting a valid file short.
struct Cut {
  std::string name;
  bool projection;
  std::function<std::size_t(const Layout&)> at;
  std::string desc;
};

void PrintTo(const Cut& c, std::ostream* os) { *os << c.name; }

class QuantizedTruncated : public testing::TestWithParam<Cut> {};

TEST_P(QuantizedTruncated, FailsAtTheStepThatRanOut) {
  const Cut& cut = GetParam();
  Bytes f;
  Layout at = quantized_array(f, fixture(cut.projection, true));
  TempFile file(f.str().substr(0, cut.at(at)));
  auto m = read_at(file);
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(display(m.error()), cut.desc);
  if (cut.desc == "Cannot memory map quantized embedding matrix") {
    EXPECT_EQ(debug(m.error()),
              "Read { desc: \"Cannot memory map quantized embedding matrix\", error: Error { kind: "
              "UnexpectedEof, message: \"memory map range reaches past the end of the file\" } }");
  } else {
    EXPECT_EQ(debug(m.error()), eof_read(cut.desc));
  }
}

Cut cut(std::string name, std::size_t offset, std::string desc) {
  return {std::move(name), true, [offset](const Layout& l) { return l.start + offset; }, std::move(desc)};
}

INSTANTIATE_TEST_SUITE_P(
    Steps, QuantizedTruncated,
    testing::Values(cut("ChunkIdentifier", 2, "Cannot read chunk identifier"),
                    cut("ChunkLength", 4 + 7, "Cannot read quantized embedding matrix chunk length"),
                    cut("ProjectionFlag", 12 + 1, "Cannot read quantized embedding matrix projection"),
                    cut("NormsFlag", 16, "Cannot read quantized embedding matrix norms"),
                    cut("QuantizedLen", 20 + 3, "Cannot read quantized embedding length"),
                    cut("ReconstructedLen", 24, "Cannot read reconstructed embedding length"),
                    cut("NCentroids", 28 + 2, "Cannot read number of subquantizers"),
                    cut("NEmbeddings", 32 + 4, "Cannot read number of quantized embeddings"),
                    cut("CodeType", 40, "Cannot read type identifier"),
                    cut("ValueType", 44 + 1, "Cannot read type identifier"),
                    // A seek past the end succeeds, so a file cut in the padding fails
                    // at the first array that follows it.
                    Cut{"InPadding", true, [](const Layout& l) { return l.padding + 2; },
                        "Cannot read projection matrix"},
                    Cut{"InPaddingNoProjection", false, [](const Layout& l) { return l.padding + 2; },
                        "Cannot read subquantizer"},
                    Cut{"Projection", true, [](const Layout& l) { return l.subquantizers - 1; },
                        "Cannot read projection matrix"},
                    Cut{"Subquantizers", true, [](const Layout& l) { return l.subquantizers + 5; },
                        "Cannot read subquantizer"},
                    Cut{"Norms", true, [](const Layout& l) { return l.codes - 4; }, "Cannot read norms"},
                    Cut{"NoCodes", true, [](const Layout& l) { return l.codes; },
                        "Cannot memory map quantized embedding matrix"},
                    Cut{"LastCode", false, [](const Layout& l) { return l.end - 1; },
                        "Cannot memory map quantized embedding matrix"}),
    [](const auto& info) { return info.param.name; });

// --- Hostile sizes -----------------------------------------------------------

long peak_rss_kib() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

Quantized claims(bool projection, bool norms, std::uint32_t quantized_len, std::uint32_t reconstructed_len,
                 std::uint32_t n_centroids, std::uint64_t n_embeddings) {
  Quantized q;
  q.projection_flag = projection;
  q.norms_flag = norms;
  q.quantized_len = quantized_len;
  q.reconstructed_len = reconstructed_len;
  q.n_centroids = n_centroids;
  q.n_embeddings = n_embeddings;
  return q;
}

class QuantizedHostile : public testing::TestWithParam<Failure> {};

TEST_P(QuantizedHostile, FailsFastWithoutAllocatingTheClaim) {
  const long before = peak_rss_kib();
  Bytes f;
  quantized_array(f, GetParam().change({}));
  f.zeros(64);  // a little data, far less than claimed
  TempFile file(f.str());
  EXPECT_EQ(debug_of(read_at(file)), GetParam().debug);
  // Claims of a gigabyte and more would show in the peak if they were
  // allocated (and zero-filled) before the reads.
  EXPECT_LT(peak_rss_kib() - before, 256 * 1024);
}

constexpr std::uint32_t kU32Max = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

// Enough real subquantizer values for the small claims below to get past them.
Quantized with_centroids(Quantized q) {
  q.subquantizers.assign(std::size_t{q.n_centroids} * q.reconstructed_len, 0.5f);
  return q;
}

INSTANTIATE_TEST_SUITE_P(
    Claims, QuantizedHostile,
    testing::Values(
        Failure{"ProjectionOfMaxLength", [](Quantized) { return claims(true, false, 1, kU32Max, 1, 1); },
                eof_read("Cannot read projection matrix")},
        Failure{"ProjectionOfAGigabyte", [](Quantized) { return claims(true, false, 1, 1 << 14, 1, 1); },
                eof_read("Cannot read projection matrix")},
        Failure{"SubquantizersOfMaxSize",
                [](Quantized) { return claims(false, false, 1, kU32Max, kU32Max, 1); },
                eof_read("Cannot read subquantizer")},
        Failure{"SubquantizersOfAGigabyte", [](Quantized) { return claims(false, false, 1, 4, 1 << 26, 1); },
                eof_read("Cannot read subquantizer")},
        Failure{"NormsOfMaxCount",
                [](Quantized) { return with_centroids(claims(false, true, 2, 4, 2, kU64Max)); },
                eof_read("Cannot read norms")},
        Failure{"NormsOfAGigabyte",
                [](Quantized) { return with_centroids(claims(false, true, 2, 4, 2, 1 << 28)); },
                eof_read("Cannot read norms")},
        Failure{"CodeBytesOverflow",
                [](Quantized) { return with_centroids(claims(false, false, 2, 4, 2, kU64Max)); }, "Overflow"},
        Failure{"CodeBytesExactlyTwoToThe64",
                [](Quantized) { return with_centroids(claims(false, false, 4, 4, 2, 1ULL << 62)); },
                "Overflow"},
        Failure{"CodesPastTheEnd",
                [](Quantized) { return with_centroids(claims(false, false, 1, 4, 2, kU64Max)); },
                "Read { desc: \"Cannot memory map quantized embedding matrix\", error: Error { "
                "kind: UnexpectedEof, message: \"memory map range reaches past the end of the "
                "file\" } }"}),
    failure_name);

// --- The codes stay in the file ------------------------------------------------

TEST(QuantizedCodes, LookupsReadTheMappedFileNotACopy) {
  Quantized q = fixture(true, true);
  Bytes f;
  Layout at = quantized_array(f, q);
  TempFile file(f.str());
  auto m = read_at(file);  // the reader and its handle are gone after this
  ASSERT_TRUE(m.ok()) << debug(m.error());
  EXPECT_EQ(bits(row_of(m.value(), 3)), bits(expected_row(q, 3)));

  // Rewrite row 3's codes in place; the mapping shares the file's pages, so
  // the next lookup sees them, which it would not with a copy made at load.
  const std::uint8_t changed[3] = {4, 4, 4};
  int fd = ::open(file.path().c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, changed, 3, static_cast<off_t>(at.codes + 3 * 3)), 3);
  ::close(fd);
  std::copy(changed, changed + 3, q.codes.begin() + 9);
  EXPECT_EQ(bits(row_of(m.value(), 3)), bits(expected_row(q, 3)));
  EXPECT_EQ(bits(row_of(m.value(), 2)), bits(expected_row(q, 2)));
}

TEST(QuantizedCodes, FourGigabytesOfCodesLoadWithoutBeingRead) {
  Quantized q = claims(false, false, 1, 2, 3, 1ULL << 32);
  q.subquantizers = {1, 2, 3, 4, 5, 6};
  Bytes f;
  Layout at = quantized_array(f, q);
  TempFile file(f.str());
  // A sparse file: the codes read as zeros, except the last row's.
  ASSERT_EQ(::truncate(file.path().c_str(), static_cast<off_t>(at.codes + (1ULL << 32))), 0);
  int fd = ::open(file.path().c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const std::uint8_t last = 2;
  ASSERT_EQ(::pwrite(fd, &last, 1, static_cast<off_t>(at.codes + (1ULL << 32) - 1)), 1);
  ::close(fd);

  const long before = peak_rss_kib();
  BufferedReader r = file.reader();
  auto m = read_mapped_quantized_array(r);
  ASSERT_TRUE(m.ok()) << debug(m.error());
  EXPECT_EQ(r.position().value(), at.codes + (1ULL << 32));
  EXPECT_EQ(m.value().rows(), 1ULL << 32);
  EXPECT_EQ(row_of(m.value(), 0), (std::vector<float>{1, 2}));
  EXPECT_EQ(row_of(m.value(), (1ULL << 32) - 1), (std::vector<float>{5, 6}));
  EXPECT_LT(peak_rss_kib() - before, 64 * 1024);
}

// --- Whole files ---------------------------------------------------------------

const std::vector<std::string> kWords = {"null", "eins", "zwei", "drei", "vier", "fünf"};

TEST(QuantizedEmbeddings, KnownWordsThroughASimpleVocabulary) {
  Quantized q = fixture(true, true);
  Bytes f;
  header(f, {1, 4, 6});
  simple_vocab(f, kWords);
  quantized_array(f, q);
  const std::vector<float> word_norms = {1, 2, 3, 4, 5, 6};
  norms(f, word_norms);
  auto read = read_mapped(f.str());
  ASSERT_TRUE(read.ok()) << debug(read.error());
  const Embeddings& e = read.value();
  EXPECT_EQ(e.dims(), 12u);
  // The norms chunk right after the codes is found, so the reader stopped there.
  ASSERT_TRUE(e.norms().has_value());
  EXPECT_EQ(e.norms()->values, word_norms);

  for (std::size_t i = 0; i < kWords.size(); ++i) {
    std::vector<float> target(12, -1.0f);
    EXPECT_TRUE(e.fill_embedding(kWords[i], TargetView{reinterpret_cast<std::byte*>(target.data()), 12, 4}));
    EXPECT_EQ(bits(target), bits(expected_row(q, i))) << kWords[i];
    auto found = e.find_embedding(kWords[i]);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(bits(found->values()), bits(expected_row(q, i))) << kWords[i];
  }
  std::vector<float> target(12, -1.0f);
  EXPECT_FALSE(e.fill_embedding("sechs", TargetView{reinterpret_cast<std::byte*>(target.data()), 12, 4}));
  EXPECT_EQ(target, std::vector<float>(12, -1.0f));
  EXPECT_FALSE(e.find_embedding("sechs").has_value());
}

TEST(QuantizedEmbeddings, ABadCodeFailsOnlyItsWordAndLeavesTheTargetAlone) {
  Quantized q = fixture(false, true);
  q.codes[2 * 3] = 5;
  Bytes f;
  header(f, {1, 4});
  simple_vocab(f, kWords);
  quantized_array(f, q);
  auto read = read_mapped(f.str());
  ASSERT_TRUE(read.ok()) << debug(read.error());
  EXPECT_FALSE(read.value().norms().has_value());
  std::vector<float> target(12, -1.0f);
  TargetView view{reinterpret_cast<std::byte*>(target.data()), 12, 4};
  EXPECT_EQ(panic_message([&] { (void)read.value().fill_embedding("zwei", view); }),
            "assertion failed: index < dim");
  EXPECT_EQ(target, std::vector<float>(12, -1.0f));
  EXPECT_TRUE(read.value().fill_embedding("drei", view));
  EXPECT_EQ(bits(target), bits(expected_row(q, 3)));
}

TEST(QuantizedEmbeddings, FileCutInTheCodesFailsToLoad) {
  Bytes f;
  header(f, {1, 4});
  simple_vocab(f, kWords);
  quantized_array(f, fixture(true, true));
  auto read = read_mapped(f.str().substr(0, f.size() - 1));
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(display(read.error()), "Cannot memory map quantized embedding matrix");
}

// Independent unit-length scaling with the eight partial sums.
std::vector<float> unit_length(std::vector<float> v) {
  float part[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::size_t j = 0;
  for (; j + 8 <= v.size(); j += 8) {
    for (std::size_t l = 0; l < 8; ++l) part[l] += v[j + l] * v[j + l];
  }
  float s = (((part[0] + part[4]) + (part[1] + part[5])) + (part[2] + part[6])) + (part[3] + part[7]);
  for (; j < v.size(); ++j) s += v[j] * v[j];
  float norm = std::sqrt(s);
  for (float& x : v) x /= norm;
  return v;
}

TEST(QuantizedEmbeddings, ComposedWordsSumTheirRebuiltSubwordRows) {
  for (bool projection : {false, true}) {
    Quantized q = fixture(projection, true);
    Bytes f;
    header(f, {8, 4});
    // One word (row 0); "<xy" and "xyx" share row 1, "xy>" is row 2.
    explicit_vocab(f, {"ab"}, {{"<xy", 0}, {"xy>", 1}, {"xyx", 0}}, 3, 3);
    quantized_array(f, q);
    auto read = read_mapped(f.str());
    ASSERT_TRUE(read.ok()) << debug(read.error());
    const Embeddings& e = read.value();
    EXPECT_EQ(e.dims(), 12u);

    // "<xyxy>": <xy (row 1), xyx (row 1), yxy (none), xy> (row 2).
    std::vector<float> sum(12, 0.0f);
    for (std::size_t row : {1, 1, 2}) {
      std::vector<float> rebuilt = expected_row(q, row);
      for (std::size_t j = 0; j < 12; ++j) sum[j] += rebuilt[j];
    }
    const std::vector<float> expected = unit_length(sum);
    std::vector<float> target(12);
    EXPECT_TRUE(e.fill_embedding("xyxy", TargetView{reinterpret_cast<std::byte*>(target.data()), 12, 4}));
    EXPECT_EQ(bits(target), bits(expected));
    auto found = e.find_embedding("xyxy");
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(bits(found->values()), bits(expected));
    // The known word is its row as stored, not scaled.
    EXPECT_EQ(bits(e.find_embedding("ab")->values()), bits(expected_row(q, 0)));
    EXPECT_FALSE(e.find_embedding("qq").has_value());
  }
}

TEST(QuantizedEmbeddings, SubwordRowBeyondTheMatrixFailsTheLookup) {
  Quantized q = fixture(false, false);
  Bytes f;
  header(f, {8, 4});
  // Seven n-grams after one word address rows 1 to 7 of a six-row matrix;
  // "<zz" is row 7.
  std::vector<std::pair<std::string, std::uint64_t>> ngrams;
  for (std::uint64_t i = 0; i < 6; ++i) ngrams.push_back({"n" + std::to_string(i) + "x", i});
  ngrams.push_back({"<zz", 6});
  explicit_vocab(f, {"ab"}, ngrams, 3, 3);
  quantized_array(f, q);
  auto read = read_mapped(f.str());
  ASSERT_TRUE(read.ok()) << debug(read.error());
  EXPECT_EQ(panic_message([&] { (void)read.value().find_embedding("zz"); }), "assertion failed: index < dim");
}

// --- Writing -------------------------------------------------------------------

// The writer's view of a test-side chunk description.
ProductQuantizer quantizer_of(const Quantized& q) {
  std::optional<std::vector<float>> projection;
  if (q.projection_flag) projection = q.projection;
  return ProductQuantizer(q.quantized_len, q.n_centroids, q.reconstructed_len / q.quantized_len,
                          q.subquantizers, projection);
}

class QuantizedWriter : public testing::TestWithParam<std::tuple<bool, bool, std::size_t>> {};

TEST_P(QuantizedWriter, WritesTheLayoutTheReaderReads) {
  auto [projection, norms, lead] = GetParam();
  Quantized q = fixture(projection, norms);
  // Expected bytes: `lead` bytes of something else, then the chunk as the
  // test-side builder lays it out, with the chunk length counted by hand.
  Bytes expected;
  expected.zeros(lead);
  Layout at = quantized_array(expected, q);
  const std::uint64_t length = at.end - at.start - 12;
  std::string bytes = expected.str();
  std::memcpy(bytes.data() + at.start + 4, &length, 8);
  EXPECT_EQ(length, 36 + (at.projection - at.padding) +
                        4 * (q.projection.size() + q.subquantizers.size() + q.norms.size()) + q.codes.size());

  TempFile file;
  {
    BufferedWriter w(File::create(file.path()).value());
    ASSERT_TRUE(w.write_all(bytes.data(), lead).ok());
    std::optional<std::span<const float>> norm_values;
    if (norms) norm_values = std::span<const float>(q.norms);
    Status st = write_quantized_array(w, quantizer_of(q), norm_values, q.codes);
    ASSERT_TRUE(st.ok()) << debug_of(st);
    ASSERT_TRUE(w.close().ok());
  }
  EXPECT_EQ(file.read(), bytes);

  // Read back: every row as the hand computation gives it.
  auto m = read_at(file, lead);
  ASSERT_TRUE(m.ok()) << debug(m.error());
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(bits(row_of(m.value(), i)), bits(expected_row(q, i))) << "row " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(FlagsAndLead, QuantizedWriter,
                         testing::Combine(testing::Bool(), testing::Bool(), testing::Values(0, 1, 2, 3)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Projection" : "Plain") +
                                  (std::get<1>(info.param) ? "Norms" : "NoNorms") + "Lead" +
                                  std::to_string(std::get<2>(info.param));
                         });

TEST(QuantizedWriter, RefusesCodesAndNormsThatDoNotFitBeforeWritingAnything) {
  struct Case {
    const char* what;
    std::function<void(Quantized&)> change;
  };
  const std::vector<Case> cases = {
      {"codes that are not a whole number of rows", [](Quantized& q) { q.codes.pop_back(); }},
      {"a code not below the centroid count", [](Quantized& q) { q.codes[7] = 5; }},
      {"a norm count other than the row count", [](Quantized& q) { q.norms.pop_back(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Quantized q = fixture(false, true);
    c.change(q);
    TempFile file;
    BufferedWriter w(File::create(file.path()).value());
    Status st = write_quantized_array(w, quantizer_of(q), std::span<const float>(q.norms), q.codes);
    ASSERT_TRUE(w.close().ok());
    EXPECT_EQ(debug_of(st),
              std::string("Write { desc: \"Cannot write quantized embedding matrix\", error: Error "
                          "{ kind: InvalidInput, message: \"") +
                  c.what + "\" } }");
    EXPECT_EQ(file.read(), "");
  }
}

TEST(QuantizedWriter, AWholeFileReadAndWrittenAgainIsTheSameFile) {
  // Metadata, vocabulary, a quantized matrix (with and without projection)
  // and norms: read and written back byte for byte, the chunk length counted.
  for (bool projection : {false, true}) {
    Quantized q = fixture(projection, true);
    Bytes f;
    header(f, {5, 1, 4, 6});
    // Already in the form the TOML library renders.
    metadata(f, "model = 'test'");
    simple_vocab(f, {"a", "b", "c", "d", "e", "f"});
    Layout at = quantized_array(f, q);
    std::string bytes = f.str();
    const std::uint64_t length = at.end - at.start - 12;
    std::memcpy(bytes.data() + at.start + 4, &length, 8);
    Bytes tail = Bytes().str(bytes);
    norms(tail, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(rewrite(tail.str()), tail.str());
  }
}

TEST(QuantizedWriter, MetadataGainsATableAndKeepsTheRest) {
  auto m = Metadata::parse("model = \"skipgram\"\n[quantizer]\nold = 1\n[training]\ndims = 3\n");
  ASSERT_TRUE(m.ok());
  Metadata q = m.value().with_table(
      "quantizer", {{"method", std::string("opq")}, {"bits", std::int64_t{8}}, {"loss", 0.5}});
  EXPECT_EQ(q.to_toml(),
            "model = 'skipgram'\n\n[quantizer]\nbits = 8\nloss = 0.5\nmethod = 'opq'\n\n"
            "[training]\ndims = 3");
  // The source is unchanged.
  EXPECT_EQ(m.value().to_toml(), "model = 'skipgram'\n\n[quantizer]\nold = 1\n\n[training]\ndims = 3");
}

}  // namespace
}  // namespace mave
