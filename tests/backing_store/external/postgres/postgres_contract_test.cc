// The keystore contract on PostgreSQL, through the factory: the CONFIG store
// on a config table, every other store kind sharing one item table.
#include "backing_store/keystore_contract_test.h"
#include "postgres_test_support.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

INSTANTIATE_TEST_SUITE_P(
    Postgres, KeystoreContractTest,
    ::testing::Values(KeystoreBackend{
        .name = "Postgres",
        .location = nivora::Location::POSTGRES,
        .make = [](BackingStoreType type) {
          nivora::DBConfig config = PostgresConfig(
              type == BackingStoreType::CONFIG ? "contract_config" : "contract_items");
          return Keystore::CreateKeystore(config, type);
        }}),
    KeystoreBackendName);

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
