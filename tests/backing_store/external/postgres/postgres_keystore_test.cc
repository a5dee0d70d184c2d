// PostgresKeystore: construction and tables, and the item operations as the
// tables see them.
#include "backing_store/external/postgres/postgres_keystore.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <functional>
#include <thread>

#include "backing_store/byte_rows.h"
#include "backing_store/external/postgres/postgres_tables.h"
#include "backing_store/log_capture.h"
#include "postgres_test_support.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::StartsWith;

Bytes Pattern(size_t length, uint8_t seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed * 13 + i * 5 + 1);
  return bytes;
}

class PostgresKeystoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<PostgresKeystore> Make(const std::string& table,
                                         BackingStoreType type = BackingStoreType::VECTORS) {
    return std::make_unique<PostgresKeystore>(PostgresConfig(table), type);
  }
  bool TableExists(const std::string& name) {
    return raw_.Scalar("SELECT EXISTS (SELECT FROM information_schema.tables WHERE table_schema "
                       "= 'public' AND table_name = '" + name + "')") == "t";
  }

  LogCapture log_;
  RawConnection raw_;
  const uint64_t index_ = 0x1234567890ABCDEFull;
};

TEST_F(PostgresKeystoreTest, MissingSettingsAndBadTableNamesAreRefusedBeforeConnecting) {
  // Nothing listens here: an attempt to connect would give another error.
  const std::string nowhere = "host=127.0.0.1 port=1 connect_timeout=2";
  const std::string missing = "Invalid DBConfig: missing db_connection_string or table_name.";
  EXPECT_EQ(MessageOf<std::invalid_argument>([&] {
              PostgresKeystore(nivora::DBConfig(nivora::Location::POSTGRES, "t", std::nullopt),
                               BackingStoreType::INDEX);
            }),
            missing);
  EXPECT_EQ(MessageOf<std::invalid_argument>([&] {
              PostgresKeystore(nivora::DBConfig(nivora::Location::POSTGRES, std::nullopt, nowhere),
                               BackingStoreType::INDEX);
            }),
            missing);

  const std::string refused[] = {"",      "1table", "a-b",  "a b",  "items; DROP TABLE x",
                                 "t\"x",  "t'x",    "caf\xc3\xa9", "x.y", std::string(64, 'a')};
  for (const std::string& name : refused) {
    for (BackingStoreType type : {BackingStoreType::CONFIG, BackingStoreType::INDEX}) {
      EXPECT_THAT(MessageOf<std::invalid_argument>([&] {
                    PostgresKeystore(nivora::DBConfig(nivora::Location::POSTGRES, name, nowhere),
                                     type);
                  }),
                  StartsWith("Invalid table_name"))
          << name;
    }
  }
}

TEST_F(PostgresKeystoreTest, UnreachableServerFailsWithLibpqsDescription) {
  nivora::DBConfig config(nivora::Location::POSTGRES, "t",
                          "host=127.0.0.1 port=1 connect_timeout=2");
  const std::string message = MessageOf<std::runtime_error>(
      [&] { Keystore::CreateKeystore(config, BackingStoreType::INDEX); });
  EXPECT_THAT(message, StartsWith("Postgres connection error: "));
  EXPECT_THAT(message, HasSubstr("127.0.0.1"));
  const auto lines = log_.Lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.starts_with("[CRITICAL] Failed to create keystore: Postgres connection error: ");
  }));
}

TEST_F(PostgresKeystoreTest, TablesAreCreatedOnceAndFoundByTheirFoldedName) {
  // Accepted names: the longest identifier, and upper-case letters, which the
  // server folds to lower case.
  const std::string names[] = {"_Items_" + std::to_string(::getpid()),
                               "t" + std::string(62, 'x'), "Mixed_Case_Config"};
  for (const std::string& name : names) {
    const std::string folded = [&] {
      std::string s = name;
      for (char& c : s) c = static_cast<char>(std::tolower(c));
      return s;
    }();
    const BackingStoreType type =
        name.ends_with("Config") ? BackingStoreType::CONFIG : BackingStoreType::INDEX;
    raw_.Query("DROP TABLE IF EXISTS " + name);
    Make(name, type);
    EXPECT_TRUE(TableExists(folded)) << name;
    log_.Take();
    Make(name, type);  // found: neither created again nor reported as existing
    for (const std::string& line : log_.Take()) {
      EXPECT_THAT(line, ::testing::Not(HasSubstr("already exists"))) << name;
    }
    raw_.Query("DROP TABLE " + name);
  }
}

TEST_F(PostgresKeystoreTest, ATableOfTheSameNameInAnotherSchemaIsNotOurs) {
  const std::string name = UniqueTableName("elsewhere");
  raw_.Query("CREATE SCHEMA IF NOT EXISTS other_schema");
  raw_.Query("CREATE TABLE other_schema." + name + " (unrelated INT)");
  auto keystore = Make(name);
  EXPECT_TRUE(TableExists(name));
  const Bytes value = Pattern(8, 1);
  keystore->PushItem(index_, 1, value.data(), value.size());
  EXPECT_EQ(keystore->GetTotalSize(index_), 1u);
}

TEST_F(PostgresKeystoreTest, TableCreatedMeanwhileWithOtherColumnTypesFailsTheSchemaCheck) {
  const std::string name = UniqueTableName("raced");
  raw_.Query("CREATE TABLE " + name + " (key BIGINT, value BYTEA, index_name BIGINT)");
  log_.Take();
  PgSession session(*PostgresConfig(name).db_connection_string, "");
  EXPECT_EQ(MessageOf<std::runtime_error>([&] { CreatePostgresTable(session, name); }),
            "Table " + name + " exists but does not match the expected schema.");
  EXPECT_THAT(log_.Take(), Contains("[WARNING] Table " + name + " already exists."));

  // A matching table created meanwhile passes.
  const std::string good = UniqueTableName("raced_config");
  raw_.Query("CREATE TABLE " + good + " (index_name VARCHAR(255) PRIMARY KEY, config BYTEA)");
  EXPECT_NO_THROW(CreateConfigTable(session, good));
}

TEST_F(PostgresKeystoreTest, OneTableNeverServesAsBothItemAndConfigTable) {
  for (const auto& [first, second] :
       {std::pair(BackingStoreType::CONFIG, BackingStoreType::INDEX),
        std::pair(BackingStoreType::VECTORS, BackingStoreType::CONFIG)}) {
    const std::string name = UniqueTableName("one_kind");
    Make(name, first);
    EXPECT_EQ(MessageOf<std::runtime_error>([&] { Make(name, second); }),
              "Table " + name + " exists but does not match the expected schema.");
  }
}

TEST_F(PostgresKeystoreTest, RepeatedKeyInOneBatchStoresItsLastValue) {
  const std::string name = UniqueTableName("repeated");
  auto keystore = Make(name);
  keystore->BatchPushItemsImpl(index_, {5, 7, 5},
                               Matrix({Pattern(8, 1), Pattern(8, 2), Pattern(8, 3)}));
  keystore->BatchPushVariableImpl(index_, {9, 9}, {Pattern(3, 4), Pattern(5, 5)});
  EXPECT_EQ(raw_.Scalar("SELECT COUNT(*) FROM " + name), "3");
  const auto rows = keystore->BatchGetItemsImpl(index_, {5, 7});
  EXPECT_EQ(RowOf(rows, 0), Pattern(8, 3));
  EXPECT_EQ(RowOf(rows, 1), Pattern(8, 2));
  EXPECT_EQ(keystore->BatchGetVariableImpl(index_, {9})[0], Pattern(5, 5));
}

TEST_F(PostgresKeystoreTest, RowsCarryDecimalKeysAndStoreNumbersWithBit63Cleared) {
  const std::string name = UniqueTableName("encoding");
  auto keystore = Make(name, BackingStoreType::VECTORS);
  const uint64_t high = 0x8000000000000005ull;
  const Bytes value = Pattern(8, 1);
  keystore->PushItem(high, 0xFFFFFFFFFFFFFFFFull, value.data(), value.size());
  // (index + VECTORS) with the top bit cleared: 5 + 3.
  EXPECT_EQ(raw_.Scalar("SELECT index_name FROM " + name), "8");
  EXPECT_EQ(raw_.Scalar("SELECT key FROM " + name), "18446744073709551615");
  EXPECT_EQ(raw_.Bytes("SELECT value FROM " + name), value);
  // Index ids that differ only in the top bit share their rows.
  EXPECT_EQ(RowOf(keystore->GetItem(5, 0xFFFFFFFFFFFFFFFFull), 0), value);
}

// Records, for every row inserted into `table`, the statement and transaction
// it came in; refuses the key `refused`.
void InstallInsertProbe(RawConnection& raw, const std::string& table, uint64_t refused) {
  raw.Query("CREATE TABLE " + table + "_probe (stmt TIMESTAMPTZ, tx BIGINT)");
  raw.Query("CREATE FUNCTION " + table + "_note() RETURNS trigger AS $$ BEGIN IF NEW.key = '" +
            std::to_string(refused) +
            "' THEN RAISE EXCEPTION 'refused key'; END IF; INSERT INTO " + table +
            "_probe VALUES (statement_timestamp(), txid_current()); RETURN NEW; END $$ LANGUAGE "
            "plpgsql");
  raw.Query("CREATE TRIGGER " + table + "_probe BEFORE INSERT ON " + table +
            " FOR EACH ROW EXECUTE FUNCTION " + table + "_note()");
}

TEST_F(PostgresKeystoreTest, LargeBatchTravelsAsStatementsOfAThousandInOneTransaction) {
  const std::string name = UniqueTableName("groups");
  auto keystore = Make(name);
  constexpr uint64_t kRefused = 999999999;
  InstallInsertProbe(raw_, name, kRefused);
  std::vector<uint64_t> keys(2500);
  std::vector<Bytes> values(2500);
  for (size_t i = 0; i < keys.size(); ++i) {
    keys[i] = 1000 + i;
    values[i] = Pattern(8, static_cast<uint8_t>(i));
  }
  keystore->BatchPushItemsImpl(index_, keys, Matrix(values));
  auto groups = raw_.Query("SELECT COUNT(*) FROM " + name +
                           "_probe GROUP BY stmt ORDER BY MIN(stmt)");
  ASSERT_EQ(PQntuples(groups.get()), 3);
  EXPECT_STREQ(PQgetvalue(groups.get(), 0, 0), "1000");
  EXPECT_STREQ(PQgetvalue(groups.get(), 1, 0), "1000");
  EXPECT_STREQ(PQgetvalue(groups.get(), 2, 0), "500");
  EXPECT_EQ(raw_.Scalar("SELECT COUNT(DISTINCT tx) FROM " + name + "_probe"), "1");

  // A failure in the third statement stores none of the 2500 rows.
  raw_.Query("DELETE FROM " + name);
  raw_.Query("DELETE FROM " + name + "_probe");
  keys.back() = kRefused;
  log_.Take();
  const std::string message = MessageOf<std::runtime_error>(
      [&] { keystore->BatchPushItemsImpl(index_, keys, Matrix(values)); });
  EXPECT_THAT(message, StartsWith("Error executing Batch Push. Rolling back transaction: "
                                  "Postgres query execution failed: "));
  EXPECT_THAT(message, HasSubstr("refused key"));
  // One failure, one line.
  const auto lines = log_.Take();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.starts_with("[ERROR]"); }),
            1);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.starts_with("[ERROR] Postgres query execution failed: ") &&
           line.find("refused key") != std::string::npos;
  }));
  EXPECT_EQ(raw_.Scalar("SELECT COUNT(*) FROM " + name), "0");
  EXPECT_EQ(keystore->GetTotalSize(index_), 0u);
  // The connection is out of the failed transaction: the next push works.
  keystore->BatchPushItemsImpl(index_, {1}, Matrix({Pattern(8, 1)}));
  EXPECT_EQ(keystore->GetTotalSize(index_), 1u);
}

TEST_F(PostgresKeystoreTest, ReadsFollowTheRequestedKeys) {
  const std::string name = UniqueTableName("reads");
  auto keystore = Make(name);
  keystore->BatchPushVariableImpl(index_, {3, 4}, {Pattern(8, 3), Pattern(8, 4)});
  // An empty value leaves the stored one in place.
  keystore->BatchPushVariableImpl(index_, {4}, {Bytes{}});
  const auto fixed = keystore->BatchGetItemsImpl(index_, {3, 9, 3, 4});
  ASSERT_EQ(fixed.rows, 4u);
  EXPECT_EQ(RowOf(fixed, 0), Pattern(8, 3));
  EXPECT_EQ(RowOf(fixed, 1), Bytes(8, 0));
  EXPECT_EQ(RowOf(fixed, 2), Pattern(8, 3));
  EXPECT_EQ(RowOf(fixed, 3), Pattern(8, 4));
  const auto variable = keystore->BatchGetVariableImpl(index_, {3, 9, 3});
  EXPECT_EQ(variable, (std::vector<Bytes>{Pattern(8, 3), {}, Pattern(8, 3)}));

  // A zero-byte item is stored, and reads like an absent one.
  keystore->PushItem(index_, 11, nullptr, 0);
  EXPECT_EQ(raw_.Scalar("SELECT length(value) FROM " + name + " WHERE key = '11'"), "0");
  EXPECT_TRUE(keystore->GetItem(index_, 11).empty());

  keystore->SetValueSizeImpl(index_, 0);
  EXPECT_THROW(keystore->BatchGetItemsImpl(index_, {3}), std::invalid_argument);
}

// Ends every other client session of the test database (the keystore's).
void TerminateOtherSessions(RawConnection& raw) {
  raw.Query("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE pid <> "
            "pg_backend_pid() AND backend_type = 'client backend' AND datname = "
            "current_database()");
}

TEST_F(PostgresKeystoreTest, ASessionEndedWhileIdleIsOpenedAgainBeforeTheNextOperation) {
  const std::string name = UniqueTableName("lost");
  auto keystore = Make(name, BackingStoreType::INDEX);
  const Bytes value = Pattern(8, 1);
  keystore->PushItem(index_, 1, value.data(), value.size());
  ASSERT_TRUE(keystore->PushMapImpl(index_, 7, value.data(), value.size(), 42, 0));
  log_.Take();
  // Tests run one after another: the keystore's is the only other session.
  TerminateOtherSessions(raw_);
  EXPECT_EQ(keystore->GetItem(index_, 1).cols, value.size());
  EXPECT_TRUE(keystore->PushMapImpl(index_, 7, value.data(), value.size(), 42, 1));
  TerminateOtherSessions(raw_);
  EXPECT_EQ(keystore->GetMapImpl(index_, 7, 42).version, 2u);
  EXPECT_EQ(log_.Count("[INFO] Reconnected to PostgreSQL"), 2u);
}

TEST_F(PostgresKeystoreTest, ASessionEndedMidStatementFailsThatOperationWithTheCause) {
  const std::string name = UniqueTableName("cut");
  auto keystore = Make(name, BackingStoreType::INDEX);
  const Bytes value = Pattern(8, 1);
  keystore->PushItem(index_, 1, value.data(), value.size());
  // The keystore's read waits for the table lock held here, until its
  // session is ended.
  RawConnection holder;
  holder.Query("BEGIN");
  holder.Query("LOCK TABLE " + name + " IN ACCESS EXCLUSIVE MODE");
  log_.Take();
  std::string failure;
  std::thread reader([&] {
    failure = MessageOf<std::runtime_error>([&] { keystore->GetItem(index_, 1); });
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (raw_.Scalar("SELECT COUNT(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' AND "
                     "query LIKE 'SELECT value FROM " + name + "%'") != "1" &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  raw_.Query("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE "
             "wait_event_type = 'Lock' AND query LIKE 'SELECT value FROM " + name + "%'");
  reader.join();
  holder.Query("COMMIT");
  EXPECT_THAT(failure, StartsWith("Postgres get_item error: connection lost: "));
  EXPECT_THAT(failure, HasSubstr("terminating connection due to administrator command"));
  EXPECT_EQ(failure.find('\n'), std::string::npos);
  // One line, below the default level: the caller reports what is thrown.
  const auto lines = log_.Take();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.starts_with("[ERROR]") || line.starts_with("[CRITICAL]");
                          }),
            0)
      << ::testing::PrintToString(lines);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.starts_with("[WARNING] Postgres get_item error: "
                                                    "connection lost: ");
                          }),
            1)
      << ::testing::PrintToString(lines);
  // The next operation opens a new session.
  EXPECT_EQ(keystore->GetItem(index_, 1).cols, value.size());
}

TEST_F(PostgresKeystoreTest, OneKeystoreServesSeveralThreadsAtOnce) {
  const std::string name = UniqueTableName("shared");
  auto keystore = Make(name);
  constexpr int kThreads = 6;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        for (uint64_t round = 0; round < 20; ++round) {
          const uint64_t key = static_cast<uint64_t>(t) * 1000 + round;
          const Bytes value = Pattern(8, static_cast<uint8_t>(key));
          keystore->BatchPushVariableImpl(index_, {key}, {value});
          if (keystore->BatchGetVariableImpl(index_, {key})[0] != value) ++failures;
          if (RowOf(keystore->GetItem(index_, key), 0) != value) ++failures;
        }
      } catch (const std::exception&) {
        ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(keystore->GetTotalSize(index_), size_t{kThreads * 20});
}

TEST_F(PostgresKeystoreTest, DeleteIndexOnAConfigTableKeepsItsItems) {
  const std::string name = UniqueTableName("config_delete");
  auto keystore = Make(name, BackingStoreType::CONFIG);
  const Bytes value = Pattern(4, 1);
  keystore->PushConfigItem("idx.nvs", value.data(), value.size());
  log_.Take();
  keystore->DeleteIndexImpl(index_);
  const auto lines = log_.Take();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.starts_with("[WARNING] Note: Failed to delete index numeric representation: ");
  }));
  EXPECT_TRUE(keystore->ConfigItemExists("idx.nvs"));
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
