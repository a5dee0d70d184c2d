// The keystore contract on RocksDB, through the factory, in a fresh data
// folder per test.
#include "backing_store/keystore_contract_test.h"
#include "temp_folder.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

INSTANTIATE_TEST_SUITE_P(
    RocksDB, KeystoreContractTest,
    ::testing::Values(KeystoreBackend{
        .name = "RocksDB",
        .location = nivora::Location::ROCKSDB,
        .make =
            [](BackingStoreType type) {
              nivora::DBConfig config(nivora::Location::ROCKSDB, std::nullopt, TestFolder());
              return Keystore::CreateKeystore(config, type);
            }}),
    KeystoreBackendName);

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
