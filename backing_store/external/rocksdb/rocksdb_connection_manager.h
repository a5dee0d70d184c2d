// RocksDBConnectionManager opens each RocksDB store folder once per process
// and shares the open TransactionDB among every keystore that names the same
// folder, counting its holders and closing it when the last one lets go. A
// RocksDB database may be opened only once per process, while several
// keystores (several clients on one location) use the same folder.
//
// The manager owns the databases; holders only borrow the handle, from their
// GetConnection to their ReleaseConnection. RocksDBConnectionLease is the
// scoped form of that pair. Every option a database is opened with is fixed
// in the .cc (no options file is read); all databases share one 128 MiB LRU
// block cache. A folder keeps at most 3 info logs of at most 4 MiB each
// however often it is opened, and no write-ahead logs of earlier opens that
// were left empty; the last holder to let go flushes the database before it
// closes, so the logs of a session that wrote go too.
//
// Folders are keyed by their absolute, normalised path with symbolic links
// resolved, so "/data/x/index" and "/data/x//index" share one database: a
// folder is never opened twice. Log lines name the path as the caller spelled
// it; a holder releases with the same string it asked with.
//
// Thread safety: every member may be called from any thread. One mutex guards
// the table and is held across opening and closing, so opens run one after
// the other. The handles themselves are safe for concurrent use.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_ROCKSDB_ROCKSDB_CONNECTION_MANAGER_H_
#define NIVORA_BACKING_STORE_EXTERNAL_ROCKSDB_ROCKSDB_CONNECTION_MANAGER_H_

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include <rocksdb/cache.h>
#include <rocksdb/utilities/transaction_db.h>

#include "core/db_config.h"

namespace nivora_encrypted_index::internal::backing_store {

// $HOME joined with ".nivoradb" and "data" (a "/" is put between parts only
// when the left one is not empty and does not end in "/"). Creates nothing.
// Throws std::runtime_error "No data directory was provided and HOME
// environment variable is not set" when HOME is not set.
std::string GetDefaultDataDirectory();

// The table key of a store folder: one text however the folder is spelled
// (absolute, normalised, symbolic links resolved).
std::string FolderKey(const std::string& path);

// The data folder of a RocksDB location: its connection string when present
// and not empty, else GetDefaultDataDirectory().
std::string DataDirectoryOf(const nivora::DBConfig& config);

class RocksDBConnectionManager {
 public:
  // The one manager of the process, built on first use, destroyed at exit.
  static RocksDBConnectionManager& Instance();

  RocksDBConnectionManager(const RocksDBConnectionManager&) = delete;
  RocksDBConnectionManager& operator=(const RocksDBConnectionManager&) = delete;
  // Closes every database still open.
  ~RocksDBConnectionManager();

  // The open database of the store folder `path`, opened (and the folder's
  // database created) when not open yet; counts one more holder. Throws
  // std::runtime_error "Failed to open RocksDB: <status>" when the open
  // fails, or "Failed to open RocksDB: another process (pid N) has the
  // folder '<path>' open; ..." when another process holds the folder, after
  // a CRITICAL line; nothing is counted then.
  rocksdb::TransactionDB* GetConnection(const std::string& path);
  // The database of `path` when it is already open, counted as one more
  // holder; null, and nothing counted or opened, when it is not.
  rocksdb::TransactionDB* GetConnectionIfOpen(const std::string& path);
  // Counts one holder less; closes the database when none is left. A path
  // without an entry only logs a WARNING.
  void ReleaseConnection(const std::string& path);

 private:
  struct ConnectionInfo {
    std::unique_ptr<rocksdb::TransactionDB> db;
    size_t ref_count = 0;  // holders; at least 1 while the entry exists
  };

  RocksDBConnectionManager() = default;
  // Opens one database with the fixed options. Called with mutex_ held.
  std::unique_ptr<rocksdb::TransactionDB> OpenDatabase(const std::string& path);

  std::mutex mutex_;  // guards every member below
  // The open databases, by normalised store folder path.
  std::unordered_map<std::string, ConnectionInfo> connections_;
  // Shared by every database of the process; made by the first open attempt.
  std::shared_ptr<rocksdb::Cache> block_cache_;
};

// One holder's share of an open database: joins (or opens) it on
// construction and releases it on destruction. Movable, not copyable.
class RocksDBConnectionLease {
 public:
  // Joins or opens `path`. Throws as GetConnection.
  explicit RocksDBConnectionLease(std::string path);
  // A lease on `path` when this process has it open; nullopt otherwise.
  static std::optional<RocksDBConnectionLease> JoinIfOpen(std::string path);

  RocksDBConnectionLease(RocksDBConnectionLease&& other) noexcept;
  RocksDBConnectionLease& operator=(RocksDBConnectionLease&&) = delete;
  RocksDBConnectionLease(const RocksDBConnectionLease&) = delete;
  RocksDBConnectionLease& operator=(const RocksDBConnectionLease&) = delete;
  ~RocksDBConnectionLease();

  // Borrowed for the lease's lifetime.
  rocksdb::TransactionDB* db() const { return db_; }
  const std::string& path() const { return path_; }

 private:
  RocksDBConnectionLease(std::string path, rocksdb::TransactionDB* db);

  std::string path_;
  rocksdb::TransactionDB* db_ = nullptr;  // null once moved from
};

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_EXTERNAL_ROCKSDB_ROCKSDB_CONNECTION_MANAGER_H_
