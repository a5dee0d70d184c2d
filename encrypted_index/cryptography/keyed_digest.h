// Keyed 64-bit digests: the item id hashes and the 64-bit keys of stored
// records. D64(x) is the first 8 bytes of SHA3-256(x) read big-endian.
// Stateless and safe to call concurrently; large lists are spread over the
// OpenMP threads and hashed four at a time (sha3_x4.h). Scratch buffers
// holding key || message are wiped.
#ifndef NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_KEYED_DIGEST_H_
#define NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_KEYED_DIGEST_H_

#include <cstdint>
#include <string>
#include <vector>

#include "encrypted_index/cryptography/secret.h"

namespace nivora_encrypted_index::internal::cryptography {

// Per id, in order: D64(key || id bytes), no terminator, no length prefix.
std::vector<uint64_t> ComputeSHA3256String(const std::vector<std::string>& ids, const Key& key);

// Per k, in order: D64(key || k as 8 little-endian bytes). The result is
// read big-endian from the digest while k enters little-endian.
std::vector<uint64_t> DeriveKeystoreKeys(const std::vector<uint64_t>& keys, const Key& key);
uint64_t DeriveKeystoreKey(uint64_t k, const Key& key);

}  // namespace nivora_encrypted_index::internal::cryptography

#endif  // NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_KEYED_DIGEST_H_
