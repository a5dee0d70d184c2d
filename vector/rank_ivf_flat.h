// The IVFFlat ranker (also used for every untrained index, whose payloads
// are raw float rows): the top_k nearest candidates of each query by exact
// distance over the float32 payload rows, read in place.
//
// Thread-safe: inputs are only read; the work runs on OpenMP threads.
#ifndef NIVORA_VECTOR_RANK_IVF_FLAT_H_
#define NIVORA_VECTOR_RANK_IVF_FLAT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "vector/entry_points.h"

namespace nivora::internal::vector_index::cpu {

// Empty slots (num_results 0) when there are no payload rows, no queries in
// the selection or no query rows, before the metric is looked at. Otherwise
// k = min(top_k, number of ids); per query the k nearest of its lists'
// candidates, nearest first, Euclidean as square roots; metadata[row] per
// result when `include` holds METADATA.
// Throws, logged at ERROR unless noted:
//  - std::runtime_error "Unsupported distance metric." for a metric outside 0-2;
//  - std::invalid_argument "Row size not compatible with target type" (not
//    logged) for rows that are not whole floats;
//  - std::invalid_argument "RankIVFFlatMetric: embeddings has rows but no
//    cols. rows=<r>, cols=0";
//  - std::invalid_argument "Matching IDs and embeddings have different sizes";
//  - std::invalid_argument "RankIVFFlatMetric: metadata.size() (<m>) !=
//    item_ids.size() (<n>)" when metadata is requested;
//  - std::invalid_argument "Query embedding dimension does not match item
//    embedding";
//  - the list checks of CheckRankingInputs (ranking_driver.h), with
//    "RankIVFFlatMetric: embedding access out of bounds. start_index=<s>,
//    bucket_size=<n>, embeddings.rows()=<rows>" for a list beyond the rows;
//  - std::runtime_error for a NaN met in block scoring (vector_scorer.h).
RankingResults RankIVFFlat(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                           const std::vector<std::string>& metadata,
                           const CentroidSelection& selection, Array2DView<float> queries,
                           uint32_t top_k, DistanceMetric metric,
                           const std::vector<ItemFields>& include);

}  // namespace nivora::internal::vector_index::cpu

#endif  // NIVORA_VECTOR_RANK_IVF_FLAT_H_
