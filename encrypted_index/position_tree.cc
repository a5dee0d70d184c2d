#include "encrypted_index/position_tree.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "core/little_endian.h"
#include "core/parallel_for.h"
#include "encrypted_index/cryptography/hmac.h"
#include "encrypted_index/cryptography/sha3.h"
#include "encrypted_index/cryptography/sha3_x4.h"

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

// The first level at which the paths of positions a and b part: states 0
// up to it are the same for both. depth when they share the leaf.
inline size_t FirstDifference(uint32_t a, uint32_t b, size_t depth) {
  size_t first = 0;
  while (first < depth && PathBit(a, depth, first) == PathBit(b, depth, first)) ++first;
  return first;
}

// The input of the hash that derives the child of node: node with bit
// XORed into its byte 0.
inline void ChildInput(const Node& node, uint32_t bit, Node& input) {
  input = node;
  input[0] ^= static_cast<uint8_t>(bit);
}

inline Node ChildNode(const Node& node, uint32_t bit) {
  Node input;
  ChildInput(node, bit, input);
  Node child = crypto::cpu::SHA3Direct256(input);
  crypto::Cleanse(input);
  return child;
}

// The half `half` (0 first, 1 second) of a followed by the same half of b:
// the input of the token key (half 0) or pad (half 1).
inline void HalvesInput(const std::array<uint8_t, 32>& a, const std::array<uint8_t, 32>& b,
                        size_t half, std::array<uint8_t, 32>& input) {
  std::memcpy(input.data(), a.data() + 16 * half, 16);
  std::memcpy(input.data() + 16, b.data() + 16 * half, 16);
}

inline uint64_t HalvesDigest(const std::array<uint8_t, 32>& a, const std::array<uint8_t, 32>& b,
                             size_t half) {
  std::array<uint8_t, 32> input;
  HalvesInput(a, b, half, input);
  const uint64_t digest = crypto::cpu::SHA3Direct64(input);
  crypto::Cleanse(input);
  return digest;
}

inline uint64_t BigEndian64(const uint8_t* bytes) {
  return __builtin_bswap64(nivora::LoadLittleEndian<uint64_t>(bytes));
}

SaltsAndSeedsList SaltsAndSeedsOf(size_t n, const crypto::Key& index_key,
                                  const crypto::Key& name_key, const uint32_t* centroid_ids) {
  // Should an HMAC fail, the entries derived before it are wiped with out.
  SaltsAndSeedsList out(n);
  nivora::SumOverThreadChunks(
      n,
      [&](size_t begin, size_t end) -> uint64_t {
        crypto::HMAC256Context salts(name_key);
        crypto::HMAC256Context seeds(index_key);
        uint8_t le32[4];
        for (size_t i = begin; i < end; ++i) {
          const uint32_t c = centroid_ids != nullptr ? centroid_ids[i] : static_cast<uint32_t>(i);
          nivora::StoreLittleEndian(c, le32);
          salts.Compute(le32, sizeof(le32), out[i].salt);
          seeds.Compute(le32, sizeof(le32), out[i].seed);
        }
        return 0;
      },
      kCentroidsPerThread);
  return out;
}

// One of the four walks of DeriveTokens: its requests, its path, and the
// hash it takes next: node level + 1 while level < depth, then the token
// key (level == depth) and the pad (level == depth + 1).
struct Walk {
  const TokenRequest* request = nullptr;  // the current one
  const TokenRequest* end = nullptr;
  Token* token = nullptr;  // the current request's
  PathStates states;
  size_t level = 0;

  bool active() const { return request != end; }

  void Start(const TokenRequest* first, const TokenRequest* last, Token* out, size_t depth) {
    request = first;
    end = last;
    token = out;
    states.resize(NodeCount(depth));
    if (active()) StartTree();
  }

  void StartTree() {
    states[0] = request->centroid->seed;
    level = 0;
  }

  // The input of the next hash, and where its digest goes.
  Node* NextHash(size_t depth, Node& input, Node& digest) {
    if (level < depth) {
      ChildInput(states[level], PathBit(request->position, depth, level), input);
      return &states[level + 1];
    }
    HalvesInput(request->centroid->salt, states[depth], level - depth, input);
    return &digest;
  }

  // Takes the digest of the hash NextHash asked for.
  void Advance(size_t depth, const Node& digest) {
    if (level < depth) {
      ++level;
      return;
    }
    if (level == depth) {
      token->key = BigEndian64(digest.data());
      ++level;
      return;
    }
    token->pad = BigEndian64(digest.data());
    const TokenRequest* previous = request++;
    ++token;
    if (!active()) return;
    if (request->centroid == previous->centroid) {
      level = FirstDifference(previous->position, request->position, depth);
    } else {
      StartTree();
    }
  }
};

}  // namespace

void CentroidHMAC(const crypto::Key& key, uint32_t centroid, Node& out) {
  uint8_t le32[4];
  nivora::StoreLittleEndian(centroid, le32);
  crypto::ComputeHMAC256Into(key, le32, sizeof(le32), out);
}

SaltsAndSeedsList ComputeSaltsAndSeeds(const std::vector<uint32_t>& centroid_ids,
                                       const crypto::Key& index_key,
                                       const crypto::Key& name_key) {
  return SaltsAndSeedsOf(centroid_ids.size(), index_key, name_key, centroid_ids.data());
}

SaltsAndSeedsList ComputeAllSaltsAndSeeds(size_t n, const crypto::Key& index_key,
                                          const crypto::Key& name_key) {
  return SaltsAndSeedsOf(n, index_key, name_key, nullptr);
}

void RecomputePathStates(const Node& seed, uint32_t position, size_t depth, PathStates& states) {
  states.resize(NodeCount(depth));
  states[0] = seed;
  for (size_t j = 0; j < depth; ++j) states[j + 1] = ChildNode(states[j], PathBit(position, depth, j));
}

PositionPath::PositionPath(size_t depth) : depth_(depth), states_(NodeCount(depth)) {}

void PositionPath::Reset(const Node& seed, uint32_t position) {
  states_[0] = seed;
  position_ = position;
  DeriveFrom(0);
}

void PositionPath::MoveTo(uint32_t position) {
  const size_t first = FirstDifference(position, position_, depth_);
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

void DeriveTokens(std::span<const TokenRequest> requests, size_t depth, Token* tokens) {
  namespace cpu = crypto::cpu;
  const size_t n = requests.size();
  Walk walks[cpu::kWays];
  for (size_t j = 0; j < cpu::kWays; ++j) {
    const size_t begin = n * j / cpu::kWays, end = n * (j + 1) / cpu::kWays;
    walks[j].Start(requests.data() + begin, requests.data() + end, tokens + begin, depth);
  }
  // Every step hashes one input per walk; a finished walk hashes a dummy.
  Node inputs[cpu::kWays] = {};
  Node digests[cpu::kWays];
  const Node* in[cpu::kWays];
  Node* out[cpu::kWays];
  for (size_t j = 0; j < cpu::kWays; ++j) in[j] = &inputs[j];
  for (;;) {
    bool any = false;
    for (size_t j = 0; j < cpu::kWays; ++j) {
      out[j] = walks[j].active() ? walks[j].NextHash(depth, inputs[j], digests[j]) : &digests[j];
      any = any || walks[j].active();
    }
    if (!any) break;
    cpu::SHA3Direct256x4(in, out);
    for (size_t j = 0; j < cpu::kWays; ++j) {
      if (walks[j].active()) walks[j].Advance(depth, digests[j]);
    }
  }
  OPENSSL_cleanse(inputs, sizeof(inputs));
  OPENSSL_cleanse(digests, sizeof(digests));
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
