// PostgresKeystore's config items and ListPostgresIndexes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "backing_store/external/postgres/postgres_index_listing.h"
#include "backing_store/external/postgres/postgres_keystore.h"
#include "backing_store/log_capture.h"
#include "postgres_test_support.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::StartsWith;

std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

class PostgresConfigTest : public ::testing::Test {
 protected:
  std::unique_ptr<PostgresKeystore> Make(const std::string& table, BackingStoreType type) {
    return std::make_unique<PostgresKeystore>(PostgresConfig(table), type);
  }
  void Put(PostgresKeystore& keystore, const std::string& name) {
    const uint8_t byte = 7;
    keystore.PushConfigItem(name, &byte, 1);
  }

  LogCapture log_;
};

TEST_F(PostgresConfigTest, ConfigOperationsOnAnItemStoreAreRefused) {
  auto items = Make(UniqueTableName("items"), BackingStoreType::METADATA);
  const uint8_t byte = 1;
  EXPECT_EQ(MessageOf<std::invalid_argument>([&] { items->PushConfigItem("a.nvs", &byte, 1); }),
            "Cannot store config items in a non-config keystore");
  EXPECT_EQ(MessageOf<std::invalid_argument>([&] { items->DeleteConfigItem("a.nvs"); }),
            "Cannot delete config items in a non-config keystore");
  EXPECT_THAT(MessageOf<std::runtime_error>([&] { items->ConfigItemExists("a.nvs"); }),
              StartsWith("PostgreSQL query error: "));
  EXPECT_THAT(MessageOf<std::runtime_error>([&] { items->LoadConfigItem("a.nvs"); }),
              StartsWith("Postgres get_item error: "));
}

TEST_F(PostgresConfigTest, MissingConfigItemNamesTheIndex) {
  auto config = Make(UniqueTableName("config"), BackingStoreType::CONFIG);
  log_.Take();
  EXPECT_EQ(MessageOf<std::runtime_error>([&] { config->LoadConfigItem("idx.nvs"); }),
            "Index name 'idx' does not exist in Postgres.");
  EXPECT_THAT(log_.Take(), Contains("[ERROR] Index name 'idx.nvs' does not exist in Postgres."));
  EXPECT_EQ(MessageOf<std::runtime_error>([&] { config->LoadConfigItem("ab"); }),
            "Index name 'ab' does not exist in Postgres.");

  // Names travel as parameters: quotes and the like are plain characters.
  const std::string odd = "it's; DROP TABLE x; --.nvs";
  Put(*config, odd);
  EXPECT_TRUE(config->ConfigItemExists(odd));
  EXPECT_EQ(config->LoadConfigItem(odd).cols, 1u);
}

TEST_F(PostgresConfigTest, ListingKeepsIndexStatesOnly) {
  const std::string table = UniqueTableName("listing");
  auto config = Make(table, BackingStoreType::CONFIG);
  for (const char* name : {"a.nvs", "a.nei", ".nvs", "b.nvs", "c.nvs.bak"}) Put(*config, name);
  EXPECT_EQ(Sorted(ListPostgresIndexes(PostgresConfig(table))),
            (std::vector<std::string>{"a", "b"}));
  const std::string empty = UniqueTableName("empty_listing");
  Make(empty, BackingStoreType::CONFIG);
  EXPECT_TRUE(ListPostgresIndexes(PostgresConfig(empty)).empty());
}

TEST_F(PostgresConfigTest, ListingFindsAMixedCaseTableAsTheKeystoreCreatedIt) {
  RawConnection raw;
  raw.Query("DROP TABLE IF EXISTS Listing_MixedCase");
  auto config = Make("Listing_MixedCase", BackingStoreType::CONFIG);
  Put(*config, "upper.nvs");
  EXPECT_THAT(ListPostgresIndexes(PostgresConfig("Listing_MixedCase")), ElementsAre("upper"));
  EXPECT_THAT(ListPostgresIndexes(PostgresConfig("listing_mixedcase")), ElementsAre("upper"));
}

TEST_F(PostgresConfigTest, ListingFailures) {
  const std::string nowhere = "host=127.0.0.1 port=1 connect_timeout=2";
  EXPECT_EQ(MessageOf<std::invalid_argument>([&] {
              ListPostgresIndexes(nivora::DBConfig(nivora::Location::POSTGRES, std::nullopt,
                                                   nowhere));
            }),
            "table_name is not set in DBConfig.");
  EXPECT_EQ(MessageOf<std::invalid_argument>([&] {
              ListPostgresIndexes(nivora::DBConfig(nivora::Location::POSTGRES, "t", std::nullopt));
            }),
            "Database connection string is missing in the configuration.");
  const std::vector<std::string> refused = {"", "9lives", "a;b", "x\"y", std::string(64, 'q')};
  for (const std::string& name : refused) {
    EXPECT_THAT(MessageOf<std::invalid_argument>([&] {
                  ListPostgresIndexes(nivora::DBConfig(nivora::Location::POSTGRES, name, nowhere));
                }),
                StartsWith("Invalid table_name"))
        << name;
  }
  EXPECT_THAT(MessageOf<std::runtime_error>([&] {
                ListPostgresIndexes(nivora::DBConfig(nivora::Location::POSTGRES, "t", nowhere));
              }),
              StartsWith("Failed to connect to PostgreSQL: "));
  EXPECT_THAT(MessageOf<std::runtime_error>(
                  [&] { ListPostgresIndexes(PostgresConfig("never_created_table")); }),
              StartsWith("Failed to execute query: "));
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
