// TLS to the test servers: verified by default (against the system's CA
// store, which does not hold the test CA), verified against a CA file or
// folder, refused for a CA that did not sign the server, unverified only when
// asked, and with client certificates where the server demands them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backing_store/external/redis/redis_keystore.h"
#include "backing_store/log_capture.h"
#include "redis_test_servers.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

using nivora_redis_testing::RedisConfig;
using nivora_redis_testing::Servers;

struct TlsCase {
  const char* what;
  std::string connection;
  std::string error;  // empty: connects; else the start of the failure
};

std::string Attempt(const std::string& connection) {
  try {
    RedisKeystore keystore(RedisConfig(connection), BackingStoreType::INDEX);
    const uint8_t byte = 1;
    keystore.PushItem(0x715ull, 1, &byte, 1);
    const bool stored = !keystore.GetItem(0x715ull, 1).empty();
    keystore.DeleteIndexImpl(0x715ull);
    return stored ? "" : "item not stored";
  } catch (const std::exception& e) {
    return e.what();
  }
}

TEST(RedisTlsTest, VerifiesTheServerUnlessToldNotTo) {
  testing::LogCapture log;
  const auto& s = Servers();
  const std::string ca = ",ca_cert:" + s.certs.ca_cert.string();
  const std::string other_ca = ",ca_cert:" + s.certs.other_ca_cert.string();
  const std::string refused =
      "SSL configuration failed: Failed to initiate SSL connection to Redis: "
      "certificate verify failed: ";
  const TlsCase cases[] = {
      {"no CA: the system's store, which lacks the test CA", s.Tls(),
       refused + "self-signed certificate in certificate chain"},
      {"no CA, ssl_verify false", s.Tls(",ssl_verify:false"), ""},
      {"ssl 1", s.Tls().replace(s.Tls().find("ssl:true"), 8, "ssl:1") + ca, ""},
      {"ssl TRUE", s.Tls().replace(s.Tls().find("ssl:true"), 8, "ssl:TRUE") + ca, ""},
      {"CA file", s.Tls(ca), ""},
      {"CA folder", s.Tls(",ca_path:" + s.certs.ca_path.string()), ""},
      {"CA file, host by name",
       "host:localhost,port:" + std::to_string(s.tls->port()) + ",db:0,ssl:true" + ca, ""},
      {"wrong CA", s.Tls(other_ca), refused + "self-signed certificate in certificate chain"},
      {"wrong CA, ssl_verify false", s.Tls(other_ca + ",ssl_verify:false"), ""},
      {"wrong CA, ssl_verify 0", s.Tls(other_ca + ",ssl_verify:0"), ""},
      {"wrong CA, ssl_verify FALSE", s.Tls(other_ca + ",ssl_verify:FALSE"), ""},
      {"missing CA file", s.Tls(",ca_cert:/nonexistent/ca.pem"),
       "SSL configuration failed: Failed to create Redis SSL context: "
       "Failed to load CA Certificate or CA Path"},
      {"cert without key", s.Tls(",cert:" + s.certs.client_cert.string()),
       "SSL configuration failed: Failed to create Redis SSL context: "
       "Client cert and key must both be specified or skipped"},
      {"key file that is no key",
       s.Tls(",cert:" + s.certs.client_cert.string() + ",key:" + s.certs.ca_cert.string()),
       "SSL configuration failed: Failed to create Redis SSL context: Failed to load private key"},
      {"client certificate required and given", s.TlsClientAuth(s.ClientCertPairs()), ""},
      {"client certificate given, server not verified",
       s.TlsClientAuth(",ssl_verify:0,cert:" + s.certs.client_cert.string() +
                       ",key:" + s.certs.client_key.string()),
       ""},
  };
  for (const TlsCase& c : cases) {
    const std::string failure = Attempt(c.connection);
    if (c.error.empty()) {
      EXPECT_EQ(failure, "") << c.what;
    } else {
      EXPECT_THAT(failure, ::testing::StartsWith(c.error)) << c.what;
    }
  }
}

TEST(RedisTlsTest, AServerDemandingAClientCertificateRefusesOneWithout) {
  testing::LogCapture log;
  // Depending on the TLS version the refusal comes in the handshake or on
  // the first command; either way no keystore is made.
  EXPECT_NE(Attempt(Servers().TlsClientAuth(",ca_cert:" + Servers().certs.ca_cert.string())), "");
  EXPECT_NE(Attempt(Servers().TlsClientAuth(",ssl_verify:0")), "");
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store
