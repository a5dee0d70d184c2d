// Adaptive probing: how many inverted lists a query should probe when the
// caller leaves the number open, from the sizes of the lists, the number of
// stored items, the results wanted and how clearly the nearest centroid
// stands out.
//
// Budget b = (n_lists / sqrt(total_items)) x f x top_k x (1 + cv'), with
// f = 75 for a target recall of at least 0.99 and 50 otherwise, and cv' =
// min(0.15 x (standard deviation / mean of the non-zero list sizes), 0.3);
// then at least 2 x top_k and at most half the items. The difficulty scales
// it: 0.5 when the query sits on a centroid (d1 < 1e-9), 0.7 when the second
// centroid is more than 1.5 times as far as the first, 1.0 above 1.2 times,
// 1.5 otherwise. Lists are then taken nearest first until the budget is met.
//
// Pure functions: thread-safe.
#ifndef NIVORA_VECTOR_ADAPTIVE_PROBES_H_
#define NIVORA_VECTOR_ADAPTIVE_PROBES_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/array2d.h"

namespace nivora::internal::vector_index::cpu {

// The Euclidean distance from one query (dim values) to every centre row:
// sqrt(max(qq + cc - 2 qc, 0)) in single precision. Centre rows must hold
// at least dim values.
std::vector<float> QueryCentroidDistances(const float* query, size_t dim,
                                          const Array2D<float>& centres);

// The base budget b above (before the difficulty).
double AdaptiveBaseBudget(size_t top_k, const std::vector<uint32_t>& list_sizes,
                          size_t total_items, size_t n_lists, double target_recall);

// The difficulty factor of the distances (1.0 for fewer than two).
double AdaptiveDifficulty(const std::vector<float>& distances);

// The number of lists to probe: 1 when n_lists is 0 or list_sizes is empty;
// otherwise the walk over the lists by ascending distance (ties by lower
// index): the nearest is always taken, a list that would bring the running
// item count above 1.2 x B is not, and the walk stops once the count reaches
// B = b x difficulty, half the lists (rounded down) are taken, or every list
// is; a list index beyond list_sizes ends it too (with at least 1).
size_t AdaptiveNProbes(size_t top_k, const std::vector<float>& distances,
                       const std::vector<uint32_t>& list_sizes, size_t total_items,
                       size_t n_lists, double target_recall);

// The adaptive choice for a batch, made on its first query (dim values)
// against the centre rows (the lists, read by the same row numbers as
// list_sizes): the count, its difficulty and the base budget.
struct AdaptiveChoice {
  size_t n_probes = 0;
  double difficulty = 1.0;
  double budget = 0.0;
};
AdaptiveChoice ChooseAdaptiveProbes(const float* first_query, size_t dim,
                                    const Array2D<float>& centres, size_t top_k,
                                    const std::vector<uint32_t>& list_sizes, size_t total_items,
                                    double target_recall);

}  // namespace nivora::internal::vector_index::cpu

#endif  // NIVORA_VECTOR_ADAPTIVE_PROBES_H_
