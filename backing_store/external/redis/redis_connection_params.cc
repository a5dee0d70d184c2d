#include "backing_store/external/redis/redis_connection_params.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "backing_store/keystore_log.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

constexpr char kExpectedForm[] = "; expected host:H,port:P,db:N[,ssl:true,...]";
constexpr int kMaxTimeoutSeconds = 24 * 3600;

// Every key a connection string may hold, in the order error messages list
// them; the TLS-only ones mean nothing without ssl:true.
constexpr const char* kKnownKeys[] = {"host",    "port",    "db",   "ssl", "ssl_verify",
                                      "ca_cert", "ca_path", "cert", "key", "timeout"};
constexpr const char* kTlsOnlyKeys[] = {"ssl_verify", "ca_cert", "ca_path", "cert", "key"};

[[noreturn]] void Malformed(const std::string& what) {
  throw std::invalid_argument("Invalid Redis connection string: " + what + kExpectedForm);
}

std::string_view Trim(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

std::string ValueOr(const RedisParams& params, const char* key) {
  auto it = params.find(key);
  return it == params.end() ? std::string() : it->second;
}

// The whole text as a base-10 int, or nothing.
std::optional<int> WholeNumber(const std::string& text) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [used, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || used != end || text.empty()) return std::nullopt;
  return value;
}

const std::string& Required(const RedisParams& params, const char* key) {
  auto it = params.find(key);
  if (it == params.end() || it->second.empty()) Malformed(std::string("missing ") + key);
  return it->second;
}

bool Boolean(const RedisParams& params, const char* key, bool absent) {
  auto it = params.find(key);
  if (it == params.end()) return absent;
  std::string lower = it->second;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower == "true" || lower == "1") return true;
  if (lower == "false" || lower == "0") return false;
  throw std::invalid_argument("Invalid Redis connection string: " + std::string(key) +
                              " must be true, false, 1 or 0, not '" + it->second + "'");
}

// A misspelt key would otherwise be dropped without a word: a misspelt
// "ssl" connects in plaintext.
void RefuseUnknownKeys(const RedisParams& params) {
  for (const auto& [key, value] : params) {
    if (std::find(std::begin(kKnownKeys), std::end(kKnownKeys), key) != std::end(kKnownKeys)) {
      continue;
    }
    std::string known;
    for (const char* name : kKnownKeys) known.append(known.empty() ? "" : ", ").append(name);
    Malformed("unknown key '" + key + "' (known keys: " + known + ")");
  }
}

// TLS settings without ssl:true show that TLS was meant: refused rather
// than connecting in plaintext.
void RefuseTlsKeysWithoutTls(const RedisParams& params) {
  for (const char* key : kTlsOnlyKeys) {
    if (params.count(key) != 0) Malformed(std::string(key) + " needs ssl:true");
  }
}

}  // namespace

RedisParams ParseConnectionString(const std::string& connection_string) {
  if (connection_string.find("://") != std::string::npos) Malformed("a URL is not accepted");
  RedisParams params;
  std::string_view rest = connection_string;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string_view piece = Trim(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    if (piece.empty()) continue;
    const size_t colon = piece.find(':');
    if (colon == std::string_view::npos) {
      std::string what(1, '\'');
      what.append(piece).append("' is not a key:value pair");
      Malformed(what);
    }
    params[std::string(Trim(piece.substr(0, colon)))] = std::string(Trim(piece.substr(colon + 1)));
  }
  return params;
}

RedisSettings ReadRedisSettings(const std::string& connection_string) {
  const RedisParams params = ParseConnectionString(connection_string);
  RefuseUnknownKeys(params);
  RedisSettings settings;
  settings.host = Required(params, "host");
  const std::string& port = Required(params, "port");
  const std::optional<int> port_number = WholeNumber(port);
  if (!port_number || *port_number < 1 || *port_number > 65535) {
    Malformed("port must be a number from 1 to 65535, not '" + port + "'");
  }
  settings.port = *port_number;
  const std::string& db = Required(params, "db");
  const std::optional<int> db_number = WholeNumber(db);
  if (!db_number) Malformed("db must be a whole number, not '" + db + "'");
  settings.db = *db_number;  // its range is the server's to judge, at SELECT

  settings.tls = Boolean(params, "ssl", false);
  RedisTlsOptions& tls = settings.tls_options;
  tls.ca_cert = ValueOr(params, "ca_cert");
  tls.ca_path = ValueOr(params, "ca_path");
  tls.cert = ValueOr(params, "cert");
  tls.key = ValueOr(params, "key");
  tls.server_name = settings.host;
  tls.verify = Boolean(params, "ssl_verify", true);

  if (params.count("timeout") != 0) {
    const std::string& timeout = params.at("timeout");
    const std::optional<int> seconds = WholeNumber(timeout);
    if (!seconds || *seconds < 1 || *seconds > kMaxTimeoutSeconds) {
      Malformed("timeout must be a number of seconds from 1 to 86400, not '" + timeout + "'");
    }
    settings.reply_timeout = std::chrono::seconds(*seconds);
  }
  if (!settings.tls) RefuseTlsKeysWithoutTls(params);
  return settings;
}

std::unique_ptr<RedisConnection> OpenRedisConnection(const RedisSettings& settings) {
  auto connection = std::make_unique<RedisConnection>(settings.host, settings.port,
                                                      kRedisConnectTimeout, settings.reply_timeout);
  if (!connection->ok()) {
    throw std::runtime_error("Failed to connect to Redis: " + connection->error_text());
  }
  if (settings.tls) {
    try {
      ConfigureSSL(*connection, settings.tls_options);
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string("SSL configuration failed: ") + e.what());
    }
  }
  const std::string number = std::to_string(settings.db);
  RedisReplyPtr reply = connection->Command({"SELECT", number});
  if (reply == nullptr || !connection->ok()) {
    throw std::runtime_error("Failed to select Redis database (db=" + number +
                             "): " + connection->error_text());
  }
  if (reply->type != REDIS_REPLY_STATUS || ReplyText(*reply) != "OK") {
    throw std::runtime_error("Failed to select Redis database (db=" + number +
                             "): " + (reply->str == nullptr ? std::string("null") : ReplyText(*reply)));
  }
  return connection;
}

void ConfigureSSL(RedisConnection& connection, const RedisTlsOptions& options) {
  const nivora::SslCtxPtr ctx = MakeRedisTlsContext(options);
  if (!connection.StartTls(ctx.get(), options)) {
    throw std::runtime_error("Failed to initiate SSL connection to Redis: " +
                             connection.error_text());
  }
}

void PingRedis(RedisConnection& connection) {
  if (connection.Command({"PING"}) == nullptr) {
    nivora::LogAndThrow<std::runtime_error>(KeystoreLog(), nivora::CRITICAL,
                                            "PING command failed: " + connection.error_text());
  }
}

}  // namespace nivora_encrypted_index::internal::backing_store
