// The parts of a tokenizer as read from tokenizer.json: the added tokens,
// the normalizer and pre-tokenizer steps (sequences flattened), the model.
// tokenizer.cpp reads them; pipeline.cpp runs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tokenize/tokenizer.hpp"
#include "tokenize/vocab.hpp"

namespace mave::tokenize {

enum class NormalizerKind : std::uint8_t {
  Bert,
  Nfc,
  Nfd,
  Nfkc,
  Nfkd,
  Lowercase,
  StripAccents,
  Strip,
  Replace,
  Prepend,
  Nmt,
  ByteLevel,
};

struct NormalizerStep {
  NormalizerKind kind;
  bool clean_text = false, handle_chinese_chars = false, strip_accents = false, lowercase = false;
  bool left = false, right = false;  // Strip
  std::u32string pattern;            // Replace
  std::u32string content;            // Replace, Prepend
};

// How a split keeps its delimiters (the `tokenizers` names).
enum class Behavior : std::uint8_t { Removed, Isolated, MergedWithPrevious, MergedWithNext, Contiguous };

enum class PreTokenizerKind : std::uint8_t {
  Bert,
  Whitespace,
  WhitespaceSplit,
  Punctuation,
  Digits,
  Split,
  CharDelimiter,
  ByteLevel,
  Metaspace,
};

enum class PrependScheme : std::uint8_t { Always, First, Never };

struct PreTokenizerStep {
  PreTokenizerKind kind;
  Behavior behavior = Behavior::Isolated;
  bool flag = false;      // Digits: individual_digits; Split: invert; ByteLevel: add_prefix_space
  bool use_regex = true;  // ByteLevel
  bool split = true;      // Metaspace
  PrependScheme prepend = PrependScheme::Always;
  std::string pattern;     // Split: the literal pattern; Metaspace: the replacement (UTF-8)
  char32_t character = 0;  // CharDelimiter, Metaspace replacement
};

enum class ModelKind : std::uint8_t { WordPiece, Bpe, Unigram, WordLevel };

// The options of an added token that matter once it is found.
enum AddedFlag : std::uint8_t { kSingleWord = 1, kLstrip = 2, kRstrip = 4 };

// Leftmost-longest matching of a set of strings (the added tokens).
class TokenMatcher {
 public:
  void build(const std::vector<std::string>& patterns);
  bool empty() const { return nodes_.size() <= 1; }
  // The pattern index and length of the longest pattern that starts at `at`.
  bool longest_at(std::string_view text, std::size_t at, std::uint32_t& pattern, std::size_t& length) const;
  bool may_start(unsigned char b) const { return first_[b]; }

 private:
  struct Node {
    std::uint32_t pattern = UINT32_MAX;
  };
  std::vector<Node> nodes_;
  PairTable children_;  // (node, byte) -> node
  bool first_[256] = {};
};

struct TokenizerImpl {
  ModelKind model = ModelKind::WordPiece;
  // Every id's token: the model's, then the added tokens'. A model's lookup
  // is one here with an id below model_size (a token of both has the model's id).
  StringTable vocab;
  std::size_t model_size = 0;  // the model's ids are 0 .. model_size-1
  std::optional<std::uint32_t> unk;
  std::string unsupported;
  std::string description;

  // WordPiece
  std::string continuing_subword_prefix;
  std::size_t max_input_chars_per_word = 100;
  // BPE
  std::string end_of_word_suffix;
  bool has_prefix = false, has_suffix = false;
  bool fuse_unk = false, byte_fallback = false, ignore_merges = false;
  PairTable merges;                         // (left, right) -> rank << 32 | new id
  std::vector<std::uint32_t> merge_result;  // rank -> new id
  std::uint32_t byte_ids[256] = {};         // <0xXX> tokens (UINT32_MAX: none)
  bool has_byte_ids = false;
  // Unigram
  std::vector<double> scores;
  double unk_score = 0;
  // Every model
  std::size_t max_token_bytes = 0;  // the longest token: no longer match to look for
  // The hashes of the prefixes, past kShortToken bytes, of the tokens longer
  // than that (sorted): a longer match is looked for only while one may
  // follow, so a file with huge tokens cannot make every position costly.
  static constexpr std::size_t kShortToken = 32;
  std::vector<std::uint64_t> long_prefixes;

  // The pipeline.
  std::vector<NormalizerStep> normalizers;
  std::vector<PreTokenizerStep> pre_tokenizers;
  bool track_origin = false;  // a Metaspace with prepend_scheme "first" asks where pieces start
  std::vector<std::uint32_t> raw_ids, normalized_ids;  // pattern index -> token id
  TokenMatcher raw_matcher, normalized_matcher;
  std::vector<std::uint8_t> flags_by_id;  // per id: kSingleWord, kLstrip, kRstrip

  // Running the pipeline.
  void encode(std::string_view text, std::vector<std::uint32_t>& ids, TokenizerScratch& s,
              std::size_t max_ids) const;
  // `text` normalized into `out`; with `origin`, each byte's origin (its
  // character's offset in `text`).
  void normalize(std::string_view text, TokenizerScratch& s, std::string& out,
                 std::vector<std::uint32_t>* origin) const;
  // Pre-tokenizes into s.pieces[which] (text in s.pieces_text[which]); returns which.
  // `origin`: for each byte of `normalized`, how far from the text's start
  // the character it came from is (null: not tracked).
  int pre_tokenize(const std::string& normalized, const std::uint32_t* origin, bool region_first,
                   TokenizerScratch& s) const;
  void tokenize_piece(std::string_view piece, std::vector<std::uint32_t>& ids, TokenizerScratch& s) const;

  void word_piece(std::string_view piece, std::vector<std::uint32_t>& ids, TokenizerScratch& s) const;
  void bpe(std::string_view piece, std::vector<std::uint32_t>& ids, TokenizerScratch& s) const;
  void unigram(std::string_view piece, std::vector<std::uint32_t>& ids, TokenizerScratch& s) const;
  void word_level(std::string_view piece, std::vector<std::uint32_t>& ids) const;
};

}  // namespace mave::tokenize
