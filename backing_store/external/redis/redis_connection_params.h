// The connection settings of a Redis location and the steps that every
// connection to it shares (connect, TLS, database selection, liveness check).
//
// A connection string is pairs "key:value" separated by commas; spaces around
// keys and values are ignored, and a value may hold colons (an IPv6 host) but
// no comma. Keys read:
//   host, port, db   required; port 1-65535, db a whole number
//   ssl              true/false/1/0 in any letter case: TLS on. Default: false
//   ssl_verify       true/false/1/0: verify the server's certificate and
//                    name. Default: true
//   ca_cert, ca_path trust anchors (file, hashed folder). Default: OpenSSL's
//                    default paths (the system's CA store)
//   cert, key        client certificate and its private key. Default: none
//   timeout          seconds to wait for any one reply. Default: 30
// Any other key (keys are case-sensitive) is refused, and so are the TLS
// keys (ssl_verify, ca_cert, ca_path, cert, key) without ssl:true. The
// keystore and the index lister read them the same way.
//
// Stateless free functions; safe from any thread.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_REDIS_REDIS_CONNECTION_PARAMS_H_
#define NIVORA_BACKING_STORE_EXTERNAL_REDIS_REDIS_CONNECTION_PARAMS_H_

#include <chrono>
#include <memory>
#include <string>
#include <unordered_map>

#include "backing_store/external/redis/redis_connection.h"

namespace nivora_encrypted_index::internal::backing_store {

using RedisParams = std::unordered_map<std::string, std::string>;

// Everything a connection string says, checked.
struct RedisSettings {
  std::string host;
  int port = 0;
  int db = 0;
  bool tls = false;             // Default: false
  RedisTlsOptions tls_options;  // server_name is the host; verify Default: true
  std::chrono::milliseconds reply_timeout = kRedisReplyTimeout;  // Default: 30 s
};

// Splits "k1:v1,k2:v2" into trimmed pairs; empty pieces are skipped and the
// last value of a repeated key wins. Throws std::invalid_argument (showing
// the expected form) for a URL or a piece without a colon.
RedisParams ParseConnectionString(const std::string& connection_string);

// Parses and checks a whole connection string. Throws std::invalid_argument
// "Invalid Redis connection string: <what>; expected host:H,port:P,db:N[,ssl:true,...]"
// for a missing host, port or db, a port or db that is not a number, or a
// timeout that is not a positive number of seconds, an unknown key
// ("unknown key '<k>' (known keys: host, port, ...)") or a TLS key without
// ssl:true ("<k> needs ssl:true"), and
// "Invalid Redis connection string: <key> must be true, false, 1 or 0, not '<v>'"
// for a bad boolean.
RedisSettings ReadRedisSettings(const std::string& connection_string);

// Opens a connection as `settings` say: connect (5 s), TLS when asked, then
// SELECT of the database. Throws std::runtime_error "Failed to connect to
// Redis: <reason>", "SSL configuration failed: <reason>" or "Failed to
// select Redis database (db=N): <reason>"; nothing stays open then.
std::unique_ptr<RedisConnection> OpenRedisConnection(const RedisSettings& settings);

// Turns an open connection into a TLS one. Throws std::runtime_error
// "Failed to create Redis SSL context: <reason>" or
// "Failed to initiate SSL connection to Redis: <OpenSSL's reason>".
void ConfigureSSL(RedisConnection& connection, const RedisTlsOptions& options);

// Sends PING. Without a reply: logs CRITICAL "PING command failed: <reason>"
// and throws std::runtime_error with that text. Any reply passes.
void PingRedis(RedisConnection& connection);

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_EXTERNAL_REDIS_REDIS_CONNECTION_PARAMS_H_
