// The storage contract every keystore must meet, written once and run on
// every backend. A backend joins with a few lines in its own test file:
//
//   #include "backing_store/keystore_contract_test.h"
//   namespace nivora_encrypted_index::internal::backing_store::testing {
//   INSTANTIATE_TEST_SUITE_P(
//       RocksDB, KeystoreContractTest,
//       ::testing::Values(KeystoreBackend{
//           .name = "RocksDB",
//           .location = nivora::Location::ROCKSDB,
//           .make = [](BackingStoreType type) {
//             nivora::DBConfig config(nivora::Location::ROCKSDB, std::nullopt, Folder());
//             return Keystore::CreateKeystore(config, type);
//           }}),
//       KeystoreBackendName);
//   }
//
// and links the object library keystore_contract_suite into its test binary
// (nivora_add_test(... LIBS nivora_backing_store keystore_contract_suite)).
//
// Every test works on fresh random index ids and config names with a random
// prefix and removes what it wrote, so persistent and process-wide stores can
// run the suite repeatedly and side by side.
#ifndef NIVORA_TESTS_BACKING_STORE_KEYSTORE_CONTRACT_TEST_H_
#define NIVORA_TESTS_BACKING_STORE_KEYSTORE_CONTRACT_TEST_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backing_store/keystore.h"
#include "backing_store/log_capture.h"

namespace nivora_encrypted_index::internal::backing_store::testing {

struct KeystoreBackend {
  // Test-name suffix: letters, digits and underscores only.
  std::string name;
  // What GetLocation() of its keystores returns.
  nivora::Location location = nivora::Location::MEMORY;
  // Makes a keystore of this backend for one store kind. Called several times
  // per test; keystores it makes for one store kind must see each other's data
  // when the backend is shared (every backend but MEMORY).
  std::function<std::unique_ptr<Keystore>(BackingStoreType)> make;
  // False for a backend that keeps no config items (MEMORY).
  bool keeps_config_items = true;
  // False for a backend that must be used by one thread at a time (MEMORY).
  bool concurrent_use = true;
};

// For INSTANTIATE_TEST_SUITE_P: the backend's name as the test-name suffix.
std::string KeystoreBackendName(const ::testing::TestParamInfo<KeystoreBackend>& info);

class KeystoreContractTest : public ::testing::TestWithParam<KeystoreBackend> {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A keystore of the backend for `type`, deleted after the test (with the
  // test's indexes and config items removed from it first).
  Keystore& Make(BackingStoreType type = BackingStoreType::VECTORS);
  // A config item name unique to this test run.
  std::string ConfigName(const std::string& suffix);

  LogCapture log_;  // keeps keystore log lines out of the test output
  uint64_t index_ = 0;        // random index id of this test
  uint64_t other_index_ = 0;  // a second one, far from the first

 private:
  std::vector<std::unique_ptr<Keystore>> keystores_;
  std::vector<std::string> config_names_;
  std::string config_prefix_;
};

}  // namespace nivora_encrypted_index::internal::backing_store::testing

#endif  // NIVORA_TESTS_BACKING_STORE_KEYSTORE_CONTRACT_TEST_H_
