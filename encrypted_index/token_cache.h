// The engine client's cache of query tokens per centroid, held only in
// encrypted form under a key that the cache draws at random when it is
// created and that never leaves the process. This file holds the cache's
// identity (key, statistics, clearing); the entries and their lookup come
// with query-token generation.
//
// Thread safety: the counters are relaxed atomics (statistics, not
// synchronisation); the key never changes after construction.
#ifndef NIVORA_ENCRYPTED_INDEX_TOKEN_CACHE_H_
#define NIVORA_ENCRYPTED_INDEX_TOKEN_CACHE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "encrypted_index/cryptography/secret.h"

namespace nivora_encrypted_index::internal::encrypted_index::cpu {

// Holds the cache's AES-256-GCM key; wipes it on destruction.
struct AESEncryptor {
  cryptography::Key key{};

  AESEncryptor() = default;
  AESEncryptor(const AESEncryptor&) = delete;
  AESEncryptor& operator=(const AESEncryptor&) = delete;
  ~AESEncryptor() { cryptography::Cleanse(key); }
};

class EncryptedTokenCache {
 public:
  // Draws the key from the random source. Throws std::runtime_error "Failed
  // to generate the token cache key" when the random source fails.
  EncryptedTokenCache();
  EncryptedTokenCache(const EncryptedTokenCache&) = delete;
  EncryptedTokenCache& operator=(const EncryptedTokenCache&) = delete;

  // Drops every entry and sets the three counters to 0.
  void clear();

  uint64_t getCacheHits() const { return hits_.load(std::memory_order_relaxed); }
  uint64_t getCacheMisses() const { return misses_.load(std::memory_order_relaxed); }
  uint64_t getCacheExtends() const { return extends_.load(std::memory_order_relaxed); }
  // Number of entries.
  size_t getCacheSize() const { return 0; }

 private:
  AESEncryptor encryptor_;
  std::atomic<uint64_t> hits_{0};     // lookups that found every position asked for
  std::atomic<uint64_t> misses_{0};   // lookups that found no entry
  std::atomic<uint64_t> extends_{0};  // lookups that found fewer positions than asked for
};

}  // namespace nivora_encrypted_index::internal::encrypted_index::cpu

#endif  // NIVORA_ENCRYPTED_INDEX_TOKEN_CACHE_H_
