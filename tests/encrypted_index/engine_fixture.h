// Engine clients over real in-process keystores, and what a test needs to
// look at what they stored: the index id, the engine config item and the
// counter map, read straight from the stores.
#ifndef NIVORA_TESTS_ENCRYPTED_INDEX_ENGINE_FIXTURE_H_
#define NIVORA_TESTS_ENCRYPTED_INDEX_ENGINE_FIXTURE_H_

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "backing_store/memory_keystore.h"
#include "backing_store/thread_safe_memory_keystore.h"
#include "crypto_reference.h"
#include "encrypted_index/client.h"
#include "encrypted_index/cryptography/aes_gcm.h"
#include "encrypted_index/stored_layout.h"

namespace nivora_test {

using nivora_encrypted_index::BackingStoreType;
using nivora_encrypted_index::Client;
using nivora_encrypted_index::ExistingIndexConfig;
using nivora_encrypted_index::NewIndexConfig;
using nivora_encrypted_index::internal::backing_store::Keystore;
using nivora_encrypted_index::internal::backing_store::MemoryKeystore;
using nivora_encrypted_index::internal::backing_store::ThreadSafeMemoryKeystore;
using nivora_encrypted_index::internal::backing_store::VersionedMap;
namespace layout = nivora_encrypted_index::internal::encrypted_index;
namespace crypto = nivora_encrypted_index::internal::cryptography;

// Six keystores of one location, in BackingStoreType order.
class Stores {
 public:
  explicit Stores(nivora::Location location) {
    const std::optional<std::string> none;
    nivora::DBConfig config(location, none, none);
    for (int t = 0; t < 6; ++t) {
      const auto type = static_cast<BackingStoreType>(t);
      if (location == nivora::Location::MEMORY) {
        owned_[t] = std::make_unique<MemoryKeystore>(config, type);
      } else {
        owned_[t] = std::make_unique<ThreadSafeMemoryKeystore>(config, type);
      }
      stores_[t] = owned_[t].get();
    }
  }
  Keystore& operator[](BackingStoreType t) { return *stores_[static_cast<int>(t)]; }
  // Puts another keystore in the place of one kind (borrowed).
  void Replace(BackingStoreType t, Keystore* keystore) { stores_[static_cast<int>(t)] = keystore; }

  template <typename Config>
  void FillConfig(Config& config) const {
    config.index_keystore = stores_[0];
    config.config_keystore = stores_[1];
    config.contents_keystore = stores_[2];
    config.vectors_keystore = stores_[3];
    config.metadata_keystore = stores_[4];
    config.id_keystore = stores_[5];
  }

 private:
  std::array<std::unique_ptr<Keystore>, 6> owned_;
  std::array<Keystore*, 6> stores_{};
};

// The engine keeps a process-wide pointer to the logger of the client built
// last, so the tests' logger lives as long as the process.
inline nivora::Logger& TestLogger() {
  static nivora::Logger logger;
  return logger;
}

inline std::array<uint8_t, 32> TestIndexKey(uint8_t seed = 1) {
  std::array<uint8_t, 32> key;
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(seed * 31 + i);
  return key;
}

// Names are process-wide in the thread-safe store: one per call.
inline std::string UniqueIndexName() {
  static std::atomic<int> counter{0};
  return std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
         std::to_string(counter++);
}

inline std::array<uint8_t, 32> ReferenceHMAC(const std::array<uint8_t, 32>& key,
                                             const std::string& message) {
  std::array<uint8_t, 32> out;
  unsigned int len = 0;
  HMAC(EVP_sha3_256(), key.data(), 32, reinterpret_cast<const uint8_t*>(message.data()),
       message.size(), out.data(), &len);
  return out;
}

// The first 8 bytes of HMAC-SHA3-256(key, name), big-endian.
inline uint64_t ReferenceIndexId(const std::array<uint8_t, 32>& key, const std::string& name) {
  return BigEndian64(ReferenceHMAC(key, name).data());
}

// Where the INDEX and VECTORS stores keep generation g > 0's lists: an id
// under a key of the index's own, HMAC(key, name || ".list_ids"), of the
// generation's 8 little-endian bytes.
inline uint64_t ReferenceListId(const std::array<uint8_t, 32>& key, const std::string& name,
                                uint64_t g) {
  std::string message(8, '\0');
  for (int i = 0; i < 8; ++i) message[i] = static_cast<char>(g >> (8 * i));
  return ReferenceIndexId(ReferenceHMAC(key, name + ".list_ids"), message);
}

inline NewIndexConfig NewConfig(const Stores& stores, const std::string& name,
                                const std::array<uint8_t, 32>& key, int32_t vocab_size = 1,
                                size_t payload_size = 16) {
  NewIndexConfig config;
  config.index_name = name;
  config.index_key = key;
  stores.FillConfig(config);
  config.tree_depth = 32;
  config.vocab_size = vocab_size;
  config.payload_size = payload_size;
  return config;
}

inline ExistingIndexConfig OpenConfig(const Stores& stores, const std::string& name,
                                      const std::array<uint8_t, 32>& key) {
  ExistingIndexConfig config;
  config.index_name = name;
  config.index_key = key;
  stores.FillConfig(config);
  return config;
}

// The counters and version stored in an index store, decrypted with the key.
struct StoredCounters {
  std::vector<uint32_t> counters;
  uint64_t version = 0;
};

inline StoredCounters ReadStoredCounters(Keystore& index_store, uint64_t index_id,
                                         const std::array<uint8_t, 32>& key) {
  const VersionedMap stored =
      index_store.GetMapImpl(index_id, layout::kCounterMapKey, layout::kCounterMapVersionKey);
  StoredCounters out;
  out.version = stored.version;
  if (stored.map.size() == 0) return out;
  const auto plain = crypto::DecryptItemsFixed(stored.map.data, 1, stored.map.cols, key);
  for (size_t i = 0; i + 4 <= plain.cols; i += 4) {
    out.counters.push_back(plain.data[i] | plain.data[i + 1] << 8 | plain.data[i + 2] << 16 |
                           static_cast<uint32_t>(plain.data[i + 3]) << 24);
  }
  return out;
}

// Stores counters as the engine would, by compare-and-set on `expected`.
inline bool WriteStoredCounters(Keystore& index_store, uint64_t index_id,
                                const std::array<uint8_t, 32>& key,
                                const std::vector<uint32_t>& counters, uint64_t expected) {
  std::vector<uint8_t> plain;
  for (uint32_t c : counters) {
    for (int b = 0; b < 4; ++b) plain.push_back(static_cast<uint8_t>(c >> (8 * b)));
  }
  const auto record = crypto::EncryptItemsFixed(plain.data(), 1, plain.size(), key);
  return index_store.PushMapImpl(index_id, layout::kCounterMapKey, record.data, record.cols,
                                 layout::kCounterMapVersionKey, expected);
}

}  // namespace nivora_test

#endif  // NIVORA_TESTS_ENCRYPTED_INDEX_ENGINE_FIXTURE_H_
