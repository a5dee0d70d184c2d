// Small helpers that every ranker entry point shares: the empty-input test,
// k, the metadata flag and the RankingCall of a call.
#ifndef NIVORA_VECTOR_RANKER_COMMON_H_
#define NIVORA_VECTOR_RANKER_COMMON_H_

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/flags.h"
#include "core/item_batch.h"
#include "vector/ranking_driver.h"

namespace nivora::internal::vector_index {

// No payload rows, no queries in the selection, or no query rows: the call
// returns empty slots without looking further.
inline bool NothingToRank(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                          const CentroidSelection& selection, Array2DView<float> queries) {
  return retrieved.rows() == 0 || selection.n_queries == 0 || queries.rows == 0;
}

// min(top_k, number of candidates): the capacity of every heap of a call.
inline uint32_t HeapCapacity(uint32_t top_k, size_t candidates) {
  return static_cast<uint32_t>(std::min<uint64_t>(top_k, candidates));
}

inline bool WantsMetadata(const std::vector<ItemFields>& include) {
  return std::find(include.begin(), include.end(), ItemFields::METADATA) != include.end();
}

inline RankingCall MakeRankingCall(const char* name,
                                   const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                                   const std::vector<std::string>& metadata,
                                   const CentroidSelection& selection, Array2DView<float> queries,
                                   const std::vector<ItemFields>& include, uint32_t k,
                                   bool take_sqrt, EndMessageFn end_message) {
  RankingCall call;
  call.name = name;
  call.selection = &selection;
  call.ids = &retrieved.matching_ids;
  call.offsets = &retrieved.centroid_to_matching_indices;
  call.rows = retrieved.rows();
  call.query_rows = queries.rows;
  call.metadata = &metadata;
  call.with_metadata = WantsMetadata(include);
  call.take_sqrt = take_sqrt;
  call.k = k;
  call.end_message = end_message;
  if (retrieved.read_payloads) {
    call.reader = &retrieved.read_payloads;
    if (retrieved.row_present.size() == call.rows) call.present = &retrieved.row_present;
  }
  call.row_bytes = retrieved.payloads.cols;
  return call;
}

}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_RANKER_COMMON_H_
