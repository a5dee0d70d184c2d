// Temporary folders for RocksDB tests: one base folder per test process,
// removed at exit, with one subfolder per test, so test binaries and tests
// running side by side never share a database.
#ifndef NIVORA_TESTS_BACKING_STORE_EXTERNAL_ROCKSDB_TEMP_FOLDER_H_
#define NIVORA_TESTS_BACKING_STORE_EXTERNAL_ROCKSDB_TEMP_FOLDER_H_

#include <string>

namespace nivora_encrypted_index::internal::backing_store::testing {

// The data folder of the running test (not created here): the same string
// for every call within one test, another one in the next test.
std::string TestFolder();

// A folder of its own under the process's base folder, not created.
std::string FreshFolder(const std::string& name);

}  // namespace nivora_encrypted_index::internal::backing_store::testing

#endif  // NIVORA_TESTS_BACKING_STORE_EXTERNAL_ROCKSDB_TEMP_FOLDER_H_
