// Shared pieces of the index API tests: a client on the process-wide
// in-memory store with a capturing telemetry transport, unique index names,
// direct engine access to a stored index (to plant stored states), and
// trained states made by hand.
#ifndef NIVORA_TESTS_API_INDEX_TEST_SUPPORT_H_
#define NIVORA_TESTS_API_INDEX_TEST_SUPPORT_H_

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/client.h"
#include "api/index_state.h"
#include "backing_store/keystore.h"
#include "encrypted_index/client.h"
#include "telemetry/scripted_transport.h"
#include "tests/api/quantizer_test_sets.h"

namespace nivora::testing {

inline DBConfig ThreadSafeMemory() {
  return DBConfig(Location::THREADSAFEMEMORY, std::nullopt, std::nullopt);
}
inline DBConfig PlainMemory() { return DBConfig(Location::MEMORY, std::nullopt, std::nullopt); }
inline DBConfig RocksDB(const std::string& folder) {
  return DBConfig(Location::ROCKSDB, std::nullopt, folder);
}

inline std::array<uint8_t, 32> TestKey(uint8_t seed) {
  std::array<uint8_t, 32> key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(seed + i * 7 + 1);
  return key;
}

// A name no other test of this process uses.
inline std::string UniqueName(const std::string& stem) {
  static std::atomic<int> counter{0};
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return stem + "_" + (info ? info->name() : "x") + "_" + std::to_string(counter++);
}

// rows x cols with distinct values.
inline Array2D<float> Vectors(size_t rows, size_t cols, float base = 0.0f) {
  Array2D<float> m(rows, cols);
  for (size_t i = 0; i < rows * cols; ++i) m.data[i] = base + 0.25f * static_cast<float>(i);
  return m;
}

inline std::vector<float> Row(const Array2D<float>& m, size_t r) {
  return std::vector<float>(m.row(r), m.row(r) + m.cols);
}

// A telemetry aggregator that keeps what it sends, and what it sent.
class CapturedTelemetry {
 public:
  CapturedTelemetry() {
    internal::TelemetryOptions options;
    options.transport = std::make_unique<internal::testing::ScriptedTransport>(script_);
    options.flush_interval = std::chrono::hours(1);
    aggregator_ = std::make_shared<internal::TelemetryAggregator>("test-key", std::move(options));
  }
  const std::shared_ptr<internal::TelemetryAggregator>& aggregator() const { return aggregator_; }

  // Flushes, then sums the counts per event type and collects error
  // descriptions sent since the last call.
  void Collect() {
    aggregator_->Flush();
    const std::vector<std::string> bodies = script_->Bodies();
    for (size_t i = seen_; i < bodies.size(); ++i) {
      for (const auto& event : internal::testing::EventsOf(bodies[i])) {
        const std::string type = event["type"];
        if (type == "error") {
          errors_.push_back(event["description"]);
        } else if (event.contains("count")) {
          counts_[type] += event["count"].get<int64_t>();
        }
      }
    }
    seen_ = bodies.size();
  }
  int64_t Count(const std::string& type) {
    Collect();
    return counts_[type];
  }
  std::vector<std::string> Errors() {
    Collect();
    return errors_;
  }
  void Reset() {
    Collect();
    counts_.clear();
    errors_.clear();
  }

 private:
  std::shared_ptr<internal::testing::TransportScript> script_ =
      std::make_shared<internal::testing::TransportScript>();
  std::shared_ptr<internal::TelemetryAggregator> aggregator_;
  size_t seen_ = 0;
  std::map<std::string, int64_t> counts_;
  std::vector<std::string> errors_;
};

// The engine of a stored index, opened beside the API on keystores of its
// own (the in-process stores share their data process-wide; RocksDB shares
// its databases by path).
struct EngineHandle {
  std::array<std::unique_ptr<nivora_encrypted_index::internal::backing_store::Keystore>, 6>
      stores;
  std::unique_ptr<nivora_encrypted_index::Client> engine;
};

inline EngineHandle OpenEngine(const std::string& name, const std::array<uint8_t, 32>& key,
                               DBConfig index_location = ThreadSafeMemory(),
                               DBConfig config_location = ThreadSafeMemory()) {
  using nivora_encrypted_index::BackingStoreType;
  using nivora_encrypted_index::internal::backing_store::Keystore;
  EngineHandle handle;
  for (int t = 0; t < 6; ++t) {
    DBConfig location = t == 1 ? config_location : index_location;
    handle.stores[t] = Keystore::CreateKeystore(location, static_cast<BackingStoreType>(t));
  }
  nivora_encrypted_index::ExistingIndexConfig config;
  config.index_name = name;
  config.index_key = key;
  config.index_keystore = handle.stores[0].get();
  config.config_keystore = handle.stores[1].get();
  config.contents_keystore = handle.stores[2].get();
  config.vectors_keystore = handle.stores[3].get();
  config.metadata_keystore = handle.stores[4].get();
  config.id_keystore = handle.stores[5].get();
  handle.engine = std::make_unique<nivora_encrypted_index::Client>(config);
  return handle;
}

// The bytes of a trained state for config with n_lists lists, made by hand:
// coarse centroids, and the type's PQ codebooks or SQ quantizer.
inline std::vector<uint8_t> TrainedStateBytes(const std::string& name, const IndexConfig& config,
                                              size_t n_lists, int32_t version, float base = 1.0f) {
  std::unique_ptr<IndexConfig> trained = config.clone();
  trained->set_n_lists(n_lists);
  const size_t d = trained->dimension();
  const bool pq = trained->index_type_ == IndexType::IVFPQ;
  const bool sq = trained->index_type_ == IndexType::IVFSQ;
  internal::vector_index::QuantizerSet set = internal::testing::FilledSet(
      n_lists, d, base, pq ? trained->pq_dim() : 0, pq ? trained->pq_bits() : 0, sq);
  if (sq) set.sq_quantizers.front().bits = static_cast<int32_t>(trained->sq_bits());
  return SerializeIndexState(name, *trained, set, true, version);
}

}  // namespace nivora::testing

#endif  // NIVORA_TESTS_API_INDEX_TEST_SUPPORT_H_
