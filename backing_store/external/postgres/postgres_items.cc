// PostgresKeystore: item operations. Batches travel as one statement (reads,
// deletes) or one transaction of INSERTs of at most 1000 rows (pushes);
// values move as raw bytes both ways, never escaped.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "absl/container/flat_hash_set.h"
#include "backing_store/external/postgres/pg_transaction.h"
#include "backing_store/external/postgres/postgres_keystore.h"
#include "backing_store/external/postgres/postgres_statements.h"
#include "backing_store/item_bytes.h"
#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

constexpr size_t kRowsPerStatement = 1000;
[[noreturn]] void Fail(const std::string& message) {
  nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::ERROR, message);
}

}  // namespace

// The rows a batch push sends, after de-duplication: the last value of each
// key, in request order. Pointers borrow the caller's values.
struct PostgresKeystore::BatchRows {
  std::vector<uint64_t> keys;
  std::vector<const char*> data;
  std::vector<int> lengths;

  // Keeps position i unless a later position has the same key, or skip(i).
  template <typename ValueAt, typename Skip>
  BatchRows(const std::vector<uint64_t>& all_keys, ValueAt value_at, Skip skip) {
    const size_t n = all_keys.size();
    absl::flat_hash_set<uint64_t> seen;
    seen.reserve(n);
    std::vector<size_t> kept;
    kept.reserve(n);
    for (size_t i = n; i-- > 0;) {
      if (!skip(i) && seen.insert(all_keys[i]).second) kept.push_back(i);
    }
    std::reverse(kept.begin(), kept.end());
    keys.reserve(kept.size());
    data.reserve(kept.size());
    lengths.reserve(kept.size());
    for (size_t i : kept) {
      const auto [bytes, length] = value_at(i);
      keys.push_back(all_keys[i]);
      data.push_back(BinaryParam(bytes, length));
      lengths.push_back(static_cast<int>(length));
    }
  }
};

void PostgresKeystore::BatchPushItemsImpl(const uint64_t& index,
                                          const std::vector<uint64_t>& keys,
                                          const nivora::Array2D<unsigned char>& values) {
  KeystoreLog().info("Pushing " + std::to_string(keys.size()) + " items to Postgres");
  CheckFixedBatch(keys, values.rows, values.cols, GetValueSizeImpl(index));
  const BatchRows rows(
      keys, [&](size_t i) { return std::pair(values.row(i), values.cols); },
      [](size_t) { return false; });
  std::lock_guard lock(mutex_);
  PushBatch(rows, StoreOf(index));
}

void PostgresKeystore::BatchPushVariableImpl(const uint64_t& index,
                                             const std::vector<uint64_t>& keys,
                                             const std::vector<std::vector<uint8_t>>& values) {
  KeystoreLog().info("Pushing " + std::to_string(keys.size()) + " items to Postgres");
  CheckKeysGiven(keys);
  if (values.size() != keys.size()) {
    Fail("Mismatch between number of keys and values");
  }
  const BatchRows rows(
      keys, [&](size_t i) { return std::pair(values[i].data(), values[i].size()); },
      [&](size_t i) { return values[i].empty(); });
  std::lock_guard lock(mutex_);
  PushBatch(rows, StoreOf(index));
}

void PostgresKeystore::PushBatch(const BatchRows& rows, uint64_t store) {
  PgSession& session = Session();
  ScopedTransaction transaction(session);
  if (!transaction.Begin()) FailStatement(session, "Postgres BEGIN transaction error: ");
  try {
    const DecimalText store_text = ToDecimal(store);
    const size_t group = std::min(rows.keys.size(), kRowsPerStatement);
    std::vector<char> key_texts(group * kDecimalTextSize);
    std::vector<const char*> values(3 * group);
    std::vector<int> lengths(3 * group, 0);
    std::vector<int> formats(3 * group, kTextFormat);
    for (size_t j = 0; j < group; ++j) formats[3 * j + 1] = kBinaryFormat;
    for (size_t begin = 0; begin < rows.keys.size(); begin += kRowsPerStatement) {
      const size_t count = std::min(kRowsPerStatement, rows.keys.size() - begin);
      for (size_t j = 0; j < count; ++j) {
        char* key_text = key_texts.data() + j * kDecimalTextSize;
        WriteDecimal(rows.keys[begin + j], key_text);
        values[3 * j] = key_text;
        values[3 * j + 1] = rows.data[begin + j];
        lengths[3 * j + 1] = rows.lengths[begin + j];
        values[3 * j + 2] = store_text.c_str();
      }
      values.resize(3 * count);
      const bool full = count == kRowsPerStatement;
      if (full && full_group_statement_.empty()) {
        full_group_statement_ = UpsertStatement(table_name_, count);
      }
      const std::string partial = full ? std::string() : UpsertStatement(table_name_, count);
      ExecuteBatchPushQuery(full ? full_group_statement_ : partial, values, lengths, formats);
    }
    if (!transaction.Commit()) FailStatement(session, "Postgres COMMIT transaction error: ");
  } catch (const std::exception& e) {
    transaction.Rollback();
    // The step logged its own line; this one names the whole push.
    throw std::runtime_error(std::string("Error executing Batch Push. Rolling back transaction: ") +
                             e.what());
  }
  KeystoreLog().info("Items successfully pushed to Postgres");
}

void PostgresKeystore::ExecuteBatchPushQuery(const std::string& sql,
                                             const std::vector<const char*>& values,
                                             const std::vector<int>& lengths,
                                             const std::vector<int>& formats) {
  PGresultPtr result = session_->ExecParams(sql, static_cast<int>(values.size()), values.data(),
                                            lengths.data(), formats.data(), kTextFormat);
  if (!HasStatus(result, PGRES_COMMAND_OK)) {
    FailStatement(*session_, "Postgres query execution failed: ");
  }
}

void PostgresKeystore::PushItem(const uint64_t& index, const uint64_t& key, const uint8_t* data,
                                size_t size) {
  const DecimalText key_text = ToDecimal(key);
  KeystoreLog().info(std::string("Postgres push_item key: ") + key_text.c_str());
  std::lock_guard lock(mutex_);
  const DecimalText store_text = ToDecimal(StoreOf(index));
  const char* values[] = {key_text.c_str(), BinaryParam(data, size), store_text.c_str()};
  const int lengths[] = {0, static_cast<int>(size), 0};
  const int formats[] = {kTextFormat, kBinaryFormat, kTextFormat};
  PGresultPtr result =
      Session().ExecParams(UpsertStatement(table_name_, 1), 3, values, lengths, formats, kTextFormat);
  if (!HasStatus(result, PGRES_COMMAND_OK)) {
    FailStatement(*session_, "Postgres put_item error: ");
  }
  KeystoreLog().info("Item successfully pushed to Postgres");
}

nivora::Array2D<unsigned char> PostgresKeystore::GetItem(const uint64_t& index,
                                                         const uint64_t& key) {
  KeystoreLog().info("Getting item from Postgres");
  std::lock_guard lock(mutex_);
  const DecimalText key_text = ToDecimal(key);
  const DecimalText store_text = ToDecimal(StoreOf(index));
  PGresultPtr result = Session().ExecText(
      "SELECT value FROM " + table_name_ + " WHERE key = $1 AND index_name = $2;",
      {key_text.c_str(), store_text.c_str()}, kBinaryFormat);
  if (!HasStatus(result, PGRES_TUPLES_OK)) {
    FailStatement(*session_, "Postgres get_item error: ");
  }
  nivora::Array2D<unsigned char> item;
  if (PQntuples(result.get()) > 0) {
    item = OneRow(reinterpret_cast<const uint8_t*>(PQgetvalue(result.get(), 0, 0)),
                  static_cast<size_t>(PQgetlength(result.get(), 0, 0)));
  }
  KeystoreLog().info("Item successfully retrieved from Postgres");
  return item;
}

PGresultPtr PostgresKeystore::ConstructAndExecuteBatchGetQuery(
    const uint64_t& index, const std::vector<uint64_t>& keys) {
  std::string sql = "SELECT key, value FROM " + table_name_ + " WHERE key IN (";
  AppendKeyList(sql, keys);
  sql += ") AND index_name = ";
  sql += ToDecimal(StoreOf(index)).c_str();
  sql += ';';
  PGresultPtr result = Session().ExecParams(sql, 0, nullptr, nullptr, nullptr, kBinaryFormat);
  if (!HasStatus(result, PGRES_TUPLES_OK)) FailStatement(*session_, "Batch get failed: ");
  return result;
}

namespace {

// For each requested position, the result row holding its key, or -1.
std::vector<int> RowsOfKeys(const PGresult* result, const std::vector<uint64_t>& keys) {
  const int rows = PQntuples(result);
  absl::flat_hash_map<uint64_t, int> row_of;
  row_of.reserve(static_cast<size_t>(rows));
  for (int r = 0; r < rows; ++r) {
    // A later row of the same key replaces an earlier one.
    row_of[ParseKey(PQgetvalue(result, r, 0), static_cast<size_t>(PQgetlength(result, r, 0)))] =
        r;
  }
  std::vector<int> found(keys.size(), -1);
  for (size_t i = 0; i < keys.size(); ++i) {
    auto it = row_of.find(keys[i]);
    if (it != row_of.end()) found[i] = it->second;
  }
  return found;
}

}  // namespace

nivora::Array2D<unsigned char> PostgresKeystore::BatchGetItemsImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys) {
  const size_t n = keys.size();
  KeystoreLog().info("Getting " + std::to_string(n) + " items from Postgres");
  if (n == 0) {
    KeystoreLog().warning("No keys provided for batch retrieval");
    return {};
  }
  const size_t value_size = GetValueSizeImpl(index);
  if (value_size == 0) {
    throw std::invalid_argument("Data size must be a multiple of the number of columns");
  }
  std::lock_guard lock(mutex_);
  PGresultPtr result = ConstructAndExecuteBatchGetQuery(index, keys);
  const std::vector<int> found = RowsOfKeys(result.get(), keys);
  nivora::Array2D<unsigned char> rows(n, value_size);
  for (size_t i = 0; i < n; ++i) {
    // A value of another width is not a value of this index: its row stays zero.
    if (found[i] < 0 || static_cast<size_t>(PQgetlength(result.get(), found[i], 1)) != value_size) {
      continue;
    }
    std::memcpy(rows.row(i), PQgetvalue(result.get(), found[i], 1), value_size);
  }
  KeystoreLog().info("Items successfully retrieved from Postgres");
  return rows;
}

std::vector<std::vector<uint8_t>> PostgresKeystore::BatchGetVariableImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys) {
  KeystoreLog().info("Getting " + std::to_string(keys.size()) + " items from Postgres");
  if (keys.empty()) {
    KeystoreLog().warning("No keys provided for batch retrieval");
    return {};
  }
  std::lock_guard lock(mutex_);
  PGresultPtr result = ConstructAndExecuteBatchGetQuery(index, keys);
  const std::vector<int> found = RowsOfKeys(result.get(), keys);
  std::vector<std::vector<uint8_t>> values(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    if (found[i] < 0) continue;
    const auto* bytes = reinterpret_cast<const uint8_t*>(PQgetvalue(result.get(), found[i], 1));
    values[i].assign(bytes, bytes + PQgetlength(result.get(), found[i], 1));
  }
  KeystoreLog().info("Items successfully retrieved from Postgres");
  return values;
}

void PostgresKeystore::DeleteItem(const uint64_t& index, const uint64_t& key) {
  const DecimalText key_text = ToDecimal(key);
  KeystoreLog().info(std::string("Deleting item from Postgres with key: ") + key_text.c_str());
  std::lock_guard lock(mutex_);
  PGresultPtr result = Session().Exec("DELETE FROM " + table_name_ + " WHERE key = '" +
                                             key_text.c_str() + "' AND index_name = " +
                                             ToDecimal(StoreOf(index)).c_str() + ";");
  if (!HasStatus(result, PGRES_COMMAND_OK)) FailStatement(*session_, "Delete Failed: ");
  KeystoreLog().info("Item successfully deleted from Postgres");
}

void PostgresKeystore::BatchDeleteItemsImpl(const uint64_t& index,
                                            const std::vector<uint64_t>& keys) {
  KeystoreLog().info("Deleting " + std::to_string(keys.size()) + " items from Postgres");
  if (keys.empty()) return;
  std::string sql = "DELETE FROM " + table_name_ + " WHERE key IN (";
  AppendKeyList(sql, keys);
  sql += ") AND index_name = ";
  sql += ToDecimal(StoreOf(index)).c_str();
  sql += ';';
  std::lock_guard lock(mutex_);
  if (!HasStatus(Session().Exec(sql), PGRES_COMMAND_OK)) {
    FailStatement(*session_, "Batch delete failed: ");
  }
  KeystoreLog().info("Items successfully deleted from Postgres");
}

void PostgresKeystore::DeleteIndexImpl(const uint64_t& index) {
  KeystoreLog().info("Deleting index from Postgres");
  std::lock_guard lock(mutex_);
  const DecimalText store_text = ToDecimal(StoreOf(index));
  PGresultPtr as_text =
      Session().ExecText("DELETE FROM " + table_name_ + " WHERE index_name = $1;",
               {store_text.c_str()}, kTextFormat);
  if (!HasStatus(as_text, PGRES_COMMAND_OK)) {
    FailStatement(*session_, "Failed to delete index (string representation): ");
  }
  PGresultPtr as_number =
      Session().ExecText("DELETE FROM " + table_name_ + " WHERE index_name::bigint = $1;",
               {store_text.c_str()}, kTextFormat);
  if (!HasStatus(as_number, PGRES_COMMAND_OK)) {
    KeystoreLog().warning("Note: Failed to delete index numeric representation: " +
                          session_->Error());
  }
  KeystoreLog().info("Index successfully deleted from Postgres");
}

size_t PostgresKeystore::GetTotalSize(const uint64_t& index) {
  std::lock_guard lock(mutex_);
  PGresultPtr result = Session().Exec("SELECT COUNT(*) FROM " + table_name_ +
                                             " WHERE index_name = " +
                                             ToDecimal(StoreOf(index)).c_str() + ";");
  if (!HasStatus(result, PGRES_TUPLES_OK) || PQntuples(result.get()) < 1) {
    FailStatement(*session_, "Failed to count items: ");
  }
  return ParseKey(PQgetvalue(result.get(), 0, 0),
                  static_cast<size_t>(PQgetlength(result.get(), 0, 0)));
}

std::vector<uint64_t> PostgresKeystore::GetAllKeys(const uint64_t& index) {
  KeystoreLog().info("Getting all keys from Postgres");
  std::lock_guard lock(mutex_);
  const DecimalText store_text = ToDecimal(StoreOf(index));
  PGresultPtr result =
      Session().ExecText("SELECT key FROM " + table_name_ + " WHERE index_name = $1;",
               {store_text.c_str()}, kTextFormat);
  if (!HasStatus(result, PGRES_TUPLES_OK)) {
    FailStatement(*session_, "Failed to get all keys: ");
  }
  const int rows = PQntuples(result.get());
  std::vector<uint64_t> keys;
  keys.reserve(static_cast<size_t>(rows));
  for (int r = 0; r < rows; ++r) {
    keys.push_back(ParseKey(PQgetvalue(result.get(), r, 0),
                            static_cast<size_t>(PQgetlength(result.get(), r, 0))));
  }
  KeystoreLog().info("Retrieved " + std::to_string(keys.size()) + " keys from Postgres");
  return keys;
}

}  // namespace nivora_encrypted_index::internal::backing_store
