#include "api/index_state.h"

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quantizer_test_sets.h"
#include "index_state_generated.h"

namespace nivora {
namespace {

using internal::vector_index::Codebook;
using internal::vector_index::QuantizerSet;
using internal::vector_index::SQQuantizer;
using internal::testing::ExpectSameSets;

constexpr char kInvalid[] = "Could not deserialize index config: buffer is invalid";

Codebook RandomCodebook(size_t rows, size_t cols, std::mt19937& rng) {
  std::uniform_real_distribution<float> dist(-3.0f, 3.0f);
  Codebook codebook;
  codebook.k = static_cast<int32_t>(rows);
  codebook.centroids = Array2D<float>(rows, cols);
  for (size_t i = 0; i < rows * cols; ++i) codebook.centroids.data[i] = dist(rng);
  return codebook;
}

// The quantizers a trained index of config holds.
QuantizerSet TrainedSet(const IndexConfig& config, uint32_t seed = 1) {
  std::mt19937 rng(seed);
  QuantizerSet set;
  const size_t d = config.dimension();
  set.centroids.push_back(RandomCodebook(config.n_lists(), d, rng));
  for (size_t i = 0; i < config.pq_dim(); ++i) {
    set.pq_codebooks.push_back(RandomCodebook(size_t{1} << config.pq_bits(), d / config.pq_dim(), rng));
  }
  if (config.index_type_ == IndexType::IVFSQ) {
    SQQuantizer& sq = set.sq_quantizers.emplace_back();
    sq.bits = static_cast<int32_t>(config.sq_bits());
    std::uniform_real_distribution<float> dist(0.01f, 2.0f);
    for (size_t i = 0; i < d; ++i) {
      sq.min.push_back(-dist(rng));
      sq.scale.push_back(dist(rng));
    }
  }
  return set;
}

std::unique_ptr<IndexConfig> Config(IndexType type, size_t d, size_t n_lists) {
  std::unique_ptr<IndexConfig> config;
  switch (type) {
    case IndexType::IVF:
      config = std::make_unique<IndexIVF>(d, DistanceMetric::Cosine, "model-a");
      break;
    case IndexType::IVFFLAT:
      config = std::make_unique<IndexIVFFlat>(d, DistanceMetric::Euclidean, std::string());
      break;
    case IndexType::IVFPQ:
      config = std::make_unique<IndexIVFPQ>(d, DistanceMetric::SquaredEuclidean, std::nullopt,
                                            d / 4, 4);
      break;
    case IndexType::IVFSQ:
      config = std::make_unique<IndexIVFSQ>(d, DistanceMetric::Cosine, "m", 16);
      break;
  }
  config->set_n_lists(n_lists);
  return config;
}

// Whether the root table of buffer carries the field at vtable offset vt.
template <typename TableType>
bool HasField(const TableType* table, flatbuffers::voffset_t vt) {
  return reinterpret_cast<const flatbuffers::Table*>(table)->CheckField(vt);
}

TEST(IndexStateTest, TrainedStateRoundTripsPerIndexType) {
  for (IndexType type : {IndexType::IVF, IndexType::IVFFLAT, IndexType::IVFPQ, IndexType::IVFSQ}) {
    SCOPED_TRACE(static_cast<int>(type));
    const auto config = Config(type, 32, 17);
    const QuantizerSet set = TrainedSet(*config);
    const std::vector<uint8_t> bytes = SerializeIndexState("docs", *config, set, true, 5);
    const IndexState state = DeserializeIndexState(bytes);

    EXPECT_EQ(state.index_name, "docs");
    EXPECT_TRUE(state.trained);
    EXPECT_EQ(state.quantizer_version, 5);
    EXPECT_EQ(state.stamp(), (internal::QuantizerStamp{true, 5, 17}));
    ASSERT_NE(state.config, nullptr);
    EXPECT_EQ(state.config->index_type_, type);
    EXPECT_EQ(state.config->metric_, config->metric_);
    EXPECT_EQ(state.config->dimension(), 32u);
    EXPECT_EQ(state.config->n_lists(), 17u);
    EXPECT_EQ(state.config->pq_dim(), config->pq_dim());
    EXPECT_EQ(state.config->pq_bits(), config->pq_bits());
    EXPECT_EQ(state.config->sq_bits(), config->sq_bits());
    EXPECT_EQ(state.config->embedding_model_, config->embedding_model_);
    ExpectSameSets(state.quantizers, set);
  }
}

TEST(IndexStateTest, NewIndexWritesOnlyWhatDiffersFromDefaults) {
  // Dimension and pq_dim not yet known; nothing trained.
  IndexIVFPQ config(0, DistanceMetric::Euclidean, std::string(), 0, 8);
  const std::vector<uint8_t> bytes = SerializeIndexState("fresh", config, QuantizerSet(), false, 0);

  const auto* root = fb::GetIndexStateTable(bytes.data());
  EXPECT_FALSE(HasField(root, fb::IndexStateTable::VT_TRAINED));
  EXPECT_FALSE(HasField(root, fb::IndexStateTable::VT_QUANTIZER_VERSION));
  EXPECT_FALSE(HasField(root->index_config(), fb::IndexConfigTable::VT_DIMENSION));
  EXPECT_FALSE(HasField(root->index_config(), fb::IndexConfigTable::VT_PQ_DIM));
  EXPECT_FALSE(HasField(root->index_config(), fb::IndexConfigTable::VT_SQ_BITS));
  EXPECT_EQ(root->index_config()->index_type()->str(), "IVFPQ");
  EXPECT_EQ(root->index_config()->metric()->str(), "Euclidean");
  ASSERT_NE(root->quantizers(), nullptr);
  ASSERT_NE(root->quantizers()->centroids(), nullptr);
  EXPECT_EQ(root->quantizers()->centroids()->size(), 0u);
  ASSERT_NE(root->quantizers()->pq_codebooks(), nullptr);
  ASSERT_NE(root->quantizers()->sq_quantizers(), nullptr);

  const IndexState state = DeserializeIndexState(bytes);
  EXPECT_FALSE(state.trained);
  EXPECT_EQ(state.quantizer_version, 0);
  EXPECT_TRUE(state.quantizers.centroids.empty());
  EXPECT_TRUE(state.quantizers.pq_codebooks.empty());
  EXPECT_TRUE(state.quantizers.sq_quantizers.empty());
  EXPECT_EQ(state.config->dimension(), 0u);
  EXPECT_EQ(state.config->pq_dim(), 0u);
  EXPECT_EQ(state.config->pq_bits(), 8u);
  EXPECT_EQ(state.config->n_lists(), 1u);
  ASSERT_TRUE(state.config->embedding_model_.has_value());
  EXPECT_EQ(*state.config->embedding_model_, "");
}

TEST(IndexStateTest, AbsentModelAndListCountReadBackAsAbsentAndZero) {
  IndexIVF config(8, DistanceMetric::Cosine, std::nullopt);
  config.set_n_lists(0);
  const IndexState state = DeserializeIndexState(SerializeIndexState("x", config, {}, false, -3));
  EXPECT_FALSE(state.config->embedding_model_.has_value());
  EXPECT_EQ(state.config->n_lists(), 0u) << "absent n_lists is 0, not the class default";
  EXPECT_EQ(state.quantizer_version, -3);
}

std::string WriteError(const IndexConfig& config) {
  try {
    SerializeIndexState("x", config, {}, false, 0);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "no error";
}

TEST(IndexStateTest, WriterRefusesCodesOutsideTheirRange) {
  IndexIVF bad_type(8);
  bad_type.index_type_ = static_cast<IndexType>(7);
  EXPECT_EQ(WriteError(bad_type), "Unknown index type");
  IndexIVF bad_metric(8);
  bad_metric.metric_ = static_cast<DistanceMetric>(3);
  EXPECT_EQ(WriteError(bad_metric), "Unknown distance metric");
  IndexIVF too_wide(size_t{1} << 33);
  EXPECT_EQ(WriteError(too_wide), "Index state value too large to store");
}

// A hand-built state, for tables the writer never produces.
struct RawState {
  const char* index_type = "IVF";
  const char* metric = "Euclidean";
  bool with_name = true;
  bool with_config = true;
  bool with_model = true;
  bool codebook_without_data = false;
};

std::vector<uint8_t> BuildRaw(const RawState& raw) {
  flatbuffers::FlatBufferBuilder b;
  const auto type = b.CreateString(raw.index_type);
  const auto metric = b.CreateString(raw.metric);
  const auto model = b.CreateString("");
  fb::IndexConfigTableBuilder config(b);
  if (raw.with_model) config.add_embedding_model(model);
  config.add_n_lists(1);
  config.add_metric(metric);
  config.add_dimension(2);
  config.add_index_type(type);
  const auto config_offset = config.Finish();
  std::vector<flatbuffers::Offset<fb::CodebookTable>> coarse;
  if (raw.codebook_without_data) {
    fb::CodebookTableBuilder codebook(b);
    codebook.add_cols(2);
    codebook.add_k(1);
    coarse.push_back(codebook.Finish());
  }
  const auto coarse_vector = b.CreateVector(coarse);
  fb::QuantizerSetTableBuilder set(b);
  set.add_centroids(coarse_vector);
  const auto set_offset = set.Finish();
  const auto name = b.CreateString("raw");
  fb::IndexStateTableBuilder state(b);
  state.add_quantizers(set_offset);
  if (raw.with_config) state.add_index_config(config_offset);
  if (raw.with_name) state.add_index_name(name);
  state.add_trained(raw.codebook_without_data);
  b.Finish(state.Finish());
  return {b.GetBufferPointer(), b.GetBufferPointer() + b.GetSize()};
}

std::string ReadError(const std::vector<uint8_t>& bytes) {
  try {
    DeserializeIndexState(bytes);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "no error";
}

TEST(IndexStateTest, ConfigurationStringsMatchExactly) {
  EXPECT_EQ(ReadError(BuildRaw({})), "no error");
  EXPECT_EQ(ReadError(BuildRaw({.index_type = "ivf"})), "Unknown index type");
  EXPECT_EQ(ReadError(BuildRaw({.index_type = "IVFX"})), "Unknown index type");
  EXPECT_EQ(ReadError(BuildRaw({.metric = "cosine"})), "Unknown distance metric");
  EXPECT_EQ(ReadError(BuildRaw({.index_type = "ivfsq", .metric = "L2"})), "Unknown index type");
  RawState without_model;
  without_model.with_model = false;
  EXPECT_FALSE(DeserializeIndexState(BuildRaw(without_model)).config->embedding_model_);
}

TEST(IndexStateTest, BrokenBuffersAreRefused) {
  const auto config = Config(IndexType::IVFSQ, 16, 4);
  const std::vector<uint8_t> good =
      SerializeIndexState("docs", *config, TrainedSet(*config), true, 1);

  EXPECT_EQ(ReadError({}), "Could not deserialize index config: buffer is empty");
  for (size_t n = 1; n < 12; ++n) {
    EXPECT_EQ(ReadError(std::vector<uint8_t>(good.begin(), good.begin() + n)), kInvalid) << n;
  }
  for (size_t n : {good.size() / 4, good.size() / 2, good.size() - 4}) {
    EXPECT_EQ(ReadError(std::vector<uint8_t>(good.begin(), good.begin() + n)), kInvalid) << n;
  }
  std::vector<uint8_t> root_outside = good;
  const uint32_t far = static_cast<uint32_t>(good.size() + 8);
  std::memcpy(root_outside.data(), &far, 4);
  EXPECT_EQ(ReadError(root_outside), kInvalid);
  std::vector<uint8_t> zero_root = good;
  std::memset(zero_root.data(), 0, 4);
  EXPECT_EQ(ReadError(zero_root), kInvalid);
  std::mt19937 rng(7);
  for (int i = 0; i < 50; ++i) {
    std::vector<uint8_t> garbage(64 + i);
    for (uint8_t& byte : garbage) byte = static_cast<uint8_t>(rng());
    const std::string error = ReadError(garbage);
    EXPECT_TRUE(error == kInvalid || error == "Unknown index type" ||
                error == "Unknown distance metric")
        << error;
  }

  RawState no_name;
  no_name.with_name = false;
  EXPECT_EQ(ReadError(BuildRaw(no_name)), kInvalid);
  RawState no_config;
  no_config.with_config = false;
  EXPECT_EQ(ReadError(BuildRaw(no_config)), kInvalid);
  RawState no_data;
  no_data.codebook_without_data = true;
  EXPECT_EQ(ReadError(BuildRaw(no_data)), kInvalid);
}

TEST(IndexStateTest, QuantizersWhoseShapesDifferFromTheConfigurationAreRefused) {
  struct Case {
    const char* name;
    IndexType type;
    bool trained;
    std::function<void(IndexConfig&, QuantizerSet&)> spoil;
  };
  const std::vector<Case> cases = {
      {"untrained with a coarse codebook", IndexType::IVF, false,
       [](IndexConfig&, QuantizerSet&) {}},
      {"trained without quantizers", IndexType::IVFFLAT, true,
       [](IndexConfig&, QuantizerSet& s) { s = QuantizerSet(); }},
      {"k differs from n_lists", IndexType::IVF, true,
       [](IndexConfig&, QuantizerSet& s) { s.centroids[0].k = 3; }},
      {"rows differ from n_lists", IndexType::IVF, true,
       [](IndexConfig& c, QuantizerSet& s) {
         c.set_n_lists(5);
         s.centroids[0].k = 5;
       }},
      {"columns differ from the dimension", IndexType::IVFFLAT, true,
       [](IndexConfig& c, QuantizerSet&) { c.dimension_ = 8; }},
      {"trained with dimension 0", IndexType::IVF, true,
       [](IndexConfig& c, QuantizerSet&) { c.dimension_ = 0; }},
      {"two coarse codebooks", IndexType::IVF, true,
       [](IndexConfig&, QuantizerSet& s) { s.centroids.push_back(s.centroids[0].Clone()); }},
      {"PQ codebooks on IVFFLAT", IndexType::IVFFLAT, true,
       [](IndexConfig&, QuantizerSet& s) { s.pq_codebooks.push_back(s.centroids[0].Clone()); }},
      {"SQ quantizer on IVF", IndexType::IVF, true,
       [](IndexConfig&, QuantizerSet& s) { s.sq_quantizers.emplace_back(); }},
      {"one PQ codebook missing", IndexType::IVFPQ, true,
       [](IndexConfig&, QuantizerSet& s) { s.pq_codebooks.pop_back(); }},
      {"PQ codebook of the wrong size", IndexType::IVFPQ, true,
       [](IndexConfig& c, QuantizerSet&) { static_cast<IndexIVFPQ&>(c).pq_bits_ = 5; }},
      {"pq_dim not dividing the dimension", IndexType::IVFPQ, true,
       [](IndexConfig& c, QuantizerSet&) { static_cast<IndexIVFPQ&>(c).pq_dim_ = 3; }},
      {"pq_bits above 16", IndexType::IVFPQ, true,
       [](IndexConfig& c, QuantizerSet&) { static_cast<IndexIVFPQ&>(c).pq_bits_ = 40; }},
      {"SQ bits differ from the configuration", IndexType::IVFSQ, true,
       [](IndexConfig&, QuantizerSet& s) { s.sq_quantizers[0].bits = 8; }},
      {"SQ bits neither 8 nor 16", IndexType::IVFSQ, true,
       [](IndexConfig& c, QuantizerSet& s) {
         static_cast<IndexIVFSQ&>(c).sq_bits_ = 12;
         s.sq_quantizers[0].bits = 12;
       }},
      {"SQ ranges shorter than the dimension", IndexType::IVFSQ, true,
       [](IndexConfig&, QuantizerSet& s) { s.sq_quantizers[0].min.pop_back(); }},
      {"SQ quantizer missing", IndexType::IVFSQ, true,
       [](IndexConfig&, QuantizerSet& s) { s.sq_quantizers.clear(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto config = Config(c.type, 16, 4);
    QuantizerSet set = TrainedSet(*config);
    c.spoil(*config, set);
    EXPECT_EQ(ReadError(SerializeIndexState("docs", *config, set, c.trained, 1)), kInvalid);
  }
}

}  // namespace
}  // namespace nivora
