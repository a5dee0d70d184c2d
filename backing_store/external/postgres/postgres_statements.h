// How the PostgreSQL keystore writes its items into SQL: the decimal key
// text, the store number of an index, and the text of the statements that
// are longer than one line. The table name is pasted unquoted; it has passed
// CheckTableName. Keys and store numbers are pasted as decimal digits only.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_STATEMENTS_H_
#define NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_STATEMENTS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "backing_store/keystore.h"

namespace nivora_encrypted_index::internal::backing_store {

// Digits of 2^64 - 1 plus the terminating zero.
inline constexpr size_t kDecimalTextSize = 21;

// A 64-bit number in decimal, zero-terminated: "0" to "18446744073709551615".
struct DecimalText {
  char text[kDecimalTextSize];
  const char* c_str() const { return text; }
};
DecimalText ToDecimal(uint64_t value);
// Writes the zero-terminated decimal text of `value` at `out` (room for
// kDecimalTextSize bytes) and returns the number of digits.
size_t WriteDecimal(uint64_t value, char* out);

// The value of the index_name column of a store: hashed_index_name with bit
// 63 cleared, so that it fits a BIGINT.
uint64_t StoreNumber(uint64_t index, BackingStoreType type);

// A key column's text back to the key. Throws std::invalid_argument when it
// is not decimal digits, std::out_of_range beyond 64 bits (a row written by
// another program).
uint64_t ParseKey(const char* text, size_t length);

// INSERT of `rows` rows ($1, $2, $3), ($4, $5, $6), ... that replaces the
// value of a key already stored.
std::string UpsertStatement(const std::string& table, size_t rows);

// Appends "'k1', 'k2', ..." for an IN list, in the order of `keys`.
void AppendKeyList(std::string& sql, const std::vector<uint64_t>& keys);

// The versioned map's compare-and-set: one statement that tests the version
// row against $5 (8 zero bytes standing for an absent row) and, when it
// matches, upserts the map row ($1 key, $2 blob) and then the version row
// ($4 key, $6 new version), all under store $3. Returns one row: success,
// version_ok.
std::string CompareAndSetStatement(const std::string& table);

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_EXTERNAL_POSTGRES_POSTGRES_STATEMENTS_H_
