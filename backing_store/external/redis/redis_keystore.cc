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

RedisSettings SettingsOf(const nivora::DBConfig& config) {
  if (!config.db_connection_string.has_value() || !config.table_name.has_value()) {
    throw std::invalid_argument("Invalid DBConfig: missing db_connection_string or table_name.");
  }
  return ReadRedisSettings(*config.db_connection_string);
}

}  // namespace

RedisKeystore::RedisKeystore(nivora::DBConfig config, const BackingStoreType& type)
    : table_name_(config.table_name.value_or("")),
      store_type_(type),
      settings_(SettingsOf(config)) {
  connection_ = OpenRedisConnection(settings_);
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

RedisConnection& RedisKeystore::Connection() {
  if (connection_ == nullptr || connection_->PeerClosed()) {
    // A new connection: no reply of the old one can reach it.
    connection_.reset();
    try {
      connection_ = OpenRedisConnection(settings_);
    } catch (const std::exception& e) {
      nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), kConnectionFailureLevel, e.what());
    }
    KeystoreLog().info("Reconnected to Redis");
  }
  return *connection_;
}

RedisReplyPtr RedisKeystore::Run(RedisArgs& args, const std::string& failure) {
  RedisConnection& connection = Connection();
  RedisReplyPtr reply = connection.Command(args);
  if (reply == nullptr || !connection.ok()) {
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), kConnectionFailureLevel,
                                            failure + ": " + connection.error_text());
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
  if (Connection().Command({"FLUSHDB"}) == nullptr) {
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::ERROR, "FLUSHDB command failed");
  }
}

}  // namespace nivora_encrypted_index::internal::backing_store
