// Batch authenticated encryption with AES-256-GCM.
//
// Record format (an EncryptedItem): IV (12 random bytes) || ciphertext (as
// long as the plaintext) || tag (16 bytes), no additional authenticated
// data; a record is always exactly kRecordOverhead bytes longer than its
// plaintext. Every value the engine stores passes through this format.
//
// Each call spreads its items over the OpenMP threads in contiguous chunks,
// one chunk per thread; a thread draws the IVs of its whole chunk with one
// call of the random source and sets the key schedule once. Every item is
// processed whatever number of threads the region really gets. Results are
// whole or not at all: a failure of any item throws and returns nothing.
// The functions keep no state and are safe to call concurrently; call them
// from outside parallel regions to use the threads.
#ifndef NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_AES_GCM_H_
#define NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_AES_GCM_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/array2d.h"
#include "encrypted_index/cryptography/secret.h"

namespace nivora_encrypted_index::internal::cryptography {

inline constexpr size_t kIVSize = 12;
inline constexpr size_t kTagSize = 16;
inline constexpr size_t kRecordOverhead = kIVSize + kTagSize;  // 28

// One record per plaintext, same order. Throws std::runtime_error
// "Encryption failed for <n> items" (after logging it at ERROR) when any
// item, the random source or a cipher context fails, and
// std::invalid_argument when a plaintext is too long for the cipher
// interface (2^31 - 29 bytes or more).
std::vector<std::vector<uint8_t>> EncryptItemsVariable(
    const std::vector<std::vector<uint8_t>>& plaintexts, const Key& key);

// n_items rows of item_size bytes at data, to an n_items x (item_size + 28)
// matrix (0 x 0 for no items). Failures as EncryptItemsVariable.
nivora::Array2D<unsigned char> EncryptItemsFixed(const uint8_t* data, size_t n_items,
                                                 size_t item_size, const Key& key);

// One plaintext per record, same order. A record of 0 bytes gives an empty
// plaintext; a record of 1 to 27 bytes, or one that does not authenticate
// under the key, counts as failed. Throws std::runtime_error "Decryption
// failed for <n> items" (not logged).
std::vector<std::vector<uint8_t>> DecryptItemsVariable(
    const std::vector<std::vector<uint8_t>>& records, const Key& key);

// n_items records of record_size bytes at data, to an n_items x
// (record_size - 28) matrix, zero-initialised and wiped when released
// (Array2D::Wiped). A record whose first 16 bytes
// are all zero stands for an absent item: it is skipped and its row stays
// zero. Checks, in order: n_items 0 returns an empty matrix; record_size
// below 28 throws std::runtime_error "Encrypted payload size too small".
// Failures as DecryptItemsVariable.
nivora::Array2D<unsigned char> DecryptItemsFixed(const uint8_t* data, size_t n_items,
                                                 size_t record_size, const Key& key);

// As DecryptItemsFixed, but plaintext i goes to out + i * out_stride; the
// bytes between rows and the rows of skipped records are left untouched.
// The row of a record that fails to authenticate is zeroed (the call then
// throws). out_stride below record_size - 28 throws std::runtime_error
// "Output row stride too small for plaintext size".
void DecryptItemsFixedInto(const uint8_t* data, size_t n_items, size_t record_size,
                           const Key& key, uint8_t* out, size_t out_stride);

// True when the first 16 bytes of a fixed-size record (at least 16 bytes)
// are all zero: the stand-in for an absent item, which the fixed forms skip.
bool IsAbsentRecord(const uint8_t* record);

}  // namespace nivora_encrypted_index::internal::cryptography

#endif  // NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_AES_GCM_H_
