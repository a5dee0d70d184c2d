#include "backing_store/external/rocksdb/rocksdb_connection_manager.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include <rocksdb/env.h>
#include <rocksdb/filter_policy.h>
#include <rocksdb/transaction_log.h>
#include <rocksdb/options.h>
#include <rocksdb/slice_transform.h>
#include <rocksdb/table.h>

#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

constexpr size_t kBlockCacheBytes = 128ull << 20;
// Every open starts a new info log and keeps the previous ones; these bound
// what a folder opened again and again gathers.
constexpr size_t kInfoLogsKept = 3;
constexpr size_t kInfoLogBytes = 4ull << 20;

// left + "/" + right, without a "/" after an empty left or one ending in "/".
std::string JoinPath(const std::string& left, const std::string& right) {
  if (left.empty() || left.back() == '/') return left + right;
  return left + "/" + right;
}

rocksdb::BlockBasedTableOptions TableOptions(const std::shared_ptr<rocksdb::Cache>& cache) {
  rocksdb::BlockBasedTableOptions table;
  table.block_cache = cache;
  table.filter_policy.reset(rocksdb::NewBloomFilterPolicy(10));
  table.cache_index_and_filter_blocks = true;
  table.cache_index_and_filter_blocks_with_high_priority = true;
  table.pin_l0_filter_and_index_blocks_in_cache = true;
  return table;
}

// Every option the stores are opened with; the rest stay RocksDB's defaults.
rocksdb::Options DatabaseOptions(const std::shared_ptr<rocksdb::Cache>& cache) {
  rocksdb::Options options;
  options.create_if_missing = true;
  options.max_open_files = -1;
  options.max_background_jobs = 8;
  options.max_background_compactions = 4;
  options.max_background_flushes = 2;
  options.allow_concurrent_memtable_write = true;
  options.keep_log_file_num = kInfoLogsKept;
  options.max_log_file_size = kInfoLogBytes;
  options.enable_write_thread_adaptive_yield = true;

  options.write_buffer_size = 64ull << 20;
  options.max_write_buffer_number = 2;
  options.min_write_buffer_number_to_merge = 1;
  options.level0_slowdown_writes_trigger = 20;
  options.level0_stop_writes_trigger = 36;
  options.target_file_size_base = 128ull << 20;
  options.max_bytes_for_level_base = 512ull << 20;
  // Values are ciphertext: compression would only cost time.
  options.compression = rocksdb::kNoCompression;
  options.optimize_filters_for_hits = true;
  // The index prefix of the item keys (rocksdb_item_key.h).
  options.prefix_extractor.reset(rocksdb::NewFixedPrefixTransform(8));
  options.table_factory.reset(rocksdb::NewBlockBasedTableFactory(TableOptions(cache)));
  return options;
}

// The process holding the folder's LOCK file, or 0 when none does (or it
// cannot be told). RocksDB locks it with a POSIX record lock, which F_GETLK
// reports together with its holder.
pid_t LockHolder(const std::string& folder) {
  const int fd = open((std::filesystem::path(folder) / "LOCK").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct flock query {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
  const bool asked = fcntl(fd, F_GETLK, &query) == 0;
  close(fd);
  return asked && query.l_type != F_UNLCK ? query.l_pid : 0;
}

// Why an open failed, in the caller's words: a folder held by another
// process says so, rather than RocksDB's "While lock file" text.
std::string OpenFailure(const std::string& path, const rocksdb::Status& status) {
  const pid_t holder = status.IsIOError() ? LockHolder(path) : 0;
  if (holder == 0) return "Failed to open RocksDB: " + status.ToString();
  return "Failed to open RocksDB: another process (pid " + std::to_string(holder) +
         ") has the folder '" + path + "' open; a folder serves one process at a time";
}

// The number of a write-ahead log's file name ("000012.log"), or 0 for any
// other file.
uint64_t LogNumberOf(const std::string& name) {
  constexpr std::string_view kSuffix = ".log";
  if (name.size() <= kSuffix.size() || !name.ends_with(kSuffix)) return 0;
  uint64_t number = 0;
  for (size_t i = 0; i < name.size() - kSuffix.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    number = number * 10 + static_cast<uint64_t>(name[i] - '0');
  }
  return number;
}

// A transaction database keeps every write-ahead log until a flush has run
// (a prepared transaction could still need one), and each open starts a new
// log that stays empty when nothing is written. So a folder opened again and
// again would gather one log per open. Once the database is open, the older
// logs have been recovered; an empty one holds nothing and goes. (RocksDB's
// own list of logs leaves empty ones out, hence the folder listing.)
void RemoveEmptyRecoveredLogs(rocksdb::DB& db) {
  std::unique_ptr<rocksdb::LogFile> current;
  std::vector<std::string> names;
  rocksdb::Env& env = *db.GetEnv();
  const std::string folder = db.GetName();
  if (!db.GetCurrentWalFile(&current).ok() || current == nullptr ||
      !env.GetChildren(folder, &names).ok()) {
    return;
  }
  for (const std::string& name : names) {
    const uint64_t number = LogNumberOf(name);
    if (number == 0 || number >= current->LogNumber()) continue;
    const std::string file = JoinPath(folder, name);
    uint64_t size = 0;
    if (!env.GetFileSize(file, &size).ok() || size != 0) continue;
    const rocksdb::Status removed = env.DeleteFile(file);
    if (!removed.ok()) {
      KeystoreLog().warning("Could not remove an empty RocksDB log: " + removed.ToString());
    }
  }
}

// Before the last holder closes a database: a flush puts what this session
// wrote into a table file, after which RocksDB itself deletes every log
// before the current one.
void FlushBeforeClose(rocksdb::DB& db, const std::string& path) {
  const rocksdb::Status flushed = db.Flush(rocksdb::FlushOptions());
  if (!flushed.ok()) {
    KeystoreLog().warning("Failed to flush RocksDB at " + path + " before closing: " +
                          flushed.ToString());
  }
}

}  // namespace

// This RocksDB tells a folder's lock apart by the path string within one
// process, so two spellings would otherwise open one folder twice, with two
// writers each ignoring the other's files.
std::string FolderKey(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path resolved = fs::weakly_canonical(fs::absolute(path, error), error);
  if (error) resolved = fs::path(path);
  return resolved.lexically_normal().string();
}

std::string GetDefaultDataDirectory() {
  const char* home = std::getenv("HOME");
  if (home == nullptr) {
    throw std::runtime_error(
        "No data directory was provided and HOME environment variable is not set");
  }
  return JoinPath(JoinPath(home, ".nivoradb"), "data");
}

std::string DataDirectoryOf(const nivora::DBConfig& config) {
  if (config.db_connection_string && !config.db_connection_string->empty()) {
    return *config.db_connection_string;
  }
  return GetDefaultDataDirectory();
}

RocksDBConnectionManager& RocksDBConnectionManager::Instance() {
  static RocksDBConnectionManager manager;
  return manager;
}

RocksDBConnectionManager::~RocksDBConnectionManager() {
  // Runs at process exit. A database still open here belongs to an object
  // that was never destroyed (a leaked reference, a thread still running);
  // closing it now would run into RocksDB's own static objects, some of
  // which are gone already. Every write is in its log, so the next open
  // recovers it: leave the handle to the operating system.
  std::lock_guard lock(mutex_);
  for (auto& [key, info] : connections_) static_cast<void>(info.db.release());
}

rocksdb::TransactionDB* RocksDBConnectionManager::GetConnection(const std::string& path) {
  const std::string key = FolderKey(path);
  std::lock_guard lock(mutex_);
  if (auto it = connections_.find(key); it != connections_.end()) {
    const size_t count = ++it->second.ref_count;
    KeystoreLog().info("Reusing existing RocksDB connection for: " + path +
                       " (ref_count: " + std::to_string(count) + ")");
    return it->second.db.get();
  }
  std::unique_ptr<rocksdb::TransactionDB> db = OpenDatabase(path);
  rocksdb::TransactionDB* handle = db.get();
  connections_.emplace(key, ConnectionInfo{std::move(db), 1});
  KeystoreLog().info("Opened new RocksDB connection for: " + path);
  return handle;
}

rocksdb::TransactionDB* RocksDBConnectionManager::GetConnectionIfOpen(const std::string& path) {
  const std::string key = FolderKey(path);
  std::lock_guard lock(mutex_);
  auto it = connections_.find(key);
  if (it == connections_.end()) return nullptr;
  const size_t count = ++it->second.ref_count;
  KeystoreLog().info("Reusing existing RocksDB connection for: " + path +
                     " (ref_count: " + std::to_string(count) + ")");
  return it->second.db.get();
}

void RocksDBConnectionManager::ReleaseConnection(const std::string& path) {
  const std::string key = FolderKey(path);
  std::lock_guard lock(mutex_);
  auto it = connections_.find(key);
  if (it == connections_.end()) {
    KeystoreLog().warning("Attempted to release non-existent RocksDB connection for: " + path);
    return;
  }
  const size_t count = --it->second.ref_count;
  KeystoreLog().info("Released RocksDB connection for: " + path +
                     " (ref_count: " + std::to_string(count) + ")");
  if (count > 0) return;
  FlushBeforeClose(*it->second.db, path);
  connections_.erase(it);  // closes the database
  KeystoreLog().info("Closed RocksDB connection for: " + path);
}

std::unique_ptr<rocksdb::TransactionDB> RocksDBConnectionManager::OpenDatabase(
    const std::string& path) {
  KeystoreLog().info("Opening RocksDB at: " + path);
  if (!block_cache_) {
    block_cache_ = rocksdb::NewLRUCache(kBlockCacheBytes, /*num_shard_bits=*/-1,
                                        /*strict_capacity_limit=*/false,
                                        /*high_pri_pool_ratio=*/0.5);
  }
  rocksdb::TransactionDB* raw = nullptr;
  const rocksdb::Status status = rocksdb::TransactionDB::Open(
      DatabaseOptions(block_cache_), rocksdb::TransactionDBOptions(), path, &raw);
  std::unique_ptr<rocksdb::TransactionDB> db(raw);
  if (!status.ok()) {
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::CRITICAL,
                                            "Failed to open RocksDB at " + path + ": " +
                                                status.ToString(),
                                            OpenFailure(path, status));
  }
  RemoveEmptyRecoveredLogs(*db);
  KeystoreLog().info("RocksDB TransactionDB initialized at: " + path);
  return db;
}

RocksDBConnectionLease::RocksDBConnectionLease(std::string path)
    : path_(std::move(path)), db_(RocksDBConnectionManager::Instance().GetConnection(path_)) {}

RocksDBConnectionLease::RocksDBConnectionLease(std::string path, rocksdb::TransactionDB* db)
    : path_(std::move(path)), db_(db) {}

std::optional<RocksDBConnectionLease> RocksDBConnectionLease::JoinIfOpen(std::string path) {
  rocksdb::TransactionDB* db = RocksDBConnectionManager::Instance().GetConnectionIfOpen(path);
  if (db == nullptr) return std::nullopt;
  return RocksDBConnectionLease(std::move(path), db);
}

RocksDBConnectionLease::RocksDBConnectionLease(RocksDBConnectionLease&& other) noexcept
    : path_(std::move(other.path_)), db_(std::exchange(other.db_, nullptr)) {}

RocksDBConnectionLease::~RocksDBConnectionLease() {
  if (db_ != nullptr) RocksDBConnectionManager::Instance().ReleaseConnection(path_);
}

}  // namespace nivora_encrypted_index::internal::backing_store
