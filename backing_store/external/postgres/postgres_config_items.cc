// PostgresKeystore: config items, one row each of the config table.
#include <stdexcept>

#include "backing_store/external/postgres/postgres_keystore.h"
#include "backing_store/item_bytes.h"
#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {


// The name without its ".nvs"-style ending, as callers name the index.
std::string WithoutSuffix(const std::string& name) {
  return name.size() < 4 ? name : name.substr(0, name.size() - 4);
}

}  // namespace

void PostgresKeystore::RequireConfigStore(const char* message) const {
  if (store_type_ != BackingStoreType::CONFIG) RejectArgument(message, message);
}

void PostgresKeystore::PushConfigItem(const std::string& name, const uint8_t* data, size_t size) {
  RequireConfigStore("Cannot store config items in a non-config keystore");
  std::lock_guard lock(mutex_);
  const char* values[] = {name.c_str(), BinaryParam(data, size)};
  const int lengths[] = {static_cast<int>(name.size()), static_cast<int>(size)};
  const int formats[] = {kTextFormat, kBinaryFormat};
  PGresultPtr result = Session().ExecParams(
      "INSERT INTO " + table_name_ +
          " (index_name, config) VALUES ($1, $2) ON CONFLICT (index_name) DO UPDATE SET config = "
          "EXCLUDED.config;",
      2, values, lengths, formats, kTextFormat);
  if (!HasStatus(result, PGRES_COMMAND_OK)) {
    throw std::runtime_error("Postgres put_item error: " + session_->Error());
  }
}

nivora::Array2D<unsigned char> PostgresKeystore::LoadConfigItem(const std::string& name) {
  std::lock_guard lock(mutex_);
  PGresultPtr result =
      Session().ExecText("SELECT config FROM " + table_name_ + " WHERE index_name = $1;",
               {name.c_str()}, kBinaryFormat);
  if (!HasStatus(result, PGRES_TUPLES_OK)) {
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::ERROR,
                                            "Postgres get_item error: " + session_->Error());
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
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::ERROR,
                                            "PostgreSQL query error: " + session_->Error());
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
    nivora::LogAndThrow<std::runtime_error>(
        KeystoreLog(), nivora::ERROR, "Postgres delete config item error: " + session_->Error());
  }
  KeystoreLog().info("Config item '" + name + "' successfully deleted from Postgres");
}

}  // namespace nivora_encrypted_index::internal::backing_store
