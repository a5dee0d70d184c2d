// ShardedMap<K, V> is a hash map split into 16 independently locked shards,
// so that threads working on different keys rarely wait for each other.
// Each shard is an absl::flat_hash_map under its own std::shared_mutex: reads
// take it shared, writes exclusive. A key's shard is fixed by its hash.
//
// Values are handed to callbacks by reference while the shard's lock is held,
// never returned by reference: element addresses are not stable (a flat map
// moves elements when it grows). Callbacks must not call back into the same
// map. No operation holds two shard locks at once.
//
// Thread safety: every operation may run concurrently with every other.
// Whole-map operations (size, clear, ForEach) visit the shards one after the
// other, so they see no single moment of the whole map.
#ifndef NIVORA_CORE_SHARDED_MAP_H_
#define NIVORA_CORE_SHARDED_MAP_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "absl/container/flat_hash_map.h"
#include "absl/hash/hash.h"

namespace nivora {

template <typename K, typename V, typename Hash = absl::Hash<K>>
class ShardedMap {
 public:
  static constexpr size_t kShardCount = 16;
  using Map = absl::flat_hash_map<K, V, Hash>;

  ShardedMap() = default;
  ShardedMap(const ShardedMap&) = delete;
  ShardedMap& operator=(const ShardedMap&) = delete;

  // The shard that holds `key`, in [0, kShardCount). Taken from the top bits
  // of the hash: the flat map inside the shard uses the low ones.
  static size_t ShardOf(const K& key) {
    return static_cast<size_t>(static_cast<uint64_t>(Hash{}(key)) >> 60) % kShardCount;
  }

  // Inserts `value` under `key`, replacing any earlier value.
  template <typename Value>
  void InsertOrAssign(const K& key, Value&& value) {
    Shard& shard = shards_[ShardOf(key)];
    std::unique_lock lock(shard.mutex);
    shard.map.insert_or_assign(key, std::forward<Value>(value));
  }

  // Calls update(V&) under the shard's exclusive lock, on the value of `key`
  // (value-initialised first when the key is absent).
  template <typename Update>
  void Upsert(const K& key, const Update& update) {
    Shard& shard = shards_[ShardOf(key)];
    std::unique_lock lock(shard.mutex);
    update(shard.map[key]);
  }

  // Calls read(const V&) under the shard's shared lock when `key` is present.
  // Returns whether it was.
  template <typename Read>
  bool Find(const K& key, const Read& read) const {
    const Shard& shard = shards_[ShardOf(key)];
    std::shared_lock lock(shard.mutex);
    auto it = shard.map.find(key);
    if (it == shard.map.end()) return false;
    read(it->second);
    return true;
  }

  // Removes `key`; returns whether it was present.
  bool Erase(const K& key) {
    Shard& shard = shards_[ShardOf(key)];
    std::unique_lock lock(shard.mutex);
    return shard.map.erase(key) != 0;
  }

  // Calls read(const Map&) with one whole shard under its shared lock, so a
  // batch of keys of that shard pays for one lock.
  template <typename Read>
  void ReadShard(size_t shard_index, const Read& read) const {
    const Shard& shard = shards_[shard_index];
    std::shared_lock lock(shard.mutex);
    read(shard.map);
  }

  // Calls write(Map&) with one whole shard under its exclusive lock.
  template <typename Write>
  void WriteShard(size_t shard_index, const Write& write) {
    Shard& shard = shards_[shard_index];
    std::unique_lock lock(shard.mutex);
    write(shard.map);
  }

  // Calls visit(const K&, const V&) for every entry, shard 0 to 15, each
  // shard under its shared lock, in the shard's iteration order.
  template <typename Visit>
  void ForEach(const Visit& visit) const {
    for (size_t s = 0; s < kShardCount; ++s) {
      ReadShard(s, [&](const Map& map) {
        for (const auto& [key, value] : map) visit(key, value);
      });
    }
  }

  // Number of entries, summed shard by shard under shared locks.
  size_t size() const {
    size_t total = 0;
    for (size_t s = 0; s < kShardCount; ++s) {
      ReadShard(s, [&](const Map& map) { total += map.size(); });
    }
    return total;
  }

  // Empties every shard, one after the other under its exclusive lock.
  void clear() {
    for (size_t s = 0; s < kShardCount; ++s) {
      WriteShard(s, [](Map& map) { map.clear(); });
    }
  }

 private:
  // Own cache lines, so that threads locking neighbouring shards do not
  // contend on one line.
  struct alignas(64) Shard {
    mutable std::shared_mutex mutex;
    Map map;  // guarded by mutex
  };

  std::array<Shard, kShardCount> shards_;
};

}  // namespace nivora

#endif  // NIVORA_CORE_SHARDED_MAP_H_
