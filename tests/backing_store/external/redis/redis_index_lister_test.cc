// Listing the index names of a Redis location.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "backing_store/external/redis/redis_index_lister.h"
#include "backing_store/external/redis/redis_keystore.h"
#include "backing_store/log_capture.h"
#include "redis_test_servers.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

using nivora_redis_testing::RedisConfig;
using nivora_redis_testing::FailureOf;
using nivora_redis_testing::Servers;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAre;

class RedisIndexListerTest : public ::testing::Test {
 protected:
  // Stores config items with the given names in database `db`.
  void Store(const std::string& connection, const std::vector<std::string>& names) {
    RedisKeystore keystore(RedisConfig(connection, table_), BackingStoreType::CONFIG);
    const uint8_t byte = 1;
    for (const std::string& name : names) keystore.PushConfigItem(name, &byte, 1);
  }
  void TearDown() override {
    for (int db : {0, 1}) {
      RedisKeystore keystore(RedisConfig(Servers().Plain(db), table_), BackingStoreType::CONFIG);
      for (const char* name : {"a.nvs", "a.nei", ".nvs", "b.nvs", "one.nvs", "t.nvs"}) {
        keystore.DeleteConfigItem(name);
      }
    }
  }

  testing::LogCapture log_;
  const std::string table_ = "lister_test_config";
};

TEST_F(RedisIndexListerTest, ListsStateItemNamesWithoutTheirEnding) {
  Store(Servers().Plain(), {"a.nvs", "a.nei", ".nvs", "b.nvs"});
  EXPECT_THAT(ListRedisIndexes(RedisConfig(Servers().Plain(), table_)),
              UnorderedElementsAre("a", "b"));
  EXPECT_TRUE(ListRedisIndexes(RedisConfig(Servers().Plain(), "no_such_table")).empty());
  Store(Servers().Plain(1), {"one.nvs"});
  EXPECT_THAT(ListRedisIndexes(RedisConfig(Servers().Plain(1), table_)),
              UnorderedElementsAre("one"));
}

TEST_F(RedisIndexListerTest, ListsOverTlsWithTheKeystoresSettings) {
  const std::string connection = Servers().TlsClientAuth(Servers().ClientCertPairs());
  Store(connection, {"t.nvs"});
  EXPECT_THAT(ListRedisIndexes(RedisConfig(connection, table_)), UnorderedElementsAre("t"));
  EXPECT_EQ(FailureOf([&] {
              ListRedisIndexes(RedisConfig(
                  Servers().Tls(",ca_cert:" + Servers().certs.other_ca_cert.string()), table_));
            }),
            "SSL configuration failed: Failed to initiate SSL connection to Redis: certificate "
            "verify failed: self-signed certificate in certificate chain");
}

TEST_F(RedisIndexListerTest, ErrorRepliesAndBadSettingsFail) {
  const std::string port = std::to_string(Servers().plain->port());
  // A database the server does not have is not silently database 0.
  EXPECT_EQ(FailureOf([&] {
              ListRedisIndexes(RedisConfig("host:127.0.0.1,port:" + port + ",db:99", table_));
            }),
            "Failed to select Redis database (db=99): ERR DB index is out of range");
  auto raw = std::make_unique<RedisConnection>("127.0.0.1", Servers().plain->port(),
                                               std::chrono::seconds(5));
  raw->Command({"SET", "lister_string_key", "x"});
  EXPECT_THAT(FailureOf([&] {
                ListRedisIndexes(RedisConfig(Servers().Plain(), "lister_string_key"));
              }),
              StartsWith("HKEYS command failed for table_name: lister_string_key: WRONGTYPE"));
  raw->Command({"DEL", "lister_string_key"});

  const std::pair<nivora::DBConfig, std::string> invalid[] = {
      {nivora::DBConfig(nivora::Location::REDIS, std::nullopt, Servers().Plain()),
       "table_name is not set in DBConfig."},
      {nivora::DBConfig(nivora::Location::REDIS, table_, std::nullopt),
       "Database connection string is missing in the configuration."},
      {RedisConfig("port:1,db:0", table_),
       "Invalid Redis connection string: missing host; expected host:H,port:P,db:N[,ssl:true,...]"},
      {RedisConfig("host:h,port:1,db:1x", table_),
       "Invalid Redis connection string: db must be a whole number, not '1x'; expected "
       "host:H,port:P,db:N[,ssl:true,...]"},
      {RedisConfig("host:h,port:1,db:0,ssl:yes", table_),
       "Invalid Redis connection string: ssl must be true, false, 1 or 0, not 'yes'"},
  };
  for (const auto& [config, message] : invalid) {
    try {
      ListRedisIndexes(config);
      ADD_FAILURE() << message;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), message);
      EXPECT_EQ(log_.Count("[ERROR] " + message), 1u);
    }
  }
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store
