// The change stamp (change_stamp.h): reading it, advancing it after a
// mutating operation, and bringing the RAM caches up to it.
#include <stdexcept>
#include <string>

#include "encrypted_index/change_stamp.h"
#include "encrypted_index/client.h"
#include "encrypted_index/cryptography/aes_gcm.h"
#include "encrypted_index/retry_pause.h"
#include "encrypted_index/stored_layout.h"

namespace nivora_encrypted_index {
namespace {

namespace crypto = internal::cryptography;
namespace engine = internal::encrypted_index;
using internal::backing_store::VersionedMap;

constexpr int kStampRetries = 100;

}  // namespace

ChangeStamp Client::ReadChangeStamp() {
  const auto threads = ThreadScope();
  // Always the store itself: the stamp is what the caches are checked against.
  const VersionedMap stored =
      index_keystore_->GetMapImpl(index_id_, engine::kChangeStampKey, engine::kChangeStampVersionKey);
  if (stored.map.rows * stored.map.cols == 0) return ChangeStamp{stored.version, 0, 0};
  engine::RequirePresentRecords(stored.map.data, 1, stored.map.size());
  const nivora::Array2D<unsigned char> plain =
      crypto::DecryptItemsFixed(stored.map.data, 1, stored.map.size(), index_key_);
  return engine::DecodeChangeRecord(plain.data, plain.size(), stored.version);
}

bool Client::PushChangeStamp(const ChangeStamp& expected, const ChangeStamp& next) {
  const std::vector<uint8_t> plain = engine::EncodeChangeRecord(next);
  const nivora::Array2D<unsigned char> record =
      crypto::EncryptItemsFixed(plain.data(), 1, plain.size(), index_key_);
  // PushMapImpl: the caches follow by their marks, not by a copy of the record.
  if (!index_keystore_->PushMapImpl(index_id_, engine::kChangeStampKey, record.data, record.cols,
                                    engine::kChangeStampVersionKey, expected.version)) {
    return false;
  }
  // This client's writes went through to the caches it is attached to; any
  // other write that is not in them yet will advance the stamp past `next`.
  for (Keystore* store : CachedStores()) {
    store->AdvanceCacheMark(StoreIdOf(store), expected.mark(), next.mark());
  }
  return true;
}

bool Client::AdvanceChangeStampFrom(const ChangeStamp& expected, ChangeKind kind,
                                    ChangeStamp* stored) {
  const auto threads = ThreadScope();
  ChangeStamp next{expected.version + 1, engine::NewChangeTag(), expected.state_tag,
                   expected.generation};
  if (kind == ChangeKind::kState) next.state_tag = engine::NewChangeTag();
  if (!PushChangeStamp(expected, next)) return false;
  if (stored != nullptr) *stored = next;
  return true;
}

void Client::RequireOwnGeneration(const ChangeStamp& stamp) const {
  if (stamp.generation != generation_) throw ListsReplaced();
}

ChangeStamp Client::AdvanceChangeStamp(ChangeKind kind) {
  const auto threads = ThreadScope();
  for (int attempt = 0; attempt < kStampRetries; ++attempt) {
    const ChangeStamp seen = ReadChangeStamp();
    ChangeStamp stored;
    if (AdvanceChangeStampFrom(seen, kind, &stored)) {
      // A training that committed before this advance did not see the write
      // (advanced all the same: the shared stores did change).
      RequireOwnGeneration(seen);
      return stored;
    }
    // Another advance that started after this client's writes would do for
    // items; a change of state must be told by a state tag of its own.
    if (kind == ChangeKind::kItems) {
      const ChangeStamp now = ReadChangeStamp();
      if (!(now == seen)) {
        RequireOwnGeneration(now);
        return now;
      }
    }
    engine::PauseBeforeRetry();
  }
  throw std::runtime_error("Failed to advance the change stamp in " +
                           std::to_string(kStampRetries) + " retries.");
}

bool Client::AdvanceChangeStampAfterFailure(ChangeKind kind) noexcept {
  try {
    AdvanceChangeStamp(kind);
  } catch (const ListsReplaced&) {
    return true;
  } catch (const std::exception& e) {
    logger_->error(std::string("Could not advance the change stamp after a failed write: ") +
                   e.what());
  } catch (...) {
    logger_->error("Could not advance the change stamp after a failed write.");
  }
  return false;
}

void Client::SyncCaches(const ChangeStamp& stamp) {
  const auto threads = ThreadScope();
  const internal::backing_store::CacheMark mark = stamp.mark();
  for (Keystore* store : CachedStores()) {
    const uint64_t id = StoreIdOf(store);
    if (store->IsCacheCurrent(id, mark)) continue;
    logger_->info("Refilling the " + BackingStoreTypeToString(store->GetBackingStoreType()) +
                  " cache of the index at change " + std::to_string(stamp.version));
    store->RefillCache(id, mark);
    if (store == index_keystore_) {
      store->EagerLoadMapCache(id, engine::kCounterMapKey, engine::kCounterMapVersionKey);
    }
  }
}

std::vector<Keystore*> Client::CachedStores() const {
  std::vector<Keystore*> stores;
  for (Keystore* store : {index_keystore_, vectors_keystore_, id_keystore_, metadata_keystore_}) {
    if (store->IsCacheEnabled()) stores.push_back(store);
  }
  return stores;
}

}  // namespace nivora_encrypted_index
