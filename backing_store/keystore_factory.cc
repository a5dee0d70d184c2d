// Keystore::CreateKeystore: one storage location and store kind in, the
// keystore class of that location out.
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "backing_store/external/postgres/postgres_keystore.h"
#include "backing_store/keystore.h"
#include "backing_store/keystore_log.h"
#include "backing_store/memory_keystore.h"
#include "backing_store/thread_safe_memory_keystore.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

// The external keystores are wired in as they are built; until then their
// locations are refused by name rather than silently served from memory.
[[noreturn]] void ThrowUnavailable(nivora::Location location) {
  throw std::invalid_argument(std::string("Keystore for location ") +
                              nivora::LocationToString(location) + " is not available yet");
}

std::unique_ptr<Keystore> Build(nivora::DBConfig& config, const BackingStoreType& type) {
  switch (config.location) {
    case nivora::Location::MEMORY:
      return std::make_unique<MemoryKeystore>(config, type);
    case nivora::Location::THREADSAFEMEMORY:
      return std::make_unique<ThreadSafeMemoryKeystore>(config, type);
    case nivora::Location::POSTGRES:
      return std::make_unique<PostgresKeystore>(config, type);
    case nivora::Location::REDIS:
    case nivora::Location::ROCKSDB:
      ThrowUnavailable(config.location);
    case nivora::Location::NONE:
      break;
  }
  throw std::invalid_argument("Invalid location for backing store");
}

}  // namespace

std::unique_ptr<Keystore> Keystore::CreateKeystore(nivora::DBConfig& config,
                                                   const BackingStoreType& type) {
  try {
    return Build(config, type);
  } catch (const std::exception& e) {
    KeystoreLog().critical(std::string("Failed to create keystore: ") + e.what());
    throw;
  }
}

}  // namespace nivora_encrypted_index::internal::backing_store
