// RedisKeystore's item operations: pipelined batch pushes, one-HMGET batch
// reads, single items, deletes and the whole-store operations.
#include <cstring>
#include <stdexcept>
#include <string>

#include "backing_store/external/redis/redis_keystore.h"
#include "backing_store/keystore_log.h"
#include "core/little_endian.h"
#include "core/parallel_for.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

constexpr size_t kKeyBytes = 8;

using KeyBytes = std::array<uint8_t, kKeyBytes>;

KeyBytes EncodeKey(uint64_t key) {
  KeyBytes bytes;
  nivora::StoreLittleEndian(key, bytes.data());
  return bytes;
}

void CheckBatchSize(size_t keys, size_t values) {
  if (keys != values) {
    RejectArgument("Mismatch between number of keys (" + std::to_string(keys) +
                       ") and batch size (" + std::to_string(values) + ")",
                   "Mismatch between number of keys and batch size");
  }
}

// Logs the start of a batch read; false (with a warning) when it has no keys.
bool StartBatchRead(size_t n) {
  KeystoreLog().info("Getting " + std::to_string(n) + " items from Redis");
  if (n > 0) return true;
  KeystoreLog().warning("No keys provided for batch retrieval");
  return false;
}

}  // namespace

void RedisKeystore::QueueRedisPushCommand(const uint8_t* hash, size_t hash_len,
                                          const uint64_t& key, const uint8_t* value,
                                          size_t value_len) {
  const KeyBytes field = EncodeKey(key);
  args_.Clear();
  args_.Add("HSET").Add(hash, hash_len).Add(field.data(), field.size()).Add(value, value_len);
  // Formatting copies the arguments, so `field` may go once this returns.
  if (connection_->Append(args_) != REDIS_OK) {
    nivora::LogAndThrow<std::runtime_error>(
        KeystoreLog(), nivora::ERROR, "Failed to queue HSET command: " + connection_->error_text());
  }
}

void RedisKeystore::ExecuteRedisPushCommands(size_t count) {
  const std::string failure = "HSET command failed in batch execution";
  std::string thrown;
  size_t remaining = 0;
  for (size_t i = 0; i < count; ++i) {
    RedisReplyPtr reply;
    if (connection_->GetReply(reply) != REDIS_OK || reply == nullptr) {
      thrown = failure + ": " + connection_->error_text();
      KeystoreLog().log(kConnectionFailureLevel, thrown + " (at command " +
                                                     std::to_string(i + 1) + " of " +
                                                     std::to_string(count) + ")");
      remaining = count - i;
      break;
    }
    if (reply->type == REDIS_REPLY_ERROR) {
      const std::string text = ReplyText(*reply);
      KeystoreLog().error("Redis error in batch execution: " + text);
      thrown = failure + ": " + text;
      remaining = count - i - 1;
      break;
    }
  }
  if (thrown.empty()) return;
  if (remaining > 0) {
    KeystoreLog().warning("Cleaning up " + std::to_string(remaining) +
                          " remaining pipeline commands after error");
    // Every queued command has a reply on its way; take them all so the next
    // command reads its own. A broken connection has none to give.
    for (size_t i = 0; i < remaining && connection_->ok(); ++i) {
      RedisReplyPtr reply;
      connection_->GetReply(reply);
    }
  }
  throw std::runtime_error(thrown);
}

void RedisKeystore::BatchPushItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                                       const nivora::Array2D<unsigned char>& values) {
  std::lock_guard lock(mutex_);
  const size_t n = keys.size();
  KeystoreLog().info("Pushing " + std::to_string(n) + " items to Redis");
  CheckKeysGiven(keys);
  CheckBatchSize(n, values.rows);
  const size_t value_size = GetValueSizeImpl(index);
  if (values.cols != value_size) {
    RejectArgument("Amount of data " + std::to_string(values.rows * values.cols) +
                       " must be divisible by the size of each value " +
                       std::to_string(n * value_size),
                   "Amount of data must be divisible by the size of each value");
  }
  const HashId id = ItemHash(index);
  Connection();
  for (size_t i = 0; i < n; ++i) {
    QueueRedisPushCommand(id.data(), id.size(), keys[i], values.row(i), value_size);
  }
  ExecuteRedisPushCommands(n);
  KeystoreLog().info("Items successfully pushed to Redis");
}

void RedisKeystore::BatchPushVariableImpl(const uint64_t& index,
                                          const std::vector<uint64_t>& keys,
                                          const std::vector<std::vector<uint8_t>>& values) {
  std::lock_guard lock(mutex_);
  const size_t n = keys.size();
  KeystoreLog().info("Pushing variable " + std::to_string(n) + " items to Redis");
  CheckKeysGiven(keys);
  CheckBatchSize(n, values.size());
  const HashId id = ItemHash(index);
  Connection();
  size_t queued = 0;
  for (size_t i = 0; i < n; ++i) {
    if (values[i].empty()) continue;
    QueueRedisPushCommand(id.data(), id.size(), keys[i], values[i].data(), values[i].size());
    ++queued;
  }
  if (queued == 0) {
    KeystoreLog().info("No non-empty values to push to Redis");
  } else {
    ExecuteRedisPushCommands(queued);
  }
  KeystoreLog().info("Items successfully pushed to Redis");
}

void RedisKeystore::PushItem(const uint64_t& index, const uint64_t& key, const uint8_t* data,
                             size_t size) {
  std::lock_guard lock(mutex_);
  KeystoreLog().info("Pushing item to Redis");
  const HashId id = ItemHash(index);
  const KeyBytes field = EncodeKey(key);
  RedisArgs args(4);
  args.Add("HSET").Add(id.data(), id.size()).Add(field.data(), field.size()).Add(data, size);
  Run(args, "HSET command failed");
  KeystoreLog().info("Item successfully pushed to Redis");
}

RedisReplyPtr RedisKeystore::PrepareRedisGetCommand(const uint64_t& index,
                                                    const std::vector<uint64_t>& keys) {
  const HashId id = ItemHash(index);
  std::vector<uint8_t> fields(keys.size() * kKeyBytes);
  RedisArgs args(keys.size() + 2);
  args.Add("HMGET").Add(id.data(), id.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    uint8_t* field = fields.data() + i * kKeyBytes;
    nivora::StoreLittleEndian(keys[i], field);
    args.Add(field, kKeyBytes);
  }
  return Run(args, "HMGET command failed");
}

nivora::Array2D<unsigned char> RedisKeystore::BatchGetItemsImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys) {
  std::lock_guard lock(mutex_);
  const size_t n = keys.size();
  if (!StartBatchRead(n)) return {};
  const size_t value_size = GetValueSizeImpl(index);
  if (value_size == 0) {
    throw std::invalid_argument("Data size must be a multiple of the number of columns");
  }
  RedisReplyPtr reply = PrepareRedisGetCommand(index, keys);
  // Exactly one row per key: a value of another length stays a zero row
  // rather than shifting the rows after it.
  nivora::Array2D<unsigned char> rows(n, value_size);
  if (reply->type == REDIS_REPLY_ARRAY) {
    const size_t m = std::min(n, reply->elements);
    for (size_t i = 0; i < m; ++i) {
      const redisReply* element = reply->element[i];
      if (element->type == REDIS_REPLY_STRING && element->len == value_size) {
        std::memcpy(rows.row(i), element->str, value_size);
      }
    }
  }
  KeystoreLog().info("Items successfully retrieved from Redis");
  return rows;
}

std::vector<std::vector<uint8_t>> RedisKeystore::BatchGetVariableImpl(
    const uint64_t& index, const std::vector<uint64_t>& keys) {
  std::lock_guard lock(mutex_);
  const size_t n = keys.size();
  if (!StartBatchRead(n)) return {};
  try {
    RedisReplyPtr reply = PrepareRedisGetCommand(index, keys);
    if (reply->type != REDIS_REPLY_ARRAY) {
      throw std::runtime_error("Invalid reply structure from Redis HMGET");
    }
    std::vector<std::vector<uint8_t>> values(n);
    const size_t m = std::min(n, reply->elements);
    const redisReply* const* elements = reply->element;
    nivora::ParallelForStatic(m, nivora::kSerialReadLimit, [&](size_t i) {
      const redisReply* element = elements[i];
      if (element->type == REDIS_REPLY_STRING) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(element->str);
        values[i].assign(bytes, bytes + element->len);
      }
    });
    KeystoreLog().info("Items successfully retrieved from Redis");
    return values;
  } catch (const std::exception& e) {
    // Logged where it happened: one failure, one line.
    throw std::runtime_error(std::string("Exception in BatchGetVariable: ") + e.what());
  }
}

nivora::Array2D<unsigned char> RedisKeystore::GetItem(const uint64_t& index,
                                                      const uint64_t& key) {
  std::lock_guard lock(mutex_);
  KeystoreLog().info("Getting item from Redis");
  const HashId id = ItemHash(index);
  const KeyBytes field = EncodeKey(key);
  RedisArgs args(3);
  args.Add("HGET").Add(id.data(), id.size()).Add(field.data(), field.size());
  RedisReplyPtr reply = Run(args, "HGET command failed");
  nivora::Array2D<unsigned char> row;
  if (reply->type == REDIS_REPLY_STRING && reply->len > 0) {
    row = nivora::Array2D<unsigned char>(1, reply->len);
    std::memcpy(row.data, reply->str, reply->len);
  }
  KeystoreLog().info("Item successfully retrieved from Redis");
  return row;
}

void RedisKeystore::DeleteItem(const uint64_t& index, const uint64_t& key) {
  std::lock_guard lock(mutex_);
  KeystoreLog().info("Deleting item from Redis");
  const HashId id = ItemHash(index);
  const KeyBytes field = EncodeKey(key);
  RedisArgs args(3);
  args.Add("HDEL").Add(id.data(), id.size()).Add(field.data(), field.size());
  Run(args, "HDEL command failed");
  KeystoreLog().info("Item successfully deleted from Redis");
}

void RedisKeystore::BatchDeleteItemsImpl(const uint64_t& index,
                                         const std::vector<uint64_t>& keys) {
  std::lock_guard lock(mutex_);
  KeystoreLog().info("Deleting " + std::to_string(keys.size()) + " items from Redis");
  if (keys.empty()) {
    KeystoreLog().warning("No keys provided for batch deletion");
    return;
  }
  const HashId id = ItemHash(index);
  RedisArgs args(3);
  for (uint64_t key : keys) {
    const KeyBytes field = EncodeKey(key);
    args.Clear();
    args.Add("HDEL").Add(id.data(), id.size()).Add(field.data(), field.size());
    Run(args, "HDEL command failed");
  }
  KeystoreLog().info("Items successfully deleted from Redis");
}

void RedisKeystore::DeleteIndexImpl(const uint64_t& index) {
  std::lock_guard lock(mutex_);
  KeystoreLog().info("Deleting index from Redis");
  const HashId id = ItemHash(index);
  const std::string name = GetEffectiveHashName(index);
  RedisArgs args(2);
  args.Add("DEL").Add(id.data(), id.size());
  RedisReplyPtr reply = Run(args, "DEL command failed");
  if (reply->type == REDIS_REPLY_INTEGER && reply->integer == 0) {
    KeystoreLog().warning("No index found with binary name " + name + " to delete.");
  }
  args.Clear();
  args.Add("DEL").Add(name);
  reply = Run(args, "DEL command failed");
  if (reply->type == REDIS_REPLY_INTEGER && reply->integer == 0) {
    KeystoreLog().warning("No index found with string name " + name + " to delete.");
  }
  KeystoreLog().info("Index successfully deleted from Redis");
}

size_t RedisKeystore::GetTotalSize(const uint64_t& index) {
  std::lock_guard lock(mutex_);
  const HashId id = ItemHash(index);
  RedisArgs args(2);
  args.Add("HLEN").Add(id.data(), id.size());
  RedisReplyPtr reply = Run(args, "HLEN command failed");
  return reply->type == REDIS_REPLY_INTEGER ? static_cast<size_t>(reply->integer) : 0;
}

std::vector<uint64_t> RedisKeystore::GetAllKeys(const uint64_t& index) {
  std::lock_guard lock(mutex_);
  KeystoreLog().info("Getting all keys from Redis");
  const HashId id = ItemHash(index);
  RedisArgs args(2);
  args.Add("HKEYS").Add(id.data(), id.size());
  RedisReplyPtr reply = Run(args, "HKEYS command failed");
  std::vector<uint64_t> keys;
  if (reply->type == REDIS_REPLY_ARRAY) {
    keys.reserve(reply->elements);
    for (size_t i = 0; i < reply->elements; ++i) {
      const redisReply* element = reply->element[i];
      if (element->type == REDIS_REPLY_STRING && element->len == kKeyBytes) {
        keys.push_back(
            nivora::LoadLittleEndian<uint64_t>(reinterpret_cast<const uint8_t*>(element->str)));
      }
    }
  }
  KeystoreLog().info("Retrieved " + std::to_string(keys.size()) + " keys from Redis");
  return keys;
}

}  // namespace nivora_encrypted_index::internal::backing_store
