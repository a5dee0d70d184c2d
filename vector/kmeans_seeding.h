// k-means++ seeding of one subspace, and the shape of a k-means call that the
// seeding and the mini-batch rounds share. Internal to k-means.
#ifndef NIVORA_VECTOR_KMEANS_SEEDING_H_
#define NIVORA_VECTOR_KMEANS_SEEDING_H_

#include <cstddef>

#include "core/array2d.h"
#include "vector/metric_family.h"

namespace nivora::internal::vector_index {

struct KMeansShape {
  size_t n = 0;       // input rows
  size_t dim = 0;     // input columns
  size_t m = 0;       // subspaces
  size_t dsub = 0;    // dim / m
  size_t k = 0;       // centres per subspace
  size_t batch = 0;   // vectors per mini-batch round
  size_t sample = 0;  // seeding sample size S
};

// Writes the k seeded centres of subspace s into centres (dsub x k,
// column-major; each an exact slice of an input row). With parallel_blocks
// the distance passes over the sample run as an OpenMP loop over column
// blocks; otherwise on the calling thread. Exceptions propagate.
void SeedSubspace(const Array2D<float>& data, const KMeansShape& shape, size_t s,
                  MetricFamily distance, float* centres, bool parallel_blocks);

}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_KMEANS_SEEDING_H_
