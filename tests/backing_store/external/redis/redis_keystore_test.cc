// What the Redis keystore writes where, its compare-and-set script, error
// replies of the server, and what its failures leave behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "backing_store/external/redis/redis_connection.h"
#include "backing_store/external/redis/redis_connection_params.h"
#include "backing_store/external/redis/redis_keystore.h"
#include "backing_store/log_capture.h"
#include "core/little_endian.h"
#include "redis_test_servers.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

using nivora_redis_testing::RedisConfig;
using nivora_redis_testing::FailureOf;
using nivora_redis_testing::Servers;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kMapKey = 0xFFFFFFFFFFFFFFFFull;
constexpr uint64_t kVersionKey = 42;

std::string AsString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

class RedisKeystoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    raw_ = std::make_unique<RedisConnection>("127.0.0.1", Servers().plain->port(),
                                             kRedisConnectTimeout);
    ASSERT_TRUE(raw_->ok());
  }
  void TearDown() override {
    raw_->Command({"CONFIG", "SET", "min-replicas-to-write", "0"});
    for (auto& keystore : keystores_) {
      for (uint64_t index : indexes_) keystore->DeleteIndexImpl(index);
    }
    raw_->Command({"DEL", table_});
  }

  RedisKeystore& Open(BackingStoreType type = BackingStoreType::VECTORS) {
    keystores_.push_back(std::make_unique<RedisKeystore>(RedisConfig(Servers().Plain(), table_),
                                                         type));
    return *keystores_.back();
  }
  uint64_t Index(uint64_t index) {
    indexes_.push_back(index);
    return index;
  }
  // The raw reply of a command of byte-string arguments.
  RedisReplyPtr RawCommand(const std::vector<std::string>& args) {
    RedisArgs vector;
    for (const std::string& arg : args) vector.Add(arg);
    RedisReplyPtr reply = raw_->Command(vector);
    EXPECT_NE(reply, nullptr);
    return reply;
  }

  testing::LogCapture log_;
  std::unique_ptr<RedisConnection> raw_;
  std::vector<std::unique_ptr<RedisKeystore>> keystores_;
  std::vector<uint64_t> indexes_;
  const std::string table_ = "redis_keystore_test_config";
};

TEST_F(RedisKeystoreTest, LayoutBytesAreLittleEndianItemsAndADecimalMapHash) {
  RedisKeystore& vectors = Open(BackingStoreType::VECTORS);
  const uint64_t index = Index(1);
  const Bytes value = {'v', 'a', 'l'};
  vectors.PushItem(index, 2, value.data(), value.size());
  // Index 1 in VECTORS (code 3): hash 04 00..00; key 2: field 02 00..00.
  const std::string hash("\x04\0\0\0\0\0\0\0", 8), field("\x02\0\0\0\0\0\0\0", 8);
  auto reply = RawCommand({"HGET", hash, field});
  EXPECT_EQ(ReplyText(*reply), "val");

  RedisKeystore& index_store = Open(BackingStoreType::INDEX);
  const Bytes map = {1, 2, 3, 0, 5};
  ASSERT_TRUE(index_store.PushMapImpl(index, kMapKey, map.data(), map.size(), kVersionKey, 0));
  EXPECT_EQ(index_store.GetEffectiveHashName(index), "1");
  reply = RawCommand({"HGET", "1", "18446744073709551615"});
  EXPECT_EQ(ReplyText(*reply), AsString(map));
  reply = RawCommand({"HGET", "1", "42"});
  EXPECT_EQ(ReplyText(*reply), "1");
  // The map lives beside the items, not among them.
  EXPECT_EQ(index_store.GetTotalSize(index), 0u);
  EXPECT_TRUE(index_store.GetAllKeys(index).empty());

  const uint8_t config[] = {9, 8};
  index_store.PushConfigItem("layout.nvs", config, 2);
  reply = RawCommand({"HGET", table_, "layout.nvs"});
  EXPECT_EQ(ReplyText(*reply), std::string("\x09\x08"));
}

TEST_F(RedisKeystoreTest, CompareAndSetScriptAnswersOneZeroOne) {
  RedisKeystore& keystore = Open(BackingStoreType::INDEX);
  const uint64_t index = Index(0xC0FFEE00ull);
  const std::string hash = keystore.GetEffectiveHashName(index);
  const Bytes a = {1}, b = {2}, c = {3};
  EXPECT_TRUE(keystore.PushMapImpl(index, kMapKey, a.data(), a.size(), kVersionKey, 0));
  EXPECT_EQ(log_.Count("[INFO] Redis reply type: INTEGER, value: 1"), 1u);
  EXPECT_EQ(ReplyText(*RawCommand({"HGET", hash, "42"})), "1");
  EXPECT_FALSE(keystore.PushMapImpl(index, kMapKey, b.data(), b.size(), kVersionKey, 0));
  EXPECT_EQ(log_.Count("[INFO] Redis reply type: INTEGER, value: 0"), 1u);
  EXPECT_EQ(log_.Count("[WARNING] Version check failed, update aborted"), 1u);
  EXPECT_TRUE(keystore.PushMapImpl(index, kMapKey, c.data(), c.size(), kVersionKey, 1));
  EXPECT_EQ(ReplyText(*RawCommand({"HGET", hash, "42"})), "2");
  EXPECT_EQ(ReplyText(*RawCommand({"HGET", hash, "18446744073709551615"})), "\x03");

  // Versions compare as text: a stored 02 does not match an expected 2.
  RawCommand({"HSET", hash, "42", "02"});
  EXPECT_FALSE(keystore.PushMapImpl(index, kMapKey, a.data(), a.size(), kVersionKey, 2));
  // A version that is no number reads as 0, with a warning.
  RawCommand({"HSET", hash, "42", "abc"});
  EXPECT_EQ(keystore.GetMapImpl(index, kMapKey, kVersionKey).version, 0u);
  EXPECT_EQ(log_.Count("[WARNING] Failed to parse version: stoull"), 1u);

  // Expecting a version of a store that has none writes nothing.
  const uint64_t fresh = Index(0xC0FFEE80ull);
  EXPECT_FALSE(keystore.PushMapImpl(fresh, kMapKey, a.data(), a.size(), kVersionKey, 5));
  EXPECT_EQ(RawCommand({"EXISTS", keystore.GetEffectiveHashName(fresh)})->integer, 0);
}

TEST_F(RedisKeystoreTest, EightKeystoresRacingOnOneCounterLoseNoIncrement) {
  constexpr int kThreads = 8, kIncrements = 25;
  const uint64_t index = Index(0x7ACE0000ull);
  std::vector<RedisKeystore*> keystores;
  for (int t = 0; t < kThreads; ++t) keystores.push_back(&Open(BackingStoreType::INDEX));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int done = 0; done < kIncrements;) {
        VersionedMap current = keystores[t]->GetMapImpl(index, kMapKey, kVersionKey);
        uint64_t counter = 0;
        if (!current.map.empty()) counter = nivora::LoadLittleEndian<uint64_t>(current.map.data);
        uint8_t next[8];
        nivora::StoreLittleEndian(counter + 1, next);
        if (keystores[t]->PushMapImpl(index, kMapKey, next, 8, kVersionKey, current.version)) {
          ++done;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const VersionedMap result = keystores[0]->GetMapImpl(index, kMapKey, kVersionKey);
  ASSERT_EQ(result.map.cols, 8u);
  EXPECT_EQ(nivora::LoadLittleEndian<uint64_t>(result.map.data),
            static_cast<uint64_t>(kThreads * kIncrements));
  EXPECT_EQ(result.version, static_cast<uint64_t>(kThreads * kIncrements));
}

TEST_F(RedisKeystoreTest, ServerErrorRepliesAreFailuresWithTheServersText) {
  RedisKeystore& keystore = Open(BackingStoreType::INDEX);
  const uint64_t index = Index(0xE4404ull);
  keystore.PushItem(index, 1, reinterpret_cast<const uint8_t*>("a"), 1);
  const uint8_t byte = 1;
  keystore.PushConfigItem("refused.nvs", &byte, 1);
  nivora::Array2D<unsigned char> rows(3, 8);
  // Without replicas the server refuses every write with NOREPLICAS.
  ASSERT_EQ(ReplyText(*RawCommand({"CONFIG", "SET", "min-replicas-to-write", "1"})), "OK");
  const std::pair<std::string, std::function<void()>> writes[] = {
      {"HSET command failed in batch execution: ",
       [&] { keystore.BatchPushItemsImpl(index, {1, 2, 3}, rows); }},
      {"HSET command failed in batch execution: ",
       [&] { keystore.BatchPushVariableImpl(index, {1, 2}, {{1}, {2}}); }},
      {"HSET command failed: ", [&] { keystore.PushItem(index, 5, &byte, 1); }},
      {"HDEL command failed: ", [&] { keystore.DeleteItem(index, 1); }},
      {"HDEL command failed: ", [&] { keystore.BatchDeleteItemsImpl(index, {1, 2}); }},
      {"DEL command failed: ", [&] { keystore.DeleteIndexImpl(index); }},
      {"EVAL command failed: ",
       [&] { keystore.PushMapImpl(index, kMapKey, &byte, 1, kVersionKey, 0); }},
      {"Redis HSET error: ", [&] { keystore.PushConfigItem("x.nvs", &byte, 1); }},
      {"HDEL command failed for config item: ",
       [&] { keystore.DeleteConfigItem("refused.nvs"); }},
  };
  for (const auto& [prefix, write] : writes) {
    const std::string failure = FailureOf(write);
    EXPECT_THAT(failure, StartsWith(prefix));
    EXPECT_THAT(failure, HasSubstr("NOREPLICAS"));
    // Reads still work on the same connection, and see nothing changed.
    EXPECT_EQ(keystore.GetAllKeys(index), std::vector<uint64_t>{1});
    EXPECT_TRUE(keystore.ConfigItemExists("refused.nvs"));
  }
  EXPECT_EQ(log_.Count("[WARNING] Cleaning up 2 remaining pipeline commands after error"), 1u);
  EXPECT_EQ(log_.Count("[WARNING] Cleaning up 1 remaining pipeline commands after error"), 1u);

  // Once writes are allowed again the pipeline is in step: every reply read
  // belongs to its own command.
  RawCommand({"CONFIG", "SET", "min-replicas-to-write", "0"});
  std::vector<uint64_t> keys(1000);
  nivora::Array2D<unsigned char> values(keys.size(), 8);
  for (size_t i = 0; i < keys.size(); ++i) {
    keys[i] = i;
    nivora::StoreLittleEndian<uint64_t>(i * 3, values.row(i));
  }
  keystore.BatchPushItemsImpl(index, keys, values);
  const auto read = keystore.BatchGetItemsImpl(index, {999, 0, 500});
  EXPECT_EQ(nivora::LoadLittleEndian<uint64_t>(read.row(0)), 2997u);
  EXPECT_EQ(nivora::LoadLittleEndian<uint64_t>(read.row(1)), 0u);
  EXPECT_EQ(nivora::LoadLittleEndian<uint64_t>(read.row(2)), 1500u);
  keystore.DeleteConfigItem("refused.nvs");
}

TEST_F(RedisKeystoreTest, FixedReadsGiveOneRowPerKeyWhateverIsStored) {
  RedisKeystore& keystore = Open();
  const uint64_t index = Index(0xF1CED00ull);
  keystore.SetValueSizeImpl(index, 4);
  keystore.PushItem(index, 1, reinterpret_cast<const uint8_t*>("abcd"), 4);
  keystore.PushItem(index, 2, nullptr, 0);  // an empty value
  keystore.PushItem(index, 3, reinterpret_cast<const uint8_t*>("toolong"), 7);
  keystore.PushItem(index, 4, reinterpret_cast<const uint8_t*>("wxyz"), 4);
  const auto rows = keystore.BatchGetItemsImpl(index, {2, 3, 4, 9, 1});
  ASSERT_EQ(rows.rows, 5u);
  ASSERT_EQ(rows.cols, 4u);
  const std::string zeros(4, '\0');
  const auto row = [&](size_t r) { return std::string(rows.row(r), rows.row(r) + 4); };
  EXPECT_EQ(row(0), zeros);
  EXPECT_EQ(row(1), zeros);
  EXPECT_EQ(row(2), "wxyz");
  EXPECT_EQ(row(3), zeros);
  EXPECT_EQ(row(4), "abcd");
  EXPECT_TRUE(keystore.GetItem(index, 2).empty());
  EXPECT_TRUE(keystore.BatchGetVariableImpl(index, {2})[0].empty());
}

TEST_F(RedisKeystoreTest, VariablePushSkipsEmptyValuesAndForeignFieldsAreNotKeys) {
  RedisKeystore& keystore = Open();
  const uint64_t index = Index(0x5C1Bull);
  keystore.BatchPushVariableImpl(index, {1, 2}, {{1}, {2}});
  keystore.BatchPushVariableImpl(index, {1, 2, 3}, {{}, {9, 9}, {}});
  auto values = keystore.BatchGetVariableImpl(index, {1, 2, 3});
  EXPECT_EQ(values[0], Bytes{1});
  EXPECT_EQ(values[1], (Bytes{9, 9}));
  EXPECT_TRUE(values[2].empty());

  log_.Take();
  keystore.BatchPushVariableImpl(index, {4}, {{}});
  EXPECT_THAT(log_.Take(), ::testing::ElementsAre("[INFO] Pushing variable 1 items to Redis",
                                                  "[INFO] No non-empty values to push to Redis",
                                                  "[INFO] Items successfully pushed to Redis"));
  // A field of another length, written by some other client, is no key.
  uint8_t id[8];
  nivora::StoreLittleEndian(hashed_index_name(index, BackingStoreType::VECTORS), id);
  RawCommand({std::string("HSET"), std::string(reinterpret_cast<char*>(id), 8), "abc", "x"});
  auto keys = keystore.GetAllKeys(index);
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(keystore.GetTotalSize(index), 3u);
}

TEST_F(RedisKeystoreTest, ArgumentErrorsAreLoggedAndSendNothing) {
  RedisKeystore& keystore = Open();
  const uint64_t index = Index(0xA7605ull);
  nivora::Array2D<unsigned char> wide(2, 9);
  EXPECT_EQ(FailureOf([&] { keystore.BatchPushItemsImpl(index, {1, 2}, wide); }),
            "Amount of data must be divisible by the size of each value");
  EXPECT_EQ(log_.Count("[ERROR] Amount of data 18 must be divisible by the size of each value 16"),
            1u);
  EXPECT_EQ(FailureOf([&] { keystore.BatchPushVariableImpl(index, {1, 2}, {{1}}); }),
            "Mismatch between number of keys and batch size");
  EXPECT_EQ(log_.Count("[ERROR] Mismatch between number of keys (2) and batch size (1)"), 1u);
  EXPECT_EQ(keystore.GetTotalSize(index), 0u);
  EXPECT_TRUE(keystore.BatchGetItemsImpl(index, {}).empty());
  EXPECT_EQ(log_.Count("[WARNING] No keys provided for batch retrieval"), 1u);
}

TEST_F(RedisKeystoreTest, ConfigItemsAndDeletingAnEmptyStore) {
  RedisKeystore& keystore = Open(BackingStoreType::CONFIG);
  EXPECT_EQ(FailureOf([&] { keystore.LoadConfigItem("idx.nvs"); }),
            "Index name 'idx' does not exist in Redis.");
  EXPECT_EQ(log_.Count("[ERROR] Index name 'idx.nvs' does not exist in Redis."), 1u);
  EXPECT_EQ(FailureOf([&] { keystore.LoadConfigItem("ab"); }),
            "Index name 'ab' does not exist in Redis.");
  keystore.DeleteConfigItem("idx.nvs");
  EXPECT_EQ(log_.Count("[WARNING] No config item found for index idx.nvs to delete."), 1u);
  // A config hash that is no hash: the server's error is a failure.
  RawCommand({"SET", table_, "not a hash"});
  EXPECT_THAT(FailureOf([&] { keystore.LoadConfigItem("idx.nvs"); }),
              StartsWith("Redis HGET error: WRONGTYPE"));
  EXPECT_THAT(FailureOf([&] { keystore.ConfigItemExists("idx.nvs"); }),
              StartsWith("Redis HEXISTS error: WRONGTYPE"));

  const uint64_t index = Index(0xE3F7Eull);
  keystore.DeleteIndexImpl(index);
  const std::string name = keystore.GetEffectiveHashName(index);
  EXPECT_EQ(log_.Count("[WARNING] No index found with binary name " + name + " to delete."), 1u);
  EXPECT_EQ(log_.Count("[WARNING] No index found with string name " + name + " to delete."), 1u);
}

TEST(RedisFlushTest, FlushEmptiesOnlyTheSelectedDatabase) {
  testing::LogCapture log;
  const uint64_t index = 0xF1005Eull;
  RedisKeystore other(RedisConfig(Servers().Plain(14)), BackingStoreType::ID);
  RedisKeystore flushed(RedisConfig(Servers().Plain(15)), BackingStoreType::ID);
  const uint8_t byte = 1;
  other.PushItem(index, 1, &byte, 1);
  flushed.PushItem(index, 1, &byte, 1);
  flushed.FlushRedis();
  EXPECT_EQ(flushed.GetTotalSize(index), 0u);
  EXPECT_EQ(other.GetTotalSize(index), 1u);
  other.DeleteIndexImpl(index);
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store
