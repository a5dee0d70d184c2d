// RocksDBKeystore is the keystore of location ROCKSDB: the items of one store
// kind of a location in one RocksDB database on local disk, the store folder
// <data folder>/<kind name>, opened once per process and shared through
// RocksDBConnectionManager. The data folder is the location's connection
// string, or $HOME/.nivoradb/data when none is given.
//
// Stored layout (rocksdb_item_key.h): 16-byte item keys (hashed_index_name,
// item key, both little-endian), values as given; "config:<name>" config
// keys; a versioned map's version as exactly 8 little-endian bytes. A
// database written by one build reads in another.
//
// Batch pushes are one atomic write batch; batch reads are one MultiGet,
// which reads every key at one sequence number. A missing item is never an
// error: single reads give an empty matrix, batch reads zero rows or empty
// entries, map reads an empty map and version 0. Failures are
// std::invalid_argument for bad batch arguments and std::runtime_error
// otherwise, after an ERROR line "Exception in <Method>: <what>".
//
// The value size of fixed-size reads is kept per index by this object (8
// until set); it is not stored.
//
// Thread safety: any number of threads may call any operation, on one object
// or on several objects sharing a database. A versioned-map push holds
// RocksDB's exclusive lock on the index's version key for its compare and
// both writes; a push that waits more than 1000 ms for it fails.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_ROCKSDB_ROCKSDB_KEYSTORE_H_
#define NIVORA_BACKING_STORE_EXTERNAL_ROCKSDB_ROCKSDB_KEYSTORE_H_

#include <cstdint>
#include <shared_mutex>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "backing_store/external/rocksdb/rocksdb_connection_manager.h"
#include "backing_store/keystore.h"

namespace nivora_encrypted_index::internal::backing_store {

class RocksDBKeystore : public Keystore {
 public:
  // Creates the store folder (and its parents) when missing and opens or
  // joins its database. Throws std::runtime_error when HOME is needed and
  // not set, "Unknown BackingStoreType" for a kind outside 0 to 5, the file
  // system's exception when the folder cannot be made, and
  // "Failed to open RocksDB: <status>" (after CRITICAL
  // "Failed to initialize RocksDB: <what>") when the database cannot open.
  RocksDBKeystore(nivora::DBConfig& config, const BackingStoreType& type);
  // Releases this keystore's share of the database.
  ~RocksDBKeystore() override;

  // The stored key of item `key` of `index` in this store (16 bytes).
  std::string CreateKey(const uint64_t& index, const uint64_t& key) const;
  // "config:" + name.
  std::string CreateConfigKey(const std::string& name) const;
  // The store folder this keystore's database lives in.
  const std::string& db_path() const { return connection_.path(); }
  // The store folder, one text however its path was spelled: the RAM cache of
  // a folder is shared by every keystore on it, and only by those.
  std::string StorageIdentity() const override;

  // Sorted by key, stable: of a key named twice, the last value wins.
  void BatchPushItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                          const nivora::Array2D<unsigned char>& values) override;
  // Empty values are skipped: an existing value under that key stays.
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
  // The map and version of one moment: both read on one snapshot.
  VersionedMap GetMapImpl(const uint64_t& index, const uint64_t& map_key,
                          const uint64_t& version_key) override;
  // A stored value of another length than the index's value size, like an
  // absent key, reads as a zero row.
  nivora::Array2D<unsigned char> BatchGetItemsImpl(const uint64_t& index,
                                                   const std::vector<uint64_t>& keys) override;
  std::vector<std::vector<uint8_t>> BatchGetVariableImpl(
      const uint64_t& index, const std::vector<uint64_t>& keys) override;

  // A missing config item fails LoadConfigItem ("Exception in
  // LoadConfigItem: Config item not found"); an empty one loads as an empty
  // matrix. ConfigItemExists is false only when the item is absent: a read
  // error throws.
  void PushConfigItem(const std::string& name, const uint8_t* data, size_t size) override;
  // Holds RocksDB's exclusive lock on the name's key for its look and
  // write, as a versioned-map push does on its version key.
  bool PushConfigItemIfAbsent(const std::string& name, const uint8_t* data,
                              size_t size) override;
  nivora::Array2D<unsigned char> LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  void DeleteConfigItem(const std::string& name) override;

  // Deletes the index's items here and in the attached cache, then compacts
  // the index's key range at once. Not atomic: items written meanwhile may
  // survive.
  void DeleteIndexImpl(const uint64_t& index) override;
  // Both scan the index's keys in stored byte order (GetAllKeys returns them
  // in that order). A failed scan throws: it never passes for an empty index.
  size_t GetTotalSize(const uint64_t& index) override;
  std::vector<uint64_t> GetAllKeys(const uint64_t& index) override;
  void SetValueSizeImpl(const uint64_t& index, size_t value_size) override;
  size_t GetValueSizeImpl(const uint64_t& index) const override;
  nivora::Location GetLocation() const override { return nivora::Location::ROCKSDB; }
  BackingStoreType GetBackingStoreType() const override { return store_type_; }

 private:
  uint64_t HashedName(const uint64_t& index) const { return hashed_index_name(index, store_type_); }
  // Calls visit(key) for every 16-byte key of the index, in stored order.
  template <typename Visit>
  void ScanIndex(const uint64_t& index, const Visit& visit);
  // Writes one batch: value_at(i) under keys[i] for every position, in
  // stable key order; a position whose value_at gives nullopt is skipped.
  // value_bytes sizes the batch's buffer.
  template <typename ValueAt>
  void WriteSorted(const uint64_t& index, const std::vector<uint64_t>& keys,
                   const ValueAt& value_at, size_t value_bytes);

  const BackingStoreType store_type_;
  RocksDBConnectionLease connection_;  // the store folder and its shared database
  rocksdb::TransactionDB* const db_;   // borrowed from connection_

  mutable std::shared_mutex value_sizes_mutex_;  // guards value_sizes_
  // Value size per hashed_index_name; kDefaultValueSize when absent.
  absl::flat_hash_map<uint64_t, size_t> value_sizes_;
};

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_EXTERNAL_ROCKSDB_ROCKSDB_KEYSTORE_H_
