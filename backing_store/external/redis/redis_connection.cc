// How a RedisConnection moves bytes: a blocking socket opened by a
// non-blocking connect with a deadline, requests formatted by hiredis into
// one output buffer that the first reply read sends in full, and replies
// parsed by hiredis's reader from whatever the socket delivers. TLS goes
// through the same two paths (see redis_tls.cc).
#include "backing_store/external/redis/redis_connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nivora_encrypted_index::internal::backing_store {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
// An output buffer grown beyond this by one large batch is given back.
constexpr size_t kKeptOutputCapacity = 4 * 1024 * 1024;

bool SetBlocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

// Owns a getaddrinfo result list.
struct AddrInfoFree {
  void operator()(addrinfo* list) const noexcept { freeaddrinfo(list); }
};

}  // namespace

std::string ReplyText(const redisReply& reply) {
  if (reply.str == nullptr) return "";
  return std::string(reply.str, reply.len);
}

RedisConnection::RedisConnection(const std::string& host, int port,
                                 std::chrono::milliseconds timeout,
                                 std::chrono::milliseconds reply_timeout)
    : timeout_(timeout),
      reply_timeout_(reply_timeout),
      reader_(redisReaderCreate(), &redisReaderFree) {
  if (reader_ == nullptr) {
    SetError(REDIS_ERR_OOM, "Out of memory");
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  const int rv = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &raw);
  if (rv != 0) {
    SetError(REDIS_ERR_OTHER, gai_strerror(rv));
    return;
  }
  std::unique_ptr<addrinfo, AddrInfoFree> addresses(raw);
  for (const addrinfo* address = raw; address != nullptr; address = address->ai_next) {
    if (ConnectTo(*address, deadline)) {
      input_.resize(kReadChunk);
      SetWaitLimit(reply_timeout_);
      return;
    }
  }
  SetErrorFromErrno();
}

RedisConnection::~RedisConnection() {
  ssl_.reset();  // before the socket it writes to goes away
  if (fd_ >= 0) close(fd_);
}

bool RedisConnection::ConnectTo(const addrinfo& address,
                                std::chrono::steady_clock::time_point deadline) {
  const int fd = socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol);
  if (fd < 0) return false;
  auto fail = [fd] {
    const int saved = errno;
    close(fd);
    errno = saved;
    return false;
  };
  if (!SetBlocking(fd, false)) return fail();
  if (connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    if (errno != EINPROGRESS) return fail();
    pollfd wait{fd, POLLOUT, 0};
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      const int ready = left.count() > 0 ? poll(&wait, 1, static_cast<int>(left.count())) : 0;
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return fail();
      if (ready == 0) {
        errno = ETIMEDOUT;
        return fail();
      }
      break;
    }
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return fail();
    if (error != 0) {
      errno = error;
      return fail();
    }
  }
  if (!SetBlocking(fd, true)) return fail();
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  fd_ = fd;
  return true;
}

void RedisConnection::SetWaitLimit(std::chrono::milliseconds limit) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

void RedisConnection::SetTimedOut() {
  const long long ms = reply_timeout_.count();
  const std::string limit =
      ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
  SetError(REDIS_ERR_IO, "Redis server did not answer within " + limit);
}

bool RedisConnection::PeerClosed() {
  if (!ok()) return true;
  pollfd check{fd_, POLLIN | POLLRDHUP, 0};
  // Readable data alone proves nothing (TLS sends session tickets unasked);
  // a hang-up does.
  if (poll(&check, 1, 0) == 1 && (check.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
    SetError(REDIS_ERR_EOF, "Server closed the connection");
    return true;
  }
  return false;
}

void RedisConnection::SetError(int code, const std::string& text) {
  error_code_ = code;
  error_text_ = text;
}

void RedisConnection::SetErrorFromErrno(const char* prefix) {
  const std::string reason = std::strerror(errno);
  SetError(REDIS_ERR_IO, prefix == nullptr ? reason : std::string(prefix) + ": " + reason);
}

int RedisConnection::Append(RedisArgs& args) {
  if (!ok()) return REDIS_ERR;
  char* command = nullptr;
  const int length = redisFormatCommandArgv(&command, args.count(), args.argv(), args.lengths());
  if (length < 0) {
    SetError(REDIS_ERR_OOM, "Out of memory");
    return REDIS_ERR;
  }
  output_.append(command, static_cast<size_t>(length));
  redisFreeCommand(command);
  return REDIS_OK;
}

bool RedisConnection::Flush() {
  size_t sent = 0;
  while (sent < output_.size()) {
    const size_t left = output_.size() - sent;
    if (ssl_ != nullptr) {
      ERR_clear_error();
      errno = 0;
      const int chunk = left > (1u << 30) ? (1 << 30) : static_cast<int>(left);
      const int n = SSL_write(ssl_.get(), output_.data() + sent, chunk);
      if (n <= 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          SetTimedOut();
          return false;
        }
        SetTlsTransferError("SSL_write failed");
        return false;
      }
      sent += static_cast<size_t>(n);
    } else {
      const ssize_t n = send(fd_, output_.data() + sent, left, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        SetTimedOut();
        return false;
      }
      if (n < 0) {
        SetErrorFromErrno();
        return false;
      }
      sent += static_cast<size_t>(n);
    }
  }
  output_.clear();
  if (output_.capacity() > kKeptOutputCapacity) output_.shrink_to_fit();
  return true;
}

bool RedisConnection::ReadMore() {
  for (;;) {
    ssize_t n;
    if (ssl_ != nullptr) {
      ERR_clear_error();
      errno = 0;
      n = SSL_read(ssl_.get(), input_.data(), static_cast<int>(input_.size()));
      if (n <= 0) {
        const int reason = SSL_get_error(ssl_.get(), static_cast<int>(n));
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          SetTimedOut();
        } else if (reason == SSL_ERROR_ZERO_RETURN || (reason == SSL_ERROR_SYSCALL && errno == 0)) {
          SetError(REDIS_ERR_EOF, "Server closed the connection");
        } else {
          SetTlsTransferError("SSL_read failed");
        }
        return false;
      }
    } else {
      n = recv(fd_, input_.data(), input_.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        SetTimedOut();
        return false;
      }
      if (n < 0) {
        SetErrorFromErrno();
        return false;
      }
      if (n == 0) {
        SetError(REDIS_ERR_EOF, "Server closed the connection");
        return false;
      }
    }
    if (redisReaderFeed(reader_.get(), input_.data(), static_cast<size_t>(n)) != REDIS_OK) {
      SetError(reader_->err, reader_->errstr);
      return false;
    }
    return true;
  }
}

int RedisConnection::GetReply(RedisReplyPtr& reply) {
  reply.reset();
  if (!ok()) return REDIS_ERR;
  void* raw = nullptr;
  auto next = [&] {
    if (redisReaderGetReply(reader_.get(), &raw) == REDIS_OK) return true;
    SetError(reader_->err, reader_->errstr);
    return false;
  };
  if (!next()) return REDIS_ERR;
  if (raw == nullptr) {
    if (!Flush()) return REDIS_ERR;
    while (raw == nullptr) {
      if (!ReadMore() || !next()) return REDIS_ERR;
    }
  }
  reply.reset(static_cast<redisReply*>(raw));
  return REDIS_OK;
}

RedisReplyPtr RedisConnection::Command(RedisArgs& args) {
  RedisReplyPtr reply;
  if (Append(args) != REDIS_OK) return nullptr;
  GetReply(reply);
  return reply;
}

RedisReplyPtr RedisConnection::Command(std::initializer_list<std::string_view> args) {
  RedisArgs vector(args.size());
  for (std::string_view arg : args) vector.Add(arg);
  return Command(vector);
}

}  // namespace nivora_encrypted_index::internal::backing_store
