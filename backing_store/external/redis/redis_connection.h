// RedisConnection is one client connection to a Redis server, plain TCP or
// TLS, speaking the server's protocol through hiredis's command formatter and
// reply reader. The Redis keystore and the Redis index lister both use it.
//
// It behaves like a hiredis context: failures are not thrown but kept in
// error_code() (hiredis's REDIS_ERR_* codes) and error_text(). The first I/O
// or protocol failure marks the connection broken for good: every later call
// fails with that same error, so replies can never fall out of step with the
// commands that asked for them (the owner opens a new connection instead).
// Writes never raise SIGPIPE. Every wait for the server is bounded: the
// connect and TLS handshake by the connect timeout, each send and each read
// of a reply by the reply timeout; a wait that runs out breaks the
// connection with "Redis server did not answer within N s".
//
// Commands are argument vectors (bytes with lengths); nothing is ever parsed
// as a format string. Pipelining: Append queues commands without sending,
// the first GetReply sends everything queued and returns the replies one by
// one in command order.
//
// Ownership: the object owns its socket and, with TLS, its SSL objects; the
// destructor closes them. Thread safety: none; one thread at a time.
#ifndef NIVORA_BACKING_STORE_EXTERNAL_REDIS_REDIS_CONNECTION_H_
#define NIVORA_BACKING_STORE_EXTERNAL_REDIS_REDIS_CONNECTION_H_

#include <hiredis/hiredis.h>
#include <netdb.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/openssl_handles.h"

namespace nivora_encrypted_index::internal::backing_store {

// A hiredis reply, freed with freeReplyObject.
struct RedisReplyFree {
  void operator()(redisReply* reply) const noexcept { freeReplyObject(reply); }
};
using RedisReplyPtr = std::unique_ptr<redisReply, RedisReplyFree>;

// Connecting (and a TLS handshake) gives up after this long.
inline constexpr std::chrono::milliseconds kRedisConnectTimeout{5000};
// Waiting for the server to take a request or to send more of a reply gives
// up after this long, unless the connection string sets its own timeout.
inline constexpr std::chrono::milliseconds kRedisReplyTimeout{30000};

// The reply's text (error, status or string reply), or "" when it has none.
std::string ReplyText(const redisReply& reply);

// One command as an argument vector. The arguments are borrowed: the bytes
// they point at must outlive the call that sends the command.
class RedisArgs {
 public:
  RedisArgs() = default;
  explicit RedisArgs(size_t expected) {
    argv_.reserve(expected);
    lengths_.reserve(expected);
  }
  RedisArgs& Add(const void* data, size_t size) {
    argv_.push_back(static_cast<const char*>(data));
    lengths_.push_back(size);
    return *this;
  }
  RedisArgs& Add(std::string_view text) { return Add(text.data(), text.size()); }
  void Clear() {
    argv_.clear();
    lengths_.clear();
  }
  int count() const { return static_cast<int>(argv_.size()); }
  const char** argv() { return argv_.data(); }
  const size_t* lengths() const { return lengths_.data(); }

 private:
  std::vector<const char*> argv_;
  std::vector<size_t> lengths_;
};

// TLS settings of a connection. Empty strings mean "not given".
struct RedisTlsOptions {
  std::string ca_cert;      // CA certificate file. Default: none
  std::string ca_path;      // folder of hashed CA certificates. Default: none
  std::string cert;         // client certificate file. Default: none
  std::string key;          // private key of the client certificate. Default: none
  std::string server_name;  // SNI name and, when verifying, the expected host. Default: none
  // Verify the server's certificate chain (against the CA given, else the
  // system's CA store) and its name. Default: true
  bool verify = true;
};

class RedisConnection {
 public:
  // Opens a TCP connection to host:port, trying every address getaddrinfo
  // gives, within `timeout` in all. Check ok() afterwards: on failure the
  // error code and text say why (as hiredis words them), and nothing is open.
  RedisConnection(const std::string& host, int port, std::chrono::milliseconds timeout,
                  std::chrono::milliseconds reply_timeout = kRedisReplyTimeout);
  ~RedisConnection();
  RedisConnection(const RedisConnection&) = delete;
  RedisConnection& operator=(const RedisConnection&) = delete;

  bool ok() const { return error_code_ == 0; }
  // 0, or REDIS_ERR_IO / REDIS_ERR_EOF / REDIS_ERR_PROTOCOL / REDIS_ERR_OOM /
  // REDIS_ERR_OTHER.
  int error_code() const { return error_code_; }
  const std::string& error_text() const { return error_text_; }

  // Runs the TLS handshake over the open connection, bounded by the connect
  // timeout. `ctx` comes from MakeRedisTlsContext; the connection takes its
  // own reference. Returns false (and marks the connection broken) when the
  // handshake fails; the OpenSSL reason is in error_text().
  bool StartTls(SSL_CTX* ctx, const RedisTlsOptions& options);

  // Queues one command. Returns REDIS_OK, or REDIS_ERR when the connection is
  // broken or the command could not be formatted.
  int Append(RedisArgs& args);
  // The next reply, sending whatever is queued first. Returns REDIS_OK with
  // `reply` set, or REDIS_ERR with the connection marked broken.
  int GetReply(RedisReplyPtr& reply);
  // Append + GetReply: the reply, or null on failure.
  RedisReplyPtr Command(RedisArgs& args);
  // The same for a command of text arguments only.
  RedisReplyPtr Command(std::initializer_list<std::string_view> args);

  // Whether the server is known to have closed an idle connection (its end
  // of the socket is readable with nothing queued here); marks the
  // connection broken when so. Never waits.
  bool PeerClosed();

  // Marks the connection broken with the given hiredis error (used by tests
  // and by callers that find the reply stream out of step).
  void SetError(int code, const std::string& text);

 private:
  bool ConnectTo(const addrinfo& address, std::chrono::steady_clock::time_point deadline);
  bool Flush();
  bool ReadMore();
  void SetErrorFromErrno(const char* prefix = nullptr);
  void SetTimedOut();
  // Bounds each blocking send and receive on the socket (0: no bound).
  void SetWaitLimit(std::chrono::milliseconds limit);
  void SetTlsError(const char* what);
  // SetTlsError for a failed read or write of the open TLS connection: one
  // that the server ended (reset or alert) says so, and without a client
  // certificate names the likely reason.
  void SetTlsTransferError(const char* what);

  int fd_ = -1;
  int error_code_ = 0;
  std::string error_text_;
  std::chrono::milliseconds timeout_;        // connect and handshake
  std::chrono::milliseconds reply_timeout_;  // each send and each read
  nivora::SslCtxPtr tls_ctx_;  // keeps the context alive while ssl_ uses it
  nivora::SslPtr ssl_;         // null for plain TCP
  std::string output_;         // formatted commands not yet sent
  std::unique_ptr<redisReader, void (*)(redisReader*)> reader_;
  std::vector<char> input_;    // receive buffer
};

// Builds the TLS client context for `options`: CA file and/or folder, client
// certificate and key, peer verification. Throws std::runtime_error
// "Failed to create Redis SSL context: " + the reason, worded as hiredis's
// SSL context errors are.
nivora::SslCtxPtr MakeRedisTlsContext(const RedisTlsOptions& options);

}  // namespace nivora_encrypted_index::internal::backing_store

#endif  // NIVORA_BACKING_STORE_EXTERNAL_REDIS_REDIS_CONNECTION_H_
