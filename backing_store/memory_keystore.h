// MemoryKeystore is the keystore of location MEMORY: items live in hash maps
// inside the object and vanish with it. It keeps no config items (storing one
// does nothing, loading one throws), so an index kept here can be neither
// listed nor reopened; it serves tests and single-process use.
//
// Every data operation logs what it does through the engine's logger. The
// batch pushes throw std::invalid_argument for bad arguments after an ERROR
// line; most other operations catch any std::exception, log
// "Exception in <Method>: <what>" at ERROR and throw std::runtime_error.
//
// Thread safety: none. One thread at a time; the batch reads may fan out to
// OpenMP threads internally, which only read.
#ifndef NIVORA_BACKING_STORE_MEMORY_KEYSTORE_H_
#define NIVORA_BACKING_STORE_MEMORY_KEYSTORE_H_

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "backing_store/keystore.h"

namespace nivora_encrypted_index::internal::backing_store {

class MemoryKeystore : public Keystore {
 public:
  // The configuration is not read. Logs INFO "MemoryKeystore constructor called".
  MemoryKeystore(nivora::DBConfig& config, const BackingStoreType& type);
  ~MemoryKeystore() override;

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
  VersionedMap GetMapImpl(const uint64_t& index, const uint64_t& map_key,
                          const uint64_t& version_key) override;
  nivora::Array2D<unsigned char> BatchGetItemsImpl(const uint64_t& index,
                                                   const std::vector<uint64_t>& keys) override;
  std::vector<std::vector<uint8_t>> BatchGetVariableImpl(
      const uint64_t& index, const std::vector<uint64_t>& keys) override;

  // Config items are not kept: Push does nothing, PushIfAbsent does nothing
  // and returns true (no name is ever taken), Exists is false, Delete logs a
  // WARNING, Load throws std::runtime_error
  // "MemoryKeystore does not support PushConfigItem and LoadConfigItem yet".
  void PushConfigItem(const std::string& name, const uint8_t* data, size_t size) override;
  bool PushConfigItemIfAbsent(const std::string& name, const uint8_t* data,
                              size_t size) override;
  nivora::Array2D<unsigned char> LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  void DeleteConfigItem(const std::string& name) override;

  void DeleteIndexImpl(const uint64_t& index) override;
  size_t GetTotalSize(const uint64_t& index) override;
  std::vector<uint64_t> GetAllKeys(const uint64_t& index) override;
  void SetValueSizeImpl(const uint64_t& index, size_t value_size) override;
  size_t GetValueSizeImpl(const uint64_t& index) const override;
  nivora::Location GetLocation() const override { return nivora::Location::MEMORY; }
  // One thread at a time, reads included.
  bool ConcurrentReads() const override { return false; }
  BackingStoreType GetBackingStoreType() const override { return store_type_; }

 private:
  using Table = std::unordered_map<uint64_t, std::vector<uint8_t>>;

  // The table of the index, or null when it has none.
  Table* FindTable(const uint64_t& index);
  // The table of the index, created when missing.
  Table& TableFor(const uint64_t& index);
  uint64_t HashedName(const uint64_t& index) const { return hashed_index_name(index, store_type_); }

  const BackingStoreType store_type_;
  // Value size per hashed_index_name; kDefaultValueSize when absent.
  std::unordered_map<uint64_t, size_t> value_sizes_;
  // Per hashed_index_name, the index's items by key.
  std::unordered_map<uint64_t, Table> tables_;
};

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_MEMORY_KEYSTORE_H_
