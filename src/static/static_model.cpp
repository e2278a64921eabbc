#include "static/static_model.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>
#include <vector>

#include "base/endian.hpp"
#include "format/mapped_table.hpp"
#include "static/json.hpp"
#include "static/token_vocab.hpp"

namespace mave {
namespace {

constexpr std::size_t kDefaultMaxLength = 512;

std::string join(const std::string& folder, std::string_view name) {
  if (name.empty() || name == ".") return folder;
  std::string out = folder;
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

bool is_regular_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

EmbeddingsError fault(StaticFault f, std::string_view name = {}, std::uint64_t expected = 0,
                      std::uint64_t found = 0) {
  return EmbeddingsError::static_model(f, std::string(name), expected, found);
}

FileFailure failure(const std::string& path, EmbeddingsError error) {
  return FileFailure{path, std::move(error)};
}

// Where a layout keeps its files, and what its configuration says.
struct Plan {
  StaticLayout layout;
  std::string dir;  // tokenizer.json and model.safetensors
  StaticSettings settings;
  // The table's name in the layout, then the other one (sentence-transformers
  // reads Model2Vec's name too).
  std::string_view table_names[2];
};

// A JSON file of the folder, parsed; the text lives in `text`.
Result<json::element, FileFailure> read_json(const std::string& path, simdjson::padded_string& text,
                                             simdjson::dom::parser& parser) {
  auto read = json::read_text(path);
  if (!read.ok()) return failure(path, std::move(read).error());
  text = std::move(read).value();
  auto root = json::parse(parser, std::string_view(text.data(), text.size()), /*padded=*/true);
  if (!root.ok()) return failure(path, std::move(root).error());
  return root.value();
}

// Model2Vec's config.json: "normalize" (false when absent or null) and
// "max_length" (512 when absent, no limit when null).
Result<StaticSettings> model2vec_settings(json::element root) {
  StaticSettings settings;
  MAVE_ASSIGN_OR_RETURN(json::object config, json::as_object(root, ""));
  if (auto normalize = json::field(config, "normalize"); normalize && !normalize->is_null()) {
    if (normalize->get_bool().get(settings.normalize)) {
      return json::bad_field("normalize", JsonKind::Bool);
    }
  }
  settings.max_length = kDefaultMaxLength;
  if (auto max_length = json::field(config, "max_length")) {
    if (max_length->is_null()) {
      settings.max_length.reset();
    } else {
      std::uint64_t n;
      if (max_length->get_uint64().get(n)) return json::bad_field("max_length", JsonKind::CountOrNull);
      settings.max_length =
          static_cast<std::size_t>(std::min<std::uint64_t>(n, std::numeric_limits<std::size_t>::max()));
    }
  }
  return settings;
}

// modules.json: the StaticEmbedding module's folder, and whether a Normalize
// module follows.
Result<Plan> modules_plan(const std::string& folder, json::element root) {
  MAVE_ASSIGN_OR_RETURN(json::array modules, json::as_array(root, ""));
  std::optional<std::string> dir;
  bool normalize = false;
  for (json::element module : modules) {
    MAVE_ASSIGN_OR_RETURN(json::object fields, json::as_object(module, "modules"));
    auto type_field = json::field(fields, "type");
    if (!type_field) return json::missing_field("type");
    MAVE_ASSIGN_OR_RETURN(std::string_view type, json::as_string(*type_field, "type"));
    if (type.ends_with("StaticEmbedding") && !dir) {
      std::string_view path;
      if (auto path_field = json::field(fields, "path")) {
        MAVE_ASSIGN_OR_RETURN(path, json::as_string(*path_field, "path"));
      }
      dir = join(folder, path);
    } else if (type.ends_with("Normalize")) {
      normalize = true;
    }
  }
  if (!dir) return fault(StaticFault::NoStaticModule);
  Plan plan{StaticLayout::SentenceTransformersModules, *dir, {}, {"embedding.weight", "embeddings"}};
  plan.settings.normalize = normalize;
  return plan;
}

Result<Plan, FileFailure> find_layout(const std::string& folder) {
  simdjson::dom::parser parser;
  simdjson::padded_string text;
  const std::string config = join(folder, "config.json");
  auto model2vec = [&]() -> Result<Plan, FileFailure> {
    auto root = read_json(config, text, parser);
    if (!root.ok()) return std::move(root).error();
    auto settings = model2vec_settings(root.value());
    if (!settings.ok()) return failure(config, std::move(settings).error());
    return Plan{StaticLayout::Model2Vec, folder, settings.value(), {"embeddings", "embedding.weight"}};
  };
  // Model2Vec writes a modules.json too (naming the root as the module's
  // folder); its config.json holds the settings.
  if (is_regular_file(config) && is_regular_file(join(folder, "model.safetensors"))) {
    return model2vec();
  }
  const std::string modules = join(folder, "modules.json");
  if (is_regular_file(modules)) {
    auto root = read_json(modules, text, parser);
    if (!root.ok()) return std::move(root).error();
    auto plan = modules_plan(folder, root.value());
    if (!plan.ok()) return failure(modules, std::move(plan).error());
    return std::move(plan).value();
  }
  if (is_regular_file(join(folder, "config_sentence_transformers.json"))) {
    return Plan{StaticLayout::SentenceTransformers, folder, {}, {"embedding.weight", "embeddings"}};
  }
  if (is_directory(join(folder, "0_StaticEmbedding"))) {
    return Plan{StaticLayout::SentenceTransformersModules,
                join(folder, "0_StaticEmbedding"),
                {},
                {"embedding.weight", "embeddings"}};
  }
  // config.json alone: a Model2Vec folder missing a file, which the loading
  // of that file names.
  if (is_regular_file(config)) return model2vec();
  return failure(folder, fault(StaticFault::NoModelFiles));
}

// --- The tensors ---------------------------------------------------------

Result<const TensorInfo*> tensor_of_rank(const SafetensorsHeader& header, std::string_view name,
                                         std::size_t rank) {
  const TensorInfo* t = header.find(name);
  if (t == nullptr) return fault(StaticFault::MissingTensor, name);
  if (t->shape.size() != rank) return fault(StaticFault::BadRank, name, rank, t->shape.size());
  return t;
}

// The mapping's values as rows of the table, each checked.
Result<std::vector<std::uint32_t>> read_mapping(const File& file, const SafetensorsHeader& header,
                                                const TensorInfo& t, std::size_t table_rows) {
  const TensorDtype d = t.dtype;
  if (d != TensorDtype::I64 && d != TensorDtype::I32 && d != TensorDtype::U64 && d != TensorDtype::U32) {
    return fault(StaticFault::UnusableDtype, t.name, 0, static_cast<std::uint64_t>(d));
  }
  // Rows are kept as 32-bit numbers; a larger table (possible only with
  // zero-width rows) cannot be mapped into.
  if (table_rows > std::numeric_limits<std::uint32_t>::max()) {
    return fault(StaticFault::ShapeOverflow, t.name);
  }
  MAVE_ASSIGN_OR_RETURN(Mapping bytes, map_tensor(file, header, t));
  const std::size_t n = static_cast<std::size_t>(t.shape[0]);
  std::vector<std::uint32_t> rows(n);
  const std::byte* p = bytes.data();
  for (std::size_t i = 0; i < n; ++i) {
    // Signed values below zero become huge unsigned ones: out of range too.
    std::uint64_t v = 0;
    switch (d) {
      case TensorDtype::I64:
        v = static_cast<std::uint64_t>(load_le<std::int64_t>(p + 8 * i));
        break;
      case TensorDtype::U64:
        v = load_le<std::uint64_t>(p + 8 * i);
        break;
      case TensorDtype::I32:
        v = static_cast<std::uint64_t>(static_cast<std::int64_t>(load_le<std::int32_t>(p + 4 * i)));
        break;
      default:
        v = load_le<std::uint32_t>(p + 4 * i);
        break;
    }
    if (v >= table_rows) {
      return fault(StaticFault::MappingOutOfRange, std::to_string(i), table_rows, v);
    }
    rows[i] = static_cast<std::uint32_t>(v);
  }
  return rows;
}

Result<std::vector<float>> read_weights(const File& file, const SafetensorsHeader& header,
                                        const TensorInfo& t) {
  const TensorDtype d = t.dtype;
  if (d != TensorDtype::F32 && d != TensorDtype::F64 && d != TensorDtype::F16 && d != TensorDtype::BF16) {
    return fault(StaticFault::UnusableDtype, t.name, 0, static_cast<std::uint64_t>(d));
  }
  MAVE_ASSIGN_OR_RETURN(Mapping bytes, map_tensor(file, header, t));
  const std::size_t n = static_cast<std::size_t>(t.shape[0]);
  std::vector<float> weights(n);
  const std::byte* p = bytes.data();
  for (std::size_t i = 0; i < n; ++i) {
    switch (d) {
      case TensorDtype::F32:
        weights[i] = load_le<float>(p + 4 * i);
        break;
      case TensorDtype::F64:
        weights[i] = static_cast<float>(load_le<double>(p + 8 * i));
        break;
      case TensorDtype::F16:
        weights[i] = float_from_f16(load_le<std::uint16_t>(p + 2 * i));
        break;
      default:
        weights[i] = float_from_bf16(load_le<std::uint16_t>(p + 2 * i));
        break;
    }
  }
  return weights;
}

std::optional<TableElement> table_element(TensorDtype d) {
  switch (d) {
    case TensorDtype::F32:
      return TableElement::F32;
    case TensorDtype::F16:
      return TableElement::F16;
    case TensorDtype::BF16:
      return TableElement::BF16;
    case TensorDtype::I8:
      return TableElement::I8;
    default:
      return std::nullopt;
  }
}

}  // namespace

Result<Storage> read_token_table(const File& file, std::uint64_t file_size,
                                 const std::string_view (&table_names)[2], std::size_t n_tokens,
                                 StaticFacts* facts) {
  // The reader works on a duplicate descriptor, so that `file` stays open
  // for the mappings.
  const int fd = ::dup(file.fd());
  if (fd < 0) return EmbeddingsError::read(Step::OpenFile, IoError::os(errno));
  BufferedReader reader{File(fd)};
  MAVE_ASSIGN_OR_RETURN(SafetensorsHeader header, read_safetensors_header(reader, file_size));

  const TensorInfo* table = header.find(table_names[0]);
  if (table == nullptr) table = header.find(table_names[1]);
  if (table == nullptr) return fault(StaticFault::MissingTensor, table_names[0]);
  if (table->shape.size() != 2) return fault(StaticFault::BadRank, table->name, 2, table->shape.size());
  const std::optional<TableElement> element = table_element(table->dtype);
  if (!element) {
    return fault(StaticFault::UnusableDtype, table->name, 0, static_cast<std::uint64_t>(table->dtype));
  }
  const std::size_t table_rows = static_cast<std::size_t>(table->shape[0]);
  const std::size_t cols = static_cast<std::size_t>(table->shape[1]);

  const bool has_mapping = header.find("mapping") != nullptr;
  std::vector<std::uint32_t> token_rows;
  if (has_mapping) {
    MAVE_ASSIGN_OR_RETURN(const TensorInfo* mapping, tensor_of_rank(header, "mapping", 1));
    if (mapping->shape[0] != n_tokens) {
      return fault(StaticFault::RowsMismatch, "mapping", n_tokens, mapping->shape[0]);
    }
    MAVE_ASSIGN_OR_RETURN(token_rows, read_mapping(file, header, *mapping, table_rows));
  } else if (table_rows != n_tokens) {
    return fault(StaticFault::RowsMismatch, table->name, n_tokens, table_rows);
  }
  const bool has_weights = header.find("weights") != nullptr;
  std::vector<float> weights;
  if (has_weights) {
    MAVE_ASSIGN_OR_RETURN(const TensorInfo* w, tensor_of_rank(header, "weights", 1));
    if (w->shape[0] != n_tokens) {
      return fault(StaticFault::RowsMismatch, "weights", n_tokens, w->shape[0]);
    }
    MAVE_ASSIGN_OR_RETURN(weights, read_weights(file, header, *w));
  }
  if (facts != nullptr) {
    facts->dtype = table->dtype;
    facts->has_mapping = has_mapping;
    facts->has_weights = has_weights;
  }

  MAVE_ASSIGN_OR_RETURN(Mapping values, map_tensor(file, header, *table));
  const bool aligned = (header.data_offset + table->begin) % sizeof(float) == 0;
  if (*element == TableElement::F32 && aligned && !has_mapping && !has_weights) {
    return Storage(MappedNdArray(table_rows, cols, std::move(values)));
  }
  // A mapping of no tokens reads no row: the table stands for no tokens.
  if (has_mapping && token_rows.empty()) {
    return Storage(MappedTable(*element, 0, cols, Mapping(), {}, {}));
  }
  return Storage(
      MappedTable(*element, table_rows, cols, std::move(values), std::move(token_rows), std::move(weights)));
}

namespace {

// The table of `n_tokens` rows in the file at `path`.
Result<Storage> load_table(const std::string& path, const Plan& plan, std::size_t n_tokens,
                           StaticFacts* facts) {
  auto opened = File::open_read(path);
  if (!opened.ok()) return EmbeddingsError::read(Step::OpenFile, opened.error());
  const File file = std::move(opened).value();
  const std::optional<std::uint64_t> size = file.regular_size();
  if (!size) {
    return EmbeddingsError::read(Step::ReadSafetensorsHeader,
                                 IoError::message(ErrorKind::Unsupported, IoMessage::MapNotRegularFile));
  }
  return read_token_table(file, *size, plan.table_names, n_tokens, facts);
}

}  // namespace

const Result<Tokenizer, FileFailure>& LazyTokenizer::get() const {
  std::call_once(once_, [this] {
    auto text = json::read_text(path_);
    if (!text.ok()) {
      result_.emplace(FileFailure{path_, std::move(text).error()});
      return;
    }
    auto parsed = Tokenizer::parse(std::string_view(text.value().data(), text.value().size()));
    if (!parsed.ok()) {
      result_.emplace(FileFailure{path_, std::move(parsed).error()});
      return;
    }
    result_.emplace(std::move(parsed).value());
  });
  return *result_;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<StaticModel, FileFailure> load_static_model(const std::string& folder) {
  auto found = find_layout(folder);
  if (!found.ok()) return std::move(found).error();
  const Plan plan = std::move(found).value();
  const std::string tokenizer_path = join(plan.dir, "tokenizer.json");
  const std::string tensors_path = join(plan.dir, "model.safetensors");

  auto text = json::read_text(tokenizer_path);
  if (!text.ok()) return failure(tokenizer_path, std::move(text).error());
  auto vocab = parse_token_vocab(std::string_view(text.value().data(), text.value().size()),
                                 /*padded=*/true);
  if (!vocab.ok()) return failure(tokenizer_path, std::move(vocab).error());
  text = simdjson::padded_string();  // the text is not needed past the vocabulary

  StaticFacts facts;
  facts.settings = plan.settings;
  facts.settings.unknown_id = vocab.value().unknown_id;
  facts.settings.chars_per_token = vocab.value().median_chars;
  facts.layout = plan.layout;
  facts.tokenizer_path = tokenizer_path;
  facts.tensors_path = tensors_path;
  facts.tokenizer_model = vocab.value().model_type;
  facts.tokenizer = std::make_shared<const LazyTokenizer>(tokenizer_path);
  const std::size_t n_tokens = vocab.value().tokens.size();
  auto storage = load_table(tensors_path, plan, n_tokens, &facts);
  if (!storage.ok()) return failure(tensors_path, std::move(storage).error());
  return StaticModel{Embeddings::unchecked(std::nullopt, Vocab(SimpleVocab{std::move(vocab.value().tokens)}),
                                           std::move(storage).value(), std::nullopt),
                     std::move(facts)};
}

}  // namespace mave
