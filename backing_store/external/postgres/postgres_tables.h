// The two tables of a PostgreSQL location and how a keystore makes sure its
// table is there: an item table (key, value, index_name) shared by every
// store kind but CONFIG, and a config table (index_name, config).
//
// Every function runs on a connection the caller owns and uses alone; the
// table name has passed CheckTableName. Failures are logged at ERROR and
// thrown as std::runtime_error.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_TABLES_H_
#define NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_TABLES_H_

#include <string>

#include "backing_store/external/postgres/pg_session.h"

namespace nivora_encrypted_index::internal::backing_store {

// Creates the item table, respectively the config table, unless the current
// schema already has a table of that name, which must then have the columns
// of that kind of table (so that one table never serves as both).
void EnsureKeystoreTableExists(PgSession& session, std::string& table);
void EnsureConfigTableExists(PgSession& session, std::string& table);

// CREATE TABLE, then the schema check. A table that another client created
// meanwhile (SQLSTATE 42P07) is logged at WARNING and on standard error as
// "Table <table> already exists." and checked like a new one.
void CreatePostgresTable(PgSession& session, const std::string& table);
void CreateConfigTable(PgSession& session, const std::string& table);

// Throws "Table <table> exists but does not match the expected schema." when
// a known column of the table has another type.
void VerifyIndexTableSchema(PgSession& session, const std::string& table, bool is_config);

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_TABLES_H_
