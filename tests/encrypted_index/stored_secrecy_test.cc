// Everything an index leaves in its six stores, scanned for plaintext: no
// id, metadata, contents, payload bytes, key, sub-key, salt or seed may
// appear in any stored key or value, and no IV may repeat.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>

#include "absl/container/flat_hash_set.h"
#include "ingest_fixture.h"

namespace nivora_test {
namespace {

class StoredSecrecyTest : public EngineTest {
 protected:
  // Every 8-byte window of a secret.
  void AddNeedle(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 8 <= size; ++i) {
      uint64_t window;
      std::memcpy(&window, data + i, 8);
      windows_.insert(window);
    }
  }
  void AddNeedle(const std::string& s) { AddNeedle(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
  void AddNeedle(const std::array<uint8_t, 32>& a) { AddNeedle(a.data(), a.size()); }

  // Fails on any window of a secret inside bytes.
  void ExpectNoNeedle(const uint8_t* data, size_t size, const std::string& where) {
    for (size_t i = 0; i + 8 <= size; ++i) {
      uint64_t window;
      std::memcpy(&window, data + i, 8);
      ASSERT_FALSE(windows_.contains(window)) << where << " holds plaintext at byte " << i;
    }
  }
  // A record's IV, which must never have been used before.
  void ExpectFreshIV(const uint8_t* record, size_t size, const std::string& where) {
    ASSERT_GE(size, 28u) << where;
    EXPECT_TRUE(ivs_.insert(std::string(record, record + 12)).second) << where << " repeats an IV";
  }

  absl::flat_hash_set<uint64_t> windows_;
  std::set<std::string> ivs_;
};

TEST_F(StoredSecrecyTest, NoPlaintextAndNoRepeatedIVInAnyStore) {
  const int32_t vocab = 8;
  auto client = Create(vocab, 32);
  std::mt19937 random(42);
  auto make = [&](size_t n, size_t first) {
    ItemBatch batch;
    nivora::Array2D<uint8_t> payload(n, 32);
    for (size_t i = 0; i < payload.size(); ++i) payload.data[i] = static_cast<uint8_t>(random());
    for (size_t i = 0; i < n; ++i) {
      batch.ids.push_back("plain-identifier-" + std::to_string(first + i));
      batch.metadata.push_back("{\"secret-field\":\"metadata value " + std::to_string(first + i) + "\"}");
      const std::string text = "secret contents number " + std::to_string(first + i);
      batch.contents.emplace_back(text.begin(), text.end());
    }
    batch.payload = payload;
    return batch;
  };
  std::vector<ItemBatch> batches = {make(150, 0), make(50, 100)};  // the second re-upserts 50
  std::vector<uint32_t> centroids(150);
  for (size_t i = 0; i < 150; ++i) centroids[i] = static_cast<uint32_t>(i % vocab);
  client->AddItems(batches[0], centroids);
  client->AddItems(batches[1], std::vector<uint32_t>(centroids.begin(), centroids.begin() + 50));
  client->RemoveItems({"plain-identifier-7"});
  client->AddCentroidMetadata({"secret-field"}, {{'s', 'u', 'm', 'm', 'a', 'r', 'y', '-', 'b', 'l', 'o', 'b'}});
  const std::string state = "index state with trained quantizers";
  client->StoreIndexConfig(std::vector<uint8_t>(state.begin(), state.end()));

  for (const ItemBatch& batch : batches) {
    for (size_t i = 0; i < batch.ids.size(); ++i) {
      AddNeedle(batch.ids[i]);
      AddNeedle(batch.metadata[i]);
      AddNeedle(batch.contents[i].data(), batch.contents[i].size());
    }
    const auto view = batch.payload_view();
    for (size_t r = 0; r < view.rows; ++r) AddNeedle(view.row(r), view.cols);
  }
  AddNeedle("summary-blob");
  AddNeedle(state);
  AddNeedle(key_);
  for (const char* suffix : {"", ".vectors", ".metadata", ".contents", ".centroid_metadata", ".id"}) {
    AddNeedle(SubKey(suffix));
  }
  for (const auto& secrets : layout::ComputeAllSaltsAndSeeds(vocab, key_, SubKey(""))) {
    AddNeedle(secrets.salt);
    AddNeedle(secrets.seed);
  }

  size_t values = 0;
  for (int t = 0; t < 6; ++t) {
    const auto type = static_cast<BackingStoreType>(t);
    Keystore& store = Store(type);
    for (uint64_t key : store.GetAllKeys(index_id())) {
      const std::string where = nivora_encrypted_index::BackingStoreTypeToString(type) + " key " +
                                std::to_string(key);
      ExpectNoNeedle(reinterpret_cast<const uint8_t*>(&key), 8, where);
      const auto value = store.GetItem(index_id(), key);
      ExpectNoNeedle(value.data, value.size(), where);
      ++values;
      const bool token_entry = type == BackingStoreType::INDEX && value.size() == 8;
      if (!token_entry && key != layout::kCounterMapVersionKey) {
        ExpectFreshIV(value.data, value.size(), where);
      }
    }
  }
  const auto map = Store(BackingStoreType::INDEX)
                       .GetMapImpl(index_id(), layout::kCounterMapKey, layout::kCounterMapVersionKey);
  ExpectNoNeedle(map.map.data, map.map.size(), "counter map");
  for (const std::string& item : {name_ + ".nei", name_ + ".nvs"}) {
    const auto config = Store(BackingStoreType::CONFIG).LoadConfigItem(item);
    ExpectNoNeedle(config.data, config.size(), item);
    ExpectFreshIV(config.data, config.size(), item);
  }
  // 200 tokens, 149 items in each of VECTORS, METADATA, ID and CONTENTS,
  // one centroid metadata entry.
  EXPECT_GE(values, 200u + 4 * 149u + 1u);
}

}  // namespace
}  // namespace nivora_test
