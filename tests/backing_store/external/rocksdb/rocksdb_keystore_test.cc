// RocksDBKeystore beyond the shared contract: stored bytes, persistence,
// the connection manager's sharing, the exact failure texts, and the
// compare-and-set under real concurrency and real lock waits.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <rocksdb/utilities/transaction.h>

#include "backing_store/byte_rows.h"
#include "backing_store/external/rocksdb/rocksdb_connection_manager.h"
#include "backing_store/external/rocksdb/rocksdb_keystore.h"
#include "backing_store/item_bytes.h"
#include "backing_store/log_capture.h"
#include "core/little_endian.h"
#include "temp_folder.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMapKey = 0xFFFFFFFFFFFFFFFFull;
constexpr uint64_t kVersionKey = 42;

Bytes Pattern(size_t length, uint8_t seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed * 31 + i * 7 + 1);
  return bytes;
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

// The message of the exception `call` throws as E; fails when it throws none.
template <typename E, typename Call>
std::string ThrownText(const Call& call) {
  try {
    call();
  } catch (const E& e) {
    return e.what();
  }
  ADD_FAILURE() << "nothing was thrown";
  return {};
}

// Sets HOME for its lifetime (unsets it for nullopt), then restores it.
class ScopedHome {
 public:
  explicit ScopedHome(const std::optional<std::string>& home) {
    if (const char* old = std::getenv("HOME")) saved_ = old;
    if (home) {
      ::setenv("HOME", home->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
  }
  ~ScopedHome() {
    if (saved_) {
      ::setenv("HOME", saved_->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
  }

 private:
  std::optional<std::string> saved_;
};

class RocksDBKeystoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<RocksDBKeystore> Make(BackingStoreType type = BackingStoreType::VECTORS,
                                        const std::string& folder = TestFolder()) {
    nivora::DBConfig config(nivora::Location::ROCKSDB, std::nullopt, folder);
    return std::make_unique<RocksDBKeystore>(config, type);
  }

  LogCapture log_;
  const uint64_t index_ = 0x1234567890ull;
};

TEST_F(RocksDBKeystoreTest, StoredKeysHaveTheirFixedByteLayout) {
  struct Case {
    BackingStoreType type;
    uint64_t index;
    uint64_t key;
    std::string hex;
  };
  const Case cases[] = {
      {BackingStoreType::VECTORS, 1, 2, "0400000000000000" "0200000000000000"},
      {BackingStoreType::INDEX, 1, 2, "0100000000000000" "0200000000000000"},
      // The hashed name wraps modulo 2^64.
      {BackingStoreType::ID, 0xFFFFFFFFFFFFFFFFull, 0x0102030405060708ull,
       "0400000000000000" "0807060504030201"},
      {BackingStoreType::CONFIG, 0x1122334455667700ull, 0xFFFFFFFFFFFFFFFFull,
       "0177665544332211" "ffffffffffffffff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    EXPECT_EQ(Hex(Make(c.type)->CreateKey(c.index, c.key)), c.hex);
  }
  auto keystore = Make(BackingStoreType::INDEX);
  EXPECT_EQ(keystore->CreateConfigKey("a.nvs"), "config:a.nvs");

  // The version of a map is stored as exactly 8 little-endian bytes.
  const Bytes map = Pattern(10, 1);
  ASSERT_TRUE(keystore->PushMapImpl(index_, kMapKey, map.data(), map.size(), kVersionKey, 0));
  EXPECT_EQ(OnlyRow(keystore->GetItem(index_, kVersionKey)), (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(OnlyRow(keystore->GetItem(index_, kMapKey)), map);
}

TEST_F(RocksDBKeystoreTest, StoreFoldersLieUnderTheDataFolder) {
  const std::string folder = TestFolder();
  EXPECT_EQ(Make(BackingStoreType::METADATA, folder)->db_path(), folder + "/metadata");
  EXPECT_TRUE(fs::is_directory(folder + "/metadata"));

  struct HomeCase {
    std::string home;
    std::string data_folder;
  };
  const HomeCase homes[] = {{"/home/u", "/home/u/.nivoradb/data"},
                            {"/home/u/", "/home/u/.nivoradb/data"},
                            {"/", "/.nivoradb/data"},
                            {"", ".nivoradb/data"}};
  for (const HomeCase& c : homes) {
    ScopedHome home(c.home);
    EXPECT_EQ(GetDefaultDataDirectory(), c.data_folder) << "HOME=" << c.home;
  }
  {
    ScopedHome home(std::nullopt);
    EXPECT_EQ(ThrownText<std::runtime_error>([] { GetDefaultDataDirectory(); }),
              "No data directory was provided and HOME environment variable is not set");
    nivora::DBConfig config(nivora::Location::ROCKSDB, std::nullopt, std::nullopt);
    EXPECT_THROW(Keystore::CreateKeystore(config, BackingStoreType::INDEX), std::runtime_error);
  }

  // Without a connection string (or with an empty one) the factory's
  // keystore lives in the default folder.
  const std::string home_folder = FreshFolder("home_" + std::to_string(::getpid()));
  ScopedHome home(home_folder);
  for (const std::optional<std::string>& connection :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    nivora::DBConfig config(nivora::Location::ROCKSDB, std::nullopt, connection);
    auto keystore = Keystore::CreateKeystore(config, BackingStoreType::INDEX);
    EXPECT_EQ(keystore->GetLocation(), nivora::Location::ROCKSDB);
    EXPECT_EQ(dynamic_cast<RocksDBKeystore&>(*keystore).db_path(),
              home_folder + "/.nivoradb/data/index");
  }
  EXPECT_TRUE(fs::is_directory(home_folder + "/.nivoradb/data/index"));
}

TEST_F(RocksDBKeystoreTest, DataSurvivesClosingAndReopening) {
  const Bytes map = Pattern(40, 9);
  {
    auto vectors = Make(BackingStoreType::VECTORS);
    auto index_store = Make(BackingStoreType::INDEX);
    auto config = Make(BackingStoreType::CONFIG);
    vectors->SetValueSizeImpl(index_, 16);
    vectors->BatchPushItemsImpl(index_, {1, 2}, Matrix({Pattern(16, 1), Pattern(16, 2)}));
    vectors->BatchPushVariableImpl(index_, {3}, {Pattern(300, 3)});
    ASSERT_TRUE(index_store->PushMapImpl(index_, kMapKey, map.data(), map.size(), kVersionKey, 0));
    config->PushConfigItem("kept.nvs", Pattern(5, 4).data(), 5);
  }
  EXPECT_EQ(log_.Count("[INFO] Closed RocksDB connection for: " + TestFolder() + "/vectors"), 1u);

  auto vectors = Make(BackingStoreType::VECTORS);
  auto index_store = Make(BackingStoreType::INDEX);
  auto config = Make(BackingStoreType::CONFIG);
  EXPECT_EQ(log_.Count("[INFO] Opened new RocksDB connection for: " + TestFolder() + "/vectors"),
            2u);
  // The value size is the object's, not stored: a new keystore starts at 8.
  EXPECT_EQ(vectors->GetValueSizeImpl(index_), kDefaultValueSize);
  vectors->SetValueSizeImpl(index_, 16);
  const auto rows = vectors->BatchGetItemsImpl(index_, {2, 1});
  EXPECT_EQ(RowOf(rows, 0), Pattern(16, 2));
  EXPECT_EQ(RowOf(rows, 1), Pattern(16, 1));
  EXPECT_EQ(vectors->BatchGetVariableImpl(index_, {3})[0], Pattern(300, 3));
  EXPECT_EQ(vectors->GetTotalSize(index_), 3u);
  const VersionedMap stored = index_store->GetMapImpl(index_, kMapKey, kVersionKey);
  EXPECT_EQ(OnlyRow(stored.map), map);
  EXPECT_EQ(stored.version, 1u);
  EXPECT_EQ(OnlyRow(config->LoadConfigItem("kept.nvs")), Pattern(5, 4));
}

TEST_F(RocksDBKeystoreTest, OneDatabasePerFolderSharedByCount) {
  const std::string path = TestFolder() + "/vectors";
  auto first = Make();
  EXPECT_EQ(log_.Take(), (std::vector<std::string>{
                             "[INFO] Opening RocksDB at: " + path,
                             "[INFO] RocksDB TransactionDB initialized at: " + path,
                             "[INFO] Opened new RocksDB connection for: " + path}));
  auto second = Make();
  EXPECT_EQ(log_.Take(), std::vector<std::string>{"[INFO] Reusing existing RocksDB connection for: " +
                                                  path + " (ref_count: 2)"});
  first->PushItem(index_, 1, Pattern(3, 1).data(), 3);
  EXPECT_EQ(OnlyRow(second->GetItem(index_, 1)), Pattern(3, 1));
  log_.Take();

  first.reset();
  EXPECT_EQ(log_.Take(), std::vector<std::string>{"[INFO] Released RocksDB connection for: " +
                                                  path + " (ref_count: 1)"});
  EXPECT_EQ(OnlyRow(second->GetItem(index_, 1)), Pattern(3, 1));  // still open
  log_.Take();
  second.reset();
  EXPECT_EQ(log_.Take(), (std::vector<std::string>{
                             "[INFO] Released RocksDB connection for: " + path + " (ref_count: 0)",
                             "[INFO] Closed RocksDB connection for: " + path}));

  RocksDBConnectionManager::Instance().ReleaseConnection(path);
  EXPECT_EQ(log_.Take(), std::vector<std::string>{
                             "[WARNING] Attempted to release non-existent RocksDB connection for: " +
                             path});
  // Closed folders open again.
  auto third = Make();
  EXPECT_EQ(log_.Count("[INFO] Opened new RocksDB connection for: " + path), 2u);
}

TEST_F(RocksDBKeystoreTest, OneFolderSpelledTwiceIsOneDatabase) {
  // Opening one folder twice would give it two writers that ignore each
  // other's files: the spellings must meet in one connection.
  const std::string folder = TestFolder();
  auto first = Make(BackingStoreType::INDEX, folder);
  log_.Take();
  auto second = Make(BackingStoreType::INDEX, folder + "/");
  EXPECT_EQ(second->db_path(), folder + "//index");
  EXPECT_EQ(log_.Take(), std::vector<std::string>{"[INFO] Reusing existing RocksDB connection for: " +
                                                  folder + "//index (ref_count: 2)"});
  first->PushItem(1, 2, Pattern(3, 1).data(), 3);
  EXPECT_EQ(OnlyRow(second->GetItem(1, 2)), Pattern(3, 1));
  second.reset();
  EXPECT_EQ(log_.Count("[INFO] Released RocksDB connection for: " + folder +
                       "//index (ref_count: 1)"),
            1u);
  EXPECT_EQ(OnlyRow(first->GetItem(1, 2)), Pattern(3, 1));
}

TEST_F(RocksDBKeystoreTest, ConstructionFailuresHoldNoConnection) {
  // A store folder whose database cannot be opened.
  const std::string folder = TestFolder();
  fs::create_directories(folder + "/index");
  std::ofstream(folder + "/index/CURRENT") << "MANIFEST-000099\n";
  const std::string text =
      ThrownText<std::runtime_error>([&] { Make(BackingStoreType::INDEX, folder); });
  EXPECT_TRUE(text.starts_with("Failed to open RocksDB: ")) << text;
  const std::vector<std::string> lines = log_.Take();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "[INFO] Opening RocksDB at: " + folder + "/index");
  EXPECT_EQ(lines[1], "[CRITICAL] Failed to open RocksDB at " + folder + "/index: " +
                          text.substr(std::string("Failed to open RocksDB: ").size()));
  EXPECT_EQ(lines[2], "[CRITICAL] Failed to initialize RocksDB: " + text);
  RocksDBConnectionManager::Instance().ReleaseConnection(folder + "/index");
  EXPECT_EQ(log_.Take(), std::vector<std::string>{
                             "[WARNING] Attempted to release non-existent RocksDB connection for: " +
                             folder + "/index"});

  // A data folder that cannot be made: the file system's exception, unlogged.
  const std::string file = folder + "/plain_file";
  std::ofstream(file) << "x";
  EXPECT_THROW(Make(BackingStoreType::INDEX, file), fs::filesystem_error);
  EXPECT_TRUE(log_.Take().empty());

  // An unknown store kind.
  EXPECT_EQ(ThrownText<std::runtime_error>(
                [&] { Make(static_cast<BackingStoreType>(6), folder); }),
            "Unknown BackingStoreType");
}

TEST_F(RocksDBKeystoreTest, FailuresCarryTheirExactTexts) {
  auto keystore = Make();
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { keystore->LoadConfigItem("never.nvs"); }),
            "Exception in LoadConfigItem: Config item not found");
  EXPECT_EQ(log_.Count("[WARNING] Config item not found in RocksDB"), 1u);
  EXPECT_EQ(log_.Count("[ERROR] Exception in LoadConfigItem: Config item not found"), 1u);
  EXPECT_FALSE(keystore->ConfigItemExists("never.nvs"));
  keystore->DeleteConfigItem("never.nvs");
  EXPECT_EQ(log_.Count("[INFO] Config item successfully deleted from RocksDB"), 1u);

  keystore->PushConfigItem("empty.nvs", nullptr, 0);
  EXPECT_TRUE(keystore->ConfigItemExists("empty.nvs"));
  EXPECT_TRUE(keystore->LoadConfigItem("empty.nvs").empty());

  EXPECT_TRUE(keystore->GetItem(index_, 99).empty());
  EXPECT_EQ(log_.Count("[WARNING] Key not found in RocksDB"), 1u);

  EXPECT_EQ(ThrownText<std::invalid_argument>([&] {
              keystore->BatchPushItemsImpl(index_, {1, 2}, Matrix({Pattern(12, 1), Pattern(12, 2)}));
            }),
            "Amount of data must be divisible by the size of each value");
  EXPECT_EQ(ThrownText<std::invalid_argument>([&] {
              keystore->BatchPushItemsImpl(index_, {1, 2}, Matrix({Pattern(8, 1)}));
            }),
            "Mismatch between number of keys and batch size");
  EXPECT_EQ(ThrownText<std::invalid_argument>(
                [&] { keystore->BatchPushVariableImpl(index_, {1, 2}, {Pattern(3, 1)}); }),
            "Mismatch between number of keys and batch size");
  EXPECT_EQ(keystore->GetTotalSize(index_), 0u);

  // A stored value shorter than the value size reads as a zero row.
  keystore->PushItem(index_, 5, Pattern(7, 5).data(), 7);
  keystore->PushItem(index_, 6, Pattern(8, 6).data(), 8);
  const auto rows = keystore->BatchGetItemsImpl(index_, {5, 6});
  EXPECT_EQ(RowOf(rows, 0), Bytes(8, 0));
  EXPECT_EQ(RowOf(rows, 1), Pattern(8, 6));

  keystore->SetValueSizeImpl(index_, 0);
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { keystore->BatchGetItemsImpl(index_, {5}); }),
            "Exception in BatchGetItems: Data size must be a multiple of the number of columns");
}

TEST_F(RocksDBKeystoreTest, VersionItemsOfAnotherLengthFailMapOperations) {
  auto keystore = Make(BackingStoreType::INDEX);
  const Bytes map = Pattern(10, 1);
  EXPECT_FALSE(keystore->PushMapImpl(index_, kMapKey, map.data(), map.size(), kVersionKey, 3));
  EXPECT_EQ(log_.Count("[WARNING] Version mismatch: expected 3, got 0"), 1u);
  EXPECT_EQ(keystore->GetTotalSize(index_), 0u);

  keystore->PushItem(index_, kVersionKey, Pattern(4, 2).data(), 4);
  EXPECT_EQ(ThrownText<std::runtime_error>([&] {
              keystore->PushMapImpl(index_, kMapKey, map.data(), map.size(), kVersionKey, 0);
            }),
            "Exception in PushMap: Failed to get version: OK");
  EXPECT_EQ(ThrownText<std::runtime_error>(
                [&] { keystore->GetMapImpl(index_, kMapKey, kVersionKey); }),
            "Failed to retrieve map from RocksDB: Failed to get version: OK");
  EXPECT_TRUE(keystore->GetItem(index_, kMapKey).empty());
}

TEST_F(RocksDBKeystoreTest, RepeatedKeysInOneBatchKeepTheLastValue) {
  auto keystore = Make();
  keystore->PushItem(index_, 8, Pattern(2, 8).data(), 2);
  keystore->BatchPushItemsImpl(index_, {5, 3, 5, 9, 5},
                               Matrix({Pattern(8, 1), Pattern(8, 2), Pattern(8, 3), Pattern(8, 4),
                                     Pattern(8, 5)}));
  const auto rows = keystore->BatchGetItemsImpl(index_, {5, 3, 9});
  EXPECT_EQ(RowOf(rows, 0), Pattern(8, 5));
  EXPECT_EQ(RowOf(rows, 1), Pattern(8, 2));
  EXPECT_EQ(RowOf(rows, 2), Pattern(8, 4));

  // Empty variable values are skipped: key 8 keeps its earlier value.
  keystore->BatchPushVariableImpl(index_, {7, 8, 9, 7},
                                  {Pattern(3, 1), Bytes{}, Pattern(3, 2), Pattern(2, 3)});
  const auto values = keystore->BatchGetVariableImpl(index_, {7, 8, 9});
  EXPECT_EQ(values[0], Pattern(2, 3));
  EXPECT_EQ(values[1], Pattern(2, 8));
  EXPECT_EQ(values[2], Pattern(3, 2));
}

TEST_F(RocksDBKeystoreTest, ScansFollowStoredByteOrderAndStayInsideTheirIndex) {
  auto keystore = Make();
  keystore->BatchPushVariableImpl(index_, {3, 1, 256}, {Pattern(1, 1), Pattern(1, 2), Pattern(1, 3)});
  EXPECT_EQ(keystore->GetAllKeys(index_), (std::vector<uint64_t>{256, 1, 3}));
  EXPECT_EQ(keystore->GetTotalSize(index_), 3u);
  keystore->PushConfigItem("beside.nvs", Pattern(3, 1).data(), 3);

  // Indexes whose prefix ends in 0xFF bytes, up to all of them: the scans and
  // the compaction of a deletion must find their end without wrapping.
  const uint64_t store = static_cast<uint64_t>(BackingStoreType::VECTORS);
  for (uint64_t hashed : {0x00000000000000FFull, 0x01000000000000FFull, 0x00FFFFFFFFFFFFFFull,
                          0xFFFFFFFFFFFFFFFFull}) {
    SCOPED_TRACE(hashed);
    const uint64_t index = hashed - store;
    const uint64_t neighbour = hashed + 1 - store;  // the next hashed name, wrapping
    keystore->BatchPushVariableImpl(index, {1, 2}, {Pattern(4, 1), Pattern(4, 2)});
    keystore->BatchPushVariableImpl(neighbour, {7}, {Pattern(4, 7)});
    EXPECT_EQ(keystore->GetAllKeys(index), (std::vector<uint64_t>{1, 2}));
    log_.Take();
    keystore->DeleteIndexImpl(index);
    const std::vector<std::string> lines = log_.Take();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "[INFO] Compaction completed after index deletion"),
              1);
    EXPECT_EQ(keystore->GetTotalSize(index), 0u);
    EXPECT_EQ(keystore->GetAllKeys(neighbour), std::vector<uint64_t>{7});
    keystore->DeleteIndexImpl(neighbour);
  }
  EXPECT_EQ(keystore->GetTotalSize(index_), 3u);
  EXPECT_TRUE(keystore->ConfigItemExists("beside.nvs"));

  // An index without items: the compaction still runs, with all three lines.
  log_.Take();
  keystore->DeleteIndexImpl(index_ + 1000);
  EXPECT_EQ(log_.Take(), (std::vector<std::string>{
                             "[INFO] Deleting index data from RocksDB",
                             "[INFO] Compaction completed after index deletion",
                             "[INFO] Index data successfully deleted from RocksDB"}));
}

TEST_F(RocksDBKeystoreTest, DeleteIndexAlsoClearsTheAttachedCache) {
  auto keystore = Make(BackingStoreType::CONTENTS);
  keystore->EnableCache();
  ASSERT_NE(keystore->GetCache(), nullptr);
  keystore->BatchPushVariable(index_, {1, 2}, {Pattern(3, 1), Pattern(3, 2)});
  ASSERT_EQ(keystore->GetCache()->GetTotalSize(index_), 2u);
  keystore->DeleteIndexImpl(index_);
  EXPECT_EQ(keystore->GetTotalSize(index_), 0u);
  EXPECT_EQ(keystore->GetCache()->GetTotalSize(index_), 0u);
}

// Eight clients, each with its own keystore object, count up one shared
// counter through compare-and-set with retries: every accepted push must have
// read the newest map, so the counter, the accepted pushes and the version
// all agree. A map read apart from its version would lose increments.
TEST_F(RocksDBKeystoreTest, RacingCompareAndSetsLoseNoIncrement) {
  constexpr int kThreads = 8;
  constexpr int kIncrementsEach = 40;
  std::vector<std::unique_ptr<RocksDBKeystore>> keystores;
  for (int t = 0; t < kThreads; ++t) keystores.push_back(Make(BackingStoreType::INDEX));

  std::atomic<int> accepted{0};
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      RocksDBKeystore& keystore = *keystores[t];
      start.arrive_and_wait();
      for (int done = 0; done < kIncrementsEach;) {
        const VersionedMap current = keystore.GetMapImpl(index_, kMapKey, kVersionKey);
        const uint64_t counter =
            current.map.empty() ? 0 : nivora::LoadLittleEndian<uint64_t>(current.map.data);
        uint8_t next[8];
        nivora::StoreLittleEndian(counter + 1, next);
        if (keystore.PushMapImpl(index_, kMapKey, next, sizeof next, kVersionKey,
                                 current.version)) {
          ++accepted;
          ++done;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const VersionedMap final_map = keystores[0]->GetMapImpl(index_, kMapKey, kVersionKey);
  ASSERT_EQ(final_map.map.cols, 8u);
  EXPECT_EQ(accepted.load(), kThreads * kIncrementsEach);
  EXPECT_EQ(nivora::LoadLittleEndian<uint64_t>(final_map.map.data),
            static_cast<uint64_t>(accepted.load()));
  EXPECT_EQ(final_map.version, static_cast<uint64_t>(accepted.load()));
}

TEST_F(RocksDBKeystoreTest, AHeldVersionLockMakesAPushFailAfterTheTimeout) {
  auto keystore = Make(BackingStoreType::INDEX);
  const Bytes map = Pattern(10, 1);
  ASSERT_TRUE(keystore->PushMapImpl(index_, kMapKey, map.data(), map.size(), kVersionKey, 0));

  // Another holder of the same database locks the version key.
  RocksDBConnectionLease other(keystore->db_path());
  std::unique_ptr<rocksdb::Transaction> holder(other.db()->BeginTransaction({}));
  std::string version;
  ASSERT_TRUE(holder->GetForUpdate({}, keystore->CreateKey(index_, kVersionKey), &version).ok());

  const std::string text = ThrownText<std::runtime_error>([&] {
    keystore->PushMapImpl(index_, kMapKey, map.data(), map.size(), kVersionKey, 1);
  });
  EXPECT_TRUE(text.starts_with("Exception in PushMap: Failed to get version: ")) << text;
  EXPECT_NE(text.find("timed out"), std::string::npos) << text;
  EXPECT_EQ(keystore->GetMapImpl(index_, kMapKey, kVersionKey).version, 1u);

  ASSERT_TRUE(holder->Rollback().ok());
  EXPECT_TRUE(keystore->PushMapImpl(index_, kMapKey, map.data(), map.size(), kVersionKey, 1));
  EXPECT_EQ(keystore->GetMapImpl(index_, kMapKey, kVersionKey).version, 2u);
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
