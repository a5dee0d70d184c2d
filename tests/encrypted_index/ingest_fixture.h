// Batches of test items and an engine client over real in-process stores,
// for the ingest and retrieval tests.
#ifndef NIVORA_TESTS_ENCRYPTED_INDEX_INGEST_FIXTURE_H_
#define NIVORA_TESTS_ENCRYPTED_INDEX_INGEST_FIXTURE_H_

#include <memory>
#include <string>
#include <vector>

#include "backing_store/forwarding_keystore.h"
#include "encrypted_index/cryptography/keyed_digest.h"
#include "engine_fixture.h"

namespace nivora_test {

using nivora_encrypted_index::ItemBatch;
using nivora_encrypted_index::RetrieveNeighborsResult;

// Payload byte j of item `seed`: distinct across items, never all zero.
inline uint8_t PayloadByte(size_t seed, size_t j) {
  return static_cast<uint8_t>(0x5A ^ (seed * 131 + j * 7 + 1));
}

// n items "<prefix><first + i>" with payload rows of `width` bytes.
inline ItemBatch MakeBatch(size_t n, size_t width, const std::string& prefix = "item-",
                           size_t first = 0, bool with_metadata = false,
                           bool with_contents = false) {
  ItemBatch batch;
  nivora::Array2D<uint8_t> payload(n, width);
  for (size_t i = 0; i < n; ++i) {
    batch.ids.push_back(prefix + std::to_string(first + i));
    for (size_t j = 0; j < width; ++j) payload.row(i)[j] = PayloadByte(first + i, j);
    if (with_metadata) batch.metadata.push_back("{\"n\":" + std::to_string(first + i) + "}");
    if (with_contents) {
      const std::string text = "contents of " + batch.ids.back();
      batch.contents.emplace_back(text.begin(), text.end());
    }
  }
  batch.payload = payload;
  return batch;
}

inline std::vector<uint8_t> Row(const nivora::Array2D<uint8_t>& m, size_t r) {
  return std::vector<uint8_t>(m.row(r), m.row(r) + m.cols);
}

inline std::vector<uint8_t> ExpectedPayload(size_t seed, size_t width) {
  std::vector<uint8_t> row(width);
  for (size_t j = 0; j < width; ++j) row[j] = PayloadByte(seed, j);
  return row;
}

class EngineTest : public ::testing::Test {
 protected:
  std::unique_ptr<Client> Create(int32_t vocab_size, size_t payload_size) {
    NewIndexConfig config = NewConfig(stores_, name_, key_, vocab_size, payload_size);
    return std::make_unique<Client>(config, logger_);
  }
  std::unique_ptr<Client> Open(std::optional<uint8_t> gpu_config = std::nullopt) {
    ExistingIndexConfig config = OpenConfig(stores_, name_, key_);
    config.gpu_config = gpu_config;
    return std::make_unique<Client>(config, logger_);
  }
  crypto::Key SubKey(const std::string& suffix) const {
    return ReferenceHMAC(key_, name_ + suffix);
  }
  uint64_t Hash(const std::string& id) const {
    return crypto::ComputeSHA3256String({id}, SubKey(".vectors"))[0];
  }
  uint64_t StoreKey(const std::string& id, const std::string& suffix) const {
    return crypto::DeriveKeystoreKey(Hash(id), SubKey(suffix));
  }
  Keystore& Store(BackingStoreType type) { return stores_[type]; }
  uint64_t index_id() const { return ReferenceIndexId(key_, name_); }

  Stores stores_{nivora::Location::THREADSAFEMEMORY};
  std::array<uint8_t, 32> key_ = TestIndexKey(5);
  std::string name_ = UniqueIndexName();
  nivora::Logger& logger_ = TestLogger();
};

// An index whose stores report an external location gets the process's RAM
// caches (thread-safe in-process stores); the data itself lives in plain
// in-process stores of this test, so a second client on them, without
// caches, plays another process. Config items need a store that keeps them.
class CachedEngineTest : public EngineTest {
 protected:
  void SetUp() override {
    raw_.Replace(BackingStoreType::CONFIG, &stores_[BackingStoreType::CONFIG]);
    for (int t = 0; t < 6; ++t) {
      const auto type = static_cast<BackingStoreType>(t);
      forwarding_.push_back(std::make_unique<ForwardingKeystore>(raw_[type], nivora::Location::REDIS));
      stores_.Replace(type, forwarding_.back().get());
    }
  }
  std::unique_ptr<Client> OpenRaw() {
    ExistingIndexConfig config = OpenConfig(raw_, name_, key_);
    return std::make_unique<Client>(config, logger_);
  }

  Stores raw_{nivora::Location::MEMORY};
  std::vector<std::unique_ptr<ForwardingKeystore>> forwarding_;
};

}  // namespace nivora_test

#endif  // NIVORA_TESTS_ENCRYPTED_INDEX_INGEST_FIXTURE_H_
