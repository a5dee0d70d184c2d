// Lists the index names of a Redis location: the fields of its config hash
// (named by table_name) that end in ".nvs", without that ending. Opens and
// closes a connection of its own, with the same settings and TLS setup as
// the keystore. Safe from any thread.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_REDIS_REDIS_INDEX_LISTER_H_
#define NIVORA_BACKING_STORE_EXTERNAL_REDIS_REDIS_INDEX_LISTER_H_

#include <string>
#include <vector>

#include "core/db_config.h"

namespace nivora_encrypted_index {

// Names in the server's order. Throws std::invalid_argument for a missing
// table name or connection string and for a malformed connection string (as
// ReadRedisSettings words it), and std::runtime_error when connecting, TLS,
// SELECT or HKEYS fails (an error reply and a reply timeout included).
std::vector<std::string> ListRedisIndexes(const nivora::DBConfig& config);

}  // namespace nivora_encrypted_index

#endif  // NIVORA_BACKING_STORE_EXTERNAL_REDIS_REDIS_INDEX_LISTER_H_
