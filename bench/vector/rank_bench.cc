// Ranking throughput: 1 and 1,000 queries over 100,000 candidates of
// dimension 128 (100 lists of 1,000 rows, every query probing every list),
// top 10, for each index type. rank_vs_faiss.py runs this binary beside
// faiss-cpu scanning the same rows with the same k.
//
// Data: when NIVORA_BENCH_DATA names a folder holding base.f32 (100,000 x
// 128 floats) and queries.f32 (1,000 x 128), those rows are ranked, so that
// both sides see the same vectors; otherwise Gaussian groups are generated.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/item_batch.h"
#include "vector/kmeans.h"
#include "vector/pq_encoding.h"
#include "vector/rank_ivf.h"
#include "vector/rank_ivf_flat.h"
#include "vector/rank_ivf_pq.h"
#include "vector/rank_ivf_sq.h"
#include "vector/sq_codec.h"

namespace nivora::internal::vector_index {
namespace {

using nivora_encrypted_index::RetrieveNeighborsResult;

constexpr size_t kRows = 100000;
constexpr size_t kQueries = 1000;
constexpr size_t kDim = 128;
constexpr size_t kLists = 100;
constexpr uint32_t kTopK = 10;

bool ReadFloats(const std::string& path, size_t n, std::vector<float>& out) {
  std::ifstream in(path, std::ios::binary);
  out.resize(n);
  return static_cast<bool>(in.read(reinterpret_cast<char*>(out.data()), n * sizeof(float)));
}

struct Data {
  Array2D<float> base;
  Array2D<float> queries;
};

const Data& TheData() {
  static const Data data = [] {
    std::vector<float> base, queries;
    const char* folder = std::getenv("NIVORA_BENCH_DATA");
    if (folder != nullptr && ReadFloats(std::string(folder) + "/base.f32", kRows * kDim, base) &&
        ReadFloats(std::string(folder) + "/queries.f32", kQueries * kDim, queries)) {
      return Data{Array2D<float>(base, kDim), Array2D<float>(queries, kDim)};
    }
    std::mt19937 gen(42);
    std::normal_distribution<float> normal;
    std::vector<float> centres(2000 * kDim);
    for (float& v : centres) v = normal(gen);
    const auto fill = [&](std::vector<float>& v, size_t rows) {
      v.resize(rows * kDim);
      for (size_t r = 0; r < rows; ++r) {
        const float* c = centres.data() + (gen() % 2000) * kDim;
        for (size_t j = 0; j < kDim; ++j) v[r * kDim + j] = c[j] + 0.3f * normal(gen);
      }
    };
    fill(base, kRows);
    fill(queries, kQueries);
    return Data{Array2D<float>(base, kDim), Array2D<float>(queries, kDim)};
  }();
  return data;
}

// 100 lists of 1,000 consecutive rows holding `payload`'s rows as bytes.
template <typename T>
RetrieveNeighborsResult Candidates(const Array2D<T>& payload) {
  RetrieveNeighborsResult r;
  for (size_t l = 0; l <= kLists; ++l) r.centroid_to_matching_indices.push_back(l * kRows / kLists);
  for (size_t i = 0; i < kRows; ++i) r.matching_ids.push_back(i);
  r.payloads = Array2D<uint8_t>(kRows, payload.cols * sizeof(T));
  std::memcpy(r.payloads.data, payload.data, r.payloads.size());
  return r;
}

// n queries, each probing every list.
CentroidSelection EveryList(size_t n) {
  CentroidSelection s;
  s.n_queries = n;
  for (uint32_t l = 0; l < kLists; ++l) s.probed_lists.push_back(l);
  s.query_lists = Array2D<uint32_t>(n, kLists);
  s.query_distances = Array2D<float>(n, kLists);
  for (size_t q = 0; q < n; ++q) {
    for (uint32_t l = 0; l < kLists; ++l) s.query_lists.row(q)[l] = l;
  }
  return s;
}

Array2DView<float> Queries(size_t n) {
  return Array2DView<float>(TheData().queries.data, n, kDim);
}

// Per-dimension min and (max - min) / (2^bits - 1), as training sets them.
SQQuantizer TrainedSQ(int bits) {
  const Array2D<float>& base = TheData().base;
  SQQuantizer q{bits, std::vector<float>(kDim, 1e30f), std::vector<float>(kDim, -1e30f)};
  for (size_t r = 0; r < base.rows; ++r) {
    for (size_t j = 0; j < kDim; ++j) {
      q.min[j] = std::min(q.min[j], base.row(r)[j]);
      q.scale[j] = std::max(q.scale[j], base.row(r)[j]);
    }
  }
  const float levels = bits == 8 ? 255.0f : 65535.0f;
  for (size_t j = 0; j < kDim; ++j) {
    const float range = q.scale[j] - q.min[j];
    q.scale[j] = range > 0 ? range / levels : 1.0f;
  }
  return q;
}

void Report(benchmark::State& state, size_t n_queries) {
  state.counters["queries"] = static_cast<double>(n_queries);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n_queries * kRows));
}

void BM_RankIVFFlat(benchmark::State& state) {
  const size_t n = state.range(0);
  const RetrieveNeighborsResult r = Candidates(TheData().base);
  const CentroidSelection sel = EveryList(n);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        cpu::RankIVFFlat(r, {}, sel, Queries(n), kTopK, DistanceMetric::SquaredEuclidean, {}));
  }
  Report(state, n);
}

template <typename CodeT>
void BM_RankIVFSQ(benchmark::State& state) {
  const size_t n = state.range(0);
  const SQQuantizer quantizer = TrainedSQ(sizeof(CodeT) * 8);
  Array2D<CodeT> codes(kRows, kDim);
  cpu::EncodeSQInto<CodeT>(TheData().base, quantizer, Array2DView<CodeT>(codes));
  const RetrieveNeighborsResult r = Candidates(codes);
  const CentroidSelection sel = EveryList(n);
  for (auto _ : state) {
    benchmark::DoNotOptimize(cpu::RankIVFSQ<CodeT>(r, {}, sel, Queries(n), quantizer, kTopK,
                                                   DistanceMetric::SquaredEuclidean, {}));
  }
  Report(state, n);
}

void BM_RankIVFPQ(benchmark::State& state) {
  const size_t n = state.range(0);
  const std::vector<Codebook> books = cpu::TrainKMeans(
      TheData().base, {.n_subvectors = 16, .n_clusters = 256, .max_iters = 5, .batch_size = 16384},
      DistanceMetric::SquaredEuclidean);
  const RetrieveNeighborsResult r =
      Candidates(cpu::EncodePQ(TheData().base, books, DistanceMetric::SquaredEuclidean));
  const CentroidSelection sel = EveryList(n);
  for (auto _ : state) {
    benchmark::DoNotOptimize(cpu::RankIVFPQ(r, {}, sel, Queries(n), books, kTopK,
                                            DistanceMetric::SquaredEuclidean, {}));
  }
  Report(state, n);
}

void BM_RankIVF(benchmark::State& state) {
  const size_t n = state.range(0);
  RetrieveNeighborsResult r = Candidates(Array2D<uint8_t>(kRows, 0));
  const CentroidSelection sel = EveryList(n);
  for (auto _ : state) benchmark::DoNotOptimize(cpu::RankIVF(r, sel, kTopK));
  Report(state, n);
}

#define NIVORA_RANK_BENCH(fn) \
  BENCHMARK(fn)->ArgName("queries")->Arg(1)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime()

NIVORA_RANK_BENCH(BM_RankIVFFlat);
NIVORA_RANK_BENCH(BM_RankIVFSQ<uint8_t>);
NIVORA_RANK_BENCH(BM_RankIVFSQ<uint16_t>);
NIVORA_RANK_BENCH(BM_RankIVFPQ);
NIVORA_RANK_BENCH(BM_RankIVF);

}  // namespace
}  // namespace nivora::internal::vector_index
