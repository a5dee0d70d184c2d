// MutexRegistry<Key> hands out one mutex per key (an index, a stored index's
// summaries), made on first use and shared by every caller of that key. An
// entry can be dropped once its key is gone, so keys that come and go leave
// nothing behind; a caller that still holds the mutex keeps it alive, and
// the entry stays until no other caller holds it.
//
// Thread safety: every operation may run concurrently with every other; one
// internal mutex guards the table and is never held while a handed-out
// mutex is locked.
#ifndef NIVORA_CORE_MUTEX_REGISTRY_H_
#define NIVORA_CORE_MUTEX_REGISTRY_H_

#include <cstddef>
#include <memory>
#include <mutex>

#include "absl/container/flat_hash_map.h"

namespace nivora {

template <typename Key>
class MutexRegistry {
 public:
  // The mutex of `key`, made on first use. Never null.
  std::shared_ptr<std::mutex> Get(const Key& key) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<std::mutex>& slot = mutexes_[key];
    if (!slot) slot = std::make_shared<std::mutex>();
    return slot;
  }

  // Drops the entry of `key` unless a caller holds its mutex; `own` is the
  // calling thread's reference to it, if it has one (null otherwise), and
  // does not count. A key without an entry is ignored.
  void Forget(const Key& key, const std::shared_ptr<std::mutex>& own = nullptr) {
    std::lock_guard lock(mutex_);
    auto it = mutexes_.find(key);
    if (it == mutexes_.end()) return;
    // Copies are made only under mutex_: with no owner but the table (and
    // the caller) none can appear while it is held.
    const long owners = (own != nullptr && own == it->second) ? 2 : 1;
    if (it->second.use_count() == owners) mutexes_.erase(it);
  }

  // Number of keys with an entry.
  size_t size() const {
    std::lock_guard lock(mutex_);
    return mutexes_.size();
  }

 private:
  mutable std::mutex mutex_;
  absl::flat_hash_map<Key, std::shared_ptr<std::mutex>> mutexes_;  // guarded by mutex_
};

}  // namespace nivora

#endif  // NIVORA_CORE_MUTEX_REGISTRY_H_
