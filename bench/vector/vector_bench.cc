// Throughput of training and encoding at the sizes of a mid-sized index:
// 100,000 vectors of dimension 128, a coarse quantizer of 1,024 lists
// (trained with the automatic batch of 16,384 that training uses for that
// many lists), PQ with 16 sub-quantizers of 256 codewords, and SQ codes.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "vector/kmeans.h"
#include "vector/pq_encoding.h"
#include "vector/sq_codec.h"

namespace nivora::internal::vector_index {
namespace {

constexpr size_t kRows = 100000;
constexpr size_t kDim = 128;

// Gaussian groups around 2,000 random centres: structured like embeddings,
// so k-means and the codecs see realistic distance spreads.
const Array2D<float>& Data() {
  static const Array2D<float> data = [] {
    std::mt19937 gen(42);
    std::normal_distribution<float> normal;
    std::vector<float> centres(2000 * kDim);
    for (float& v : centres) v = normal(gen);
    Array2D<float> d(kRows, kDim);
    for (size_t r = 0; r < kRows; ++r) {
      const float* c = centres.data() + (r % 2000) * kDim;
      for (size_t j = 0; j < kDim; ++j) d.row(r)[j] = c[j] + 0.3f * normal(gen);
    }
    return d;
  }();
  return data;
}

std::vector<Codebook> Codebooks(size_t m, size_t k) {
  return cpu::TrainKMeans(Data(), {.n_subvectors = m, .n_clusters = k, .max_iters = 5,
                                   .batch_size = 16384},
                          DistanceMetric::Euclidean);
}

DistanceMetric MetricArg(const benchmark::State& state) {
  return static_cast<DistanceMetric>(state.range(0));
}

void BM_TrainKMeansCoarse(benchmark::State& state) {
  const KMeansParams params{.n_subvectors = 1, .n_clusters = 1024,
                            .max_iters = static_cast<size_t>(state.range(1)),
                            .batch_size = 16384};
  const Array2D<float>& data = Data();  // built outside the timed loop
  for (auto _ : state) {
    benchmark::DoNotOptimize(cpu::TrainKMeans(data, params, MetricArg(state)));
  }
}
BENCHMARK(BM_TrainKMeansCoarse)
    ->ArgNames({"metric", "iters"})
    ->Args({1, 0})
    ->Args({1, 100})
    ->Args({0, 100})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_TrainKMeansPQ(benchmark::State& state) {
  const KMeansParams params{.n_subvectors = 16, .n_clusters = 256, .max_iters = 100,
                            .batch_size = 16384};
  const Array2D<float>& data = Data();  // built outside the timed loop
  for (auto _ : state) {
    benchmark::DoNotOptimize(cpu::TrainKMeans(data, params, MetricArg(state)));
  }
}
BENCHMARK(BM_TrainKMeansPQ)
    ->ArgName("metric")
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// m = 1 with 1,024 centroids is the centroid assignment of ingest; m = 16
// with 256 codewords the PQ codes of an IVFPQ index.
void BM_EncodePQ(benchmark::State& state) {
  const std::vector<Codebook> books = Codebooks(state.range(1), state.range(2));
  for (auto _ : state) {
    benchmark::DoNotOptimize(cpu::EncodePQ(Data(), books, MetricArg(state)));
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_EncodePQ)
    ->ArgNames({"metric", "m", "k"})
    ->ArgsProduct({{1, 0}, {1}, {1024}})
    ->ArgsProduct({{1, 0}, {16}, {256}})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

template <typename CodeT>
SQQuantizer Quantizer() {
  SQQuantizer q{static_cast<int32_t>(sizeof(CodeT) * 8), std::vector<float>(kDim, -4.0f),
                std::vector<float>(kDim, 8.0f / (sizeof(CodeT) == 1 ? 255.0f : 65535.0f))};
  return q;
}

template <typename CodeT>
void BM_EncodeSQ(benchmark::State& state) {
  const SQQuantizer q = Quantizer<CodeT>();
  const Array2D<float>& data = Data();
  Array2D<CodeT> codes(kRows, kDim);
  for (auto _ : state) {
    cpu::EncodeSQInto<CodeT>(data, q, Array2DView<CodeT>(codes));
    benchmark::DoNotOptimize(codes.data);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_EncodeSQ<uint8_t>)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EncodeSQ<uint16_t>)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

template <typename CodeT>
void BM_DecodeSQ(benchmark::State& state) {
  const SQQuantizer q = Quantizer<CodeT>();
  Array2D<CodeT> codes(kRows, kDim);
  cpu::EncodeSQInto<CodeT>(Data(), q, Array2DView<CodeT>(codes));
  for (auto _ : state) {
    benchmark::DoNotOptimize(cpu::DecodeSQ<CodeT>(Array2DView<CodeT>(codes), q));
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_DecodeSQ<uint8_t>)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeSQ<uint16_t>)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace nivora::internal::vector_index
