// Static sentence models in the core: the safetensors header checks, the
// tokenizer vocabulary, the element conversions of the table storage and
// the fixed summation order of the pooling.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "format/mapped_table.hpp"
#include "python/native/messages.hpp"
#include "static/pooling.hpp"
#include "static/safetensors.hpp"
#include "static/token_vocab.hpp"
#include "test_files.hpp"

namespace mave {
namespace {

// The fault of a failed result, or "ok".
template <class R>
std::string outcome(const R& r) {
  if (r.ok()) return "ok";
  const EmbeddingsError& e = r.error();
  if (e.code != ErrorCode::BadStaticModel) return std::string(error_code_name(e.code));
  return messages::reason(e).text;
}

struct HeaderCase {
  const char* what;
  std::string json;
  std::uint64_t data_bytes;
  const char* expected;  // a fragment of the reason, or "ok"
};

TEST(SafetensorsHeader, EveryRuleOfTheFormat) {
  const std::string t = R"("t":{"dtype":"F32","shape":[2,3],"data_offsets":[0,24]})";
  const std::vector<HeaderCase> cases = {
      {"one tensor", "{" + t + "}", 24, "ok"},
      {"with metadata", R"({"__metadata__":{"format":"np"},)" + t + "}", 24, "ok"},
      {"tensors in any order",
       R"({"b":{"dtype":"U8","shape":[2],"data_offsets":[4,6]},"a":{"dtype":"I16","shape":[2],"data_offsets":[0,4]}})",
       6, "ok"},
      {"a scalar", R"({"s":{"dtype":"F64","shape":[],"data_offsets":[0,8]}})", 8, "ok"},
      {"no tensors", "{}", 0, "ok"},
      {"a zero dimension beside a huge one",
       R"({"z":{"dtype":"F32","shape":[0,18446744073709551615],"data_offsets":[0,0]}})", 0, "ok"},
      {"not JSON", "{", 24, "not valid JSON"},
      {"not an object", "[1]", 24, "the file must be a JSON object"},
      {"tensor not an object", R"({"t":3})", 24, "\"t\" must be a JSON object"},
      {"metadata not strings", R"({"__metadata__":{"a":1}})", 0, "must be a string"},
      {"unknown dtype", R"({"t":{"dtype":"F12","shape":[1],"data_offsets":[0,4]}})", 4,
       "unknown dtype \"F12\""},
      {"dtype not a string", R"({"t":{"dtype":4,"shape":[1],"data_offsets":[0,4]}})", 4,
       "\"t.dtype\" must be a string"},
      {"no shape", R"({"t":{"dtype":"F32","data_offsets":[0,4]}})", 4, "no field \"t.shape\""},
      {"negative dimension", R"({"t":{"dtype":"F32","shape":[-1],"data_offsets":[0,4]}})", 4,
       "list of non-negative integers"},
      {"float dimension", R"({"t":{"dtype":"F32","shape":[1.5],"data_offsets":[0,4]}})", 4,
       "list of non-negative integers"},
      {"three offsets", R"({"t":{"dtype":"F32","shape":[1],"data_offsets":[0,4,8]}})", 8,
       "list of two non-negative integers"},
      {"offsets reversed", R"({"t":{"dtype":"U8","shape":[0],"data_offsets":[4,0]}})", 4,
       "ends at 0, before it begins at 4"},
      {"offsets past the data", "{" + t + "}", 20, "ends at byte 24 of the data, which holds only 20"},
      {"shape against bytes", R"({"t":{"dtype":"F32","shape":[2,2],"data_offsets":[0,24]}})", 24,
       "its shape and dtype take 16 bytes, but its offsets hold 24"},
      {"shape overflows", R"({"t":{"dtype":"F64","shape":[4294967296,4294967296],"data_offsets":[0,8]}})", 8,
       "shape too large"},
      {"overlap",
       R"({"a":{"dtype":"U8","shape":[4],"data_offsets":[0,4]},"b":{"dtype":"U8","shape":[4],"data_offsets":[2,6]}})",
       6, "tensor \"b\" begins at byte 2 of the data, inside the tensor before it (which ends at 4)"},
      {"gap between",
       R"({"a":{"dtype":"U8","shape":[2],"data_offsets":[0,2]},"b":{"dtype":"U8","shape":[2],"data_offsets":[4,6]}})",
       6, "bytes 2 to 4 of the data belong to no tensor"},
      {"gap at the end", "{" + t + "}", 30, "bytes 24 to 30 of the data belong to no tensor"},
      {"name twice", "{" + t + "," + t + "}", 24, "tensor \"t\" is named twice"},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string got = outcome(parse_safetensors_header(c.json, 8, c.data_bytes));
    EXPECT_NE(got.find(c.expected), std::string::npos) << got;
  }
  auto sorted = parse_safetensors_header(cases[2].json, 8, 6);
  ASSERT_TRUE(sorted.ok());
  EXPECT_EQ(sorted.value().tensors[0].name, "a");
  EXPECT_EQ(sorted.value().find("b")->dtype, TensorDtype::U8);
}

TEST(SafetensorsHeader, TheLengthFieldIsCheckedAgainstTheFileFirst) {
  const std::string body = R"({"t":{"dtype":"U8","shape":[2],"data_offsets":[0,2]}})";
  struct Case {
    std::string bytes;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {test::Bytes().u64(body.size()).str(body).str("ab").str(), "ok"},
      {"abc", "holds 3 bytes, fewer than the 8"},
      {test::Bytes().u64(~std::uint64_t{0}).str(body).str(), "reaches past the end"},
      {test::Bytes().u64(body.size() + 1).str(body).str(), "reaches past the end"},
      {test::Bytes().u64(body.size()).str(body).str("a").str(), "which holds only 1"},
  };
  for (const Case& c : cases) {
    test::TempFile file(c.bytes);
    BufferedReader reader = file.reader();
    const std::string got = outcome(read_safetensors_header(reader, c.bytes.size()));
    EXPECT_NE(got.find(c.expected), std::string::npos) << got;
  }
}

TEST(TokenVocab, TokensInIdOrderWithTheUnknownOne) {
  auto wp = parse_token_vocab(R"({"added_tokens":[{"id":3,"content":"[X]"},{"id":0,"content":"[UNK]"}],
      "model":{"type":"WordPiece","unk_token":"[UNK]","vocab":{"b":2,"[UNK]":0,"a":1}}})");
  ASSERT_TRUE(wp.ok()) << outcome(wp);
  ASSERT_EQ(wp.value().tokens.size(), 4u);
  EXPECT_EQ(wp.value().tokens[3], "[X]");
  EXPECT_EQ(wp.value().tokens[1], "a");
  EXPECT_EQ(wp.value().unknown_id, 0u);
  EXPECT_EQ(*wp.value().tokens.find("b"), 2u);

  auto uni = parse_token_vocab(
      R"({"model":{"type":"Unigram","unk_id":1,"vocab":[["<pad>",0.0],["<unk>",0.0],["▁a",-2.5]]}})");
  ASSERT_TRUE(uni.ok()) << outcome(uni);
  EXPECT_EQ(uni.value().tokens[2], "▁a");
  EXPECT_EQ(uni.value().unknown_id, 1u);
  auto bpe = parse_token_vocab(R"({"model":{"type":"BPE","unk_token":null,"vocab":{"a":0},"merges":[]}})");
  ASSERT_TRUE(bpe.ok());
  EXPECT_FALSE(bpe.value().unknown_id);
  // A text at two ids is found at the last, as the tokenizers package finds it.
  auto twice = parse_token_vocab(
      R"({"model":{"type":"WordPiece","vocab":{"a":0,"b":1}},"added_tokens":[{"id":2,"content":"a"}]})");
  ASSERT_TRUE(twice.ok());
  EXPECT_EQ(twice.value().tokens.size(), 3u);
  EXPECT_EQ(*twice.value().tokens.find("a"), 2u);
  // An older file without "type": told by its shape.
  auto untyped = parse_token_vocab(R"({"model":{"vocab":[["a",0.0]]}})");
  ASSERT_TRUE(untyped.ok());
  EXPECT_EQ(untyped.value().model_type, "Unigram");
}

TEST(TokenVocab, HolesRepeatsAndHugeIdsAreRefused) {
  const std::vector<std::pair<std::string, const char*>> cases = {
      {R"({"model":{"type":"WordPiece","vocab":{"a":0,"b":2}}})", "no token has the id 1"},
      // An id of 2^60 allocates nothing: no table holds more slots than entries.
      {R"({"model":{"type":"WordPiece","vocab":{"a":0,"b":1152921504606846976}}})", "no token has the id 1"},
      {R"({"model":{"type":"WordPiece","vocab":{"a":0,"b":0}}})", "the id 0 names two tokens"},
      {R"({"model":{"type":"WordPiece","vocab":{"a":-1}}})",
       "\"model.vocab\" must be a non-negative integer"},
      {R"({"model":{"type":"Unigram","vocab":[["a"]]}})", "list of [token, score] pairs"},
      {R"({"model":{"type":"Chars","vocab":{}}})", "\"Chars\" is not one of"},
      {R"({"model":{"type":"WordPiece"}})", "no field \"model.vocab\""},
      {R"({"model":{"type":"WordPiece","vocab":{},"unk_token":3}})",
       "\"model.unk_token\" must be a string or null"},
      {R"({"added_tokens":[{"id":0}],"model":{"type":"WordPiece","vocab":{}}})",
       "no field \"added_tokens.content\""},
      {"[]", "the file must be a JSON object"},
  };
  for (const auto& [json, expected] : cases) {
    SCOPED_TRACE(json);
    const std::string got = outcome(parse_token_vocab(json));
    EXPECT_NE(got.find(expected), std::string::npos) << got;
  }
}

// The reference value of a binary16 number, from its fields in double.
float f16_reference(std::uint16_t h) {
  const int e = (h >> 10) & 0x1f, m = h & 0x3ff;
  const double sign = (h & 0x8000) ? -1.0 : 1.0;
  if (e == 0) return static_cast<float>(sign * std::ldexp(m, -24));
  if (e == 31) return m == 0 ? static_cast<float>(sign * INFINITY) : NAN;
  return static_cast<float>(sign * std::ldexp(1024 + m, e - 25));
}

TEST(MappedTable, EveryHalfAndBfloatValueConvertsExactly) {
  for (std::uint32_t h = 0; h < 65536; ++h) {
    const auto bits = static_cast<std::uint16_t>(h);
    const float got = float_from_f16(bits), want = f16_reference(bits);
    if (std::isnan(want)) {
      ASSERT_TRUE(std::isnan(got)) << h;
      // The payload moves with the mantissa, as NumPy converts it.
      ASSERT_EQ(std::bit_cast<std::uint32_t>(got), ((h & 0x8000u) << 16) | 0x7f800000u | ((h & 0x3ffu) << 13))
          << h;
    } else {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(want)) << h;
    }
    ASSERT_EQ(std::bit_cast<std::uint32_t>(float_from_bf16(bits)), h << 16);
  }
}

// A bfloat16 table of three one-column rows in a file, through a mapping
// and with weights, as a Storage.
Storage bf16_table(const std::vector<float>& values, std::vector<std::uint32_t> token_rows,
                   std::vector<float> weights, const test::TempFile& file) {
  test::Bytes bytes;
  for (float v : values) {
    const auto b = static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(v) >> 16);
    bytes.raw(&b, 2);
  }
  file.write(bytes.str());
  auto opened = File::open_read(file.path());
  auto mapping = Mapping::map(opened.value(), 0, bytes.size());
  return Storage(MappedTable(TableElement::BF16, values.size(), 1, std::move(mapping).value(),
                             std::move(token_rows), std::move(weights)));
}

float pooled(const Storage& s, std::vector<std::uint32_t> ids, PoolingOptions options = {}) {
  float out = NAN;
  pool_text(s, ids, options, TargetView{reinterpret_cast<std::byte*>(&out), 1, 4});
  return out;
}

TEST(Pooling, RowsAreAddedInTextOrderThenDividedOnce) {
  // 2^27 and 1 in float32: 2^27 + 1 rounds back to 2^27, so the order of
  // the three additions decides whether the 1 survives.
  const float big = 134217728.0f;
  test::TempFile file;
  const Storage table = bf16_table({big, 1.0f, -big}, {}, {}, file);
  EXPECT_EQ(pooled(table, {0, 1, 2}), 0.0f);
  EXPECT_EQ(pooled(table, {0, 2, 1}), 1.0f / 3.0f);
  const Storage dense(NdArray(3, 1, {big, 1.0f, -big}));
  EXPECT_EQ(pooled(dense, {0, 1, 2}), 0.0f);
  EXPECT_EQ(pooled(dense, {1, 0, 2}), 0.0f);
  EXPECT_EQ(pooled(dense, {2, 0, 1}), 1.0f / 3.0f);
  // Through a mapping and weights: row(t) = table[mapping[t]] x weights[t].
  test::TempFile mapped_file;
  const Storage mapped = bf16_table({big, 1.0f, -big}, {2, 1, 0, 1}, {1, 3, 1, 0.5f}, mapped_file);
  EXPECT_EQ(mapped.rows(), 4u);
  EXPECT_EQ(pooled(mapped, {1}), 3.0f);
  EXPECT_EQ(pooled(mapped, {2, 0, 3}), 0.5f / 3.0f);
}

TEST(Pooling, TheCutComesBeforeTheUnknownTokenIsDropped) {
  const Storage dense(NdArray(3, 1, {2.0f, 4.0f, 8.0f}));
  PoolingOptions options;
  options.unknown_id = 1;
  options.max_tokens = 3;
  EXPECT_EQ(pooled(dense, {1, 1, 1, 2}, options), 0.0f);  // the 8 was cut off
  EXPECT_EQ(pooled(dense, {1, 0, 2, 2}, options), 5.0f);  // (2 + 8) / 2: the last 8 was cut
  EXPECT_EQ(pooled(dense, {}, options), 0.0f);
  options.normalize = true;
  EXPECT_EQ(pooled(dense, {0, 2}, options), 1.0f);
  EXPECT_EQ(pooled(dense, {1}, options), 0.0f);  // nothing kept: zeros, not NaN
  EXPECT_THROW(pooled(dense, {3}), Panic);
}

TEST(Pooling, ABatchGivesEachTextItsOwnBitsOnAnyThreads) {
  std::vector<float> values(50 * 7);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = std::sin(static_cast<float>(i)) * 1e3f;
  const Storage dense(NdArray(50, 7, values));
  std::vector<std::uint32_t> ids;
  std::vector<std::uint64_t> offsets = {0};
  for (std::uint32_t t = 0; t < 300; ++t) {
    for (std::uint32_t k = 0; k < t % 13; ++k) ids.push_back((t * 7 + k * 3) % 50);
    offsets.push_back(ids.size());
  }
  PoolingOptions options;
  options.normalize = true;
  options.unknown_id = 4;
  std::vector<float> first;
  for (unsigned threads : {1u, 2u, 5u}) {
    std::vector<float> out(300 * 7, NAN);
    pool_token_ids(dense, ids, offsets, options,
                   TargetMatrix{reinterpret_cast<std::byte*>(out.data()), 300, 7, 28, 4}, threads);
    if (first.empty()) first = out;
    EXPECT_EQ(std::memcmp(out.data(), first.data(), out.size() * 4), 0) << threads;
  }
  for (std::size_t t = 0; t < 300; ++t) {
    std::vector<float> one(7);
    pool_text(dense, std::span(ids).subspan(offsets[t], offsets[t + 1] - offsets[t]), options,
              TargetView{reinterpret_cast<std::byte*>(one.data()), 7, 4});
    EXPECT_EQ(std::memcmp(one.data(), first.data() + t * 7, 28), 0) << t;
  }
}

TEST(StaticMessages, EveryFaultHasItsOwnWords) {
  std::set<std::string> seen;
  for (std::size_t f = 0; f < kStaticFaultCount; ++f) {
    EmbeddingsError e = EmbeddingsError::static_model(static_cast<StaticFault>(f), "x", 1, 2);
    const std::string text = messages::reason(e).text;
    EXPECT_FALSE(text.empty());
    EXPECT_TRUE(seen.insert(text).second) << text;
    EXPECT_EQ(text.find("unknown fault"), std::string::npos) << f;
  }
}

}  // namespace
}  // namespace mave
