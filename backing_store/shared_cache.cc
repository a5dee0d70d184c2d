// How a shared cache is filled from a store without ever letting the copy
// win over a write that arrived while it was being made.
#include "backing_store/shared_cache.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace nivora_encrypted_index::internal::backing_store {
namespace {

// Values moved per read while a cache is filled, so memory stays bounded.
constexpr size_t kFillBatch = 1000;

}  // namespace

SharedCache::SharedCache(std::unique_ptr<Keystore> store) : store_(std::move(store)) {}

bool SharedCache::IsLoaded(const uint64_t& index) const {
  std::shared_lock lock(state_mutex_);
  auto it = states_.find(index);
  return it != states_.end() && it->second.phase == Phase::kLoaded;
}

bool SharedCache::IsCurrent(const uint64_t& index, const CacheMark& mark) const {
  std::shared_lock lock(state_mutex_);
  auto it = states_.find(index);
  return it != states_.end() && it->second.phase == Phase::kLoaded && it->second.mark == mark;
}

void SharedCache::AdvanceMark(const uint64_t& index, const CacheMark& from, const CacheMark& to) {
  std::unique_lock lock(state_mutex_);
  auto it = states_.find(index);
  if (it != states_.end() && it->second.phase == Phase::kLoaded && it->second.mark == from) {
    it->second.mark = to;
  }
}

std::optional<CacheMark> SharedCache::MarkOf(const uint64_t& index) const {
  std::shared_lock lock(state_mutex_);
  auto it = states_.find(index);
  if (it == states_.end() || it->second.phase != Phase::kLoaded) return std::nullopt;
  return it->second.mark;
}

bool SharedCache::Patch(Keystore& source, const uint64_t& index, const CacheMark& from,
                        const CacheMark& to, const std::vector<uint64_t>& keys) {
  std::lock_guard fill(fill_mutex_);
  {
    std::unique_lock lock(state_mutex_);
    auto it = states_.find(index);
    if (it == states_.end() || it->second.phase != Phase::kLoaded || it->second.mark != from) {
      return false;
    }
    it->second.patching = true;
    it->second.changed.clear();
  }
  auto end_patch = [&](bool done) {
    std::unique_lock lock(state_mutex_);
    IndexState& state = states_[index];
    state.patching = false;
    state.changed = {};
    if (done && state.mark == from) state.mark = to;
  };
  try {
    for (size_t begin = 0; begin < keys.size(); begin += kFillBatch) {
      const size_t end = std::min(keys.size(), begin + kFillBatch);
      const std::vector<uint64_t> batch(keys.begin() + static_cast<std::ptrdiff_t>(begin),
                                        keys.begin() + static_cast<std::ptrdiff_t>(end));
      std::vector<std::vector<uint8_t>> values = source.BatchGetVariableImpl(index, batch);
      if (values.size() != batch.size()) {
        throw std::runtime_error("The store returned " + std::to_string(values.size()) +
                                 " values for " + std::to_string(batch.size()) + " keys");
      }
      PutFilledBatch(index, batch, std::move(values), /*remove_absent=*/true);
    }
  } catch (...) {
    end_patch(false);
    throw;
  }
  end_patch(true);
  return true;
}

void SharedCache::Fill(Keystore& source, const uint64_t& index) {
  std::lock_guard fill(fill_mutex_);
  if (IsLoaded(index)) return;
  FillLocked(source, index, std::nullopt);
}

void SharedCache::Refill(Keystore& source, const uint64_t& index, const CacheMark& mark) {
  std::lock_guard fill(fill_mutex_);
  // Another thread may have refilled at this very mark while this one waited.
  if (IsCurrent(index, mark)) return;
  FillLocked(source, index, mark);
}

void SharedCache::FillLocked(Keystore& source, const uint64_t& index,
                             const std::optional<CacheMark>& mark) {
  {
    std::unique_lock lock(state_mutex_);
    IndexState& state = states_[index];
    state.phase = Phase::kFilling;
    state.mark.reset();
    state.changed.clear();
    // What write-throughs left here may predate deletions made elsewhere:
    // the copy starts from nothing. The value size is read and set under the
    // lock, so a concurrent SetValueSize lands before or after, never between.
    store_->DeleteIndexImpl(index);
    store_->SetValueSizeImpl(index, source.GetValueSizeImpl(index));
  }
  try {
    const std::vector<uint64_t> keys = source.GetAllKeys(index);
    for (size_t begin = 0; begin < keys.size(); begin += kFillBatch) {
      const size_t end = std::min(keys.size(), begin + kFillBatch);
      const std::vector<uint64_t> batch(keys.begin() + static_cast<std::ptrdiff_t>(begin),
                                        keys.begin() + static_cast<std::ptrdiff_t>(end));
      PutFilledBatch(index, batch, source.BatchGetVariableImpl(index, batch));
    }
  } catch (...) {
    EndFill(index, false, std::nullopt);
    throw;
  }
  EndFill(index, true, mark);
}

void SharedCache::PutFilledBatch(const uint64_t& index, const std::vector<uint64_t>& keys,
                                 std::vector<std::vector<uint8_t>> values, bool remove_absent) {
  std::unique_lock lock(state_mutex_);
  const absl::flat_hash_set<uint64_t>& changed = states_[index].changed;
  if (changed.empty() && !remove_absent) {
    if (!keys.empty()) store_->BatchPushVariableImpl(index, keys, values);
    return;
  }
  std::vector<uint64_t> kept_keys;
  std::vector<std::vector<uint8_t>> kept_values;
  std::vector<uint64_t> absent;
  kept_keys.reserve(keys.size());
  kept_values.reserve(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    if (changed.contains(keys[i])) continue;  // a newer write or delete is already here
    if (remove_absent && values[i].empty()) {
      absent.push_back(keys[i]);
      continue;
    }
    kept_keys.push_back(keys[i]);
    kept_values.push_back(std::move(values[i]));
  }
  if (!kept_keys.empty()) store_->BatchPushVariableImpl(index, kept_keys, kept_values);
  if (!absent.empty()) store_->BatchDeleteItemsImpl(index, absent);
}

void SharedCache::EndFill(const uint64_t& index, bool loaded,
                          const std::optional<CacheMark>& mark) {
  std::unique_lock lock(state_mutex_);
  if (loaded) {
    IndexState& state = states_[index];
    state.phase = Phase::kLoaded;
    state.changed = {};
    state.mark = mark;
    return;
  }
  // A partial copy must never serve reads.
  states_.erase(index);
  store_->DeleteIndexImpl(index);
}

void SharedCache::Clear(const uint64_t& index) {
  // A fill that went on after the clear would mark a partial copy loaded.
  std::lock_guard fill(fill_mutex_);
  std::unique_lock lock(state_mutex_);
  // Unmarked and emptied in one step: no read finds the index loaded in a
  // half-emptied cache.
  states_.erase(index);
  store_->DeleteIndexImpl(index);
}

}  // namespace nivora_encrypted_index::internal::backing_store
