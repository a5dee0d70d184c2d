#include "vector/quantizer_set.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "vector/ranking_results.h"

namespace nivora::internal::vector_index {
namespace {

Codebook MakeCodebook(int32_t k, size_t dsub, float first) {
  Codebook book;
  book.k = k;
  book.centroids = Array2D<float>(k, dsub);
  for (size_t i = 0; i < book.centroids.size(); ++i) book.centroids.data[i] = first + i;
  return book;
}

// Records its release in a shared log.
struct LoggedObject : AuxObject {
  LoggedObject(std::vector<std::string>* log, std::string name) : log(log), name(std::move(name)) {}
  ~LoggedObject() override { log->push_back(name); }
  std::vector<std::string>* log;
  std::string name;
};

QuantizerSet FilledSet(std::vector<std::string>* log) {
  QuantizerSet set;
  set.centroids.push_back(MakeCodebook(4, 3, 0));
  set.pq_codebooks.push_back(MakeCodebook(2, 1, 10));
  set.sq_quantizers.push_back(SQQuantizer{8, {0, 1, 2}, {1, 1, 1}});
  for (const char* name : {"a", "b"}) {
    AuxEntry entry;
    entry.first = std::make_unique<LoggedObject>(log, std::string(name) + ".first");
    entry.second = std::make_unique<LoggedObject>(log, std::string(name) + ".second");
    entry.flag = 1;
    set.aux_entries.push_back(std::move(entry));
  }
  set.aux_matrix = Array2D<unsigned char>(2, 8);
  return set;
}

void ExpectEmpty(const QuantizerSet& set) {
  EXPECT_TRUE(set.centroids.empty());
  EXPECT_TRUE(set.pq_codebooks.empty());
  EXPECT_TRUE(set.sq_quantizers.empty());
  EXPECT_TRUE(set.aux_entries.empty());
  EXPECT_EQ(set.aux_matrix.rows, 0u);
  EXPECT_EQ(set.aux_matrix.cols, 0u);
  EXPECT_EQ(set.aux_matrix.data, nullptr);
  EXPECT_EQ(set.aux_matrix.owner, nullptr);
}

TEST(QuantizerSetTest, NewSetIsEmpty) { ExpectEmpty(QuantizerSet()); }

TEST(QuantizerSetTest, MoveTakesAllMembersAndLeavesTheSourceEmpty) {
  std::vector<std::string> log;
  QuantizerSet source = FilledSet(&log);
  const float* coarse = source.centroids[0].centroids.data;
  QuantizerSet moved(std::move(source));
  ExpectEmpty(source);
  EXPECT_EQ(moved.centroids[0].centroids.data, coarse);
  EXPECT_EQ(moved.aux_entries.size(), 2u);
  EXPECT_EQ(moved.aux_matrix.rows, 2u);

  QuantizerSet assigned;
  assigned.centroids.push_back(MakeCodebook(1, 1, 0));
  assigned = std::move(moved);
  ExpectEmpty(moved);
  EXPECT_EQ(assigned.centroids[0].centroids.data, coarse);
  EXPECT_TRUE(log.empty());  // nothing released on the way
}

TEST(QuantizerSetTest, DestructionReleasesAuxEntriesLastToFirstAndSharedStorageSurvives) {
  std::vector<std::string> log;
  Array2D<float> kept;
  {
    QuantizerSet set = FilledSet(&log);
    kept = set.centroids[0].centroids;  // shares the coarse storage
    EXPECT_EQ(kept.owner.use_count(), 2);
  }
  EXPECT_EQ(log, (std::vector<std::string>{"b.second", "b.first", "a.second", "a.first"}));
  EXPECT_EQ(kept.owner.use_count(), 1);
  EXPECT_EQ(kept.data[11], 11.0f);
}

TEST(QuantizerSetTest, CopiesOfElementRecordsAreIndependent) {
  SQQuantizer source{16, {1, 2}, {3, 4}};
  const SQQuantizer copy(source);
  source.min.assign(2, 0.0f);  // wiping the source
  source.scale.assign(2, 0.0f);
  EXPECT_EQ(copy.bits, 16);
  EXPECT_EQ(copy.min, (std::vector<float>{1, 2}));
  EXPECT_EQ(copy.scale, (std::vector<float>{3, 4}));

  const Codebook book = MakeCodebook(3, 2, 5);
  const Codebook clone = book.Clone();
  EXPECT_EQ(clone.k, 3);
  EXPECT_EQ(clone.centroids.rows, 3u);
  EXPECT_EQ(clone.centroids.cols, 2u);
  EXPECT_NE(clone.centroids.data, book.centroids.data);
  book.centroids.data[0] = -1.0f;
  EXPECT_EQ(clone.centroids.data[0], 5.0f);
  EXPECT_EQ(clone.centroids.data[5], 10.0f);
}

TEST(RankingResultsTest, SlotsStartEmptyWithRoomForKAndMovesEmptyTheSource) {
  RankingResults results(3, 5);
  ASSERT_EQ(results.ids.size(), 3u);
  ASSERT_EQ(results.distances.size(), 3u);
  ASSERT_EQ(results.metadata.size(), 3u);
  EXPECT_EQ(results.num_results, (std::vector<uint32_t>{0, 0, 0}));
  for (size_t q = 0; q < 3; ++q) {
    EXPECT_TRUE(results.ids[q].empty());
    EXPECT_GE(results.ids[q].capacity(), 5u);
    EXPECT_GE(results.distances[q].capacity(), 5u);
    EXPECT_GE(results.metadata[q].capacity(), 5u);
  }
  RankingResults target;
  target = std::move(results);
  EXPECT_EQ(target.ids.size(), 3u);
  EXPECT_TRUE(results.ids.empty());
  EXPECT_TRUE(results.num_results.empty());
  EXPECT_EQ(RankingResults(2, 0).num_results.size(), 2u);
}

}  // namespace
}  // namespace nivora::internal::vector_index
