// Centroid selection: the inverted lists (rows of the coarse codebook) that
// each query of a batch probes, nearest first, with the adaptive choice of
// how many when the caller leaves n_probes at 0.
//
// A list is named by its row in the first codebook of `set.centroids` (the
// coarse quantizer, possibly a pre-filtered copy with fewer rows than its
// k): the number of lists is that matrix's row count, and a set without
// rows selects nothing. `list_sizes` is read by the same row numbers.
//
// One query: probed_lists are its n_probes nearest lists, nearest first,
// and query_lists row 0 is 0 .. P - 1. Several: probed_lists is the sorted
// union of every query's n_probes nearest lists, and each row of
// query_lists holds positions into it, nearest first; a greedy_factor g
// widens every query to n + floor(n x g) lists (never beyond the union),
// chosen among the union's lists. An n_probes at or above the number of
// lists probes every list without widening. Among lists at equal distance
// at the cut-off the lower row wins.
//
// Thread-safe: no state; runs OpenMP loops over the queries.
#ifndef NIVORA_VECTOR_SELECT_CENTROIDS_H_
#define NIVORA_VECTOR_SELECT_CENTROIDS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vector/entry_points.h"

namespace nivora::internal::vector_index::cpu {

// For IVFPQ, IVFFlat and IVFSQ: lists ordered by squared L2 (Euclidean and
// SquaredEuclidean) or cosine distance; query_distances stays 0 x 0.
// Throws, logged at ERROR:
//  - std::runtime_error "Unsupported distance metric." for a metric outside 0-2;
//  - std::invalid_argument "No query embeddings provided." for no query rows;
//  - std::invalid_argument "top_k must not exceed 4294967295." (a count the
//    rankers could not hold, refused rather than truncated);
//  - std::invalid_argument "Query embedding dimension does not match centroid
//    dimension." when the coarse centres have another width.
CentroidSelection SelectCentroids(const Array2D<float>& queries, const QuantizerSet& set,
                                  size_t n_probes, DistanceMetric metric, size_t top_k,
                                  const std::vector<uint32_t>& list_sizes, uint64_t total_items,
                                  float greedy_factor, double target_recall);

// For IVF: as SelectCentroids, and query_distances holds each query's
// distance to each probed centre in the index's metric (Euclidean as the
// square root of the squared distance clamped at 0, so a query on a centre
// gives 0), which the IVF ranker reports as item distances.
CentroidSelection SelectCentroidsIVF(const Array2D<float>& queries, const QuantizerSet& set,
                                     size_t n_probes, DistanceMetric metric, size_t top_k,
                                     const std::vector<uint32_t>& list_sizes,
                                     uint64_t total_items, float greedy_factor,
                                     double target_recall);

}  // namespace nivora::internal::vector_index::cpu

#endif  // NIVORA_VECTOR_SELECT_CENTROIDS_H_
