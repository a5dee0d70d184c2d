// The process-wide RAM caches: one ThreadSafeMemoryKeystore per store kind,
// attached to keystores by Keystore::EnableCache. A cache, once made, is never
// removed or replaced, so the cache pointers keystores hold stay valid until
// process exit.
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "backing_store/keystore.h"
#include "backing_store/thread_safe_memory_keystore.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

std::mutex cache_registry_mutex;
// The cache of each store kind, by BackingStoreType code. Guarded by
// cache_registry_mutex.
std::unordered_map<int32_t, std::unique_ptr<Keystore>> cache_registry;

}  // namespace

void Keystore::EnableCache() {
  const nivora::Location location = GetLocation();
  // An in-process store is its own RAM copy.
  if (location == nivora::Location::THREADSAFEMEMORY || location == nivora::Location::MEMORY) {
    return;
  }
  const BackingStoreType type = GetBackingStoreType();
  std::lock_guard lock(cache_registry_mutex);
  auto it = cache_registry.find(static_cast<int32_t>(type));
  if (it == cache_registry.end()) {
    // Built before it is registered: a failed construction leaves no entry.
    nivora::DBConfig config(nivora::Location::THREADSAFEMEMORY, std::nullopt, std::nullopt);
    auto cache = std::make_unique<ThreadSafeMemoryKeystore>(config, type);
    it = cache_registry.emplace(static_cast<int32_t>(type), std::move(cache)).first;
  }
  cache_.store(it->second.get());
}

}  // namespace nivora_encrypted_index::internal::backing_store
