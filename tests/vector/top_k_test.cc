#include "vector/top_k.h"

#include <limits>

#include <gtest/gtest.h>

namespace nivora::internal::vector_index::cpu {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<uint64_t> Drain(std::vector<TopKEntry>& heap, bool take_sqrt = false) {
  RankingResults r(1, heap.size());
  WriteHeapToResults(SlotOf(r, 0), heap, {}, false, take_sqrt);
  EXPECT_TRUE(heap.empty());
  EXPECT_EQ(r.num_results[0], r.ids[0].size());
  return r.ids[0];
}

TEST(TopKTest, OfferRule) {
  std::vector<TopKEntry> heap;
  OfferTopK(heap, 2, {1, 5.0f, 0});
  OfferTopK(heap, 2, {2, 3.0f, 1});
  OfferTopK(heap, 2, {3, 5.0f, 2});  // equal to the top: dropped
  OfferTopK(heap, 2, {4, 9.0f, 3});  // farther: dropped
  EXPECT_EQ(Drain(heap), (std::vector<uint64_t>{2, 1}));

  OfferTopK(heap, 2, {1, kNaN, 0});  // NaN enters as +infinity while there is room
  OfferTopK(heap, 2, {2, 1.0f, 1});
  OfferTopK(heap, 2, {3, kInf, 2});  // equal to the (infinite) top: dropped
  OfferTopK(heap, 2, {4, 2.0f, 3});  // replaces the NaN
  OfferTopK(heap, 2, {5, kNaN, 4});  // never replaces anything
  EXPECT_EQ(Drain(heap), (std::vector<uint64_t>{2, 4}));

  OfferTopK(heap, 0, {1, 0.0f, 0});  // k = 0 keeps nothing
  EXPECT_TRUE(heap.empty());
}

TEST(TopKTest, WriteOutAndMerge) {
  std::vector<std::vector<TopKEntry>> heaps(3);
  OfferTopK(heaps[0], 3, {10, 4.0f, 0});
  OfferTopK(heaps[0], 3, {11, 1.0f, 1});
  OfferTopK(heaps[2], 3, {12, 9.0f, 2});
  OfferTopK(heaps[2], 3, {13, 0.25f, 3});
  OfferTopK(heaps[2], 3, {14, 4.0f, 4});  // ties with row 0, which comes first
  RankingResults r(1, 2);
  const std::vector<std::string> metadata = {"a", "b", "c", "d", "e"};
  MergeThreadHeaps(heaps, 2, metadata, true, true, SlotOf(r, 0));
  EXPECT_EQ(r.ids[0], (std::vector<uint64_t>{13, 11}));
  EXPECT_EQ(r.distances[0], (std::vector<float>{0.5f, 1.0f}));  // square roots
  EXPECT_EQ(r.metadata[0], (std::vector<std::string>{"d", "b"}));
  EXPECT_EQ(r.num_results[0], 2u);
  for (const auto& h : heaps) EXPECT_TRUE(h.empty());
}

TEST(TopKTest, FlattenAndPositionCheck) {
  const std::vector<uint64_t> offsets = {0, 2, 2, 5};
  const uint32_t positions[] = {2, 1, 0};
  EXPECT_EQ(FlattenCandidateRows(offsets, positions, 3, 5),
            (std::vector<uint32_t>{2, 3, 4, 0, 1}));
  EXPECT_NO_THROW(CheckCentroidIndex(2, 4, "RankX"));
  try {
    CheckCentroidIndex(3, 4, "RankX");
    ADD_FAILURE();
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "RankX: centroid_idx (3) + 1 >= centroid_to_matching_indices.size() (4)");
  }
}

}  // namespace
}  // namespace nivora::internal::vector_index::cpu
