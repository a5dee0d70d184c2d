#include "encrypted_index/token_cache.h"

#include <openssl/rand.h>

#include <stdexcept>

namespace nivora_encrypted_index::internal::encrypted_index::cpu {

EncryptedTokenCache::EncryptedTokenCache() {
  if (RAND_bytes(encryptor_.key.data(), static_cast<int>(encryptor_.key.size())) != 1) {
    throw std::runtime_error("Failed to generate the token cache key");
  }
}

void EncryptedTokenCache::clear() {
  hits_.store(0, std::memory_order_relaxed);
  misses_.store(0, std::memory_order_relaxed);
  extends_.store(0, std::memory_order_relaxed);
}

}  // namespace nivora_encrypted_index::internal::encrypted_index::cpu
