#include "core/db_config.h"

#include <stdexcept>

namespace nivora {

const char* LocationToString(Location location) {
  switch (location) {
    case Location::REDIS: return "redis";
    case Location::MEMORY: return "memory";
    case Location::POSTGRES: return "postgres";
    case Location::NONE: return "none";
    case Location::ROCKSDB: return "rocksdb";
    case Location::THREADSAFEMEMORY: return "threadsafememory";
  }
  return "unknown";
}

Location LocationFromString(const std::string& name) {
  if (name == "redis") return Location::REDIS;
  if (name == "memory") return Location::MEMORY;
  if (name == "postgres") return Location::POSTGRES;
  if (name == "rocksdb") return Location::ROCKSDB;
  if (name == "threadsafememory") return Location::THREADSAFEMEMORY;
  throw std::invalid_argument("Unknown DB location: " + name);
}

}  // namespace nivora
