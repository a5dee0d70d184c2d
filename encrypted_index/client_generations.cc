// Generations of the lists: a training's claim on a new one, the hold and
// the switch that commit it, and the collection of what no record names
// (the protocol is in change_log.h).
//
// A training writes only into its claimed generation until it commits, and
// lists are removed only once the record names them no more: whenever a
// process dies, the current generation is complete, and whatever the dead
// one left is found by the next collection, which asks the stores what
// they hold under every generation ever handed out.
#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/little_endian.h"
#include "core/test_points.h"
#include "encrypted_index/client.h"
#include "encrypted_index/cryptography/aes_gcm.h"
#include "encrypted_index/stored_layout.h"

namespace nivora_encrypted_index {
namespace {

namespace crypto = internal::cryptography;
namespace engine = internal::encrypted_index;
using internal::backing_store::VersionedMap;
using internal::encrypted_index::kGenerationRecordKey;
using internal::encrypted_index::kGenerationVersionKey;

constexpr int kRecordRetries = 100;
constexpr char kReplacedMessage[] =
    "Another training of this index started and replaced this one. Please retry.";

// The log entry of a change that touched no item and no list.
ChangeEntry NothingChanged(uint64_t generation) {
  ChangeEntry entry;
  entry.whole = false;
  entry.generation = generation;
  return entry;
}

bool IsRecordKey(uint64_t key) {
  return key == engine::kChangeStampKey || key == engine::kChangeStampVersionKey ||
         key == kGenerationRecordKey || key == kGenerationVersionKey;
}

}  // namespace

std::string Client::StateItemName(uint64_t g) const {
  const std::string base = index_name_ + internal::encrypted_index::kIndexStateSuffix;
  return g == 0 ? base : base + "." + std::to_string(g);
}

uint64_t Client::EarlierHighestGeneration() {
  // current, pending, retired, highest: 8 bytes each.
  constexpr size_t kEarlierFields = 4;
  const VersionedMap stored =
      index_keystore_->GetMapImpl(index_id_, kGenerationRecordKey, kGenerationVersionKey);
  const size_t size = stored.map.rows * stored.map.cols;
  if (size == 0) return 0;
  engine::RequirePresentRecords(stored.map.data, 1, size);
  const nivora::Array2D<unsigned char> plain =
      crypto::DecryptItemsFixed(stored.map.data, 1, size, index_key_);
  if (plain.size() != kEarlierFields * 8) {
    throw std::runtime_error("Stored generation record is damaged");
  }
  uint64_t highest = 0;
  for (size_t field = 0; field < kEarlierFields; ++field) {
    const uint64_t g = nivora::LoadLittleEndian<uint64_t>(plain.data + 8 * field);
    if (g != kNoGeneration) highest = std::max(highest, g);
  }
  return highest;
}

ChangeRecord Client::ReadRecord() {
  ChangeRecord record = change_log_->Read();
  if (record.stamp.earlier_form) {
    // Earlier releases kept their claims apart; every generation they handed
    // out keeps the list ids they derived.
    record.stamp.highest = std::max(record.stamp.highest, EarlierHighestGeneration());
    record.stamp.legacy_below = record.stamp.highest + 1;
  }
  return record;
}

void Client::UseGeneration(uint64_t g, size_t payload_size, size_t vocab_size) {
  const auto threads = ThreadScope();
  building_ = false;
  const uint64_t list_id = ListIdOf(g);
  if (g == generation_ && list_id == list_id_ && payload_size == payload_size_ &&
      vocab_size == vocab_size_) {
    return;
  }
  if (g != generation_ || list_id != list_id_ || vocab_size != vocab_size_) {
    generation_ = g;
    list_id_ = list_id;
    vocab_size_ = vocab_size;
    token_cache_->clear();
    cached_map_record_.reset();
    counter_map_.assign(vocab_size_, 0);
    counter_map_version_ = 0;
    logger_->info("Using generation " + std::to_string(g) + " of the lists");
  }
  payload_size_ = payload_size;
  SetVectorsValueSize();
}

void Client::BuildGeneration(uint64_t g, size_t payload_size, size_t vocab_size) {
  UseGeneration(g, payload_size, vocab_size);
  building_ = true;
}

uint64_t Client::FollowCurrentGeneration() {
  const auto threads = ThreadScope();
  UseGeneration(ReadChangeStamp().generation, payload_size_, vocab_size_);
  return generation_;
}

void Client::StoreGenerationState(const std::vector<uint8_t>& blob) {
  const auto threads = ThreadScope();
  StoreConfig(StateItemName(generation_), blob);
}

void Client::DeleteGeneration(uint64_t g, const char* halfway_point) {
  const uint64_t id = ListIdOf(g);
  if (id == index_id_) {
    // Generation 0 shares its place with the change record, which stays.
    std::vector<uint64_t> keys = index_keystore_->GetAllKeys(id);
    std::erase_if(keys, IsRecordKey);
    if (!keys.empty()) index_keystore_->BatchDeleteItems(id, keys);
  } else if (index_keystore_->GetTotalSize(id) != 0) {
    index_keystore_->DeleteIndex(id);
  } else {
    index_keystore_->ClearCacheForIndex(id);
  }
  if (halfway_point != nullptr) nivora::internal::ReachTestPoint(halfway_point);
  if (vectors_keystore_->GetTotalSize(id) != 0) {
    vectors_keystore_->DeleteIndex(id);
  } else {
    vectors_keystore_->ClearCacheForIndex(id);
  }
  // "<name>.nvs" names the index to the listings: it stays while the index does.
  if (g != 0 && config_keystore_->ConfigItemExists(StateItemName(g))) {
    config_keystore_->DeleteConfigItem(StateItemName(g));
  }
}

uint64_t Client::ClaimGeneration() {
  const auto threads = ThreadScope();
  for (int attempt = 0; attempt < kRecordRetries; ++attempt) {
    // A training about to commit is let finish first.
    const ChangeRecord seen = ReadRecordOutsideHold();
    if (IndexDeleted(seen.stamp)) {
      throw std::runtime_error("Index " + index_name_ + " was deleted");
    }
    // Never a number handed out before: a training overtaken while still
    // writing must not write into the new one's lists.
    const uint64_t g = std::max(seen.stamp.highest, seen.stamp.generation) + 1;
    ChangeRecord next = ChangeLog::Next(seen);
    next.stamp.pending = g;
    next.stamp.highest = g;
    next.stamp.held = false;
    if (!PushRecord(seen, std::move(next), NothingChanged(seen.stamp.generation))) {
      ChangeLog::PauseAfterRefusal(attempt);
      continue;
    }
    if (seen.stamp.pending != kNoGeneration) {
      logger_->warning("Replacing the claim of an earlier training of this index (generation " +
                       std::to_string(seen.stamp.pending) + ")");
    }
    Collect(nullptr);
    logger_->info("Building generation " + std::to_string(g) + " of the lists");
    return g;
  }
  throw std::runtime_error("Could not reserve a generation for training: the index is busy");
}

std::optional<ChangeRecord> Client::ReadClaimedRecord(uint64_t g, const ChangeStamp& expected) {
  ChangeRecord seen = ReadRecord();
  if (seen.stamp.pending != g || seen.stamp.deleted) throw std::runtime_error(kReplacedMessage);
  if (!(seen.stamp == expected)) return std::nullopt;
  return seen;
}

bool Client::HoldForCommit(uint64_t g, const ChangeStamp& expected, ChangeStamp* stored) {
  const auto threads = ThreadScope();
  const std::optional<ChangeRecord> claimed = ReadClaimedRecord(g, expected);
  if (!claimed) return false;
  const ChangeRecord& seen = *claimed;
  ChangeRecord next = ChangeLog::Next(seen);
  next.stamp.held = true;
  if (!PushRecord(seen, std::move(next), NothingChanged(seen.stamp.generation))) return false;
  if (stored != nullptr) *stored = last_record_.stamp;
  return true;
}

bool Client::CommitGeneration(uint64_t g, const ChangeStamp& expected, ChangeStamp* stored) {
  const auto threads = ThreadScope();
  const std::optional<ChangeRecord> claimed = ReadClaimedRecord(g, expected);
  if (!claimed) return false;
  const ChangeRecord& seen = *claimed;
  ChangeRecord next = ChangeLog::Next(seen);
  next.stamp.generation = g;
  next.stamp.pending = kNoGeneration;
  next.stamp.held = false;
  next.stamp.state_tag = engine::NewChangeTag();
  // The new lists' caches are filled anew (their list id is new); the
  // items themselves did not change.
  if (!PushRecord(seen, std::move(next), NothingChanged(g))) return false;
  if (stored != nullptr) *stored = last_record_.stamp;
  building_ = false;
  // A cache of the sizes the current state implies; readers take them from
  // the state.
  StoreConfig(EngineConfigName(), SerializeIndexConfig());
  return true;
}

void Client::AbandonGeneration(uint64_t g) noexcept {
  try {
    building_ = false;
    for (int attempt = 0; attempt < kRecordRetries; ++attempt) {
      const ChangeRecord seen = ReadRecord();
      if (seen.stamp.generation == g) return;  // committed after all
      if (seen.stamp.pending != g) break;       // replaced by another claim
      ChangeRecord next = ChangeLog::Next(seen);
      next.stamp.pending = kNoGeneration;
      next.stamp.held = false;
      if (PushRecord(seen, std::move(next), NothingChanged(seen.stamp.generation))) break;
      ChangeLog::PauseAfterRefusal(attempt);
    }
    DeleteGeneration(g);
  } catch (const std::exception& e) {
    logger_->warning("Could not remove the lists of a failed training: " + std::string(e.what()));
  }
}

void Client::CollectGenerations() noexcept { Collect("retired-lists-half-removed"); }

void Client::Collect(const char* halfway_point) noexcept {
  try {
    const ChangeRecord now = ReadRecord();
    for (uint64_t g = 0; g <= now.stamp.highest; ++g) {
      if (g == now.stamp.generation || g == now.stamp.pending) continue;
      DeleteGeneration(g, halfway_point);
    }
  } catch (const std::exception& e) {
    logger_->warning("Could not remove the replaced lists: " + std::string(e.what()));
  }
}

ChangeRecord Client::MarkDeleted() {
  for (int attempt = 0; attempt < kRecordRetries; ++attempt) {
    const ChangeRecord seen = ReadRecord();
    // Also over no record at all: a write about to log into a new index
    // must find it deleted.
    if (seen.stamp.deleted) return seen;
    ChangeRecord next = ChangeLog::Next(seen);
    next.stamp.deleted = true;
    next.stamp.held = false;
    if (PushRecord(seen, std::move(next), ChangeEntry{})) return last_record_;
    ChangeLog::PauseAfterRefusal(attempt);
  }
  throw std::runtime_error("Could not delete index " + index_name_ + ": the index is busy");
}

void Client::StartRecord() {
  for (int attempt = 0; attempt < kRecordRetries; ++attempt) {
    const ChangeRecord seen = ReadRecord();
    ChangeRecord next = ChangeLog::Next(seen);
    next.stamp.state_tag = engine::NewChangeTag();
    if (seen.stamp.deleted) {
      // The remains of a deletion that did not finish: a new history, which
      // still knows how many generations the old one handed out.
      next.stamp = {next.stamp.version, next.stamp.tag, next.stamp.state_tag, 0, kNoGeneration,
                    seen.stamp.highest, seen.stamp.legacy_below};
      next.recent.clear();
    }
    if (PushRecord(seen, std::move(next), NothingChanged(generation_))) return;
    ChangeLog::PauseAfterRefusal(attempt);
  }
  throw std::runtime_error("Could not create index " + index_name_ + ": the index is busy");
}

}  // namespace nivora_encrypted_index
