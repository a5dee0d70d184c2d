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

// What the config table can hold of "<name>.nei": at most 255 characters of
// valid UTF-8 (the connection's client encoding) without NUL. Names refused
// by the check are refused by the server too, except NUL, which libpq would
// silently cut short.
TEST_F(PostgresConfigTest, IndexNamesAreCheckedAgainstWhatTheConfigTableHolds) {
  auto config = Make(UniqueTableName("config"), BackingStoreType::CONFIG);
  auto repeat = [](const std::string& part, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += part;
    return out;
  };
  const std::string too_long = "Index name cannot be longer than 251 characters in PostgreSQL.";
  const std::string not_utf8 = "Index name must be valid UTF-8 in PostgreSQL.";
  const struct {
    const char* what;
    std::string name;
    std::string refusal;  // empty: accepted
  } cases[] = {
      {"251 characters", repeat("x", 251), ""},
      {"252 characters", repeat("x", 252), too_long},
      {"251 two-byte characters", repeat("\xC3\xA9", 251), ""},
      {"252 two-byte characters", repeat("\xC3\xA9", 252), too_long},
      {"four-byte character", "a\xF0\x9F\x98\x80", ""},
      {"NUL", std::string("a\0b", 3), "Index name cannot contain a NUL character in PostgreSQL."},
      {"lone continuation byte", "a\x80", not_utf8},
      {"cut-off sequence", "a\xC3", not_utf8},
      {"overlong form", "a\xC0\xAF", not_utf8},
      {"surrogate", "a\xED\xA0\x80", not_utf8},
      {"past U+10FFFF", "a\xF4\x90\x80\x80", not_utf8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string item = c.name + ".nei";
    if (c.refusal.empty()) {
      config->CheckIndexName(c.name);
      Put(*config, item);
      EXPECT_TRUE(config->ConfigItemExists(item));
    } else {
      EXPECT_EQ(MessageOf<std::invalid_argument>([&] { config->CheckIndexName(c.name); }),
                c.refusal);
      if (c.name.find('\0') == std::string::npos) {
        EXPECT_ANY_THROW(Put(*config, item));
      }
    }
  }
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
