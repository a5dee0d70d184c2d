#include "backing_store/external/rocksdb/rocksdb_index_listing.h"

#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <string_view>

#include <rocksdb/db.h>
#include <rocksdb/snapshot.h>

#include "backing_store/external/rocksdb/rocksdb_connection_manager.h"
#include "backing_store/external/rocksdb/rocksdb_item_key.h"

namespace nivora_encrypted_index {
namespace {

using internal::backing_store::kConfigKeyPrefix;
using internal::backing_store::MakeConfigKey;

constexpr std::string_view kEngineSuffix = ".nei";
constexpr std::string_view kStateSuffix = ".nvs";

// `name` less `suffix` into `names`, when it ends in it and something is left.
bool TakeWithSuffix(std::string_view name, std::string_view suffix, std::set<std::string>& names) {
  if (name.size() <= suffix.size() || !name.ends_with(suffix)) return false;
  names.emplace(name.substr(0, name.size() - suffix.size()));
  return true;
}

// The names with both config items, read at `snapshot` (null: the latest).
std::vector<std::string> ListIndexNames(rocksdb::DB& db, const rocksdb::Snapshot* snapshot) {
  rocksdb::ReadOptions options;
  options.snapshot = snapshot;
  // Config keys span many 8-byte prefixes: the scan must ignore the prefix
  // extractor of an open store.
  options.total_order_seek = true;
  std::set<std::string> engine_names;
  std::set<std::string> state_names;
  {
    const std::unique_ptr<rocksdb::Iterator> it(db.NewIterator(options));
    const rocksdb::Slice prefix(kConfigKeyPrefix.data(), kConfigKeyPrefix.size());
    for (it->Seek(prefix); it->Valid(); it->Next()) {
      const rocksdb::Slice key = it->key();
      if (!key.starts_with(prefix)) break;
      const std::string_view name(key.data() + prefix.size(), key.size() - prefix.size());
      if (!TakeWithSuffix(name, kEngineSuffix, engine_names)) {
        TakeWithSuffix(name, kStateSuffix, state_names);
      }
    }
    if (!it->status().ok()) {
      throw std::runtime_error("Failed to list RocksDB indexes: " + it->status().ToString());
    }
  }
  std::vector<std::string> names;
  for (const std::string& name : engine_names) {
    if (!state_names.contains(name)) continue;
    rocksdb::PinnableSlice value;
    const std::string engine_key = MakeConfigKey(name + std::string(kEngineSuffix));
    if (!db.Get(options, db.DefaultColumnFamily(), engine_key, &value).ok()) continue;
    value.Reset();
    const std::string state_key = MakeConfigKey(name + std::string(kStateSuffix));
    if (!db.Get(options, db.DefaultColumnFamily(), state_key, &value).ok()) continue;
    names.push_back(name);
  }
  return names;
}

}  // namespace

std::vector<std::string> ListRocksDBIndexes(const nivora::DBConfig& config) {
  using internal::backing_store::RocksDBConnectionLease;
  const std::string path = internal::backing_store::DataDirectoryOf(config) + "/config";
  // A store this process has open: read it there, seeing every write so far.
  if (std::optional<RocksDBConnectionLease> lease = RocksDBConnectionLease::JoinIfOpen(path)) {
    rocksdb::ManagedSnapshot snapshot(lease->db());
    return ListIndexNames(*lease->db(), snapshot.snapshot());
  }
  if (!std::filesystem::exists(path)) return {};
  rocksdb::Options options;
  options.create_if_missing = false;
  rocksdb::DB* raw = nullptr;
  const rocksdb::Status status =
      rocksdb::DB::OpenForReadOnly(options, path, &raw, /*error_if_wal_file_exists=*/false);
  const std::unique_ptr<rocksdb::DB> db(raw);
  if (!status.ok()) throw std::runtime_error("Failed to open RocksDB: " + status.ToString());
  return ListIndexNames(*db, nullptr);
}

}  // namespace nivora_encrypted_index
