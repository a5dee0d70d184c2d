// PostgresKeystore: the versioned map. A push is one transaction that takes
// the server-wide advisory lock 42 under a 3000 ms statement timeout and then
// tests and writes in one statement; a read is one statement.
#include <stdexcept>

#include "backing_store/external/postgres/pg_transaction.h"
#include "backing_store/external/postgres/postgres_keystore.h"
#include "backing_store/external/postgres/postgres_statements.h"
#include "backing_store/item_bytes.h"
#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {


// Runs `sql` without parameters; throws prefix + the server's message unless
// the result has `status`.
void Step(PGconn* conn, const char* sql, ExecStatusType status, const char* prefix) {
  if (!HasStatus(Exec(conn, sql), status)) throw std::runtime_error(prefix + ErrorOf(conn));
}

}  // namespace

bool PostgresKeystore::PushMapImpl(const uint64_t& index, const uint64_t& map_key,
                                   const uint8_t* data, size_t size,
                                   const uint64_t& version_key,
                                   const uint64_t& expected_version) {
  KeystoreLog().info("Postgres push_map expected_version: " + std::to_string(expected_version));
  std::lock_guard lock(mutex_);
  try {
    return CompareAndSet(map_key, data, size, version_key, expected_version, StoreOf(index));
  } catch (const std::exception& e) {
    KeystoreLog().error(std::string("Failed to update map: ") + e.what());
    return false;
  }
}

bool PostgresKeystore::CompareAndSet(uint64_t map_key, const uint8_t* data, size_t size,
                                     uint64_t version_key, uint64_t expected_version,
                                     uint64_t store) {
  PGconn* conn = conn_.get();
  const uint64_t new_version = expected_version + 1;
  ScopedTransaction transaction(conn);  // rolls back on every failure below
  if (!transaction.Begin()) {
    throw std::runtime_error("Failed to begin transaction: " + ErrorOf(conn));
  }
  if (!HasStatus(Exec(conn, "SET TRANSACTION ISOLATION LEVEL READ COMMITTED"),
                 PGRES_COMMAND_OK)) {
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::ERROR,
                                            "Failed to set isolation level: " + ErrorOf(conn));
  }
  Step(conn, "SET LOCAL statement_timeout = '3000'", PGRES_COMMAND_OK, "Failed to set timeout: ");
  Step(conn, "SELECT pg_advisory_xact_lock(42)", PGRES_TUPLES_OK, "Failed to acquire lock: ");

  const DecimalText map_text = ToDecimal(map_key);
  const DecimalText store_text = ToDecimal(store);
  const DecimalText version_text = ToDecimal(version_key);
  const auto expected_bytes = EncodeVersion(expected_version);
  const auto new_bytes = EncodeVersion(new_version);
  const char* values[] = {map_text.c_str(),
                          BinaryParam(data, size),
                          store_text.c_str(),
                          version_text.c_str(),
                          reinterpret_cast<const char*>(expected_bytes.data()),
                          reinterpret_cast<const char*>(new_bytes.data())};
  const int lengths[] = {0, static_cast<int>(size), 0, 0, kVersionBytes, kVersionBytes};
  const int formats[] = {kTextFormat,   kBinaryFormat, kTextFormat,
                         kTextFormat,   kBinaryFormat, kBinaryFormat};
  PGresultPtr result(PQexecParams(conn, CompareAndSetStatement(table_name_).c_str(), 6, nullptr,
                                  values, lengths, formats, 0));
  if (!HasStatus(result, PGRES_TUPLES_OK) || PQntuples(result.get()) < 1) {
    throw std::runtime_error("Failed to execute atomic update: " + ErrorOf(conn));
  }
  const bool success = IsTrue(result.get(), 0, 0);
  if (!IsTrue(result.get(), 0, 1)) {
    KeystoreLog().warning("Version mismatch detected: expected " +
                          std::to_string(expected_version));
  }
  if (!transaction.Commit()) throw std::runtime_error("Commit failed: " + ErrorOf(conn));
  if (success) {
    KeystoreLog().info("Map and version successfully updated to version " +
                       std::to_string(new_version));
  } else {
    KeystoreLog().warning("Version check failed, no update performed. Expected: " +
                          std::to_string(expected_version));
  }
  return success;
}

VersionedMap PostgresKeystore::GetMapImpl(const uint64_t& index, const uint64_t& map_key,
                                          const uint64_t& version_key) {
  KeystoreLog().info("Getting map from Postgres");
  std::lock_guard lock(mutex_);
  const DecimalText map_text = ToDecimal(map_key);
  const DecimalText store_text = ToDecimal(StoreOf(index));
  const DecimalText version_text = ToDecimal(version_key);
  const std::string sql = "SELECT   (SELECT value FROM " + table_name_ +
                          " WHERE key = $1 AND index_name = $2) as map_data,   (SELECT value "
                          "FROM " +
                          table_name_ + " WHERE key = $3 AND index_name = $4) as version_data";
  PGresultPtr result = ExecText(
      conn_.get(), sql,
      {map_text.c_str(), store_text.c_str(), version_text.c_str(), store_text.c_str()},
      kBinaryFormat);
  if (!HasStatus(result, PGRES_TUPLES_OK) || PQntuples(result.get()) < 1) {
    nivora::LogAndThrow<std::runtime_error>(
        KeystoreLog(), nivora::ERROR,
        "Failed to retrieve map from Postgres: " + ErrorOf(conn_.get()));
  }
  VersionedMap versioned;
  const PGresult* row = result.get();
  if (!PQgetisnull(row, 0, 0)) {
    const size_t length = static_cast<size_t>(PQgetlength(row, 0, 0));
    if (length == 0) {
      throw std::invalid_argument("Data size must be a multiple of the number of columns");
    }
    versioned.map = OneRow(reinterpret_cast<const uint8_t*>(PQgetvalue(row, 0, 0)), length);
    KeystoreLog().info("Retrieved map data of size " + std::to_string(length));
  }
  if (!PQgetisnull(row, 0, 1) && PQgetlength(row, 0, 1) >= static_cast<int>(kVersionBytes)) {
    versioned.version = DecodeVersion(reinterpret_cast<const uint8_t*>(PQgetvalue(row, 0, 1)));
    KeystoreLog().info("Retrieved version: " + std::to_string(versioned.version));
  }
  KeystoreLog().info("Map and version successfully retrieved from Postgres");
  return versioned;
}

}  // namespace nivora_encrypted_index::internal::backing_store
