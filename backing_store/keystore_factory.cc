// Keystore::CreateKeystore: one storage location and store kind in, the
// keystore class of that location out.
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "backing_store/external/postgres/postgres_keystore.h"
#include "backing_store/external/redis/redis_keystore.h"
#include "backing_store/external/rocksdb/rocksdb_keystore.h"
#include "backing_store/keystore.h"
#include "backing_store/keystore_log.h"
#include "backing_store/memory_keystore.h"
#include "backing_store/thread_safe_memory_keystore.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

std::unique_ptr<Keystore> Build(nivora::DBConfig& config, const BackingStoreType& type) {
  switch (config.location) {
    case nivora::Location::MEMORY:
      return std::make_unique<MemoryKeystore>(config, type);
    case nivora::Location::THREADSAFEMEMORY:
      return std::make_unique<ThreadSafeMemoryKeystore>(config, type);
    case nivora::Location::ROCKSDB:
      return std::make_unique<RocksDBKeystore>(config, type);
    case nivora::Location::REDIS:
      return std::make_unique<RedisKeystore>(config, type);
    case nivora::Location::POSTGRES:
      return std::make_unique<PostgresKeystore>(config, type);
    case nivora::Location::NONE:
      break;
  }
  throw std::invalid_argument("Invalid location for backing store");
}

// The location's strings, each with its length, so that no two settings
// give one text.
std::string DescribeStorage(const nivora::DBConfig& config) {
  auto field = [](const std::optional<std::string>& value) {
    return value ? std::to_string(value->size()) + ":" + *value : std::string("-");
  };
  return "table=" + field(config.table_name) + ";connection=" + field(config.db_connection_string);
}

}  // namespace

std::unique_ptr<Keystore> Keystore::CreateKeystore(nivora::DBConfig& config,
                                                   const BackingStoreType& type) {
  try {
    std::unique_ptr<Keystore> keystore = Build(config, type);
    keystore->storage_identity_ = DescribeStorage(config);
    return keystore;
  } catch (const std::exception& e) {
    KeystoreLog().critical(std::string("Failed to create keystore: ") + e.what());
    throw;
  }
}

}  // namespace nivora_encrypted_index::internal::backing_store
