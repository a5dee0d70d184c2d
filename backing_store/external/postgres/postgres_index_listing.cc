#include "backing_store/external/postgres/postgres_index_listing.h"

#include <cstring>
#include <memory>
#include <stdexcept>

#include "backing_store/external/postgres/pg_session.h"
#include "backing_store/external/postgres/postgres_table_name.h"
#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index {
namespace {

using internal::backing_store::KeystoreLog;

constexpr char kStateSuffix[] = ".nvs";
constexpr size_t kSuffixLength = sizeof(kStateSuffix) - 1;

}  // namespace

std::vector<std::string> ListPostgresIndexes(const nivora::DBConfig& config) {
  using namespace internal::backing_store;
  if (!config.table_name) {
    nivora::LogAndThrow<std::invalid_argument>(KeystoreLog(), nivora::ERROR,
                                               "table_name is not set in DBConfig.");
  }
  if (!config.db_connection_string) {
    nivora::LogAndThrow<std::invalid_argument>(
        KeystoreLog(), nivora::ERROR,
        "Database connection string is missing in the configuration.");
  }
  const std::string& table = *config.table_name;
  CheckTableName(table);

  std::unique_ptr<PgSession> session;
  try {
    session = std::make_unique<PgSession>(*config.db_connection_string,
                                          "Failed to connect to PostgreSQL: ");
  } catch (const std::exception& e) {
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), kConnectionFailureLevel, e.what());
  }
  // Unquoted, as the keystore named the table when it created it.
  PGresultPtr result = session->Exec("SELECT index_name FROM " + table + ";");
  if (!HasStatus(result, PGRES_TUPLES_OK)) FailStatement(*session, "Failed to execute query: ");
  std::vector<std::string> names;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    const char* name = PQgetvalue(result.get(), row, 0);
    const size_t length = std::strlen(name);
    if (length > kSuffixLength &&
        std::memcmp(name + length - kSuffixLength, kStateSuffix, kSuffixLength) == 0) {
      names.emplace_back(name, length - kSuffixLength);
    }
  }
  return names;
}

}  // namespace nivora_encrypted_index
