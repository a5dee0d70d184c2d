// The listing of the index names kept in a RocksDB location, for the Index
// API's list of indexes. Works without a keystore: a config store this
// process has open (through RocksDBConnectionManager) is read through the
// open database, so the listing sees every write made so far; any other is
// opened read-only for the length of the call.
//
// Thread safety: may be called from any thread, also while keystores of the
// process use the same location.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_ROCKSDB_ROCKSDB_INDEX_LISTING_H_
#define NIVORA_BACKING_STORE_EXTERNAL_ROCKSDB_ROCKSDB_INDEX_LISTING_H_

#include <string>
#include <vector>

#include "core/db_config.h"

namespace nivora_encrypted_index {

// Every name with both a "<name>.nei" and a "<name>.nvs" config item in the
// config store (<data folder>/config) of the location of `config`, in
// ascending byte order; a name must not be empty. A location without a
// config store lists nothing and creates nothing. Throws std::runtime_error
// "Failed to open RocksDB: <status>" when the store cannot be opened, and
// "Failed to list RocksDB indexes: <status>" when its scan fails; the file
// system's exception when the folder's status cannot be read.
std::vector<std::string> ListRocksDBIndexes(const nivora::DBConfig& config);

}  // namespace nivora_encrypted_index

#endif  // NIVORA_BACKING_STORE_EXTERNAL_ROCKSDB_ROCKSDB_INDEX_LISTING_H_
