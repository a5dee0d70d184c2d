// Owning handles for the OpenSSL objects the library creates: each frees its
// object when it goes out of scope, on every path. Used by AES-GCM, SHA-3 and
// HMAC, and by the TLS transport of the Redis keystore.
#ifndef NIVORA_CORE_OPENSSL_HANDLES_H_
#define NIVORA_CORE_OPENSSL_HANDLES_H_

#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <memory>

namespace nivora {

// Calls the OpenSSL free function Free on a non-null pointer.
template <auto Free>
struct OpenSslFree {
  template <typename T>
  void operator()(T* p) const noexcept {
    Free(p);
  }
};

using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OpenSslFree<&EVP_CIPHER_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslFree<&EVP_MD_CTX_free>>;
using EvpMacPtr = std::unique_ptr<EVP_MAC, OpenSslFree<&EVP_MAC_free>>;
using EvpMacCtxPtr = std::unique_ptr<EVP_MAC_CTX, OpenSslFree<&EVP_MAC_CTX_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, OpenSslFree<&SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, OpenSslFree<&SSL_free>>;

}  // namespace nivora

#endif  // NIVORA_CORE_OPENSSL_HANDLES_H_
