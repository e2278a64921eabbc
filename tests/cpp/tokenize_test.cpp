// The tokenizer.json reader: what a malformed file is reported as, what is
// left to the tokenizers package, and the pieces easiest to pin here (the
// Unicode corrections, the byte-level split, the vocabulary). The ids of whole
// pipelines are compared with the tokenizers package in
// tests/mave/test_tokenizer_differential.py.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.hpp"
#include "python/native/messages.hpp"
#include "tokenize/tokenizer.hpp"
#include "tokenize/unicode.hpp"

namespace mave {
namespace {

// A WordPiece tokenizer.json with the given fields spliced in.
std::string word_piece(const std::string& vocab = R"({"[UNK]": 0, "a": 1, "##b": 2, "ab": 3})",
                       const std::string& extra = "") {
  return R"({"version": "1.0", "model": {"type": "WordPiece", "unk_token": "[UNK]", "vocab": )" + vocab +
         "}" + extra + "}";
}

Tokenizer parsed(const std::string& json) {
  auto t = Tokenizer::parse(json);
  EXPECT_TRUE(t.ok()) << (t.ok() ? "" : messages::reason(t.error()).text);
  return std::move(t).value();
}

std::vector<std::uint32_t> encode(const Tokenizer& t, std::string_view text, std::size_t max_ids = SIZE_MAX) {
  TokenizerScratch scratch;
  std::vector<std::uint32_t> ids;
  t.encode(text, ids, scratch, max_ids);
  return ids;
}

struct BadFile {
  std::string json;
  TokenizerFault fault;
  std::string field;
};

class MalformedTokenizer : public testing::TestWithParam<BadFile> {};

TEST_P(MalformedTokenizer, IsAFormatErrorNamingTheField) {
  const BadFile& bad = GetParam();
  auto t = Tokenizer::parse(bad.json);
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().code, ErrorCode::BadTokenizer);
  EXPECT_EQ(static_cast<TokenizerFault>(t.error().found), bad.fault);
  if (bad.fault != TokenizerFault::NotJson) {
    EXPECT_EQ(t.error().detail, bad.field);
  }
  // mave's message names the field.
  const std::string text = messages::reason(t.error()).text;
  EXPECT_NE(text.find(bad.fault == TokenizerFault::NotJson ? "not valid JSON" : bad.field), std::string::npos)
      << text;
}

INSTANTIATE_TEST_SUITE_P(
    Files, MalformedTokenizer,
    testing::Values(
        BadFile{"{\"model\": ", TokenizerFault::NotJson, ""},
        BadFile{"[1, 2]", TokenizerFault::WrongType, ""},
        BadFile{"{\"version\": \"1.0\"}", TokenizerFault::Missing, "model"},
        BadFile{"{\"model\": []}", TokenizerFault::WrongType, "model"},
        BadFile{word_piece("[\"a\"]"), TokenizerFault::WrongType, "model.vocab"},
        BadFile{word_piece(R"({"a": 0, "b": 2})"), TokenizerFault::IdOutOfRange, "model.vocab[\"b\"]"},
        BadFile{word_piece(R"({"a": 0, "b": 0})"), TokenizerFault::DuplicateId, "model.vocab[\"b\"]"},
        BadFile{word_piece(R"({"a": 0, "b": -1})"), TokenizerFault::WrongType, "model.vocab[\"b\"]"},
        BadFile{word_piece(R"({"a": 0, "a": 1})"), TokenizerFault::BadValue, "model.vocab[\"a\"]"},
        BadFile{R"({"model": {"type": "WordPiece"}})", TokenizerFault::Missing, "model.vocab"},
        BadFile{R"({"model": {"type": "Magic", "vocab": {}}})", TokenizerFault::BadValue, "model.type"},
        BadFile{R"({"model": {"type": "BPE", "vocab": {"a": 0, "b": 1}, "merges": ["a c"]}})",
                TokenizerFault::UnknownToken, "model.merges[0]"},
        BadFile{R"({"model": {"type": "BPE", "vocab": {"a": 0, "b": 1}, "merges": ["a b"]}})",
                TokenizerFault::UnknownToken, "model.merges[0]"},
        BadFile{R"({"model": {"type": "BPE", "vocab": {"a": 0, "b": 1, "ab": 2}, "merges": ["a b c"]}})",
                TokenizerFault::BadValue, "model.merges[0]"},
        BadFile{R"({"model": {"type": "BPE", "vocab": {"a": 0}, "merges": [["a"]]}})",
                TokenizerFault::WrongType, "model.merges[0]"},
        BadFile{R"({"model": {"type": "BPE", "vocab": {"a": 0}, "dropout": 2.5}})", TokenizerFault::BadValue,
                "model.dropout"},
        BadFile{R"({"model": {"type": "BPE", "vocab": {"a": 0}, "fuse_unk": "yes"}})",
                TokenizerFault::WrongType, "model.fuse_unk"},
        BadFile{R"({"model": {"type": "Unigram", "vocab": [["a", "x"]]}})", TokenizerFault::WrongType,
                "model.vocab[0]"},
        BadFile{R"({"model": {"type": "Unigram", "vocab": [["a", -1.0]], "unk_id": 1}})",
                TokenizerFault::IdOutOfRange, "model.unk_id"},
        BadFile{word_piece(R"({"a": 0})", R"(, "added_tokens": {"content": "x"})"), TokenizerFault::WrongType,
                "added_tokens"},
        BadFile{word_piece(R"({"a": 0})", R"(, "added_tokens": [{"id": 1}])"), TokenizerFault::Missing,
                "added_tokens[0].content"},
        BadFile{
            word_piece(R"({"a": 0})", R"(, "pre_tokenizer": {"type": "Punctuation", "behavior": "Eaten"})"),
            TokenizerFault::BadValue, "pre_tokenizer.behavior"},
        BadFile{word_piece(R"({"a": 0})", R"(, "pre_tokenizer": {"type": "Metaspace", "replacement": "ab"})"),
                TokenizerFault::BadValue, "pre_tokenizer.replacement"},
        BadFile{word_piece(R"({"a": 0})",
                           R"(, "pre_tokenizer": {"type": "Metaspace", "prepend_scheme": "sometimes"})"),
                TokenizerFault::BadValue, "pre_tokenizer.prepend_scheme"},
        BadFile{word_piece(R"({"a": 0})",
                           R"(, "normalizer": {"type": "Sequence", "normalizers": [{"lowercase": true}]})"),
                TokenizerFault::Missing, "normalizer.normalizers[0].type"}));

TEST(Tokenizer, ComponentsItCannotRunAreLeftToTheTokenizersPackageWithTheVocabularyKept) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"(, "normalizer": {"type": "Precompiled", "precompiled_charsmap": "AA=="})",
       "normalizer Precompiled"},
      {R"(, "pre_tokenizer": {"type": "Split", "pattern": {"Regex": "\\s+"}, "behavior": "Removed"})",
       "pre-tokenizer Split with a regex pattern"},
      {R"(, "pre_tokenizer": {"type": "UnicodeScripts"})", "pre-tokenizer UnicodeScripts"},
      {R"(, "normalizer": {"type": "Replace", "pattern": {"Regex": "a+"}, "content": "b"})",
       "normalizer Replace with a regex pattern"},
  };
  for (const auto& [extra, reason] : cases) {
    const Tokenizer t = parsed(word_piece(R"({"[UNK]": 0, "a": 1, "##b": 2, "ab": 3})", extra));
    EXPECT_EQ(t.unsupported(), reason);
    EXPECT_EQ(t.vocab_size(), 4u);
    EXPECT_EQ(t.token(2), "##b");
  }
  const Tokenizer dropout = parsed(R"({"model": {"type": "BPE", "vocab": {"a": 0}, "dropout": 0.1}})");
  EXPECT_EQ(dropout.unsupported(), "model BPE with dropout");
  const Tokenizer no_unk = parsed(word_piece(R"({"a": 0})"));
  EXPECT_FALSE(no_unk.unsupported().empty());
  EXPECT_FALSE(no_unk.unk_id().has_value());
}

TEST(Tokenizer, VocabularyIsInIdOrderWithTheAddedTokensAfterTheModels) {
  const Tokenizer t = parsed(word_piece(R"({"ab": 3, "[UNK]": 0, "##b": 2, "a": 1})",
                                        R"(, "pre_tokenizer": {"type": "WhitespaceSplit"},
          "added_tokens": [{"id": 0, "content": "[UNK]", "special": true},
                            {"id": 7, "content": "[CLS]", "special": true},
                            {"id": 5, "content": "hello", "special": false}])"));
  ASSERT_EQ(t.vocab_size(), 6u);
  const std::vector<std::string> tokens = {"[UNK]", "a", "##b", "ab", "[CLS]", "hello"};
  for (std::uint32_t id = 0; id < tokens.size(); ++id) {
    EXPECT_EQ(t.token(id), tokens[id]);
    EXPECT_EQ(t.id_of(tokens[id]), id);
  }
  EXPECT_EQ(t.unk_id(), 0u);
  EXPECT_TRUE(t.unsupported().empty());
  // Greedy longest match, the unknown word whole, the added tokens found first.
  EXPECT_EQ(encode(t, "ab abb [CLS]a xyz hello"), (std::vector<std::uint32_t>{3, 3, 2, 4, 1, 0, 5}));
  EXPECT_EQ(encode(t, "ab abb [CLS]a xyz hello", 3), (std::vector<std::uint32_t>{3, 3, 2}));
  EXPECT_TRUE(encode(t, "ab", 0).empty());
  EXPECT_THROW(static_cast<void>(t.token(6)), Panic);
}

TEST(Tokenizer, ByteLevelSplitFollowsTheGpt2Pattern) {
  const Tokenizer t = parsed(
      R"({"model": {"type": "BPE", "vocab": {"a": 0}, "merges": []},
          "pre_tokenizer": {"type": "ByteLevel", "add_prefix_space": false, "use_regex": true}})");
  auto split = [&](std::string_view text) { return t.pre_tokenize(text); };
  // Runs of spaces give all but the last to the next word; contractions; other symbols.
  EXPECT_EQ(split("a  b"), (std::vector<std::string>{"a", "\xC4\xA0",
                                                     "\xC4\xA0"
                                                     "b"}));
  EXPECT_EQ(split("it's ''s 'S"),
            (std::vector<std::string>{"it", "'s", "\xC4\xA0''", "s", "\xC4\xA0'", "S"}));
  EXPECT_EQ(split("x\t b  "), (std::vector<std::string>{"x", "\xC4\x89",
                                                        "\xC4\xA0"
                                                        "b",
                                                        "\xC4\xA0\xC4\xA0"}));
  EXPECT_EQ(split("7 8"), (std::vector<std::string>{"7",
                                                    "\xC4\xA0"
                                                    "8"}));
}

TEST(Unicode, TheDataIsUtf8proc280CorrectedToTheTokenizersPackage) {
  using namespace tokenize;
  EXPECT_EQ(utf8proc_version_string(), "2.8.0");
  char32_t lower[3];
  ASSERT_EQ(lowercase(U'\u0130', lower), 2u);  // İ: i and a combining dot
  EXPECT_EQ(lower[0], U'i');
  EXPECT_EQ(lower[1], U'\u0307');
  ASSERT_EQ(lowercase(U'\u1C89', lower), 1u);  // Unicode 16.0: the package lowercases it
  EXPECT_EQ(lower[0], U'\u1C8A');
  // The BERT normalizer's categories are Unicode 8.0's: U+0890 (9.0 and later) is no control.
  EXPECT_FALSE(has(U'\u0890', kControl));
  EXPECT_TRUE(has(U'\u200B', kControl));
  // \w holds the circled letters (Other_Alphabetic), which utf8proc has as symbols.
  EXPECT_TRUE(has(U'\u24B6', kWord));
  EXPECT_TRUE(has(U'\u3000', kWhite));
  EXPECT_FALSE(has(U'\u200B', kWhite));
}

TEST(Unicode, NormalFormsKeepThePackagesOlderTablesAndHangulRules) {
  using namespace tokenize;
  std::vector<std::uint64_t> work;
  auto nfc = [&](std::u32string s) {
    std::u32string out;
    normal_form(s, nullptr, NormalForm::Nfc, out, nullptr, work);
    return out;
  };
  EXPECT_EQ(nfc(U"e\u0301"), U"\u00E9");
  EXPECT_EQ(nfc(U"\u0915\u093C"), U"\u0915\u093C");  // an excluded composite stays apart
  EXPECT_EQ(nfc(U"\uAC00\u11A7"), U"\uAC00\u11A7");  // U+11A7 is no trailing consonant
  EXPECT_EQ(nfc(U"\u1100\u1161\u11A8"), U"\uAC01");
  EXPECT_EQ(nfc(U"\U00011935\U00011930"), U"\U00011935\U00011930");  // a Unicode 13.0 composite
  std::u32string out;
  normal_form(U"a\u0301\u0316", nullptr, NormalForm::Nfd, out, nullptr, work);  // reordered by class
  EXPECT_EQ(out, U"a\u0316\u0301");
  out.clear();
  normal_form(U"\u32FF", nullptr, NormalForm::Nfkc, out, nullptr, work);  // Unicode 12.1: not decomposed
  EXPECT_EQ(out, U"\u32FF");
}

}  // namespace
}  // namespace mave

namespace mave {
namespace {

// A file with a huge token must not make every position of a long word
// costly: longer candidates are looked for only while a long token may start
// with them. (A text that matches a huge token's prefix at every position
// still costs its length times the token's, in the tokenizers package too.)
TEST(Tokenizer, HugeTokensDoNotMakeLongWordsQuadratic) {
  const std::string huge(200000, 'a');
  const std::string text(200000, 'b');
  const Tokenizer unigram =
      parsed(R"({"model": {"type": "Unigram", "unk_id": 0, "vocab": [["<unk>", 0.0], ["b", -1.0], [")" +
             huge + R"(", -2.0]]}})");
  EXPECT_EQ(encode(unigram, text), std::vector<std::uint32_t>(200000, 1));
  std::vector<std::uint32_t> with_unknown(200001, 1);
  with_unknown[0] = 0;  // "a" is no token: the huge one only starts with it
  EXPECT_EQ(encode(unigram, "a" + text), with_unknown);
  const Tokenizer word_piece = parsed(R"({"model": {"type": "WordPiece", "unk_token": "[UNK]",
      "max_input_chars_per_word": 1000000, "vocab": {"[UNK]": 0, "b": 1, "##b": 2, ")" +
                                      huge + R"(": 3}}})");
  std::vector<std::uint32_t> expected(200000, 2);
  expected[0] = 1;
  EXPECT_EQ(encode(word_piece, text), expected);
}

}  // namespace
}  // namespace mave
