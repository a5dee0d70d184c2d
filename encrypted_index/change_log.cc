// The change record's compare-and-set, the external log behind it and the
// reading of the entries since a mark.
#include "encrypted_index/change_log.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>
#include <utility>

#include "encrypted_index/cryptography/aes_gcm.h"
#include "encrypted_index/stored_layout.h"

namespace nivora_encrypted_index {
namespace {

namespace crypto = internal::cryptography;
namespace engine = internal::encrypted_index;
using internal::backing_store::CacheMark;
using internal::backing_store::VersionedMap;

// The external log trims itself in steps of this many versions.
constexpr uint64_t kTrimStep = 1024;

size_t KeyCount(const std::vector<ChangeEntry>& entries) {
  size_t n = 0;
  for (const ChangeEntry& entry : entries) n += entry.key_count();
  return n;
}

}  // namespace

ChangeLog::ChangeLog(internal::backing_store::Keystore* store, uint64_t index_id, uint64_t log_id,
                     const crypto::Key* key)
    : store_(store), index_id_(index_id), log_id_(log_id), key_(key) {}

ChangeRecord ChangeLog::Read() const {
  // Always the store itself: the record is what the caches are checked against.
  const VersionedMap stored =
      store_->GetMapImpl(index_id_, engine::kChangeStampKey, engine::kChangeStampVersionKey);
  if (stored.map.rows * stored.map.cols == 0) {
    ChangeRecord none;
    none.stamp.version = stored.version;
    return none;
  }
  engine::RequirePresentRecords(stored.map.data, 1, stored.map.size());
  const nivora::Array2D<unsigned char> plain =
      crypto::DecryptItemsFixed(stored.map.data, 1, stored.map.size(), *key_);
  return engine::DecodeChangeRecord(plain.data, plain.size(), stored.version);
}

ChangeRecord ChangeLog::Next(const ChangeRecord& seen) {
  ChangeRecord next = seen;
  next.stamp.version = seen.stamp.version + 1;
  next.stamp.tag = engine::NewChangeTag();
  next.stamp.earlier_form = false;
  return next;
}

void ChangeLog::Append(ChangeRecord& next, ChangeEntry entry) {
  entry.version = next.stamp.version;
  entry.tag = next.stamp.tag;
  if (entry.key_count() > kMaxEntryKeys) {
    entry.whole = true;
    entry.index_keys.clear();
    entry.items.clear();
  }
  next.recent.push_back(std::move(entry));
}

void ChangeLog::Evict(ChangeRecord& next) {
  std::vector<ChangeEntry>& recent = next.recent;
  size_t evict = 0;
  size_t keys = KeyCount(recent);
  // The newest entry always stays: it is the one of the record's version.
  while (evict + 1 < recent.size() &&
         (recent.size() - evict > kRecentEntries || keys > kRecentKeys)) {
    keys -= recent[evict].key_count();
    ++evict;
  }
  if (evict == 0) return;
  std::vector<uint64_t> versions;
  std::vector<std::vector<uint8_t>> plain;
  std::vector<uint64_t> trimmed;
  for (size_t i = 0; i < evict; ++i) {
    const uint64_t v = recent[i].version;
    versions.push_back(v);
    plain.push_back(engine::EncodeChangeEntry(recent[i]));
    // Whoever moves a multiple of the step out trims the step that fell
    // behind the kept window (deleting absent keys is harmless).
    if (v % kTrimStep == 0 && v > kExternalVersions) {
      for (uint64_t old = v - kExternalVersions - kTrimStep + 1; old <= v - kExternalVersions; ++old) {
        trimmed.push_back(old);
      }
    }
  }
  // Straight to the store: the external log is never read through a cache.
  store_->BatchPushVariableImpl(log_id_, versions, crypto::EncryptItemsVariable(plain, *key_));
  if (!trimmed.empty()) store_->BatchDeleteItemsImpl(log_id_, trimmed);
  recent.erase(recent.begin(), recent.begin() + static_cast<std::ptrdiff_t>(evict));
}

bool ChangeLog::Push(const ChangeRecord& seen, ChangeRecord next) {
  Evict(next);
  const std::vector<uint8_t> plain = engine::EncodeChangeRecord(next);
  const nivora::Array2D<unsigned char> sealed =
      crypto::EncryptItemsFixed(plain.data(), 1, plain.size(), *key_);
  // PushMapImpl: the caches follow by their marks, not by a copy of the record.
  return store_->PushMapImpl(index_id_, engine::kChangeStampKey, sealed.data, sealed.cols,
                             engine::kChangeStampVersionKey, seen.stamp.version);
}

std::optional<std::vector<ChangeEntry>> ChangeLog::Since(const ChangeRecord& now,
                                                         const CacheMark& from) const {
  const ChangeStamp& stamp = now.stamp;
  if (from.version == stamp.version) {
    if (from.tag == stamp.tag) return std::vector<ChangeEntry>{};
    return std::nullopt;
  }
  if (from.version > stamp.version || stamp.earlier_form) return std::nullopt;
  // The entries from `from`'s own version (to check its tag; a mark at
  // version 0 is the absent record, which every history starts from).
  const uint64_t first = from.version == 0 ? 1 : from.version;
  const uint64_t recent_first =
      now.recent.empty() ? stamp.version + 1 : now.recent.front().version;
  std::vector<ChangeEntry> entries;
  if (first < recent_first) {
    // Further behind than this, a refill reads less.
    if (recent_first - first > kMaxCatchUpVersions) return std::nullopt;
    std::vector<uint64_t> versions;
    for (uint64_t v = first; v < recent_first; ++v) versions.push_back(v);
    const std::vector<std::vector<uint8_t>> sealed = store_->BatchGetVariableImpl(log_id_, versions);
    if (sealed.size() != versions.size()) return std::nullopt;
    for (const auto& record : sealed) {
      if (record.empty()) return std::nullopt;  // trimmed, or never logged
    }
    for (const auto& plain : crypto::DecryptItemsVariable(sealed, *key_)) {
      entries.push_back(engine::DecodeChangeEntry(plain.data(), plain.size()));
    }
  }
  for (const ChangeEntry& entry : now.recent) {
    if (entry.version >= first) entries.push_back(entry);
  }
  // One entry per version, in order, up to now: anything else is a log
  // this reader cannot trust to be complete.
  uint64_t expected = first;
  for (const ChangeEntry& entry : entries) {
    if (entry.version != expected++) return std::nullopt;
  }
  if (expected != stamp.version + 1 || entries.back().tag != stamp.tag) return std::nullopt;
  if (from.version != 0) {
    if (entries.front().tag != from.tag) return std::nullopt;
    entries.erase(entries.begin());
  }
  return entries;
}

void ChangeLog::DropExternal() { store_->DeleteIndex(log_id_); }

void ChangeLog::PauseAfterRefusal(int attempt) {
  if (attempt < 3) return;
  thread_local std::mt19937 generator{std::random_device{}()};
  const int bound = 100 * std::min(attempt, 20);
  std::this_thread::sleep_for(
      std::chrono::microseconds(std::uniform_int_distribution<int>(bound / 2, bound)(generator)));
}

}  // namespace nivora_encrypted_index
