#include "backing_store/external/redis/redis_connection_params.h"

#include <sstream>
#include <stdexcept>

#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

bool Has(const RedisParams& params, const char* key) { return params.count(key) != 0; }

std::string ValueOr(const RedisParams& params, const char* key) {
  auto it = params.find(key);
  return it == params.end() ? std::string() : it->second;
}

}  // namespace

RedisParams ParseConnectionString(const std::string& connection_string) {
  RedisParams params;
  std::istringstream stream(connection_string);
  std::string key, value;
  // getline fails only when it could take nothing at all, not even the
  // delimiter: that is where a pair (or a pending key) ends the input.
  while (std::getline(stream, key, ':') && std::getline(stream, value, ',')) {
    params[key] = value;
  }
  return params;
}

int ValidateConnectionParams(const RedisParams& params) {
  for (const char* key : {"host", "port", "db"}) {
    if (!Has(params, key)) throw std::runtime_error(std::string("Missing Redis key: '") + key + "'");
  }
  const std::string& value = params.at("db");
  size_t used = 0;
  int db = 0;
  try {
    db = std::stoi(value, &used, 10);
  } catch (const std::invalid_argument&) {
    throw std::runtime_error("Invalid Redis DB value (not a number): " + value);
  } catch (const std::out_of_range&) {
    throw std::runtime_error("Invalid Redis DB value (out of range): " + value);
  }
  if (used != value.size()) throw std::runtime_error("Invalid Redis DB value: " + value);
  return db;
}

bool TlsRequested(const RedisParams& params) {
  const std::string ssl = ValueOr(params, "ssl");
  return ssl == "true" || ssl == "1";
}

RedisTlsOptions TlsOptionsFromParams(const std::string& host, const RedisParams& params) {
  RedisTlsOptions options;
  options.ca_cert = ValueOr(params, "ca_cert");
  options.ca_path = ValueOr(params, "ca_path");
  options.cert = ValueOr(params, "cert");
  options.key = ValueOr(params, "key");
  options.server_name = host;
  const std::string verify = ValueOr(params, "ssl_verify");
  const bool has_ca = !options.ca_cert.empty() || !options.ca_path.empty();
  options.verify = has_ca && verify != "false" && verify != "0";
  return options;
}

void ConfigureSSL(RedisConnection& connection, const std::string& host, const RedisParams& params) {
  const RedisTlsOptions options = TlsOptionsFromParams(host, params);
  const nivora::SslCtxPtr ctx = MakeRedisTlsContext(options);
  if (!connection.StartTls(ctx.get(), options)) {
    throw std::runtime_error("Failed to initiate SSL connection to Redis");
  }
}

void PingRedis(RedisConnection& connection) {
  if (connection.Command({"PING"}) == nullptr) {
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::CRITICAL, "PING command failed");
  }
}

}  // namespace nivora_encrypted_index::internal::backing_store
