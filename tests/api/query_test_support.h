// Test support for query and filtering tests of the index API: a client on
// the process-wide in-memory stores with a capturing telemetry transport, an
// index logger writing to a temporary file, clustered data with metadata,
// indexes trained by hand on that data, and brute-force neighbours to
// measure recall against.
#ifndef NIVORA_TESTS_API_QUERY_TEST_SUPPORT_H_
#define NIVORA_TESTS_API_QUERY_TEST_SUPPORT_H_

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/client.h"
#include "api/encrypted_index.h"
#include "api/index_state.h"
#include "core/array2d.h"
#include "core/db_config.h"
#include "core/logger.h"
#include "vector/kmeans.h"
#include "vector/quantizer_set.h"
#include "tests/api/index_test_support.h"

namespace nivora::testing {

// Items drawn around a few centres; item i carries metadata
// {"cat": i % 5, "tag": "t<i % 3>"}, except every 7th item, which has none.
struct ClusteredData {
  size_t dim = 0;
  std::vector<std::string> ids;
  std::vector<float> values;  // row-major, one row per id
  std::vector<std::string> metadata;

  ClusteredData(size_t n, size_t dim_in, size_t clusters, uint32_t seed) : dim(dim_in) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> centre_dist(0.0f, 10.0f);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> centres(clusters * dim);
    for (float& c : centres) c = centre_dist(rng);
    values.resize(n * dim);
    for (size_t i = 0; i < n; ++i) {
      const size_t c = i % clusters;
      for (size_t d = 0; d < dim; ++d) values[i * dim + d] = centres[c * dim + d] + noise(rng);
      ids.push_back("item-" + std::to_string(i));
      metadata.push_back(i % 7 == 0 ? std::string()
                                    : "{\"cat\": " + std::to_string(i % 5) + ", \"tag\": \"t" +
                                          std::to_string(i % 3) + "\"}");
    }
  }
  size_t size() const { return ids.size(); }
  Array2D<float> Rows(size_t begin, size_t end) const {
    return Array2D<float>(
        std::vector<float>(values.begin() + begin * dim, values.begin() + end * dim), dim);
  }
  Array2D<float> All() const { return Rows(0, size()); }
  const float* row(size_t i) const { return values.data() + i * dim; }
};

// Query vectors near the data: item rows with a little noise.
inline Array2D<float> NoisyQueries(const ClusteredData& data, size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<size_t> pick(0, data.size() - 1);
  std::normal_distribution<float> noise(0.0f, 0.5f);
  std::vector<float> out;
  for (size_t q = 0; q < n; ++q) {
    const float* r = data.row(pick(rng));
    for (size_t d = 0; d < data.dim; ++d) out.push_back(r[d] + noise(rng));
  }
  return Array2D<float>(out, data.dim);
}

inline float SquaredL2(const float* a, const float* b, size_t dim) {
  float s = 0;
  for (size_t d = 0; d < dim; ++d) s += (a[d] - b[d]) * (a[d] - b[d]);
  return s;
}

// Ids of the k nearest items (squared L2) among those `eligible` admits.
template <typename Eligible>
std::vector<std::string> BruteForce(const ClusteredData& data, const float* query, size_t k,
                                    Eligible eligible) {
  std::vector<std::pair<float, size_t>> scored;
  for (size_t i = 0; i < data.size(); ++i) {
    if (eligible(i)) scored.push_back({SquaredL2(query, data.row(i), data.dim), i});
  }
  const size_t n = std::min(k, scored.size());
  std::partial_sort(scored.begin(), scored.begin() + n, scored.end());
  std::vector<std::string> ids;
  for (size_t j = 0; j < n; ++j) ids.push_back(data.ids[scored[j].second]);
  return ids;
}

// Share of `expected` found in `got`.
inline double Recall(const std::vector<std::string>& got, const std::vector<std::string>& expected) {
  if (expected.empty()) return 1.0;
  const std::set<std::string> found(got.begin(), got.end());
  size_t hits = 0;
  for (const auto& id : expected) hits += found.count(id);
  return static_cast<double>(hits) / static_cast<double>(expected.size());
}

inline bool HasDuplicates(const std::vector<std::string>& ids) {
  return std::set<std::string>(ids.begin(), ids.end()).size() != ids.size();
}

// Query parameters: top_k results, filters, n_probes (0: automatic).
inline QueryParams Params(uint64_t top_k, std::string filters = "", uint64_t n_probes = 0) {
  QueryParams params;
  params.top_k = top_k;
  params.n_probes = n_probes;
  params.filters = std::move(filters);
  return params;
}

// A client on THREADSAFEMEMORY stores, a file logger at INFO and index names
// unique to this process and test.
class IndexApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client_ = MakeClient(GPUConfig::NONE);
    const std::string log_name = UniqueName("query_log_" + std::to_string(::getpid())) + ".log";
    log_path_ = std::filesystem::temp_directory_path() / log_name;
    logger_.configure("info", true, log_path_.string());
    key_ = TestKey(0x5a);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove(log_path_, ignored);
  }

  std::unique_ptr<Client> MakeClient(GPUConfig gpu) {
    return std::make_unique<Client>("test-key", ThreadSafeMemory(), ThreadSafeMemory(),
                                    ThreadSafeMemory(), 4, gpu, telemetry_.aggregator());
  }
  std::unique_ptr<EncryptedIndex> Create(const IndexConfig& config) {
    return Create(*client_, config);
  }
  std::unique_ptr<EncryptedIndex> Create(Client& client, const IndexConfig& config) {
    return client.CreateIndex(UniqueName(std::to_string(::getpid())), key_, config, std::nullopt,
                              &logger_);
  }
  // Trains an index that holds no items yet with quantizers made here from
  // data (k-means for the coarse and PQ codebooks, the value ranges for SQ),
  // installed as a stored state of version 1 the way a training commits it.
  // Items upserted afterwards are ingested under them.
  static void TrainByHand(EncryptedIndex& index, const ClusteredData& data, size_t n_lists) {
    namespace vi = internal::vector_index;
    std::unique_ptr<IndexConfig> config = index.config();
    config->set_n_lists(n_lists);
    const Array2D<float> all = data.All();
    vi::QuantizerSet set;
    vi::KMeansParams coarse;
    coarse.n_clusters = n_lists;
    coarse.max_iters = 20;
    set.centroids = vi::cpu::TrainKMeans(all, coarse, config->metric_);
    if (config->index_type_ == IndexType::IVFPQ) {
      vi::KMeansParams pq;
      pq.n_subvectors = config->pq_dim();
      pq.n_clusters = size_t{1} << config->pq_bits();
      pq.max_iters = 20;
      set.pq_codebooks = vi::cpu::TrainKMeans(all, pq, DistanceMetric::Euclidean);
    }
    if (config->index_type_ == IndexType::IVFSQ) {
      vi::SQQuantizer sq;
      sq.bits = static_cast<int32_t>(config->sq_bits());
      const float levels = static_cast<float>((size_t{1} << config->sq_bits()) - 1);
      for (size_t d = 0; d < data.dim; ++d) {
        float lo = data.values[d], hi = data.values[d];
        for (size_t i = 0; i < data.size(); ++i) {
          lo = std::min(lo, data.row(i)[d]);
          hi = std::max(hi, data.row(i)[d]);
        }
        sq.min.push_back(lo);
        sq.scale.push_back(hi > lo ? (hi - lo) / levels : 1.0f);
      }
      set.sq_quantizers.push_back(std::move(sq));
    }
    index.DeserializeIndexState(
        SerializeIndexState(index.index_name(), *config, set, true, 1));
    index.SyncEngineShape();
    index.StoreIndexState();
    index.CacheQuantizers();
    index.EndQuantizerUse();
    ASSERT_TRUE(index.is_trained());
  }

  void UpsertAll(EncryptedIndex& index, const ClusteredData& data) {
    index.Upsert(data.ids, data.All(), {}, data.metadata);
  }

  // The log written so far.
  std::string Log() const {
    std::ifstream in(log_path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  size_t LogCount(const std::string& fragment) const {
    const std::string log = Log();
    size_t count = 0;
    for (size_t at = log.find(fragment); at != std::string::npos;
         at = log.find(fragment, at + fragment.size())) {
      ++count;
    }
    return count;
  }

  CapturedTelemetry telemetry_;
  std::unique_ptr<Client> client_;
  Logger logger_;
  std::filesystem::path log_path_;
  std::array<uint8_t, 32> key_{};
};

}  // namespace nivora::testing

#endif  // NIVORA_TESTS_API_QUERY_TEST_SUPPORT_H_
