// ThreadSafeMemoryKeystore is the keystore of location THREADSAFEMEMORY and
// the RAM cache in front of the external keystores. All its data lives in
// process-wide tables; an object holds nothing but its store kind. So every
// object of the process sees the same indexes and config items: two clients
// share an index, a later client can reopen it, and the cache of a store kind
// holds the same data as any THREADSAFEMEMORY keystore of that kind.
//
// The data lives from library load to process exit; deleting an index empties
// it. Value sizes are kept per index. Config items are kept, in one namespace
// for the process.
//
// Thread safety: safe for any number of threads. Lock order: per-index map
// mutex, then the index registry, then one shard of an index; the config and
// value-size mutexes are never held with another lock.
//
// Failures: only the batch pushes (std::invalid_argument) and a fixed-size
// read with value size 0 (std::runtime_error) throw, each after one ERROR
// line; absence gives empty results.
#ifndef NIVORA_BACKING_STORE_THREAD_SAFE_MEMORY_KEYSTORE_H_
#define NIVORA_BACKING_STORE_THREAD_SAFE_MEMORY_KEYSTORE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/node_hash_map.h"
#include "backing_store/keystore.h"
#include "core/sharded_map.h"

namespace nivora_encrypted_index::internal::backing_store {

class ThreadSafeMemoryKeystore : public Keystore {
 public:
  // The configuration is not read. Logs INFO
  // "ThreadSafeMemoryKeystore constructor called".
  ThreadSafeMemoryKeystore(nivora::DBConfig& config, const BackingStoreType& type);
  ~ThreadSafeMemoryKeystore() override;

  void BatchPushItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                          const nivora::Array2D<unsigned char>& values) override;
  // Empty values are stored too.
  void BatchPushVariableImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                             const std::vector<std::vector<uint8_t>>& values) override;
  void PushItem(const uint64_t& index, const uint64_t& key, const uint8_t* data,
                size_t size) override;
  bool PushMapImpl(const uint64_t& index, const uint64_t& map_key, const uint8_t* data,
                   size_t size, const uint64_t& version_key,
                   const uint64_t& expected_version) override;
  void BatchDeleteItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys) override;
  void DeleteItem(const uint64_t& index, const uint64_t& key) override;
  nivora::Array2D<unsigned char> GetItem(const uint64_t& index, const uint64_t& key) override;
  // The map and version of one moment: taken under the index's map mutex.
  VersionedMap GetMapImpl(const uint64_t& index, const uint64_t& map_key,
                          const uint64_t& version_key) override;
  nivora::Array2D<unsigned char> BatchGetItemsImpl(const uint64_t& index,
                                                   const std::vector<uint64_t>& keys) override;
  std::vector<std::vector<uint8_t>> BatchGetVariableImpl(
      const uint64_t& index, const std::vector<uint64_t>& keys) override;

  // A missing or empty config item loads as an empty matrix.
  void PushConfigItem(const std::string& name, const uint8_t* data, size_t size) override;
  nivora::Array2D<unsigned char> LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  void DeleteConfigItem(const std::string& name) override;

  // Empties the index; it stays registered, so pushes work again at once.
  void DeleteIndexImpl(const uint64_t& index) override;
  size_t GetTotalSize(const uint64_t& index) override;
  // Keys shard by shard, 0 to 15.
  std::vector<uint64_t> GetAllKeys(const uint64_t& index) override;
  void SetValueSizeImpl(const uint64_t& index, size_t value_size) override;
  // Takes no mutex: reads the current value-size table through an atomic
  // pointer.
  size_t GetValueSizeImpl(const uint64_t& index) const override;
  nivora::Location GetLocation() const override { return nivora::Location::THREADSAFEMEMORY; }
  BackingStoreType GetBackingStoreType() const override { return store_type_; }

  // The index names of the process: every config item name of at least 5
  // characters ending in ".nvs", less that ending.
  static std::vector<std::string> ListAllConfigItems();

 private:
  // The items of one store of one index, by key.
  using IndexData = nivora::ShardedMap<uint64_t, std::vector<uint8_t>>;
  using ValueSizeTable = std::unordered_map<uint64_t, size_t>;

  uint64_t HashedName(const uint64_t& index) const { return hashed_index_name(index, store_type_); }
  // The index's data, created on first use. The reference stays valid until
  // process exit: entries are never removed and the registry is node-based.
  IndexData& GetIndexData(const uint64_t& index);
  // The index's data, or null when it was never written. Creates nothing.
  IndexData* FindIndexData(const uint64_t& index) const;
  // The mutex that serialises the versioned-map operations of the index.
  std::shared_ptr<std::mutex> MapMutexFor(const uint64_t& index);

  const BackingStoreType store_type_;

  // ---- Process-wide state ----
  // Per hashed_index_name, the index's items. Entries are never removed.
  // Guarded by index_registry_mutex_.
  static absl::node_hash_map<uint64_t, IndexData> index_registry_;
  static std::shared_mutex index_registry_mutex_;
  // Config items by name. Guarded by config_mutex_.
  static std::unordered_map<std::string, std::vector<uint8_t>> config_store_;
  static std::shared_mutex config_mutex_;
  // Per hashed_index_name, the mutex of its versioned-map operations.
  static absl::flat_hash_map<uint64_t, std::shared_ptr<std::mutex>>
      map_operation_mutexes_;  // guarded by map_mutex_registry_
  static std::mutex map_mutex_registry_;
  // Value size per hashed_index_name (kDefaultValueSize when absent). Copy on
  // write: readers load the pointer, writers publish a new table.
  static std::atomic<std::shared_ptr<const ValueSizeTable>> value_sizes_;
  static std::mutex value_sizes_write_mutex_;  // serialises writers of value_sizes_
};

}  // namespace nivora_encrypted_index::internal::backing_store

namespace nivora_encrypted_index {

// The index names held by the in-process stores of this process; the
// configuration is not read.
std::vector<std::string> ListMemoryIndexes(const nivora::DBConfig& config);

}  // namespace nivora_encrypted_index

#endif  // NIVORA_BACKING_STORE_THREAD_SAFE_MEMORY_KEYSTORE_H_
