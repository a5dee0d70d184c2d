// A keystore that hands every operation to another (real) keystore, so two
// clients can share one store while one of them reports another location
// (and so gets the process's RAM cache, as an external store would) or has
// faults injected. Subclasses override single operations to count or fail.
#ifndef NIVORA_TESTS_BACKING_STORE_FORWARDING_KEYSTORE_H_
#define NIVORA_TESTS_BACKING_STORE_FORWARDING_KEYSTORE_H_

#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

#include "backing_store/keystore.h"

namespace nivora_test {

using nivora_encrypted_index::BackingStoreType;
using nivora_encrypted_index::internal::backing_store::Keystore;
using nivora_encrypted_index::internal::backing_store::VersionedMap;

class ForwardingKeystore : public Keystore {
 public:
  // `identity` tells this store apart from other stores reporting the same
  // location (their RAM caches are kept apart by it).
  ForwardingKeystore(Keystore& target, nivora::Location location, std::string identity = "")
      : target_(target), location_(location), identity_(std::move(identity)) {}

  // Runs once, right before the next PushMapImpl reaches the target.
  std::function<void()> before_next_push_map;
  // Every GetMapImpl throws std::runtime_error "map read failed".
  bool fail_map_reads = false;
  // Every PushMapImpl returns false without storing.
  bool refuse_map_pushes = false;
  // Counted from any thread that uses the store.
  std::atomic<size_t> map_reads{0};
  std::atomic<size_t> map_pushes{0};
  std::atomic<size_t> key_listings{0};  // GetAllKeys calls (a cache fill lists every key)

  void BatchPushItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                          const nivora::Array2D<unsigned char>& values) override {
    target_.BatchPushItemsImpl(index, keys, values);
  }
  void BatchPushVariableImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                             const std::vector<std::vector<uint8_t>>& values) override {
    target_.BatchPushVariableImpl(index, keys, values);
  }
  void PushItem(const uint64_t& index, const uint64_t& key, const uint8_t* data,
                size_t size) override {
    target_.PushItem(index, key, data, size);
  }
  bool PushMapImpl(const uint64_t& index, const uint64_t& map_key, const uint8_t* data,
                   size_t size, const uint64_t& version_key,
                   const uint64_t& expected_version) override {
    ++map_pushes;
    if (before_next_push_map) std::exchange(before_next_push_map, nullptr)();
    if (refuse_map_pushes) return false;
    return target_.PushMapImpl(index, map_key, data, size, version_key, expected_version);
  }
  void BatchDeleteItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys) override {
    target_.BatchDeleteItemsImpl(index, keys);
  }
  void DeleteItem(const uint64_t& index, const uint64_t& key) override {
    target_.DeleteItem(index, key);
  }
  nivora::Array2D<unsigned char> GetItem(const uint64_t& index, const uint64_t& key) override {
    return target_.GetItem(index, key);
  }
  VersionedMap GetMapImpl(const uint64_t& index, const uint64_t& map_key,
                          const uint64_t& version_key) override {
    ++map_reads;
    if (fail_map_reads) throw std::runtime_error("map read failed");
    return target_.GetMapImpl(index, map_key, version_key);
  }
  nivora::Array2D<unsigned char> BatchGetItemsImpl(const uint64_t& index,
                                                   const std::vector<uint64_t>& keys) override {
    return target_.BatchGetItemsImpl(index, keys);
  }
  std::vector<std::vector<uint8_t>> BatchGetVariableImpl(
      const uint64_t& index, const std::vector<uint64_t>& keys) override {
    return target_.BatchGetVariableImpl(index, keys);
  }
  void PushConfigItem(const std::string& name, const uint8_t* data, size_t size) override {
    target_.PushConfigItem(name, data, size);
  }
  bool PushConfigItemIfAbsent(const std::string& name, const uint8_t* data,
                              size_t size) override {
    return target_.PushConfigItemIfAbsent(name, data, size);
  }
  nivora::Array2D<unsigned char> LoadConfigItem(const std::string& name) override {
    return target_.LoadConfigItem(name);
  }
  bool ConfigItemExists(const std::string& name) override { return target_.ConfigItemExists(name); }
  void DeleteConfigItem(const std::string& name) override { target_.DeleteConfigItem(name); }
  void DeleteIndexImpl(const uint64_t& index) override { target_.DeleteIndexImpl(index); }
  size_t GetTotalSize(const uint64_t& index) override { return target_.GetTotalSize(index); }
  std::vector<uint64_t> GetAllKeys(const uint64_t& index) override {
    ++key_listings;
    return target_.GetAllKeys(index);
  }
  void SetValueSizeImpl(const uint64_t& index, size_t value_size) override {
    target_.SetValueSizeImpl(index, value_size);
  }
  size_t GetValueSizeImpl(const uint64_t& index) const override {
    return target_.GetValueSizeImpl(index);
  }
  nivora::Location GetLocation() const override { return location_; }
  bool ConcurrentReads() const override { return target_.ConcurrentReads(); }
  BackingStoreType GetBackingStoreType() const override { return target_.GetBackingStoreType(); }
  std::string StorageIdentity() const override { return identity_; }

 private:
  Keystore& target_;
  nivora::Location location_;
  std::string identity_;
};

}  // namespace nivora_test

#endif  // NIVORA_TESTS_BACKING_STORE_FORWARDING_KEYSTORE_H_
