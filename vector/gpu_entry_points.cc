#include "vector/gpu_entry_points.h"

#include <stdexcept>
#include <type_traits>

#include "vector/kmeans.h"
#include "vector/pq_encoding.h"

namespace nivora::internal::vector_index {

// A twin must fit the same function pointer as its CPU version.
static_assert(std::is_same_v<decltype(&cpu::EncodePQ), EncodePQFn>);
static_assert(std::is_same_v<decltype(&gpu::EncodePQ), EncodePQFn>);
static_assert(std::is_same_v<decltype(&cpu::TrainKMeans), TrainKMeansFn>);
static_assert(std::is_same_v<decltype(&gpu::TrainKMeans), TrainKMeansFn>);
static_assert(std::is_same_v<decltype(&gpu::SelectCentroidsIVF), SelectCentroidsFn>);
static_assert(std::is_same_v<decltype(&gpu::SelectCentroids), SelectCentroidsFn>);
static_assert(std::is_same_v<decltype(&gpu::RankIVF), RankIVFFn>);
static_assert(std::is_same_v<decltype(&gpu::RankIVFPQ), RankIVFPQFn>);
static_assert(std::is_same_v<decltype(&gpu::RankIVFFlat), RankIVFFlatFn>);
static_assert(std::is_same_v<decltype(&gpu::RankIVFSQ<uint8_t>), RankIVFSQFn>);
static_assert(std::is_same_v<decltype(&gpu::RankIVFSQ<uint16_t>), RankIVFSQFn>);

namespace gpu {
namespace {

[[noreturn]] void ThrowCudaRequired() { throw std::runtime_error(kCudaRequiredMessage); }

}  // namespace

Array2D<uint32_t> EncodePQ(const Array2D<float>&, const std::vector<Codebook>&, DistanceMetric) {
  ThrowCudaRequired();
}

std::vector<Codebook> TrainKMeans(const Array2D<float>&, const KMeansParams&, DistanceMetric) {
  ThrowCudaRequired();
}

CentroidSelection SelectCentroidsIVF(const Array2D<float>&, const QuantizerSet&, size_t,
                                     DistanceMetric, size_t, const std::vector<uint32_t>&,
                                     uint64_t, float, double) {
  ThrowCudaRequired();
}

CentroidSelection SelectCentroids(const Array2D<float>&, const QuantizerSet&, size_t,
                                  DistanceMetric, size_t, const std::vector<uint32_t>&, uint64_t,
                                  float, double) {
  ThrowCudaRequired();
}

RankingResults RankIVF(const nivora_encrypted_index::RetrieveNeighborsResult&,
                       const CentroidSelection&, uint32_t) {
  ThrowCudaRequired();
}

RankingResults RankIVFPQ(const nivora_encrypted_index::RetrieveNeighborsResult&,
                         const std::vector<std::string>&, const CentroidSelection&,
                         Array2DView<float>, const std::vector<Codebook>&, uint32_t,
                         DistanceMetric, const std::vector<ItemFields>&) {
  ThrowCudaRequired();
}

RankingResults RankIVFFlat(const nivora_encrypted_index::RetrieveNeighborsResult&,
                           const std::vector<std::string>&, const CentroidSelection&,
                           Array2DView<float>, uint32_t, DistanceMetric,
                           const std::vector<ItemFields>&) {
  ThrowCudaRequired();
}

template <typename CodeT>
RankingResults RankIVFSQ(const nivora_encrypted_index::RetrieveNeighborsResult&,
                         const std::vector<std::string>&, const CentroidSelection&,
                         Array2DView<float>, const SQQuantizer&, uint32_t, DistanceMetric,
                         const std::vector<ItemFields>&) {
  ThrowCudaRequired();
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

}  // namespace gpu
}  // namespace nivora::internal::vector_index
