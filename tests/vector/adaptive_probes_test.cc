#include "vector/adaptive_probes.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace nivora::internal::vector_index::cpu {
namespace {

// 100 lists of 100 items, 10,000 in all, top_k 10, recall 0.95: b = 500.
std::vector<float> Distances(float d1, float d2) {
  std::vector<float> d(100);
  for (size_t i = 0; i < d.size(); ++i) d[i] = 10.0f + static_cast<float>(i);
  d[37] = d1;  // the nearest lists need not be the first ones
  d[80] = d2;
  return d;
}

TEST(AdaptiveNProbesTest, BudgetAndDifficultyChooseTheCount) {
  const std::vector<uint32_t> sizes(100, 100);
  struct Case {
    const char* name;
    float d1, d2;
    double difficulty;
    size_t expected;
  };
  const Case cases[] = {
      {"ratio 1.3: difficulty 1.0, 500 items", 1.0f, 1.3f, 1.0, 5},
      {"equal distances: difficulty 1.5, 750 items", 2.0f, 2.0f, 1.5, 8},
      {"query on a centroid: difficulty 0.5, 250 items", 1e-10f, 1.0f, 0.5, 3},
      {"ratio 1.6: difficulty 0.7, 350 items", 1.0f, 1.6f, 0.7, 4},
  };
  for (const Case& c : cases) {
    const std::vector<float> d = Distances(c.d1, c.d2);
    EXPECT_DOUBLE_EQ(AdaptiveBaseBudget(10, sizes, 10000, 100, 0.95), 500.0) << c.name;
    EXPECT_DOUBLE_EQ(AdaptiveDifficulty(d), c.difficulty) << c.name;
    EXPECT_EQ(AdaptiveNProbes(10, d, sizes, 10000, 100, 0.95), c.expected) << c.name;
  }
}

TEST(AdaptiveNProbesTest, WalkLimits) {
  // Three lists: half of them rounds down to one list.
  EXPECT_EQ(AdaptiveNProbes(10, {1.0f, 2.0f, 3.0f}, {10, 10, 10}, 30, 3, 0.95), 1u);
  // The nearest list alone exceeds 1.2 x B: it is taken, and only it.
  const std::vector<uint32_t> sizes = {100, 9000, 100, 100, 100, 100, 100, 100, 100, 100};
  EXPECT_EQ(AdaptiveNProbes(1, {5, 1, 5, 5, 5, 5, 5, 5, 5, 5}, sizes, 9900, 10, 0.95), 1u);
  // A list that would overshoot 1.2 x B is not taken.
  const std::vector<uint32_t> uneven = {10, 10, 500, 10, 10, 10, 10, 10, 10, 10};
  EXPECT_EQ(AdaptiveNProbes(10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, uneven, 10000, 10, 0.95), 2u);
  // Nothing to go by.
  EXPECT_EQ(AdaptiveNProbes(10, {1.0f}, {}, 100, 1, 0.95), 1u);
  EXPECT_EQ(AdaptiveNProbes(10, {}, {5}, 100, 0, 0.95), 1u);
  // A high recall target raises the factor from 50 to 75.
  EXPECT_DOUBLE_EQ(AdaptiveBaseBudget(10, std::vector<uint32_t>(100, 100), 10000, 100, 0.99),
                   750.0);
  // The budget never exceeds half the items, nor falls below 2 x top_k.
  EXPECT_DOUBLE_EQ(AdaptiveBaseBudget(10, {5, 5}, 10, 2, 0.95), 5.0);
  EXPECT_DOUBLE_EQ(AdaptiveBaseBudget(1, {1000000}, 1000000, 1, 0.95), 2.0);
}

TEST(AdaptiveNProbesTest, SpreadOfListSizesWidensTheBudget) {
  // Non-zero sizes 50 and 150: mean 100, sigma 50, cv' = 0.075; zeros ignored.
  const std::vector<uint32_t> sizes = {50, 0, 150, 0};
  EXPECT_NEAR(AdaptiveBaseBudget(10, sizes, 10000, 100, 0.95), 500.0 * 1.075, 1e-9);
}

TEST(AdaptiveNProbesTest, QueryCentroidDistancesAreEuclideanAndNeverNaN) {
  const Array2D<float> centres(std::vector<float>{0, 0, 3, 4, 0.1f, 0.2f}, 2);
  const float q[2] = {0.1f, 0.2f};
  const std::vector<float> d = QueryCentroidDistances(q, 2, centres);
  ASSERT_EQ(d.size(), 3u);
  EXPECT_NEAR(d[0], std::sqrt(0.05f), 1e-6);
  EXPECT_NEAR(d[1], std::hypot(2.9f, 3.8f), 1e-5);
  EXPECT_NEAR(d[2], 0.0f, 1e-3);  // clamped before the root: never NaN
  EXPECT_FALSE(std::isnan(d[2]));
}

}  // namespace
}  // namespace nivora::internal::vector_index::cpu
