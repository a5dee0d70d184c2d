// PostgresKeystore keeps one store kind of a PostgreSQL location in a table,
// through libpq. The CONFIG store keeps config items in a config table
// (index_name, config); every other store kind keeps items in an item table
// (key, value, index_name) that several store kinds and indexes may share,
// told apart by the store number in index_name (StoreNumber). The versioned
// map is two rows of the item table, changed by one compare-and-set statement
// under the server-wide advisory lock 42.
//
// Ownership: each keystore opens and owns one connection (PgSession: every
// wait bounded), closed by the destructor. Each operation first makes sure
// the connection is open: one lost since (the server restarted, the backend
// was terminated, a reply timed out) is opened anew; an operation that loses
// it midway fails with "connection lost: ..." or the timeout's text. Every
// read goes to the server; nothing is cached here.
//
// Thread safety: every operation holds `mutex_` for its whole duration, so
// any number of threads may share one keystore (their statements take turns
// on the connection). Value sizes have a lock of their own.
//
// Failures: std::invalid_argument for bad arguments and a bad table name,
// std::runtime_error for failed statements, each after an ERROR line through
// the engine's logger. The table name must match [A-Za-z_][A-Za-z0-9_]{0,62}.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_KEYSTORE_H_
#define NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_KEYSTORE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "backing_store/external/postgres/pg_session.h"
#include "backing_store/keystore.h"

namespace nivora_encrypted_index::internal::backing_store {

class PostgresKeystore : public Keystore {
 public:
  // Connects with config.db_connection_string (a libpq connection string)
  // and makes sure the table config.table_name exists, creating it when the
  // current schema has none. Throws std::invalid_argument "Invalid DBConfig:
  // missing db_connection_string or table_name." when either is absent, or
  // for a table name that is not a plain identifier; std::runtime_error
  // "Postgres connection error: <libpq message>" (logged at CRITICAL) when
  // the server cannot be reached in time; and the table errors of
  // postgres_tables.h (a table of the other kind among them).
  PostgresKeystore(nivora::DBConfig config, BackingStoreType type);
  ~PostgresKeystore() override;

  // Batch pushes run in one transaction, in INSERT statements of at most
  // 1000 rows; a repeated key stores its last value. Any failed statement
  // rolls everything back and throws std::runtime_error
  // "Error executing Batch Push. Rolling back transaction.".
  void BatchPushItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                          const nivora::Array2D<unsigned char>& values) override;
  // Empty values are skipped: an existing value under that key stays. A count
  // mismatch throws std::runtime_error "Mismatch between number of keys and
  // values".
  void BatchPushVariableImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                             const std::vector<std::vector<uint8_t>>& values) override;
  void PushItem(const uint64_t& index, const uint64_t& key, const uint8_t* data,
                size_t size) override;
  // False when the version did not match or the 3000 ms wait for the
  // advisory lock ran out. Any other failed step is rolled back, logged and
  // thrown as std::runtime_error "Failed to update map: <step>: <cause>".
  bool PushMapImpl(const uint64_t& index, const uint64_t& map_key, const uint8_t* data,
                   size_t size, const uint64_t& version_key,
                   const uint64_t& expected_version) override;
  void BatchDeleteItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys) override;
  void DeleteItem(const uint64_t& index, const uint64_t& key) override;
  // A stored value of zero bytes reads as empty, like an absent one.
  nivora::Array2D<unsigned char> GetItem(const uint64_t& index, const uint64_t& key) override;
  // Throws std::runtime_error "Failed to retrieve map from Postgres: ..." when
  // the statement fails, rather than reporting an absent map.
  VersionedMap GetMapImpl(const uint64_t& index, const uint64_t& map_key,
                          const uint64_t& version_key) override;
  // One statement for all keys. Rows of another length than the index's
  // value size stay zero.
  nivora::Array2D<unsigned char> BatchGetItemsImpl(const uint64_t& index,
                                                   const std::vector<uint64_t>& keys) override;
  std::vector<std::vector<uint8_t>> BatchGetVariableImpl(
      const uint64_t& index, const std::vector<uint64_t>& keys) override;

  // Push and Delete throw std::invalid_argument on a store other than
  // CONFIG. Load throws std::runtime_error "Index name '<name less its last
  // 4 characters>' does not exist in Postgres." for an absent name.
  void PushConfigItem(const std::string& name, const uint8_t* data, size_t size) override;
  // One INSERT ... ON CONFLICT DO NOTHING: the unique index_name decides
  // which of several callers stores.
  bool PushConfigItemIfAbsent(const std::string& name, const uint8_t* data,
                              size_t size) override;
  nivora::Array2D<unsigned char> LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  void DeleteConfigItem(const std::string& name) override;
  // Refuses a name holding a NUL character (parameters travel as C
  // strings), one that is not valid UTF-8 when the connection's client
  // encoding is UTF8, and one longer than 251 characters (the config
  // column holds 255, ending included).
  void CheckIndexName(const std::string& index_name) override;

  void DeleteIndexImpl(const uint64_t& index) override;
  size_t GetTotalSize(const uint64_t& index) override;
  std::vector<uint64_t> GetAllKeys(const uint64_t& index) override;
  void SetValueSizeImpl(const uint64_t& index, size_t value_size) override;
  size_t GetValueSizeImpl(const uint64_t& index) const override;
  nivora::Location GetLocation() const override { return nivora::Location::POSTGRES; }
  BackingStoreType GetBackingStoreType() const override { return store_type_; }

 private:
  struct BatchRows;

  uint64_t StoreOf(const uint64_t& index) const;
  // Sends the rows of one batch push in groups of 1000, in one transaction.
  void PushBatch(const BatchRows& rows, uint64_t store);
  // Sends one group's INSERT. Throws std::runtime_error (logged) on failure.
  void ExecuteBatchPushQuery(const std::string& sql, const std::vector<const char*>& values,
                             const std::vector<int>& lengths, const std::vector<int>& formats);
  // The SELECT of a batch read, rows as raw bytes. Throws on failure.
  PGresultPtr ConstructAndExecuteBatchGetQuery(const uint64_t& index,
                                               const std::vector<uint64_t>& keys);
  // The runs of PushMapImpl inside its transaction; throws on a failed step.
  bool CompareAndSet(uint64_t map_key, const uint8_t* data, size_t size, uint64_t version_key,
                     uint64_t expected_version, uint64_t store);
  void RequireConfigStore(const char* message) const;
  // The INSERT of a config item, `on_conflict` following "ON CONFLICT
  // (index_name)"; throws std::runtime_error "Postgres put_item error: ..."
  // when it fails.
  PGresultPtr InsertConfigItem(const std::string& name, const uint8_t* data, size_t size,
                               const char* on_conflict);
  // Opens the connection again when it was lost. Throws std::runtime_error
  // "Postgres connection error: ..." (logged at ERROR) when it cannot.
  // Called with mutex_ held, at the start of every operation.
  PgSession& Session();

  // Set by the constructor, then never changed.
  const BackingStoreType store_type_;
  const std::string table_name_;
  std::unique_ptr<PgSession> session_;  // guarded by mutex_

  std::mutex mutex_;  // serialises every statement on session_
  // The INSERT of a full group of batch-push rows, made on first use.
  std::string full_group_statement_;  // guarded by mutex_

  mutable std::mutex value_size_mutex_;
  // Value size per hashed_index_name; kDefaultValueSize when absent.
  absl::flat_hash_map<uint64_t, size_t> value_sizes_;  // guarded by value_size_mutex_
};

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_KEYSTORE_H_
