#include "vector/top_k.h"

#include <algorithm>
#include <stdexcept>

#include "core/log_and_throw.h"
#include "core/logger.h"

namespace nivora::internal::vector_index::cpu {

void InsertTopK(std::vector<TopKEntry>& heap, size_t k, TopKEntry entry) {
  if (std::isnan(entry.distance)) entry.distance = std::numeric_limits<float>::infinity();
  if (heap.size() < k) {
    heap.push_back(entry);
    std::push_heap(heap.begin(), heap.end(), FartherFirst);
  } else if (!heap.empty() && entry.distance < heap.front().distance) {
    std::pop_heap(heap.begin(), heap.end(), FartherFirst);
    heap.back() = entry;
    std::push_heap(heap.begin(), heap.end(), FartherFirst);
  }
}

void WriteHeapToResults(RankingResultSlot slot, std::vector<TopKEntry>& heap,
                        const std::vector<std::string>& metadata, bool with_metadata,
                        bool take_sqrt) {
  const size_t n = heap.size();
  slot.ids.resize(n);
  slot.distances.resize(n);
  if (with_metadata) slot.metadata.resize(n);
  for (size_t i = n; i > 0; --i) {
    std::pop_heap(heap.begin(), heap.end(), FartherFirst);
    const TopKEntry& top = heap.back();
    slot.ids[i - 1] = top.id;
    slot.distances[i - 1] = take_sqrt ? std::sqrt(top.distance) : top.distance;
    if (with_metadata) slot.metadata[i - 1] = metadata[top.row];
    heap.pop_back();
  }
  slot.num_results = static_cast<uint32_t>(n);
}

void MergeThreadHeaps(std::vector<std::vector<TopKEntry>>& heaps, uint32_t k,
                      const std::vector<std::string>& metadata, bool with_metadata,
                      bool take_sqrt, RankingResultSlot slot) {
  std::vector<TopKEntry> merged;
  merged.reserve(k);
  for (std::vector<TopKEntry>& heap : heaps) {
    while (!heap.empty()) {
      std::pop_heap(heap.begin(), heap.end(), FartherFirst);
      OfferTopK(merged, k, heap.back());
      heap.pop_back();
    }
  }
  WriteHeapToResults(slot, merged, metadata, with_metadata, take_sqrt);
}

void CheckCentroidIndex(size_t centroid_idx, size_t offsets_size, const char* ranker_name) {
  if (centroid_idx + 1 < offsets_size) return;
  LogAndThrow<std::out_of_range>(*GetLogger(), ERROR,
                                 std::string(ranker_name) + ": centroid_idx (" +
                                     std::to_string(centroid_idx) +
                                     ") + 1 >= centroid_to_matching_indices.size() (" +
                                     std::to_string(offsets_size) + ")");
}

std::vector<uint32_t> FlattenCandidateRows(const std::vector<uint64_t>& offsets,
                                           const uint32_t* positions, size_t n_positions,
                                           size_t reserve) {
  std::vector<uint32_t> rows;
  rows.reserve(reserve);
  for (size_t i = 0; i < n_positions; ++i) {
    const size_t p = positions[i];
    for (uint64_t r = offsets[p]; r < offsets[p + 1]; ++r) rows.push_back(static_cast<uint32_t>(r));
  }
  return rows;
}

}  // namespace nivora::internal::vector_index::cpu
