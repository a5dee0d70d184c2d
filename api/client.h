// nivora::Client: the object an application opens first. It keeps the three
// storage locations chosen (index, config, items), owns the six keystores
// every index of this client uses and the usage-telemetry aggregator, and
// makes indexes: CreateIndex a new one, LoadIndex a stored one. ListIndexes
// lists the index names stored at the config location.
//
// Ownership: indexes borrow this client's keystores, so the client must
// outlive every index it made; they share its telemetry aggregator.
//
// Thread safety: the client holds no lock and changes nothing after
// construction; concurrent calls are as safe as its parts (the aggregator
// and keystores serialise themselves). The logger selection of CreateIndex
// and LoadIndex is process-wide: the most recent call wins.
#ifndef NIVORA_API_CLIENT_H_
#define NIVORA_API_CLIENT_H_

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/encrypted_index.h"
#include "backing_store/keystore.h"
#include "core/db_config.h"
#include "core/flags.h"
#include "core/index_config.h"
#include "core/logger.h"
#include "encrypted_index/client.h"
#include "telemetry/telemetry_aggregator.h"

namespace nivora {

namespace internal {
// A number no other call in this process returns: the identity of a store
// that belongs to one object alone (a MEMORY config store) in the
// quantizer cache.
uint64_t NextQuantizerCacheIdentity();
}  // namespace internal

class Client {
 public:
  using Keystore = nivora_encrypted_index::internal::backing_store::Keystore;

  // Copies the locations, starts the telemetry aggregator, sets the OpenMP
  // thread count when cpu_threads > 0, creates the six keystores (their
  // factory's failures pass unguarded) and sends one "init" event inside
  // the guard "Client". An index or items location that is the config
  // location's PostgreSQL table throws std::invalid_argument "<which> and
  // config_location name the same PostgreSQL table '<table>': ...".
  Client(const std::string& api_key, const DBConfig& index_location,
         const DBConfig& config_location, const DBConfig& items_location, int cpu_threads,
         GPUConfig gpu_config);
  Client(const std::string& api_key, const DBConfig& index_location,
         const DBConfig& config_location, const DBConfig& items_location, int cpu_threads,
         GPUConfig gpu_config, const std::string& working_dir);
  // The same, with the telemetry aggregator given (tests count and capture
  // with their own transport).
  Client(const std::string& api_key, const DBConfig& index_location,
         const DBConfig& config_location, const DBConfig& items_location, int cpu_threads,
         GPUConfig gpu_config, std::shared_ptr<internal::TelemetryAggregator> telemetry);
  // Releases the keystores in reverse type order, then the aggregator.
  ~Client();

  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // A new index. Validation failures are std::invalid_argument, before
  // anything is stored; among them a name the config store cannot hold
  // (Keystore::CheckIndexName). Bad PQ or SQ parameters are refused here
  // when known. metric, when given, overrides the configuration's. logger
  // null: the default logger.
  std::unique_ptr<EncryptedIndex> CreateIndex(const std::string& index_name,
                                              const std::array<uint8_t, 32>& index_key,
                                              const IndexConfig& index_config,
                                              std::optional<DistanceMetric> metric,
                                              Logger* logger);
  // The same with the default configuration: IVFSQ, dimension fixed by the
  // first upsert, Euclidean, one list, 16-bit codes.
  std::unique_ptr<EncryptedIndex> CreateIndex(const std::string& index_name,
                                              const std::array<uint8_t, 32>& index_key,
                                              std::optional<DistanceMetric> metric,
                                              Logger* logger);
  // A stored index (guard "LoadIndex"). No location may be MEMORY; a name
  // the config store cannot hold is std::invalid_argument.
  std::unique_ptr<EncryptedIndex> LoadIndex(const std::string& index_name,
                                            const std::array<uint8_t, 32>& index_key,
                                            Logger* logger);
  // The index names stored at the config location, listed by the lister of
  // its location code.
  std::vector<std::string> ListIndexes();

  int get_cpu_threads() const { return cpu_threads_; }
  bool is_gpu_enabled() const { return gpu_config_ != GPUConfig::NONE; }
  GPUConfig get_gpu_config() const { return gpu_config_; }
  const std::shared_ptr<internal::TelemetryAggregator>& telemetry() const { return telemetry_; }
  // This client's location in the quantizer cache (a MEMORY config store
  // belongs to this client alone).
  const std::string& quantizer_cache_location() const { return cache_location_; }

 private:
  void CreateKeystores();
  // The store of the indexes' config items: it judges which names it can
  // hold (Keystore::CheckIndexName) before an index is created or loaded.
  Keystore& config_store() const {
    return *keystores_[static_cast<size_t>(nivora_encrypted_index::BackingStoreType::CONFIG)];
  }
  void SendInitEvent();
  // The six borrowed keystores and the thread and GPU settings, for the
  // engine records.
  void FillEngineConfig(nivora_encrypted_index::ExistingIndexConfig& config) const;

  DBConfig index_location_;
  DBConfig config_location_;
  DBConfig items_location_;
  DBConfig vectors_location_;
  DBConfig metadata_location_;
  DBConfig id_location_;
  std::string api_key_;
  int32_t cpu_threads_ = 0;
  GPUConfig gpu_config_ = GPUConfig::NONE;
  std::optional<std::string> working_dir_;
  std::unique_ptr<nivora_encrypted_index::Client> engine_client_;  // never set
  std::shared_ptr<internal::TelemetryAggregator> telemetry_;
  std::array<std::unique_ptr<Keystore>, 6> keystores_;
  std::string cache_location_;
};

}  // namespace nivora

#endif  // NIVORA_API_CLIENT_H_
