// RedisKeystore: construction (connect, TLS, SELECT, PING), the accessors
// and the one way every operation sends a command and judges its reply.
#include "backing_store/external/redis/redis_keystore.h"

#include <stdexcept>
#include <string>

#include "backing_store/external/redis/redis_connection_params.h"
#include "backing_store/keystore_log.h"
#include "core/little_endian.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

// The connection after TLS setup when asked; throws with the texts of the
// constructor's contract.
std::unique_ptr<RedisConnection> Connect(const std::string& host, int port, bool tls,
                                         const RedisParams& params) {
  auto connection = std::make_unique<RedisConnection>(host, port, kRedisConnectTimeout);
  if (!connection->ok()) {
    throw std::runtime_error("Failed to connect to Redis: " + connection->error_text());
  }
  if (tls) {
    try {
      ConfigureSSL(*connection, host, params);
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string("SSL configuration failed: ") + e.what());
    }
  }
  return connection;
}

void SelectDatabase(RedisConnection& connection, int db) {
  const std::string number = std::to_string(db);
  RedisReplyPtr reply = connection.Command({"SELECT", number});
  if (reply == nullptr || !connection.ok()) {
    throw std::runtime_error("Failed to select Redis database (db=" + number +
                             "): " + connection.error_text());
  }
  if (reply->type != REDIS_REPLY_STATUS || ReplyText(*reply) != "OK") {
    throw std::runtime_error("Failed to select Redis database: unexpected reply: " +
                             (reply->str == nullptr ? std::string("null") : ReplyText(*reply)));
  }
}

}  // namespace

RedisKeystore::RedisKeystore(nivora::DBConfig config, const BackingStoreType& type)
    : table_name_(config.table_name.value_or("")), store_type_(type) {
  if (!config.db_connection_string.has_value() || !config.table_name.has_value()) {
    throw std::invalid_argument("Invalid DBConfig: missing db_connection_string or table_name.");
  }
  RedisParams params = ParseConnectionString(*config.db_connection_string);
  ValidateConnectionParams(params);
  const std::string host = params["host"];
  const int port = std::stoi(params["port"]);
  const int db = std::stoi(params["db"]);
  connection_ = Connect(host, port, TlsRequested(params), params);
  SelectDatabase(*connection_, db);
  try {
    PingRedis(*connection_);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("Connection verification failed: ") + e.what());
  }
}

RedisKeystore::~RedisKeystore() = default;

RedisKeystore::HashId RedisKeystore::ItemHash(const uint64_t& index) const {
  HashId id;
  nivora::StoreLittleEndian(hashed_index_name(index, store_type_), id.data());
  return id;
}

std::string RedisKeystore::GetEffectiveHashName(const uint64_t& index) const {
  return std::to_string(hashed_index_name(index, store_type_));
}

RedisReplyPtr RedisKeystore::Run(RedisArgs& args, const std::string& failure) {
  RedisReplyPtr reply = connection_->Command(args);
  if (reply == nullptr || !connection_->ok()) {
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::ERROR, failure);
  }
  if (reply->type == REDIS_REPLY_ERROR) {
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::ERROR,
                                            failure + ": " + ReplyText(*reply));
  }
  return reply;
}

void RedisKeystore::SetValueSizeImpl(const uint64_t& index, size_t value_size) {
  std::unique_lock lock(value_sizes_mutex_);
  value_sizes_[index] = value_size;
}

size_t RedisKeystore::GetValueSizeImpl(const uint64_t& index) const {
  std::shared_lock lock(value_sizes_mutex_);
  auto it = value_sizes_.find(index);
  return it == value_sizes_.end() ? kDefaultValueSize : it->second;
}

void RedisKeystore::FlushRedis() {
  std::lock_guard lock(mutex_);
  if (!connection_->ok()) {
    // A broken connection is never revived: replies could fall out of step.
    KeystoreLog().warning("Redis connection has error state, attempting to clear pending replies");
  }
  if (connection_->Command({"FLUSHDB"}) == nullptr) {
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::ERROR, "FLUSHDB command failed");
  }
}

}  // namespace nivora_encrypted_index::internal::backing_store
