// Helpers of the token scheme kept in the engine's exported interface:
// hashing of metadata field names, bit strings of positions, and the
// subtree cover ("trapdoors") of a position range. GenerateNodeRevert and
// everything built on it use HMAC-SHA-256 chains, not the live position
// tree of position_tree.h; tokens of stored items never come from them.
// Nodes and trapdoors are secrets: they are held in wiped storage. All
// functions are pure and safe to call concurrently.
#ifndef NIVORA_ENCRYPTED_INDEX_TOKEN_HELPERS_H_
#define NIVORA_ENCRYPTED_INDEX_TOKEN_HELPERS_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "encrypted_index/cryptography/secret.h"
#include "encrypted_index/position_tree.h"

namespace nivora_encrypted_index::internal::encrypted_index {

// A subtree of a position tree: its root node and the depth left below it.
struct Trapdoor {
  Node node;
  uint32_t remaining_depth;
};

// D64 of each string's bytes, no key; parallel over the strings, four
// strings per permutation.
std::vector<uint64_t> HashMetadataFields(const std::vector<std::string>& strings);

// `length` bytes; byte i is bit (length - 1 - i) of value (0 for bits past 31).
std::vector<uint8_t> ConvertToBinaryRevert(uint32_t value, uint32_t length);

// Scanning bit depth - 1 down to bit 0: the 1-based count of bits up to and
// including the first bit where a and b differ; depth when they agree on
// all of them.
uint32_t ClosestCommonNode(uint32_t a, uint32_t b, uint32_t depth);

// node = seed; for i = 0 .. length - 1 with bit = bit (length - 1 - i) of
// position: node = HMAC-SHA-256(key = node, message = node with bit XORed
// into byte 0).
Node GenerateNodeRevert(uint32_t position, const Node& seed, uint32_t length);

// n = ClosestCommonNode(a, b, depth): {GenerateNodeRevert(a, seed, n), depth - n}.
Trapdoor LargestCommonTrapdoor(const Node& seed, uint32_t a, uint32_t b, uint32_t depth);

// The subtrees that together cover positions 0 .. last of a centroid, with
// seed = HMAC-SHA3-256(key, LE32(centroid)). depth must be 1 .. 32
// (std::invalid_argument otherwise).
cryptography::SecretVector<Trapdoor> GenerateTrapdoors(uint32_t centroid,
                                                       const cryptography::Key& key,
                                                       uint32_t last, uint32_t depth);

}  // namespace nivora_encrypted_index::internal::encrypted_index

#endif  // NIVORA_ENCRYPTED_INDEX_TOKEN_HELPERS_H_
