// The pieces every ranker shares: the bounded top-k max-heap with its one
// offer rule, the write-out of a heap into a query's result slot, the merge
// of per-thread heaps, the check of a list position and the flattening of a
// query's candidate rows.
//
// Offer rule: while the heap holds fewer than k entries every entry enters;
// afterwards an entry replaces the top (the farthest kept) only when its
// distance is strictly smaller, so a newcomer equal to the top never
// displaces it. A NaN distance is offered as +infinity.
//
// Stateless functions; a heap or slot belongs to one thread at a time.
#ifndef NIVORA_VECTOR_TOP_K_H_
#define NIVORA_VECTOR_TOP_K_H_

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "vector/ranking_results.h"

namespace nivora::internal::vector_index {

// The four places of one query's result inside a RankingResults.
struct RankingResultSlot {
  std::vector<uint64_t>& ids;
  std::vector<float>& distances;
  uint32_t& num_results;
  std::vector<std::string>& metadata;
};

inline RankingResultSlot SlotOf(RankingResults& results, size_t q) {
  return {results.ids[q], results.distances[q], results.num_results[q], results.metadata[q]};
}

namespace cpu {

// Max-heap order on distance alone.
inline bool FartherFirst(const TopKEntry& a, const TopKEntry& b) { return a.distance < b.distance; }

// The out-of-line part of OfferTopK: an entry that enters the heap.
void InsertTopK(std::vector<TopKEntry>& heap, size_t k, TopKEntry entry);

// Offers one entry to `heap` (a max-heap of capacity k) by the offer rule.
// Inline: almost every offer to a full heap is rejected by one comparison
// (NaN compares false, so it is rejected too: +infinity would be).
inline void OfferTopK(std::vector<TopKEntry>& heap, size_t k, TopKEntry entry) {
  if (heap.size() >= k && !(entry.distance < heap.front().distance)) return;
  InsertTopK(heap, k, entry);
}

// Empties the heap into the slot, nearest first: ids, distances (their
// square roots when take_sqrt) and, when with_metadata, metadata[row];
// num_results = the number of entries. Rows must index `metadata` when
// with_metadata (the rankers check this once per call).
void WriteHeapToResults(RankingResultSlot slot, std::vector<TopKEntry>& heap,
                        const std::vector<std::string>& metadata, bool with_metadata,
                        bool take_sqrt);

// Drains the per-thread heaps in thread order, farthest first, into one heap
// of capacity k by the offer rule, then writes it as WriteHeapToResults does.
// The thread heaps are left empty.
void MergeThreadHeaps(std::vector<std::vector<TopKEntry>>& heaps, uint32_t k,
                      const std::vector<std::string>& metadata, bool with_metadata,
                      bool take_sqrt, RankingResultSlot slot);

// Returns when centroid_idx + 1 < offsets_size; otherwise logs at ERROR and
// throws std::out_of_range: ranker_name + ": centroid_idx (<idx>) + 1 >=
// centroid_to_matching_indices.size() (<size>)".
void CheckCentroidIndex(size_t centroid_idx, size_t offsets_size, const char* ranker_name);

// The rows of the lists at positions[0 .. n_positions), list by list in that
// order, ascending within a list; room for `reserve` rows is reserved first.
// Checks neither positions nor offsets (the rankers do, once per call).
std::vector<uint32_t> FlattenCandidateRows(const std::vector<uint64_t>& offsets,
                                           const uint32_t* positions, size_t n_positions,
                                           size_t reserve);

}  // namespace cpu
}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_TOP_K_H_
