// CountingKeystore stands in for an external keystore in tests of the cache
// layer: it keeps its items in a real MemoryKeystore of its own (so its data is
// apart from the process-wide cache), reports an external location so that
// EnableCache attaches a cache, counts the reads that the cache layer should
// or should not send to it, and fails on demand.
//
// One thread at a time, like the MemoryKeystore inside it.
#ifndef NIVORA_TESTS_BACKING_STORE_COUNTING_KEYSTORE_H_
#define NIVORA_TESTS_BACKING_STORE_COUNTING_KEYSTORE_H_

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "backing_store/forwarding_keystore.h"
#include "backing_store/memory_keystore.h"
#include "backing_store/store_config.h"

namespace nivora_encrypted_index::internal::backing_store::testing {

// Holds the inner store, so that it exists before the forwarding base.
struct OwnedMemoryStore {
  OwnedMemoryStore(BackingStoreType type)
      : config(ConfigAt(nivora::Location::MEMORY)), store(config, type) {}
  nivora::DBConfig config;
  MemoryKeystore store;
};

class CountingKeystore : private OwnedMemoryStore, public nivora_test::ForwardingKeystore {
 public:
  explicit CountingKeystore(BackingStoreType type,
                            nivora::Location location = nivora::Location::ROCKSDB,
                            std::string identity = "")
      : OwnedMemoryStore(type),
        ForwardingKeystore(OwnedMemoryStore::store, location, std::move(identity)) {}

  // Reads sent to this keystore (never to the cache); map_reads comes from
  // the base.
  size_t fixed_reads = 0;
  std::vector<size_t> variable_read_sizes;  // keys per BatchGetVariableImpl call
  // Fault injection; refuse_map_pushes comes from the base.
  bool fail_key_scan = false;         // GetAllKeys throws
  int fail_variable_read_call = -1;   // the n-th BatchGetVariableImpl call (0-based) throws
  // Run at the start and at the end of every BatchGetVariableImpl call,
  // given its number (and the keys read); the second runs after the values
  // were read, so a write made there is newer than what the call returns.
  std::function<void(size_t call)> before_variable_read;
  std::function<void(size_t call, const std::vector<uint64_t>& keys)> after_variable_read;

  // The counters are plain: reads take turns.
  bool ConcurrentReads() const override { return false; }
  nivora::Array2D<unsigned char> BatchGetItemsImpl(const uint64_t& index,
                                                   const std::vector<uint64_t>& keys) override {
    ++fixed_reads;
    return ForwardingKeystore::BatchGetItemsImpl(index, keys);
  }
  std::vector<std::vector<uint8_t>> BatchGetVariableImpl(
      const uint64_t& index, const std::vector<uint64_t>& keys) override {
    if (before_variable_read) before_variable_read(variable_read_sizes.size());
    if (static_cast<int>(variable_read_sizes.size()) == fail_variable_read_call) {
      throw std::runtime_error("injected read failure");
    }
    const size_t call = variable_read_sizes.size();
    variable_read_sizes.push_back(keys.size());
    std::vector<std::vector<uint8_t>> values = ForwardingKeystore::BatchGetVariableImpl(index, keys);
    if (after_variable_read) after_variable_read(call, keys);
    return values;
  }
  std::vector<uint64_t> GetAllKeys(const uint64_t& index) override {
    if (fail_key_scan) throw std::runtime_error("injected scan failure");
    return ForwardingKeystore::GetAllKeys(index);
  }
};

}  // namespace nivora_encrypted_index::internal::backing_store::testing

#endif  // NIVORA_TESTS_BACKING_STORE_COUNTING_KEYSTORE_H_
