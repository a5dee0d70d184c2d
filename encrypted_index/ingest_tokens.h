// Token generation for ingest: the INDEX store entry of every item from its
// centroid, position and id hash.
#ifndef NIVORA_ENCRYPTED_INDEX_INGEST_TOKENS_H_
#define NIVORA_ENCRYPTED_INDEX_INGEST_TOKENS_H_

#include <cstdint>
#include <span>
#include <vector>

#include "encrypted_index/position_tree.h"

namespace nivora_encrypted_index::internal::encrypted_index {

// Per item i: keys[i] is its token key (its INDEX store key) and values[i]
// its id hash XOR its pad (the 8-byte INDEX value before it is written as
// little-endian).
struct EncryptedTokens {
  std::vector<uint64_t> keys;
  std::vector<uint64_t> values;
};

namespace cpu {

// The tokens of items assigned to centroid_ids[i] at positions[i], with
// id_hashes[i], in trees of depth `rounds`. Checks, in order (each logged
// at ERROR before it is thrown):
// - centroid_ids and id_hashes of different lengths: std::invalid_argument
//   "The number of centroid Ids does not match the number item Ids.";
// - rounds 0: std::invalid_argument "The number of round should be at least 1.";
// - positions of another length than the ids: std::invalid_argument;
// - a centroid id without salts and seeds: std::out_of_range;
// - a depth whose path cannot be held: std::length_error.
// Runs on the OpenMP threads, each deriving its slice with DeriveTokens;
// the result does not depend on their number.
EncryptedTokens IngestCentroids(const std::vector<uint32_t>& centroid_ids,
                                const std::vector<uint64_t>& id_hashes,
                                std::span<const SaltsAndSeeds> salts_and_seeds,
                                uint64_t rounds, const std::vector<uint32_t>& positions);

}  // namespace cpu
}  // namespace nivora_encrypted_index::internal::encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_INGEST_TOKENS_H_
