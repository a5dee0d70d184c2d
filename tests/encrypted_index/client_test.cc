// Construction, key schedule, the stored engine configuration, config items,
// the payload size and deletion of an index.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "backing_store/forwarding_keystore.h"

#include "engine_config_generated.h"
#include "engine_fixture.h"

namespace nivora_test {
namespace {

using ::testing::ThrowsMessage;
using layout::EngineConfigTable;
using nivora_encrypted_index::ChangeStamp;
using nivora_encrypted_index::internal::encrypted_index::kChangeStampKey;
using nivora_encrypted_index::internal::encrypted_index::kChangeStampVersionKey;

std::string KeyDoesNotOpen(const std::string& name) {
  return "The index key does not open index '" + name +
         "': its stored configuration does not decrypt with it.";
}

class ClientTest : public ::testing::Test {
 protected:
  // Decrypts and parses the stored "<name>.nei".
  const EngineConfigTable* StoredEngineConfig(const std::string& name) {
    const auto record = stores_[BackingStoreType::CONFIG].LoadConfigItem(name + ".nei");
    const auto plain = crypto::DecryptItemsFixed(record.data, 1, record.cols, key_);
    engine_config_bytes_.assign(plain.data, plain.data + plain.cols);
    flatbuffers::Verifier verifier(engine_config_bytes_.data(), engine_config_bytes_.size());
    EXPECT_TRUE(layout::VerifyEngineConfigTableBuffer(verifier));
    return layout::GetEngineConfigTable(engine_config_bytes_.data());
  }

  Stores stores_{nivora::Location::THREADSAFEMEMORY};
  std::array<uint8_t, 32> key_ = TestIndexKey();
  std::string name_ = UniqueIndexName();
  nivora::Logger& logger_ = TestLogger();
  std::vector<uint8_t> engine_config_bytes_;
};

TEST_F(ClientTest, NewIndexStoresOnlyItsEncryptedEngineConfig) {
  NewIndexConfig config = NewConfig(stores_, name_, key_, 3, 24);
  Client client(config, logger_);
  const uint64_t index_id = ReferenceIndexId(key_, name_);

  const EngineConfigTable* stored = StoredEngineConfig(name_);
  EXPECT_EQ(stored->tree_depth(), 32u);
  EXPECT_EQ(stored->vocab_size(), 3u);
  EXPECT_EQ(stored->payload_size(), 24u);
  EXPECT_EQ(stored->index_value_size(), 8u);
  EXPECT_EQ(stored->version()->str(), "0.15.0");
  // The record is the buffer plus IV and tag; the index store holds only
  // the index's change record.
  EXPECT_EQ(stores_[BackingStoreType::CONFIG].LoadConfigItem(name_ + ".nei").cols,
            engine_config_bytes_.size() + 28);
  EXPECT_THAT(stores_[BackingStoreType::INDEX].GetAllKeys(index_id),
              ::testing::UnorderedElementsAre(kChangeStampKey, kChangeStampVersionKey));
  EXPECT_EQ(stores_[BackingStoreType::VECTORS].GetValueSize(index_id), 24u + 28u);

  EXPECT_EQ(client.tree_depth(), 32);
  EXPECT_EQ(client.vocab_size(), 3);
  EXPECT_EQ(client.payload_size(), 24u);
  EXPECT_EQ(client.index_value_size(), 8u);
  EXPECT_EQ(client.version(), "0.15.0");
  EXPECT_EQ(client.index_name(), name_);
  EXPECT_EQ(client.get_counter_map(), (std::vector<uint32_t>{0, 0, 0}));
  EXPECT_EQ(client.cpu_threads(), 1);
  EXPECT_FALSE(client.gpu_accelerated());
}

TEST_F(ClientTest, SecondCreateOfANameFailsUnlessTheIndexStoreIsThePlainInProcessStore) {
  NewIndexConfig config = NewConfig(stores_, name_, key_);
  Client first(config, logger_);
  EXPECT_THAT([&] { Client second(config, logger_); },
              ThrowsMessage<std::runtime_error>("Index name " + name_ + " already exists"));

  Stores plain(nivora::Location::MEMORY);
  NewIndexConfig skipped = NewConfig(stores_, name_, key_);
  skipped.index_keystore = &plain[BackingStoreType::INDEX];
  EXPECT_NO_THROW(Client third(skipped, logger_));
}

// A config store whose existence lookups wait (at most 2 s) until two have
// arrived: two creators that look before they store both look before
// either stores.
class LookTogetherKeystore : public ForwardingKeystore {
 public:
  using ForwardingKeystore::ForwardingKeystore;
  bool ConfigItemExists(const std::string& name) override {
    {
      std::unique_lock lock(mutex_);
      ++looks_;
      arrived_.notify_all();
      arrived_.wait_for(lock, std::chrono::seconds(2), [&] { return looks_ >= 2; });
    }
    return ForwardingKeystore::ConfigItemExists(name);
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  int looks_ = 0;
};

TEST_F(ClientTest, TwoClientsCreatingOneNameAtOnceHaveOneWinner) {
  LookTogetherKeystore config_store(stores_[BackingStoreType::CONFIG],
                                    nivora::Location::THREADSAFEMEMORY);
  stores_.Replace(BackingStoreType::CONFIG, &config_store);
  const std::array<std::array<uint8_t, 32>, 2> keys = {TestIndexKey(1), TestIndexKey(2)};
  std::array<std::string, 2> outcome;
  std::vector<std::thread> creators;
  for (size_t c = 0; c < 2; ++c) {
    creators.emplace_back([&, c] {
      NewIndexConfig config = NewConfig(stores_, name_, keys[c], 2, 8 + c);
      try {
        Client client(config, logger_);
        outcome[c] = "created";
      } catch (const std::exception& e) {
        outcome[c] = e.what();
      }
    });
  }
  for (auto& creator : creators) creator.join();

  const std::string refused = "Index name " + name_ + " already exists";
  ASSERT_THAT(outcome, ::testing::UnorderedElementsAre("created", refused));
  // The stored engine configuration is the winner's: it opens under its key.
  const size_t winner = outcome[0] == "created" ? 0 : 1;
  ExistingIndexConfig open = OpenConfig(stores_, name_, keys[winner]);
  Client opened(open, logger_);
  EXPECT_EQ(opened.payload_size(), 8 + winner);
}

TEST_F(ClientTest, OpeningRestoresEveryField) {
  NewIndexConfig config = NewConfig(stores_, name_, key_, 4, 40);
  config.gpu_config = 2;
  {
    Client created(config, logger_);
    std::vector<uint32_t> ids = {3, 3, 1};
    created.UpdateMap(ids);
    created.StoreIndexConfig({9, 8, 7});
  }
  stores_[BackingStoreType::VECTORS].SetValueSize(ReferenceIndexId(key_, name_), 8);

  ExistingIndexConfig open = OpenConfig(stores_, name_, key_);
  open.cpu_threads = 2;
  open.gpu_config = 4;
  Client opened(open, logger_);
  EXPECT_EQ(opened.tree_depth(), 32);
  EXPECT_EQ(opened.vocab_size(), 4);
  EXPECT_EQ(opened.payload_size(), 40u);
  EXPECT_EQ(opened.index_value_size(), 8u);
  EXPECT_EQ(opened.version(), "0.15.0");
  EXPECT_EQ(opened.get_counter_map(), (std::vector<uint32_t>{0, 1, 0, 2}));
  EXPECT_EQ(opened.cpu_threads(), 2);
  EXPECT_TRUE(opened.gpu_accelerated());
  EXPECT_EQ(opened.LoadIndexConfig(), (std::vector<uint8_t>{9, 8, 7}));
  EXPECT_EQ(stores_[BackingStoreType::VECTORS].GetValueSize(ReferenceIndexId(key_, name_)), 68u);
}

TEST_F(ClientTest, OpeningFailsWithAWrongKeyOrAnUnknownName) {
  NewIndexConfig config = NewConfig(stores_, name_, key_);
  Client created(config, logger_);
  ExistingIndexConfig wrong_key = OpenConfig(stores_, name_, TestIndexKey(2));
  EXPECT_THAT([&] { Client c(wrong_key, logger_); },
              ThrowsMessage<std::runtime_error>(KeyDoesNotOpen(name_)));
  // The thread-safe store reads a missing item as empty, which does not
  // decrypt either (the Index API asks for the item first).
  ExistingIndexConfig unknown = OpenConfig(stores_, name_ + "_never", key_);
  EXPECT_THAT([&] { Client c(unknown, logger_); },
              ThrowsMessage<std::runtime_error>(KeyDoesNotOpen(name_ + "_never")));
  // The plain in-process store keeps no config items.
  Stores plain(nivora::Location::MEMORY);
  ExistingIndexConfig in_plain = OpenConfig(plain, name_, key_);
  EXPECT_THAT([&] { Client c(in_plain, logger_); },
              ThrowsMessage<std::runtime_error>(
                  "MemoryKeystore does not support PushConfigItem and LoadConfigItem yet"));
}

TEST_F(ClientTest, ConstructorArgumentsAndProcessWideSettings) {
  NewIndexConfig config = NewConfig(stores_, name_, key_);
  for (int32_t depth : {0, 33, -1}) {
    config.tree_depth = depth;
    EXPECT_THROW(Client c(config, logger_), std::invalid_argument) << depth;
  }
  config.tree_depth = 32;
  config.vocab_size = 0;
  EXPECT_THROW(Client c(config, logger_), std::invalid_argument);
  config.vocab_size = 1;
  config.vectors_keystore = nullptr;
  EXPECT_THROW(Client c(config, logger_), std::invalid_argument);
  EXPECT_FALSE(stores_[BackingStoreType::CONFIG].ConfigItemExists(name_ + ".nei"));

  const int saved = omp_get_max_threads();
  NewIndexConfig good = NewConfig(stores_, name_, key_);
  good.cpu_threads = 3;
  {
    Client c(good, logger_);
    EXPECT_EQ(omp_get_max_threads(), 3);
    EXPECT_EQ(layout::GetLogger(), &logger_);
  }
  omp_set_num_threads(saved);

  nivora::GetDefaultLogger().configure("warning", false);
  NewIndexConfig other = NewConfig(stores_, name_ + "_default", key_);
  Client with_default(other);
  EXPECT_EQ(layout::GetLogger(), &nivora::GetDefaultLogger());
  EXPECT_EQ(nivora::GetDefaultLogger().level(), nivora::ERROR);
}

TEST_F(ClientTest, EngineConfigSerialisation) {
  NewIndexConfig config = NewConfig(stores_, name_, key_, 5, 0);
  Client client(config, logger_);
  const std::vector<uint8_t> bytes = client.SerializeIndexConfig();
  flatbuffers::Verifier verifier(bytes.data(), bytes.size());
  ASSERT_TRUE(layout::VerifyEngineConfigTableBuffer(verifier));
  const EngineConfigTable* table = layout::GetEngineConfigTable(bytes.data());
  // A size of 0 is not written at all.
  const auto* raw = flatbuffers::GetRoot<flatbuffers::Table>(bytes.data());
  EXPECT_FALSE(raw->CheckField(EngineConfigTable::VT_PAYLOAD_SIZE));
  EXPECT_TRUE(raw->CheckField(EngineConfigTable::VT_VOCAB_SIZE));
  EXPECT_EQ(table->vocab_size(), 5u);

  EXPECT_THAT([&] { client.DeserializeIndexConfig({}); },
              ThrowsMessage<std::invalid_argument>(
                  "Could not deserialize index config: buffer is empty"));
  const std::string invalid = "Could not deserialize index config: buffer is invalid";
  EXPECT_THAT([&] { client.DeserializeIndexConfig({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}); },
              ThrowsMessage<std::runtime_error>(invalid));
  // Tree depths that give positions no leaf of their own.
  for (uint64_t depth : {0ull, 33ull}) {
    flatbuffers::FlatBufferBuilder builder;
    const auto version = builder.CreateString("0.15.0");
    layout::EngineConfigTableBuilder t(builder);
    t.add_tree_depth(depth);
    t.add_version(version);
    builder.Finish(t.Finish());
    std::vector<uint8_t> blob(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize());
    EXPECT_THAT([&] { client.DeserializeIndexConfig(blob); }, ThrowsMessage<std::runtime_error>(invalid));
  }
  // A table without a version reads as an empty version.
  flatbuffers::FlatBufferBuilder builder;
  layout::EngineConfigTableBuilder t(builder);
  t.add_tree_depth(16);
  t.add_payload_size(12);
  builder.Finish(t.Finish());
  client.DeserializeIndexConfig(
      std::vector<uint8_t>(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize()));
  EXPECT_EQ(client.version(), "");
  EXPECT_EQ(client.tree_depth(), 16);
  EXPECT_EQ(client.vocab_size(), 0);
  EXPECT_EQ(client.payload_size(), 12u);
  EXPECT_EQ(client.index_value_size(), 0u);
  EXPECT_EQ(stores_[BackingStoreType::VECTORS].GetValueSize(ReferenceIndexId(key_, name_)), 40u);
}

TEST_F(ClientTest, ConfigItemsAreEncryptedUnderTheIndexKey) {
  NewIndexConfig config = NewConfig(stores_, name_, key_);
  Client client(config, logger_);
  client.StoreConfig(name_ + ".extra", {1, 2, 3});
  const auto record = stores_[BackingStoreType::CONFIG].LoadConfigItem(name_ + ".extra");
  ASSERT_EQ(record.cols, 31u);
  const auto plain = crypto::DecryptItemsFixed(record.data, 1, record.cols, key_);
  EXPECT_EQ(std::vector<uint8_t>(plain.data, plain.data + 3), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(client.LoadConfig(name_ + ".extra"), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_THAT([&] { client.StoreConfig(name_ + ".extra", {}); },
              ThrowsMessage<std::invalid_argument>(
                  "Data size must be a multiple of the number of columns"));
  client.StoreIndexConfig({4, 5});
  EXPECT_EQ(client.LoadConfig(name_ + ".nvs"), (std::vector<uint8_t>{4, 5}));
  // A config item whose head is zero is forged, not absent.
  const std::vector<uint8_t> zeros(30, 0);
  stores_[BackingStoreType::CONFIG].PushConfigItem(name_ + ".nvs", zeros.data(), zeros.size());
  EXPECT_THAT([&] { client.LoadIndexConfig(); },
              ThrowsMessage<std::runtime_error>(KeyDoesNotOpen(name_)));
}

TEST_F(ClientTest, PayloadSizeRewritesTheEngineConfigOnlyWhenItChanges) {
  NewIndexConfig config = NewConfig(stores_, name_, key_, 1, 16);
  Client client(config, logger_);
  Keystore& config_store = stores_[BackingStoreType::CONFIG];
  config_store.DeleteConfigItem(name_ + ".nei");
  client.payload_size(16);
  EXPECT_FALSE(config_store.ConfigItemExists(name_ + ".nei"));
  client.payload_size(100);
  EXPECT_EQ(StoredEngineConfig(name_)->payload_size(), 100u);
  EXPECT_EQ(client.payload_size(), 100u);
  EXPECT_EQ(stores_[BackingStoreType::VECTORS].GetValueSize(ReferenceIndexId(key_, name_)), 128u);
}

TEST_F(ClientTest, DeleteIndexKeepsOrDropsTheConfiguration) {
  NewIndexConfig config = NewConfig(stores_, name_, key_, 2, 8);
  Client client(config, logger_);
  const uint64_t index_id = ReferenceIndexId(key_, name_);
  std::vector<uint32_t> ids = {1, 1};
  client.UpdateMap(ids);
  client.StoreIndexConfig({1});
  for (int t = 0; t < 6; ++t) {
    stores_[static_cast<BackingStoreType>(t)].PushItem(index_id, 77, std::vector<uint8_t>(8, 1).data(), 8);
  }
  const ChangeStamp before = client.ReadChangeStamp();
  client.DeleteIndex(false);
  for (auto t : {BackingStoreType::VECTORS, BackingStoreType::METADATA, BackingStoreType::ID}) {
    EXPECT_EQ(stores_[t].GetTotalSize(index_id), 0u) << static_cast<int>(t);
  }
  // Of the INDEX store only the change stamp is left, started anew.
  std::vector<uint64_t> left = stores_[BackingStoreType::INDEX].GetAllKeys(index_id);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<uint64_t>{kChangeStampVersionKey, kChangeStampKey}));
  const ChangeStamp after = client.ReadChangeStamp();
  EXPECT_EQ(after.version, 1u);
  EXPECT_NE(after.tag, before.tag);
  EXPECT_NE(after.state_tag, before.state_tag);
  EXPECT_EQ(stores_[BackingStoreType::CONTENTS].GetTotalSize(index_id), 1u);
  EXPECT_EQ(client.get_counter_map(), (std::vector<uint32_t>{0, 0}));
  EXPECT_EQ(StoredEngineConfig(name_)->index_value_size(), 8u);
  EXPECT_EQ(StoredEngineConfig(name_)->payload_size(), 8u);
  EXPECT_TRUE(stores_[BackingStoreType::CONFIG].ConfigItemExists(name_ + ".nvs"));
  EXPECT_EQ(client.num_vectors(), 0u);

  client.DeleteIndex(true);
  for (int t = 0; t < 6; ++t) {
    EXPECT_EQ(stores_[static_cast<BackingStoreType>(t)].GetTotalSize(index_id), 0u) << t;
  }
  EXPECT_FALSE(stores_[BackingStoreType::CONFIG].ConfigItemExists(name_ + ".nei"));
  EXPECT_FALSE(stores_[BackingStoreType::CONFIG].ConfigItemExists(name_ + ".nvs"));
}

}  // namespace
}  // namespace nivora_test
