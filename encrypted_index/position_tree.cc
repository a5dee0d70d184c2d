#include "encrypted_index/position_tree.h"

#include <cstring>
#include <limits>
#include <stdexcept>

#include "core/little_endian.h"
#include "encrypted_index/cryptography/hmac.h"
#include "encrypted_index/cryptography/sha3.h"
#include "core/parallel_for.h"

namespace nivora_encrypted_index::internal::encrypted_index {
namespace {

namespace crypto = cryptography;

// HMAC computations are cheap next to waking threads; spread only long lists.
constexpr size_t kCentroidsPerThread = 64;

// depth + 1 nodes; a depth whose node count wraps to 0 would leave no room
// even for the seed.
size_t NodeCount(size_t depth) {
  if (depth == std::numeric_limits<size_t>::max()) {
    throw std::length_error("Position tree depth too large");
  }
  return depth + 1;
}

inline uint32_t PathBit(uint32_t position, size_t depth, size_t j) {
  return (position >> ((depth - 1 - j) % 32)) & 1u;
}

// SHA3-256 of node with bit XORed into its byte 0.
inline Node ChildNode(const Node& node, uint32_t bit) {
  Node input = node;
  input[0] ^= static_cast<uint8_t>(bit);
  Node child = crypto::cpu::SHA3Direct256(input);
  crypto::Cleanse(input);
  return child;
}

// D64 of the half `half` (0 first, 1 second) of a followed by the same half of b.
inline uint64_t HalvesDigest(const std::array<uint8_t, 32>& a, const std::array<uint8_t, 32>& b,
                             size_t half) {
  std::array<uint8_t, 32> input;
  std::memcpy(input.data(), a.data() + 16 * half, 16);
  std::memcpy(input.data() + 16, b.data() + 16 * half, 16);
  const uint64_t digest = crypto::cpu::SHA3Direct64(input);
  crypto::Cleanse(input);
  return digest;
}

std::vector<SaltsAndSeeds> SaltsAndSeedsOf(size_t n, const crypto::Key& index_key,
                                           const crypto::Key& name_key,
                                           const uint32_t* centroid_ids) {
  std::vector<SaltsAndSeeds> out(n);
  try {
    nivora::SumOverThreadChunks(
        n,
        [&](size_t begin, size_t end) -> uint64_t {
          for (size_t i = begin; i < end; ++i) {
            const uint32_t c =
                centroid_ids != nullptr ? centroid_ids[i] : static_cast<uint32_t>(i);
            CentroidHMAC(name_key, c, out[i].salt);
            CentroidHMAC(index_key, c, out[i].seed);
          }
          return 0;
        },
        kCentroidsPerThread);
  } catch (...) {
    crypto::Cleanse(out);  // the salts and seeds derived before the failure
    throw;
  }
  return out;
}

}  // namespace

void CentroidHMAC(const crypto::Key& key, uint32_t centroid, Node& out) {
  uint8_t le32[4];
  nivora::StoreLittleEndian(centroid, le32);
  crypto::ComputeHMAC256Into(key, le32, sizeof(le32), out);
}

std::vector<SaltsAndSeeds> ComputeSaltsAndSeeds(const std::vector<uint32_t>& centroid_ids,
                                                const crypto::Key& index_key,
                                                const crypto::Key& name_key) {
  return SaltsAndSeedsOf(centroid_ids.size(), index_key, name_key, centroid_ids.data());
}

std::vector<SaltsAndSeeds> ComputeAllSaltsAndSeeds(size_t n, const crypto::Key& index_key,
                                                   const crypto::Key& name_key) {
  return SaltsAndSeedsOf(n, index_key, name_key, nullptr);
}

void RecomputePathStates(const Node& seed, uint32_t position, size_t depth,
                         std::vector<Node>& states) {
  states.resize(NodeCount(depth));
  states[0] = seed;
  for (size_t j = 0; j < depth; ++j) states[j + 1] = ChildNode(states[j], PathBit(position, depth, j));
}

PositionPath::PositionPath(size_t depth) : depth_(depth), states_(NodeCount(depth)) {}

PositionPath::~PositionPath() { crypto::Cleanse(states_); }

void PositionPath::Reset(const Node& seed, uint32_t position) {
  states_[0] = seed;
  position_ = position;
  DeriveFrom(0);
}

void PositionPath::MoveTo(uint32_t position) {
  size_t first = 0;
  while (first < depth_ && PathBit(position, depth_, first) == PathBit(position_, depth_, first)) {
    ++first;
  }
  position_ = position;
  DeriveFrom(first);
}

void PositionPath::DeriveFrom(size_t first) {
  for (size_t j = first; j < depth_; ++j) {
    states_[j + 1] = ChildNode(states_[j], PathBit(position_, depth_, j));
  }
}

Token DeriveToken(const std::array<uint8_t, 32>& salt, const Node& leaf) {
  return Token{HalvesDigest(salt, leaf, 0), HalvesDigest(salt, leaf, 1)};
}

namespace cpu {

Node GenerateNodeSHA3(uint32_t position, const Node& seed, size_t depth) {
  PositionPath path(depth);
  path.Reset(seed, position);
  return path.leaf();
}

uint64_t GenerateKeyHash(const std::array<uint8_t, 32>& a, const std::array<uint8_t, 32>& b) {
  return HalvesDigest(a, b, 0);
}

std::pair<uint64_t, uint64_t> GenerateKeyValueHash(const std::array<uint8_t, 32>& salt,
                                                   const Node& leaf) {
  const Token token = DeriveToken(salt, leaf);
  return {token.key, token.pad};
}

void PerformHashing(const std::array<uint8_t, 32>& salt, const Node& leaf,
                    std::vector<uint64_t>& keys, std::vector<uint64_t>& pads, size_t index) {
  const Token token = DeriveToken(salt, leaf);
  keys[index] = token.key;
  pads[index] = token.pad;
}

void PerformHashingXOR(const std::array<uint8_t, 32>& salt, const Node& leaf,
                       std::vector<uint64_t>& keys, std::vector<uint64_t>& values, size_t index,
                       uint64_t id_hash) {
  const Token token = DeriveToken(salt, leaf);
  keys[index] = token.key;
  values[index] = id_hash ^ token.pad;
}

}  // namespace cpu
}  // namespace nivora_encrypted_index::internal::encrypted_index
