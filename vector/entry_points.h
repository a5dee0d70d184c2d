// Signatures of the vector-mathematics entry points that index operations
// hold in function pointers, choosing per operation between the CPU version
// (namespace cpu) and its GPU twin (namespace gpu) by the index's GPUConfig:
// UPSERT for the centroid assignment (EncodePQ), TRAIN for k-means, QUERY
// for centroid selection and the rankers.
#ifndef NIVORA_VECTOR_ENTRY_POINTS_H_
#define NIVORA_VECTOR_ENTRY_POINTS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/array2d.h"
#include "core/flags.h"
#include "core/index_config.h"
#include "vector/centroid_selection.h"
#include "vector/kmeans.h"
#include "vector/quantizer_set.h"
#include "vector/ranking_results.h"

namespace nivora_encrypted_index {
struct RetrieveNeighborsResult;  // the engine's candidate set of a query
}  // namespace nivora_encrypted_index

namespace nivora::internal::vector_index {

using EncodePQFn = Array2D<uint32_t> (*)(const Array2D<float>& data,
                                         const std::vector<Codebook>& codebooks,
                                         DistanceMetric metric);

using TrainKMeansFn = std::vector<Codebook> (*)(const Array2D<float>& data,
                                                const KMeansParams& params,
                                                DistanceMetric metric);

// Both centroid selections (IVF, and IVFPQ / IVFFlat / IVFSQ).
using SelectCentroidsFn = CentroidSelection (*)(const Array2D<float>& queries,
                                                const QuantizerSet& set, size_t n_probes,
                                                DistanceMetric metric, size_t top_k,
                                                const std::vector<uint32_t>& list_sizes,
                                                uint64_t total_items, float greedy_factor,
                                                double target_recall);

using RankIVFFn = RankingResults (*)(
    const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
    const CentroidSelection& selection, uint32_t top_k);

using RankIVFPQFn = RankingResults (*)(
    const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
    const std::vector<std::string>& metadata, const CentroidSelection& selection,
    Array2DView<float> queries, const std::vector<Codebook>& pq_codebooks, uint32_t top_k,
    DistanceMetric metric, const std::vector<ItemFields>& include);

using RankIVFFlatFn = RankingResults (*)(
    const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
    const std::vector<std::string>& metadata, const CentroidSelection& selection,
    Array2DView<float> queries, uint32_t top_k, DistanceMetric metric,
    const std::vector<ItemFields>& include);

// Both code widths of the IVFSQ ranker.
using RankIVFSQFn = RankingResults (*)(
    const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
    const std::vector<std::string>& metadata, const CentroidSelection& selection,
    Array2DView<float> queries, const SQQuantizer& quantizer, uint32_t top_k,
    DistanceMetric metric, const std::vector<ItemFields>& include);

}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_ENTRY_POINTS_H_
