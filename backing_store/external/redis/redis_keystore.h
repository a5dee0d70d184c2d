// RedisKeystore keeps one store kind of every index of a location in a Redis
// server. Layout, shared with every other client of the same data:
//   item hash   key: the 8 bytes of hashed_index_name, little-endian;
//               fields: the 8 bytes of each item key, little-endian.
//   map hash    key: hashed_index_name in decimal; fields: the map key and
//               version key in decimal; the version is decimal text, updated
//               only by a server-side compare-and-set script.
//   config hash key: the location's table_name; fields: config item names.
// Batch pushes are one pipeline and batch reads one HMGET per call.
//
// Each keystore owns one connection (plain or TLS), opened and checked by the
// constructor. An operation that finds it broken (the server closed it, or a
// reply did not come within the reply timeout) fails with the operation's
// message + ": " + the cause; the next operation, or one that finds the
// server has hung up before it sends anything, opens a new connection first.
// A server error reply is a failure too, raised as the operation's message +
// ": " + the server's text.
//
// Thread safety: every operation may be called from any thread; one mutex
// serialises the use of the connection. Value sizes are kept per index,
// apart from the connection.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_REDIS_REDIS_KEYSTORE_H_
#define NIVORA_BACKING_STORE_EXTERNAL_REDIS_REDIS_KEYSTORE_H_

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "backing_store/external/redis/redis_connection.h"
#include "backing_store/external/redis/redis_connection_params.h"
#include "backing_store/keystore.h"

namespace nivora_encrypted_index::internal::backing_store {

class RedisKeystore : public Keystore {
 public:
  // Connects to the server the connection string names (5 s connect timeout),
  // sets up TLS when asked, selects the database and sends PING. Throws
  // std::invalid_argument when the string or table name is absent or the
  // string is malformed (see ReadRedisSettings), and std::runtime_error
  // "Failed to connect to Redis: ...", "SSL configuration failed: ...",
  // "Failed to select Redis database ..." or "Connection verification
  // failed: ..."; no connection stays open.
  RedisKeystore(nivora::DBConfig config, const BackingStoreType& type);
  ~RedisKeystore() override;

  void BatchPushItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                          const nivora::Array2D<unsigned char>& values) override;
  // Empty values are skipped: an existing value under that key stays.
  void BatchPushVariableImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                             const std::vector<std::vector<uint8_t>>& values) override;
  void PushItem(const uint64_t& index, const uint64_t& key, const uint8_t* data,
                size_t size) override;
  bool PushMapImpl(const uint64_t& index, const uint64_t& map_key, const uint8_t* data,
                   size_t size, const uint64_t& version_key,
                   const uint64_t& expected_version) override;
  void BatchDeleteItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys) override;
  void DeleteItem(const uint64_t& index, const uint64_t& key) override;
  nivora::Array2D<unsigned char> GetItem(const uint64_t& index, const uint64_t& key) override;
  VersionedMap GetMapImpl(const uint64_t& index, const uint64_t& map_key,
                          const uint64_t& version_key) override;
  // One row per key: a stored value of exactly the value size, else zeros.
  nivora::Array2D<unsigned char> BatchGetItemsImpl(const uint64_t& index,
                                                   const std::vector<uint64_t>& keys) override;
  std::vector<std::vector<uint8_t>> BatchGetVariableImpl(
      const uint64_t& index, const std::vector<uint64_t>& keys) override;

  // A missing item makes LoadConfigItem throw std::runtime_error
  // "Index name '<name less its last 4 characters>' does not exist in Redis.".
  void PushConfigItem(const std::string& name, const uint8_t* data, size_t size) override;
  // One HSETNX: the server decides which of several callers stores.
  bool PushConfigItemIfAbsent(const std::string& name, const uint8_t* data,
                              size_t size) override;
  nivora::Array2D<unsigned char> LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  void DeleteConfigItem(const std::string& name) override;

  // Removes the item hash and the map hash of the index's store.
  void DeleteIndexImpl(const uint64_t& index) override;
  // Items only: the versioned map is not counted or listed.
  size_t GetTotalSize(const uint64_t& index) override;
  std::vector<uint64_t> GetAllKeys(const uint64_t& index) override;
  void SetValueSizeImpl(const uint64_t& index, size_t value_size) override;
  size_t GetValueSizeImpl(const uint64_t& index) const override;
  nivora::Location GetLocation() const override { return nivora::Location::REDIS; }
  BackingStoreType GetBackingStoreType() const override { return store_type_; }

  // The name of the index's map hash: hashed_index_name in decimal.
  std::string GetEffectiveHashName(const uint64_t& index) const;
  // Empties the selected database. Throws std::runtime_error
  // "FLUSHDB command failed" when the server cannot be reached.
  void FlushRedis();

 private:
  using HashId = std::array<uint8_t, 8>;

  HashId ItemHash(const uint64_t& index) const;
  // The open connection, opened anew when the last one broke or the server
  // has hung up. Throws std::runtime_error "Failed to connect to Redis: ..."
  // (and the like) when it cannot be opened. Called with mutex_ held.
  RedisConnection& Connection();
  // Sends one command and returns its reply. No reply or a broken
  // connection: logs at kConnectionFailureLevel; an error reply: logs at
  // ERROR; either way throws std::runtime_error with `failure` + ": " + the
  // cause (the server's text for an error reply).
  RedisReplyPtr Run(RedisArgs& args, const std::string& failure);
  // The same for the config-hash commands, whose lost-connection texts
  // differ: logs `lost_logged` and throws `lost_thrown`; an error reply is
  // logged and thrown as error_prefix + the server's text.
  RedisReplyPtr RunConfigCommand(RedisArgs& args, const std::string& lost_logged,
                                 const std::string& lost_thrown, const std::string& error_prefix);
  // Appends one HSET hash key value without sending.
  void QueueRedisPushCommand(const uint8_t* hash, size_t hash_len, const uint64_t& key,
                             const uint8_t* value, size_t value_len);
  // Reads the replies of `count` queued commands; on an error reply or a
  // failed read, reads what is left of the pipeline and throws.
  void ExecuteRedisPushCommands(size_t count);
  // The reply of HMGET of every key, in one command.
  RedisReplyPtr PrepareRedisGetCommand(const uint64_t& index, const std::vector<uint64_t>& keys);

  const std::string table_name_;
  const BackingStoreType store_type_;
  const RedisSettings settings_;

  std::mutex mutex_;  // guards connection_ and args_
  std::unique_ptr<RedisConnection> connection_;  // null after a failed reopen
  RedisArgs args_;    // reused by the pipelined pushes

  mutable std::shared_mutex value_sizes_mutex_;
  std::unordered_map<uint64_t, size_t> value_sizes_;  // by index; guarded by value_sizes_mutex_
};

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_EXTERNAL_REDIS_REDIS_KEYSTORE_H_
