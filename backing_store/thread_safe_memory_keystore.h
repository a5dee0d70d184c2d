// ThreadSafeMemoryKeystore is the keystore of location THREADSAFEMEMORY and
// the RAM cache in front of the external keystores. An object holds its store
// kind and a shared reference to the tables its data lives in. Every object
// built by the public constructor uses the one set of process-wide tables, so
// they all see the same indexes and config items: two clients share an index
// and a later client can reopen it. A RAM cache is built by NewPrivate and has
// tables of its own, so a cache never mixes with the THREADSAFEMEMORY location
// nor with the cache of another storage location.
//
// The process-wide data lives from library load to process exit, a cache's
// as long as the cache. Value sizes are kept per index. Deleting an index
// drops its items, its value size and (when no call is using it) its map
// mutex, so names that come and go leave nothing behind. Config items are
// kept, in one namespace per set of tables.
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

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "backing_store/keystore.h"
#include "core/mutex_registry.h"
#include "core/sharded_map.h"

namespace nivora_encrypted_index::internal::backing_store {

class ThreadSafeMemoryKeystore : public Keystore {
 public:
  // The configuration is not read. Logs INFO
  // "ThreadSafeMemoryKeystore constructor called".
  ThreadSafeMemoryKeystore(nivora::DBConfig& config, const BackingStoreType& type);
  ~ThreadSafeMemoryKeystore() override;

  // A keystore of store kind `type` over tables of its own, empty, that no
  // other object sees. Logs the constructor's INFO line too.
  static std::unique_ptr<ThreadSafeMemoryKeystore> NewPrivate(const BackingStoreType& type);

 private:
  struct Tables;
  // Lets only this class name the tables a keystore is built over.
  struct TablesTag {
    explicit TablesTag() = default;
  };

 public:
  ThreadSafeMemoryKeystore(TablesTag, std::shared_ptr<Tables> tables, const BackingStoreType& type);

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
  // Records in place under their shards' shared locks, shard by shard on
  // the calling thread. Throws as BatchGetItemsImpl for an unset value size.
  bool VisitItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                      const ItemVisitor& visit) override;

  // A missing or empty config item loads as an empty matrix.
  void PushConfigItem(const std::string& name, const uint8_t* data, size_t size) override;
  bool PushConfigItemIfAbsent(const std::string& name, const uint8_t* data,
                              size_t size) override;
  nivora::Array2D<unsigned char> LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  void DeleteConfigItem(const std::string& name) override;

  // Empties the index; it stays registered, so pushes work again at once.
  void DeleteIndexImpl(const uint64_t& index) override;
  size_t GetTotalSize(const uint64_t& index) override;
  // Keys shard by shard, 0 to 15.
  std::vector<uint64_t> GetAllKeys(const uint64_t& index) override;
  void SetValueSizeImpl(const uint64_t& index, size_t value_size) override;
  // Takes the value-size mutex only to copy the table's pointer.
  size_t GetValueSizeImpl(const uint64_t& index) const override;
  nivora::Location GetLocation() const override { return nivora::Location::THREADSAFEMEMORY; }
  BackingStoreType GetBackingStoreType() const override { return store_type_; }

  // The index names of the process-wide tables: every config item name of at
  // least 5 characters ending in ".nvs", less that ending.
  static std::vector<std::string> ListAllConfigItems();

 private:
  // The items of one store of one index, by key.
  using IndexData = nivora::ShardedMap<uint64_t, std::vector<uint8_t>>;
  using ValueSizeTable = std::unordered_map<uint64_t, size_t>;

  // Everything a set of keystores shares.
  struct Tables {
    // Per hashed_index_name, the index's items; a call holds its own
    // reference, so deleting the index never pulls them from under it.
    // Guarded by index_registry_mutex.
    absl::flat_hash_map<uint64_t, std::shared_ptr<IndexData>> index_registry;
    std::shared_mutex index_registry_mutex;
    // Config items by name. Guarded by config_mutex.
    std::unordered_map<std::string, std::vector<uint8_t>> config_store;
    std::shared_mutex config_mutex;
    // Per hashed_index_name, the mutex of its versioned-map operations.
    nivora::MutexRegistry<uint64_t> map_mutexes;
    // Value size per hashed_index_name (kDefaultValueSize when absent). Copy
    // on write: readers copy the pointer under the mutex and read the table
    // after releasing it; writers publish a new table.
    std::shared_ptr<const ValueSizeTable> value_sizes = std::make_shared<const ValueSizeTable>();
    mutable std::mutex value_sizes_mutex;
  };

  // The tables of the THREADSAFEMEMORY location, made on first use.
  static const std::shared_ptr<Tables>& ProcessTables();

  uint64_t HashedName(const uint64_t& index) const { return hashed_index_name(index, store_type_); }
  // The index's data, created on first use.
  std::shared_ptr<IndexData> GetIndexData(const uint64_t& index);
  // The index's data, or null when it was never written. Creates nothing.
  std::shared_ptr<IndexData> FindIndexData(const uint64_t& index) const;
  // The index's value size; throws std::runtime_error "Value size not set"
  // (logged) when it has none.
  size_t ValueSizeOf(const uint64_t& index) const;
  // The mutex that serialises the versioned-map operations of the index.
  std::shared_ptr<std::mutex> MapMutexFor(const uint64_t& index);

  const std::shared_ptr<Tables> tables_;
  const BackingStoreType store_type_;
};

}  // namespace nivora_encrypted_index::internal::backing_store

namespace nivora_encrypted_index {

// The index names held by the in-process stores of this process; the
// configuration is not read.
std::vector<std::string> ListMemoryIndexes(const nivora::DBConfig& config);

}  // namespace nivora_encrypted_index

#endif  // NIVORA_BACKING_STORE_THREAD_SAFE_MEMORY_KEYSTORE_H_
