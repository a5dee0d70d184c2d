// Records of the rankers: RankingResults (one result slot per query) and
// TopKEntry (one entry of a ranker's bounded top-k max-heap). Plain values;
// a moved-from RankingResults is empty.
#ifndef NIVORA_VECTOR_RANKING_RESULTS_H_
#define NIVORA_VECTOR_RANKING_RESULTS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nivora::internal::vector_index {

struct RankingResults {
  std::vector<std::vector<uint64_t>> ids;         // per query: item id hashes, nearest first
  std::vector<std::vector<float>> distances;      // per query: same order
  std::vector<uint32_t> num_results;              // per query: number kept
  std::vector<std::vector<std::string>> metadata; // per query: filled only when asked for

  RankingResults() = default;
  // n_queries empty slots, each id, distance and metadata list with room
  // reserved for k entries, every num_results 0. (n, 0) is the empty result.
  RankingResults(size_t n_queries, size_t k);
};

struct TopKEntry {
  uint64_t id = 0;        // the item id hash of the row
  float distance = 0.0f;  // distance to the query (squared for Euclidean)
  uint32_t row = 0;       // the candidate's row in the retrieved payloads
};

}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_RANKING_RESULTS_H_
