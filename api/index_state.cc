#include "api/index_state.h"

#include <openssl/crypto.h>

#include <cstring>
#include <limits>
#include <stdexcept>

#include "index_state_generated.h"

namespace nivora {
namespace {

using internal::vector_index::Codebook;
using internal::vector_index::QuantizerSet;
using internal::vector_index::SQQuantizer;

static_assert(FLATBUFFERS_LITTLEENDIAN, "stored floats are copied in place");

constexpr size_t kMinBufferSize = 12;  // root offset, vtable, table
constexpr uint32_t kMaxPQBits = 16;

const char* const kIndexTypeNames[] = {"IVF", "IVFPQ", "IVFFLAT", "IVFSQ"};
const char* const kMetricNames[] = {"Cosine", "Euclidean", "SquaredEuclidean"};

[[noreturn]] void ThrowInvalid() {
  throw std::invalid_argument("Could not deserialize index config: buffer is invalid");
}

// Builder storage that is wiped before it is given back: the buffer holds
// plaintext quantizers.
class WipingAllocator : public flatbuffers::Allocator {
 public:
  uint8_t* allocate(size_t size) override { return std::allocator<uint8_t>().allocate(size); }
  void deallocate(uint8_t* p, size_t size) override {
    OPENSSL_cleanse(p, size);
    std::allocator<uint8_t>().deallocate(p, size);
  }
};

uint32_t Narrow(size_t value) {
  if (value > std::numeric_limits<uint32_t>::max()) {
    throw std::invalid_argument("Index state value too large to store");
  }
  return static_cast<uint32_t>(value);
}

flatbuffers::Offset<fb::CodebookTable> WriteCodebook(flatbuffers::FlatBufferBuilder& builder,
                                                     const Codebook& codebook) {
  static const float kNoValues[1] = {0.0f};  // never read: an empty vector copies nothing
  const size_t count = codebook.centroids.size();
  const auto data = builder.CreateVector(count == 0 ? kNoValues : codebook.centroids.data, count);
  fb::CodebookTableBuilder table(builder);
  table.add_data(data);
  table.add_cols(Narrow(codebook.centroids.cols));
  table.add_k(codebook.k);
  return table.Finish();
}

std::vector<flatbuffers::Offset<fb::CodebookTable>> WriteCodebooks(
    flatbuffers::FlatBufferBuilder& builder, const std::vector<Codebook>& codebooks) {
  std::vector<flatbuffers::Offset<fb::CodebookTable>> tables;
  tables.reserve(codebooks.size());
  for (const Codebook& codebook : codebooks) tables.push_back(WriteCodebook(builder, codebook));
  return tables;
}

flatbuffers::Offset<fb::SQQuantizerTable> WriteSQQuantizer(flatbuffers::FlatBufferBuilder& builder,
                                                           const SQQuantizer& sq) {
  const auto min = builder.CreateVector(sq.min);
  const auto scale = builder.CreateVector(sq.scale);
  fb::SQQuantizerTableBuilder table(builder);
  table.add_scale(scale);
  table.add_min(min);
  table.add_dimension(static_cast<int32_t>(Narrow(sq.min.size())));
  table.add_bits(sq.bits);
  return table.Finish();
}

// Exact, case-sensitive match of a stored name; -1 when none.
template <size_t N>
int MatchName(const flatbuffers::String* stored, const char* const (&names)[N]) {
  if (stored == nullptr) return -1;
  for (size_t i = 0; i < N; ++i) {
    if (stored->string_view() == names[i]) return static_cast<int>(i);
  }
  return -1;
}

const fb::IndexStateTable* VerifiedRoot(const std::vector<uint8_t>& buffer) {
  if (buffer.empty()) {
    throw std::invalid_argument("Could not deserialize index config: buffer is empty");
  }
  if (buffer.size() < kMinBufferSize || buffer.size() >= FLATBUFFERS_MAX_BUFFER_SIZE) {
    ThrowInvalid();
  }
  flatbuffers::Verifier verifier(buffer.data(), buffer.size(), flatbuffers::Verifier::Options());
  if (!fb::VerifyIndexStateTableBuffer(verifier)) ThrowInvalid();
  return fb::GetIndexStateTable(buffer.data());
}

// The codebook of a stored table, checked against the expected shape.
Codebook ReadCodebook(const fb::CodebookTable* table, size_t rows, size_t cols) {
  const flatbuffers::Vector<float>* data = table->data();
  if (data == nullptr || static_cast<uint32_t>(table->k()) != rows || table->cols() != cols ||
      data->size() != rows * cols) {
    ThrowInvalid();
  }
  Codebook codebook;
  codebook.k = table->k();
  codebook.centroids = Array2D<float>(rows, cols);
  std::memcpy(codebook.centroids.data, data->data(), rows * cols * sizeof(float));
  return codebook;
}

size_t CountOf(const auto* vector) { return vector == nullptr ? 0 : vector->size(); }

// The quantizers a trained index of config must hold, read from table;
// an untrained index must hold none.
QuantizerSet ReadQuantizers(const fb::QuantizerSetTable* table, const IndexConfig& config,
                            bool trained) {
  QuantizerSet set;
  // A set abandoned half-read still holds plaintext values.
  struct WipeUnlessKept {
    QuantizerSet& set;
    bool kept = false;
    ~WipeUnlessKept() {
      if (!kept) internal::WipeQuantizers(set);
    }
  } guard{set};
  const auto* coarse = table == nullptr ? nullptr : table->centroids();
  const auto* pq = table == nullptr ? nullptr : table->pq_codebooks();
  const auto* sq = table == nullptr ? nullptr : table->sq_quantizers();
  const bool is_pq = config.index_type_ == IndexType::IVFPQ;
  const bool is_sq = config.index_type_ == IndexType::IVFSQ;
  if (!trained) {
    if (CountOf(coarse) + CountOf(pq) + CountOf(sq) != 0) ThrowInvalid();
    guard.kept = true;
    return set;
  }
  const size_t dimension = config.dimension();
  const size_t n_lists = config.n_lists();
  if (dimension == 0 || n_lists == 0 || n_lists > uint32_t{INT32_MAX} || CountOf(coarse) != 1) {
    ThrowInvalid();
  }
  set.centroids.push_back(ReadCodebook(coarse->Get(0), n_lists, dimension));

  const size_t pq_dim = config.pq_dim();
  const size_t pq_bits = config.pq_bits();
  if (!is_pq) {
    if (CountOf(pq) != 0) ThrowInvalid();
  } else {
    if (pq_dim == 0 || dimension % pq_dim != 0 || pq_bits == 0 || pq_bits > kMaxPQBits ||
        CountOf(pq) != pq_dim) {
      ThrowInvalid();
    }
    set.pq_codebooks.reserve(pq_dim);
    for (const fb::CodebookTable* codebook : *pq) {
      set.pq_codebooks.push_back(ReadCodebook(codebook, size_t{1} << pq_bits, dimension / pq_dim));
    }
  }

  if (!is_sq) {
    if (CountOf(sq) != 0) ThrowInvalid();
  } else {
    if (CountOf(sq) != 1) ThrowInvalid();
    const fb::SQQuantizerTable* stored = sq->Get(0);
    if (stored->bits() != static_cast<int32_t>(config.sq_bits()) ||
        (stored->bits() != 8 && stored->bits() != 16) || CountOf(stored->min()) != dimension ||
        CountOf(stored->scale()) != dimension) {
      ThrowInvalid();
    }
    SQQuantizer& quantizer = set.sq_quantizers.emplace_back();
    quantizer.bits = stored->bits();
    quantizer.min.assign(stored->min()->begin(), stored->min()->end());
    quantizer.scale.assign(stored->scale()->begin(), stored->scale()->end());
  }
  guard.kept = true;
  return set;
}

}  // namespace

std::vector<uint8_t> SerializeIndexState(const std::string& index_name, const IndexConfig& config,
                                         const QuantizerSet& quantizers, bool trained,
                                         int32_t quantizer_version) {
  WipingAllocator allocator;
  flatbuffers::FlatBufferBuilder builder(1024, &allocator);

  const auto type_code = static_cast<int32_t>(config.index_type_);
  if (type_code < 0 || type_code > 3) throw std::invalid_argument("Unknown index type");
  const auto index_type = builder.CreateString(kIndexTypeNames[type_code]);
  const auto metric_code = static_cast<int32_t>(config.metric_);
  if (metric_code < 0 || metric_code > 2) throw std::invalid_argument("Unknown distance metric");
  const auto metric = builder.CreateString(kMetricNames[metric_code]);
  flatbuffers::Offset<flatbuffers::String> embedding_model;
  if (config.embedding_model_) embedding_model = builder.CreateString(*config.embedding_model_);

  const uint32_t dimension = Narrow(config.dimension());
  const uint32_t n_lists = Narrow(config.n_lists());
  const uint32_t pq_dim = Narrow(config.pq_dim());
  const uint32_t pq_bits = Narrow(config.pq_bits());
  const uint32_t sq_bits = Narrow(config.sq_bits());

  fb::IndexConfigTableBuilder config_table(builder);
  if (config.embedding_model_) config_table.add_embedding_model(embedding_model);
  config_table.add_sq_bits(sq_bits);
  config_table.add_pq_bits(pq_bits);
  config_table.add_pq_dim(pq_dim);
  config_table.add_n_lists(n_lists);
  config_table.add_metric(metric);
  config_table.add_dimension(dimension);
  config_table.add_index_type(index_type);
  const auto index_config = config_table.Finish();

  const auto coarse_tables = WriteCodebooks(builder, quantizers.centroids);
  const auto pq_tables = WriteCodebooks(builder, quantizers.pq_codebooks);
  std::vector<flatbuffers::Offset<fb::SQQuantizerTable>> sq_tables;
  sq_tables.reserve(quantizers.sq_quantizers.size());
  for (const SQQuantizer& sq : quantizers.sq_quantizers) {
    sq_tables.push_back(WriteSQQuantizer(builder, sq));
  }
  const auto coarse_vector = builder.CreateVector(coarse_tables);
  const auto pq_vector = builder.CreateVector(pq_tables);
  const auto sq_vector = builder.CreateVector(sq_tables);

  fb::QuantizerSetTableBuilder set_table(builder);
  set_table.add_centroids(coarse_vector);
  set_table.add_pq_codebooks(pq_vector);
  set_table.add_sq_quantizers(sq_vector);
  const auto set = set_table.Finish();

  const auto name = builder.CreateString(index_name);
  fb::IndexStateTableBuilder state(builder);
  state.add_quantizer_version(quantizer_version);
  state.add_quantizers(set);
  state.add_index_config(index_config);
  state.add_index_name(name);
  state.add_trained(trained);
  builder.Finish(state.Finish());
  return {builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize()};
}

IndexState DeserializeIndexState(const std::vector<uint8_t>& buffer) {
  const fb::IndexStateTable* root = VerifiedRoot(buffer);
  if (root->index_name() == nullptr || root->index_config() == nullptr) ThrowInvalid();
  IndexState state;
  state.index_name = root->index_name()->str();
  state.config = ReadIndexConfigTable(root->index_config());
  state.trained = root->trained();
  state.quantizer_version = root->quantizer_version();
  state.quantizers = ReadQuantizers(root->quantizers(), *state.config, state.trained);
  return state;
}

std::unique_ptr<IndexConfig> ReadIndexConfigTable(const fb::IndexConfigTable* table) {
  if (table == nullptr) ThrowInvalid();
  const int type = MatchName(table->index_type(), kIndexTypeNames);
  if (type < 0) throw std::invalid_argument("Unknown index type");
  const size_t dimension = table->dimension();
  const int metric_code = MatchName(table->metric(), kMetricNames);
  if (metric_code < 0) throw std::invalid_argument("Unknown distance metric");
  const auto metric = static_cast<DistanceMetric>(metric_code);
  std::optional<std::string> model;
  if (table->embedding_model() != nullptr) model = table->embedding_model()->str();

  std::unique_ptr<IndexConfig> config;
  switch (static_cast<IndexType>(type)) {
    case IndexType::IVF:
      config = std::make_unique<IndexIVF>(dimension, metric, model);
      break;
    case IndexType::IVFPQ:
      config = std::make_unique<IndexIVFPQ>(dimension, metric, model, table->pq_dim(),
                                            table->pq_bits());
      break;
    case IndexType::IVFFLAT:
      config = std::make_unique<IndexIVFFlat>(dimension, metric, model);
      break;
    case IndexType::IVFSQ:
      config = std::make_unique<IndexIVFSQ>(dimension, metric, model, table->sq_bits());
      break;
  }
  config->set_n_lists(table->n_lists());
  return config;
}

}  // namespace nivora
