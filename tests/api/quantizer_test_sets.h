// Quantizer sets for the cache tests: values that tell sets apart, and a
// value-for-value comparison.
#ifndef NIVORA_TESTS_API_QUANTIZER_TEST_SETS_H_
#define NIVORA_TESTS_API_QUANTIZER_TEST_SETS_H_

#include <cstddef>
#include <cstring>

#include <gtest/gtest.h>

#include "vector/quantizer_set.h"

namespace nivora::internal::testing {

// A codebook of rows x cols whose values are base + position / 1024.
inline vector_index::Codebook FilledCodebook(size_t rows, size_t cols, float base) {
  vector_index::Codebook codebook;
  codebook.k = static_cast<int32_t>(rows);
  codebook.centroids = Array2D<float>(rows, cols);
  for (size_t i = 0; i < rows * cols; ++i) {
    codebook.centroids.data[i] = base + static_cast<float>(i % 4096) / 1024.0f;
  }
  return codebook;
}

// A trained-looking set: one coarse codebook of n_lists x d, and optionally
// pq PQ codebooks of 2^pq_bits x d / pq and one SQ quantizer of d.
inline vector_index::QuantizerSet FilledSet(size_t n_lists, size_t d, float base, size_t pq = 0,
                                            size_t pq_bits = 0, bool sq = false) {
  vector_index::QuantizerSet set;
  set.centroids.push_back(FilledCodebook(n_lists, d, base));
  for (size_t i = 0; i < pq; ++i) {
    set.pq_codebooks.push_back(FilledCodebook(size_t{1} << pq_bits, d / pq, base + 100.0f + i));
  }
  if (sq) {
    vector_index::SQQuantizer& q = set.sq_quantizers.emplace_back();
    q.bits = 16;
    for (size_t i = 0; i < d; ++i) {
      q.min.push_back(base - static_cast<float>(i));
      q.scale.push_back(0.5f + static_cast<float>(i) / 8.0f);
    }
  }
  return set;
}

inline void ExpectSameCodebooks(const std::vector<vector_index::Codebook>& a,
                                const std::vector<vector_index::Codebook>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].k, b[i].k);
    ASSERT_EQ(a[i].centroids.rows, b[i].centroids.rows);
    ASSERT_EQ(a[i].centroids.cols, b[i].centroids.cols);
    if (a[i].centroids.size() == 0) continue;
    EXPECT_EQ(0, std::memcmp(a[i].centroids.data, b[i].centroids.data,
                             a[i].centroids.size() * sizeof(float)));
  }
}

inline void ExpectSameSets(const vector_index::QuantizerSet& a,
                           const vector_index::QuantizerSet& b) {
  ExpectSameCodebooks(a.centroids, b.centroids);
  ExpectSameCodebooks(a.pq_codebooks, b.pq_codebooks);
  ASSERT_EQ(a.sq_quantizers.size(), b.sq_quantizers.size());
  for (size_t i = 0; i < a.sq_quantizers.size(); ++i) {
    EXPECT_EQ(a.sq_quantizers[i].bits, b.sq_quantizers[i].bits);
    EXPECT_EQ(a.sq_quantizers[i].min, b.sq_quantizers[i].min);
    EXPECT_EQ(a.sq_quantizers[i].scale, b.sq_quantizers[i].scale);
  }
}

}  // namespace nivora::internal::testing

#endif  // NIVORA_TESTS_API_QUANTIZER_TEST_SETS_H_
