// EncryptedQuantizerCache: the process-wide cache of trained quantizer sets,
// so that an operation gets its index's quantizers without reading and
// parsing the stored state, and a training in one client reaches the others
// of the process.
//
// Entries are keyed by the stored index they belong to (the config location
// and the index name, QuantizerCacheKey) and by a fingerprint of the index
// key (an HMAC under the key; the key itself is never kept): the same name
// at another location, or under another key, shares nothing. Each entry
// carries the stamp (trained flag, quantizer version, n_lists) of its set; a
// lookup serves the set only to a caller whose own stamp is equal, so an
// index that is behind (or ahead of) the cached state rereads the stored
// state instead. Plaintext never rests here: a set is laid out in one block
// (quantizer_cache_block.h), cut into 64 KiB chunks, each encrypted with
// AES-256-GCM under the index key as IV (12) | ciphertext (65536) | tag (16).
//
// Thread safety: every member function may be called from any number of
// threads at once. Lookups take no mutex: they load the published table (an
// immutable vector of immutable entries) through an atomic shared pointer
// and hold a reference to it while they decrypt, so a table is freed only
// after its last reader is done. Put and Remove serialise on a mutex and
// publish a new table; encryption runs before the mutex is taken.
#ifndef NIVORA_API_ENCRYPTED_QUANTIZER_CACHE_H_
#define NIVORA_API_ENCRYPTED_QUANTIZER_CACHE_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/quantizer_cache_block.h"
#include "api/quantizer_stamp.h"
#include "backing_store/keystore.h"
#include "core/array2d.h"
#include "core/db_config.h"
#include "encrypted_index/cryptography/secret.h"
#include "vector/quantizer_set.h"

namespace nivora::internal {

using QuantizerCacheIndexKey = nivora_encrypted_index::internal::cryptography::Key;

// Bytes of one encrypted chunk record: IV, ciphertext, tag.
inline constexpr size_t kQuantizerCacheRecordSize = 12 + kQuantizerCacheChunkSize + 16;

// The stored index an entry belongs to.
struct QuantizerCacheKey {
  std::string location;    // QuantizerCacheLocation of the index's config location
  std::string index_name;

  bool operator==(const QuantizerCacheKey&) const = default;
};

// The cache location of an index whose config items are kept by
// config_keystore: its location code and its StorageIdentity, the text the
// RAM caches key a store by, so every spelling of one store (a folder with
// or without a trailing "/", an absent or empty RocksDB folder) is one
// location. A MEMORY store belongs to one client alone:
// memory_store_identity, unique per client for the life of the process,
// tells them apart (ignored for the other codes).
std::string QuantizerCacheLocation(
    const nivora_encrypted_index::internal::backing_store::Keystore& config_keystore,
    uint64_t memory_store_identity);

// One cached set; immutable once published.
struct QuantizerCacheEntry {
  QuantizerCacheKey key;
  std::array<uint8_t, 32> key_fingerprint{};  // HMAC-SHA3-256 of a fixed label under the index key
  QuantizerStamp stamp;
  Array2D<unsigned char> chunks;  // chunk_count rows of kQuantizerCacheRecordSize bytes
  size_t plaintext_size = 0;      // exact length of the laid-out set
  size_t chunk_size = kQuantizerCacheChunkSize;
  size_t chunk_count = 0;         // ceil(plaintext_size / chunk_size)
};

class EncryptedQuantizerCache {
 public:
  using Entry = std::shared_ptr<const QuantizerCacheEntry>;
  using Table = std::vector<Entry>;

  // The one cache of the process, built on first use, destroyed at exit.
  static EncryptedQuantizerCache& Instance();

  // An empty cache (tests make their own; the system uses Instance()).
  EncryptedQuantizerCache();
  EncryptedQuantizerCache(const EncryptedQuantizerCache&) = delete;
  EncryptedQuantizerCache& operator=(const EncryptedQuantizerCache&) = delete;

  // The set cached for key under index_key, when its stamp equals expected;
  // else null. The returned set is the caller's: its aux_matrix holds the
  // decrypted block (wiped when released), its codebooks point into it, and
  // the caller wipes the values when done (WipeQuantizers). An entry that
  // fails to decrypt or parse is dropped and counts as a miss. Throws only
  // std::bad_alloc.
  //
  // retiring, when given, is the caller's previous set, about to be
  // replaced: on a stamp match it is wiped and emptied first, and its block
  // is decrypted into again when it has the entry's size (the next
  // operation of an index finds its block in place: no allocation, no
  // page faults, no free). On a stamp miss it is left as it was.
  std::unique_ptr<vector_index::QuantizerSet> Get(const QuantizerCacheKey& key,
                                                  const QuantizerCacheIndexKey& index_key,
                                                  const QuantizerStamp& expected,
                                                  vector_index::QuantizerSet* retiring = nullptr);

  // Encrypts set and publishes it for key and index_key with stamp,
  // replacing the entry of the same key and index key. The caller must not
  // put a set it has wiped. Throws std::invalid_argument "Quantizer set does
  // not match its stamp" when the coarse shape differs from what stamp
  // promises (CoarseShapeMatches), the errors of SerializeQuantizerBlock,
  // and std::runtime_error when encryption fails; the cache is then
  // unchanged.
  void Put(const QuantizerCacheKey& key, const QuantizerCacheIndexKey& index_key,
           const QuantizerStamp& stamp, const vector_index::QuantizerSet& set);

  // Drops every entry of key, whatever its index key (the stored index is
  // gone). Nothing to drop publishes an equal table.
  void Remove(const QuantizerCacheKey& key);

  // The published table, for inspection.
  std::shared_ptr<const Table> Snapshot() const;

 private:
  friend class QuantizerCacheTestPeer;

  // Under write_mutex_: publishes edit(copy of the current table).
  void Publish(const std::function<void(Table&)>& edit);
  // Drops exactly this entry, if it is still published.
  void Drop(const Entry& entry);

  std::atomic<std::shared_ptr<const Table>> current_;  // never null
  std::mutex write_mutex_;                             // serialises publications
};

}  // namespace nivora::internal

#endif  // NIVORA_API_ENCRYPTED_QUANTIZER_CACHE_H_
