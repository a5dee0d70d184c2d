#include "vector/codeword_search.h"

#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace nivora::internal::vector_index {
namespace {

// The rule itself: scan upwards from (+infinity, 0), replace on strictly
// smaller.
uint32_t NaiveArgMin(const float* col, size_t k) {
  float best = std::numeric_limits<float>::infinity();
  uint32_t index = 0;
  for (size_t q = 0; q < k; ++q) {
    if (col[q] < best) {
      best = col[q];
      index = static_cast<uint32_t>(q);
    }
  }
  return index;
}

TEST(CodewordSearchTest, ArgMinFollowsTheUpwardScanOnTiesNaNAndInfinity) {
  // Few distinct values make ties across lanes and the tail common.
  const float values[] = {0.0f, -0.0f, 1.0f, 2.0f, -1.0f,
                          std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::infinity()};
  std::mt19937 gen(17);
  std::uniform_int_distribution<int> pick(0, 6);
  std::uniform_int_distribution<int> rare(0, 9);
  for (size_t k = 1; k <= 37; ++k) {
    const size_t cols = 200;
    std::vector<float> D(k * cols);
    for (size_t c = 0; c < cols; ++c) {
      const bool only_nan_inf = c % 10 == 0;  // some columns hold nothing below +inf
      for (size_t q = 0; q < k; ++q) {
        const int v = pick(gen);
        const float common = rare(gen) == 0 ? values[4] : values[v];
        D[c * k + q] = only_nan_inf ? values[5 + (v % 2)] : common;
      }
    }
    std::vector<uint32_t> out(cols);
    ArgMinColumns(D.data(), k, cols, out.data());
    for (size_t c = 0; c < cols; ++c) {
      ASSERT_EQ(out[c], NaiveArgMin(D.data() + c * k, k)) << "k " << k << " column " << c;
    }
  }
}

}  // namespace
}  // namespace nivora::internal::vector_index
