// The cache layer of Keystore: write-through to the shared RAM cache, reads
// from it once an index is loaded, and the copy that loads it.
#include "backing_store/keystore.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace nivora_encrypted_index {

std::string BackingStoreTypeToString(BackingStoreType type) {
  switch (type) {
    case BackingStoreType::INDEX: return "index";
    case BackingStoreType::CONFIG: return "config";
    case BackingStoreType::CONTENTS: return "contents";
    case BackingStoreType::VECTORS: return "vectors";
    case BackingStoreType::METADATA: return "metadata";
    case BackingStoreType::ID: return "id";
  }
  throw std::runtime_error("Unknown BackingStoreType");
}

}  // namespace nivora_encrypted_index

namespace nivora_encrypted_index::internal::backing_store {
namespace {

// Values moved per read while a cache is filled, so memory stays bounded.
constexpr size_t kCacheLoadBatch = 1000;

}  // namespace

Keystore::~Keystore() = default;

Keystore* Keystore::LoadedCacheFor(const uint64_t& index) const {
  Keystore* cache = cache_.load();
  return cache != nullptr && IsLoadedIn(*cache, index) ? cache : nullptr;
}

bool Keystore::IsLoadedIn(const Keystore& cache, const uint64_t& index) {
  std::shared_lock lock(cache.loaded_mutex_);
  return cache.loaded_indexes_.contains(index);
}

void Keystore::MarkLoaded(Keystore& cache, const uint64_t& index, bool loaded) {
  std::unique_lock lock(cache.loaded_mutex_);
  if (loaded) {
    cache.loaded_indexes_.insert(index);
  } else {
    cache.loaded_indexes_.erase(index);
  }
}

void Keystore::BatchPushItems(const uint64_t& index, const std::vector<uint64_t>& keys,
                              const nivora::Array2D<unsigned char>& values) {
  BatchPushItemsImpl(index, keys, values);
  if (Keystore* cache = cache_.load()) cache->BatchPushItemsImpl(index, keys, values);
}

void Keystore::BatchPushVariable(const uint64_t& index, const std::vector<uint64_t>& keys,
                                 const std::vector<std::vector<uint8_t>>& values) {
  BatchPushVariableImpl(index, keys, values);
  if (Keystore* cache = cache_.load()) cache->BatchPushVariableImpl(index, keys, values);
}

void Keystore::BatchDeleteItems(const uint64_t& index, const std::vector<uint64_t>& keys) {
  BatchDeleteItemsImpl(index, keys);
  if (Keystore* cache = cache_.load()) cache->BatchDeleteItemsImpl(index, keys);
}

bool Keystore::PushMap(const uint64_t& index, const uint64_t& map_key, const uint8_t* data,
                       size_t size, const uint64_t& version_key,
                       const uint64_t& expected_version) {
  // The cache only ever follows the store, never runs ahead of it.
  const bool stored = PushMapImpl(index, map_key, data, size, version_key, expected_version);
  Keystore* cache = cache_.load();
  if (stored && cache != nullptr) {
    cache->PushMapImpl(index, map_key, data, size, version_key, expected_version);
  }
  return stored;
}

void Keystore::SetValueSize(const uint64_t& index, size_t value_size) {
  SetValueSizeImpl(index, value_size);
  if (Keystore* cache = cache_.load()) cache->SetValueSizeImpl(index, value_size);
}

size_t Keystore::GetValueSize(const uint64_t& index) const { return GetValueSizeImpl(index); }

nivora::Array2D<unsigned char> Keystore::BatchGetItems(const uint64_t& index,
                                                       const std::vector<uint64_t>& keys) {
  if (Keystore* cache = LoadedCacheFor(index)) return cache->BatchGetItemsImpl(index, keys);
  return BatchGetItemsImpl(index, keys);
}

std::vector<std::vector<uint8_t>> Keystore::BatchGetVariable(const uint64_t& index,
                                                             const std::vector<uint64_t>& keys) {
  if (Keystore* cache = LoadedCacheFor(index)) return cache->BatchGetVariableImpl(index, keys);
  return BatchGetVariableImpl(index, keys);
}

VersionedMap Keystore::GetMap(const uint64_t& index, const uint64_t& map_key,
                              const uint64_t& version_key) {
  if (Keystore* cache = LoadedCacheFor(index)) {
    VersionedMap cached = cache->GetMapImpl(index, map_key, version_key);
    if (!cached.map.empty()) return cached;
  }
  return GetMapImpl(index, map_key, version_key);
}

void Keystore::DeleteIndex(const uint64_t& index) {
  DeleteIndexImpl(index);
  ClearCacheForIndex(index);
}

void Keystore::ClearCacheForIndex(const uint64_t& index) {
  Keystore* cache = cache_.load();
  if (cache == nullptr) return;
  // Waits for a fill in progress: one that went on after the clear would mark
  // a partial copy loaded.
  std::lock_guard fill(cache->fill_mutex_);
  // Unmark first: a read racing with the clear goes to the store, never to
  // a half-emptied cache.
  MarkLoaded(*cache, index, false);
  cache->DeleteIndexImpl(index);
}

void Keystore::DisableCache() { cache_.store(nullptr); }

bool Keystore::IsCacheEnabled() const { return cache_.load() != nullptr; }

bool Keystore::IsCacheLoaded(const uint64_t& index) const {
  return LoadedCacheFor(index) != nullptr;
}

Keystore* Keystore::GetCache() const { return cache_.load(); }

void Keystore::EagerLoadCache(const uint64_t& index) {
  Keystore* cache = cache_.load();
  if (cache == nullptr) return;
  std::lock_guard fill(cache->fill_mutex_);
  if (IsLoadedIn(*cache, index)) return;
  // Another keystore of this store kind (any client of the process) has
  // filled it already.
  if (cache->GetTotalSize(index) != 0) {
    MarkLoaded(*cache, index, true);
    return;
  }
  try {
    const std::vector<uint64_t> keys = GetAllKeys(index);
    if (!keys.empty()) {
      cache->SetValueSizeImpl(index, GetValueSizeImpl(index));
      for (size_t begin = 0; begin < keys.size(); begin += kCacheLoadBatch) {
        const size_t end = std::min(keys.size(), begin + kCacheLoadBatch);
        const std::vector<uint64_t> batch(keys.begin() + begin, keys.begin() + end);
        cache->BatchPushVariableImpl(index, batch, BatchGetVariableImpl(index, batch));
      }
    }
  } catch (...) {
    // A partial copy must never serve reads.
    MarkLoaded(*cache, index, false);
    cache->DeleteIndexImpl(index);
    throw;
  }
  MarkLoaded(*cache, index, true);
}

void Keystore::EagerLoadMapCache(const uint64_t& index, const uint64_t& map_key,
                                 const uint64_t& version_key) {
  Keystore* cache = cache_.load();
  if (cache == nullptr) return;
  const VersionedMap stored = GetMapImpl(index, map_key, version_key);
  if (stored.map.empty()) return;
  const uint64_t expected = stored.version == 0 ? 0 : stored.version - 1;
  cache->PushMapImpl(index, map_key, stored.map.data, stored.map.cols, version_key, expected);
}

}  // namespace nivora_encrypted_index::internal::backing_store
