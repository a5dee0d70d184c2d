// Where a store lives: a Location code and the two optional strings whose
// meaning depends on it (table or hash name; connection string or folder).
// Plain value type; checks nothing (each keystore checks what it needs).
#ifndef NIVORA_CORE_DB_CONFIG_H_
#define NIVORA_CORE_DB_CONFIG_H_

#include <cstdint>
#include <optional>
#include <string>

namespace nivora {

enum class Location : int32_t {
  REDIS = 0,
  MEMORY = 1,
  POSTGRES = 2,
  NONE = 3,  // never produced from Python; no keystore exists for it
  ROCKSDB = 4,
  THREADSAFEMEMORY = 5,
};

struct DBConfig {
  Location location;
  // PostgreSQL: the table. Redis: the hash holding the config items.
  std::optional<std::string> table_name;
  // PostgreSQL: libpq connection string. Redis: "key:value,key:value".
  // RocksDB: the data folder (absent or empty: the default folder).
  std::optional<std::string> db_connection_string;

  DBConfig(Location location, const std::optional<std::string>& table_name,
           const std::optional<std::string>& db_connection_string)
      : location(location), table_name(table_name), db_connection_string(db_connection_string) {}
};

// The name Python uses for a location ("redis", "memory", ...); "none" for NONE.
const char* LocationToString(Location location);

// Parses a Python location name. Throws std::invalid_argument
// "Unknown DB location: <name>" for anything else, "none" included.
Location LocationFromString(const std::string& name);

}  // namespace nivora

#endif  // NIVORA_CORE_DB_CONFIG_H_
