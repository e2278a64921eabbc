#include "static/token_vocab.hpp"

#include <limits>
#include <vector>

#include "static/json.hpp"

namespace mave {
namespace {

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

// The tokens by id, placed as they are read. An added token may repeat a
// vocabulary entry (same id, same text); anything else sharing an id, or an
// id left without a token, is refused. There are as many slots as entries:
// a larger id leaves a smaller one without a token, so nothing larger than
// the input is allocated.
class TokenSlots {
 public:
  explicit TokenSlots(std::size_t entries) : slots_(entries) {}

  Status place(std::uint64_t id, std::string_view token) {
    if (id >= slots_.size()) {
      beyond_ = true;
      return {};
    }
    std::string_view& slot = slots_[static_cast<std::size_t>(id)];
    if (slot.data() == nullptr) {
      slot = token;
    } else if (slot != token) {
      return fault(StaticFault::TwoTokensOneId, token, 0, id);
    }
    return {};
  }

  Result<std::vector<std::string_view>> tokens() && {
    std::size_t n = 0;
    while (n < slots_.size() && slots_[n].data() != nullptr) ++n;
    for (std::size_t i = n; i < slots_.size() && !beyond_; ++i) {
      beyond_ = slots_[i].data() != nullptr;
    }
    if (beyond_) return fault(StaticFault::TokenIdMissing, {}, 0, n);
    slots_.resize(n);
    return std::move(slots_);
  }

 private:
  std::vector<std::string_view> slots_;  // data() null: no token yet
  bool beyond_ = false;
};

// The entries of a container: the DOM stores up to 2^24 - 1 of them, and
// saturates there.
template <class Container>
std::size_t count_of(Container c) {
  const std::size_t n = c.size();
  if (n < 0xFFFFFF) return n;
  std::size_t counted = 0;
  for ([[maybe_unused]] auto item : c) ++counted;
  return counted;
}

// model.vocab: {token: id} for WordPiece, BPE and WordLevel; [[token,
// score], ...] for Unigram, the id being the position.
Status read_model_vocab(json::element vocab, bool unigram, TokenSlots& slots) {
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
      MAVE_TRY(slots.place(id++, token));
    }
    return {};
  }
  MAVE_ASSIGN_OR_RETURN(json::object tokens, json::as_object(vocab, "model.vocab"));
  for (json::object::iterator::value_type item : tokens) {
    std::uint64_t id;
    if (item.value.get_uint64().get(id)) return json::bad_field("model.vocab", JsonKind::Count);
    MAVE_TRY(slots.place(id, item.key));
  }
  return {};
}

Status read_added_tokens(json::array items, TokenSlots& slots) {
  for (json::element item : items) {
    MAVE_ASSIGN_OR_RETURN(json::object fields, json::as_object(item, "added_tokens"));
    auto id = json::field(fields, "id");
    auto content = json::field(fields, "content");
    if (!id) return json::missing_field("added_tokens.id");
    if (!content) return json::missing_field("added_tokens.content");
    MAVE_ASSIGN_OR_RETURN(std::uint64_t n, json::as_count(*id, "added_tokens.id"));
    MAVE_ASSIGN_OR_RETURN(std::string_view text, json::as_string(*content, "added_tokens.content"));
    MAVE_TRY(slots.place(n, text));
  }
  return {};
}

// The median of the tokens' lengths in characters, rounded down (the median
// of an even count is the mean of the middle two); 0 for no tokens. The
// text is valid UTF-8 (the parser checked it): a character is a byte that
// does not continue another. Counted in a histogram, as long as the longest
// token: far faster than sorting half a million lengths.
std::size_t median_chars(const std::vector<std::string_view>& tokens) {
  if (tokens.empty()) return 0;
  std::vector<std::size_t> count;  // count[k]: the tokens of k characters
  for (std::string_view t : tokens) {
    std::size_t chars = 0;
    for (char c : t) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (chars >= count.size()) count.resize(chars + 1);
    ++count[chars];
  }
  // The lengths at positions (n - 1) / 2 and n / 2 of the sorted lengths.
  const std::size_t low = (tokens.size() - 1) / 2, high = tokens.size() / 2;
  std::size_t seen = 0, at_low = 0, at_high = 0;
  bool low_found = false;
  for (std::size_t k = 0; k < count.size(); ++k) {
    seen += count[k];
    if (!low_found && seen > low) {
      at_low = k;
      low_found = true;
    }
    if (seen > high) {
      at_high = k;
      break;
    }
  }
  return at_low + (at_high - at_low) / 2;
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
  if (!unigram && out.model_type != "WordPiece" && out.model_type != "BPE" && out.model_type != "WordLevel") {
    EmbeddingsError e = fault(StaticFault::UnknownTokenizerModel);
    e.detail = out.model_type;
    return e;
  }

  auto vocab = json::field(model, "vocab");
  if (!vocab) return json::missing_field("model.vocab");
  std::size_t entries = 0;
  if (json::array a; !vocab->get_array().get(a)) {
    entries = count_of(a);
  } else if (json::object o; !vocab->get_object().get(o)) {
    entries = count_of(o);
  }
  std::optional<json::array> added;
  if (auto field = json::field(root, "added_tokens"); field && !field->is_null()) {
    MAVE_ASSIGN_OR_RETURN(added, json::as_array(*field, "added_tokens"));
    entries += count_of(*added);
  }
  TokenSlots slots(entries);
  MAVE_TRY(read_model_vocab(*vocab, unigram, slots));
  if (added) MAVE_TRY(read_added_tokens(*added, slots));
  MAVE_ASSIGN_OR_RETURN(std::vector<std::string_view> tokens, std::move(slots).tokens());
  if (tokens.size() > std::numeric_limits<std::uint32_t>::max()) {
    return EmbeddingsError::overflow(Step::ReadVocabularyLength);
  }

  out.median_chars = median_chars(tokens);
  std::size_t bytes = 0;
  for (std::string_view t : tokens) bytes += t.size();
  out.tokens.reserve(tokens.size(), bytes);
  for (std::string_view t : tokens) out.tokens.push_back(t);
  // Encoding reads the table by id; only lookups by a token's text need the
  // index, a fifth of the loading time of a large vocabulary: the first one
  // builds it. A text at two ids is found at the last, as the tokenizers
  // package's token_to_id finds it.
  out.tokens.defer_index();

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
      // Its last id, as a lookup would find it; by a scan, which leaves the
      // index unbuilt.
      for (std::size_t i = tokens.size(); i-- > 0;) {
        if (tokens[i] == token) {
          out.unknown_id = static_cast<std::uint32_t>(i);
          break;
        }
      }
    }
  }
  return out;
}

}  // namespace mave
