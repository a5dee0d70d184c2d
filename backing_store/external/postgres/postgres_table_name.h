// The table name of a PostgreSQL location is pasted into SQL text as an
// unquoted identifier, so it is checked before any statement carries it.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_TABLE_NAME_H_
#define NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_TABLE_NAME_H_

#include <string>

#include "core/db_config.h"

namespace nivora_encrypted_index::internal::backing_store {

// Throws std::invalid_argument unless `name` matches
// [A-Za-z_][A-Za-z0-9_]{0,62}: an identifier that needs no quoting and that
// the server does not truncate.
void CheckTableName(const std::string& name);

// The name as the server records an unquoted identifier: ASCII letters in
// lower case. This is the name to look for in information_schema.
std::string FoldedTableName(const std::string& name);

// Whether two locations are one PostgreSQL table: both POSTGRES, the same
// connection string (spaces at its ends aside) and the same table name as
// the server folds it.
bool SamePostgresTable(const nivora::DBConfig& a, const nivora::DBConfig& b);

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_TABLE_NAME_H_
