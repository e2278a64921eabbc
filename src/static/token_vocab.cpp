#include "static/token_vocab.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "static/json.hpp"
#include "subword/ngrams.hpp"

namespace mave {
namespace {

struct Entry {
  std::uint64_t id;
  std::string_view token;
};

EmbeddingsError fault(StaticFault f, std::string_view name = {}, std::uint64_t expected = 0,
                      std::uint64_t found = 0) {
  return EmbeddingsError::static_model(f, std::string(name), expected, found);
}

// The model's type: named by "type", or (files written before the field
// existed) told by the shape of the model.
Result<std::string> model_type(json::object model) {
  if (auto type = json::field(model, "type")) {
    MAVE_ASSIGN_OR_RETURN(std::string_view name, json::as_string(*type, "model.type"));
    return std::string(name);
  }
  auto vocab = json::field(model, "vocab");
  if (vocab && vocab->is_array()) return std::string("Unigram");
  if (json::field(model, "merges")) return std::string("BPE");
  if (json::field(model, "continuing_subword_prefix")) return std::string("WordPiece");
  return std::string("WordLevel");
}

// model.vocab: {token: id} for WordPiece, BPE and WordLevel; [[token,
// score], ...] for Unigram, the id being the position.
Status read_model_vocab(json::element vocab, bool unigram, std::vector<Entry>& out) {
  if (unigram) {
    MAVE_ASSIGN_OR_RETURN(json::array pieces, json::as_array(vocab, "model.vocab"));
    std::uint64_t id = 0;
    for (json::element piece : pieces) {
      json::array pair;
      std::string_view token;
      double score;
      if (piece.get_array().get(pair) || pair.size() != 2 || pair.at(0).get_string().get(token) ||
          pair.at(1).get_double().get(score)) {
        return json::bad_field("model.vocab", JsonKind::TokenScorePair);
      }
      out.push_back({id++, token});
    }
    return {};
  }
  MAVE_ASSIGN_OR_RETURN(json::object tokens, json::as_object(vocab, "model.vocab"));
  for (json::object::iterator::value_type item : tokens) {
    std::uint64_t id;
    if (item.value.get_uint64().get(id)) return json::bad_field("model.vocab", JsonKind::Count);
    out.push_back({id, item.key});
  }
  return {};
}

Status read_added_tokens(json::object root, std::vector<Entry>& out) {
  auto added = json::field(root, "added_tokens");
  if (!added || added->is_null()) return {};
  MAVE_ASSIGN_OR_RETURN(json::array items, json::as_array(*added, "added_tokens"));
  for (json::element item : items) {
    MAVE_ASSIGN_OR_RETURN(json::object fields, json::as_object(item, "added_tokens"));
    auto id = json::field(fields, "id");
    auto content = json::field(fields, "content");
    if (!id) return json::missing_field("added_tokens.id");
    if (!content) return json::missing_field("added_tokens.content");
    MAVE_ASSIGN_OR_RETURN(std::uint64_t n, json::as_count(*id, "added_tokens.id"));
    MAVE_ASSIGN_OR_RETURN(std::string_view text, json::as_string(*content, "added_tokens.content"));
    out.push_back({n, text});
  }
  return {};
}

// The tokens by id. An added token may repeat a vocabulary entry (same id,
// same text); anything else sharing an id, or an id left without a token,
// is refused. Ids are placed in a table as long as the entries: a larger id
// leaves a smaller one without a token, so nothing larger is allocated.
Result<std::vector<std::string_view>> tokens_by_id(const std::vector<Entry>& entries) {
  std::vector<std::string_view> slots(entries.size());
  bool beyond = false;
  for (const Entry& e : entries) {
    if (e.id >= slots.size()) {
      beyond = true;
      continue;
    }
    std::string_view& slot = slots[static_cast<std::size_t>(e.id)];
    if (slot.data() == nullptr) {
      slot = e.token;
    } else if (slot != e.token) {
      return fault(StaticFault::TwoTokensOneId, e.token, 0, e.id);
    }
  }
  std::size_t n = 0;
  while (n < slots.size() && slots[n].data() != nullptr) ++n;
  for (std::size_t i = n; i < slots.size(); ++i) {
    if (slots[i].data() != nullptr) beyond = true;
  }
  if (beyond) return fault(StaticFault::TokenIdMissing, {}, 0, n);
  slots.resize(n);
  return slots;
}

// The median of the tokens' lengths in characters, rounded down (the median
// of an even count is the mean of the middle two); 0 for no tokens.
std::size_t median_chars(const WordList& tokens) {
  const std::size_t n = tokens.size();
  if (n == 0) return 0;
  std::vector<std::size_t> lengths(n);
  for (std::size_t i = 0; i < n; ++i) lengths[i] = count_chars(tokens[i]);
  const auto middle = lengths.begin() + static_cast<std::ptrdiff_t>(n / 2);
  std::nth_element(lengths.begin(), middle, lengths.end());
  if (n % 2 == 1) return *middle;
  const std::size_t below = *std::max_element(lengths.begin(), middle);
  return below + (*middle - below) / 2;
}

}  // namespace

Result<TokenVocab> parse_token_vocab(std::string_view text, bool padded) {
  simdjson::dom::parser parser;
  MAVE_ASSIGN_OR_RETURN(json::element root_element, json::parse(parser, text, padded));
  MAVE_ASSIGN_OR_RETURN(json::object root, json::as_object(root_element, ""));
  auto model_field = json::field(root, "model");
  if (!model_field) return json::missing_field("model");
  MAVE_ASSIGN_OR_RETURN(json::object model, json::as_object(*model_field, "model"));
  TokenVocab out;
  MAVE_ASSIGN_OR_RETURN(out.model_type, model_type(model));
  const bool unigram = out.model_type == "Unigram";
  if (!unigram && out.model_type != "WordPiece" && out.model_type != "BPE" &&
      out.model_type != "WordLevel") {
    EmbeddingsError e = fault(StaticFault::UnknownTokenizerModel);
    e.detail = out.model_type;
    return e;
  }

  std::vector<Entry> entries;
  auto vocab = json::field(model, "vocab");
  if (!vocab) return json::missing_field("model.vocab");
  MAVE_TRY(read_model_vocab(*vocab, unigram, entries));
  MAVE_TRY(read_added_tokens(root, entries));
  MAVE_ASSIGN_OR_RETURN(std::vector<std::string_view> tokens, tokens_by_id(entries));
  if (tokens.size() > std::numeric_limits<std::uint32_t>::max()) {
    return EmbeddingsError::overflow(Step::ReadVocabularyLength);
  }

  out.tokens.reserve(tokens.size());
  for (std::string_view t : tokens) out.tokens.push_back(t);
  if (out.tokens.build_index() != out.tokens.size()) {
    // The index keeps a repeated token at its last id: the first one whose
    // lookup answers another id is the repeat.
    for (std::size_t i = 0; i < out.tokens.size(); ++i) {
      const std::size_t last = *out.tokens.find(out.tokens[i]);
      if (last != i) return fault(StaticFault::RepeatedToken, out.tokens[i], i, last);
    }
  }

  out.median_chars = median_chars(out.tokens);

  // The unknown token: by its text (WordPiece, BPE, WordLevel) or its id
  // (Unigram); none when the model has none or names one it does not hold.
  if (unigram) {
    auto unk = json::field(model, "unk_id");
    if (unk && !unk->is_null()) {
      std::uint64_t id;
      if (unk->get_uint64().get(id)) return json::bad_field("model.unk_id", JsonKind::CountOrNull);
      if (id < out.tokens.size()) out.unknown_id = static_cast<std::uint32_t>(id);
    }
  } else {
    auto unk = json::field(model, "unk_token");
    if (unk && !unk->is_null()) {
      std::string_view token;
      if (unk->get_string().get(token)) {
        return json::bad_field("model.unk_token", JsonKind::StringOrNull);
      }
      if (auto id = out.tokens.find(token)) out.unknown_id = static_cast<std::uint32_t>(*id);
    }
  }
  return out;
}

}  // namespace mave
