// Connection settings, connecting, database selection and the connection's
// own guarantees: replies stay in step with commands, a broken connection
// stays broken, and writes to a closed socket never kill the process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

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

struct ParseCase {
  std::string text;
  RedisParams expected;
};

TEST(RedisConnectionStringTest, ParsesPairsAsTheGrammarSays) {
  const ParseCase cases[] = {
      {"host:h,port:6379,db:0", {{"host", "h"}, {"port", "6379"}, {"db", "0"}}},
      {"db:0,host:h,port:6379", {{"host", "h"}, {"port", "6379"}, {"db", "0"}}},
      {"host:h,port:6379,db:1,db:2", {{"host", "h"}, {"port", "6379"}, {"db", "2"}}},
      {"host:h,port6379,db:0", {{"host", "h"}, {"port6379,db", "0"}}},
      {"host:h,port:1,db:", {{"host", "h"}, {"port", "1"}}},
      {"host:h,port:1,db:,", {{"host", "h"}, {"port", "1"}, {"db", ""}}},
      {"host: h,port:1", {{"host", " h"}, {"port", "1"}}},
      {"host:::1,port:1", {{"host", "::1"}, {"port", "1"}}},
      {"", {}},
  };
  for (const ParseCase& c : cases) {
    EXPECT_EQ(ParseConnectionString(c.text), c.expected) << c.text;
  }
}

TEST(RedisConnectionStringTest, ValidationNamesTheFirstProblem) {
  struct Case {
    std::string text;
    std::string error;  // empty: valid
    int db = 0;
  };
  const Case cases[] = {
      {"port:1,db:0", "Missing Redis key: 'host'"},
      {"db:0", "Missing Redis key: 'host'"},
      {"host:h,db:0", "Missing Redis key: 'port'"},
      {"host:h,port6379,db:0", "Missing Redis key: 'port'"},
      {"host:h,port:1,db:", "Missing Redis key: 'db'"},
      {"host:h,port:1,db:,", "Invalid Redis DB value (not a number): "},
      {"host:h,port:1,db:abc", "Invalid Redis DB value (not a number): abc"},
      {"host:h,port:1,db:5 ", "Invalid Redis DB value: 5 "},
      {"host:h,port:1,db:1x", "Invalid Redis DB value: 1x"},
      {"host:h,port:1,db:99999999999", "Invalid Redis DB value (out of range): 99999999999"},
      {"host:h,port:1,db: 5", "", 5},
      {"host:h,port:1,db:-1", "", -1},
  };
  for (const Case& c : cases) {
    if (c.error.empty()) {
      EXPECT_EQ(ValidateConnectionParams(ParseConnectionString(c.text)), c.db) << c.text;
      continue;
    }
    try {
      ValidateConnectionParams(ParseConnectionString(c.text));
      ADD_FAILURE() << "accepted " << c.text;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), c.error) << c.text;
    }
  }
}

TEST(RedisConnectionStringTest, OnlyTrueAndOneTurnTlsOn) {
  for (const char* on : {"true", "1"}) EXPECT_TRUE(TlsRequested({{"ssl", on}})) << on;
  for (const char* off : {"TRUE", "True", "yes", "0", ""}) {
    EXPECT_FALSE(TlsRequested({{"ssl", off}})) << off;
  }
  EXPECT_FALSE(TlsRequested({}));
}

// A raw connection to the plain server, for looking at what keystores wrote.
std::unique_ptr<RedisConnection> Raw(int db = 0) {
  auto connection = std::make_unique<RedisConnection>("127.0.0.1", Servers().plain->port(),
                                                      kRedisConnectTimeout);
  EXPECT_TRUE(connection->ok()) << connection->error_text();
  connection->Command({"SELECT", std::to_string(db)});
  return connection;
}

class RedisConstructionTest : public ::testing::Test {
 protected:
  std::unique_ptr<RedisKeystore> Open(const std::string& connection) {
    return std::make_unique<RedisKeystore>(RedisConfig(connection), BackingStoreType::VECTORS);
  }
  std::string Port() const { return std::to_string(Servers().plain->port()); }

  testing::LogCapture log_;
};

TEST_F(RedisConstructionTest, SelectsTheDatabaseTheStringNames) {
  const uint64_t index = 0x5E1EC7ull;
  const std::string base = "host:127.0.0.1,port:" + Port();
  const std::pair<std::string, int> cases[] = {
      {base + ",db:1,db:2", 2}, {"db: 5," + base, 5}, {base + "abc,db:3", 3},
      {base + ",db:4,ssl:TRUE", 4}, {base + ",db:6,ssl:yes,unknown:x", 6}};
  for (const auto& [text, db] : cases) {
    auto keystore = Open(text);
    const uint8_t byte = 7;
    keystore->PushItem(index, 1, &byte, 1);
    auto raw = Raw(db);
    RedisArgs args;
    uint8_t id[8];
    nivora::StoreLittleEndian(hashed_index_name(index, BackingStoreType::VECTORS), id);
    args.Add("HLEN").Add(id, 8);
    auto reply = raw->Command(args);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->integer, 1) << text;
    keystore->DeleteIndexImpl(index);
  }
}

TEST_F(RedisConstructionTest, FailuresNameTheirCause) {
  const std::string base = "host:127.0.0.1,port:" + Port();
  EXPECT_EQ(FailureOf([&] {
              RedisKeystore(nivora::DBConfig(nivora::Location::REDIS, std::nullopt, base + ",db:0"),
                            BackingStoreType::INDEX);
            }),
            "Invalid DBConfig: missing db_connection_string or table_name.");
  EXPECT_EQ(FailureOf([&] {
              RedisKeystore(nivora::DBConfig(nivora::Location::REDIS, "t", std::nullopt),
                            BackingStoreType::INDEX);
            }),
            "Invalid DBConfig: missing db_connection_string or table_name.");
  EXPECT_THROW(Open("host:127.0.0.1,port:abc,db:0"), std::invalid_argument);
  EXPECT_THROW(Open("host:127.0.0.1,port:99999999999,db:0"), std::out_of_range);
  EXPECT_EQ(FailureOf([&] { Open(base + ",db:99"); }),
            "Failed to select Redis database: unexpected reply: ERR DB index is out of range");
  EXPECT_EQ(FailureOf([&] { Open(base + ",db:-1"); }),
            "Failed to select Redis database: unexpected reply: ERR DB index is out of range");
  // TLS asked of a plain server, which waits for a request that never ends:
  // the handshake gives up after the connect timeout.
  EXPECT_EQ(FailureOf([&] { Open(base + ",db:0,ssl:1"); }),
            "SSL configuration failed: Failed to initiate SSL connection to Redis");
  // Plain talk to a TLS port (ssl TRUE is not "true"): the server hangs up.
  const std::string tls_port = "host:127.0.0.1,db:0,port:" + std::to_string(Servers().tls->port());
  for (const char* ssl : {"", ",ssl:TRUE", ",ssl:yes"}) {
    EXPECT_THAT(FailureOf([&] { Open(tls_port + ssl); }),
                StartsWith("Failed to select Redis database (db=0): "))
        << ssl;
  }
}

TEST_F(RedisConstructionTest, RefusedConnectionIsReportedAndLoggedByTheFactory) {
  const std::string closed = "host:127.0.0.1,db:0,port:" + std::to_string([] {
                               // The port of a server that has just stopped.
                               nivora_redis_testing::RedisServerProcess server(
                                   Servers().folder.path(), {});
                               return server.port();
                             }());
  EXPECT_EQ(FailureOf([&] { Open(closed); }), "Failed to connect to Redis: Connection refused");
  nivora::DBConfig config = RedisConfig(closed);
  EXPECT_THROW(Keystore::CreateKeystore(config, BackingStoreType::ID), std::runtime_error);
  EXPECT_EQ(log_.Count("[CRITICAL] Failed to create keystore: Failed to connect to Redis: "
                       "Connection refused"),
            1u);
  EXPECT_EQ(FailureOf([&] { Open("host:no-such-host.invalid,port:1,db:0"); }).rfind(
                "Failed to connect to Redis: ", 0),
            0u);
}

TEST(RedisConnectionTest, PipelinedRepliesStayInStepAroundAnErrorReply) {
  auto raw = Raw();
  RedisArgs set, bad, get;
  set.Add("SET").Add("nivora-step").Add("v1");
  bad.Add("NO-SUCH-COMMAND").Add("x");
  get.Add("GET").Add("nivora-step");
  ASSERT_EQ(raw->Append(set), REDIS_OK);
  ASSERT_EQ(raw->Append(bad), REDIS_OK);
  ASSERT_EQ(raw->Append(get), REDIS_OK);
  RedisReplyPtr reply;
  ASSERT_EQ(raw->GetReply(reply), REDIS_OK);
  EXPECT_EQ(ReplyText(*reply), "OK");
  ASSERT_EQ(raw->GetReply(reply), REDIS_OK);
  EXPECT_EQ(reply->type, REDIS_REPLY_ERROR);
  ASSERT_EQ(raw->GetReply(reply), REDIS_OK);
  EXPECT_EQ(ReplyText(*reply), "v1");
  EXPECT_TRUE(raw->ok());
  raw->Command({"DEL", "nivora-step"});
}

// Kills every other client of the plain server (the keystores of a test).
void KillOtherClients() {
  auto raw = Raw();
  auto reply = raw->Command({"CLIENT", "KILL", "TYPE", "normal", "SKIPME", "yes"});
  ASSERT_NE(reply, nullptr);
}

TEST_F(RedisConstructionTest, ABrokenConnectionStaysBrokenAndNeverRaisesSigpipe) {
  for (bool tls : {false, true}) {
    const std::string text = tls ? Servers().Tls() : Servers().Plain();
    auto keystore = Open(text);
    const uint64_t index = 0xB40C3Dull;
    keystore->SetValueSizeImpl(index, 8192);
    if (tls) {
      auto raw = std::make_unique<RedisConnection>("127.0.0.1", Servers().tls->port(),
                                                   kRedisConnectTimeout);
      ConfigureSSL(*raw, "127.0.0.1", {});
      raw->Command({"CLIENT", "KILL", "TYPE", "normal", "SKIPME", "yes"});
    } else {
      KillOtherClients();
    }
    // Large writes into a socket the server has closed: EPIPE, not SIGPIPE.
    nivora::Array2D<unsigned char> values(256, 8192);
    std::vector<uint64_t> keys(256);
    for (size_t i = 0; i < keys.size(); ++i) keys[i] = i;
    EXPECT_THROW(keystore->BatchPushItemsImpl(index, keys, values), std::runtime_error);
    EXPECT_THROW(keystore->BatchPushItemsImpl(index, keys, values), std::runtime_error);
    EXPECT_EQ(FailureOf([&] { keystore->GetTotalSize(index); }), "HLEN command failed");
    EXPECT_EQ(FailureOf([&] { keystore->GetItem(index, 1); }), "HGET command failed");
    EXPECT_EQ(FailureOf([&] { keystore->BatchGetVariableImpl(index, {1}); }),
              "Exception in BatchGetVariable: HMGET command failed");
    EXPECT_EQ(FailureOf([&] { keystore->ConfigItemExists("x"); }),
              "Redis HEXISTS error: connection failure.");
  }
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store
