#include "api/client.h"

#include <atomic>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "api/encrypted_quantizer_cache.h"
#include "api/error_guard.h"
#include "api/quantizer_params.h"
#include "backing_store/external/postgres/postgres_index_listing.h"
#include "backing_store/external/postgres/postgres_table_name.h"
#include "backing_store/external/redis/redis_index_lister.h"
#include "backing_store/external/rocksdb/rocksdb_index_listing.h"
#include "backing_store/thread_safe_memory_keystore.h"
#include "encrypted_index/stored_layout.h"

namespace nivora {

namespace internal {

uint64_t NextQuantizerCacheIdentity() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace internal

namespace {

namespace crypto = nivora_encrypted_index::internal::cryptography;
using internal::TelemetryEventType;
using nivora_encrypted_index::BackingStoreType;
using nivora_encrypted_index::internal::encrypted_index::kEngineConfigSuffix;

constexpr size_t kMaxIndexNameBytes = 255;

// The limits every store holds: a name of 1 to 255 bytes (in UTF-8).
void ValidateIndexName(const std::string& name) {
  if (name.size() > kMaxIndexNameBytes) {
    throw std::invalid_argument("Index name cannot be longer than 255 bytes.");
  }
  if (name.empty()) throw std::invalid_argument("Index name cannot be an empty string.");
}

void ValidateNewIndex(const std::string& name, const std::array<uint8_t, 32>& key,
                      const IndexConfig& config, DistanceMetric metric) {
  ValidateIndexName(name);
  bool all_zero = true;
  for (uint8_t b : key) all_zero = all_zero && b == 0;
  if (all_zero) throw std::invalid_argument("An index key of all zero bytes is refused.");
  if (config.n_lists() == 0) throw std::invalid_argument("n_lists cannot be 0.");
  if (static_cast<uint32_t>(config.index_type_) > 3) {
    throw std::invalid_argument("Index type must be IVF, IVFFLAT, IVFPQ, or IVFSQ.");
  }
  if (static_cast<uint32_t>(metric) >= 3) {
    throw std::invalid_argument("Metric must be Cosine, Euclidean or SquaredEuclidean.");
  }
}

// A configuration of config's class with the caller's dimension, model and
// type parameters, one list, and metric.
std::unique_ptr<IndexConfig> WithMetric(const IndexConfig& config, DistanceMetric metric) {
  std::unique_ptr<IndexConfig> copy = config.clone();
  copy->metric_ = metric;
  copy->set_n_lists(1);
  return copy;
}

template <typename Lister>
std::vector<std::string> ListOrReport(const char* prefix, Lister&& lister) {
  try {
    return lister();
  } catch (const std::exception& e) {
    std::cerr << prefix << e.what() << std::endl;
    throw;
  }
}

}  // namespace

Client::Client(const std::string& api_key, const DBConfig& index_location,
               const DBConfig& config_location, const DBConfig& items_location, int cpu_threads,
               GPUConfig gpu_config)
    : Client(api_key, index_location, config_location, items_location, cpu_threads, gpu_config,
             std::make_shared<internal::TelemetryAggregator>(api_key)) {}

Client::Client(const std::string& api_key, const DBConfig& index_location,
               const DBConfig& config_location, const DBConfig& items_location, int cpu_threads,
               GPUConfig gpu_config, const std::string& working_dir)
    : Client(api_key, index_location, config_location, items_location, cpu_threads, gpu_config) {
  working_dir_ = working_dir;
}

Client::Client(const std::string& api_key, const DBConfig& index_location,
               const DBConfig& config_location, const DBConfig& items_location, int cpu_threads,
               GPUConfig gpu_config, std::shared_ptr<internal::TelemetryAggregator> telemetry)
    : index_location_(index_location),
      config_location_(config_location),
      items_location_(items_location),
      vectors_location_(index_location),
      metadata_location_(index_location),
      id_location_(index_location),
      api_key_(api_key),
      cpu_threads_(cpu_threads),
      gpu_config_(gpu_config),
      telemetry_(std::move(telemetry)) {
  // cpu_threads travels with every index operation (ScopedThreadCount), so
  // no process-wide OpenMP default is changed here.
  CreateKeystores();
  cache_location_ = internal::QuantizerCacheLocation(*keystores_[1],
                                                     internal::NextQuantizerCacheIdentity());
  internal::Guarded("Client", telemetry_.get(), [&] { SendInitEvent(); });
}

Client::~Client() {
  for (size_t i = keystores_.size(); i-- > 0;) keystores_[i].reset();
  telemetry_.reset();
}

void Client::CreateKeystores() {
  // The config table has other columns than an item table: one table cannot
  // be both, and finding out at the first index would be too late.
  for (const auto& [items, name] : {std::pair(&index_location_, "index_location"),
                                    std::pair(&items_location_, "items_location")}) {
    if (nivora_encrypted_index::internal::backing_store::SamePostgresTable(*items, config_location_)) {
      throw std::invalid_argument(std::string(name) +
                                  " and config_location name the same PostgreSQL table '" +
                                  *config_location_.table_name +
                                  "': the config location needs a table of its own");
    }
  }
  DBConfig* locations[6] = {&index_location_,   &config_location_,   &items_location_,
                            &vectors_location_, &metadata_location_, &id_location_};
  for (size_t t = 0; t < keystores_.size(); ++t) {
    keystores_[t] = Keystore::CreateKeystore(*locations[t], static_cast<BackingStoreType>(t));
  }
}

void Client::SendInitEvent() {
  if (telemetry_) telemetry_->SendInitEvent();
}

void Client::FillEngineConfig(nivora_encrypted_index::ExistingIndexConfig& config) const {
  config.index_keystore = keystores_[0].get();
  config.config_keystore = keystores_[1].get();
  config.contents_keystore = keystores_[2].get();
  config.vectors_keystore = keystores_[3].get();
  config.metadata_keystore = keystores_[4].get();
  config.id_keystore = keystores_[5].get();
  config.cpu_threads = cpu_threads_;
  config.gpu_config = static_cast<uint8_t>(gpu_config_);
}

std::unique_ptr<EncryptedIndex> Client::CreateIndex(const std::string& index_name,
                                                    const std::array<uint8_t, 32>& index_key,
                                                    const IndexConfig& index_config,
                                                    std::optional<DistanceMetric> metric,
                                                    Logger* logger) {
  const LoggerHold hold = SelectCurrentLogger(logger);
  SendInitEvent();
  if (telemetry_) telemetry_->IncrementCounter(TelemetryEventType::CreateIndex, 1);
  ValidateNewIndex(index_name, index_key, index_config, metric.value_or(index_config.metric_));
  config_store().CheckIndexName(index_name);
  std::unique_ptr<IndexConfig> overridden;
  if (metric) overridden = WithMetric(index_config, *metric);
  const IndexConfig& chosen = overridden ? *overridden : index_config;
  ValidateQuantizerParams(chosen);

  nivora_encrypted_index::NewIndexConfig engine;
  engine.index_name = index_name;
  engine.index_key = index_key;
  FillEngineConfig(engine);
  engine.tree_depth = 32;
  engine.vocab_size = 1;
  engine.payload_size = 4 * chosen.dimension();
  // The engine record holds a key copy only for the construction.
  const crypto::ScopedCleanse wipe_key(engine.index_key);
  return std::make_unique<EncryptedIndex>(index_name, index_key, chosen, engine, logger,
                                          telemetry_, cache_location_);
}

std::unique_ptr<EncryptedIndex> Client::CreateIndex(const std::string& index_name,
                                                    const std::array<uint8_t, 32>& index_key,
                                                    std::optional<DistanceMetric> metric,
                                                    Logger* logger) {
  const IndexIVFSQ defaults(0, DistanceMetric::Euclidean, std::string(), 16);
  return CreateIndex(std::string(index_name), index_key, defaults, metric, logger);
}

std::unique_ptr<EncryptedIndex> Client::LoadIndex(const std::string& index_name,
                                                  const std::array<uint8_t, 32>& index_key,
                                                  Logger* logger) {
  return internal::Guarded("LoadIndex", telemetry_.get(), [&] {
    const LoggerHold hold = SelectCurrentLogger(logger);
    for (const DBConfig* location : {&index_location_, &config_location_, &items_location_,
                                     &vectors_location_, &metadata_location_, &id_location_}) {
      if (location->location == Location::MEMORY) {
        throw std::invalid_argument(
            "Memory location is not supported for loading an existing index.");
      }
    }
    ValidateIndexName(index_name);
    config_store().CheckIndexName(index_name);
    // Said here, by name: the engine would only report a missing or empty
    // config item.
    if (!config_store().ConfigItemExists(index_name + kEngineConfigSuffix)) {
      throw std::runtime_error("Index '" + index_name + "' does not exist.");
    }
    SendInitEvent();
    nivora_encrypted_index::ExistingIndexConfig engine;
    engine.index_name = index_name;
    engine.index_key = index_key;
    FillEngineConfig(engine);
    const crypto::ScopedCleanse wipe_key(engine.index_key);
    return std::make_unique<EncryptedIndex>(index_name, index_key, engine, logger, telemetry_,
                                            cache_location_);
  });
}

std::vector<std::string> Client::ListIndexes() {
  if (telemetry_) telemetry_->IncrementCounter(TelemetryEventType::ListIndexes, 1);
  // The names live where the stored states are: the config location.
  const DBConfig& where = config_location_;
  switch (where.location) {
    case Location::REDIS:
      return ListOrReport("Error in ListIndexes for Redis: ",
                          [&] { return nivora_encrypted_index::ListRedisIndexes(where); });
    case Location::MEMORY:
    case Location::THREADSAFEMEMORY:
      return ListOrReport("Error in ListIndexes for Memory: ",
                          [&] { return nivora_encrypted_index::ListMemoryIndexes(where); });
    case Location::POSTGRES:
      return ListOrReport("Error in ListIndexes for Postgres: ",
                          [&] { return nivora_encrypted_index::ListPostgresIndexes(where); });
    case Location::ROCKSDB:
      return ListOrReport("Error in ListIndexes for RocksDB: ",
                          [&] { return nivora_encrypted_index::ListRocksDBIndexes(where); });
    default:
      throw std::invalid_argument(
          "Listing indexes is only supported for Postgres, Redis, RocksDB, and Memory "
          "locations.");
  }
}

}  // namespace nivora
