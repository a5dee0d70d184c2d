// ListRocksDBIndexes: names with both config items, in order, read through
// the open database when the process holds it, read-only otherwise.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backing_store/external/rocksdb/rocksdb_index_listing.h"
#include "backing_store/external/rocksdb/rocksdb_keystore.h"
#include "backing_store/log_capture.h"
#include "temp_folder.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

namespace fs = std::filesystem;

nivora::DBConfig LocationAt(const std::string& folder) {
  return nivora::DBConfig(nivora::Location::ROCKSDB, std::nullopt, folder);
}

class RocksDBListingTest : public ::testing::Test {
 protected:
  std::unique_ptr<RocksDBKeystore> MakeConfigStore() {
    nivora::DBConfig config = LocationAt(TestFolder());
    return std::make_unique<RocksDBKeystore>(config, BackingStoreType::CONFIG);
  }
  void Store(Keystore& keystore, const std::vector<std::string>& names) {
    const uint8_t byte = 1;
    for (const std::string& name : names) keystore.PushConfigItem(name, &byte, 1);
  }

  LogCapture log_;
};

TEST_F(RocksDBListingTest, ListsNamesWithBothItemsInByteOrder) {
  const std::vector<std::string> expected = {"Zulu", "alpha", "b", "with.dots", "zeta"};
  {
    auto config = MakeConfigStore();
    Store(*config, {"zeta.nvs", "alpha.nei", "alpha.nvs", "beta.nei", "gamma.nvs", ".nei", ".nvs",
                    "zeta.nei", "b.nvs", "b.nei", "with.dots.nei", "with.dots.nvs", "Zulu.nvs",
                    "Zulu.nei", "plain", "x.nv"});
    // The items of another store kind in the same folder do not count.
    nivora::DBConfig location = LocationAt(TestFolder());
    RocksDBKeystore vectors(location, BackingStoreType::VECTORS);
    vectors.PushItem(1, 2, reinterpret_cast<const uint8_t*>("x"), 1);

    // Open in this process: read through the open database, which sees the
    // newest writes and opens nothing.
    log_.Take();
    EXPECT_EQ(ListRocksDBIndexes(LocationAt(TestFolder())), expected);
    EXPECT_EQ(log_.Count("[INFO] Reusing existing RocksDB connection for: " + TestFolder() +
                         "/config (ref_count: 2)"),
              1u);
    config->DeleteConfigItem("zeta.nei");
    EXPECT_EQ(ListRocksDBIndexes(LocationAt(TestFolder())),
              (std::vector<std::string>{"Zulu", "alpha", "b", "with.dots"}));
    config->PushConfigItem("zeta.nei", reinterpret_cast<const uint8_t*>("x"), 1);
  }
  // Closed: opened read-only for the call, outside the connection manager.
  log_.Take();
  EXPECT_EQ(ListRocksDBIndexes(LocationAt(TestFolder())), expected);
  EXPECT_TRUE(log_.Take().empty());
  EXPECT_EQ(ListRocksDBIndexes(LocationAt(TestFolder())), expected);
}

TEST_F(RocksDBListingTest, MissingOrUnreadableConfigStores) {
  // No config folder: nothing listed, nothing created.
  const std::string missing = TestFolder() + "/nowhere";
  EXPECT_TRUE(ListRocksDBIndexes(LocationAt(missing)).empty());
  EXPECT_FALSE(fs::exists(missing));

  // A location whose other stores exist but not its config store.
  {
    nivora::DBConfig config = LocationAt(TestFolder());
    RocksDBKeystore vectors(config, BackingStoreType::VECTORS);
    EXPECT_TRUE(ListRocksDBIndexes(config).empty());
  }

  // A config folder that holds no database.
  const std::string broken = TestFolder() + "/broken";
  fs::create_directories(broken + "/config");
  try {
    ListRocksDBIndexes(LocationAt(broken));
    ADD_FAILURE() << "an empty folder was listed";
  } catch (const std::runtime_error& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("Failed to open RocksDB: ")) << e.what();
  }
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
