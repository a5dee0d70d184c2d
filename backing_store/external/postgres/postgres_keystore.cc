// PostgresKeystore: connection, table and the small accessors. The item
// operations are in postgres_items.cc, the versioned map in
// postgres_versioned_map.cc, config items in postgres_config_items.cc.
#include "backing_store/external/postgres/postgres_keystore.h"

#include <stdexcept>
#include <utility>

#include "backing_store/external/postgres/postgres_statements.h"
#include "backing_store/external/postgres/postgres_table_name.h"
#include "backing_store/external/postgres/postgres_tables.h"
#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

const std::string& RequireTableName(const nivora::DBConfig& config) {
  if (!config.db_connection_string || !config.table_name) {
    throw std::invalid_argument(
        "Invalid DBConfig: missing db_connection_string or table_name.");
  }
  CheckTableName(*config.table_name);
  return *config.table_name;
}

// Server notices (such as a ROLLBACK outside a transaction) go to the log
// rather than straight to standard error.
void LogNotice(void*, const char* message) {
  KeystoreLog().info(std::string("Postgres notice: ") + message);
}

PGconnPtr Connect(const std::string& connection_string) {
  PGconnPtr conn(PQconnectdb(connection_string.c_str()));
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    const std::string message = "Postgres connection error: " + ErrorOf(conn.get());
    conn.reset();
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::CRITICAL, message);
  }
  PQsetNoticeProcessor(conn.get(), LogNotice, nullptr);
  return conn;
}

}  // namespace

PostgresKeystore::PostgresKeystore(nivora::DBConfig config, BackingStoreType type)
    : store_type_(type), table_name_(RequireTableName(config)) {
  conn_ = Connect(*config.db_connection_string);
  std::string table = table_name_;
  if (store_type_ == BackingStoreType::CONFIG) {
    EnsureConfigTableExists(conn_.get(), table);
    return;
  }
  EnsureKeystoreTableExists(conn_.get(), table);
  // Never executed later: preparing it proves the table has the item columns.
  PGresultPtr prepared(PQprepare(conn_.get(), "batch_insert_stmt",
                                 UpsertStatement(table_name_, 1).c_str(), 3, nullptr));
  if (!HasStatus(prepared, PGRES_COMMAND_OK)) {
    nivora::LogAndThrow<std::runtime_error>(
        KeystoreLog(), nivora::ERROR,
        "Failed to prepare batch insert statement: " + ErrorOf(conn_.get()));
  }
}

PostgresKeystore::~PostgresKeystore() = default;

uint64_t PostgresKeystore::StoreOf(const uint64_t& index) const {
  return StoreNumber(index, store_type_);
}

void PostgresKeystore::SetValueSizeImpl(const uint64_t& index, size_t value_size) {
  std::lock_guard lock(value_size_mutex_);
  value_sizes_[hashed_index_name(index, store_type_)] = value_size;
}

size_t PostgresKeystore::GetValueSizeImpl(const uint64_t& index) const {
  std::lock_guard lock(value_size_mutex_);
  auto it = value_sizes_.find(hashed_index_name(index, store_type_));
  return it == value_sizes_.end() ? kDefaultValueSize : it->second;
}

}  // namespace nivora_encrypted_index::internal::backing_store
