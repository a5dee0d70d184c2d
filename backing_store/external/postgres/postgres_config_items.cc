// PostgresKeystore: config items, one row each of the config table.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "backing_store/external/postgres/postgres_keystore.h"
#include "backing_store/item_bytes.h"
#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

// The config table's index_name column, VARCHAR(255), counts characters; an
// index's config items add a 4-character ending to its name.
constexpr size_t kConfigNameWidth = 255;
constexpr size_t kConfigEndingLength = 4;

// Bytes of the UTF-8 sequence that a lead byte opens; 0 for a byte that
// opens none.
size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xC0) return 0;  // a continuation byte
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return lead < 0xF8 ? 4 : 0;
}

// The number of characters of text in UTF-8, or nullopt when it is not
// valid UTF-8 as the server reads it (no overlong forms, surrogates or code
// points past U+10FFFF).
std::optional<size_t> Utf8Characters(std::string_view text) {
  // The smallest code point of each sequence length; less is overlong.
  constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  size_t characters = 0;
  for (size_t i = 0; i < text.size(); ++characters) {
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    const size_t length = SequenceLength(byte(i));
    if (length == 0 || length > text.size() - i) return std::nullopt;
    uint32_t code = byte(i) & (length == 1 ? 0x7F : 0xFF >> (length + 1));
    for (size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return std::nullopt;
      code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return std::nullopt;
    }
    i += length;
  }
  return characters;
}

[[noreturn]] void RefuseName(const char* message) { RejectArgument(message, message); }

// The name without its ".nvs"-style ending, as callers name the index.
std::string WithoutSuffix(const std::string& name) {
  return name.size() < 4 ? name : name.substr(0, name.size() - 4);
}

}  // namespace

void PostgresKeystore::RequireConfigStore(const char* message) const {
  if (store_type_ != BackingStoreType::CONFIG) RejectArgument(message, message);
}

void PostgresKeystore::CheckIndexName(const std::string& index_name) {
  if (index_name.find('\0') != std::string::npos) {
    RefuseName("Index name cannot contain a NUL character in PostgreSQL.");
  }
  bool utf8 = false;
  {
    std::lock_guard lock(mutex_);
    utf8 = Session().Parameter("client_encoding") == "UTF8";
  }
  // Another client encoding: bytes, never fewer than its characters.
  std::optional<size_t> characters = index_name.size();
  if (utf8) characters = Utf8Characters(index_name);
  if (!characters) RefuseName("Index name must be valid UTF-8 in PostgreSQL.");
  if (*characters > kConfigNameWidth - kConfigEndingLength) {
    RefuseName("Index name cannot be longer than 251 characters in PostgreSQL.");
  }
}

PGresultPtr PostgresKeystore::InsertConfigItem(const std::string& name, const uint8_t* data,
                                               size_t size, const char* on_conflict) {
  RequireConfigStore("Cannot store config items in a non-config keystore");
  std::lock_guard lock(mutex_);
  const char* values[] = {name.c_str(), BinaryParam(data, size)};
  const int lengths[] = {static_cast<int>(name.size()), static_cast<int>(size)};
  const int formats[] = {kTextFormat, kBinaryFormat};
  PGresultPtr result = Session().ExecParams(
      "INSERT INTO " + table_name_ + " (index_name, config) VALUES ($1, $2) ON CONFLICT " +
          "(index_name) " + on_conflict + ";",
      2, values, lengths, formats, kTextFormat);
  if (!HasStatus(result, PGRES_COMMAND_OK)) {
    throw std::runtime_error("Postgres put_item error: " + session_->Error());
  }
  return result;
}

void PostgresKeystore::PushConfigItem(const std::string& name, const uint8_t* data, size_t size) {
  InsertConfigItem(name, data, size, "DO UPDATE SET config = EXCLUDED.config");
}

bool PostgresKeystore::PushConfigItemIfAbsent(const std::string& name, const uint8_t* data,
                                              size_t size) {
  // The unique index_name makes a second INSERT wait for the first one's
  // commit, then insert nothing: one row affected means this call stored.
  const PGresultPtr result = InsertConfigItem(name, data, size, "DO NOTHING");
  return std::string_view(PQcmdTuples(result.get())) == "1";
}

nivora::Array2D<unsigned char> PostgresKeystore::LoadConfigItem(const std::string& name) {
  std::lock_guard lock(mutex_);
  PGresultPtr result =
      Session().ExecText("SELECT config FROM " + table_name_ + " WHERE index_name = $1;",
               {name.c_str()}, kBinaryFormat);
  if (!HasStatus(result, PGRES_TUPLES_OK)) {
    FailStatement(*session_, "Postgres get_item error: ");
  }
  if (PQntuples(result.get()) != 1) {
    nivora::LogAndThrow<std::runtime_error>(
        KeystoreLog(), nivora::ERROR, "Index name '" + name + "' does not exist in Postgres.",
        "Index name '" + WithoutSuffix(name) + "' does not exist in Postgres.");
  }
  const size_t length = static_cast<size_t>(PQgetlength(result.get(), 0, 0));
  if (length == 0) {
    throw std::invalid_argument("Data size must be a multiple of the number of columns");
  }
  return OneRow(reinterpret_cast<const uint8_t*>(PQgetvalue(result.get(), 0, 0)), length);
}

bool PostgresKeystore::ConfigItemExists(const std::string& name) {
  std::lock_guard lock(mutex_);
  PGresultPtr result = Session().ExecText(
      "SELECT EXISTS(SELECT 1 FROM " + table_name_ + " WHERE index_name = $1)",
      {name.c_str()}, kTextFormat);
  if (!HasStatus(result, PGRES_TUPLES_OK) || PQntuples(result.get()) < 1) {
    FailStatement(*session_, "PostgreSQL query error: ");
  }
  return IsTrue(result.get(), 0, 0);
}

void PostgresKeystore::DeleteConfigItem(const std::string& name) {
  RequireConfigStore("Cannot delete config items in a non-config keystore");
  std::lock_guard lock(mutex_);
  PGresultPtr result =
      Session().ExecText("DELETE FROM " + table_name_ + " WHERE index_name = $1;",
               {name.c_str()}, kTextFormat);
  if (!HasStatus(result, PGRES_COMMAND_OK)) {
    FailStatement(*session_, "Postgres delete config item error: ");
  }
  KeystoreLog().info("Config item '" + name + "' successfully deleted from Postgres");
}

}  // namespace nivora_encrypted_index::internal::backing_store
