// The keystore contract on the two in-process stores.
#include "backing_store/keystore_contract_test.h"
#include "backing_store/memory_keystore.h"
#include "backing_store/thread_safe_memory_keystore.h"
#include "backing_store/store_config.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

std::unique_ptr<Keystore> MakeAt(nivora::Location location, BackingStoreType type) {
  nivora::DBConfig config = ConfigAt(location);
  if (location == nivora::Location::MEMORY) return std::make_unique<MemoryKeystore>(config, type);
  return std::make_unique<ThreadSafeMemoryKeystore>(config, type);
}

INSTANTIATE_TEST_SUITE_P(
    InProcess, KeystoreContractTest,
    ::testing::Values(
        KeystoreBackend{
            .name = "Memory",
            .location = nivora::Location::MEMORY,
            .make = [](BackingStoreType type) { return MakeAt(nivora::Location::MEMORY, type); },
            .keeps_config_items = false,
            .concurrent_use = false},
        KeystoreBackend{
            .name = "ThreadSafeMemory",
            .location = nivora::Location::THREADSAFEMEMORY,
            .make = [](BackingStoreType type) {
              return MakeAt(nivora::Location::THREADSAFEMEMORY, type);
            }}),
    KeystoreBackendName);

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
