// The IVFPQ ranker: a candidate's distance to a query is the sum, over the
// PQ subquantizers in order, of the distance between the query's sub-vector
// and the codeword its code names (squared L2 for Euclidean and
// SquaredEuclidean, 1 - cosine for Cosine; neither averaged nor clamped).
// When the batch retrieved at least K rows (K codewords per subquantizer),
// and always on the flattened path, each query first gets M tables of K
// sub-distances and a candidate costs M lookups; otherwise each candidate is
// scored from the codewords directly. Both ways give the same values.
//
// Thread-safe: inputs are only read; the work runs on OpenMP threads.
#ifndef NIVORA_VECTOR_RANK_IVF_PQ_H_
#define NIVORA_VECTOR_RANK_IVF_PQ_H_

#include <cstdint>
#include <string>
#include <vector>

#include "vector/entry_points.h"

namespace nivora::internal::vector_index::cpu {

// Empty slots when there are no payload rows, no queries in the selection
// or no query rows, before the metric is looked at. Payload rows hold M
// native uint32 codes. Throws, logged at ERROR unless noted:
//  - std::runtime_error "Unsupported distance metric.";
//  - std::invalid_argument "Row size not compatible with target type" (not
//    logged) for rows that are not whole uint32 codes;
//  - std::invalid_argument "RankIVFPQMetric: no PQ codebooks";
//  - std::invalid_argument "Query embedding dimension does not match product
//    quantizer" (logged with a final full stop) when the query width is not
//    M x w (w = the first codebook's width);
//  - std::invalid_argument "RankIVFPQMetric: every PQ codebook must hold
//    <K> x <w> codewords" when the codebooks differ in shape;
//  - std::invalid_argument "RankIVFPQMetric: PQ code rows hold <c> codes,
//    expected <M>" and "RankIVFPQMetric: PQ code <c> at row <r> is not below
//    the codeword count <K>";
//  - the checks of CheckRankingInputs (ranking_driver.h), with
//    "RankIVFPQMetric: end_index (<end>) > pq_embeddings.rows() (<rows>)".
RankingResults RankIVFPQ(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                         const std::vector<std::string>& metadata,
                         const CentroidSelection& selection, Array2DView<float> queries,
                         const std::vector<Codebook>& pq_codebooks, uint32_t top_k,
                         DistanceMetric metric, const std::vector<ItemFields>& include);

}  // namespace nivora::internal::vector_index::cpu

#endif  // NIVORA_VECTOR_RANK_IVF_PQ_H_
