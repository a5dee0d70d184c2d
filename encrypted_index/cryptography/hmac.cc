#include "encrypted_index/cryptography/hmac.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <climits>
#include <stdexcept>
#include <string>

#include "core/log_and_throw.h"
#include "core/logger.h"

namespace nivora_encrypted_index::internal::cryptography {
namespace {

[[noreturn]] void FailHMAC() {
  nivora::LogAndThrow<std::runtime_error>(*encrypted_index::GetLogger(), nivora::ERROR,
                                          "Failed to compute HMAC hash");
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
  nivora::LogAndThrow<std::invalid_argument>(
      *encrypted_index::GetLogger(), nivora::ERROR,
      "Unsupported HMAC mode: " + std::to_string(static_cast<int>(mode)), "Unsupported HMAC mode");
}

// HMAC of [message, message + size) under the key into out, which holds
// exactly the digest's length; any failure is FailHMAC.
void HMACInto(const EVP_MD* digest, const uint8_t* key, size_t key_size, const uint8_t* message,
              size_t size, uint8_t* out, size_t out_size) {
  if (key_size == 0 || key_size > INT_MAX) FailHMAC();
  // An empty message may come with a null pointer; HMAC wants a valid one.
  static const uint8_t kEmpty = 0;
  unsigned int length = 0;
  if (HMAC(digest, key, static_cast<int>(key_size), size == 0 ? &kEmpty : message, size, out,
           &length) == nullptr ||
      length != out_size) {
    FailHMAC();
  }
}

}  // namespace

HMAC256Context::HMAC256Context(const Key& key) {
  nivora::EvpMacPtr mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (!mac) FailHMAC();
  ctx_.reset(EVP_MAC_CTX_new(mac.get()));  // holds its own reference to mac
  char digest[] = "SHA3-256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end(),
  };
  if (!ctx_ || EVP_MAC_init(ctx_.get(), key.data(), key.size(), params) != 1) FailHMAC();
}

void HMAC256Context::Compute(const uint8_t* message, size_t size, std::array<uint8_t, 32>& out) {
  static const uint8_t kEmpty = 0;
  size_t length = 0;
  // Initialising without a key starts a new message under the key set.
  if (EVP_MAC_init(ctx_.get(), nullptr, 0, nullptr) != 1 ||
      EVP_MAC_update(ctx_.get(), size == 0 ? &kEmpty : message, size) != 1 ||
      EVP_MAC_final(ctx_.get(), out.data(), &length, out.size()) != 1 || length != out.size()) {
    FailHMAC();
  }
}

void ComputeHMAC256Into(const Key& key, const uint8_t* message, size_t size,
                        std::array<uint8_t, 32>& out) {
  HMACInto(EVP_sha3_256(), key.data(), key.size(), message, size, out.data(), out.size());
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
  HMACInto(digest, key.data(), key.size(), message.data(), message.size(), out.data(),
           out.size());
  return out;
}

void ComputeHMACInto(const uint8_t* key, size_t key_size, const uint8_t* message, size_t size,
                     HMACMode mode, uint8_t* out, size_t out_size) {
  const EVP_MD* digest = DigestOf(mode);
  if (out_size != static_cast<size_t>(EVP_MD_get_size(digest))) {
    throw std::invalid_argument("HMAC output size does not match the digest");
  }
  HMACInto(digest, key, key_size, message, size, out, out_size);
}

}  // namespace nivora_encrypted_index::internal::cryptography
