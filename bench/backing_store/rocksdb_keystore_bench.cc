// Batch I/O of the RocksDB keystore against the same work done directly
// through the RocksDB API, in one run: 100,000 values of 528 bytes (one
// 128-float record with its encryption overhead) put and read back in
// batches of 1,000. Prints items/s of both and the keystore's slowdown.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <rocksdb/db.h>
#include <rocksdb/options.h>
#include <rocksdb/write_batch.h>

#include "backing_store/external/rocksdb/rocksdb_keystore.h"
#include "backing_store/external/rocksdb/rocksdb_item_key.h"

namespace {

namespace fs = std::filesystem;
namespace store = nivora_encrypted_index::internal::backing_store;

constexpr size_t kItems = 100000;
constexpr size_t kBatch = 1000;
constexpr size_t kValueBytes = 528;
constexpr uint64_t kIndex = 0x5EED;

// Keys and values of the workload, made once.
struct Workload {
  std::vector<uint64_t> keys;
  nivora::Array2D<unsigned char> values{kItems, kValueBytes};
  Workload() : keys(kItems) {
    std::mt19937_64 random(7);
    for (uint64_t& key : keys) key = random();
    for (size_t i = 0; i < values.size(); ++i) values.data[i] = static_cast<unsigned char>(random());
  }
  std::vector<uint64_t> KeysOf(size_t batch) const {
    return {keys.begin() + batch * kBatch, keys.begin() + (batch + 1) * kBatch};
  }
  nivora::Array2D<unsigned char> RowsOf(size_t batch) const {
    nivora::Array2D<unsigned char> rows = values;  // shares the block
    rows.data = values.data + batch * kBatch * kValueBytes;
    rows.rows = kBatch;
    return rows;
  }
};

const Workload& Data() {
  static const Workload workload;
  return workload;
}

fs::path Folder(const std::string& name) {
  return fs::temp_directory_path() / ("nivora_bench_" + std::to_string(::getpid())) / name;
}

// The keystore, on a data folder of its own.
class KeystoreRig {
 public:
  KeystoreRig() {
    nivora::DBConfig config(nivora::Location::ROCKSDB, std::nullopt, Folder("keystore").string());
    keystore_ = std::make_unique<store::RocksDBKeystore>(config,
                                                         nivora_encrypted_index::BackingStoreType::VECTORS);
    keystore_->SetValueSizeImpl(kIndex, kValueBytes);
  }
  void Put(size_t batch) { keystore_->BatchPushItemsImpl(kIndex, Data().KeysOf(batch), Data().RowsOf(batch)); }
  void Get(size_t batch) {
    benchmark::DoNotOptimize(keystore_->BatchGetItemsImpl(kIndex, Data().KeysOf(batch)).data);
  }

 private:
  std::unique_ptr<store::RocksDBKeystore> keystore_;
};

// The same work directly through RocksDB: a plain database, the same key
// layout, one WriteBatch and one MultiGet per batch.
class DirectRig {
 public:
  DirectRig() {
    rocksdb::Options options;
    options.create_if_missing = true;
    options.compression = rocksdb::kNoCompression;
    fs::create_directories(Folder("direct"));
    rocksdb::DB* raw = nullptr;
    if (!rocksdb::DB::Open(options, Folder("direct").string(), &raw).ok()) std::abort();
    db_.reset(raw);
  }
  void Put(size_t batch) {
    const Workload& data = Data();
    rocksdb::WriteBatch write;
    for (size_t i = batch * kBatch; i < (batch + 1) * kBatch; ++i) {
      const store::ItemKey key = store::MakeItemKey(kIndex + 3, data.keys[i]);
      write.Put(store::AsSlice(key), rocksdb::Slice(reinterpret_cast<const char*>(data.values.row(i)),
                                                    kValueBytes));
    }
    if (!db_->Write(rocksdb::WriteOptions(), &write).ok()) std::abort();
  }
  void Get(size_t batch) {
    const Workload& data = Data();
    std::vector<store::ItemKey> keys(kBatch);
    std::vector<rocksdb::Slice> slices(kBatch);
    for (size_t i = 0; i < kBatch; ++i) {
      keys[i] = store::MakeItemKey(kIndex + 3, data.keys[batch * kBatch + i]);
      slices[i] = store::AsSlice(keys[i]);
    }
    std::vector<rocksdb::PinnableSlice> values(kBatch);
    std::vector<rocksdb::Status> statuses(kBatch);
    db_->MultiGet(rocksdb::ReadOptions(), db_->DefaultColumnFamily(), kBatch, slices.data(),
                  values.data(), statuses.data());
    std::vector<unsigned char> out(kBatch * kValueBytes);
    for (size_t i = 0; i < kBatch; ++i) {
      if (statuses[i].ok()) std::memcpy(out.data() + i * kValueBytes, values[i].data(), kValueBytes);
    }
    benchmark::DoNotOptimize(out.data());
  }

 private:
  std::unique_ptr<rocksdb::DB> db_;
};

template <typename Rig>
Rig& RigOf() {
  static Rig rig;
  return rig;
}

template <typename Rig>
void BM_Put(benchmark::State& state) {
  Rig& rig = RigOf<Rig>();
  for (auto _ : state) {
    for (size_t batch = 0; batch < kItems / kBatch; ++batch) rig.Put(batch);
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}

template <typename Rig>
void BM_Get(benchmark::State& state) {
  Rig& rig = RigOf<Rig>();
  for (size_t batch = 0; batch < kItems / kBatch; ++batch) rig.Put(batch);
  for (auto _ : state) {
    for (size_t batch = 0; batch < kItems / kBatch; ++batch) rig.Get(batch);
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}

BENCHMARK(BM_Put<DirectRig>)->Name("Put/direct")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_Put<KeystoreRig>)->Name("Put/keystore")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_Get<DirectRig>)->Name("Get/direct")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_Get<KeystoreRig>)->Name("Get/keystore")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

// Keeps items/s per run name for the summary.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) items_per_second_[run.benchmark_name()] = it->second.value;
    }
  }
  void PrintRatios() const {
    for (const char* op : {"Put", "Get"}) {
      const auto direct = items_per_second_.find(std::string(op) + "/direct/min_time:2.000/real_time");
      const auto keystore = items_per_second_.find(std::string(op) + "/keystore/min_time:2.000/real_time");
      if (direct == items_per_second_.end() || keystore == items_per_second_.end()) continue;
      std::printf("%s: keystore %.0f items/s, direct RocksDB %.0f items/s, ratio %.2fx (goal <= 1.5x)\n",
                  op, keystore->second, direct->second, direct->second / keystore->second);
    }
  }

 private:
  std::map<std::string, double> items_per_second_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  std::error_code ignored;
  fs::remove_all(Folder("").parent_path(), ignored);
  return 0;
}
