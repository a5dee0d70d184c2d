// PostgresKeystore: the versioned map. A push is one transaction that takes
// the server-wide advisory lock 42 under a 3000 ms statement timeout and then
// tests and writes in one statement; a read is one statement. Running out of
// time for the lock is a refusal like a version mismatch; any other failure
// is an error.
#include <stdexcept>

#include "backing_store/external/postgres/pg_transaction.h"
#include "backing_store/external/postgres/postgres_keystore.h"
#include "backing_store/external/postgres/postgres_statements.h"
#include "backing_store/item_bytes.h"
#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {


// The server cancelled a statement that ran past statement_timeout.
constexpr char kQueryCanceled[] = "57014";

// Runs `sql` without parameters; throws prefix + the cause unless the result
// has `status`.
void Step(PgSession& session, const char* sql, ExecStatusType status, const char* prefix) {
  if (!HasStatus(session.Exec(sql), status)) throw std::runtime_error(prefix + session.Error());
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
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), FailureLevel(*session_),
                                            std::string("Failed to update map: ") + e.what());
  }
}

bool PostgresKeystore::CompareAndSet(uint64_t map_key, const uint8_t* data, size_t size,
                                     uint64_t version_key, uint64_t expected_version,
                                     uint64_t store) {
  PgSession& session = Session();
  const uint64_t new_version = expected_version + 1;
  ScopedTransaction transaction(session);  // rolls back on every failure below
  if (!transaction.Begin()) {
    throw std::runtime_error("Failed to begin transaction: " + session.Error());
  }
  Step(session, "SET TRANSACTION ISOLATION LEVEL READ COMMITTED", PGRES_COMMAND_OK,
       "Failed to set isolation level: ");
  Step(session, "SET LOCAL statement_timeout = '3000'", PGRES_COMMAND_OK,
       "Failed to set timeout: ");
  {
    PGresultPtr locked = session.Exec("SELECT pg_advisory_xact_lock(42)");
    if (!HasStatus(locked, PGRES_TUPLES_OK)) {
      const char* state =
          locked == nullptr ? nullptr : PQresultErrorField(locked.get(), PG_DIAG_SQLSTATE);
      if (state != nullptr && std::string(state) == kQueryCanceled) {
        // Other writers held the lock all along: a refusal, to be retried.
        KeystoreLog().warning("Timed out waiting for the map lock");
        return false;
      }
      throw std::runtime_error("Failed to acquire lock: " + session.Error());
    }
  }

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
  PGresultPtr result = session.ExecParams(CompareAndSetStatement(table_name_), 6, values,
                                          lengths, formats, kTextFormat);
  if (!HasStatus(result, PGRES_TUPLES_OK) || PQntuples(result.get()) < 1) {
    throw std::runtime_error("Failed to execute atomic update: " + session.Error());
  }
  const bool success = IsTrue(result.get(), 0, 0);
  if (!IsTrue(result.get(), 0, 1)) {
    KeystoreLog().warning("Version mismatch detected: expected " +
                          std::to_string(expected_version));
  }
  if (!transaction.Commit()) throw std::runtime_error("Commit failed: " + session.Error());
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
  PGresultPtr result = Session().ExecText(
      sql,
      {map_text.c_str(), store_text.c_str(), version_text.c_str(), store_text.c_str()},
      kBinaryFormat);
  if (!HasStatus(result, PGRES_TUPLES_OK) || PQntuples(result.get()) < 1) {
    FailStatement(*session_, "Failed to retrieve map from Postgres: ");
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
