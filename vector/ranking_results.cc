#include "vector/ranking_results.h"

namespace nivora::internal::vector_index {

RankingResults::RankingResults(size_t n_queries, size_t k)
    : ids(n_queries), distances(n_queries), num_results(n_queries, 0), metadata(n_queries) {
  for (size_t q = 0; q < n_queries; ++q) {
    ids[q].reserve(k);
    distances[q].reserve(k);
    metadata[q].reserve(k);
  }
}

}  // namespace nivora::internal::vector_index
