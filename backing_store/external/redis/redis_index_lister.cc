#include "backing_store/external/redis/redis_index_lister.h"

#include <memory>
#include <stdexcept>

#include "backing_store/external/redis/redis_connection.h"
#include "backing_store/external/redis/redis_connection_params.h"
#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index {
namespace {

using internal::backing_store::KeystoreLog;
using internal::backing_store::RedisConnection;
using internal::backing_store::RedisReplyPtr;
using internal::backing_store::ReplyText;

[[noreturn]] void Fail(const std::string& message, int level = nivora::ERROR) {
  nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), level, message);
}

[[noreturn]] void Reject(const std::string& message) {
  nivora::LogAndThrow<std::invalid_argument>(KeystoreLog(), nivora::ERROR, message);
}

constexpr const char kStateSuffix[] = ".nvs";
constexpr size_t kSuffixLength = sizeof(kStateSuffix) - 1;

}  // namespace

std::vector<std::string> ListRedisIndexes(const nivora::DBConfig& config) {
  if (!config.table_name.has_value()) Reject("table_name is not set in DBConfig.");
  if (!config.db_connection_string.has_value()) {
    Reject("Database connection string is missing in the configuration.");
  }
  const std::string& table = *config.table_name;
  std::unique_ptr<RedisConnection> opened;
  try {
    opened = internal::backing_store::OpenRedisConnection(
        internal::backing_store::ReadRedisSettings(*config.db_connection_string));
  } catch (const std::invalid_argument& e) {
    Reject(e.what());
  } catch (const std::exception& e) {
    Fail(e.what(), internal::backing_store::kConnectionFailureLevel);
  }
  RedisConnection& connection = *opened;
  const std::string hkeys_failure = "HKEYS command failed for table_name: " + table;
  RedisReplyPtr reply = connection.Command({"HKEYS", table});
  if (reply == nullptr || !connection.ok()) {
    Fail(hkeys_failure + ": " + connection.error_text(),
         internal::backing_store::kConnectionFailureLevel);
  }
  if (reply->type == REDIS_REPLY_ERROR) Fail(hkeys_failure + ": " + ReplyText(*reply));

  std::vector<std::string> names;
  if (reply->type == REDIS_REPLY_ARRAY) {
    for (size_t i = 0; i < reply->elements; ++i) {
      const std::string field = ReplyText(*reply->element[i]);
      if (field.size() > kSuffixLength &&
          field.compare(field.size() - kSuffixLength, kSuffixLength, kStateSuffix) == 0) {
        names.push_back(field.substr(0, field.size() - kSuffixLength));
      }
    }
  }
  return names;
}

}  // namespace nivora_encrypted_index
