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

std::unique_ptr<PgSession> Open(const std::string& connection_string) {
  try {
    return std::make_unique<PgSession>(connection_string, "Postgres connection error: ");
  } catch (const std::exception& e) {
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::CRITICAL, e.what());
  }
}

}  // namespace

PostgresKeystore::PostgresKeystore(nivora::DBConfig config, BackingStoreType type)
    : store_type_(type), table_name_(RequireTableName(config)) {
  session_ = Open(*config.db_connection_string);
  std::string table = table_name_;
  if (store_type_ == BackingStoreType::CONFIG) {
    EnsureConfigTableExists(*session_, table);
    return;
  }
  EnsureKeystoreTableExists(*session_, table);
  // Never executed later: preparing it proves the table has the item columns.
  PGresultPtr prepared =
      session_->Prepare("batch_insert_stmt", UpsertStatement(table_name_, 1), 3);
  if (!HasStatus(prepared, PGRES_COMMAND_OK)) {
    nivora::LogAndThrow<std::runtime_error>(
        KeystoreLog(), nivora::ERROR,
        "Failed to prepare batch insert statement: " + session_->Error());
  }
}

PgSession& PostgresKeystore::Session() {
  try {
    session_->EnsureOpen();
  } catch (const std::exception& e) {
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), kConnectionFailureLevel, e.what());
  }
  return *session_;
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
