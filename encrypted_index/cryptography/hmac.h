// Message authentication codes over OpenSSL's digests: HMAC-SHA3-256 for the
// engine's key schedule, salts and seeds, and a general HMAC over the SHA-2
// and SHA-3 families. Stateless and safe to call concurrently.
#ifndef NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_HMAC_H_
#define NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_HMAC_H_

#include <array>
#include <cstdint>
#include <vector>

#include "core/openssl_handles.h"
#include "encrypted_index/cryptography/secret.h"

namespace nivora_encrypted_index::internal::cryptography {

enum class HMACMode : int {
  SHA224 = 0,
  SHA256 = 1,
  SHA384 = 2,
  SHA512 = 3,
  SHA3_224 = 4,
  SHA3_256 = 5,
  SHA3_384 = 6,
  SHA3_512 = 7,
};

// HMAC-SHA3-256 (RFC 2104, block length 136) of message under the 32-byte
// key. Throws std::runtime_error "Failed to compute HMAC hash" (logged at
// ERROR) when the computation fails.
std::array<uint8_t, 32> ComputeHMAC256(const Key& key, const std::vector<uint8_t>& message);
// The same over a byte range.
std::array<uint8_t, 32> ComputeHMAC256(const Key& key, const uint8_t* message, size_t size);
// The same written straight into out, so that a derived key leaves no
// temporary copy behind.
void ComputeHMAC256Into(const Key& key, const uint8_t* message, size_t size,
                        std::array<uint8_t, 32>& out);

// HMAC-SHA3-256 under one key for many messages: the MAC, its digest and
// the keyed state are set up once, so each message costs only its hashing
// (a third of a one-shot computation). Gives the same results as
// ComputeHMAC256. The context holds the keyed state (OpenSSL wipes it when
// the context is freed). Not safe to share between threads: one per
// thread. Failures (also of the construction) log at ERROR and throw
// std::runtime_error "Failed to compute HMAC hash".
class HMAC256Context {
 public:
  explicit HMAC256Context(const Key& key);
  void Compute(const uint8_t* message, size_t size, std::array<uint8_t, 32>& out);

 private:
  nivora::EvpMacCtxPtr ctx_;
};

// HMAC with the digest of mode; the result has the digest's length. A mode
// outside the enumeration logs "Unsupported HMAC mode: <mode>" and throws
// std::invalid_argument "Unsupported HMAC mode"; an empty key or a failed
// computation logs and throws std::runtime_error "Failed to compute HMAC
// hash".
std::vector<uint8_t> ComputeHMAC(const std::vector<uint8_t>& key,
                                 const std::vector<uint8_t>& message, HMACMode mode);
// The same over byte ranges, written into out, which must hold exactly the
// digest's length (std::invalid_argument "HMAC output size does not match
// the digest" otherwise): for keys and results that live in wiped buffers.
void ComputeHMACInto(const uint8_t* key, size_t key_size, const uint8_t* message, size_t size,
                     HMACMode mode, uint8_t* out, size_t out_size);

}  // namespace nivora_encrypted_index::internal::cryptography

#endif  // NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_HMAC_H_
