// The counter map: the next free position of every centroid, stored
// encrypted as a versioned map in the INDEX store and updated by
// compare-and-set with retries.
#include <algorithm>
#include <chrono>
#include <random>
#include <stdexcept>
#include <thread>

#include "encrypted_index/client.h"
#include "core/little_endian.h"
#include "encrypted_index/centroid_range.h"
#include "encrypted_index/counter_assignment.h"
#include "encrypted_index/cryptography/aes_gcm.h"
#include "encrypted_index/retry_pause.h"
#include "encrypted_index/stored_layout.h"

namespace nivora_encrypted_index {
namespace {

namespace crypto = internal::cryptography;
using internal::backing_store::VersionedMap;
using internal::encrypted_index::kCounterMapKey;
using internal::encrypted_index::kCounterMapVersionKey;
using internal::encrypted_index::PauseBeforeRetry;

constexpr int kMapRetries = 100;
// Catching the RAM cache up copies the stored map once per version it is
// behind; beyond this many bytes the cache is left behind (reads after a
// refused store go to the store anyway).
constexpr size_t kMaxCatchUpBytes = size_t{1} << 30;

std::vector<uint8_t> ToLittleEndian(const std::vector<uint32_t>& counters) {
  std::vector<uint8_t> bytes(4 * counters.size());
  for (size_t i = 0; i < counters.size(); ++i) {
    nivora::StoreLittleEndian(counters[i], bytes.data() + 4 * i);
  }
  return bytes;
}

std::vector<uint32_t> FromLittleEndian(const uint8_t* bytes, size_t size) {
  std::vector<uint32_t> counters(size / 4);
  for (size_t i = 0; i < counters.size(); ++i) {
    counters[i] = nivora::LoadLittleEndian<uint32_t>(bytes + 4 * i);
  }
  return counters;
}

bool HasMap(const VersionedMap& stored) { return stored.map.rows * stored.map.cols != 0; }

std::vector<uint8_t> RecordBytes(const VersionedMap& read) {
  return std::vector<uint8_t>(read.map.data, read.map.data + read.map.rows * read.map.cols);
}

// Every record has a fresh random IV, so two reads of one version hold the
// same bytes only when they are one and the same store: a map that was
// deleted and counted up to that version again reads otherwise.
bool SameRecord(const VersionedMap& read, const std::vector<uint8_t>& record) {
  const size_t size = read.map.rows * read.map.cols;
  return size == record.size() && std::equal(record.begin(), record.end(), read.map.data);
}

}  // namespace

void Client::LoadMap() {
  const auto threads = ThreadScope();
  // Reads that hand out nothing may come from the RAM cache; what it served
  // is kept, so that a StoreMap on top of it can be checked against the store.
  Keystore* cache = index_keystore_->IsCacheLoaded(list_id_) ? index_keystore_->GetCache() : nullptr;
  if (cache != nullptr) {
    const VersionedMap cached = cache->GetMapImpl(list_id_, kCounterMapKey, kCounterMapVersionKey);
    if (HasMap(cached)) {
      AdoptMap(cached);
      cached_map_record_ = RecordBytes(cached);
      return;
    }
  }
  AdoptMap(index_keystore_->GetMapImpl(list_id_, kCounterMapKey, kCounterMapVersionKey));
}

void Client::LoadMapFromStore() {
  const VersionedMap stored =
      index_keystore_->GetMapImpl(list_id_, kCounterMapKey, kCounterMapVersionKey);
  AdoptMap(stored);
  CatchUpMapCache(stored);
}

void Client::AdoptMap(const VersionedMap& stored) {
  cached_map_record_.reset();
  if (!HasMap(stored)) {
    logger_->warning("No map data found in the backing store. Creating a new map.");
    counter_map_.assign(vocab_size_, 0);
    counter_map_version_ = 0;
    return;
  }
  // The same bytes under the same key authenticated and decrypted before.
  if (stored.map.rows == adopted_map_rows_ && SameRecord(stored, adopted_map_record_)) {
    counter_map_ = adopted_map_;
    counter_map_version_ = stored.version;
    logger_->info("Current counter_map version: " + std::to_string(stored.version));
    return;
  }
  nivora::Array2D<unsigned char> plain;
  try {
    internal::encrypted_index::RequirePresentRecords(stored.map.data, stored.map.rows,
                                                     stored.map.cols);
    plain = crypto::DecryptItemsFixed(stored.map.data, stored.map.rows, stored.map.cols,
                                      index_key_);
  } catch (const std::exception& e) {
    throw std::runtime_error(
        std::string("The stored counter map does not decrypt with this index key: ") + e.what());
  }
  counter_map_ = FromLittleEndian(plain.data, plain.size());
  counter_map_version_ = stored.version;
  adopted_map_record_ = RecordBytes(stored);
  adopted_map_rows_ = stored.map.rows;
  adopted_map_ = counter_map_;
  logger_->info("Current counter_map version: " + std::to_string(stored.version));
}

// The cache takes a map only by compare-and-set, one version at a time. Each
// step pairs the stored map with a version at most the stored one: a pair
// below the stored version is refused by the store should anyone try to
// store on top of it, and the last pair is exactly the store's. A cache whose
// map comes from another history than the store's (the index was deleted and
// counted up again: the cache is ahead, or at the same version with another
// record) first loses its map, so it never serves those counters again.
void Client::CatchUpMapCache(const VersionedMap& stored) {
  Keystore* cache = index_keystore_->GetCache();
  if (cache == nullptr || !HasMap(stored)) return;
  try {
    const VersionedMap cached = cache->GetMapImpl(list_id_, kCounterMapKey, kCounterMapVersionKey);
    uint64_t version = cached.version;
    if (version > stored.version ||
        (version == stored.version && !SameRecord(cached, RecordBytes(stored)))) {
      cache->BatchDeleteItemsImpl(list_id_, {kCounterMapKey, kCounterMapVersionKey});
      version = 0;
    }
    if (version >= stored.version) return;
    const size_t record_size = stored.map.rows * stored.map.cols;
    if (stored.version - version > kMaxCatchUpBytes / record_size) {
      logger_->warning("Counter map cache is too far behind the store to catch up");
      return;
    }
    const uint64_t start = version;
    while (version >= start && version < stored.version) {
      const bool taken = cache->PushMapImpl(list_id_, kCounterMapKey, stored.map.data,
                                            record_size, kCounterMapVersionKey, version);
      const uint64_t now =
          cache->GetMapImpl(list_id_, kCounterMapKey, kCounterMapVersionKey).version;
      if (!taken && now == version) break;  // refused without a competing change: give up
      version = now;
    }
  } catch (const std::exception& e) {
    // Best effort: the counters just read from the store stand either way.
    logger_->warning("Could not bring the counter map cache up to date: " + std::string(e.what()));
  }
}

bool Client::StoreMap() {
  const auto threads = ThreadScope();
  if (counter_map_.empty()) {
    throw std::invalid_argument("Data size must be a multiple of the number of columns");
  }
  const std::vector<uint8_t> plain = ToLittleEndian(counter_map_);
  // In memory the counters are meaningful only until they are stored.
  std::fill(counter_map_.begin(), counter_map_.end(), 0);
  if (cached_map_record_ && !CachedMapIsTheStored()) return false;
  const nivora::Array2D<unsigned char> record =
      crypto::EncryptItemsFixed(plain.data(), 1, plain.size(), index_key_);
  return index_keystore_->PushMap(list_id_, kCounterMapKey, record.data, record.cols,
                                  kCounterMapVersionKey, counter_map_version_);
}

bool Client::CachedMapIsTheStored() {
  const VersionedMap stored =
      index_keystore_->GetMapImpl(list_id_, kCounterMapKey, kCounterMapVersionKey);
  return stored.version == counter_map_version_ && SameRecord(stored, *cached_map_record_);
}

void Client::CompareAndSetMap(const std::function<void()>& adjust,
                              const std::string& failure_message) {
  // Every try starts from the store itself: a RAM cache can hold an old map
  // at the very version the store has reached again after the index was
  // deleted, and a compare-and-set on top of it would hand positions out twice.
  // Only a refusal (another writer came first) is tried again; a failed read
  // or write (connection lost, server error, a map that does not decrypt)
  // leaves at once with its own cause.
  for (int attempt = 0; attempt < kMapRetries; ++attempt) {
    logger_->info("Updating Map. Num retries: " + std::to_string(attempt));
    LoadMapFromStore();
    adjust();  // its failures are the caller's argument errors
    if (StoreMap()) {
      logger_->info("Map update succeeded.");
      return;
    }
    const int milliseconds = PauseBeforeRetry();
    logger_->warning("Map update refused. Retrying after " + std::to_string(milliseconds) +
                     "ms...");
  }
  throw std::runtime_error(failure_message);
}

std::vector<uint32_t> Client::UpdateMap(std::vector<uint32_t>& centroid_ids) {
  const auto threads = ThreadScope();
  internal::encrypted_index::CheckCentroidIds(centroid_ids, vocab_size_, "centroids");
  std::vector<uint32_t> positions;
  CompareAndSetMap(
      [&] { positions = internal::encrypted_index::CountCentroids(centroid_ids, counter_map_); },
      "Failed to update map in " + std::to_string(kMapRetries) + " retries.");
  return positions;
}

void Client::ResizeVocabulary(size_t n) {
  const auto threads = ThreadScope();
  if (n == 0) throw std::invalid_argument("Vocabulary size must be at least 1");
  logger_->info("Resizing vocabulary from " + std::to_string(vocab_size_) + " to " +
                std::to_string(n));
  vocab_size_ = n;
  StampedWrite(ChangeKind::kItems, [&] { ResizeCounterMap(n); });
  crypto::Cleanse(salts_and_seeds_);
  salts_and_seeds_.clear();
  GetSaltsAndSeeds();
  logger_->info("Vocabulary resized and salts/seeds regenerated");
}

void Client::ResizeCounterMap(size_t n) {
  CompareAndSetMap(
      [&] {
        if (counter_map_.size() == n) {
          logger_->info("Loaded existing counter map with correct size (" + std::to_string(n) + ")");
          return;
        }
        logger_->info("Counter map size mismatch (has " + std::to_string(counter_map_.size()) +
                      ", needs " + std::to_string(n) + "), creating new empty counter map");
        counter_map_.assign(n, 0);
      },
      "Failed to resize vocabulary in " + std::to_string(kMapRetries) + " retries.");
}

void Client::GetSaltsAndSeeds() {
  const auto threads = ThreadScope();
  if (salts_and_seeds_.size() == vocab_size_) return;
  if (!salts_and_seeds_.empty()) {
    logger_->info("Regenerating salts_and_seeds due to size mismatch. Current size: " +
                  std::to_string(salts_and_seeds_.size()) +
                  ", Expected: " + std::to_string(vocab_size_));
  }
  auto fresh = internal::encrypted_index::ComputeAllSaltsAndSeeds(vocab_size_, index_key_, name_key_);
  crypto::Cleanse(salts_and_seeds_);
  salts_and_seeds_ = std::move(fresh);
}

size_t Client::num_vectors() {
  const auto threads = ThreadScope();
  LoadMap();
  size_t total = 0;
  for (uint32_t counter : counter_map_) total += counter;
  return total;
}

}  // namespace nivora_encrypted_index

namespace nivora_encrypted_index::internal::encrypted_index {

int PauseBeforeRetry() {
  thread_local std::mt19937 generator{std::random_device{}()};
  const int milliseconds = std::uniform_int_distribution<int>(30, 70)(generator);
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  return milliseconds;
}

}  // namespace nivora_encrypted_index::internal::encrypted_index
