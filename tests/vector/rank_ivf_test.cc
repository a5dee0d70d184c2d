#include "vector/rank_ivf.h"

#include <gtest/gtest.h>

#include "ranking_test_util.h"

namespace nivora::internal::vector_index {
namespace {

CentroidSelection WithDistances(const std::vector<std::vector<uint32_t>>& positions,
                                const std::vector<std::vector<float>>& distances) {
  CentroidSelection s = Selection(positions);
  s.query_distances = Array2D<float>(s.n_queries, s.query_lists.cols);
  for (size_t q = 0; q < s.n_queries; ++q) {
    std::copy(distances[q].begin(), distances[q].end(), s.query_distances.row(q));
  }
  return s;
}

TEST(RankIVFTest, ItemsInProbeOrderWithTheirListsDistance) {
  // Lists of 3 and 5 items (rows 0-2 and 3-7), an empty list, then 2 more.
  const auto r = Retrieved({3, 5, 0, 2}, 0);
  const CentroidSelection sel =
      WithDistances({{0, 1, 2}, {2, 3, 1}, {1, 1, 0}}, {{0.5f, 0.9f, 1.0f}, {0.1f, 0.2f, 0.7f},
                                                        {0.3f, 0.3f, 0.8f}});
  const RankingResults got = cpu::RankIVF(r, sel, 4);
  EXPECT_EQ(got.ids[0], (std::vector<uint64_t>{IdOf(0), IdOf(1), IdOf(2), IdOf(3)}));
  EXPECT_EQ(got.distances[0], (std::vector<float>{0.5f, 0.5f, 0.5f, 0.9f}));
  // The empty list is passed over.
  EXPECT_EQ(got.ids[1], (std::vector<uint64_t>{IdOf(8), IdOf(9), IdOf(3), IdOf(4)}));
  EXPECT_EQ(got.distances[1], (std::vector<float>{0.2f, 0.2f, 0.7f, 0.7f}));
  // A position probed twice is listed twice while room remains.
  EXPECT_EQ(got.ids[2], (std::vector<uint64_t>{IdOf(3), IdOf(4), IdOf(5), IdOf(6)}));
  EXPECT_EQ(got.num_results, (std::vector<uint32_t>{4, 4, 4}));
  EXPECT_TRUE(got.metadata[0].empty());

  const RankingResults all = cpu::RankIVF(r, sel, 100);
  EXPECT_EQ(all.num_results[0], 8u);  // every item of the query's lists
  EXPECT_EQ(all.num_results[2], 10u);  // k = 10 ids retrieved; 13 probed

  const RankingResults none = cpu::RankIVF(r, sel, 0);
  EXPECT_EQ(none.num_results, (std::vector<uint32_t>{0, 0, 0}));
  EXPECT_TRUE(none.ids[0].empty());
}

TEST(RankIVFTest, NothingRetrievedGivesEmptySlots) {
  const auto r = Retrieved({0, 0}, 0);
  const RankingResults got = cpu::RankIVF(r, WithDistances({{0, 1}}, {{1, 2}}), 5);
  EXPECT_EQ(got.num_results, (std::vector<uint32_t>{0}));
}

}  // namespace
}  // namespace nivora::internal::vector_index
