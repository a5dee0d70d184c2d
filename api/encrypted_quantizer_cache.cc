#include "api/encrypted_quantizer_cache.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <optional>
#include <string>
#include <stdexcept>
#include <utility>

#include "core/parallel_for.h"
#include "encrypted_index/cryptography/aes_gcm.h"
#include "encrypted_index/cryptography/hmac.h"

namespace nivora::internal {
namespace {

namespace crypto = nivora_encrypted_index::internal::cryptography;
using vector_index::QuantizerSet;

static_assert(kQuantizerCacheRecordSize == kQuantizerCacheChunkSize + crypto::kRecordOverhead,
              "a chunk record is an encrypted record of one chunk");

constexpr char kFingerprintLabel[] = "nivora quantizer cache key fingerprint";

std::array<uint8_t, 32> Fingerprint(const QuantizerCacheIndexKey& index_key) {
  return crypto::ComputeHMAC256(index_key, reinterpret_cast<const uint8_t*>(kFingerprintLabel),
                                sizeof(kFingerprintLabel) - 1);
}

bool SameFingerprint(const std::array<uint8_t, 32>& a, const std::array<uint8_t, 32>& b) {
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool Matches(const QuantizerCacheEntry& entry, const QuantizerCacheKey& key,
             const std::array<uint8_t, 32>& fingerprint) {
  return entry.key == key && SameFingerprint(entry.key_fingerprint, fingerprint);
}

[[noreturn]] void ThrowAuthenticationFailure(uint64_t failures) {
  throw std::runtime_error("Quantizer decryption failed - authentication error for " +
                           std::to_string(failures) + " chunks");
}

// Chunks decrypted on the calling thread: 16 x 64 KiB take about 0.2 ms on
// one core, what waking a team costs on a busy machine.
constexpr size_t kSerialDecryptChunks = 16;

// The block of a set about to be replaced, wiped, with the set emptied so
// that the block has no other owner.
Array2D<unsigned char> RetireBlock(QuantizerSet& set) {
  WipeQuantizers(set);
  Array2D<unsigned char> block = std::move(set.aux_matrix);
  set = QuantizerSet();
  return block;
}

// The set held by entry, decrypted under index_key into spare when it is a
// wiped block of the entry's size held by nobody else, else into a new
// block. Throws std::runtime_error when a chunk does not authenticate or
// the entry or its block is malformed.
QuantizerSet DecryptEntry(const QuantizerCacheEntry& entry, const QuantizerCacheIndexKey& index_key,
                          Array2D<unsigned char> spare) {
  const size_t count = entry.chunk_count;
  if (count == 0 || entry.chunk_size != kQuantizerCacheChunkSize || entry.chunks.rows != count ||
      entry.chunks.cols != kQuantizerCacheRecordSize || entry.plaintext_size == 0 ||
      entry.plaintext_size > count * kQuantizerCacheChunkSize) {
    throw std::runtime_error("Quantizer cache entry is malformed");
  }
  // The record decryption skips records whose head is all zero (absent
  // items); here every chunk must be present, so such a chunk has failed.
  uint64_t absent = 0;
  for (size_t i = 0; i < count; ++i) absent += crypto::IsAbsentRecord(entry.chunks.row(i)) ? 1 : 0;
  if (absent != 0) ThrowAuthenticationFailure(absent);

  const size_t block_size = count * kQuantizerCacheChunkSize;
  const bool reuse = spare.data != nullptr && spare.rows == 1 && spare.cols == block_size &&
                     spare.owner.use_count() == 1;
  Array2D<unsigned char> block = reuse ? std::move(spare) : AllocateWipedBlock(block_size);
  // Decrypts every chunk on the caller's threads; a chunk that does not
  // authenticate throws (its plaintext zeroed, the block wiped on release).
  // The set of a small index stays on the calling thread: decrypting it
  // takes less than starting a team.
  const nivora::ScopedThreadCount threads(count <= kSerialDecryptChunks ? 1 : 0);
  crypto::DecryptItemsFixedInto(entry.chunks.data, count, kQuantizerCacheRecordSize, index_key,
                                block.data, kQuantizerCacheChunkSize);
  return ParseQuantizerBlock(block, entry.plaintext_size);
}

}  // namespace

std::string QuantizerCacheLocation(
    const nivora_encrypted_index::internal::backing_store::Keystore& config_keystore,
    uint64_t memory_store_identity) {
  const Location code = config_keystore.GetLocation();
  std::string location = std::to_string(static_cast<int32_t>(code)) + "|";
  switch (code) {
    case Location::MEMORY:
      return location + std::to_string(memory_store_identity);
    case Location::THREADSAFEMEMORY:
      return location;  // one store per process
    default:
      return location + config_keystore.StorageIdentity();
  }
}

EncryptedQuantizerCache& EncryptedQuantizerCache::Instance() {
  static EncryptedQuantizerCache cache;
  return cache;
}

EncryptedQuantizerCache::EncryptedQuantizerCache() : current_(std::make_shared<const Table>()) {}

std::shared_ptr<const EncryptedQuantizerCache::Table> EncryptedQuantizerCache::Snapshot() const {
  return current_.load(std::memory_order_acquire);
}

std::unique_ptr<QuantizerSet> EncryptedQuantizerCache::Get(const QuantizerCacheKey& key,
                                                           const QuantizerCacheIndexKey& index_key,
                                                           const QuantizerStamp& expected,
                                                           QuantizerSet* retiring) {
  std::array<uint8_t, 32> fingerprint;
  try {
    fingerprint = Fingerprint(index_key);
  } catch (const std::runtime_error&) {
    return nullptr;  // no lookup without a fingerprint: the caller rereads the stored state
  }
  Entry entry;  // the reference keeps the entry alive while it is decrypted
  {
    const std::shared_ptr<const Table> table = Snapshot();
    const auto it = std::find_if(table->begin(), table->end(), [&](const Entry& e) {
      return Matches(*e, key, fingerprint);
    });
    if (it == table->end()) return nullptr;
    entry = *it;
  }
  if (!(entry->stamp == expected)) return nullptr;
  Array2D<unsigned char> spare;
  if (retiring != nullptr) spare = RetireBlock(*retiring);
  try {
    return std::make_unique<QuantizerSet>(DecryptEntry(*entry, index_key, std::move(spare)));
  } catch (const std::runtime_error&) {
    Drop(entry);
    return nullptr;
  }
}

void EncryptedQuantizerCache::Put(const QuantizerCacheKey& key,
                                  const QuantizerCacheIndexKey& index_key,
                                  const QuantizerStamp& stamp, const QuantizerSet& set) {
  if (!CoarseShapeMatches(set, stamp)) {
    throw std::invalid_argument("Quantizer set does not match its stamp");
  }
  const QuantizerBlock block = SerializeQuantizerBlock(set);
  auto entry = std::make_shared<QuantizerCacheEntry>();
  entry->key = key;
  entry->key_fingerprint = Fingerprint(index_key);
  entry->stamp = stamp;
  entry->plaintext_size = block.plaintext_size;
  entry->chunk_count = block.chunk_count;
  entry->chunks = crypto::EncryptItemsFixed(block.bytes.data(), block.chunk_count,
                                            kQuantizerCacheChunkSize, index_key);
  Entry published = std::move(entry);
  Publish([&](Table& table) {
    const auto it = std::find_if(table.begin(), table.end(), [&](const Entry& e) {
      return Matches(*e, key, published->key_fingerprint);
    });
    if (it != table.end()) {
      *it = published;
    } else {
      table.push_back(published);
    }
  });
}

void EncryptedQuantizerCache::Remove(const QuantizerCacheKey& key) {
  Publish([&](Table& table) {
    std::erase_if(table, [&](const Entry& e) { return e->key == key; });
  });
}

void EncryptedQuantizerCache::Drop(const Entry& entry) {
  Publish([&](Table& table) {
    std::erase_if(table, [&](const Entry& e) { return e.get() == entry.get(); });
  });
}

void EncryptedQuantizerCache::Publish(const std::function<void(Table&)>& edit) {
  std::lock_guard<std::mutex> lock(write_mutex_);
  auto next = std::make_shared<Table>(*current_.load(std::memory_order_acquire));
  edit(*next);
  current_.store(std::move(next));
}

}  // namespace nivora::internal
