// Read failures of a real database (a table file damaged on disk) must
// surface as errors, never as an empty index or an absent config item: a
// cache fill, an index deletion or the check before a new index is stored
// would otherwise act on a wrong picture.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rocksdb/options.h>

#include "backing_store/external/rocksdb/rocksdb_connection_manager.h"
#include "backing_store/external/rocksdb/rocksdb_index_listing.h"
#include "backing_store/external/rocksdb/rocksdb_keystore.h"
#include "backing_store/log_capture.h"
#include "temp_folder.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

namespace fs = std::filesystem;

// The item keys of this index sort after "config:" keys, so the first data
// block of the table file holds the config items and the first items.
constexpr uint64_t kIndex = 0xF0 - static_cast<uint64_t>(BackingStoreType::CONFIG);

template <typename Call>
std::string ThrownText(const Call& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  ADD_FAILURE() << "nothing was thrown";
  return {};
}

class RocksDBReadFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nivora::DBConfig config(nivora::Location::ROCKSDB, std::nullopt, TestFolder());
    {
      RocksDBKeystore keystore(config, BackingStoreType::CONFIG);
      const uint8_t byte = 1;
      keystore.PushConfigItem("kept.nei", &byte, 1);
      keystore.PushConfigItem("kept.nvs", &byte, 1);
      std::vector<uint64_t> keys;
      std::vector<std::vector<uint8_t>> values;
      for (uint64_t key = 0; key < 200; ++key) {
        keys.push_back(key);
        values.emplace_back(40, static_cast<uint8_t>(key));
      }
      keystore.BatchPushVariableImpl(kIndex, keys, values);
      RocksDBConnectionLease lease(keystore.db_path());
      ASSERT_TRUE(lease.db()->Flush(rocksdb::FlushOptions()).ok());
    }
    // Damage the first data block of the (closed) table file.
    size_t tables = 0;
    for (const auto& entry : fs::directory_iterator(TestFolder() + "/config")) {
      if (entry.path().extension() != ".sst") continue;
      ++tables;
      std::fstream file(entry.path(), std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(16);
      const std::string junk(32, '\x5A');
      file.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    ASSERT_EQ(tables, 1u);
    keystore_ = std::make_unique<RocksDBKeystore>(config, BackingStoreType::CONFIG);
  }

  LogCapture log_;
  std::unique_ptr<RocksDBKeystore> keystore_;
};

TEST_F(RocksDBReadFailureTest, DamagedDataFailsScansExistenceChecksAndListing) {
  const std::string scan = ThrownText([&] { keystore_->GetAllKeys(kIndex); });
  EXPECT_TRUE(scan.starts_with("Exception in GetAllKeys: Failed to scan index: Corruption"))
      << scan;
  const std::string count = ThrownText([&] { keystore_->GetTotalSize(kIndex); });
  EXPECT_TRUE(count.starts_with("Exception in GetTotalSize: Failed to scan index: Corruption"))
      << count;
  const std::string deletion = ThrownText([&] { keystore_->DeleteIndexImpl(kIndex); });
  EXPECT_TRUE(deletion.starts_with("Exception in DeleteIndex: Exception in GetAllKeys: ")) << deletion;

  const std::string exists = ThrownText([&] { keystore_->ConfigItemExists("kept.nvs"); });
  EXPECT_TRUE(exists.starts_with("Exception in ConfigItemExists: Failed to get config item: "
                                 "Corruption"))
      << exists;

  // The listing reads through the open database here.
  nivora::DBConfig location(nivora::Location::ROCKSDB, std::nullopt, TestFolder());
  const std::string listing = ThrownText([&] { ListRocksDBIndexes(location); });
  EXPECT_TRUE(listing.starts_with("Failed to list RocksDB indexes: Corruption")) << listing;
}

TEST_F(RocksDBReadFailureTest, AFailedScanLeavesTheCacheUnloaded) {
  keystore_->EnableCache();
  ASSERT_NE(keystore_->GetCache(), nullptr);
  EXPECT_THROW(keystore_->EagerLoadCache(kIndex), std::runtime_error);
  EXPECT_FALSE(keystore_->IsCacheLoaded(kIndex));
  EXPECT_EQ(keystore_->GetCache()->GetTotalSize(kIndex), 0u);
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
