// The IVFSQ ranker, one template for 8-bit and 16-bit scalar-quantizer
// codes: each candidate's code row is decoded (code * scale + min) on the
// fly and scored against the query; the top_k nearest per query are kept.
//
// Thread-safe: inputs are only read; the work runs on OpenMP threads.
#ifndef NIVORA_VECTOR_RANK_IVF_SQ_H_
#define NIVORA_VECTOR_RANK_IVF_SQ_H_

#include <cstdint>
#include <string>
#include <vector>

#include "vector/entry_points.h"

namespace nivora::internal::vector_index::cpu {

// CodeT = uint8_t (one byte per dimension) or uint16_t (two little-endian
// bytes per dimension). Empty slots when there are no payload rows, no
// queries in the selection or no query rows, before the metric is looked
// at. Otherwise as RankIVFFlat, over the decoded rows. Throws, logged at
// ERROR unless noted:
//  - std::runtime_error "Unsupported distance metric.";
//  - (16-bit) std::invalid_argument "Row size not compatible with target
//    type" (not logged) for an odd row size;
//  - std::invalid_argument "Query embedding dimension does not match SQ
//    embedding dimension" (logged with a final full stop);
//  - std::invalid_argument "RankIVFSQMetric: SQ quantizer holds <n> values
//    per range, fewer than the code dimension (<d>)" when min or scale is
//    shorter than the code rows;
//  - the checks of CheckRankingInputs (ranking_driver.h), with
//    "RankIVFSQMetric: end_index (<end>) > sq_embeddings.rows() (<rows>)".
template <typename CodeT>
RankingResults RankIVFSQ(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                         const std::vector<std::string>& metadata,
                         const CentroidSelection& selection, Array2DView<float> queries,
                         const SQQuantizer& quantizer, uint32_t top_k, DistanceMetric metric,
                         const std::vector<ItemFields>& include);

extern template RankingResults RankIVFSQ<uint8_t>(
    const nivora_encrypted_index::RetrieveNeighborsResult&, const std::vector<std::string>&,
    const CentroidSelection&, Array2DView<float>, const SQQuantizer&, uint32_t, DistanceMetric,
    const std::vector<ItemFields>&);
extern template RankingResults RankIVFSQ<uint16_t>(
    const nivora_encrypted_index::RetrieveNeighborsResult&, const std::vector<std::string>&,
    const CentroidSelection&, Array2DView<float>, const SQQuantizer&, uint32_t, DistanceMetric,
    const std::vector<ItemFields>&);

}  // namespace nivora::internal::vector_index::cpu

#endif  // NIVORA_VECTOR_RANK_IVF_SQ_H_
