#include "backing_store/external/redis/redis_index_lister.h"

#include <stdexcept>

#include "backing_store/external/redis/redis_connection.h"
#include "backing_store/external/redis/redis_connection_params.h"
#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index {
namespace {

using internal::backing_store::KeystoreLog;
using internal::backing_store::RedisConnection;
using internal::backing_store::RedisParams;
using internal::backing_store::RedisReplyPtr;
using internal::backing_store::ReplyText;

[[noreturn]] void Fail(const std::string& message) {
  nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::ERROR, message);
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
  RedisParams params = internal::backing_store::ParseConnectionString(*config.db_connection_string);
  for (const char* key : {"host", "port", "db"}) {
    if (params.count(key) == 0) {
      Reject(std::string("Redis connection string missing required key: '") + key + "'");
    }
  }
  const std::string host = params["host"];
  const int port = std::stoi(params["port"]);
  const std::string db = std::to_string(std::stoi(params["db"]));

  RedisConnection connection(host, port, internal::backing_store::kRedisConnectTimeout);
  if (!connection.ok()) Fail("Failed to connect to Redis: " + connection.error_text());
  if (internal::backing_store::TlsRequested(params)) {
    internal::backing_store::ConfigureSSL(connection, host, params);
  }

  RedisReplyPtr reply = connection.Command({"SELECT", db});
  if (reply == nullptr || !connection.ok()) {
    throw std::runtime_error("Failed to select Redis database: " + connection.error_text());
  }
  // Listing database 0 instead of the one asked for would be a wrong answer.
  if (reply->type == REDIS_REPLY_ERROR) {
    throw std::runtime_error("Failed to select Redis database: " + ReplyText(*reply));
  }

  const std::string hkeys_failure = "HKEYS command failed for table_name: " + table;
  reply = connection.Command({"HKEYS", table});
  if (reply == nullptr || !connection.ok()) Fail(hkeys_failure);
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
