// The index names kept in the config table of a PostgreSQL location: the
// names of its "<index name>.nvs" config items, less that ending.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_INDEX_LISTING_H_
#define NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_INDEX_LISTING_H_

#include <string>
#include <vector>

#include "core/db_config.h"

namespace nivora_encrypted_index {

// Opens a connection of its own for the call, reads the config table named
// by config.table_name and returns the index names in the server's row order.
// Throws std::invalid_argument "table_name is not set in DBConfig." or
// "Database connection string is missing in the configuration." when absent,
// or for a table name that is not a plain identifier; std::runtime_error
// "Failed to connect to PostgreSQL: ..." or "Failed to execute query: ...".
// Failures are logged at ERROR. Safe to call from any thread.
std::vector<std::string> ListPostgresIndexes(const nivora::DBConfig& config);

}  // namespace nivora_encrypted_index

#endif  // NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_INDEX_LISTING_H_
