// GPU twins of the vector-mathematics entry points. This build has no CUDA:
// every twin writes no log line, touches none of its arguments and throws
// std::runtime_error with kCudaRequiredMessage. Each has exactly the
// signature of its CPU version (see entry_points.h), so a caller holds either
// in one function pointer.
#ifndef NIVORA_VECTOR_GPU_ENTRY_POINTS_H_
#define NIVORA_VECTOR_GPU_ENTRY_POINTS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/flags.h"
#include "vector/entry_points.h"

namespace nivora::internal::vector_index {

using nivora::kCudaRequiredMessage;

namespace gpu {

// Centroid assignment of new items (twin of cpu::EncodePQ).
Array2D<uint32_t> EncodePQ(const Array2D<float>& data, const std::vector<Codebook>& codebooks,
                           DistanceMetric metric);

std::vector<Codebook> TrainKMeans(const Array2D<float>& data, const KMeansParams& params,
                                  DistanceMetric metric);

CentroidSelection SelectCentroidsIVF(const Array2D<float>& queries, const QuantizerSet& set,
                                     size_t n_probes, DistanceMetric metric, size_t top_k,
                                     const std::vector<uint32_t>& list_sizes,
                                     uint64_t total_items, float greedy_factor,
                                     double target_recall);

CentroidSelection SelectCentroids(const Array2D<float>& queries, const QuantizerSet& set,
                                  size_t n_probes, DistanceMetric metric, size_t top_k,
                                  const std::vector<uint32_t>& list_sizes, uint64_t total_items,
                                  float greedy_factor, double target_recall);

RankingResults RankIVF(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                       const CentroidSelection& selection, uint32_t top_k);

RankingResults RankIVFPQ(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                         const std::vector<std::string>& metadata,
                         const CentroidSelection& selection, Array2DView<float> queries,
                         const std::vector<Codebook>& pq_codebooks, uint32_t top_k,
                         DistanceMetric metric, const std::vector<ItemFields>& include);

RankingResults RankIVFFlat(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                           const std::vector<std::string>& metadata,
                           const CentroidSelection& selection, Array2DView<float> queries,
                           uint32_t top_k, DistanceMetric metric,
                           const std::vector<ItemFields>& include);

// Instantiated for CodeT = uint8_t and uint16_t.
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

}  // namespace gpu
}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_GPU_ENTRY_POINTS_H_
