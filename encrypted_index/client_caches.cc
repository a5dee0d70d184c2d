// The RAM caches the engine puts in front of its stores: attaching them,
// filling them when an index is opened, and catching them up with what
// other processes stored since.
#include <stdexcept>
#include <string>

#include "core/log_and_throw.h"
#include "core/parallel_for.h"
#include "encrypted_index/client.h"
#include "encrypted_index/cryptography/keyed_digest.h"
#include "encrypted_index/id_unmasking.h"
#include "encrypted_index/query_tokens.h"
#include "encrypted_index/stored_layout.h"

namespace nivora_encrypted_index {
namespace {

namespace engine = internal::encrypted_index;
using internal::backing_store::VersionedMap;

// Copies the stored variable records of keys into the store's cache (only
// those that exist).
void CopyVariableToCache(Keystore* store, uint64_t index, const std::vector<uint64_t>& keys) {
  Keystore* cache = store->GetCache();
  if (cache == nullptr || keys.empty()) return;
  const std::vector<std::vector<uint8_t>> values = store->BatchGetVariableImpl(index, keys);
  engine::CheckRowCount(values.size(), keys.size());
  std::vector<uint64_t> found_keys;
  std::vector<std::vector<uint8_t>> found_values;
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i].empty()) continue;
    found_keys.push_back(keys[i]);
    found_values.push_back(values[i]);
  }
  if (!found_keys.empty()) cache->BatchPushVariableImpl(index, found_keys, found_values);
}

// Pushes the rows that hold a value (not all zero) into cache, when there
// is one; returns how many.
size_t PushStoredRows(Keystore* cache, uint64_t index, const std::vector<uint64_t>& keys,
                      const nivora::Array2D<unsigned char>& rows) {
  engine::CheckRowCount(rows.rows, keys.size());
  std::vector<uint64_t> found_keys;
  std::vector<uint8_t> found_bytes;
  for (size_t i = 0; i < rows.rows; ++i) {
    if (!engine::HasNonZeroByte(rows.row(i), rows.cols)) continue;
    found_keys.push_back(keys[i]);
    found_bytes.insert(found_bytes.end(), rows.row(i), rows.row(i) + rows.cols);
  }
  if (cache == nullptr || found_keys.empty()) return 0;
  cache->BatchPushItemsImpl(index, found_keys, nivora::Array2D<unsigned char>(found_bytes, rows.cols));
  return found_keys.size();
}

// The same for fixed-size rows.
void CopyItemsToCache(Keystore* store, uint64_t index, const std::vector<uint64_t>& keys) {
  Keystore* cache = store->GetCache();
  if (cache == nullptr || keys.empty()) return;
  PushStoredRows(cache, index, keys, store->BatchGetItemsImpl(index, keys));
}

}  // namespace

void Client::EnableCaches(bool include_metadata) {
  const auto threads = ThreadScope();
  index_keystore_->EnableCache();
  vectors_keystore_->EnableCache();
  id_keystore_->EnableCache();
  if (include_metadata) {
    metadata_keystore_->EnableCache();
    logger_->info("RAM caching enabled on all keystores (including metadata)");
  } else {
    logger_->info("RAM caching enabled on index, vectors, and id keystores (metadata cache disabled)");
  }
}

void Client::EagerLoadCaches() {
  const auto threads = ThreadScope();
  logger_->info("Loading the RAM caches");
  SyncCaches(ReadChangeStamp());
  logger_->info("Cache loading complete - ready for queries");
}

}  // namespace nivora_encrypted_index

namespace nivora_encrypted_index {

bool Client::RefreshCaches() {
  const auto threads = ThreadScope();
  logger_->info("Checking if cache refresh is needed...");
  Keystore* cache = index_keystore_->GetCache();
  if (cache == nullptr) {
    logger_->warning("Cache not enabled - cannot refresh");
    return false;
  }
  const VersionedMap cached =
      cache->GetMapImpl(list_id_, engine::kCounterMapKey, engine::kCounterMapVersionKey);
  const VersionedMap stored =
      index_keystore_->GetMapImpl(list_id_, engine::kCounterMapKey, engine::kCounterMapVersionKey);
  logger_->info("Cache version: " + std::to_string(cached.version) +
                ", Persistent version: " + std::to_string(stored.version));
  if (cached.version >= stored.version) {
    logger_->info("Cache is up-to-date - no refresh needed");
    return false;
  }
  logger_->info("Cache is stale - refreshing...");
  AdoptMap(cached);  // no cached map: vocab_size zeros
  const std::vector<uint32_t> old_counters = counter_map_;
  if (stored.map.size() == 0) {
    logger_->warning("Persistent counter_map is empty - nothing to refresh");
    return false;
  }
  AdoptMap(stored);  // the counters and version in memory are now the store's
  const std::vector<uint64_t> hashes = RefreshIndexCacheIncremental(old_counters, counter_map_);
  CatchUpMapCache(stored);

  if (hashes.empty()) {
    logger_->info("No new items to refresh in vectors/id/metadata caches");
  } else {
    logger_->info("Refreshing vectors cache with " + std::to_string(hashes.size()) +
                  " new items...");
    CopyItemsToCache(vectors_keystore_, list_id_, hashes);
    logger_->info("Refreshing id cache...");
    CopyVariableToCache(id_keystore_, index_id_,
                        internal::cryptography::DeriveKeystoreKeys(hashes, id_key_));
    if (metadata_keystore_->GetCache() != nullptr) {
      logger_->info("Refreshing metadata cache...");
      CopyVariableToCache(metadata_keystore_, index_id_,
                          internal::cryptography::DeriveKeystoreKeys(hashes, metadata_key_));
    }
  }
  logger_->info("Cache refresh complete");
  return true;
}

void Client::WarmTokenCache() {
  const auto threads = ThreadScope();
  LoadMap();
  std::vector<uint32_t> lists;
  for (size_t c = 0; c < counter_map_.size() && c < vocab_size_; ++c) {
    if (counter_map_[c] != 0) lists.push_back(static_cast<uint32_t>(c));
  }
  if (lists.empty()) return;
  GetSaltsAndSeeds();
  // Only the cache's copies are kept; the pads wipe themselves.
  engine::cpu::GenerateQueryTokens(lists, salts_and_seeds_, counter_map_,
                                   static_cast<uint32_t>(tree_depth_), token_cache_.get());
}

std::vector<uint64_t> Client::RefreshIndexCacheIncremental(
    const std::vector<uint32_t>& old_counters, const std::vector<uint32_t>& new_counters) {
  const auto threads = ThreadScope();
  if (salts_and_seeds_.empty()) GetSaltsAndSeeds();
  // The centroids that gained positions, with the first new position of each.
  std::vector<uint32_t> centroids;
  std::vector<uint32_t> first_new;
  std::vector<uint32_t> counters(vocab_size_, 0);
  for (size_t c = 0; c < new_counters.size(); ++c) {
    const uint32_t from = c < old_counters.size() ? old_counters[c] : 0;
    if (from >= new_counters[c]) continue;
    if (c >= vocab_size_) {
      logger_->warning("Skipping centroid " + std::to_string(c) + " beyond the vocabulary size " +
                       std::to_string(vocab_size_));
      continue;
    }
    centroids.push_back(static_cast<uint32_t>(c));
    first_new.push_back(from);
    counters[c] = new_counters[c];
  }
  if (centroids.empty()) {
    logger_->info("No new items to fetch for index cache");
    return {};
  }
  logger_->info("Found " + std::to_string(centroids.size()) + " centroids with new items");

  const engine::QueryTokens tokens = engine::cpu::GenerateQueryTokens(
      centroids, salts_and_seeds_, counters, static_cast<uint32_t>(tree_depth_),
      token_cache_.get());
  std::vector<uint64_t> keys;
  internal::cryptography::SecretVector<uint64_t> pads;
  for (size_t i = 0; i < centroids.size(); ++i) {
    const uint64_t count = tokens.offsets[i + 1] - tokens.offsets[i];
    if (count != counters[centroids[i]]) {
      nivora::LogAndThrow<std::runtime_error>(
          *logger_, nivora::ERROR,
          "Token generation mismatch: expected " + std::to_string(counters[centroids[i]]) +
              " tokens, got " + std::to_string(count) + " for centroid " +
              std::to_string(centroids[i]),
          "Token generation produced unexpected number of tokens");
    }
    for (uint64_t p = tokens.offsets[i] + first_new[i]; p < tokens.offsets[i + 1]; ++p) {
      keys.push_back(tokens.keys[p]);
      pads.push_back(tokens.value_hashes[p]);
    }
  }
  if (keys.empty()) {
    logger_->info("No new tokens generated");
    return {};
  }
  logger_->info("Fetching " + std::to_string(keys.size()) + " new index entries from persistent store");
  const nivora::Array2D<unsigned char> rows = index_keystore_->BatchGetItemsImpl(list_id_, keys);
  engine::CheckRowCount(rows.rows, keys.size());
  const std::vector<uint64_t> unmasked = engine::DecryptItemIdSHAs(rows, pads.data(), pads.size());

  // Positions whose ingest never wrote an entry hold no item.
  std::vector<uint64_t> hashes;
  for (size_t i = 0; i < rows.rows; ++i) {
    if (engine::HasNonZeroByte(rows.row(i), rows.cols)) hashes.push_back(unmasked[i]);
  }
  const size_t added = PushStoredRows(index_keystore_->GetCache(), list_id_, keys, rows);
  if (added != 0) logger_->info("Added " + std::to_string(added) + " new items to index cache");
  return hashes;
}

void Client::ClearVectorsCache() {
  const auto threads = ThreadScope();
  if (vectors_keystore_->GetCache() != nullptr) vectors_keystore_->ClearCacheForIndex(list_id_);
  logger_->info("Cleared vectors cache");
}

}  // namespace nivora_encrypted_index
