// TLS for RedisConnection: the client context (trust anchors, client
// certificate, verification) and the handshake over an open socket.
//
// OpenSSL's own socket BIO writes with write(2), which raises SIGPIPE when
// the server has gone. The connection's socket is therefore wrapped in a
// small BIO of our own that sends with MSG_NOSIGNAL.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "backing_store/external/redis/redis_connection.h"

namespace nivora_encrypted_index::internal::backing_store {
namespace {

int SocketOf(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

int BioWrite(BIO* bio, const char* data, int length) {
  for (;;) {
    const ssize_t n = send(SocketOf(bio), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<int>(n);
  }
}

int BioRead(BIO* bio, char* out, int length) {
  for (;;) {
    const ssize_t n = recv(SocketOf(bio), out, static_cast<size_t>(length), 0);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<int>(n);
  }
}

long BioControl(BIO* /*bio*/, int command, long /*number*/, void* /*pointer*/) {
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

struct BioMethodFree {
  void operator()(BIO_METHOD* method) const noexcept { BIO_meth_free(method); }
};

// The process's one socket BIO method; built once, never changed after.
const BIO_METHOD* NoSigpipeSocketMethod() {
  static const std::unique_ptr<BIO_METHOD, BioMethodFree> method = [] {
    std::unique_ptr<BIO_METHOD, BioMethodFree> m(BIO_meth_new(
        BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "redis socket"));
    if (m != nullptr) {
      BIO_meth_set_write(m.get(), BioWrite);
      BIO_meth_set_read(m.get(), BioRead);
      BIO_meth_set_ctrl(m.get(), BioControl);
    }
    return m;
  }();
  return method.get();
}

bool IsIpAddress(const std::string& host) {
  in6_addr address;
  return inet_pton(AF_INET, host.c_str(), &address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

[[noreturn]] void ContextError(const char* reason) {
  ERR_clear_error();
  throw std::runtime_error(std::string("Failed to create Redis SSL context: ") + reason);
}

}  // namespace

nivora::SslCtxPtr MakeRedisTlsContext(const RedisTlsOptions& options) {
  if (options.cert.empty() != options.key.empty()) {
    ContextError("Client cert and key must both be specified or skipped");
  }
  nivora::SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (ctx == nullptr) ContextError("Failed to create OpenSSL SSL_CTX");
  SSL_CTX_set_verify(ctx.get(), options.verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
  if (options.ca_cert.empty() && options.ca_path.empty()) {
    // No anchors given: the system's CA store, wherever OpenSSL keeps it.
    if (options.verify && SSL_CTX_set_default_verify_paths(ctx.get()) != 1) {
      ContextError("Failed to load the system's CA certificates");
    }
  } else {
    const char* file = options.ca_cert.empty() ? nullptr : options.ca_cert.c_str();
    const char* folder = options.ca_path.empty() ? nullptr : options.ca_path.c_str();
    if (SSL_CTX_load_verify_locations(ctx.get(), file, folder) != 1) {
      ContextError("Failed to load CA Certificate or CA Path");
    }
  }
  if (!options.cert.empty()) {
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), options.cert.c_str()) != 1) {
      ContextError("Failed to load client certificate");
    }
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), options.key.c_str(), SSL_FILETYPE_PEM) != 1) {
      ContextError("Failed to load private key");
    }
  }
  return ctx;
}

void RedisConnection::SetTlsError(const char* what) {
  const unsigned long code = ERR_peek_last_error();
  if (code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    SetError(REDIS_ERR_IO, std::string(what) + ": " + text);
  } else if (errno != 0) {
    SetErrorFromErrno(what);
  } else {
    SetError(REDIS_ERR_IO, what);
  }
  ERR_clear_error();
}

void RedisConnection::SetTlsTransferError(const char* what) {
  // A TLS 1.3 server checks the client's certificate after the handshake
  // has completed on this side: a refusal meets the first write or read as
  // a reset or an alert.
  const unsigned long code = ERR_peek_last_error();
  const bool alert = code != 0 && ERR_GET_LIB(code) == ERR_LIB_SSL &&
                     ERR_GET_REASON(code) >= SSL_AD_REASON_OFFSET;
  const bool reset = code == 0 && (errno == ECONNRESET || errno == EPIPE);
  SetTlsError(what);
  if (!alert && !reset) return;
  std::string text = "Redis server closed the TLS connection (" + error_text_ + ")";
  if (tls_ctx_ == nullptr || SSL_CTX_get0_certificate(tls_ctx_.get()) == nullptr) {
    text += "; it may require a client certificate: set `cert` and `key` in the connection string";
  }
  SetError(error_code_, text);
}

bool RedisConnection::StartTls(SSL_CTX* ctx, const RedisTlsOptions& options) {
  if (!ok()) return false;
  ERR_clear_error();
  const BIO_METHOD* method = NoSigpipeSocketMethod();
  nivora::SslPtr ssl(method == nullptr ? nullptr : SSL_new(ctx));
  if (ssl == nullptr) {
    SetTlsError("SSL_new failed");
    return false;
  }
  BIO* bio = BIO_new(method);
  if (bio == nullptr) {
    SetTlsError("BIO_new failed");
    return false;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd_)));
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl.get(), bio, bio);  // ssl owns the BIO from here

  const std::string& name = options.server_name;
  const bool ip = IsIpAddress(name);
  if (!name.empty() && !ip) SSL_set_tlsext_host_name(ssl.get(), name.c_str());
  if (options.verify && !name.empty()) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
    const int set = ip ? X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str())
                       : X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0);
    if (set != 1) {
      SetTlsError("Invalid server name");
      return false;
    }
  }

  // The handshake is part of connecting: bound by the connect timeout.
  SetWaitLimit(timeout_);
  errno = 0;
  const int done = SSL_connect(ssl.get());
  const int saved_errno = errno;
  SetWaitLimit(reply_timeout_);
  if (done != 1) {
    const long verify = SSL_get_verify_result(ssl.get());
    if (verify != X509_V_OK) {
      SetError(REDIS_ERR_IO, std::string("certificate verify failed: ") +
                                 X509_verify_cert_error_string(verify));
      ERR_clear_error();
    } else if (saved_errno == EAGAIN || saved_errno == EWOULDBLOCK) {
      SetError(REDIS_ERR_IO, "Redis server did not complete the TLS handshake within " +
                                 std::to_string(timeout_.count()) + " ms");
      ERR_clear_error();
    } else {
      errno = saved_errno;
      SetTlsError("SSL_connect failed");
    }
    return false;
  }
  SSL_CTX_up_ref(ctx);
  tls_ctx_.reset(ctx);
  ssl_ = std::move(ssl);
  return true;
}

}  // namespace nivora_encrypted_index::internal::backing_store
