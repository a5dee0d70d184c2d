// The cache layer of Keystore: write-through to the shared RAM cache and
// reads from it once an index is loaded (the fill itself is SharedCache's).
#include "backing_store/keystore.h"

#include <stdexcept>

#include "backing_store/shared_cache.h"

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

Keystore::~Keystore() = default;

std::string Keystore::StorageIdentity() const { return storage_identity_; }

void Keystore::CheckIndexName(const std::string& /*index_name*/) {}

Keystore* Keystore::LoadedCacheFor(const uint64_t& index) const {
  SharedCache* cache = cache_.load();
  return cache != nullptr && cache->IsLoaded(index) ? &cache->store() : nullptr;
}

void Keystore::BatchPushItems(const uint64_t& index, const std::vector<uint64_t>& keys,
                              const nivora::Array2D<unsigned char>& values) {
  BatchPushItemsImpl(index, keys, values);
  if (SharedCache* cache = cache_.load()) {
    cache->WriteThrough(index, keys,
                        [&](Keystore& store) { store.BatchPushItemsImpl(index, keys, values); });
  }
}

void Keystore::BatchPushVariable(const uint64_t& index, const std::vector<uint64_t>& keys,
                                 const std::vector<std::vector<uint8_t>>& values) {
  BatchPushVariableImpl(index, keys, values);
  if (SharedCache* cache = cache_.load()) {
    cache->WriteThrough(index, keys,
                        [&](Keystore& store) { store.BatchPushVariableImpl(index, keys, values); });
  }
}

void Keystore::BatchDeleteItems(const uint64_t& index, const std::vector<uint64_t>& keys) {
  BatchDeleteItemsImpl(index, keys);
  if (SharedCache* cache = cache_.load()) {
    cache->WriteThrough(index, keys,
                        [&](Keystore& store) { store.BatchDeleteItemsImpl(index, keys); });
  }
}

bool Keystore::PushMap(const uint64_t& index, const uint64_t& map_key, const uint8_t* data,
                       size_t size, const uint64_t& version_key,
                       const uint64_t& expected_version) {
  // The cache only ever follows the store, never runs ahead of it.
  const bool stored = PushMapImpl(index, map_key, data, size, version_key, expected_version);
  SharedCache* cache = cache_.load();
  if (stored && cache != nullptr) {
    cache->WriteThrough(index, {map_key, version_key}, [&](Keystore& store) {
      store.PushMapImpl(index, map_key, data, size, version_key, expected_version);
    });
  }
  return stored;
}

void Keystore::SetValueSize(const uint64_t& index, size_t value_size) {
  SetValueSizeImpl(index, value_size);
  if (SharedCache* cache = cache_.load()) cache->store().SetValueSizeImpl(index, value_size);
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

bool Keystore::VisitItems(const uint64_t& index, const std::vector<uint64_t>& keys,
                          const ItemVisitor& visit) {
  if (Keystore* cache = LoadedCacheFor(index)) return cache->VisitItemsImpl(index, keys, visit);
  return VisitItemsImpl(index, keys, visit);
}

bool Keystore::VisitItemsImpl(const uint64_t& /*index*/, const std::vector<uint64_t>& /*keys*/,
                              const ItemVisitor& /*visit*/) {
  return false;
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
  if (SharedCache* cache = cache_.load()) cache->Clear(index);
}

void Keystore::DisableCache() { cache_.store(nullptr); }

bool Keystore::IsCacheEnabled() const { return cache_.load() != nullptr; }

bool Keystore::IsCacheLoaded(const uint64_t& index) const {
  return LoadedCacheFor(index) != nullptr;
}

Keystore* Keystore::GetCache() const {
  SharedCache* cache = cache_.load();
  return cache == nullptr ? nullptr : &cache->store();
}

void Keystore::EagerLoadCache(const uint64_t& index) {
  if (SharedCache* cache = cache_.load()) cache->Fill(*this, index);
}

bool Keystore::IsCacheCurrent(const uint64_t& index, const CacheMark& mark) const {
  SharedCache* cache = cache_.load();
  return cache != nullptr && cache->IsCurrent(index, mark);
}

void Keystore::RefillCache(const uint64_t& index, const CacheMark& mark) {
  if (SharedCache* cache = cache_.load()) cache->Refill(*this, index, mark);
}

std::optional<CacheMark> Keystore::CacheMarkOf(const uint64_t& index) const {
  SharedCache* cache = cache_.load();
  if (cache == nullptr) return std::nullopt;
  return cache->MarkOf(index);
}

bool Keystore::PatchCache(const uint64_t& index, const CacheMark& from, const CacheMark& to,
                          const std::vector<uint64_t>& keys) {
  SharedCache* cache = cache_.load();
  return cache != nullptr && cache->Patch(*this, index, from, to, keys);
}

void Keystore::AdvanceCacheMark(const uint64_t& index, const CacheMark& from,
                                const CacheMark& to) {
  if (SharedCache* cache = cache_.load()) cache->AdvanceMark(index, from, to);
}

void Keystore::EagerLoadMapCache(const uint64_t& index, const uint64_t& map_key,
                                 const uint64_t& version_key) {
  SharedCache* cache = cache_.load();
  if (cache == nullptr) return;
  const VersionedMap stored = GetMapImpl(index, map_key, version_key);
  if (stored.map.empty()) return;
  const uint64_t expected = stored.version == 0 ? 0 : stored.version - 1;
  // Read just now: newer than what a fill in progress may have read.
  cache->WriteThrough(index, {map_key, version_key}, [&](Keystore& store) {
    store.PushMapImpl(index, map_key, stored.map.data, stored.map.cols, version_key, expected);
  });
}

}  // namespace nivora_encrypted_index::internal::backing_store
