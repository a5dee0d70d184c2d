// The change record (change_log.h) as the engine client uses it: reading
// it, logging a change, and bringing the RAM caches up to it.
#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "encrypted_index/change_log.h"
#include "encrypted_index/client.h"
#include "encrypted_index/cryptography/keyed_digest.h"
#include "encrypted_index/stored_layout.h"

namespace nivora_encrypted_index {
namespace {

namespace crypto = internal::cryptography;
namespace engine = internal::encrypted_index;
using internal::backing_store::CacheMark;

constexpr int kStampRetries = 100;

void Append(std::vector<uint64_t>& to, const std::vector<uint64_t>& keys) {
  to.insert(to.end(), keys.begin(), keys.end());
}

void SortUnique(std::vector<uint64_t>& keys) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
}

}  // namespace

ChangeStamp Client::ReadChangeStamp() {
  const auto threads = ThreadScope();
  last_record_ = ReadRecord();
  NoteRecord(last_record_);
  return last_record_.stamp;
}

void Client::NoteRecord(const ChangeRecord& record) {
  if (record.stamp.version != 0) legacy_below_ = record.stamp.legacy_below;
}

bool Client::PushRecord(const ChangeRecord& seen, ChangeRecord next, ChangeEntry entry) {
  ChangeLog::Append(next, std::move(entry));
  if (!change_log_->Push(seen, next)) return false;
  // This client's writes went through to the caches it is attached to; any
  // other write that is not in them yet is logged after `next`.
  for (Keystore* store : CachedStores()) {
    store->AdvanceCacheMark(StoreIdOf(store), seen.stamp.mark(), next.stamp.mark());
  }
  NoteRecord(next);
  last_record_ = std::move(next);
  return true;
}

ChangeRecord Client::ReadRecordOutsideHold() {
  ChangeRecord record = ReadRecord();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kCommitHoldSeconds);
  ChangeStamp hold = record.stamp;
  while (record.stamp.held && !record.stamp.deleted) {
    if (!(record.stamp == hold)) {  // another hold: it has its own time
      hold = record.stamp;
      deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kCommitHoldSeconds);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      // Its training is dead or far too slow: the writes go on, and that
      // training's commit fails for want of its claim.
      ChangeRecord next = ChangeLog::Next(record);
      next.stamp.held = false;
      next.stamp.pending = kNoGeneration;
      ChangeEntry nothing;
      nothing.whole = false;
      nothing.generation = record.stamp.generation;
      if (PushRecord(record, std::move(next), std::move(nothing))) {
        logger_->warning("A training held the writes of index " + index_name_ + " back for " +
                         std::to_string(kCommitHoldSeconds) + " s without committing: released");
        return last_record_;
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    record = ReadRecord();
  }
  NoteRecord(record);
  last_record_ = record;
  return record;
}

void Client::BeginChange(bool logged) {
  change_ = ChangeEntry{};
  change_.whole = !logged;
}

void Client::LogIndexKeys(const std::vector<uint64_t>& keys) {
  if (!change_.whole) Append(change_.index_keys, keys);
}

void Client::LogItems(const std::vector<uint64_t>& id_hashes) {
  if (!change_.whole) Append(change_.items, id_hashes);
}

void Client::UndoChange(const ChangeEntry& change) noexcept {
  try {
    // The counter map too: positions of an index that is gone.
    std::vector<uint64_t> index_keys = change.index_keys;
    index_keys.push_back(engine::kCounterMapKey);
    index_keys.push_back(engine::kCounterMapVersionKey);
    index_keystore_->BatchDeleteItems(list_id_, index_keys);
    if (change.items.empty()) return;
    const std::vector<uint64_t>& items = change.items;
    index_keystore_->BatchDeleteItems(list_id_, crypto::DeriveKeystoreKeys(items, location_key_));
    vectors_keystore_->BatchDeleteItems(list_id_, items);
    metadata_keystore_->BatchDeleteItems(index_id_, crypto::DeriveKeystoreKeys(items, metadata_key_));
    id_keystore_->BatchDeleteItems(index_id_, crypto::DeriveKeystoreKeys(items, id_key_));
    contents_keystore_->BatchDeleteItems(index_id_, crypto::DeriveKeystoreKeys(items, contents_key_));
  } catch (const std::exception& e) {
    logger_->error("Could not undo a write to the deleted index " + index_name_ + ": " + e.what());
  }
}

bool Client::IndexDeleted(const ChangeStamp& stamp) {
  if (stamp.deleted) return true;
  // No record yet is a new index, unless its configuration is gone too. The
  // plain in-process store keeps no configuration to ask.
  return stamp.version == 0 && config_keystore_->GetLocation() != nivora::Location::MEMORY &&
         !config_keystore_->ConfigItemExists(EngineConfigName());
}

ChangeStamp Client::AdvanceChangeStamp(ChangeKind kind) {
  const auto threads = ThreadScope();
  ChangeEntry entry = std::exchange(change_, ChangeEntry{});
  entry.generation = generation_;
  for (int attempt = 0; attempt < kStampRetries; ++attempt) {
    const ChangeRecord seen = ReadRecordOutsideHold();
    if (IndexDeleted(seen.stamp)) {
      if (!entry.whole) UndoChange(entry);
      throw std::runtime_error("Index " + index_name_ +
                               " was deleted while this change was being written; the change "
                               "was undone.");
    }
    ChangeRecord next = ChangeLog::Next(seen);
    if (kind == ChangeKind::kState) next.stamp.state_tag = engine::NewChangeTag();
    if (PushRecord(seen, std::move(next), entry)) {
      // A training that committed before this change was logged did not
      // take it in (logged all the same: the shared stores did change).
      RequireOwnGeneration(seen.stamp);
      return last_record_.stamp;
    }
    ChangeLog::PauseAfterRefusal(attempt);
  }
  throw std::runtime_error("Failed to advance the change stamp in " +
                           std::to_string(kStampRetries) + " retries.");
}

void Client::RequireOwnGeneration(const ChangeStamp& stamp) const {
  if (stamp.generation != generation_) throw ListsReplaced();
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

std::optional<std::vector<uint64_t>> Client::ChangedKeys(
    const Keystore* store, const std::vector<ChangeEntry>& entries) const {
  const bool lists = store == index_keystore_ || store == vectors_keystore_;
  std::vector<uint64_t> items;
  std::vector<uint64_t> keys;
  for (const ChangeEntry& entry : entries) {
    if (lists && entry.generation != generation_) continue;
    if (entry.whole) return std::nullopt;
    Append(items, entry.items);
    if (store == index_keystore_) Append(keys, entry.index_keys);
  }
  SortUnique(items);
  if (store == vectors_keystore_) return items;
  if (store == id_keystore_) return crypto::DeriveKeystoreKeys(items, id_key_);
  if (store == metadata_keystore_) return crypto::DeriveKeystoreKeys(items, metadata_key_);
  // The INDEX store: the tokens and summaries named and the items' location
  // records (the counter map is caught up by compare-and-set, SyncCaches).
  Append(keys, crypto::DeriveKeystoreKeys(items, location_key_));
  SortUnique(keys);
  return keys;
}

void Client::SyncCaches(const ChangeStamp& stamp) {
  const auto threads = ThreadScope();
  if (!(last_record_.stamp == stamp)) ReadChangeStamp();  // at least as new
  const ChangeRecord& now = last_record_;
  const CacheMark mark = now.stamp.mark();
  // Most copies share one mark: the log is read once for them.
  std::optional<CacheMark> read_from;
  std::optional<std::vector<ChangeEntry>> entries;
  for (Keystore* store : CachedStores()) {
    const uint64_t id = StoreIdOf(store);
    if (store->IsCacheCurrent(id, mark)) continue;
    const std::optional<CacheMark> from = store->CacheMarkOf(id);
    if (from) {
      if (!(read_from == from)) {
        entries = change_log_->Since(now, *from);
        read_from = from;
      }
      const std::optional<std::vector<uint64_t>> keys =
          entries ? ChangedKeys(store, *entries) : std::nullopt;
      if (keys && store->PatchCache(id, *from, mark, *keys)) {
        if (store == index_keystore_) {
          CatchUpMapCache(index_keystore_->GetMapImpl(id, engine::kCounterMapKey,
                                                      engine::kCounterMapVersionKey));
        }
        continue;
      }
    }
    logger_->info("Refilling the " + BackingStoreTypeToString(store->GetBackingStoreType()) +
                  " cache of the index at change " + std::to_string(now.stamp.version));
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
