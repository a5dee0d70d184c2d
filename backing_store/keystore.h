// Keystore is the storage contract of the engine: a key-value store of opaque
// byte strings, kept per index (a 64-bit index id) and store kind, plus a
// versioned map per index and named config items. Values are already
// encrypted when they get here; a keystore never interprets them.
//
// Each keystore object serves one BackingStoreType of one storage location.
// Keystores are made by CreateKeystore and owned through std::unique_ptr;
// callers below the owner only borrow them. They are neither copied nor moved.
//
// The virtual *Impl operations (and the few virtual operations without that
// ending) are what an implementation provides. The non-virtual operations form
// the cache layer: with a cache attached (EnableCache) writes go through to
// it, and the batch reads and map reads of an index come from it once that
// index has been loaded into it (EagerLoadCache). The cache is one
// process-wide SharedCache per storage location and store kind (see
// shared_cache.h); it outlives every keystore.
//
// Thread safety: the cache layer itself is safe to call from several threads
// (the per-index cache state lives with the shared cache, the cache pointer
// is atomic). Whether the virtual operations may
// overlap is each implementation's property (see its header): MemoryKeystore
// must be used by one thread at a time.
//
// Failures: std::invalid_argument for bad arguments, std::runtime_error for
// failed operations. The cache layer adds no checks and catches nothing.
#ifndef NIVORA_BACKING_STORE_KEYSTORE_H_
#define NIVORA_BACKING_STORE_KEYSTORE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/array2d.h"
#include "core/db_config.h"

namespace nivora_encrypted_index {

// The six stores of an index. Codes are stored and hashed: never renumber.
enum class BackingStoreType : int32_t {
  INDEX = 0,     // masked item-id hashes under token keys, counter map, centroid metadata
  CONFIG = 1,    // config items
  CONTENTS = 2,  // encrypted contents
  VECTORS = 3,   // encrypted payload rows
  METADATA = 4,  // encrypted metadata
  ID = 5,        // encrypted item ids
};

// "index", "config", "contents", "vectors", "metadata" or "id". Throws
// std::runtime_error "Unknown BackingStoreType" for any other code.
std::string BackingStoreTypeToString(BackingStoreType type);

}  // namespace nivora_encrypted_index

namespace nivora_encrypted_index::internal::backing_store {

// Value size of a fixed-size read until SetValueSize says otherwise.
inline constexpr size_t kDefaultValueSize = 8;

// Where a keystore keeps the items of one store of one index:
// (index id + store code) modulo 2^64, so the six stores of an index stay
// apart wherever several store kinds share one table.
inline uint64_t hashed_index_name(uint64_t index, BackingStoreType type) {
  return index + static_cast<uint64_t>(type);
}

// A versioned map as read back.
struct VersionedMap {
  nivora::Array2D<unsigned char> map;  // the blob as one row; 0 x 0 when absent
  uint64_t version = 0;                // 0 when the version item is absent
};

// What a RAM cache's copy of an index is known to be complete up to: the
// caller's own reading of a stored change record (the engine's change stamp,
// encrypted_index/change_stamp.h). The cache layer only compares marks.
struct CacheMark {
  uint64_t version = 0;  // Default: 0
  uint64_t tag = 0;      // Default: 0

  bool operator==(const CacheMark&) const = default;
};

class SharedCache;

// Called with a record in place: see Keystore::VisitItems.
using ItemVisitor = std::function<void(size_t i, const uint8_t* record)>;

class Keystore {
 public:
  Keystore(const Keystore&) = delete;
  Keystore& operator=(const Keystore&) = delete;
  // Releases this keystore's own resources; data of shared stores stays.
  virtual ~Keystore();

  // Builds the keystore of config.location for the store kind `type`:
  // MEMORY -> MemoryKeystore, THREADSAFEMEMORY -> ThreadSafeMemoryKeystore,
  // REDIS / POSTGRES / ROCKSDB -> the external keystores. Any other location
  // throws std::invalid_argument "Invalid location for backing store". Every
  // failure is logged at CRITICAL as "Failed to create keystore: <what>" and
  // rethrown unchanged.
  static std::unique_ptr<Keystore> CreateKeystore(nivora::DBConfig& config,
                                                  const BackingStoreType& type);

  // ---- Contract every implementation provides ----------------------------
  // `index` is the index id; implementations address its items by
  // hashed_index_name(index, GetBackingStoreType()). Absence is never an
  // error on reads: it gives empty results, zero rows or version 0.

  // Stores row i of `values` under keys[i], replacing. No keys throws
  // std::invalid_argument "No keys provided for batch insertion"; a row count
  // other than keys.size() throws std::invalid_argument, before any write.
  virtual void BatchPushItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                                  const nivora::Array2D<unsigned char>& values) = 0;
  // Stores values[i] under keys[i], replacing. Argument errors as above.
  virtual void BatchPushVariableImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                                     const std::vector<std::vector<uint8_t>>& values) = 0;
  // Stores `size` bytes at `data` under `key`, replacing.
  virtual void PushItem(const uint64_t& index, const uint64_t& key, const uint8_t* data,
                        size_t size) = 0;
  // Compare-and-set: when the current version equals expected_version, stores
  // the blob under map_key and expected_version + 1 under version_key and
  // returns true; otherwise changes nothing and returns false. Atomic with
  // respect to every other PushMapImpl on the same index.
  virtual bool PushMapImpl(const uint64_t& index, const uint64_t& map_key, const uint8_t* data,
                           size_t size, const uint64_t& version_key,
                           const uint64_t& expected_version) = 0;
  // Removes the items under `keys`; absent keys are ignored.
  virtual void BatchDeleteItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys) = 0;
  // Removes one item; an absent key is ignored.
  virtual void DeleteItem(const uint64_t& index, const uint64_t& key) = 0;
  // The whole value as one row; 0 x 0 when absent.
  virtual nivora::Array2D<unsigned char> GetItem(const uint64_t& index, const uint64_t& key) = 0;
  // The map and its version; {empty, 0} when absent.
  virtual VersionedMap GetMapImpl(const uint64_t& index, const uint64_t& map_key,
                                  const uint64_t& version_key) = 0;
  // keys.size() rows of the index's value size, in key order. A row stays
  // zero when its key is absent or its stored value has another length. No
  // keys gives an empty matrix.
  virtual nivora::Array2D<unsigned char> BatchGetItemsImpl(const uint64_t& index,
                                                           const std::vector<uint64_t>& keys) = 0;
  // One entry per key, in order: a copy of the value, or empty when absent.
  virtual std::vector<std::vector<uint8_t>> BatchGetVariableImpl(
      const uint64_t& index, const std::vector<uint64_t>& keys) = 0;
  // Config items: one flat namespace per location, independent of indexes.
  virtual void PushConfigItem(const std::string& name, const uint8_t* data, size_t size) = 0;
  // Stores `size` bytes at `data` as config item `name` unless an item of
  // that name exists, in one step: of several callers storing one absent
  // name at once (threads, or processes where the store is shared between
  // them), exactly one stores and gets true; the others get false. An
  // existing item is never replaced.
  virtual bool PushConfigItemIfAbsent(const std::string& name, const uint8_t* data,
                                      size_t size) = 0;
  virtual nivora::Array2D<unsigned char> LoadConfigItem(const std::string& name) = 0;
  virtual bool ConfigItemExists(const std::string& name) = 0;
  virtual void DeleteConfigItem(const std::string& name) = 0;
  // Throws std::invalid_argument when this store, as the config store, could
  // not hold the config items of an index named index_name (the name
  // followed by ".nei" or ".nvs") under exactly their names; writes nothing.
  // The default accepts every name: the store keeps names as byte strings.
  virtual void CheckIndexName(const std::string& index_name);
  // Removes every item of the index in this store kind; config items stay.
  // A store may forget the index's value size too (the in-process ones do):
  // an index that lives on sets it again.
  virtual void DeleteIndexImpl(const uint64_t& index) = 0;
  // Number of items of the index; 0 when it has none.
  virtual size_t GetTotalSize(const uint64_t& index) = 0;
  // Every key of the index, in no defined order.
  virtual std::vector<uint64_t> GetAllKeys(const uint64_t& index) = 0;
  // Value size of the index's fixed-size reads (kept per index, never shared
  // between indexes); kDefaultValueSize until set.
  virtual void SetValueSizeImpl(const uint64_t& index, size_t value_size) = 0;
  virtual size_t GetValueSizeImpl(const uint64_t& index) const = 0;
  virtual nivora::Location GetLocation() const = 0;
  // Whether the batch reads may be called from several threads at once (the
  // store's own locking may still make them take turns). Default: true.
  virtual bool ConcurrentReads() const { return true; }
  // VisitItems on this keystore itself; the default keeps no records here
  // and returns false.
  virtual bool VisitItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                              const ItemVisitor& visit);
  virtual BackingStoreType GetBackingStoreType() const = 0;
  // What tells this keystore's storage apart from other storage of the same
  // location in this process, as text; the RAM caches are kept per location,
  // this text and store kind, so two stores never read each other's items
  // through a cache. By default the table name and connection string the
  // factory built the keystore from (empty for a keystore built otherwise). A
  // keystore whose settings can name one storage in several ways (a folder
  // path, say) overrides it with one canonical text.
  virtual std::string StorageIdentity() const;

  // ---- Cache layer (non-virtual) -----------------------------------------
  // Writes: this keystore first, then the cache when one is attached. An
  // exception from either passes on (a failed cache write leaves the two
  // apart until the next ClearCacheForIndex/DeleteIndex and EagerLoadCache).
  void BatchPushItems(const uint64_t& index, const std::vector<uint64_t>& keys,
                      const nivora::Array2D<unsigned char>& values);
  void BatchPushVariable(const uint64_t& index, const std::vector<uint64_t>& keys,
                         const std::vector<std::vector<uint8_t>>& values);
  void BatchDeleteItems(const uint64_t& index, const std::vector<uint64_t>& keys);
  // Compare-and-set on this keystore; only when it accepted, the same push on
  // the cache (whose result is ignored). Returns this keystore's result.
  bool PushMap(const uint64_t& index, const uint64_t& map_key, const uint8_t* data, size_t size,
               const uint64_t& version_key, const uint64_t& expected_version);
  void SetValueSize(const uint64_t& index, size_t value_size);
  size_t GetValueSize(const uint64_t& index) const;

  // Reads: from the cache when the index is loaded in it, else this keystore.
  nivora::Array2D<unsigned char> BatchGetItems(const uint64_t& index,
                                               const std::vector<uint64_t>& keys);
  std::vector<std::vector<uint8_t>> BatchGetVariable(const uint64_t& index,
                                                     const std::vector<uint64_t>& keys);
  // Hands the stored fixed-size record of every keys[i] to visit(i, record)
  // where it lies, with the store's lock held (record null when the key has
  // none, or one of another size than the index's value size), on the
  // calling thread; the record is valid only during that call. True when it
  // did; false, visiting nothing, for a store that keeps no records in this
  // process (and whose cache does not serve the index): the caller then
  // reads them with BatchGetItems. Read as BatchGetItems reads.
  bool VisitItems(const uint64_t& index, const std::vector<uint64_t>& keys,
                  const ItemVisitor& visit);
  // The cached map when the index is loaded and the cache holds a map; else
  // this keystore's.
  VersionedMap GetMap(const uint64_t& index, const uint64_t& map_key, const uint64_t& version_key);

  // Removes the index here and in the cache, and marks it not loaded.
  void DeleteIndex(const uint64_t& index);
  // Drops the cache's copy of the index and marks it not loaded; this
  // keystore is untouched. Waits for a fill of the cache in progress.
  // Nothing without a cache.
  void ClearCacheForIndex(const uint64_t& index);

  // Attaches the process-wide cache of this keystore's location
  // (GetLocation, StorageIdentity) and store kind, creating it on first use.
  // Does nothing for the in-process locations (MEMORY, THREADSAFEMEMORY).
  // Idempotent; safe to call from several threads.
  void EnableCache();
  // Detaches the cache; the cache keeps its data and its loaded indexes.
  void DisableCache();
  bool IsCacheEnabled() const;
  // Whether reads of `index` are served from the cache.
  bool IsCacheLoaded(const uint64_t& index) const;
  // The attached cache (borrowed; lives until process exit), or null.
  Keystore* GetCache() const;

  // Fills the cache with the index's items, in reads of at most 1000 values,
  // and marks the index loaded; writes and deletes that arrive during the
  // fill win over its copy. Nothing when the index is loaded already (by any
  // keystore attached to the cache); items that only write-throughs put into
  // the cache do not count. On failure the cache's copy of the index is
  // dropped, the index stays not loaded, and the exception passes on.
  // Nothing without a cache.
  void EagerLoadCache(const uint64_t& index);
  // Whether the cache holds a copy of `index` marked `mark` by RefillCache
  // (or AdvanceCacheMark). False without a cache.
  bool IsCacheCurrent(const uint64_t& index, const CacheMark& mark) const;
  // Unless the copy is marked `mark` already: drops the cache's copy of the
  // index, fills it anew from this keystore (as EagerLoadCache) and marks it
  // `mark`. The caller reads `mark` from the store before calling, so the
  // copy holds at least every write the mark stands for. Failures as
  // EagerLoadCache. Nothing without a cache.
  void RefillCache(const uint64_t& index, const CacheMark& mark);
  // The mark of the cache's copy of `index` when it is loaded with one.
  std::optional<CacheMark> CacheMarkOf(const uint64_t& index) const;
  // Brings a copy marked `from` up to `to` by reading `keys` from this
  // keystore into it (a value read replaces, an absent key is removed) and
  // marks it `to`; writes that arrive meanwhile win over what it read.
  // Reads keep being served from the copy meanwhile. The caller knows that
  // the changes between the two marks touched no other key. False (nothing
  // done) without a cache or when the copy is not marked `from`; a failed
  // read leaves the copy as it was and passes on.
  bool PatchCache(const uint64_t& index, const CacheMark& from, const CacheMark& to,
                  const std::vector<uint64_t>& keys);
  // Re-marks a copy marked `from` as `to`: for a writer whose own change,
  // written through to this cache, is the only one between the two. Nothing
  // without a cache or when the copy has another mark.
  void AdvanceCacheMark(const uint64_t& index, const CacheMark& from, const CacheMark& to);
  // Offers this keystore's versioned map to the cache with expected version
  // (stored version - 1): a fresh cache takes a map at version 1, any other
  // stored version leaves it as it was. Nothing without a cache.
  void EagerLoadMapCache(const uint64_t& index, const uint64_t& map_key,
                         const uint64_t& version_key);

 protected:
  Keystore() = default;

 private:
  // The attached cache, or null. Not owned: the cache registry owns it.
  std::atomic<SharedCache*> cache_{nullptr};
  // Set by CreateKeystore from the location's strings; StorageIdentity's
  // default.
  std::string storage_identity_;

  // The cache's store, when attached and `index` is loaded in it; else null.
  Keystore* LoadedCacheFor(const uint64_t& index) const;
};

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_KEYSTORE_H_
