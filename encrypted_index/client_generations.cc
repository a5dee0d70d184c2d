// Generations of the lists: the record that says which generation is
// current, the claim a training makes on a new one, the switch that commits
// it and the removal of what is no longer current.
//
// A training writes only into its pending generation until it commits, and
// removes the replaced generation only after: whenever a process dies, the
// current generation is complete, and whatever the dead one left is found
// in the record by the next training and removed.
#include <algorithm>
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

constexpr size_t kRecordFields = 4;
// Other trainings are the only competition for the record: a few retries
// settle it.
constexpr int kRecordRetries = 20;

}  // namespace

std::string Client::StateItemName(uint64_t g) const {
  const std::string base = index_name_ + internal::encrypted_index::kIndexStateSuffix;
  return g == 0 ? base : base + "." + std::to_string(g);
}

Client::GenerationRecord Client::LoadGenerationRecord() {
  const VersionedMap stored =
      index_keystore_->GetMapImpl(index_id_, kGenerationRecordKey, kGenerationVersionKey);
  GenerationRecord record;
  record.version = stored.version;
  const size_t size = stored.map.rows * stored.map.cols;
  if (size == 0) return record;
  internal::encrypted_index::RequirePresentRecords(stored.map.data, 1, size);
  const nivora::Array2D<unsigned char> plain =
      crypto::DecryptItemsFixed(stored.map.data, 1, size, index_key_);
  if (plain.size() != kRecordFields * 8) {
    throw std::runtime_error("Stored generation record is damaged");
  }
  record.current = nivora::LoadLittleEndian<uint64_t>(plain.data);
  record.pending = nivora::LoadLittleEndian<uint64_t>(plain.data + 8);
  record.retired = nivora::LoadLittleEndian<uint64_t>(plain.data + 16);
  record.highest = nivora::LoadLittleEndian<uint64_t>(plain.data + 24);
  return record;
}

bool Client::StoreGenerationRecord(const GenerationRecord& record) {
  uint8_t plain[kRecordFields * 8];
  nivora::StoreLittleEndian<uint64_t>(record.current, plain);
  nivora::StoreLittleEndian<uint64_t>(record.pending, plain + 8);
  nivora::StoreLittleEndian<uint64_t>(record.retired, plain + 16);
  nivora::StoreLittleEndian<uint64_t>(record.highest, plain + 24);
  const nivora::Array2D<unsigned char> sealed =
      crypto::EncryptItemsFixed(plain, 1, sizeof(plain), index_key_);
  return index_keystore_->PushMapImpl(index_id_, kGenerationRecordKey, sealed.data, sealed.cols,
                                       kGenerationVersionKey, record.version);
}

void Client::UseGeneration(uint64_t g, size_t payload_size, size_t vocab_size) {
  const auto threads = ThreadScope();
  building_ = false;
  if (g == generation_ && payload_size == payload_size_ && vocab_size == vocab_size_) return;
  if (g != generation_ || vocab_size != vocab_size_) {
    generation_ = g;
    list_id_ = ListIdOf(g);
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
    // Generation 0 shares its place with the change stamp and the
    // generation record, which stay.
    std::vector<uint64_t> keys = index_keystore_->GetAllKeys(id);
    std::erase_if(keys, [](uint64_t key) {
      return key == engine::kChangeStampKey || key == engine::kChangeStampVersionKey ||
             key == kGenerationRecordKey || key == kGenerationVersionKey;
    });
    if (!keys.empty()) index_keystore_->BatchDeleteItems(id, keys);
  } else {
    index_keystore_->DeleteIndex(id);
  }
  if (halfway_point != nullptr) nivora::internal::ReachTestPoint(halfway_point);
  vectors_keystore_->DeleteIndex(id);
  // "<name>.nvs" names the index to the listings: it stays while the index does.
  if (g != 0) config_keystore_->DeleteConfigItem(StateItemName(g));
}

void Client::DeleteOtherGenerations() {
  const GenerationRecord record = LoadGenerationRecord();
  for (uint64_t g : {record.pending, record.retired}) {
    if (g != kNoGeneration && g != generation_) DeleteGeneration(g);
  }
}

bool Client::FenceGeneration(uint64_t g) {
  for (int attempt = 0; attempt < kRecordRetries; ++attempt) {
    const ChangeStamp stamp = ReadChangeStamp();
    if (stamp.generation == g) return false;
    if (AdvanceChangeStampFrom(stamp, ChangeKind::kItems)) return true;
  }
  throw std::runtime_error("Could not reserve a generation for training: the index is busy");
}

uint64_t Client::ClaimGeneration() {
  const auto threads = ThreadScope();
  for (int attempt = 0; attempt < kRecordRetries; ++attempt) {
    GenerationRecord record = LoadGenerationRecord();
    const uint64_t current = ReadChangeStamp().generation;
    // Replaced generations never become current again: they go first, while
    // the record still names them (a crash here leaves them to the next try).
    if (record.retired != kNoGeneration && record.retired != current) {
      DeleteGeneration(record.retired);
    }
    if (record.pending == current && record.current != current) {
      DeleteGeneration(record.current);  // committed, then the record was not updated
    }
    // A generation that never became current: its training died or is
    // overtaken now. The claim keeps naming it until it is removed.
    const uint64_t unfinished =
        record.pending != current ? record.pending : kNoGeneration;
    GenerationRecord claimed;
    claimed.current = current;
    // Never a number handed out before: a training overtaken while still
    // writing must not write into the new one's lists.
    claimed.highest = std::max(record.highest, current) + 1;
    claimed.pending = claimed.highest;
    claimed.retired = unfinished;
    claimed.version = record.version;
    if (!StoreGenerationRecord(claimed)) continue;
    // Its training must not commit it once its lists are gone: moving the
    // stamp makes that commit fail.
    if (unfinished != kNoGeneration && FenceGeneration(unfinished)) {
      logger_->warning("Removing the unfinished lists of an earlier training (generation " +
                       std::to_string(unfinished) + ")");
      DeleteGeneration(unfinished);
    }
    logger_->info("Building generation " + std::to_string(claimed.pending) + " of the lists");
    return claimed.pending;
  }
  throw std::runtime_error("Could not reserve a generation for training: the index is busy");
}

bool Client::CommitGeneration(uint64_t g, const ChangeStamp& expected, ChangeStamp* stored) {
  const auto threads = ThreadScope();
  if (LoadGenerationRecord().pending != g) {
    throw std::runtime_error(
        "Another training of this index started and replaced this one. Please retry.");
  }
  const ChangeStamp next{expected.version + 1, engine::NewChangeTag(), engine::NewChangeTag(), g};
  if (!PushChangeStamp(expected, next)) return false;
  if (stored != nullptr) *stored = next;
  building_ = false;
  for (int attempt = 0; attempt < kRecordRetries; ++attempt) {
    GenerationRecord record = LoadGenerationRecord();
    if (record.pending != g) break;  // a later claim has taken care of it
    record.current = g;
    record.pending = kNoGeneration;
    record.retired = expected.generation;
    if (StoreGenerationRecord(record)) break;
  }
  // A cache of the sizes the current state implies; readers take them from
  // the state.
  StoreConfig(EngineConfigName(), SerializeIndexConfig());
  return true;
}

void Client::AbandonGeneration(uint64_t g) noexcept {
  try {
    building_ = false;
    if (ReadChangeStamp().generation == g) return;  // committed after all
    DeleteGeneration(g);
    for (int attempt = 0; attempt < kRecordRetries; ++attempt) {
      GenerationRecord record = LoadGenerationRecord();
      if (record.pending != g) return;
      record.pending = kNoGeneration;
      if (StoreGenerationRecord(record)) return;
    }
  } catch (const std::exception& e) {
    logger_->warning("Could not remove the lists of a failed training: " + std::string(e.what()));
  }
}

void Client::RemoveRetiredGeneration() noexcept {
  try {
    GenerationRecord record = LoadGenerationRecord();
    if (record.retired == kNoGeneration || record.retired == generation_) return;
    DeleteGeneration(record.retired, "retired-lists-half-removed");
    record.retired = kNoGeneration;
    StoreGenerationRecord(record);  // refused: the next training removes it again
  } catch (const std::exception& e) {
    logger_->warning("Could not remove the replaced lists: " + std::string(e.what()));
  }
}

}  // namespace nivora_encrypted_index
