// RedisKeystore's versioned map (a compare-and-set script run by the server)
// and its config items (fields of the location's config hash).
#include <stdexcept>
#include <string>

#include "backing_store/external/redis/redis_keystore.h"
#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

// KEYS: map hash, map field, version field. ARGV: map bytes, expected
// version, new version (decimal text). Returns 1 when it stored, else 0.
constexpr const char* kCompareAndSetScript =
    "local hash = KEYS[1];\n"
    "local map_key = KEYS[2];\n"
    "local version_key = KEYS[3];\n"
    "local map_value = ARGV[1];\n"
    "local expected_version_str = ARGV[2];\n"
    "local new_version_str = ARGV[3];\n"
    "\n"
    "-- Get current version from Redis (as string)\n"
    "local current_version_str = redis.call('HGET', hash, version_key);\n"
    "\n"
    "-- Handle nil case (no version exists yet)\n"
    "if not current_version_str then\n"
    "   -- If expected version is 0, we can proceed\n"
    "   if expected_version_str == '0' then\n"
    "       -- Set the map and version\n"
    "       redis.call('HSET', hash, map_key, map_value);\n"
    "       redis.call('HSET', hash, version_key, new_version_str);\n"
    "       return 1;\n"
    "   else\n"
    "       -- Expected non-zero version for non-existent key\n"
    "       return 0;\n"
    "   end\n"
    "end\n"
    "\n"
    "-- Compare string versions directly\n"
    "if current_version_str == expected_version_str then\n"
    "   -- Set the map and version\n"
    "   redis.call('HSET', hash, map_key, map_value);\n"
    "   redis.call('HSET', hash, version_key, new_version_str);\n"
    "   return 1;\n"
    "else\n"
    "   -- Version mismatch\n"
    "   return 0;\n"
    "end";

const char* ReplyTypeName(int type) {
  switch (type) {
    case REDIS_REPLY_STRING: return "STRING";
    case REDIS_REPLY_ARRAY: return "ARRAY";
    case REDIS_REPLY_INTEGER: return "INTEGER";
    case REDIS_REPLY_NIL: return "NIL";
    case REDIS_REPLY_STATUS: return "STATUS";
    case REDIS_REPLY_ERROR: return "ERROR";
    default: return "UNKNOWN";
  }
}

// Whether the script's reply says it stored the map.
bool ScriptStored(const redisReply& reply) {
  switch (reply.type) {
    case REDIS_REPLY_INTEGER:
      return reply.integer == 1;
    case REDIS_REPLY_STRING: {
      const std::string text = ReplyText(reply);
      KeystoreLog().info("String reply: " + text);
      return text == "1" || text == "true" || text == "success";
    }
    case REDIS_REPLY_NIL:
      KeystoreLog().warning("Redis returned NIL");
      return false;
    default:
      return false;
  }
}

// A stored value as one row; a value of zero bytes cannot form one.
nivora::Array2D<unsigned char> StringAsRow(const redisReply& reply) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(reply.str);
  return nivora::Array2D<unsigned char>(std::vector<unsigned char>(bytes, bytes + reply.len),
                                        reply.len);
}

uint64_t VersionFrom(const redisReply& element) {
  if (element.type != REDIS_REPLY_STRING) {
    KeystoreLog().info("Version reply is not a string or is null");
    return 0;
  }
  KeystoreLog().info("Version reply type: " + std::to_string(element.type));
  try {
    const uint64_t version = std::stoull(ReplyText(element), nullptr, 10);
    KeystoreLog().info("Retrieved version: " + std::to_string(version));
    return version;
  } catch (const std::exception& e) {
    KeystoreLog().warning(std::string("Failed to parse version: ") + e.what());
    return 0;
  }
}

}  // namespace

bool RedisKeystore::PushMapImpl(const uint64_t& index, const uint64_t& map_key,
                                const uint8_t* data, size_t size, const uint64_t& version_key,
                                const uint64_t& expected_version) {
  std::lock_guard lock(mutex_);
  KeystoreLog().info("Pushing map and version to Redis. Expected version: " +
                     std::to_string(expected_version));
  const std::string hash = GetEffectiveHashName(index);
  const std::string map_field = std::to_string(map_key);
  const std::string version_field = std::to_string(version_key);
  const std::string expected = std::to_string(expected_version);
  const std::string next = std::to_string(expected_version + 1);
  RedisArgs args(9);
  args.Add("EVAL").Add(kCompareAndSetScript).Add("3").Add(hash).Add(map_field).Add(version_field);
  args.Add(data, size).Add(expected).Add(next);
  RedisReplyPtr reply = Run(args, "EVAL command failed");

  std::string type_line = std::string("Redis reply type: ") + ReplyTypeName(reply->type);
  if (reply->type == REDIS_REPLY_INTEGER) type_line += ", value: " + std::to_string(reply->integer);
  KeystoreLog().info(type_line);
  const bool stored = ScriptStored(*reply);
  if (stored) {
    KeystoreLog().info("Map and version successfully pushed to Redis. New version: " + next);
  } else {
    KeystoreLog().warning("Version check failed, update aborted");
  }
  KeystoreLog().info(std::string("Map stored successfully: ") + (stored ? "1" : "0"));
  return stored;
}

VersionedMap RedisKeystore::GetMapImpl(const uint64_t& index, const uint64_t& map_key,
                                       const uint64_t& version_key) {
  std::lock_guard lock(mutex_);
  KeystoreLog().info("Getting map and version from Redis");
  const std::string hash = GetEffectiveHashName(index);
  const std::string map_field = std::to_string(map_key);
  const std::string version_field = std::to_string(version_key);
  RedisArgs args(4);
  args.Add("HMGET").Add(hash).Add(map_field).Add(version_field);
  RedisReplyPtr reply = Run(args, "HMGET command failed");
  VersionedMap result;
  if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2) return result;
  if (reply->element[0]->type == REDIS_REPLY_STRING) result.map = StringAsRow(*reply->element[0]);
  result.version = VersionFrom(*reply->element[1]);
  return result;
}

RedisReplyPtr RedisKeystore::RunConfigCommand(RedisArgs& args, const std::string& lost_logged,
                                              const std::string& lost_thrown,
                                              const std::string& error_prefix) {
  RedisConnection& connection = Connection();
  RedisReplyPtr reply = connection.Command(args);
  if (reply == nullptr || !connection.ok()) {
    const std::string cause = ": " + connection.error_text();
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), kConnectionFailureLevel,
                                            lost_logged + cause, lost_thrown + cause);
  }
  if (reply->type == REDIS_REPLY_ERROR) {
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::ERROR,
                                            error_prefix + ReplyText(*reply));
  }
  return reply;
}

void RedisKeystore::PushConfigItem(const std::string& name, const uint8_t* data, size_t size) {
  std::lock_guard lock(mutex_);
  RedisArgs args(4);
  args.Add("HSET").Add(table_name_).Add(name).Add(data, size);
  RunConfigCommand(args, "Redis HSET error: connection failure",
                   "Redis set_item error: connection failure", "Redis HSET error: ");
}

bool RedisKeystore::PushConfigItemIfAbsent(const std::string& name, const uint8_t* data,
                                           size_t size) {
  std::lock_guard lock(mutex_);
  RedisArgs args(4);
  args.Add("HSETNX").Add(table_name_).Add(name).Add(data, size);
  const std::string lost = "Redis HSETNX error: connection failure";
  RedisReplyPtr reply = RunConfigCommand(args, lost, lost, "Redis HSETNX error: ");
  return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
}

nivora::Array2D<unsigned char> RedisKeystore::LoadConfigItem(const std::string& name) {
  std::lock_guard lock(mutex_);
  RedisArgs args(3);
  args.Add("HGET").Add(table_name_).Add(name);
  RedisReplyPtr reply =
      RunConfigCommand(args, "Redis HGET error: connection failure",
                       "Redis get_item error: connection failure", "Redis HGET error: ");
  switch (reply->type) {
    case REDIS_REPLY_NIL: {
      const std::string index_name = name.size() < 4 ? name : name.substr(0, name.size() - 4);
      nivora::LogAndThrow<std::runtime_error>(
          KeystoreLog(), nivora::ERROR, "Index name '" + name + "' does not exist in Redis.",
          "Index name '" + index_name + "' does not exist in Redis.");
    }
    case REDIS_REPLY_STRING:
      return StringAsRow(*reply);
    default:
      return {};
  }
}

bool RedisKeystore::ConfigItemExists(const std::string& name) {
  std::lock_guard lock(mutex_);
  RedisArgs args(3);
  args.Add("HEXISTS").Add(table_name_).Add(name);
  const std::string lost = "Redis HEXISTS error: connection failure";
  RedisReplyPtr reply =
      RunConfigCommand(args, lost, lost, "Redis HEXISTS error: ");
  return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
}

void RedisKeystore::DeleteConfigItem(const std::string& name) {
  std::lock_guard lock(mutex_);
  RedisArgs args(3);
  args.Add("HDEL").Add(table_name_).Add(name);
  RedisReplyPtr reply = Run(args, "HDEL command failed for config item");
  if (reply->type == REDIS_REPLY_INTEGER && reply->integer != 0) {
    KeystoreLog().info("Deleted config item for index " + name);
  } else {
    KeystoreLog().warning("No config item found for index " + name + " to delete.");
  }
}

}  // namespace nivora_encrypted_index::internal::backing_store
