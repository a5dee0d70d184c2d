#include "redis_test_servers.h"

#include <gtest/gtest.h>

namespace nivora_redis_testing {
namespace {

RedisTestServers* servers = nullptr;

class RedisServersEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    try {
      Start();
    } catch (const std::exception& e) {
      FAIL() << "Redis test servers: " << e.what();
    }
  }
  void TearDown() override {
    servers = nullptr;
    instance_.reset();
  }

 private:
  void Start() {
    instance_ = std::make_unique<RedisTestServers>();
    RedisTestServers& s = *instance_;
    s.certs = MakeTestCertificates(s.folder.path());
    s.plain = std::make_unique<RedisServerProcess>(s.folder.path(), std::vector<std::string>{});
    const std::vector<std::string> tls_files = {
        "--tls-cert-file", s.certs.server_cert.string(), "--tls-key-file",
        s.certs.server_key.string(), "--tls-ca-cert-file", s.certs.ca_cert.string()};
    std::vector<std::string> no_auth = tls_files;
    no_auth.insert(no_auth.end(), {"--tls-auth-clients", "no"});
    s.tls = std::make_unique<RedisServerProcess>(s.folder.path(), no_auth, true);
    std::vector<std::string> auth = tls_files;
    auth.insert(auth.end(), {"--tls-auth-clients", "yes"});
    s.tls_client_auth = std::make_unique<RedisServerProcess>(s.folder.path(), auth, true);
    servers = instance_.get();
  }

  std::unique_ptr<RedisTestServers> instance_;
};

// gtest owns the environment and runs it around the whole test run.
[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new RedisServersEnvironment);

std::string Endpoint(const RedisServerProcess& server) {
  return "host:127.0.0.1,port:" + std::to_string(server.port());
}

}  // namespace

std::string RedisTestServers::Plain(int db) const {
  return Endpoint(*plain) + ",db:" + std::to_string(db);
}

std::string RedisTestServers::Tls(const std::string& extra) const {
  return Endpoint(*tls) + ",db:0,ssl:true" + extra;
}

std::string RedisTestServers::TlsClientAuth(const std::string& extra) const {
  return Endpoint(*tls_client_auth) + ",db:0,ssl:true" + extra;
}

std::string RedisTestServers::ClientCertPairs() const {
  return ",ca_cert:" + certs.ca_cert.string() + ",cert:" + certs.client_cert.string() +
         ",key:" + certs.client_key.string();
}

const RedisTestServers& Servers() { return *servers; }

std::string FailureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}


nivora::DBConfig RedisConfig(const std::string& connection, const std::string& table) {
  return nivora::DBConfig(nivora::Location::REDIS, table, connection);
}

}  // namespace nivora_redis_testing
