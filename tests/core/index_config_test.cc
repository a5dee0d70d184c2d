#include "core/index_config.h"

#include <gtest/gtest.h>

#include "core/db_config.h"

namespace nivora {
namespace {

struct Expected {
  IndexType type;
  size_t pq_dim, pq_bits, sq_bits;
};

void ExpectSameConfig(const IndexConfig& a, const IndexConfig& b) {
  EXPECT_EQ(typeid(a), typeid(b));
  EXPECT_EQ(a.dimension(), b.dimension());
  EXPECT_EQ(a.metric_, b.metric_);
  EXPECT_EQ(a.index_type_, b.index_type_);
  EXPECT_EQ(a.embedding_model_, b.embedding_model_);
  EXPECT_EQ(a.n_lists(), b.n_lists());
  EXPECT_EQ(a.pq_dim(), b.pq_dim());
  EXPECT_EQ(a.pq_bits(), b.pq_bits());
  EXPECT_EQ(a.sq_bits(), b.sq_bits());
}

TEST(IndexConfigTest, CloneKeepsClassAndEveryField) {
  std::vector<std::pair<std::unique_ptr<IndexConfig>, Expected>> configs;
  configs.emplace_back(std::make_unique<IndexIVF>(64), Expected{IndexType::IVF, 0, 0, 0});
  configs.emplace_back(std::make_unique<IndexIVFFlat>(32), Expected{IndexType::IVFFLAT, 0, 0, 0});
  configs.emplace_back(std::make_unique<IndexIVFPQ>(128, 16, 8), Expected{IndexType::IVFPQ, 16, 8, 0});
  configs.emplace_back(std::make_unique<IndexIVFSQ>(0, 16), Expected{IndexType::IVFSQ, 0, 0, 16});
  for (auto& [config, expected] : configs) {
    SCOPED_TRACE(IndexTypeToString(config->index_type_));
    EXPECT_EQ(config->index_type_, expected.type);
    EXPECT_EQ(config->metric_, DistanceMetric::Euclidean);
    EXPECT_EQ(config->n_lists(), 1u);
    EXPECT_EQ(config->pq_dim(), expected.pq_dim);
    EXPECT_EQ(config->pq_bits(), expected.pq_bits);
    EXPECT_EQ(config->sq_bits(), expected.sq_bits);
    ASSERT_TRUE(config->embedding_model_.has_value());  // present and empty
    EXPECT_EQ(*config->embedding_model_, "");
    ExpectSameConfig(*config, *config->clone());

    config->set_n_lists(1024);
    config->metric_ = DistanceMetric::Cosine;
    config->embedding_model_ = "mini-model";
    ExpectSameConfig(*config, *config->clone());
    EXPECT_EQ(config->clone()->n_lists(), 1024u);

    config->embedding_model_.reset();
    EXPECT_FALSE(config->clone()->embedding_model_.has_value());
  }
}

TEST(IndexConfigTest, FullFieldConstructors) {
  IndexIVFPQ pq(96, DistanceMetric::SquaredEuclidean, std::nullopt, 12, 4);
  EXPECT_EQ(pq.dimension(), 96u);
  EXPECT_EQ(pq.metric_, DistanceMetric::SquaredEuclidean);
  EXPECT_FALSE(pq.embedding_model_.has_value());
  EXPECT_EQ(pq.pq_dim(), 12u);
  EXPECT_EQ(pq.pq_bits(), 4u);
  IndexIVFSQ sq(8, DistanceMetric::Cosine, "m", 8);
  EXPECT_EQ(sq.sq_bits(), 8u);
  EXPECT_EQ(*sq.embedding_model_, "m");
}

TEST(IndexConfigTest, Names) {
  EXPECT_EQ(MetricToString(DistanceMetric::Cosine), "cosine");
  EXPECT_EQ(MetricToString(DistanceMetric::Euclidean), "euclidean");
  EXPECT_EQ(MetricToString(DistanceMetric::SquaredEuclidean), "squared_euclidean");
  EXPECT_THROW(MetricToString(static_cast<DistanceMetric>(9)), std::invalid_argument);
  EXPECT_EQ(IndexTypeToString(IndexType::IVF), "ivf");
  EXPECT_EQ(IndexTypeToString(IndexType::IVFPQ), "ivfpq");
  EXPECT_EQ(IndexTypeToString(IndexType::IVFFLAT), "ivfflat");
  EXPECT_EQ(IndexTypeToString(IndexType::IVFSQ), "ivfsq");
  EXPECT_EQ(IndexTypeToString(static_cast<IndexType>(9)), "unknown");
}

TEST(DBConfigTest, CopyOwnsItsStrings) {
  DBConfig first(Location::POSTGRES, "items", std::nullopt);
  DBConfig copy = first;
  first.table_name = "other";
  EXPECT_EQ(*copy.table_name, "items");
  EXPECT_FALSE(copy.db_connection_string.has_value());
  EXPECT_EQ(LocationFromString("threadsafememory"), Location::THREADSAFEMEMORY);
  EXPECT_THROW(LocationFromString("none"), std::invalid_argument);
}

}  // namespace
}  // namespace nivora
