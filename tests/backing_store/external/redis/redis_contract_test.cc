// The keystore contract on Redis, over plain TCP and over TLS with a client
// certificate, each keystore made through the factory.
#include "backing_store/keystore_contract_test.h"
#include "redis_test_servers.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

using nivora_redis_testing::RedisConfig;
using nivora_redis_testing::Servers;

std::unique_ptr<Keystore> MakeRedis(const std::string& connection, BackingStoreType type) {
  nivora::DBConfig config = RedisConfig(connection, "contract_config");
  return Keystore::CreateKeystore(config, type);
}

INSTANTIATE_TEST_SUITE_P(
    Redis, KeystoreContractTest,
    ::testing::Values(
        KeystoreBackend{.name = "Redis",
                        .location = nivora::Location::REDIS,
                        .make = [](BackingStoreType type) {
                          return MakeRedis(Servers().Plain(), type);
                        }},
        KeystoreBackend{.name = "RedisTlsClientCert",
                        .location = nivora::Location::REDIS,
                        .make = [](BackingStoreType type) {
                          return MakeRedis(
                              Servers().TlsClientAuth(Servers().ClientCertPairs()), type);
                        }}),
    KeystoreBackendName);

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
