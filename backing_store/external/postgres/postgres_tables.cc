#include "backing_store/external/postgres/postgres_tables.h"

#include <cstring>
#include <iostream>
#include <stdexcept>

#include "backing_store/external/postgres/postgres_table_name.h"
#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

constexpr char kDuplicateTable[] = "42P07";

struct ExpectedColumn {
  const char* name;
  const char* type;
};
constexpr ExpectedColumn kItemColumns[] = {
    {"key", "character varying"}, {"value", "bytea"}, {"index_name", "bigint"}};
constexpr ExpectedColumn kConfigColumns[] = {{"index_name", "character varying"},
                                             {"config", "bytea"}};

// One text parameter: the table's name as the server records it, looked up
// in the current schema only, so a table of that name elsewhere on the
// search path (or in another schema) never passes for ours.
PGresultPtr QueryByTableName(PgSession& session, const char* sql, const std::string& table) {
  return session.ExecText(sql, {FoldedTableName(table).c_str()}, kTextFormat);
}

bool TableExists(PgSession& session, const std::string& table) {
  PGresultPtr result = QueryByTableName(session,
      "SELECT EXISTS (SELECT FROM information_schema.tables WHERE table_schema = "
      "current_schema() AND table_name = $1);",
      table);
  if (!HasStatus(result, PGRES_TUPLES_OK) || PQntuples(result.get()) < 1) {
    const std::string message = session.Error();
    KeystoreLog().error("Failed to check if table exists: " + message);
    throw std::runtime_error(message);
  }
  return PQgetvalue(result.get(), 0, 0)[0] == 't';
}

void CreateTable(PgSession& session, const std::string& table, const std::string& columns,
                 bool is_config) {
  PGresultPtr result = session.Exec("CREATE TABLE " + table + " (" + columns + ");");
  if (!HasStatus(result, PGRES_COMMAND_OK)) {
    const char* state = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
    if (state == nullptr || std::strcmp(state, kDuplicateTable) != 0) {
      nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::ERROR,
                                              "Failed to create postgres table: " + session.Error());
    }
    const std::string notice = "Table " + table + " already exists.";
    KeystoreLog().warning(notice);
    std::cerr << notice << std::endl;
  }
  VerifyIndexTableSchema(session, table, is_config);
}

}  // namespace

void EnsureKeystoreTableExists(PgSession& session, std::string& table) {
  if (!TableExists(session, table)) {
    CreatePostgresTable(session, table);
  } else {
    VerifyIndexTableSchema(session, table, false);
  }
}

void EnsureConfigTableExists(PgSession& session, std::string& table) {
  if (!TableExists(session, table)) {
    CreateConfigTable(session, table);
  } else {
    VerifyIndexTableSchema(session, table, true);
  }
}

void CreatePostgresTable(PgSession& session, const std::string& table) {
  CreateTable(session, table,
              "key VARCHAR(255), value BYTEA NOT NULL, index_name BIGINT NOT NULL, "
              "PRIMARY KEY (key, index_name)",
              false);
}

void CreateConfigTable(PgSession& session, const std::string& table) {
  CreateTable(session, table, "index_name VARCHAR(255) PRIMARY KEY, config BYTEA NOT NULL", true);
}

void VerifyIndexTableSchema(PgSession& session, const std::string& table, bool is_config) {
  PGresultPtr result = QueryByTableName(session,
      "SELECT column_name, data_type FROM information_schema.columns WHERE table_schema = "
      "current_schema() AND table_name = $1;",
      table);
  if (!HasStatus(result, PGRES_TUPLES_OK)) {
    nivora::LogAndThrow<std::runtime_error>(
        KeystoreLog(), nivora::ERROR,
        "Failed to verify schema for table " + table + ": " + session.Error());
  }
  const auto matches = [&](const char* name, const char* type) {
    auto check = [&](const auto& columns) {
      for (const ExpectedColumn& column : columns) {
        if (std::strcmp(name, column.name) == 0) return std::strcmp(type, column.type) == 0;
      }
      return true;  // columns of other names are not ours to judge
    };
    return is_config ? check(kConfigColumns) : check(kItemColumns);
  };
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    if (!matches(PQgetvalue(result.get(), row, 0), PQgetvalue(result.get(), row, 1))) {
      nivora::LogAndThrow<std::runtime_error>(
          KeystoreLog(), nivora::ERROR,
          "Table " + table + " exists but does not match the expected schema.");
    }
  }
}

}  // namespace nivora_encrypted_index::internal::backing_store
