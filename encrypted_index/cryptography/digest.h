// SHA-3 digests through OpenSSL's EVP interface, for callers outside the
// hot paths (those use the engine's own sponge in sha3.h). Stateless and
// safe to call concurrently.
#ifndef NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_DIGEST_H_
#define NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_DIGEST_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace nivora_encrypted_index::internal::cryptography {

enum class SHA3Mode : int {
  SHA3_224 = 0,
  SHA3_256 = 1,
  SHA3_384 = 2,
  SHA3_512 = 3,
};

// The digest of data under mode. A mode outside the enumeration logs
// "Invalid SHA3 mode: <mode>" and throws std::invalid_argument "Invalid SHA3
// mode". Throws std::runtime_error "Failed to create EVP_MD_CTX" or "Failed
// to compute SHA3 hash" (both logged at ERROR) when OpenSSL fails.
std::vector<uint8_t> ComputeSHA3(const std::vector<uint8_t>& data, SHA3Mode mode);

// SHA3-256 of the bytes of a string or vector; failures as ComputeSHA3.
std::array<uint8_t, 32> ComputeSHA3256(const std::string& data);
std::array<uint8_t, 32> ComputeSHA3256(const std::vector<uint8_t>& data);

}  // namespace nivora_encrypted_index::internal::cryptography

#endif  // NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_DIGEST_H_
