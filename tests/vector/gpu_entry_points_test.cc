#include "vector/gpu_entry_points.h"

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace nivora::internal::vector_index {
namespace {

TEST(GpuEntryPointsTest, EveryTwinThrowsTheCudaMessageAndLogsNothing) {
  // The twins never look at their arguments, so the engine's candidate set
  // (an incomplete type here) is only ever referred to.
  alignas(64) static unsigned char opaque[256] = {};
  const auto& retrieved =
      *reinterpret_cast<const nivora_encrypted_index::RetrieveNeighborsResult*>(opaque);
  const Array2D<float> data(std::vector<float>{1, 2, 3, 4}, 2);
  const std::vector<Codebook> codebooks(1);
  const KMeansParams params{.n_subvectors = 1, .n_clusters = 1};
  const QuantizerSet set;
  const CentroidSelection selection;
  const SQQuantizer quantizer;
  const std::vector<std::string> metadata;
  const std::vector<ItemFields> include;
  const std::vector<uint32_t> sizes;
  const Array2DView<float> queries(data);
  const DistanceMetric metric = DistanceMetric::Euclidean;

  struct Case {
    const char* name;
    std::function<void()> call;
  };
  const std::vector<Case> cases = {
      {"EncodePQ", [&] { gpu::EncodePQ(data, codebooks, metric); }},
      {"TrainKMeans", [&] { gpu::TrainKMeans(data, params, metric); }},
      {"SelectCentroidsIVF",
       [&] { gpu::SelectCentroidsIVF(data, set, 1, metric, 1, sizes, 0, 0.0f, 0.95); }},
      {"SelectCentroids",
       [&] { gpu::SelectCentroids(data, set, 1, metric, 1, sizes, 0, 0.0f, 0.95); }},
      {"RankIVF", [&] { gpu::RankIVF(retrieved, selection, 1); }},
      {"RankIVFPQ",
       [&] {
         gpu::RankIVFPQ(retrieved, metadata, selection, queries, codebooks, 1, metric, include);
       }},
      {"RankIVFFlat",
       [&] { gpu::RankIVFFlat(retrieved, metadata, selection, queries, 1, metric, include); }},
      {"RankIVFSQ<uint8_t>",
       [&] {
         gpu::RankIVFSQ<uint8_t>(retrieved, metadata, selection, queries, quantizer, 1, metric,
                                 include);
       }},
      {"RankIVFSQ<uint16_t>",
       [&] {
         gpu::RankIVFSQ<uint16_t>(retrieved, metadata, selection, queries, quantizer, 1, metric,
                                  include);
       }},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::string message;
    try {
      c.call();
    } catch (const std::runtime_error& e) {
      message = e.what();
    }
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(message,
              "CUDA support is required, but the library was built without CUDA. This build has "
              "no GPU support: leave every GPUConfig flag off.")
        << c.name;
    EXPECT_EQ(out + err, "") << c.name;
  }
}

}  // namespace
}  // namespace nivora::internal::vector_index
