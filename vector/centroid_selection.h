// CentroidSelection: which inverted lists each query probes, as chosen by
// centroid selection and read by the engine's retrieval and the rankers.
// A plain value; nothing inside is shared.
#ifndef NIVORA_VECTOR_CENTROID_SELECTION_H_
#define NIVORA_VECTOR_CENTROID_SELECTION_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/array2d.h"

namespace nivora::internal::vector_index {

struct CentroidSelection {
  size_t n_queries = 0;
  // The distinct probed rows of the coarse codebook: ascending for two or
  // more queries, nearest first for a single query.
  std::vector<uint32_t> probed_lists;
  // n_queries x P: positions in probed_lists, nearest first.
  Array2D<uint32_t> query_lists;
  // n_queries x P, same order: query-to-centroid distances in the index's
  // metric. Filled by the IVF selection only; 0 x 0 otherwise.
  Array2D<float> query_distances;
  size_t n_probes = 0;     // adaptively chosen count; 0 when not adaptive
  double difficulty = 1.0; // adaptive difficulty factor; 1.0 when not adaptive
  double budget = 0.0;     // adaptive base budget of candidate items; 0 when not adaptive
};

}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_CENTROID_SELECTION_H_
