#include "encrypted_index/cryptography/hmac.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <climits>
#include <stdexcept>
#include <string>

#include "core/logger.h"

namespace nivora_encrypted_index::internal::cryptography {
namespace {

[[noreturn]] void FailHMAC() {
  const std::string message = "Failed to compute HMAC hash";
  encrypted_index::GetLogger()->error(message);
  throw std::runtime_error(message);
}

const EVP_MD* DigestOf(HMACMode mode) {
  switch (mode) {
    case HMACMode::SHA224: return EVP_sha224();
    case HMACMode::SHA256: return EVP_sha256();
    case HMACMode::SHA384: return EVP_sha384();
    case HMACMode::SHA512: return EVP_sha512();
    case HMACMode::SHA3_224: return EVP_sha3_224();
    case HMACMode::SHA3_256: return EVP_sha3_256();
    case HMACMode::SHA3_384: return EVP_sha3_384();
    case HMACMode::SHA3_512: return EVP_sha3_512();
  }
  encrypted_index::GetLogger()->error("Unsupported HMAC mode: " +
                                      std::to_string(static_cast<int>(mode)));
  throw std::invalid_argument("Unsupported HMAC mode");
}

}  // namespace

void ComputeHMAC256Into(const Key& key, const uint8_t* message, size_t size,
                        std::array<uint8_t, 32>& out) {
  unsigned int length = 0;
  // An empty message may come with a null pointer; HMAC wants a valid one.
  static const uint8_t kEmpty = 0;
  if (HMAC(EVP_sha3_256(), key.data(), static_cast<int>(key.size()),
           size == 0 ? &kEmpty : message, size, out.data(), &length) == nullptr ||
      length != out.size()) {
    FailHMAC();
  }
}

std::array<uint8_t, 32> ComputeHMAC256(const Key& key, const uint8_t* message, size_t size) {
  std::array<uint8_t, 32> out;
  ComputeHMAC256Into(key, message, size, out);
  return out;
}

std::array<uint8_t, 32> ComputeHMAC256(const Key& key, const std::vector<uint8_t>& message) {
  return ComputeHMAC256(key, message.data(), message.size());
}

std::vector<uint8_t> ComputeHMAC(const std::vector<uint8_t>& key,
                                 const std::vector<uint8_t>& message, HMACMode mode) {
  const EVP_MD* digest = DigestOf(mode);
  std::vector<uint8_t> out(static_cast<size_t>(EVP_MD_get_size(digest)));
  if (key.empty() || key.size() > INT_MAX) FailHMAC();
  static const uint8_t kEmpty = 0;
  unsigned int length = 0;
  if (HMAC(digest, key.data(), static_cast<int>(key.size()),
           message.empty() ? &kEmpty : message.data(), message.size(), out.data(),
           &length) == nullptr ||
      length != out.size()) {
    FailHMAC();
  }
  return out;
}

}  // namespace nivora_encrypted_index::internal::cryptography
