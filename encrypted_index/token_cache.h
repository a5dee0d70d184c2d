// The engine client's cache of query tokens per centroid, held only in
// encrypted form under a key that the cache draws at random when it is
// created and that never leaves the process.
//
// An entry holds the token keys and pads of positions 0 .. count - 1 of one
// centroid, serialized (CachedCentroidData, 12 + 16 x count bytes) and
// sealed with AES-256-GCM under the cache key with a fresh IV. An entry
// that fails to open, or whose plaintext is not well formed, is a miss: it
// is never parsed. Encryption failures only leave the entry out.
//
// Ownership: one cache per engine client, owned by it. Plaintext scratch
// (the per-thread serialization and decryption buffers) is wiped after each
// use; CachedCentroidData wipes what it holds.
//
// Thread safety: every operation may run concurrently with every other.
// Entries live in a ShardedMap (16 shards, each under its own shared mutex);
// lookups open an entry in place under its shard's shared lock, stores take
// it exclusive only to insert. Cipher contexts and scratch are per thread; a
// thread's context keeps the key schedule of the cache that used it last.
// The counters are relaxed atomics (statistics, not synchronisation); the key
// never changes after construction.
#ifndef NIVORA_ENCRYPTED_INDEX_TOKEN_CACHE_H_
#define NIVORA_ENCRYPTED_INDEX_TOKEN_CACHE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/sharded_map.h"
#include "encrypted_index/cryptography/secret.h"

namespace nivora_encrypted_index::internal::encrypted_index::cpu {

// One sealed entry: IV, ciphertext (as long as the plaintext), GCM tag.
struct EncryptedCacheEntry {
  std::vector<uint8_t> iv;
  std::vector<uint8_t> ciphertext;
  std::vector<uint8_t> tag;
};

// The plaintext of one entry: the tokens of positions 0 .. count - 1.
struct CachedCentroidData {
  cryptography::SecretVector<uint64_t> keys;          // token keys
  cryptography::SecretVector<uint64_t> value_hashes;  // their pads
  uint64_t count = 0;                                 // positions held
  uint32_t last_position = 0;                         // count - 1: where an extension starts
};

// Serialized size of an entry of `count` positions.
inline constexpr size_t kCacheHeaderSize = 12;
inline size_t SerializedCacheSize(uint64_t count) { return kCacheHeaderSize + 16 * count; }

// Clears out, then writes count (LE64), last_position (LE32), the keys and
// the pads (LE64 each).
void serializeCacheDataInto(const CachedCentroidData& data, cryptography::SecretVector<uint8_t>& out);
// The reverse. Returns false, leaving out alone, when bytes is not exactly
// one well-formed entry (length, count and last position agree).
bool deserializeCacheDataInto(const uint8_t* bytes, size_t size, CachedCentroidData& out);

// AES-256-GCM under the cache key, on per-thread cipher contexts (created on
// a thread's first use, freed when it ends). A context keyed by this
// encryptor is reused with a new IV only, so the key is set before the first
// use and never changed after. Every OpenSSL and random-source result is
// checked.
struct AESEncryptor {
  cryptography::Key key{};
  uint64_t id = 0;  // random, tells the contexts' keys apart; 0 rekeys every use

  // Draws id.
  AESEncryptor();
  AESEncryptor(const AESEncryptor&) = delete;
  AESEncryptor& operator=(const AESEncryptor&) = delete;
  ~AESEncryptor() { cryptography::Cleanse(key); }

  // Seals size bytes under a fresh IV. False when any step failed (out is
  // then unusable).
  bool encrypt(const uint8_t* plaintext, size_t size, EncryptedCacheEntry& out) const;
  // Opens an entry into out (resized to the plaintext length). False when
  // the entry is malformed or does not authenticate; out is then wiped.
  bool decryptInto(const EncryptedCacheEntry& entry, cryptography::SecretVector<uint8_t>& out) const;
  // The same into a new buffer; empty when the entry does not open.
  cryptography::SecretVector<uint8_t> decrypt(const EncryptedCacheEntry& entry) const;
};

class EncryptedTokenCache {
 public:
  // Draws the key from the random source. Throws std::runtime_error "Failed
  // to generate the token cache key" when the random source fails.
  EncryptedTokenCache();
  EncryptedTokenCache(const EncryptedTokenCache&) = delete;
  EncryptedTokenCache& operator=(const EncryptedTokenCache&) = delete;

  // Looks centroid up. Not found, or an entry that does not open: a miss,
  // false. Found: out holds all its positions, true; counted as a hit when
  // it holds at least `needed` positions, else as an extension.
  bool tryGet(uint32_t centroid, size_t needed, CachedCentroidData& out);
  // The same, copying straight into the caller's arrays only the first
  // min(count, capacity) keys and pads. Returns the entry's count and sets
  // last_position; 0 for a miss.
  uint64_t Lookup(uint32_t centroid, size_t needed, uint64_t* keys, uint64_t* pads,
                  size_t capacity, uint32_t& last_position);

  // Seals and stores the tokens of positions 0 .. data.count - 1, replacing
  // any earlier entry. Nothing is stored when sealing fails.
  void store(uint32_t centroid, const CachedCentroidData& data);
  // The same from the caller's arrays of `count` keys and pads.
  void Store(uint32_t centroid, const uint64_t* keys, const uint64_t* pads, uint64_t count);

  // Drops every entry and sets the three counters to 0.
  void clear();

  uint64_t getCacheHits() const { return hits_.load(std::memory_order_relaxed); }
  uint64_t getCacheMisses() const { return misses_.load(std::memory_order_relaxed); }
  uint64_t getCacheExtends() const { return extends_.load(std::memory_order_relaxed); }
  // Number of entries, counted shard by shard under the shards' locks.
  size_t getCacheSize() const { return entries_.size(); }

 private:
  // Opens the entry of centroid into this thread's scratch buffer; null on a
  // miss (counted). The returned bytes are one well-formed entry.
  const cryptography::SecretVector<uint8_t>* Open(uint32_t centroid);

  nivora::ShardedMap<uint32_t, EncryptedCacheEntry> entries_;
  AESEncryptor encryptor_;
  std::atomic<uint64_t> hits_{0};     // lookups that found every position asked for
  std::atomic<uint64_t> misses_{0};   // lookups that found nothing usable
  std::atomic<uint64_t> extends_{0};  // lookups that found fewer positions than asked for
};

}  // namespace nivora_encrypted_index::internal::encrypted_index::cpu

#endif  // NIVORA_ENCRYPTED_INDEX_TOKEN_CACHE_H_
