// SharedCache is the RAM cache of one storage location and store kind: a
// ThreadSafeMemoryKeystore over tables of its own, plus, per index, whether
// reads of that index may be served from it. Every keystore of the process
// that serves that location and kind attaches the same SharedCache
// (Keystore::EnableCache); the cache registry owns it until process exit.
//
// Per index the cache is in one of three states:
//   not loaded - write-throughs reach it, reads go to the store;
//   filling    - a copy of the store is being made (Fill); writes, deletes
//                and map pushes that arrive meanwhile win over the copy's
//                (possibly older) values of the same keys;
//   loaded     - reads are served from it.
// Only a completed Fill makes an index loaded; write-throughs never do, so a
// cache that holds just the items written since it was attached is never
// taken for a full copy. A loaded index may carry a CacheMark: the stored
// change its copy is known to be complete up to (see Keystore::RefillCache),
// and be brought from one mark to a later one by rereading only the keys
// that changed between them (Patch), while it keeps serving reads.
//
// Thread safety: every operation may run on any thread. Fills and clears of
// one cache run one at a time (a clear waits for a fill in progress); the
// state of the indexes is guarded by one shared mutex, held exclusively only
// for short steps (and, while an index is being filled, around the cache
// writes of that index, which is what keeps a fill from overwriting newer
// values).
#ifndef NIVORA_BACKING_STORE_SHARED_CACHE_H_
#define NIVORA_BACKING_STORE_SHARED_CACHE_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "backing_store/keystore.h"

namespace nivora_encrypted_index::internal::backing_store {

class SharedCache {
 public:
  // Takes the keystore that holds the cached items (a private
  // ThreadSafeMemoryKeystore).
  explicit SharedCache(std::unique_ptr<Keystore> store);
  SharedCache(const SharedCache&) = delete;
  SharedCache& operator=(const SharedCache&) = delete;

  // The keystore holding the cached items; lives as long as this cache.
  Keystore& store() const { return *store_; }

  // Whether reads of `index` are served from the cache.
  bool IsLoaded(const uint64_t& index) const;

  // Runs write(store()), a write-through that sets or removes `keys` of
  // `index`. While the index is being filled, the keys are marked changed
  // and the write runs under the state lock, so the fill keeps its older
  // copy of those keys out of the cache.
  template <typename Write>
  void WriteThrough(const uint64_t& index, const std::vector<uint64_t>& keys, const Write& write) {
    {
      std::unique_lock lock(state_mutex_);
      auto it = states_.find(index);
      if (it != states_.end() && (it->second.phase == Phase::kFilling || it->second.patching)) {
        it->second.changed.insert(keys.begin(), keys.end());
        write(*store_);
        return;
      }
    }
    // Not filling: the store was written first, so any fill that starts from
    // now on reads this value or a newer one.
    write(*store_);
  }

  // Copies the index from `source` (reads of at most 1000 values, never
  // through a cache) and marks it loaded; nothing when it is loaded already.
  // The cache's earlier copy of the index is dropped first. On failure the
  // copy is dropped, the index stays not loaded and the exception passes on.
  void Fill(Keystore& source, const uint64_t& index);

  // Whether the index is loaded with exactly `mark`.
  bool IsCurrent(const uint64_t& index, const CacheMark& mark) const;
  // Unless the index is loaded with `mark` already: drops the copy, copies
  // the index from `source` as Fill does and marks it loaded with `mark`.
  // Failures as Fill.
  void Refill(Keystore& source, const uint64_t& index, const CacheMark& mark);
  // The mark of a loaded index, when it has one.
  std::optional<CacheMark> MarkOf(const uint64_t& index) const;
  // When the index is loaded with `from`: reads `keys` from `source` (never
  // through a cache), puts each value read into the copy and removes the
  // keys read absent, less the keys written or deleted meanwhile, and marks
  // it `to`. Reads are served from the copy throughout. False when the copy
  // is not marked `from`. A failed read leaves the copy as it was.
  bool Patch(Keystore& source, const uint64_t& index, const CacheMark& from, const CacheMark& to,
             const std::vector<uint64_t>& keys);
  // Replaces the mark of a loaded index by `to` when it is `from`; else
  // nothing.
  void AdvanceMark(const uint64_t& index, const CacheMark& from, const CacheMark& to);

  // Marks the index not loaded and drops the cache's copy. Waits for a fill
  // in progress.
  void Clear(const uint64_t& index);

 private:
  enum class Phase { kNotLoaded, kFilling, kLoaded };
  struct IndexState {
    Phase phase = Phase::kNotLoaded;
    // Keys written or deleted since the fill or patch began.
    absl::flat_hash_set<uint64_t> changed;
    bool patching = false;  // a Patch is reading (kLoaded only)
    // kLoaded by Refill: the change the copy is complete up to.
    std::optional<CacheMark> mark;
  };

  // Fill's work, with fill_mutex_ held: copies the index and marks it
  // loaded with `mark`.
  void FillLocked(Keystore& source, const uint64_t& index, const std::optional<CacheMark>& mark);

  // Puts a batch read by a fill or patch into the cache, less the keys
  // changed since it began; with remove_absent, empty values remove their
  // keys (a patch), else they are stored as read (a fill copies what is).
  void PutFilledBatch(const uint64_t& index, const std::vector<uint64_t>& keys,
                      std::vector<std::vector<uint8_t>> values, bool remove_absent = false);
  // Ends a fill: loaded, or (after a failure) not loaded with the copy
  // dropped.
  void EndFill(const uint64_t& index, bool loaded, const std::optional<CacheMark>& mark);

  const std::unique_ptr<Keystore> store_;
  mutable std::shared_mutex state_mutex_;
  absl::flat_hash_map<uint64_t, IndexState> states_;  // guarded by state_mutex_
  std::mutex fill_mutex_;  // one fill or clear of this cache at a time
};

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_SHARED_CACHE_H_
