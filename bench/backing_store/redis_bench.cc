// Redis keystore batch I/O: 100,000 values of 528 bytes put and read back in
// batches of 1,000 over one connection, in items/s, beside redis-benchmark's
// HSET and HGET with a pipeline of 1,000 on one client against the same
// server in the same run, and the ratio of the two.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "backing_store/external/redis/redis_keystore.h"
#include "redis_server_process.h"

namespace {

namespace store = nivora_encrypted_index::internal::backing_store;
using nivora_encrypted_index::BackingStoreType;

constexpr size_t kItems = 100000;
constexpr size_t kBatch = 1000;
constexpr size_t kValueBytes = 528;
constexpr uint64_t kIndex = 0xBE7C4ull;

struct Server {
  nivora_redis_testing::TempFolder folder;
  nivora_redis_testing::RedisServerProcess process{folder.path(), {}};
};

Server& LocalServer() {
  static Server server;
  return server;
}

std::unique_ptr<store::RedisKeystore> OpenKeystore() {
  const std::string connection =
      "host:127.0.0.1,port:" + std::to_string(LocalServer().process.port()) + ",db:0";
  auto keystore = std::make_unique<store::RedisKeystore>(
      nivora::DBConfig(nivora::Location::REDIS, "bench_config", connection),
      BackingStoreType::VECTORS);
  keystore->SetValueSizeImpl(kIndex, kValueBytes);
  return keystore;
}

// redis-benchmark's requests per second for one command, pipelined 1,000
// deep on one client over the whole key range.
double RedisBenchmarkRate(const std::string& command) {
  const std::string line = "redis-benchmark -h 127.0.0.1 -p " +
                           std::to_string(LocalServer().process.port()) + " -c 1 -P " +
                           std::to_string(kBatch) + " -n " + std::to_string(kItems) + " -r " +
                           std::to_string(kItems) + " --csv " + command + " 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(line.c_str(), "r"), &pclose);
  if (pipe == nullptr) throw std::runtime_error("cannot run redis-benchmark");
  char buffer[4096];
  double rate = 0;
  while (fgets(buffer, sizeof(buffer), pipe.get()) != nullptr) {
    // Result lines: "<command>","<rps>",...; the header's second field is "rps".
    std::string text(buffer);
    const size_t second = text.find("\",\"");
    if (second == std::string::npos) continue;
    try {
      rate = std::stod(text.substr(second + 3));
    } catch (const std::exception&) {
    }
  }
  return rate;
}

std::string Value() { return std::string(kValueBytes, 'v'); }

double ReferenceHsetRate() {
  static const double rate = RedisBenchmarkRate("HSET bench:ref field:__rand_int__ " + Value());
  return rate;
}

double ReferenceHgetRate() {
  ReferenceHsetRate();  // fills the hash it reads
  static const double rate = RedisBenchmarkRate("HGET bench:ref field:__rand_int__");
  return rate;
}

void Report(benchmark::State& state, size_t items, double seconds, double reference) {
  const double rate = static_cast<double>(items) / seconds;
  state.counters["items_per_s"] = rate;
  state.counters["redis_benchmark_per_s"] = reference;
  state.counters["ratio"] = reference > 0 ? rate / reference : 0;
}

void BM_RedisBatchPut(benchmark::State& state) {
  auto keystore = OpenKeystore();
  nivora::Array2D<unsigned char> values(kBatch, kValueBytes);
  std::vector<uint64_t> keys(kBatch);
  const double reference = ReferenceHsetRate();
  size_t items = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    for (size_t first = 0; first < kItems; first += kBatch) {
      for (size_t i = 0; i < kBatch; ++i) {
        keys[i] = first + i;
        values.row(i)[0] = static_cast<unsigned char>(i);
      }
      keystore->BatchPushItemsImpl(kIndex, keys, values);
    }
    items += kItems;
  }
  Report(state, items,
         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
         reference);
}
BENCHMARK(BM_RedisBatchPut)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RedisBatchGet(benchmark::State& state) {
  auto keystore = OpenKeystore();
  std::vector<uint64_t> keys(kBatch);
  {
    nivora::Array2D<unsigned char> values(kBatch, kValueBytes);
    for (size_t first = 0; first < kItems; first += kBatch) {
      for (size_t i = 0; i < kBatch; ++i) keys[i] = first + i;
      keystore->BatchPushItemsImpl(kIndex, keys, values);
    }
  }
  const double reference = ReferenceHgetRate();
  size_t items = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    for (size_t first = 0; first < kItems; first += kBatch) {
      for (size_t i = 0; i < kBatch; ++i) keys[i] = first + i;
      benchmark::DoNotOptimize(keystore->BatchGetItemsImpl(kIndex, keys));
    }
    items += kItems;
  }
  Report(state, items,
         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
         reference);
  keystore->DeleteIndexImpl(kIndex);
}
BENCHMARK(BM_RedisBatchGet)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
