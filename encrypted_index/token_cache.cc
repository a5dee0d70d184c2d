// Sealing, opening and parsing of token cache entries. Every OpenSSL and
// random-source result is checked: a failure while sealing leaves the entry
// out, a failure while opening is a miss. Plaintext scratch lives per thread
// and is wiped after every use (only the bytes used, so a hit stays cheap).
#include "encrypted_index/token_cache.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <utility>

#include "core/little_endian.h"
#include "core/openssl_handles.h"

namespace nivora_encrypted_index::internal::encrypted_index::cpu {
namespace {

namespace crypto = cryptography;

constexpr size_t kIVSize = 12;
constexpr size_t kTagSize = 16;
constexpr size_t kScratchReserve = 65536;

// A cipher context of this thread and the encryptor whose key it holds: the
// key schedule is set up again only when another encryptor uses it.
struct KeyedContext {
  nivora::EvpCipherCtxPtr ctx{EVP_CIPHER_CTX_new()};
  uint64_t keyed_for = 0;  // AESEncryptor::id of the key in ctx; 0 for none
};

// One encryption and one decryption context per thread, shared by every
// cache on it; freed (and their key schedules wiped) when the thread ends.
struct ThreadContexts {
  KeyedContext encrypt;
  KeyedContext decrypt;
};

ThreadContexts& Contexts() {
  thread_local ThreadContexts contexts;
  return contexts;
}

// Readies the context for one message under iv: a context already keyed by
// this encryptor takes only the IV. Null when a step failed.
EVP_CIPHER_CTX* Begin(KeyedContext& keyed, bool encrypt, const crypto::Key& key, uint64_t id,
                      const uint8_t* iv) {
  EVP_CIPHER_CTX* ctx = keyed.ctx.get();
  if (ctx == nullptr) return nullptr;
  const bool rekey = id == 0 || keyed.keyed_for != id;
  const EVP_CIPHER* cipher = rekey ? EVP_aes_256_gcm() : nullptr;
  const uint8_t* key_bytes = rekey ? key.data() : nullptr;
  keyed.keyed_for = 0;
  const int ok = encrypt ? EVP_EncryptInit_ex(ctx, cipher, nullptr, key_bytes, iv)
                         : EVP_DecryptInit_ex(ctx, cipher, nullptr, key_bytes, iv);
  if (ok != 1) return nullptr;
  keyed.keyed_for = id;
  return ctx;
}

crypto::SecretVector<uint8_t>& Scratch() {
  thread_local crypto::SecretVector<uint8_t> buffer = [] {
    crypto::SecretVector<uint8_t> b;
    b.reserve(kScratchReserve);
    return b;
  }();
  return buffer;
}

// Wipes the bytes a scratch buffer holds when the scope ends.
class WipeUsed {
 public:
  explicit WipeUsed(crypto::SecretVector<uint8_t>& buffer) : buffer_(buffer) {}
  ~WipeUsed() {
    if (!buffer_.empty()) OPENSSL_cleanse(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  WipeUsed(const WipeUsed&) = delete;
  WipeUsed& operator=(const WipeUsed&) = delete;

 private:
  crypto::SecretVector<uint8_t>& buffer_;
};

// Count and last position of a well-formed plaintext; false otherwise.
bool ParseHeader(const uint8_t* bytes, size_t size, uint64_t& count, uint32_t& last_position) {
  if (size < kCacheHeaderSize) return false;
  count = nivora::LoadLittleEndian<uint64_t>(bytes);
  last_position = nivora::LoadLittleEndian<uint32_t>(bytes + 8);
  if (count == 0 || count > (size - kCacheHeaderSize) / 16) return false;
  return SerializedCacheSize(count) == size && uint64_t{last_position} + 1 == count;
}

// Copies n keys and n pads of an entry of `count` positions.
void CopyTokens(const uint8_t* bytes, uint64_t count, size_t n, uint64_t* keys, uint64_t* pads) {
  const uint8_t* key_bytes = bytes + kCacheHeaderSize;
  const uint8_t* pad_bytes = key_bytes + 8 * count;
  for (size_t i = 0; i < n; ++i) {
    keys[i] = nivora::LoadLittleEndian<uint64_t>(key_bytes + 8 * i);
    pads[i] = nivora::LoadLittleEndian<uint64_t>(pad_bytes + 8 * i);
  }
}

void SerializeInto(const uint64_t* keys, const uint64_t* pads, uint64_t count,
                   crypto::SecretVector<uint8_t>& out) {
  out.resize(SerializedCacheSize(count));
  uint8_t* p = out.data();
  nivora::StoreLittleEndian<uint64_t>(count, p);
  nivora::StoreLittleEndian<uint32_t>(static_cast<uint32_t>(count - 1), p + 8);
  p += kCacheHeaderSize;
  for (uint64_t i = 0; i < count; ++i) nivora::StoreLittleEndian<uint64_t>(keys[i], p + 8 * i);
  p += 8 * count;
  for (uint64_t i = 0; i < count; ++i) nivora::StoreLittleEndian<uint64_t>(pads[i], p + 8 * i);
}

}  // namespace

void serializeCacheDataInto(const CachedCentroidData& data, crypto::SecretVector<uint8_t>& out) {
  out.clear();
  if (data.count == 0) return;
  if (data.keys.size() < data.count || data.value_hashes.size() < data.count) {
    throw std::invalid_argument("Cached centroid data holds fewer tokens than its count");
  }
  SerializeInto(data.keys.data(), data.value_hashes.data(), data.count, out);
  nivora::StoreLittleEndian<uint32_t>(data.last_position, out.data() + 8);
}

bool deserializeCacheDataInto(const uint8_t* bytes, size_t size, CachedCentroidData& out) {
  uint64_t count = 0;
  uint32_t last_position = 0;
  if (!ParseHeader(bytes, size, count, last_position)) return false;
  out.keys.resize(count);
  out.value_hashes.resize(count);
  CopyTokens(bytes, count, count, out.keys.data(), out.value_hashes.data());
  out.count = count;
  out.last_position = last_position;
  return true;
}

AESEncryptor::AESEncryptor() {
  // Without an id the contexts are keyed afresh for every message.
  if (RAND_bytes(reinterpret_cast<uint8_t*>(&id), sizeof(id)) != 1) id = 0;
}

bool AESEncryptor::encrypt(const uint8_t* plaintext, size_t size, EncryptedCacheEntry& out) const {
  if (size > INT_MAX) return false;
  out.iv.resize(kIVSize);
  out.ciphertext.resize(size);
  out.tag.resize(kTagSize);
  if (RAND_bytes(out.iv.data(), static_cast<int>(kIVSize)) != 1) return false;
  EVP_CIPHER_CTX* ctx = Begin(Contexts().encrypt, /*encrypt=*/true, key, id, out.iv.data());
  int len = 0;
  bool ok = ctx != nullptr;
  ok = ok && (size == 0 || EVP_EncryptUpdate(ctx, out.ciphertext.data(), &len, plaintext,
                                             static_cast<int>(size)) == 1);
  ok = ok && EVP_EncryptFinal_ex(ctx, out.ciphertext.data() + size, &len) == 1;
  ok = ok && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, kTagSize, out.tag.data()) == 1;
  return ok;
}

bool AESEncryptor::decryptInto(const EncryptedCacheEntry& entry,
                               crypto::SecretVector<uint8_t>& out) const {
  const size_t size = entry.ciphertext.size();
  bool ok = entry.iv.size() == kIVSize && entry.tag.size() == kTagSize && size <= INT_MAX;
  if (ok) {
    out.resize(size);
    // The tag buffer of the context API is not const.
    uint8_t tag[kTagSize];
    std::copy(entry.tag.begin(), entry.tag.end(), tag);
    int len = 0;
    EVP_CIPHER_CTX* ctx = Begin(Contexts().decrypt, /*encrypt=*/false, key, id, entry.iv.data());
    ok = ctx != nullptr;
    ok = ok && (size == 0 || EVP_DecryptUpdate(ctx, out.data(), &len, entry.ciphertext.data(),
                                               static_cast<int>(size)) == 1);
    ok = ok && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, kTagSize, tag) == 1;
    ok = ok && EVP_DecryptFinal_ex(ctx, out.data() + size, &len) > 0;
  }
  if (!ok && !out.empty()) {
    OPENSSL_cleanse(out.data(), out.size());
    out.clear();
  }
  return ok;
}

crypto::SecretVector<uint8_t> AESEncryptor::decrypt(const EncryptedCacheEntry& entry) const {
  crypto::SecretVector<uint8_t> out;
  decryptInto(entry, out);
  return out;
}

EncryptedTokenCache::EncryptedTokenCache() {
  if (RAND_bytes(encryptor_.key.data(), static_cast<int>(encryptor_.key.size())) != 1) {
    throw std::runtime_error("Failed to generate the token cache key");
  }
}

const crypto::SecretVector<uint8_t>* EncryptedTokenCache::Open(uint32_t centroid) {
  crypto::SecretVector<uint8_t>& plain = Scratch();
  bool opened = false;
  // Opened in place under the shard's shared lock: no copy of the entry.
  entries_.Find(centroid, [&](const EncryptedCacheEntry& stored) {
    opened = encryptor_.decryptInto(stored, plain);
  });
  uint64_t count = 0;
  uint32_t last_position = 0;
  if (!opened || !ParseHeader(plain.data(), plain.size(), count, last_position)) {
    if (!plain.empty()) OPENSSL_cleanse(plain.data(), plain.size());
    plain.clear();
    misses_.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
  }
  return &plain;
}

uint64_t EncryptedTokenCache::Lookup(uint32_t centroid, size_t needed, uint64_t* keys,
                                     uint64_t* pads, size_t capacity, uint32_t& last_position) {
  const crypto::SecretVector<uint8_t>* plain = Open(centroid);
  if (plain == nullptr) return 0;
  WipeUsed wipe(Scratch());
  uint64_t count = 0;
  ParseHeader(plain->data(), plain->size(), count, last_position);
  CopyTokens(plain->data(), count, static_cast<size_t>(std::min<uint64_t>(count, capacity)), keys,
             pads);
  (count < needed ? extends_ : hits_).fetch_add(1, std::memory_order_relaxed);
  return count;
}

bool EncryptedTokenCache::tryGet(uint32_t centroid, size_t needed, CachedCentroidData& out) {
  const crypto::SecretVector<uint8_t>* plain = Open(centroid);
  if (plain == nullptr) return false;
  WipeUsed wipe(Scratch());
  deserializeCacheDataInto(plain->data(), plain->size(), out);
  (out.count < needed ? extends_ : hits_).fetch_add(1, std::memory_order_relaxed);
  return true;
}

void EncryptedTokenCache::Store(uint32_t centroid, const uint64_t* keys, const uint64_t* pads,
                                uint64_t count) {
  if (count == 0 || count > UINT32_MAX + uint64_t{1}) return;
  crypto::SecretVector<uint8_t>& plain = Scratch();
  WipeUsed wipe(plain);
  SerializeInto(keys, pads, count, plain);
  EncryptedCacheEntry entry;
  if (!encryptor_.encrypt(plain.data(), plain.size(), entry)) return;
  entries_.InsertOrAssign(centroid, std::move(entry));
}

void EncryptedTokenCache::store(uint32_t centroid, const CachedCentroidData& data) {
  if (data.keys.size() < data.count || data.value_hashes.size() < data.count) {
    throw std::invalid_argument("Cached centroid data holds fewer tokens than its count");
  }
  Store(centroid, data.keys.data(), data.value_hashes.data(), data.count);
}

void EncryptedTokenCache::clear() {
  entries_.clear();
  hits_.store(0, std::memory_order_relaxed);
  misses_.store(0, std::memory_order_relaxed);
  extends_.store(0, std::memory_order_relaxed);
}

}  // namespace nivora_encrypted_index::internal::encrypted_index::cpu
