// The position tree of a centroid's inverted list, and the tokens derived
// from its leaves.
//
// Centroid c owns a binary tree of depth d whose leaf L(p) belongs to
// position p: state 0 is seed(c); state j + 1 is SHA3-256 of state j with bit
// b_j = (p >> ((d - 1 - j) mod 32)) & 1 XORed into its byte 0. The item at
// (c, p) is stored under the token key D64(salt[0..16) || L[0..16)) and its
// id hash is masked with the pad D64(salt[16..32) || L[16..32)). Salts,
// seeds, nodes and pads are secrets: the types here wipe what they hold.
//
// All functions are pure and safe to call concurrently; a PositionPath is a
// per-thread scratch object. Batches of tokens (DeriveTokens) go through the
// four-way SHA3 hasher.
#ifndef NIVORA_ENCRYPTED_INDEX_POSITION_TREE_H_
#define NIVORA_ENCRYPTED_INDEX_POSITION_TREE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "encrypted_index/cryptography/secret.h"

namespace nivora_encrypted_index::internal::encrypted_index {

using Node = std::array<uint8_t, 32>;

// Per centroid c: salt = HMAC-SHA3-256(name key, LE32(c)), seed =
// HMAC-SHA3-256(index key, LE32(c)). 64 bytes, plain data.
struct SaltsAndSeeds {
  std::array<uint8_t, 32> salt;
  std::array<uint8_t, 32> seed;
};

// The salts and seeds of a vocabulary, indexed by centroid id; wiped when
// released.
using SaltsAndSeedsList = cryptography::SecretVector<SaltsAndSeeds>;

// The nodes of one path, state 0 (the seed) to the leaf; wiped when released.
using PathStates = cryptography::SecretVector<std::array<uint8_t, 32>>;

// out = HMAC-SHA3-256(key, LE32(centroid)): a salt under the name key, a
// seed under the index key.
void CentroidHMAC(const cryptography::Key& key, uint32_t centroid, Node& out);

// Salts and seeds of the given centroids, in order. Throws the HMAC failure
// of the cryptography layer.
SaltsAndSeedsList ComputeSaltsAndSeeds(const std::vector<uint32_t>& centroid_ids,
                                       const cryptography::Key& index_key,
                                       const cryptography::Key& name_key);
// The same for centroids 0 .. n - 1.
SaltsAndSeedsList ComputeAllSaltsAndSeeds(size_t n, const cryptography::Key& index_key,
                                          const cryptography::Key& name_key);

// Resizes states to depth + 1 nodes and fills them with the path of
// position under seed (state 0 = seed, state depth = the leaf). A depth
// whose nodes cannot be held throws std::length_error (also PositionPath).
void RecomputePathStates(const Node& seed, uint32_t position, size_t depth,
                         PathStates& states);

// The path of one position, kept so that moving to another position of the
// same tree re-derives only the nodes below the first bit where the two
// positions differ: consecutive positions cost about two hashes each
// instead of depth. Wipes its nodes on destruction.
class PositionPath {
 public:
  // Allocates its depth + 1 nodes once; with depth 0 the leaf is the seed.
  explicit PositionPath(size_t depth);
  PositionPath(const PositionPath&) = delete;
  PositionPath& operator=(const PositionPath&) = delete;

  // The full path of position under a new seed.
  void Reset(const Node& seed, uint32_t position);
  // The path of another position under the current seed.
  void MoveTo(uint32_t position);

  const Node& leaf() const { return states_.back(); }
  const PathStates& states() const { return states_; }
  uint32_t position() const { return position_; }

 private:
  // Re-derives states first + 1 .. depth for position_.
  void DeriveFrom(size_t first);

  size_t depth_;
  PathStates states_;
  uint32_t position_ = 0;
};

// Token key and pad of a leaf under a centroid's salt.
struct Token {
  uint64_t key;
  uint64_t pad;
};
Token DeriveToken(const std::array<uint8_t, 32>& salt, const Node& leaf);

// One token to derive: the leaf of `position` in the tree of the centroid
// whose salt and seed `centroid` points to.
struct TokenRequest {
  const SaltsAndSeeds* centroid;
  uint32_t position;
};

// tokens[k] = DeriveToken(salt, leaf of requests[k]) for every k, in trees
// of the given depth; tokens holds requests.size() entries. Four walks run
// side by side through the four-way hasher, each over a contiguous quarter
// of the requests; a walk re-derives only the nodes below the first bit
// where a request differs from the one before it in the same tree, so
// requests sorted by (centroid, position) with consecutive positions cost
// about two node hashes each, plus two for the token. Runs on the calling
// thread (callers spread slices over threads). A depth whose nodes cannot be
// held throws std::length_error.
void DeriveTokens(std::span<const TokenRequest> requests, size_t depth, Token* tokens);

namespace cpu {

// The leaf L(position) under seed with the given depth.
Node GenerateNodeSHA3(uint32_t position, const Node& seed, size_t depth);
// D64(a[0..16) || b[0..16)): the token key when a is the salt and b the leaf.
uint64_t GenerateKeyHash(const std::array<uint8_t, 32>& a, const std::array<uint8_t, 32>& b);
// (token key, pad) of a leaf under a salt.
std::pair<uint64_t, uint64_t> GenerateKeyValueHash(const std::array<uint8_t, 32>& salt,
                                                   const Node& leaf);
// keys[index] = token key, pads[index] = pad.
void PerformHashing(const std::array<uint8_t, 32>& salt, const Node& leaf,
                    std::vector<uint64_t>& keys, std::vector<uint64_t>& pads, size_t index);
// keys[index] = token key, values[index] = id_hash XOR pad.
void PerformHashingXOR(const std::array<uint8_t, 32>& salt, const Node& leaf,
                       std::vector<uint64_t>& keys, std::vector<uint64_t>& values, size_t index,
                       uint64_t id_hash);

}  // namespace cpu
}  // namespace nivora_encrypted_index::internal::encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_POSITION_TREE_H_
