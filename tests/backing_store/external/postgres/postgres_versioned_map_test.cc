// PostgresKeystore: the versioned map's compare-and-set, its lock and its
// failure paths.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <thread>

#include "backing_store/external/postgres/postgres_keystore.h"
#include "backing_store/item_bytes.h"
#include "backing_store/log_capture.h"
#include "postgres_test_support.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

using ::testing::Contains;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kMapKey = 0xFFFFFFFFFFFFFFFFull;
constexpr uint64_t kVersionKey = 42;

Bytes VersionBytes(uint64_t version) {
  const auto bytes = EncodeVersion(version);
  return Bytes(bytes.begin(), bytes.end());
}

Bytes OnlyRow(const nivora::Array2D<unsigned char>& m) {
  return m.empty() ? Bytes{} : Bytes(m.row(0), m.row(0) + m.cols);
}

class PostgresVersionedMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table_ = UniqueTableName("map");
    keystore_ = Make();
  }
  std::unique_ptr<PostgresKeystore> Make(const std::string& database = "postgres") {
    return std::make_unique<PostgresKeystore>(PostgresConfig(table_, database),
                                              BackingStoreType::INDEX);
  }
  // The stored bytes under `key` of index_'s INDEX store.
  Bytes Stored(uint64_t key) {
    return raw_.Bytes("SELECT value FROM " + table_ + " WHERE key = '" + std::to_string(key) +
                      "' AND index_name = " + std::to_string(index_) );
  }
  bool Push(const Bytes& map, uint64_t expected) {
    return keystore_->PushMapImpl(index_, kMapKey, map.data(), map.size(), kVersionKey, expected);
  }

  LogCapture log_;
  RawConnection raw_;
  std::string table_;
  std::unique_ptr<PostgresKeystore> keystore_;
  const uint64_t index_ = 1000;  // store number 1000 (INDEX is code 0)
};

TEST_F(PostgresVersionedMapTest, CompareAndSetWritesLittleEndianVersions) {
  const Bytes first = {1, 2, 3}, second = {4, 5}, third = {6};
  EXPECT_FALSE(Push(first, 5));  // no version row: only expected 0 matches
  EXPECT_TRUE(Stored(kMapKey).empty());

  log_.Take();
  EXPECT_TRUE(Push(first, 0));
  EXPECT_EQ(Stored(kVersionKey), (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Stored(kMapKey), first);
  EXPECT_THAT(log_.Take(), Contains("[INFO] Map and version successfully updated to version 1"));

  EXPECT_FALSE(Push(second, 0));
  const auto lines = log_.Take();
  EXPECT_THAT(lines, Contains("[WARNING] Version mismatch detected: expected 0"));
  EXPECT_THAT(lines, Contains("[WARNING] Version check failed, no update performed. Expected: 0"));
  EXPECT_EQ(Stored(kMapKey), first);

  EXPECT_TRUE(Push(third, 1));
  EXPECT_EQ(Stored(kVersionKey), VersionBytes(2));
  const VersionedMap read = keystore_->GetMapImpl(index_, kMapKey, kVersionKey);
  EXPECT_EQ(OnlyRow(read.map), third);
  EXPECT_EQ(read.version, 2u);
}

TEST_F(PostgresVersionedMapTest, ShortOrAbsentVersionRowsReadAsVersionZero) {
  VersionedMap absent = keystore_->GetMapImpl(index_, kMapKey, kVersionKey);
  EXPECT_TRUE(absent.map.empty());
  EXPECT_EQ(absent.version, 0u);

  raw_.Query("INSERT INTO " + table_ + " VALUES ('42', '\\x010203'::bytea, " +
             std::to_string(index_) + ")");
  EXPECT_EQ(keystore_->GetMapImpl(index_, kMapKey, kVersionKey).version, 0u);
  // The short row is not 8 zero bytes either, so expected 0 does not match it.
  EXPECT_FALSE(Push(Bytes{1}, 0));
}

TEST_F(PostgresVersionedMapTest, FailedStatementRollsBackTheMapWrite) {
  // The version row's insert is refused after the map row went in within the
  // same statement: neither may stay.
  raw_.Query("CREATE FUNCTION " + table_ +
             "_refuse() RETURNS trigger AS $$ BEGIN IF NEW.key = '42' THEN RAISE EXCEPTION "
             "'no version'; END IF; RETURN NEW; END $$ LANGUAGE plpgsql");
  raw_.Query("CREATE TRIGGER " + table_ + "_refuse BEFORE INSERT ON " + table_ +
             " FOR EACH ROW EXECUTE FUNCTION " + table_ + "_refuse()");
  log_.Take();
  EXPECT_THAT(MessageOf<std::runtime_error>([&] { Push(Bytes{9, 9}, 0); }),
              ::testing::StartsWith("Failed to update map: Failed to execute atomic update: "));
  const auto lines = log_.Take();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.starts_with("[ERROR] Failed to update map: Failed to execute atomic update: ");
  }));
  EXPECT_TRUE(Stored(kMapKey).empty());

  // The connection is usable again at once.
  raw_.Query("DROP TRIGGER " + table_ + "_refuse ON " + table_);
  EXPECT_TRUE(Push(Bytes{9, 9}, 0));
}

TEST_F(PostgresVersionedMapTest, PushGivesUpAfterThreeSecondsWhileAnotherHoldsTheLock) {
  // A database of its own, so that holding lock 42 stalls no other test.
  const std::string database = UniqueTableName("lock_timeout_db");
  TestServer().CreateDatabase(database);
  auto keystore = Make(database);
  RawConnection holder(database);
  holder.Query("BEGIN");
  holder.Query("SELECT pg_advisory_xact_lock(42)");

  log_.Take();
  const Bytes map = {1};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(keystore->PushMapImpl(index_, kMapKey, map.data(), map.size(), kVersionKey, 0));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(2900));
  EXPECT_LT(waited, std::chrono::seconds(20));
  // Contention, not an error: a refusal the caller retries.
  EXPECT_THAT(log_.Take(), ::testing::Contains("[WARNING] Timed out waiting for the map lock"));

  holder.Query("COMMIT");
  EXPECT_TRUE(keystore->PushMapImpl(index_, kMapKey, map.data(), map.size(), kVersionKey, 0));
}

TEST_F(PostgresVersionedMapTest, EightConnectionsCountingTogetherLoseNoIncrement) {
  constexpr int kThreads = 8;
  constexpr int kIncrements = 25;
  std::vector<std::unique_ptr<PostgresKeystore>> keystores;
  for (int t = 0; t < kThreads; ++t) keystores.push_back(Make());
  std::atomic<int> failures{0};
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      PostgresKeystore& keystore = *keystores[t];
      start.arrive_and_wait();
      for (int i = 0; i < kIncrements; ++i) {
        for (int attempt = 0;; ++attempt) {
          if (attempt == 1000) {
            ++failures;
            return;
          }
          const VersionedMap current = keystore.GetMapImpl(index_, kMapKey, kVersionKey);
          const uint64_t count = current.map.empty() ? 0 : DecodeVersion(current.map.data);
          const auto next = EncodeVersion(count + 1);
          if (keystore.PushMapImpl(index_, kMapKey, next.data(), next.size(), kVersionKey,
                                   current.version)) {
            break;
          }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  const VersionedMap result = keystore_->GetMapImpl(index_, kMapKey, kVersionKey);
  EXPECT_EQ(result.version, uint64_t{kThreads * kIncrements});
  ASSERT_EQ(result.map.cols, 8u);
  EXPECT_EQ(DecodeVersion(result.map.data), uint64_t{kThreads * kIncrements});
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
