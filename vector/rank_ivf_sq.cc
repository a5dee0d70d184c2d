#include "vector/rank_ivf_sq.h"

#include <type_traits>

#include "core/item_batch.h"
#include "vector/ranker_common.h"
#include "vector/vector_scorer.h"

namespace nivora::internal::vector_index::cpu {

static_assert(std::is_same_v<decltype(&RankIVFSQ<uint8_t>), RankIVFSQFn>);
static_assert(std::is_same_v<decltype(&RankIVFSQ<uint16_t>), RankIVFSQFn>);

namespace {

constexpr char kName[] = "RankIVFSQMetric";

std::string EndMessage(uint64_t /*start*/, uint64_t end, size_t rows) {
  return std::string(kName) + ": end_index (" + std::to_string(end) + ") > sq_embeddings.rows() (" +
         std::to_string(rows) + ")";
}

// The code rows as CodeT, after the instance's checks.
template <typename CodeT>
Array2DView<CodeT> CheckedCodes(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                                Array2DView<float> queries, const SQQuantizer& quantizer) {
  const Array2DView<CodeT> codes = view_as<CodeT>(Array2DView<uint8_t>(retrieved.payloads));
  if (codes.cols != queries.cols) {
    LogAndThrowInvalid("Query embedding dimension does not match SQ embedding dimension.",
                       "Query embedding dimension does not match SQ embedding dimension");
  }
  const size_t ranges = std::min(quantizer.min.size(), quantizer.scale.size());
  if (ranges < codes.cols) {
    LogAndThrowInvalid(std::string(kName) + ": SQ quantizer holds " + std::to_string(ranges) +
                       " values per range, fewer than the code dimension (" +
                       std::to_string(codes.cols) + ")");
  }
  return codes;
}

template <typename CodeT, typename Metric>
void RankIVFSQMetric(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                     const std::vector<std::string>& metadata, const CentroidSelection& selection,
                     Array2DView<float> queries, const SQQuantizer& quantizer, uint32_t k,
                     const std::vector<ItemFields>& include, bool take_sqrt,
                     RankingResults& results) {
  const Array2DView<CodeT> codes = CheckedCodes<CodeT>(retrieved, queries, quantizer);
  const RankingCall call = MakeRankingCall(kName, retrieved, metadata, selection, queries,
                                           include, k, take_sqrt, &EndMessage);
  const SQRowSource<CodeT> source{codes.data, codes.cols, quantizer.scale.data(),
                                  quantizer.min.data()};
  const VectorScorer<SQRowSource<CodeT>, Metric> scorer(source, queries, kName);
  RankCandidates(call, scorer, results);
}

}  // namespace

template <typename CodeT>
RankingResults RankIVFSQ(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                         const std::vector<std::string>& metadata,
                         const CentroidSelection& selection, Array2DView<float> queries,
                         const SQQuantizer& quantizer, uint32_t top_k, DistanceMetric metric,
                         const std::vector<ItemFields>& include) {
  return RankByMetric(retrieved, selection, queries, top_k, metric,
                      [&](auto tag, bool take_sqrt, uint32_t k, RankingResults& results) {
                        RankIVFSQMetric<CodeT, typename decltype(tag)::type>(
                            retrieved, metadata, selection, queries, quantizer, k, include,
                            take_sqrt, results);
                      });
}

template RankingResults RankIVFSQ<uint8_t>(const nivora_encrypted_index::RetrieveNeighborsResult&,
                                           const std::vector<std::string>&,
                                           const CentroidSelection&, Array2DView<float>,
                                           const SQQuantizer&, uint32_t, DistanceMetric,
                                           const std::vector<ItemFields>&);
template RankingResults RankIVFSQ<uint16_t>(
    const nivora_encrypted_index::RetrieveNeighborsResult&, const std::vector<std::string>&,
    const CentroidSelection&, Array2DView<float>, const SQQuantizer&, uint32_t, DistanceMetric,
    const std::vector<ItemFields>&);

}  // namespace nivora::internal::vector_index::cpu
