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

TEST(RedisConnectionStringTest, ParsesTrimmedPairs) {
  const ParseCase cases[] = {
      {"host:h,port:6379,db:0", {{"host", "h"}, {"port", "6379"}, {"db", "0"}}},
      {"db:0,host:h,port:6379", {{"host", "h"}, {"port", "6379"}, {"db", "0"}}},
      {"host:h,port:6379,db:1,db:2", {{"host", "h"}, {"port", "6379"}, {"db", "2"}}},
      {" host : h , port:1 ,db:\t2 ", {{"host", "h"}, {"port", "1"}, {"db", "2"}}},
      {"host:h,,port:1,", {{"host", "h"}, {"port", "1"}}},
      {"host:h,port:1,db:", {{"host", "h"}, {"port", "1"}, {"db", ""}}},
      {"host:::1,port:1", {{"host", "::1"}, {"port", "1"}}},
      {"", {}},
  };
  for (const ParseCase& c : cases) {
    EXPECT_EQ(ParseConnectionString(c.text), c.expected) << c.text;
  }
}

TEST(RedisConnectionStringTest, MalformedStringsShowTheExpectedForm) {
  const std::string form = "; expected host:H,port:P,db:N[,ssl:true,...]";
  const std::pair<std::string, std::string> cases[] = {
      {"redis://localhost:6379/0", "a URL is not accepted"},
      {"host:h,port6379,db:0", "'port6379' is not a key:value pair"},
      {"", "missing host"},
      {"port:1,db:0", "missing host"},
      {"host: ,port:1,db:0", "missing host"},
      {"host:h,db:0", "missing port"},
      {"host:h,port:1", "missing db"},
      {"host:h,port:1,db:", "missing db"},
      {"host:h,port:abc,db:0", "port must be a number from 1 to 65535, not 'abc'"},
      {"host:h,port:0,db:0", "port must be a number from 1 to 65535, not '0'"},
      {"host:h,port:99999999999,db:0", "port must be a number from 1 to 65535, not '99999999999'"},
      {"host:h,port:1,db:1x", "db must be a whole number, not '1x'"},
      {"host:h,port:1,db:99999999999", "db must be a whole number, not '99999999999'"},
      {"host:h,port:1,db:0,timeout:0", "timeout must be a number of seconds from 1 to 86400, not '0'"},
      {"host:h,port:1,db:0,timeout:2s", "timeout must be a number of seconds from 1 to 86400, not '2s'"},
  };
  for (const auto& [text, what] : cases) {
    try {
      ReadRedisSettings(text);
      ADD_FAILURE() << "accepted " << text;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), "Invalid Redis connection string: " + what + form) << text;
    }
  }
}

TEST(RedisConnectionStringTest, BooleansInAnyCaseAndNothingElse) {
  const std::string base = "host:h,port:1,db:3";
  const std::string tls = base + ",ssl:true";
  for (const char* on : {"true", "TRUE", "True", "1", " true "}) {
    EXPECT_TRUE(ReadRedisSettings(base + ",ssl:" + on).tls) << on;
    EXPECT_TRUE(ReadRedisSettings(tls + ",ssl_verify:" + on).tls_options.verify) << on;
  }
  for (const char* off : {"false", "FALSE", "False", "0"}) {
    EXPECT_FALSE(ReadRedisSettings(base + ",ssl:" + off).tls) << off;
    EXPECT_FALSE(ReadRedisSettings(tls + ",ssl_verify:" + off).tls_options.verify) << off;
  }
  for (const char* key : {"ssl", "ssl_verify"}) {
    for (const char* bad : {"yes", "", "on", "2", "tru"}) {
      EXPECT_THAT(FailureOf([&] { ReadRedisSettings(base + "," + key + ":" + bad); }),
                  ::testing::StrEq("Invalid Redis connection string: " + std::string(key) +
                                   " must be true, false, 1 or 0, not '" + bad + "'"))
          << key << "=" << bad;
    }
  }
  const RedisSettings plain = ReadRedisSettings(base);
  EXPECT_FALSE(plain.tls);
  EXPECT_TRUE(plain.tls_options.verify);  // verification is on unless turned off
  EXPECT_EQ(plain.db, 3);
  EXPECT_EQ(plain.reply_timeout, kRedisReplyTimeout);
  EXPECT_EQ(ReadRedisSettings(base + ",timeout:7").reply_timeout, std::chrono::seconds(7));
}

// A misspelt key, or a TLS setting without TLS turned on, must not leave the
// connection quietly in plaintext: the string is refused before connecting.
TEST(RedisConnectionStringTest, UnknownKeysAndTlsSettingsWithoutTlsAreRefused) {
  const std::string base = "host:h,port:1,db:0";
  const std::string known =
      " (known keys: host, port, db, ssl, ssl_verify, ca_cert, ca_path, cert, key, timeout)";
  const std::pair<std::string, std::string> cases[] = {
      {base + ",SSL:true", "unknown key 'SSL'" + known},
      {base + ",ssl:true,sslverify:false", "unknown key 'sslverify'" + known},
      {base + ",ssl:true,ca-cert:/etc/ca.pem", "unknown key 'ca-cert'" + known},
      {"Host:h,port:1,db:0", "unknown key 'Host'" + known},
      {base + ",password:hunter2", "unknown key 'password'" + known},
      {base + ",:x", "unknown key ''" + known},
      {base + ",ca_cert:/etc/ca.pem", "ca_cert needs ssl:true"},
      {base + ",ssl:false,ca_path:/etc/certs", "ca_path needs ssl:true"},
      {base + ",ssl:0,cert:/c.pem,key:/k.pem", "cert needs ssl:true"},
      {base + ",key:/k.pem", "key needs ssl:true"},
      {base + ",ssl_verify:false", "ssl_verify needs ssl:true"},
  };
  const std::string form = "; expected host:H,port:P,db:N[,ssl:true,...]";
  for (const auto& [text, what] : cases) {
    EXPECT_THAT(FailureOf([&] { ReadRedisSettings(text); }),
                ::testing::StrEq("Invalid Redis connection string: " + what + form))
        << text;
  }
  // Every key read, together, with TLS on.
  const RedisSettings all = ReadRedisSettings(
      base + ",ssl:1,ssl_verify:0,ca_cert:/a.pem,ca_path:/certs,cert:/c.pem,key:/k.pem,timeout:9");
  EXPECT_TRUE(all.tls);
  EXPECT_FALSE(all.tls_options.verify);
  EXPECT_EQ(all.tls_options.ca_cert, "/a.pem");
  EXPECT_EQ(all.tls_options.ca_path, "/certs");
  EXPECT_EQ(all.tls_options.cert, "/c.pem");
  EXPECT_EQ(all.tls_options.key, "/k.pem");
  EXPECT_EQ(all.reply_timeout, std::chrono::seconds(9));
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
      {base + ",db:1,db:2", 2}, {"db: 5," + base, 5}, {" " + base + " , db : 3 ", 3},
      {base + ",db:4,ssl:FALSE", 4}, {base + ",db:6,ssl:0,timeout:5", 6}};
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
  EXPECT_THROW(Open("host:127.0.0.1,port:99999999999,db:0"), std::invalid_argument);
  EXPECT_EQ(FailureOf([&] { Open(base + ",db:99"); }),
            "Failed to select Redis database (db=99): ERR DB index is out of range");
  EXPECT_EQ(FailureOf([&] { Open(base + ",db:-1"); }),
            "Failed to select Redis database (db=-1): ERR DB index is out of range");
  // Plain talk to a TLS port: the server hangs up.
  const std::string tls_port = "host:127.0.0.1,db:0,port:" + std::to_string(Servers().tls->port());
  for (const char* ssl : {"", ",ssl:FALSE", ",ssl:0"}) {
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

// Kills every client of the server `via` talks to, `via` itself excepted.
void KillOtherClients(RedisConnection& via) {
  auto reply = via.Command({"CLIENT", "KILL", "TYPE", "normal", "SKIPME", "yes"});
  ASSERT_NE(reply, nullptr) << via.error_text();
}

std::unique_ptr<RedisConnection> RawTo(bool tls) {
  RedisSettings settings = ReadRedisSettings(tls ? Servers().Tls(",ssl_verify:false")
                                                 : Servers().Plain());
  return OpenRedisConnection(settings);
}

TEST(RedisConnectionTest, ABrokenConnectionStaysBrokenAndNeverRaisesSigpipe) {
  for (bool tls : {false, true}) {
    auto victim = RawTo(tls);
    KillOtherClients(*RawTo(tls));
    // A large write into a socket the server has closed: EPIPE, not SIGPIPE.
    const std::string big(8 << 20, 'x');
    EXPECT_EQ(victim->Command({"SET", "nivora-big", big}), nullptr) << tls;
    EXPECT_FALSE(victim->ok());
    EXPECT_TRUE(victim->PeerClosed());
    const std::string first = victim->error_text();
    EXPECT_EQ(victim->Command({"PING"}), nullptr);
    EXPECT_EQ(victim->error_text(), first) << "the first failure stays";
  }
}

TEST_F(RedisConstructionTest, AKeystoreReopensItsConnectionAfterTheServerDropsIt) {
  for (bool tls : {false, true}) {
    auto keystore = Open(tls ? Servers().Tls(",ssl_verify:0") : Servers().Plain());
    const uint64_t index = 0xB40C3Dull;
    keystore->SetValueSizeImpl(index, 8192);
    nivora::Array2D<unsigned char> values(256, 8192);
    std::vector<uint64_t> keys(256);
    for (size_t i = 0; i < keys.size(); ++i) keys[i] = i;
    KillOtherClients(*RawTo(tls));
    // The hang-up is seen before anything is sent: nothing fails.
    keystore->BatchPushItemsImpl(index, keys, values);
    EXPECT_EQ(keystore->GetTotalSize(index), 256u) << tls;
    KillOtherClients(*RawTo(tls));
    EXPECT_EQ(keystore->GetItem(index, 1).cols, 8192u);
    EXPECT_FALSE(keystore->ConfigItemExists("x"));
    keystore->DeleteIndexImpl(index);
    EXPECT_EQ(log_.Count("[INFO] Reconnected to Redis"), tls ? 4u : 2u);
  }
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store
