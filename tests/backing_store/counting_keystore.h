// CountingKeystore stands in for an external keystore in tests of the cache
// layer: it keeps its items in a real MemoryKeystore of its own (so its data is
// apart from the process-wide cache), reports an external location so that
// EnableCache attaches a cache, counts the reads that the cache layer should
// or should not send to it, and fails on demand.
//
// One thread at a time, like the MemoryKeystore inside it.
#ifndef NIVORA_TESTS_BACKING_STORE_COUNTING_KEYSTORE_H_
#define NIVORA_TESTS_BACKING_STORE_COUNTING_KEYSTORE_H_

#include <stdexcept>
#include <vector>

#include "backing_store/memory_keystore.h"
#include "backing_store/store_config.h"

namespace nivora_encrypted_index::internal::backing_store::testing {

class CountingKeystore : public Keystore {
 public:
  explicit CountingKeystore(BackingStoreType type,
                            nivora::Location location = nivora::Location::ROCKSDB)
      : config_(ConfigAt(nivora::Location::MEMORY)),
        inner_(config_, type),
        location_(location) {}

  // Reads sent to this keystore (never to the cache).
  size_t fixed_reads = 0;
  size_t map_reads = 0;
  std::vector<size_t> variable_read_sizes;  // keys per BatchGetVariableImpl call
  // Fault injection.
  bool fail_key_scan = false;         // GetAllKeys throws
  int fail_variable_read_call = -1;   // the n-th BatchGetVariableImpl call (0-based) throws
  bool refuse_map_pushes = false;     // PushMapImpl returns false without storing

  void BatchPushItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                          const nivora::Array2D<unsigned char>& values) override {
    inner_.BatchPushItemsImpl(index, keys, values);
  }
  void BatchPushVariableImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                             const std::vector<std::vector<uint8_t>>& values) override {
    inner_.BatchPushVariableImpl(index, keys, values);
  }
  void PushItem(const uint64_t& index, const uint64_t& key, const uint8_t* data,
                size_t size) override {
    inner_.PushItem(index, key, data, size);
  }
  bool PushMapImpl(const uint64_t& index, const uint64_t& map_key, const uint8_t* data,
                   size_t size, const uint64_t& version_key,
                   const uint64_t& expected_version) override {
    if (refuse_map_pushes) return false;
    return inner_.PushMapImpl(index, map_key, data, size, version_key, expected_version);
  }
  void BatchDeleteItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys) override {
    inner_.BatchDeleteItemsImpl(index, keys);
  }
  void DeleteItem(const uint64_t& index, const uint64_t& key) override {
    inner_.DeleteItem(index, key);
  }
  nivora::Array2D<unsigned char> GetItem(const uint64_t& index, const uint64_t& key) override {
    return inner_.GetItem(index, key);
  }
  VersionedMap GetMapImpl(const uint64_t& index, const uint64_t& map_key,
                          const uint64_t& version_key) override {
    ++map_reads;
    return inner_.GetMapImpl(index, map_key, version_key);
  }
  nivora::Array2D<unsigned char> BatchGetItemsImpl(const uint64_t& index,
                                                   const std::vector<uint64_t>& keys) override {
    ++fixed_reads;
    return inner_.BatchGetItemsImpl(index, keys);
  }
  std::vector<std::vector<uint8_t>> BatchGetVariableImpl(
      const uint64_t& index, const std::vector<uint64_t>& keys) override {
    if (static_cast<int>(variable_read_sizes.size()) == fail_variable_read_call) {
      throw std::runtime_error("injected read failure");
    }
    variable_read_sizes.push_back(keys.size());
    return inner_.BatchGetVariableImpl(index, keys);
  }
  void PushConfigItem(const std::string& name, const uint8_t* data, size_t size) override {
    inner_.PushConfigItem(name, data, size);
  }
  nivora::Array2D<unsigned char> LoadConfigItem(const std::string& name) override {
    return inner_.LoadConfigItem(name);
  }
  bool ConfigItemExists(const std::string& name) override { return inner_.ConfigItemExists(name); }
  void DeleteConfigItem(const std::string& name) override { inner_.DeleteConfigItem(name); }
  void DeleteIndexImpl(const uint64_t& index) override { inner_.DeleteIndexImpl(index); }
  size_t GetTotalSize(const uint64_t& index) override { return inner_.GetTotalSize(index); }
  std::vector<uint64_t> GetAllKeys(const uint64_t& index) override {
    if (fail_key_scan) throw std::runtime_error("injected scan failure");
    return inner_.GetAllKeys(index);
  }
  void SetValueSizeImpl(const uint64_t& index, size_t value_size) override {
    inner_.SetValueSizeImpl(index, value_size);
  }
  size_t GetValueSizeImpl(const uint64_t& index) const override {
    return inner_.GetValueSizeImpl(index);
  }
  nivora::Location GetLocation() const override { return location_; }
  BackingStoreType GetBackingStoreType() const override { return inner_.GetBackingStoreType(); }

 private:
  nivora::DBConfig config_;
  MemoryKeystore inner_;
  nivora::Location location_;
};

}  // namespace nivora_encrypted_index::internal::backing_store::testing

#endif  // NIVORA_TESTS_BACKING_STORE_COUNTING_KEYSTORE_H_
