#include "vector/rank_ivf.h"

#include <type_traits>

#include "core/item_batch.h"
#include "core/parallel_for.h"
#include "vector/ranker_common.h"
#include "vector/vector_errors.h"

namespace nivora::internal::vector_index::cpu {

static_assert(std::is_same_v<decltype(&RankIVF), RankIVFFn>);

namespace {

constexpr char kName[] = "RankIVF";

std::string EndMessage(uint64_t /*start*/, uint64_t end, size_t rows) {
  return std::string(kName) + ": end_idx (" + std::to_string(end) + ") > matching_ids.size() (" +
         std::to_string(rows) + ")";
}

void CheckDistances(const CentroidSelection& selection) {
  const bool same_shape = selection.query_distances.cols == selection.query_lists.cols &&
                          (selection.query_lists.cols == 0 ||
                           selection.query_distances.rows >= selection.n_queries);
  if (!same_shape) {
    LogAndThrowInvalid(std::string(kName) + ": query_distances does not match query_lists");
  }
}

}  // namespace

RankingResults RankIVF(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                       const CentroidSelection& selection, uint32_t top_k) {
  const std::vector<uint64_t>& ids = retrieved.matching_ids;
  if (ids.empty() || selection.n_queries == 0) return RankingResults(selection.n_queries, 0);
  const uint32_t k = HeapCapacity(top_k, ids.size());
  RankingResults results(selection.n_queries, k);
  CheckDistances(selection);
  static const std::vector<std::string> kNoMetadata;
  RankingCall call;
  call.name = kName;
  call.selection = &selection;
  call.ids = &ids;
  call.offsets = &retrieved.centroid_to_matching_indices;
  call.rows = ids.size();
  call.query_rows = selection.n_queries;
  call.metadata = &kNoMetadata;
  call.k = k;
  call.end_message = &EndMessage;
  CheckRankingInputs(call);
  if (k == 0) return results;

  const std::vector<uint64_t>& off = retrieved.centroid_to_matching_indices;
  ParallelForDynamic(selection.n_queries, [&](size_t q) {
    std::vector<uint64_t>& out_ids = results.ids[q];
    std::vector<float>& out_distances = results.distances[q];
    for (size_t j = 0; j < selection.query_lists.cols && out_ids.size() < k; ++j) {
      const uint32_t p = selection.query_lists.row(q)[j];
      const float distance = selection.query_distances.row(q)[j];
      for (uint64_t r = off[p]; r < off[p + 1] && out_ids.size() < k; ++r) {
        out_ids.push_back(ids[r]);
        out_distances.push_back(distance);
      }
    }
    results.num_results[q] = static_cast<uint32_t>(out_ids.size());
  });
  return results;
}

}  // namespace nivora::internal::vector_index::cpu
