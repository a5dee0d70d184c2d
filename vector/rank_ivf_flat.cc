#include "vector/rank_ivf_flat.h"

#include <type_traits>

#include "core/item_batch.h"
#include "vector/ranker_common.h"
#include "vector/vector_scorer.h"

namespace nivora::internal::vector_index::cpu {

static_assert(std::is_same_v<decltype(&RankIVFFlat), RankIVFFlatFn>);

namespace {

constexpr char kName[] = "RankIVFFlatMetric";

std::string EndMessage(uint64_t start, uint64_t end, size_t rows) {
  return std::string(kName) + ": embedding access out of bounds. start_index=" +
         std::to_string(start) + ", bucket_size=" + std::to_string(end - start) +
         ", embeddings.rows()=" + std::to_string(rows);
}

// The checks of the IVFFlat instances, in their order; returns the rows.
Array2DView<float> CheckedRows(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                               const std::vector<std::string>& metadata,
                               Array2DView<float> queries, bool with_metadata) {
  const Array2DView<float> rows = view_as<float>(Array2DView<uint8_t>(retrieved.payloads));
  if (rows.rows != 0 && rows.cols == 0) {
    LogAndThrowInvalid(std::string(kName) + ": embeddings has rows but no cols. rows=" +
                       std::to_string(rows.rows) + ", cols=0");
  }
  if (retrieved.rows() != retrieved.matching_ids.size()) {
    LogAndThrowInvalid("Matching IDs and embeddings have different sizes.",
                       "Matching IDs and embeddings have different sizes");
  }
  if (with_metadata && metadata.size() != retrieved.rows()) {
    LogAndThrowInvalid(std::string(kName) + ": metadata.size() (" +
                       std::to_string(metadata.size()) + ") != item_ids.size() (" +
                       std::to_string(retrieved.matching_ids.size()) + ")");
  }
  if (queries.cols != rows.cols) {
    LogAndThrowInvalid("Query embedding dimension does not match item embedding.",
                       "Query embedding dimension does not match item embedding");
  }
  return rows;
}

template <typename Metric>
void RankIVFFlatMetric(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                       const std::vector<std::string>& metadata,
                       const CentroidSelection& selection, Array2DView<float> queries,
                       uint32_t k, const std::vector<ItemFields>& include, bool take_sqrt,
                       RankingResults& results) {
  const Array2DView<float> rows =
      CheckedRows(retrieved, metadata, queries, WantsMetadata(include));
  const RankingCall call = MakeRankingCall(kName, retrieved, metadata, selection, queries,
                                           include, k, take_sqrt, &EndMessage);
  const VectorScorer<FloatRowSource, Metric> scorer(FloatRowSource{rows.data, rows.cols},
                                                    queries, kName);
  RankCandidates(call, scorer, results);
}

}  // namespace

RankingResults RankIVFFlat(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                           const std::vector<std::string>& metadata,
                           const CentroidSelection& selection, Array2DView<float> queries,
                           uint32_t top_k, DistanceMetric metric,
                           const std::vector<ItemFields>& include) {
  return RankByMetric(retrieved, selection, queries, top_k, metric,
                      [&](auto tag, bool take_sqrt, uint32_t k, RankingResults& results) {
                        RankIVFFlatMetric<typename decltype(tag)::type>(
                            retrieved, metadata, selection, queries, k, include, take_sqrt,
                            results);
                      });
}

}  // namespace nivora::internal::vector_index::cpu
