// Mini-batch k-means with k-means++ seeding: learns one Codebook per subspace
// (the coarse quantizer with one subspace, PQ codebooks with pq_dim).
//
// For each of n_subvectors equal slices of the vectors: k-means++ seeding on
// a sample of at most 3 * max(k, batch) vectors, then max_iters mini-batch
// rounds in which every batch vector moves its nearest centre towards it by
// 1 / (number of vectors that centre has received so far). There is no
// convergence test. Randomness: each seeding generator is seeded from
// "/dev/urandom"; samples and batches come from Armadillo's per-thread
// generator, which is never seeded, so results differ from run to run.
//
// Thread-safe: no shared state; runs OpenMP loops over subspaces and, for
// few subspaces, over blocks of the sample and the batch. The BLAS under the
// kernels should run single-threaded (SetBlasThreads).
#ifndef NIVORA_VECTOR_KMEANS_H_
#define NIVORA_VECTOR_KMEANS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/array2d.h"
#include "core/index_config.h"
#include "vector/quantizer_set.h"

namespace nivora::internal::vector_index {

// Initialise by field name: `reserved` sits between the counts and the
// iteration settings.
struct KMeansParams {
  size_t n_subvectors = 1;  // subspaces m; dim must be a multiple of it. Default: 1
  size_t n_clusters = 0;    // centres k per subspace, 1 to 2^31 - 1. Default: 0 (must be set)
  int32_t reserved = 0;     // not read. Default: 0
  size_t max_iters = 100;   // mini-batch iterations. Default: 100
  size_t batch_size = 0;    // vectors per iteration; 0 means 1024. Default: 0
  double tolerance = 1e-6;  // passed through, not read. Default: 1e-6
};

namespace cpu {

// One Codebook per subspace (k = n_clusters, k rows x dim / n_subvectors).
// Euclidean and SquaredEuclidean train in squared L2, Cosine in cosine
// distance (centres are running means of the raw vectors, not normalised).
// Throws:
//  - std::invalid_argument "Vector dimension must be divisible by the number
//    of subvectors." when n_subvectors is 0 or does not divide the dimension;
//  - std::invalid_argument for no rows, a dimension of 0 or n_clusters
//    outside 1 .. 2^31 - 1;
//  - std::runtime_error "Unsupported distance metric." for another metric.
// Each failure is logged at ERROR first. When the seeding sample is smaller
// than n_clusters a warning goes to standard error and training continues
// (centres then repeat).
std::vector<Codebook> TrainKMeans(const Array2D<float>& data, const KMeansParams& params,
                                  DistanceMetric metric);

// The two variants behind TrainKMeans, with its checks and errors.
std::vector<Codebook> TrainKMeansL2(const Array2D<float>& data, const KMeansParams& params);
std::vector<Codebook> TrainKMeansCosine(const Array2D<float>& data, const KMeansParams& params);

}  // namespace cpu
}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_KMEANS_H_
