#include "backing_store/external/postgres/postgres_statements.h"

#include <charconv>
#include <stdexcept>

namespace nivora_encrypted_index::internal::backing_store {

size_t WriteDecimal(uint64_t value, char* out) {
  const auto end = std::to_chars(out, out + kDecimalTextSize - 1, value).ptr;
  *end = '\0';
  return static_cast<size_t>(end - out);
}

DecimalText ToDecimal(uint64_t value) {
  DecimalText decimal;
  WriteDecimal(value, decimal.text);
  return decimal;
}

uint64_t StoreNumber(uint64_t index, BackingStoreType type) {
  return hashed_index_name(index, type) & 0x7FFFFFFFFFFFFFFFull;
}

uint64_t ParseKey(const char* text, size_t length) {
  uint64_t key = 0;
  const auto [end, error] = std::from_chars(text, text + length, key);
  if (error == std::errc::result_out_of_range) {
    throw std::out_of_range("Key out of range in Postgres table: " + std::string(text, length));
  }
  if (error != std::errc() || end == text) {
    throw std::invalid_argument("Key is not a number in Postgres table: " +
                                std::string(text, length));
  }
  return key;
}

std::string UpsertStatement(const std::string& table, size_t rows) {
  std::string sql = "INSERT INTO " + table + " (key, value, index_name) VALUES ";
  sql.reserve(sql.size() + rows * 24 + 100);
  char number[kDecimalTextSize];
  for (size_t j = 0; j < rows; ++j) {
    if (j > 0) sql += ", ";
    for (size_t p = 1; p <= 3; ++p) {
      sql += p == 1 ? "($" : ", $";
      sql.append(number, WriteDecimal(3 * j + p, number));
    }
    sql += ')';
  }
  sql += " ON CONFLICT (key, index_name) DO UPDATE SET value = EXCLUDED.value, index_name = "
         "EXCLUDED.index_name;";
  return sql;
}

void AppendKeyList(std::string& sql, const std::vector<uint64_t>& keys) {
  sql.reserve(sql.size() + keys.size() * (kDecimalTextSize + 4));
  char number[kDecimalTextSize];
  for (size_t i = 0; i < keys.size(); ++i) {
    sql += i == 0 ? "'" : ", '";
    sql.append(number, WriteDecimal(keys[i], number));
    sql += '\'';
  }
}

std::string CompareAndSetStatement(const std::string& table) {
  // The bytea literal must reach the server as \x followed by sixteen zeros:
  // hence the doubled backslash.
  return "WITH version_check AS (  SELECT     CASE       WHEN NOT EXISTS (SELECT 1 FROM " +
         table +
         " WHERE key = $4 AND index_name = $3)       THEN ($5 = '\\x0000000000000000'::bytea)"
         "       ELSE EXISTS (        SELECT 1 FROM " +
         table +
         "         WHERE key = $4 AND index_name = $3 AND value = $5      )     END as "
         "version_matches), map_upsert AS (  INSERT INTO " +
         table +
         " (key, value, index_name)   SELECT $1, $2, $3   FROM version_check   WHERE "
         "version_matches = true   ON CONFLICT (key, index_name) DO UPDATE SET     value = "
         "EXCLUDED.value,     index_name = EXCLUDED.index_name   WHERE EXISTS (SELECT 1 FROM "
         "version_check WHERE version_matches = true)   RETURNING 1), version_upsert AS (  "
         "INSERT INTO " +
         table +
         " (key, value, index_name)   SELECT $4, $6, $3   FROM version_check   WHERE "
         "version_matches = true AND EXISTS (SELECT 1 FROM map_upsert)   ON CONFLICT (key, "
         "index_name) DO UPDATE SET     value = EXCLUDED.value,     index_name = "
         "EXCLUDED.index_name   WHERE EXISTS (SELECT 1 FROM version_check WHERE version_matches "
         "= true)   RETURNING 1) SELECT   EXISTS (SELECT 1 FROM version_upsert) as success,   "
         "(SELECT version_matches FROM version_check) as version_ok;";
}

}  // namespace nivora_encrypted_index::internal::backing_store
