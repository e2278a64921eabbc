// Reading tokenizer.json: the model's vocabulary (any kind), its added
// tokens, and the normalizer and pre-tokenizer steps this code runs.
#include "tokenize/tokenizer.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "tokenize/pipeline.hpp"
#include "tokenize/unicode.hpp"

namespace mave {
namespace {

using simdjson::dom::array;
using simdjson::dom::element;
using simdjson::dom::element_type;
using simdjson::dom::object;
using tokenize::Behavior;
using tokenize::ModelKind;
using tokenize::NormalizerKind;
using tokenize::NormalizerStep;
using tokenize::PrependScheme;
using tokenize::PreTokenizerKind;
using tokenize::PreTokenizerStep;
using tokenize::TokenizerImpl;

EmbeddingsError bad(std::string field, TokenizerFault fault) {
  EmbeddingsError e(ErrorCode::BadTokenizer);
  e.detail = std::move(field);
  e.found = static_cast<std::uint64_t>(fault);
  return e;
}

std::string quoted_key(std::string_view parent, std::string_view key) {
  std::string out(parent);
  out += "[\"";
  out.append(key.substr(0, 60));
  if (key.size() > 60) out += "...";
  out += "\"]";
  return out;
}

std::string indexed(std::string_view parent, std::size_t i) {
  return std::string(parent) + "[" + std::to_string(i) + "]";
}

std::string member(std::string_view parent, std::string_view key) {
  return parent.empty() ? std::string(key) : std::string(parent) + "." + std::string(key);
}

// Field readers: a missing or null field gives the default; a field of
// another type is an error.
struct Fields {
  object obj;
  std::string path;

  bool present(std::string_view key, element& value) const {
    if (obj.at_key(key).get(value) != simdjson::SUCCESS) return false;
    return value.type() != element_type::NULL_VALUE;
  }
  Result<bool> boolean(std::string_view key, bool fallback) const {
    element v;
    if (!present(key, v)) return fallback;
    bool b = false;
    if (v.get_bool().get(b) != simdjson::SUCCESS) return bad(member(path, key), TokenizerFault::WrongType);
    return b;
  }
  Result<std::optional<bool>> optional_boolean(std::string_view key) const {
    element v;
    if (!present(key, v)) return std::optional<bool>();
    bool b = false;
    if (v.get_bool().get(b) != simdjson::SUCCESS) return bad(member(path, key), TokenizerFault::WrongType);
    return std::optional<bool>(b);
  }
  Result<std::optional<std::string_view>> string(std::string_view key) const {
    element v;
    if (!present(key, v)) return std::optional<std::string_view>();
    std::string_view s;
    if (v.get_string().get(s) != simdjson::SUCCESS) return bad(member(path, key), TokenizerFault::WrongType);
    return std::optional<std::string_view>(s);
  }
  Result<std::optional<std::uint64_t>> count(std::string_view key) const {
    element v;
    if (!present(key, v)) return std::optional<std::uint64_t>();
    std::uint64_t n = 0;
    if (v.get_uint64().get(n) != simdjson::SUCCESS) return bad(member(path, key), TokenizerFault::WrongType);
    return std::optional<std::uint64_t>(n);
  }
};

Result<Fields> object_at(element e, std::string path) {
  object obj;
  if (e.get_object().get(obj) != simdjson::SUCCESS) return bad(std::move(path), TokenizerFault::WrongType);
  return Fields{obj, std::move(path)};
}

std::u32string code_points(std::string_view s) {
  std::u32string out;
  for (std::size_t i = 0; i < s.size();) out.push_back(tokenize::decode_utf8(s.data(), i));
  return out;
}

// Marks the tokenizer as one the `tokenizers` package must run (the first
// reason found is kept).
void unsupported(TokenizerImpl& impl, std::string what) {
  if (impl.unsupported.empty()) impl.unsupported = std::move(what);
}

// --- The model -----------------------------------------------------------------

// A {token: id} object: the ids must number the tokens 0..n-1.
Status read_vocab_object(element e, const std::string& path, TokenizerImpl& impl) {
  object obj;
  if (e.get_object().get(obj) != simdjson::SUCCESS) return bad(path, TokenizerFault::WrongType);
  const std::size_t n = obj.size();
  if (n > UINT32_MAX - 1) return bad(path, TokenizerFault::TooLarge);
  std::vector<std::string_view> by_id(n);
  std::vector<bool> seen(n, false);
  for (auto field : obj) {
    std::uint64_t id = 0;
    if (field.value.get_uint64().get(id) != simdjson::SUCCESS) {
      return bad(quoted_key(path, field.key), TokenizerFault::WrongType);
    }
    if (id >= n) return bad(quoted_key(path, field.key), TokenizerFault::IdOutOfRange);
    if (seen[id]) return bad(quoted_key(path, field.key), TokenizerFault::DuplicateId);
    seen[id] = true;
    by_id[id] = field.key;
  }
  for (std::string_view token : by_id) impl.vocab.push(token);
  impl.model_size = n;
  // A key given twice leaves an id without its own token.
  if (const auto repeated = impl.vocab.index()) {
    return bad(quoted_key(path, impl.vocab.at(*repeated)), TokenizerFault::BadValue);
  }
  return {};
}

std::optional<std::uint32_t> model_id(const TokenizerImpl& impl, std::string_view token) {
  const auto id = impl.vocab.find(token);
  if (id && *id < impl.model_size) return id;
  return std::nullopt;
}

void read_byte_ids(TokenizerImpl& impl) {
  impl.has_byte_ids = false;
  for (int b = 0; b < 256; ++b) {
    char name[8];
    std::snprintf(name, sizeof name, "<0x%02X>", b);
    const auto id = model_id(impl, name);
    impl.byte_ids[b] = id ? *id : UINT32_MAX;
    impl.has_byte_ids = impl.has_byte_ids || id.has_value();
  }
}

Status read_merges(element e, TokenizerImpl& impl) {
  array merges;
  if (e.get_array().get(merges) != simdjson::SUCCESS) return bad("model.merges", TokenizerFault::WrongType);
  const std::size_t prefix_len = impl.has_prefix ? impl.continuing_subword_prefix.size() : 0;
  const std::size_t n = merges.size();
  if (n >= UINT32_MAX) return bad("model.merges", TokenizerFault::TooLarge);
  // The pairs and the hashes of their three tokens first; then the lookups,
  // each fetched some merges ahead (they land anywhere in the table).
  std::vector<std::string_view> parts(2 * n);
  std::vector<std::uint64_t> hashes(3 * n);
  std::uint32_t rank = 0;
  for (element m : merges) {
    auto path = [&] { return indexed("model.merges", rank); };
    std::string_view a, b, line;
    array pair;
    if (m.get_string().get(line) == simdjson::SUCCESS) {
      // "a b": exactly two parts split on the space.
      const std::size_t space = line.find(' ');
      if (space == std::string_view::npos || line.find(' ', space + 1) != std::string_view::npos) {
        return bad(path(), TokenizerFault::BadValue);
      }
      a = line.substr(0, space);
      b = line.substr(space + 1);
    } else if (m.get_array().get(pair) == simdjson::SUCCESS && pair.size() == 2) {
      if (pair.at(0).get_string().get(a) != simdjson::SUCCESS ||
          pair.at(1).get_string().get(b) != simdjson::SUCCESS) {
        return bad(path(), TokenizerFault::WrongType);
      }
    } else {
      return bad(path(), TokenizerFault::WrongType);
    }
    // The merged token is a, then b without its continuing-subword prefix.
    if (b.size() < prefix_len ||
        (prefix_len < b.size() && (static_cast<unsigned char>(b[prefix_len]) & 0xC0) == 0x80)) {
      return bad(path(), TokenizerFault::BadValue);
    }
    parts[2 * rank] = a;
    parts[2 * rank + 1] = b;
    tokenize::Hasher ha, hb;
    ha.feed(a);
    hb.feed(b);
    hashes[3 * rank] = ha.h;
    hashes[3 * rank + 1] = hb.h;
    ha.feed(b.substr(prefix_len));
    hashes[3 * rank + 2] = ha.h;
    ++rank;
  }
  impl.merge_result.resize(n);
  impl.merges.reserve(n);
  std::vector<std::uint32_t> ids(3 * n);
  constexpr std::size_t kAhead = 8;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) {
      for (std::size_t k = 0; k < 3; ++k) impl.vocab.prefetch(hashes[3 * (i + kAhead) + k]);
    }
    const std::string_view a = parts[2 * i], b = parts[2 * i + 1];
    const auto a_id = impl.vocab.find(hashes[3 * i], {a});
    const auto b_id = impl.vocab.find(hashes[3 * i + 1], {b});
    const auto new_id = impl.vocab.find(hashes[3 * i + 2], {a, b.substr(prefix_len)});
    if (!a_id || !b_id || !new_id || *a_id >= impl.model_size || *b_id >= impl.model_size ||
        *new_id >= impl.model_size) {
      return bad(indexed("model.merges", i), TokenizerFault::UnknownToken);
    }
    ids[3 * i] = *a_id;
    ids[3 * i + 1] = *b_id;
    impl.merge_result[i] = *new_id;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) impl.merges.prefetch(ids[3 * (i + kAhead)], ids[3 * (i + kAhead) + 1]);
    // A pair given twice keeps its last rank (as the package's map).
    impl.merges.insert(ids[3 * i], ids[3 * i + 1],
                       (std::uint64_t{static_cast<std::uint32_t>(i)} << 32) | impl.merge_result[i]);
  }
  return {};
}

Status read_unigram(const Fields& model, TokenizerImpl& impl) {
  element v;
  if (!model.present("vocab", v)) return bad("model.vocab", TokenizerFault::Missing);
  array entries;
  if (v.get_array().get(entries) != simdjson::SUCCESS) return bad("model.vocab", TokenizerFault::WrongType);
  if (entries.size() > UINT32_MAX - 1) return bad("model.vocab", TokenizerFault::TooLarge);
  impl.scores.reserve(entries.size());
  double min_score = INFINITY;
  std::size_t i = 0;
  for (element entry : entries) {
    auto path = [&, at = i++] { return indexed("model.vocab", at); };
    array pair;
    std::string_view token;
    double score = 0;
    if (entry.get_array().get(pair) != simdjson::SUCCESS || pair.size() != 2 ||
        pair.at(0).get_string().get(token) != simdjson::SUCCESS) {
      return bad(path(), TokenizerFault::WrongType);
    }
    element s = pair.at(1).value_unsafe();
    if (s.get_double().get(score) != simdjson::SUCCESS) {
      std::int64_t integer = 0;
      std::uint64_t whole = 0;
      if (s.get_int64().get(integer) == simdjson::SUCCESS) {
        score = static_cast<double>(integer);
      } else if (s.get_uint64().get(whole) == simdjson::SUCCESS) {
        score = static_cast<double>(whole);
      } else {
        return bad(path(), TokenizerFault::WrongType);
      }
    }
    impl.vocab.push(token);
    impl.scores.push_back(score);
    min_score = std::min(min_score, score);
  }
  impl.model_size = impl.scores.size();
  // A token given twice is its last id, as the package's map has it.
  static_cast<void>(impl.vocab.index());
  MAVE_ASSIGN_OR_RETURN(const auto unk_id, model.count("unk_id"));
  if (unk_id) {
    if (*unk_id >= impl.model_size) return bad("model.unk_id", TokenizerFault::IdOutOfRange);
    impl.unk = static_cast<std::uint32_t>(*unk_id);
  } else {
    unsupported(impl, "model Unigram without unk_id");
  }
  impl.unk_score = min_score - 10.0;
  MAVE_ASSIGN_OR_RETURN(impl.byte_fallback, model.boolean("byte_fallback", false));
  read_byte_ids(impl);
  return {};
}

// The longest token, and the prefixes of the long ones (see TokenizerImpl).
void index_long_tokens(TokenizerImpl& impl) {
  for (std::uint32_t id = 0; id < impl.model_size; ++id) {
    const std::string_view token = impl.vocab.at(id);
    impl.max_token_bytes = std::max(impl.max_token_bytes, token.size());
    if (token.size() <= TokenizerImpl::kShortToken) continue;
    tokenize::Hasher h;
    for (std::size_t i = 0; i < token.size();) {
      const std::size_t len = tokenize::utf8_sequence_length(static_cast<unsigned char>(token[i]));
      h.feed(token.substr(i, len));
      i += len;
      if (i > TokenizerImpl::kShortToken) impl.long_prefixes.push_back(h.h);
    }
  }
  std::sort(impl.long_prefixes.begin(), impl.long_prefixes.end());
}

Status read_model(element e, TokenizerImpl& impl) {
  MAVE_ASSIGN_OR_RETURN(const Fields model, object_at(e, "model"));
  MAVE_ASSIGN_OR_RETURN(const auto type, model.string("type"));
  element vocab, probe;
  std::string kind;
  if (type) {
    kind = std::string(*type);
  } else if (model.present("merges", probe)) {
    kind = "BPE";
  } else if (model.present("vocab", vocab) && vocab.type() == element_type::ARRAY) {
    kind = "Unigram";
  } else if (model.present("max_input_chars_per_word", probe)) {
    kind = "WordPiece";
  } else {
    kind = "WordLevel";
  }
  if (kind == "Unigram") {
    impl.model = ModelKind::Unigram;
    MAVE_TRY(read_unigram(model, impl));
    impl.description = "Unigram (" + std::to_string(impl.model_size) + " tokens" +
                       (impl.byte_fallback ? ", byte fallback" : "") + ")";
    return {};
  }
  if (kind != "WordPiece" && kind != "BPE" && kind != "WordLevel") {
    return bad("model.type", TokenizerFault::BadValue);
  }
  if (!model.present("vocab", vocab)) return bad("model.vocab", TokenizerFault::Missing);
  MAVE_TRY(read_vocab_object(vocab, "model.vocab", impl));
  if (kind == "WordPiece") {
    impl.model = ModelKind::WordPiece;
    MAVE_ASSIGN_OR_RETURN(const auto unk, model.string("unk_token"));
    MAVE_ASSIGN_OR_RETURN(const auto prefix, model.string("continuing_subword_prefix"));
    MAVE_ASSIGN_OR_RETURN(const auto max_chars, model.count("max_input_chars_per_word"));
    const std::string unk_token(unk.value_or("[UNK]"));
    impl.continuing_subword_prefix = std::string(prefix.value_or("##"));
    impl.max_input_chars_per_word = max_chars.value_or(100);
    impl.unk = model_id(impl, unk_token);
    if (!impl.unk) unsupported(impl, "model WordPiece whose unk_token is not in the vocabulary");
    impl.description = "WordPiece (" + std::to_string(impl.model_size) + " tokens, unk_token " + unk_token +
                       ", continuing_subword_prefix " + impl.continuing_subword_prefix +
                       ", max_input_chars_per_word " + std::to_string(impl.max_input_chars_per_word) + ")";
    return {};
  }
  if (kind == "WordLevel") {
    impl.model = ModelKind::WordLevel;
    MAVE_ASSIGN_OR_RETURN(const auto unk, model.string("unk_token"));
    const std::string unk_token(unk.value_or("<unk>"));
    impl.unk = model_id(impl, unk_token);
    if (!impl.unk) unsupported(impl, "model WordLevel whose unk_token is not in the vocabulary");
    impl.description =
        "WordLevel (" + std::to_string(impl.model_size) + " tokens, unk_token " + unk_token + ")";
    return {};
  }
  impl.model = ModelKind::Bpe;
  MAVE_ASSIGN_OR_RETURN(const auto unk, model.string("unk_token"));
  MAVE_ASSIGN_OR_RETURN(const auto prefix, model.string("continuing_subword_prefix"));
  MAVE_ASSIGN_OR_RETURN(const auto suffix, model.string("end_of_word_suffix"));
  MAVE_ASSIGN_OR_RETURN(impl.fuse_unk, model.boolean("fuse_unk", false));
  MAVE_ASSIGN_OR_RETURN(impl.byte_fallback, model.boolean("byte_fallback", false));
  MAVE_ASSIGN_OR_RETURN(impl.ignore_merges, model.boolean("ignore_merges", false));
  impl.has_prefix = prefix.has_value();
  impl.continuing_subword_prefix = std::string(prefix.value_or(""));
  impl.has_suffix = suffix.has_value();
  impl.end_of_word_suffix = std::string(suffix.value_or(""));
  element dropout;
  if (model.present("dropout", dropout)) {
    double p = 0;
    if (dropout.get_double().get(p) != simdjson::SUCCESS) {
      std::int64_t i = 0;
      if (dropout.get_int64().get(i) != simdjson::SUCCESS)
        return bad("model.dropout", TokenizerFault::WrongType);
      p = static_cast<double>(i);
    }
    if (p < 0 || p > 1) return bad("model.dropout", TokenizerFault::BadValue);
    // Random merges have no one answer to give.
    if (p > 0) unsupported(impl, "model BPE with dropout");
  }
  if (unk) {
    impl.unk = model_id(impl, *unk);
    if (!impl.unk) unsupported(impl, "model BPE whose unk_token is not in the vocabulary");
  }
  element merges;
  if (model.present("merges", merges)) MAVE_TRY(read_merges(merges, impl));
  read_byte_ids(impl);
  impl.description =
      "BPE (" + std::to_string(impl.model_size) + " tokens, " + std::to_string(impl.merge_result.size()) +
      " merges" + (unk ? ", unk_token " + std::string(*unk) : std::string()) +
      (impl.has_prefix ? ", continuing_subword_prefix " + impl.continuing_subword_prefix : "") +
      (impl.has_suffix ? ", end_of_word_suffix " + impl.end_of_word_suffix : "") +
      (impl.fuse_unk ? ", fuse_unk" : "") + (impl.byte_fallback ? ", byte_fallback" : "") +
      (impl.ignore_merges ? ", ignore_merges" : "") + ")";
  return {};
}

// --- Normalizers and pre-tokenizers ----------------------------------------------

Status read_normalizer(element e, const std::string& path, TokenizerImpl& impl, std::string& text) {
  MAVE_ASSIGN_OR_RETURN(const Fields f, object_at(e, path));
  MAVE_ASSIGN_OR_RETURN(const auto type_field, f.string("type"));
  if (!type_field) return bad(member(path, "type"), TokenizerFault::Missing);
  const std::string_view type = *type_field;
  if (!text.empty()) text += ", ";
  NormalizerStep step{};
  if (type == "Sequence") {
    element list;
    array items;
    if (!f.present("normalizers", list)) return bad(member(path, "normalizers"), TokenizerFault::Missing);
    if (list.get_array().get(items) != simdjson::SUCCESS) {
      return bad(member(path, "normalizers"), TokenizerFault::WrongType);
    }
    std::size_t i = 0;
    std::string inner;
    for (element item : items)
      MAVE_TRY(read_normalizer(item, indexed(member(path, "normalizers"), i++), impl, inner));
    text += "Sequence[" + inner + "]";
    return {};
  }
  if (type == "BertNormalizer") {
    step.kind = NormalizerKind::Bert;
    MAVE_ASSIGN_OR_RETURN(step.clean_text, f.boolean("clean_text", true));
    MAVE_ASSIGN_OR_RETURN(step.handle_chinese_chars, f.boolean("handle_chinese_chars", true));
    MAVE_ASSIGN_OR_RETURN(step.lowercase, f.boolean("lowercase", true));
    MAVE_ASSIGN_OR_RETURN(const auto strip, f.optional_boolean("strip_accents"));
    step.strip_accents = strip.value_or(step.lowercase);
    text += std::string("BertNormalizer(clean_text=") + (step.clean_text ? "true" : "false") +
            ", handle_chinese_chars=" + (step.handle_chinese_chars ? "true" : "false") +
            ", strip_accents=" + (strip ? (*strip ? "true" : "false") : "null") +
            ", lowercase=" + (step.lowercase ? "true" : "false") + ")";
  } else if (type == "NFC" || type == "NFD" || type == "NFKC" || type == "NFKD") {
    step.kind = type == "NFC"    ? NormalizerKind::Nfc
                : type == "NFD"  ? NormalizerKind::Nfd
                : type == "NFKC" ? NormalizerKind::Nfkc
                                 : NormalizerKind::Nfkd;
    text += type;
  } else if (type == "Lowercase" || type == "StripAccents" || type == "Nmt" || type == "ByteLevel") {
    step.kind = type == "Lowercase"      ? NormalizerKind::Lowercase
                : type == "StripAccents" ? NormalizerKind::StripAccents
                : type == "Nmt"          ? NormalizerKind::Nmt
                                         : NormalizerKind::ByteLevel;
    text += type;
  } else if (type == "Strip") {
    step.kind = NormalizerKind::Strip;
    MAVE_ASSIGN_OR_RETURN(step.left, f.boolean("strip_left", true));
    MAVE_ASSIGN_OR_RETURN(step.right, f.boolean("strip_right", true));
    text += std::string("Strip(left=") + (step.left ? "true" : "false") +
            ", right=" + (step.right ? "true" : "false") + ")";
  } else if (type == "Prepend") {
    step.kind = NormalizerKind::Prepend;
    MAVE_ASSIGN_OR_RETURN(const auto prepend, f.string("prepend"));
    if (!prepend) return bad(member(path, "prepend"), TokenizerFault::Missing);
    step.content = code_points(*prepend);
    text += "Prepend(" + std::string(*prepend) + ")";
  } else if (type == "Replace") {
    step.kind = NormalizerKind::Replace;
    MAVE_ASSIGN_OR_RETURN(const auto content, f.string("content"));
    if (!content) return bad(member(path, "content"), TokenizerFault::Missing);
    element pattern;
    if (!f.present("pattern", pattern)) return bad(member(path, "pattern"), TokenizerFault::Missing);
    MAVE_ASSIGN_OR_RETURN(const Fields p, object_at(pattern, member(path, "pattern")));
    MAVE_ASSIGN_OR_RETURN(const auto literal, p.string("String"));
    if (!literal) {
      unsupported(impl, "normalizer Replace with a regex pattern");
      text += "Replace(regex)";
      return {};
    }
    if (literal->empty()) {
      unsupported(impl, "normalizer Replace with an empty pattern");
      return {};
    }
    step.pattern = code_points(*literal);
    step.content = code_points(*content);
    text += "Replace(" + std::string(*literal) + " -> " + std::string(*content) + ")";
  } else {
    unsupported(impl, "normalizer " + std::string(type));
    text += type;
    return {};
  }
  impl.normalizers.push_back(std::move(step));
  return {};
}

Result<Behavior> read_behavior(const Fields& f) {
  MAVE_ASSIGN_OR_RETURN(const auto name, f.string("behavior"));
  const std::string_view b = name.value_or("Isolated");
  if (b == "Removed") return Behavior::Removed;
  if (b == "Isolated") return Behavior::Isolated;
  if (b == "MergedWithPrevious") return Behavior::MergedWithPrevious;
  if (b == "MergedWithNext") return Behavior::MergedWithNext;
  if (b == "Contiguous") return Behavior::Contiguous;
  return bad(member(f.path, "behavior"), TokenizerFault::BadValue);
}

// The one character of a string field.
Result<char32_t> single_char(const Fields& f, std::string_view key, char32_t fallback) {
  MAVE_ASSIGN_OR_RETURN(const auto s, f.string(key));
  if (!s) return fallback;
  const std::u32string chars = code_points(*s);
  if (chars.size() != 1) return bad(member(f.path, key), TokenizerFault::BadValue);
  return chars[0];
}

Status read_pre_tokenizer(element e, const std::string& path, TokenizerImpl& impl, std::string& text) {
  MAVE_ASSIGN_OR_RETURN(const Fields f, object_at(e, path));
  MAVE_ASSIGN_OR_RETURN(const auto type_field, f.string("type"));
  if (!type_field) return bad(member(path, "type"), TokenizerFault::Missing);
  const std::string_view type = *type_field;
  if (!text.empty()) text += ", ";
  PreTokenizerStep step{};
  if (type == "Sequence") {
    element list;
    array items;
    if (!f.present("pretokenizers", list)) return bad(member(path, "pretokenizers"), TokenizerFault::Missing);
    if (list.get_array().get(items) != simdjson::SUCCESS) {
      return bad(member(path, "pretokenizers"), TokenizerFault::WrongType);
    }
    std::size_t i = 0;
    std::string inner;
    for (element item : items) {
      MAVE_TRY(read_pre_tokenizer(item, indexed(member(path, "pretokenizers"), i++), impl, inner));
    }
    text += "Sequence[" + inner + "]";
    return {};
  }
  if (type == "BertPreTokenizer" || type == "Whitespace" || type == "WhitespaceSplit") {
    step.kind = type == "BertPreTokenizer" ? PreTokenizerKind::Bert
                : type == "Whitespace"     ? PreTokenizerKind::Whitespace
                                           : PreTokenizerKind::WhitespaceSplit;
    text += type;
  } else if (type == "Punctuation") {
    step.kind = PreTokenizerKind::Punctuation;
    MAVE_ASSIGN_OR_RETURN(step.behavior, read_behavior(f));
    text += "Punctuation";
  } else if (type == "Digits") {
    step.kind = PreTokenizerKind::Digits;
    MAVE_ASSIGN_OR_RETURN(step.flag, f.boolean("individual_digits", false));
    text += std::string("Digits(individual_digits=") + (step.flag ? "true" : "false") + ")";
  } else if (type == "CharDelimiterSplit") {
    step.kind = PreTokenizerKind::CharDelimiter;
    MAVE_ASSIGN_OR_RETURN(step.character, single_char(f, "delimiter", 0));
    if (step.character == 0) return bad(member(path, "delimiter"), TokenizerFault::Missing);
    text += "CharDelimiterSplit";
  } else if (type == "Split") {
    step.kind = PreTokenizerKind::Split;
    MAVE_ASSIGN_OR_RETURN(step.behavior, read_behavior(f));
    MAVE_ASSIGN_OR_RETURN(step.flag, f.boolean("invert", false));
    element pattern;
    if (!f.present("pattern", pattern)) return bad(member(path, "pattern"), TokenizerFault::Missing);
    MAVE_ASSIGN_OR_RETURN(const Fields p, object_at(pattern, member(path, "pattern")));
    MAVE_ASSIGN_OR_RETURN(const auto literal, p.string("String"));
    if (!literal) {
      unsupported(impl, "pre-tokenizer Split with a regex pattern");
      text += "Split(regex)";
      return {};
    }
    if (literal->empty()) {
      unsupported(impl, "pre-tokenizer Split with an empty pattern");
      return {};
    }
    step.pattern = std::string(*literal);
    text += "Split(" + step.pattern + ")";
  } else if (type == "ByteLevel") {
    step.kind = PreTokenizerKind::ByteLevel;
    MAVE_ASSIGN_OR_RETURN(step.flag, f.boolean("add_prefix_space", true));
    MAVE_ASSIGN_OR_RETURN(step.use_regex, f.boolean("use_regex", true));
    text += std::string("ByteLevel(add_prefix_space=") + (step.flag ? "true" : "false") +
            ", use_regex=" + (step.use_regex ? "true" : "false") + ")";
  } else if (type == "Metaspace") {
    step.kind = PreTokenizerKind::Metaspace;
    MAVE_ASSIGN_OR_RETURN(step.character, single_char(f, "replacement", U'\u2581'));
    tokenize::put_utf8(step.pattern, step.character);
    MAVE_ASSIGN_OR_RETURN(step.split, f.boolean("split", true));
    MAVE_ASSIGN_OR_RETURN(const auto scheme, f.string("prepend_scheme"));
    if (scheme) {
      if (*scheme == "always") {
        step.prepend = PrependScheme::Always;
      } else if (*scheme == "first") {
        step.prepend = PrependScheme::First;
        impl.track_origin = true;
      } else if (*scheme == "never") {
        step.prepend = PrependScheme::Never;
      } else {
        return bad(member(path, "prepend_scheme"), TokenizerFault::BadValue);
      }
    } else {
      // Files from before prepend_scheme say add_prefix_space.
      MAVE_ASSIGN_OR_RETURN(const bool add, f.boolean("add_prefix_space", true));
      step.prepend = add ? PrependScheme::Always : PrependScheme::Never;
    }
    text += "Metaspace(replacement=" + step.pattern + ", prepend_scheme=" +
            (step.prepend == PrependScheme::Always  ? "always"
             : step.prepend == PrependScheme::First ? "first"
                                                    : "never") +
            ", split=" + (step.split ? "true" : "false") + ")";
  } else {
    unsupported(impl, "pre-tokenizer " + std::string(type));
    text += type;
    return {};
  }
  impl.pre_tokenizers.push_back(std::move(step));
  return {};
}

// --- Added tokens ----------------------------------------------------------------

struct Added {
  std::string_view content;
  bool single_word, lstrip, rstrip, normalized, special;
  bool operator==(const Added& o) const {
    return content == o.content && single_word == o.single_word && lstrip == o.lstrip && rstrip == o.rstrip &&
           normalized == o.normalized && special == o.special;
  }
};

// Registers the added tokens one by one as the `tokenizers` package does
// when it reads them, which decides their ids (the file's are not used) and
// the order of the patterns.
Status read_added_tokens(element e, TokenizerImpl& impl, std::string& text) {
  array items;
  if (e.get_array().get(items) != simdjson::SUCCESS) return bad("added_tokens", TokenizerFault::WrongType);
  std::vector<Added> special_tokens, added_tokens;
  std::unordered_set<std::string_view> special_set;
  std::unordered_map<std::string_view, std::uint32_t> added_map;
  std::unordered_map<std::uint32_t, Added> added_map_r;
  std::optional<std::uint32_t> max_added;
  std::size_t i = 0;
  for (element item : items) {
    const std::string path = indexed("added_tokens", i++);
    MAVE_ASSIGN_OR_RETURN(const Fields f, object_at(item, path));
    MAVE_ASSIGN_OR_RETURN(const auto content, f.string("content"));
    if (!content) return bad(member(path, "content"), TokenizerFault::Missing);
    MAVE_ASSIGN_OR_RETURN(const auto id, f.count("id"));
    if (!id) return bad(member(path, "id"), TokenizerFault::Missing);
    Added t{*content, false, false, false, false, false};
    MAVE_ASSIGN_OR_RETURN(t.special, f.boolean("special", false));
    MAVE_ASSIGN_OR_RETURN(t.single_word, f.boolean("single_word", false));
    MAVE_ASSIGN_OR_RETURN(t.lstrip, f.boolean("lstrip", false));
    MAVE_ASSIGN_OR_RETURN(t.rstrip, f.boolean("rstrip", false));
    MAVE_ASSIGN_OR_RETURN(t.normalized, f.boolean("normalized", !t.special));
    if (t.special && !t.content.empty() && special_set.insert(t.content).second) special_tokens.push_back(t);
    if (t.content.empty()) continue;
    // A token registered with the same options again changes nothing (a
    // content has one id, so its registration is at that id).
    if (auto it = added_map.find(t.content); it != added_map.end() && added_map_r.at(it->second) == t)
      continue;
    std::uint32_t new_id = 0;
    if (auto it = added_map.find(t.content); it != added_map.end()) {
      new_id = it->second;
    } else if (const auto mid = model_id(impl, t.content)) {
      new_id = *mid;
    } else if (max_added && (*max_added >= impl.model_size || impl.model_size == 0)) {
      new_id = *max_added + 1;
    } else {
      new_id = static_cast<std::uint32_t>(impl.model_size);
    }
    if (new_id == UINT32_MAX) return bad(path, TokenizerFault::TooLarge);
    added_map[t.content] = new_id;
    added_map_r[new_id] = t;
    if (!max_added || new_id > *max_added) max_added = new_id;
    if (special_set.count(t.content) == 0) added_tokens.push_back(t);
  }
  // New ids follow the model's in order; tokens the model has keep its ids.
  std::uint32_t next = static_cast<std::uint32_t>(impl.model_size);
  std::vector<std::pair<std::uint32_t, std::string_view>> fresh;
  for (const auto& [content, id] : added_map) {
    if (id >= impl.model_size) fresh.emplace_back(id, content);
  }
  std::sort(fresh.begin(), fresh.end());
  for (const auto& [id, content] : fresh) {
    if (id != next) return bad("added_tokens", TokenizerFault::BadValue);
    impl.vocab.push(content);
    ++next;
  }
  static_cast<void>(impl.vocab.index());  // repeats were model tokens, which keep their ids
  impl.flags_by_id.assign(impl.vocab.size(), 0);
  for (const auto& [id, t] : added_map_r) {
    impl.flags_by_id[id] =
        static_cast<std::uint8_t>((t.single_word ? tokenize::kSingleWord : 0) |
                                  (t.lstrip ? tokenize::kLstrip : 0) | (t.rstrip ? tokenize::kRstrip : 0));
  }
  // The patterns: special tokens, then the others, each set split by `normalized`.
  std::vector<std::string> raw, normalized;
  TokenizerScratch scratch;
  for (const std::vector<Added>* list : {&special_tokens, &added_tokens}) {
    for (const Added& t : *list) {
      const std::uint32_t id = added_map.at(t.content);
      if (t.normalized) {
        std::string n;
        impl.normalize(t.content, scratch, n, nullptr);
        if (n.empty()) unsupported(impl, "an added token the normalizer empties");
        normalized.push_back(std::move(n));
        impl.normalized_ids.push_back(id);
      } else {
        raw.emplace_back(t.content);
        impl.raw_ids.push_back(id);
      }
    }
  }
  impl.raw_matcher.build(raw);
  impl.normalized_matcher.build(normalized);
  if (!added_map.empty()) text = std::to_string(added_map.size()) + " added tokens";
  return {};
}

}  // namespace

// --- The public interface ----------------------------------------------------------

Result<Tokenizer> Tokenizer::parse(std::string_view json) {
  simdjson::dom::parser parser;
  element root;
  const simdjson::padded_string padded(json.data(), json.size());
  if (const auto error = parser.parse(padded).get(root); error != simdjson::SUCCESS) {
    EmbeddingsError e = bad(std::string(simdjson::error_message(error)), TokenizerFault::NotJson);
    return e;
  }
  auto impl = std::make_shared<TokenizerImpl>();
  MAVE_ASSIGN_OR_RETURN(const Fields top, object_at(root, ""));
  element model, normalizer, pre_tokenizer, added;
  if (!top.present("model", model)) return bad("model", TokenizerFault::Missing);
  MAVE_TRY(read_model(model, *impl));
  index_long_tokens(*impl);
  std::string normalizer_text, pre_text, added_text;
  if (top.present("normalizer", normalizer))
    MAVE_TRY(read_normalizer(normalizer, "normalizer", *impl, normalizer_text));
  if (top.present("pre_tokenizer", pre_tokenizer)) {
    MAVE_TRY(read_pre_tokenizer(pre_tokenizer, "pre_tokenizer", *impl, pre_text));
  }
  if (top.present("added_tokens", added)) {
    MAVE_TRY(read_added_tokens(added, *impl, added_text));
  } else {
    impl->flags_by_id.assign(impl->vocab.size(), 0);
  }
  std::string& d = impl->description;
  d += "; normalizer " + (normalizer_text.empty() ? std::string("none") : normalizer_text);
  d += "; pre-tokenizer " + (pre_text.empty() ? std::string("none") : pre_text);
  if (!added_text.empty()) d += "; " + added_text;
  d += impl->unsupported.empty() ? "; tokenized natively"
                                 : "; tokenized by the tokenizers package (" + impl->unsupported + ")";
  return Tokenizer(std::move(impl));
}

std::size_t Tokenizer::vocab_size() const { return impl_->vocab.size(); }

std::string_view Tokenizer::token(std::uint32_t id) const {
  check_index(id, impl_->vocab.size());
  return impl_->vocab.at(id);
}

std::optional<std::uint32_t> Tokenizer::id_of(std::string_view token) const {
  return impl_->vocab.find(token);
}

std::optional<std::uint32_t> Tokenizer::unk_id() const { return impl_->unk; }

std::string_view Tokenizer::unsupported() const { return impl_->unsupported; }

std::string Tokenizer::describe() const { return impl_->description; }

void Tokenizer::encode(std::string_view text, std::vector<std::uint32_t>& ids, TokenizerScratch& scratch,
                       std::size_t max_ids) const {
  impl_->encode(text, ids, scratch, max_ids);
}

std::string Tokenizer::normalize(std::string_view text) const {
  TokenizerScratch scratch;
  std::string out;
  impl_->normalize(text, scratch, out, nullptr);
  return out;
}

std::vector<std::string> Tokenizer::pre_tokenize(std::string_view text) const {
  TokenizerScratch scratch;
  const std::string copy(text);
  const int which = impl_->pre_tokenize(copy, nullptr, true, scratch);
  std::vector<std::string> out;
  for (std::uint64_t p : scratch.pieces[which]) {
    const std::size_t b = static_cast<std::size_t>(p >> 32), e = static_cast<std::size_t>(p & 0xFFFFFFFFu);
    out.emplace_back(scratch.pieces_text[which].substr(b, e - b));
  }
  return out;
}

}  // namespace mave
