// End-to-end figures of the encrypted index on the in-process store: upsert
// throughput, TrainIndex time with automatic n_lists, and per n_probes the
// batch QPS (median of kBatchRuns batches), single-query latency and
// recall@10. Driven by
// api_vs_faiss.py, which writes the data, runs faiss-cpu on the same data
// and prints the ratios; this binary prints one JSON object.
//
// Usage: api_bench <folder> <index type: ivfflat | ivfsq8> <threads>
//                  <n_probes,n_probes,...> [store]
// store: "memory" (the in-process store, the default), "rocksdb:<folder>"
// or "redis:<connection string>"; on the last two the upsert into the
// trained index is not measured.
// The folder holds base.f32 (rows x dim), queries.f32 (q x dim),
// truth.i64 (q x 10, the exact neighbours' row numbers) and shape.txt
// ("rows dim queries").
#include <malloc.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "api/client.h"
#include "core/db_config.h"
#include "core/index_config.h"
#include "encrypted_index/client.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kTopK = 10;
constexpr size_t kUpsertBatch = 10000;
constexpr size_t kLatencyQueries = 1000;
// Timed batches per n_probes: the median is reported (a shared machine
// stalls single runs).
constexpr size_t kBatchRuns = 5;

// A line of /proc/self/status ("VmRSS", "VmHWM") in bytes; 0 when absent.
size_t StatusBytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1)) * 1024;
  }
  return 0;
}

// Resets the peak resident size (VmHWM) to the current one.
void ResetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename T>
std::vector<T> ReadFile(const std::string& path, size_t count) {
  std::vector<T> out(count);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(count * sizeof(T)));
  if (!in) throw std::runtime_error("cannot read " + path);
  return out;
}

struct Data {
  size_t rows = 0;
  size_t dim = 0;
  size_t queries = 0;
  std::vector<float> base;
  std::vector<float> query;
  std::vector<int64_t> truth;  // queries x kTopK row numbers
};

Data Load(const std::string& folder) {
  Data d;
  std::ifstream shape(folder + "/shape.txt");
  shape >> d.rows >> d.dim >> d.queries;
  if (!shape) throw std::runtime_error("cannot read shape.txt");
  d.base = ReadFile<float>(folder + "/base.f32", d.rows * d.dim);
  d.query = ReadFile<float>(folder + "/queries.f32", d.queries * d.dim);
  d.truth = ReadFile<int64_t>(folder + "/truth.i64", d.queries * kTopK);
  return d;
}

nivora::Array2D<float> Rows(const std::vector<float>& values, size_t first, size_t count,
                            size_t dim) {
  nivora::Array2D<float> m(count, dim);
  std::copy(values.begin() + static_cast<std::ptrdiff_t>(first * dim),
            values.begin() + static_cast<std::ptrdiff_t>((first + count) * dim), m.data);
  return m;
}

double Recall(const nivora::QueryResult& result, const Data& d, size_t first) {
  size_t hits = 0;
  for (size_t q = 0; q < result.ids.size(); ++q) {
    const int64_t* truth = &d.truth[(first + q) * kTopK];
    for (const std::string& id : result.ids[q]) {
      const int64_t row = std::stoll(id);
      hits += std::find(truth, truth + kTopK, row) != truth + kTopK;
    }
  }
  return static_cast<double>(hits) / static_cast<double>(result.ids.size() * kTopK);
}

// The rows a query reads at these n_probes, averaged over the first
// kWorkQueries queries: asked for more results than its probed lists can
// hold, a query returns every row it read (each id once, as the ids are
// distinct). Two indexes with the same n_lists may fill their lists very
// differently, so this is what their times at one n_probes compare.
constexpr size_t kWorkQueries = 100;

double RowsPerQuery(nivora::EncryptedIndex& index, const Data& d, uint64_t n_probes) {
  const std::vector<uint32_t>& lists = index.engine()->get_counter_map();
  const uint64_t largest = lists.empty() ? 0 : *std::max_element(lists.begin(), lists.end());
  nivora::QueryParams params;
  params.n_probes = n_probes;
  params.top_k = std::max<uint64_t>(1, std::min<uint64_t>(d.rows, n_probes * largest));
  const size_t count = std::min(kWorkQueries, d.queries);
  size_t rows = 0;
  for (size_t q = 0; q < count; ++q) {
    rows += index.Query(Rows(d.query, q, 1, d.dim), params).ids.at(0).size();
  }
  return count == 0 ? 0.0 : static_cast<double>(rows) / static_cast<double>(count);
}

std::vector<uint64_t> ParseList(const std::string& text) {
  std::vector<uint64_t> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(std::stoull(item));
  return out;
}

// Runs the query sweep; false when this build has no Query yet.
bool QuerySweep(nivora::EncryptedIndex& index, const Data& d,
                const std::vector<uint64_t>& probes, std::ostream& json) {
  const nivora::Array2D<float> all = Rows(d.query, 0, d.queries, d.dim);
  json << "\"sweep\":[";
  for (size_t p = 0; p < probes.size(); ++p) {
    nivora::QueryParams params;
    params.top_k = kTopK;
    params.n_probes = probes[p];
    nivora::QueryResult result;
    try {
      result = index.Query(all, params);  // warm-up, and the recall
    } catch (const std::logic_error& e) {
      if (std::string(e.what()) != "not implemented") throw;
      json << "]";
      return false;
    }
    const double recall = Recall(result, d, 0);
    result = nivora::QueryResult();
    malloc_trim(0);  // what the open index holds, without freed heap
    const size_t resident = StatusBytes("VmRSS");
    ResetPeakResident();
    auto start = Clock::now();
    index.Query(all, params);
    std::vector<double> batches = {Seconds(start)};
    const size_t peak = StatusBytes("VmHWM");
    while (batches.size() < kBatchRuns) {
      start = Clock::now();
      index.Query(all, params);
      batches.push_back(Seconds(start));
    }
    std::sort(batches.begin(), batches.end());
    const double batch_s = batches[batches.size() / 2];
    const size_t single = std::min(kLatencyQueries, d.queries);
    std::vector<double> latencies;
    for (size_t q = 0; q < single; ++q) {
      const nivora::Array2D<float> one = Rows(d.query, q, 1, d.dim);
      start = Clock::now();
      index.Query(one, params);
      latencies.push_back(Seconds(start) * 1e3);
    }
    std::sort(latencies.begin(), latencies.end());
    json << (p ? "," : "") << "{\"n_probes\":" << probes[p] << ",\"recall\":" << recall
         << ",\"qps\":" << static_cast<double>(d.queries) / batch_s
         << ",\"latency_ms\":" << latencies[latencies.size() / 2]
         << ",\"latency_p99_ms\":" << latencies[latencies.size() * 99 / 100]
         << ",\"resident_mb\":" << resident / 1e6 << ",\"peak_mb\":" << peak / 1e6
         << ",\"rows_per_query\":" << RowsPerQuery(index, d, probes[p]) << "}";
  }
  json << "]";
  return true;
}

std::unique_ptr<nivora::IndexConfig> MakeConfig(const std::string& type, size_t dim) {
  if (type == "ivfflat") return std::make_unique<nivora::IndexIVFFlat>(dim);
  if (type == "ivfsq8") return std::make_unique<nivora::IndexIVFSQ>(dim, 8);
  throw std::invalid_argument("index type must be ivfflat or ivfsq8");
}

// The stores of the run: see the usage above.
nivora::DBConfig StoreConfig(const std::string& store) {
  const auto value = [&](const std::string& prefix) { return store.substr(prefix.size()); };
  if (store == "memory") {
    return nivora::DBConfig(nivora::Location::THREADSAFEMEMORY, std::nullopt, std::nullopt);
  }
  if (store.rfind("rocksdb:", 0) == 0) {
    return nivora::DBConfig(nivora::Location::ROCKSDB, std::nullopt, value("rocksdb:"));
  }
  if (store.rfind("redis:", 0) == 0) {
    return nivora::DBConfig(nivora::Location::REDIS, "api_bench", value("redis:"));
  }
  throw std::invalid_argument("store must be memory, rocksdb:<folder> or redis:<connection>");
}

int Run(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::cerr << "usage: api_bench <folder> <ivfflat|ivfsq8> <threads> <n_probes,...> [store]\n";
    return 2;
  }
  const std::string store = argc == 6 ? argv[5] : "memory";
  const Data d = Load(argv[1]);
  const std::string type = argv[2];
  const int threads = std::stoi(argv[3]);
  const std::vector<uint64_t> probes = ParseList(argv[4]);

  const nivora::DBConfig stores = StoreConfig(store);
  nivora::Client client("", stores, stores, stores, threads, nivora::GPUConfig::NONE);
  std::array<uint8_t, 32> key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 7 + 1);
  const std::unique_ptr<nivora::IndexConfig> config = MakeConfig(type, d.dim);
  auto index = client.CreateIndex("bench_" + type, key, *config, std::nullopt, nullptr);

  // Upsert: ids are the row numbers, so recall compares with the truth.
  std::vector<std::string> ids(d.rows);
  for (size_t i = 0; i < d.rows; ++i) ids[i] = std::to_string(i);
  auto start = Clock::now();
  for (size_t first = 0; first < d.rows; first += kUpsertBatch) {
    const size_t n = std::min(kUpsertBatch, d.rows - first);
    const std::vector<std::string> batch_ids(ids.begin() + static_cast<std::ptrdiff_t>(first),
                                             ids.begin() + static_cast<std::ptrdiff_t>(first + n));
    index->Upsert(batch_ids, Rows(d.base, first, n, d.dim), {}, {});
  }
  const double upsert_s = Seconds(start);

  nivora::TrainParams train;
  train.max_iters = 20;
  start = Clock::now();
  index->TrainIndex(train);
  const double train_s = Seconds(start);

  std::ostringstream json;
  json << "{\"rows\":" << d.rows << ",\"upsert_s\":" << upsert_s << ",\"train_s\":" << train_s
       << ",\"n_lists\":" << index->config()->n_lists() << ",";
  const bool queried = QuerySweep(*index, d, probes, json);

  if (store != "memory") {
    json << ",\"query\":" << (queried ? "true" : "false") << "}";
    std::cout << json.str() << std::endl;
    return 0;
  }
  // Upsert into the trained index: the same rows again under new ids.
  start = Clock::now();
  for (size_t first = 0; first < d.rows; first += kUpsertBatch) {
    const size_t n = std::min(kUpsertBatch, d.rows - first);
    std::vector<std::string> batch_ids(n);
    for (size_t i = 0; i < n; ++i) batch_ids[i] = "t" + ids[first + i];
    index->Upsert(batch_ids, Rows(d.base, first, n, d.dim), {}, {});
  }
  json << ",\"trained_upsert_s\":" << Seconds(start);
  json << ",\"query\":" << (queried ? "true" : "false") << "}";
  std::cout << json.str() << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "api_bench: " << e.what() << "\n";
    return 1;
  }
}
