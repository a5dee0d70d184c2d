// The Redis servers of one test run, started once by a global test
// environment and stopped when the run ends: a plain one, a TLS one that
// asks clients for no certificate, and a TLS one that requires a client
// certificate signed by the test CA. Tests reach them through Servers().
#ifndef NIVORA_TESTS_BACKING_STORE_EXTERNAL_REDIS_REDIS_TEST_SERVERS_H_
#define NIVORA_TESTS_BACKING_STORE_EXTERNAL_REDIS_REDIS_TEST_SERVERS_H_

#include <functional>
#include <memory>
#include <string>

#include "core/db_config.h"
#include "redis_server_process.h"

namespace nivora_redis_testing {

struct RedisTestServers {
  TempFolder folder;
  TestCertificates certs;
  std::unique_ptr<RedisServerProcess> plain, tls, tls_client_auth;

  // "host:127.0.0.1,port:<plain>,db:<db>".
  std::string Plain(int db = 0) const;
  // The TLS server without client authentication, plus `extra` pairs.
  std::string Tls(const std::string& extra = "") const;
  // The TLS server requiring client certificates, plus `extra` pairs.
  std::string TlsClientAuth(const std::string& extra = "") const;
  // ",ca_cert:<test CA>,cert:<client cert>,key:<client key>".
  std::string ClientCertPairs() const;
};

// The running servers (valid while tests run).
const RedisTestServers& Servers();

// A Redis DBConfig with a config hash named `table`.
nivora::DBConfig RedisConfig(const std::string& connection, const std::string& table = "config");

// The text of what `action` throws; "" when it throws nothing.
std::string FailureOf(const std::function<void()>& action);

}  // namespace nivora_redis_testing

#endif  // NIVORA_TESTS_BACKING_STORE_EXTERNAL_REDIS_REDIS_TEST_SERVERS_H_
