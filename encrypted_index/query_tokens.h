// Query-side token derivation: the token key and pad of every stored
// position of a list of centroids, derived along shared path prefixes
// (about two node hashes per position) and kept per centroid in the engine
// client's encrypted token cache, so that later queries copy them, or extend
// them when the list has grown, instead of deriving them again.
//
// Tokens are identical with and without the cache, for any number of
// threads and any order of hits, misses and extensions, and equal to those
// that ingest writes (ingest_tokens.h).
//
// Thread safety: GenerateQueryTokens runs one OpenMP loop (dynamic, one
// centroid per chunk); the cache may be shared by concurrent calls.
#ifndef NIVORA_ENCRYPTED_INDEX_QUERY_TOKENS_H_
#define NIVORA_ENCRYPTED_INDEX_QUERY_TOKENS_H_

#include <cstdint>
#include <span>
#include <vector>

#include "encrypted_index/cryptography/secret.h"
#include "encrypted_index/position_tree.h"
#include "encrypted_index/token_cache.h"

namespace nivora_encrypted_index::internal::encrypted_index {

// The tokens of all positions of k requested centroids: for the i-th
// centroid, position p is at offsets[i] + p. The pads unmask stored id
// hashes and are wiped when released.
struct QueryTokens {
  std::vector<uint64_t> keys;                       // token keys (INDEX store keys)
  cryptography::SecretVector<uint64_t> value_hashes;  // pads, same indexing
  std::vector<uint64_t> offsets;  // k + 1 prefix sums of the counters; empty when k = 0
};

namespace cpu {

// Derives the tokens of positions 0 .. counter_map[c] - 1 of every c in
// centroid_ids, in trees of depth `rounds`; cache may be null. Checks, in
// order, before any work:
// - fewer salts and seeds than centroids: std::invalid_argument "Number of
//   centroid not matching the number of seeds." (logged at ERROR with the
//   two counts);
// - rounds 0: std::invalid_argument "The number of round should be at lest
//   1." (logged as "... at least 1.");
// - no centroids: WARNING "Empty input", empty result;
// - a centroid id past salts_and_seeds or counter_map: std::out_of_range.
QueryTokens GenerateQueryTokens(const std::vector<uint32_t>& centroid_ids,
                                std::span<const SaltsAndSeeds> salts_and_seeds,
                                const std::vector<uint32_t>& counter_map, uint32_t rounds,
                                EncryptedTokenCache* cache);

}  // namespace cpu

namespace gpu {

// Always throws std::runtime_error: the library is built without CUDA.
QueryTokens GenerateQueryTokens(const std::vector<uint32_t>& centroid_ids,
                                std::span<const SaltsAndSeeds> salts_and_seeds,
                                const std::vector<uint32_t>& counter_map, uint32_t rounds);

}  // namespace gpu
}  // namespace nivora_encrypted_index::internal::encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_QUERY_TOKENS_H_
