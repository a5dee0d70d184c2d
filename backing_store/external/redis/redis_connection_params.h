// The connection settings of a Redis location and the steps that every
// connection to it shares (TLS setup, liveness check).
//
// A connection string is pairs "key:value" separated by commas. Keys read:
// host, port, db (required); ssl ("true" or "1" turns TLS on); ca_cert,
// ca_path, cert, key (TLS trust anchors and client certificate); ssl_verify
// ("false" or "0" turns certificate verification off). Unknown keys are
// ignored. The keystore and the index lister read them the same way.
//
// Stateless free functions; safe from any thread.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_REDIS_REDIS_CONNECTION_PARAMS_H_
#define NIVORA_BACKING_STORE_EXTERNAL_REDIS_REDIS_CONNECTION_PARAMS_H_

#include <chrono>
#include <string>
#include <unordered_map>

#include "backing_store/external/redis/redis_connection.h"

namespace nivora_encrypted_index::internal::backing_store {

using RedisParams = std::unordered_map<std::string, std::string>;

// Connecting (and a TLS handshake) gives up after this long.
inline constexpr std::chrono::milliseconds kRedisConnectTimeout{5000};

// Splits "k1:v1,k2:v2" into pairs. Nothing is trimmed; a value may hold
// colons but no comma; the last value of a repeated key wins; a key at the
// very end with nothing after its colon is dropped; a piece without a colon
// runs into the next key.
RedisParams ParseConnectionString(const std::string& connection_string);

// Checks that host, port and db are present (in that order) and that db is a
// whole decimal int; returns it. Throws std::runtime_error
// "Missing Redis key: '<key>'", "Invalid Redis DB value (not a number): <v>",
// "Invalid Redis DB value (out of range): <v>" or "Invalid Redis DB value: <v>".
int ValidateConnectionParams(const RedisParams& params);

// Whether the ssl value is exactly "true" or "1".
bool TlsRequested(const RedisParams& params);

// The TLS settings the params give for a server reached as `host`: its CA
// file or folder and client certificate and key, SNI host, and verification
// whenever a CA is given, unless ssl_verify is "false" or "0".
RedisTlsOptions TlsOptionsFromParams(const std::string& host, const RedisParams& params);

// Turns an open connection into a TLS one. Throws std::runtime_error
// "Failed to create Redis SSL context: <reason>" or
// "Failed to initiate SSL connection to Redis".
void ConfigureSSL(RedisConnection& connection, const std::string& host, const RedisParams& params);

// Sends PING. Without a reply: logs CRITICAL "PING command failed" and
// throws std::runtime_error with that text. Any reply passes.
void PingRedis(RedisConnection& connection);

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_EXTERNAL_REDIS_REDIS_CONNECTION_PARAMS_H_
