#include "encrypted_index/cryptography/aes_gcm.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/log_and_throw.h"
#include "core/logger.h"
#include "core/openssl_handles.h"
#include "core/parallel_for.h"

namespace nivora_encrypted_index::internal::cryptography {
namespace {

// The cipher interface counts bytes in int.
constexpr size_t kMaxRecord = INT_MAX;
constexpr size_t kMaxPlaintext = kMaxRecord - kRecordOverhead;

// One cipher context per thread and batch: the key schedule is set once,
// each item only re-initialises the IV.
class GcmContext {
 public:
  GcmContext(const EVP_CIPHER* cipher, const Key& key, bool encrypt) : ctx_(EVP_CIPHER_CTX_new()) {
    if (!ctx_) return;
    ok_ = encrypt ? EVP_EncryptInit_ex(ctx_.get(), cipher, nullptr, key.data(), nullptr) == 1
                  : EVP_DecryptInit_ex(ctx_.get(), cipher, nullptr, key.data(), nullptr) == 1;
  }

  bool ok() const { return ok_; }

  // Writes the record of plaintext [in, in + size) to out (size + 28 bytes).
  bool Encrypt(const uint8_t* iv, const uint8_t* in, size_t size, uint8_t* out) {
    EVP_CIPHER_CTX* ctx = ctx_.get();
    std::memcpy(out, iv, kIVSize);
    int len = 0;
    bool ok = EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv) == 1;
    if (size != 0) {
      ok = EVP_EncryptUpdate(ctx, out + kIVSize, &len, in, static_cast<int>(size)) == 1 && ok;
    }
    ok = EVP_EncryptFinal_ex(ctx, out + kIVSize + size, &len) == 1 && ok;
    ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, kTagSize, out + kIVSize + size) == 1 && ok;
    return ok;
  }

  // Writes the plaintext of a record of record_size >= 28 bytes to out;
  // true only when the tag authenticates it. IV, update, tag, final.
  bool Decrypt(const uint8_t* record, size_t record_size, uint8_t* out) {
    EVP_CIPHER_CTX* ctx = ctx_.get();
    const size_t size = record_size - kRecordOverhead;
    uint8_t tag[kTagSize];
    std::memcpy(tag, record + record_size - kTagSize, kTagSize);
    int len = 0;
    if (EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, record) != 1) return false;
    if (size != 0 &&
        EVP_DecryptUpdate(ctx, out, &len, record + kIVSize, static_cast<int>(size)) != 1) {
      return false;
    }
    if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, kTagSize, tag) != 1) return false;
    return EVP_DecryptFinal_ex(ctx, out + size, &len) > 0;
  }

 private:
  nivora::EvpCipherCtxPtr ctx_;
  bool ok_ = false;
};

// Records each thread of a batch gets at least: about 32 KiB of records,
// never more than 256. Every record costs a fixed IV set-up, and a team
// start costs tens of microseconds (far more on a busy machine), so short
// batches run on fewer threads or on the calling one alone.
size_t MinRecordsPerThread(size_t record_size) {
  constexpr size_t kBytes = size_t{32} << 10;
  constexpr size_t kMaxRecords = 256;
  return std::clamp<size_t>(kBytes / std::max<size_t>(1, record_size), 1, kMaxRecords);
}

size_t MeanSize(const std::vector<std::vector<uint8_t>>& items) {
  size_t total = 0;
  for (const auto& item : items) total += item.size();
  return items.empty() ? 0 : total / items.size();
}

bool RandomBytes(uint8_t* out, size_t size) {
  constexpr size_t kMaxCall = size_t{1} << 30;
  for (size_t done = 0; done < size; done += kMaxCall) {
    if (RAND_bytes(out + done, static_cast<int>(std::min(kMaxCall, size - done))) != 1) {
      return false;
    }
  }
  return true;
}

// Encrypts items [begin, end); item(i) gives {plaintext, size, record out}.
template <typename Item>
uint64_t EncryptChunk(const EVP_CIPHER* cipher, const Key& key, size_t begin, size_t end,
                      Item&& item) {
  const size_t count = end - begin;
  std::vector<uint8_t> ivs(kIVSize * count);
  if (!RandomBytes(ivs.data(), ivs.size())) return count;
  GcmContext ctx(cipher, key, /*encrypt=*/true);
  if (!ctx.ok()) return 1;
  uint64_t failures = 0;
  for (size_t i = begin; i < end; ++i) {
    const auto [in, size, out] = item(i);
    if (!ctx.Encrypt(ivs.data() + kIVSize * (i - begin), in, size, out)) ++failures;
  }
  return failures;
}

void ThrowIfEncryptionFailed(uint64_t failures) {
  if (failures == 0) return;
  nivora::LogAndThrow<std::runtime_error>(
      *encrypted_index::GetLogger(), nivora::ERROR,
      "Encryption failed for " + std::to_string(failures) + " items");
}

void ThrowIfDecryptionFailed(uint64_t failures) {
  if (failures == 0) return;
  throw std::runtime_error("Decryption failed for " + std::to_string(failures) + " items");
}

[[noreturn]] void ThrowTooLarge(size_t size) {
  throw std::invalid_argument("Item of " + std::to_string(size) +
                              " bytes is too large for AES-GCM");
}

void CheckEachAtMost(const std::vector<std::vector<uint8_t>>& items, size_t max) {
  for (const auto& item : items) {
    if (item.size() > max) ThrowTooLarge(item.size());
  }
}

struct ItemIO {
  const uint8_t* in;
  size_t size;
  uint8_t* out;
};

void CheckFixedRecordSize(size_t record_size) {
  if (record_size < kRecordOverhead) {
    throw std::runtime_error("Encrypted payload size too small");
  }
  if (record_size > kMaxRecord) ThrowTooLarge(record_size);
}

// Decrypts fixed-size records [begin, end) to rows of out_stride bytes at
// out; absent records are skipped, failed ones leave a zeroed row.
uint64_t DecryptFixedChunk(const EVP_CIPHER* cipher, const Key& key, const uint8_t* data,
                           size_t record_size, size_t begin, size_t end, uint8_t* out,
                           size_t out_stride) {
  GcmContext ctx(cipher, key, /*encrypt=*/false);
  if (!ctx.ok()) return 1;
  uint64_t failures = 0;
  for (size_t i = begin; i < end; ++i) {
    const uint8_t* record = data + i * record_size;
    if (IsAbsentRecord(record)) continue;
    uint8_t* row = out + i * out_stride;
    if (!ctx.Decrypt(record, record_size, row)) {
      // Never release unauthenticated bytes. A payload of 0 bytes (plain
      // IVF) may have no row storage at all: row is then null.
      const size_t size = record_size - kRecordOverhead;
      if (size != 0) std::memset(row, 0, size);
      ++failures;
    }
  }
  return failures;
}

}  // namespace

bool IsAbsentRecord(const uint8_t* record) {
  uint8_t any = 0;
  for (size_t i = 0; i < 16; ++i) any |= record[i];
  return any == 0;
}

std::vector<std::vector<uint8_t>> EncryptItemsVariable(
    const std::vector<std::vector<uint8_t>>& plaintexts, const Key& key) {
  const size_t n = plaintexts.size();
  if (n == 0) return {};
  CheckEachAtMost(plaintexts, kMaxPlaintext);
  std::vector<std::vector<uint8_t>> records(n);
  const EVP_CIPHER* cipher = EVP_aes_256_gcm();
  const uint64_t failures = nivora::SumOverThreadChunks(n, [&](size_t begin, size_t end) {
    return EncryptChunk(cipher, key, begin, end, [&](size_t i) {
      records[i].resize(plaintexts[i].size() + kRecordOverhead);
      return ItemIO{plaintexts[i].data(), plaintexts[i].size(), records[i].data()};
    });
  }, MinRecordsPerThread(MeanSize(plaintexts) + kRecordOverhead));
  ThrowIfEncryptionFailed(failures);
  return records;
}

nivora::Array2D<unsigned char> EncryptItemsFixed(const uint8_t* data, size_t n_items,
                                                 size_t item_size, const Key& key) {
  if (n_items == 0) return {};
  if (item_size > kMaxPlaintext) ThrowTooLarge(item_size);
  nivora::Array2D<unsigned char> records(n_items, item_size + kRecordOverhead);
  const EVP_CIPHER* cipher = EVP_aes_256_gcm();
  const uint64_t failures = nivora::SumOverThreadChunks(n_items, [&](size_t begin, size_t end) {
    return EncryptChunk(cipher, key, begin, end, [&](size_t i) {
      return ItemIO{data + i * item_size, item_size, records.row(i)};
    });
  }, MinRecordsPerThread(item_size + kRecordOverhead));
  ThrowIfEncryptionFailed(failures);
  return records;
}

std::vector<std::vector<uint8_t>> DecryptItemsVariable(
    const std::vector<std::vector<uint8_t>>& records, const Key& key) {
  const size_t n = records.size();
  if (n == 0) return {};
  CheckEachAtMost(records, kMaxRecord);
  std::vector<std::vector<uint8_t>> plaintexts(n);
  const EVP_CIPHER* cipher = EVP_aes_256_gcm();
  const uint64_t failures = nivora::SumOverThreadChunks(n, [&](size_t begin, size_t end) -> uint64_t {
    GcmContext ctx(cipher, key, /*encrypt=*/false);
    if (!ctx.ok()) return 1;
    uint64_t chunk_failures = 0;
    for (size_t i = begin; i < end; ++i) {
      const std::vector<uint8_t>& record = records[i];
      if (record.empty()) continue;
      if (record.size() < kRecordOverhead) {
        ++chunk_failures;
        continue;
      }
      plaintexts[i].resize(record.size() - kRecordOverhead);
      if (!ctx.Decrypt(record.data(), record.size(), plaintexts[i].data())) ++chunk_failures;
    }
    return chunk_failures;
  }, MinRecordsPerThread(MeanSize(records)));
  ThrowIfDecryptionFailed(failures);
  return plaintexts;
}

nivora::Array2D<unsigned char> DecryptItemsFixed(const uint8_t* data, size_t n_items,
                                                 size_t record_size, const Key& key) {
  if (n_items == 0) return {};
  CheckFixedRecordSize(record_size);
  auto plaintexts = nivora::Array2D<unsigned char>::Wiped(n_items, record_size - kRecordOverhead);
  DecryptItemsFixedInto(data, n_items, record_size, key, plaintexts.data, plaintexts.cols);
  return plaintexts;
}

void DecryptItemsFixedInto(const uint8_t* data, size_t n_items, size_t record_size,
                           const Key& key, uint8_t* out, size_t out_stride) {
  if (n_items == 0) return;
  CheckFixedRecordSize(record_size);
  if (out_stride < record_size - kRecordOverhead) {
    throw std::runtime_error("Output row stride too small for plaintext size");
  }
  const EVP_CIPHER* cipher = EVP_aes_256_gcm();
  const uint64_t failures = nivora::SumOverThreadChunks(n_items, [&](size_t begin, size_t end) {
    return DecryptFixedChunk(cipher, key, data, record_size, begin, end, out, out_stride);
  }, MinRecordsPerThread(record_size));
  ThrowIfDecryptionFailed(failures);
}

}  // namespace nivora_encrypted_index::internal::cryptography
