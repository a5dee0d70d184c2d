// The process-wide RAM caches: one SharedCache per storage location (its
// location code and StorageIdentity) and store kind, attached to keystores by
// Keystore::EnableCache. A cache, once made, is never removed or replaced, so
// the cache pointers keystores hold stay valid until process exit.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>

#include "backing_store/keystore.h"
#include "backing_store/shared_cache.h"
#include "backing_store/thread_safe_memory_keystore.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

// Location code, storage identity, BackingStoreType code.
using CacheKey = std::tuple<int32_t, std::string, int32_t>;

std::mutex cache_registry_mutex;
// Guarded by cache_registry_mutex.
std::map<CacheKey, std::unique_ptr<SharedCache>> cache_registry;

}  // namespace

void Keystore::EnableCache() {
  const nivora::Location location = GetLocation();
  // An in-process store is its own RAM copy.
  if (location == nivora::Location::THREADSAFEMEMORY || location == nivora::Location::MEMORY) {
    return;
  }
  const BackingStoreType type = GetBackingStoreType();
  CacheKey key{static_cast<int32_t>(location), StorageIdentity(), static_cast<int32_t>(type)};
  std::lock_guard lock(cache_registry_mutex);
  auto it = cache_registry.find(key);
  if (it == cache_registry.end()) {
    // Built before it is registered: a failed construction leaves no entry.
    auto cache = std::make_unique<SharedCache>(ThreadSafeMemoryKeystore::NewPrivate(type));
    it = cache_registry.emplace(std::move(key), std::move(cache)).first;
  }
  cache_.store(it->second.get());
}

}  // namespace nivora_encrypted_index::internal::backing_store
