#include "encrypted_index/token_helpers.h"

#include <span>
#include <stdexcept>

#include "encrypted_index/cryptography/hmac.h"
#include "encrypted_index/cryptography/sha3_x4.h"
#include "core/parallel_for.h"

namespace nivora_encrypted_index::internal::encrypted_index {
namespace {

namespace crypto = cryptography;

constexpr size_t kFieldsPerThread = 256;

inline uint32_t Bit(uint32_t value, uint32_t i) { return i < 32 ? (value >> i) & 1u : 0u; }

}  // namespace

std::vector<uint64_t> HashMetadataFields(const std::vector<std::string>& strings) {
  std::vector<uint64_t> out(strings.size());
  nivora::SumOverThreadChunks(
      strings.size(),
      [&](size_t begin, size_t end) -> uint64_t {
        crypto::cpu::SHA3Variable64Batch(
            end - begin,
            [&](size_t i, size_t) {
              const std::string& s = strings[begin + i];
              return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
            },
            out.data() + begin);
        return 0;
      },
      kFieldsPerThread);
  return out;
}

std::vector<uint8_t> ConvertToBinaryRevert(uint32_t value, uint32_t length) {
  std::vector<uint8_t> bits(length);
  for (uint32_t i = 0; i < length; ++i) bits[i] = static_cast<uint8_t>(Bit(value, length - 1 - i));
  return bits;
}

uint32_t ClosestCommonNode(uint32_t a, uint32_t b, uint32_t depth) {
  for (uint32_t count = 1; count <= depth; ++count) {
    const uint32_t bit = depth - count;
    if (Bit(a, bit) != Bit(b, bit)) return count;
  }
  return depth;
}

Node GenerateNodeRevert(uint32_t position, const Node& seed, uint32_t length) {
  Node node = seed;
  Node message;
  Node next;
  crypto::ScopedCleanse wipe_message(message);
  crypto::ScopedCleanse wipe_next(next);
  for (uint32_t i = 0; i < length; ++i) {
    message = node;
    message[0] ^= static_cast<uint8_t>(Bit(position, length - 1 - i));
    // Keyed by the node itself.
    crypto::ComputeHMACInto(node.data(), node.size(), message.data(), message.size(),
                            crypto::HMACMode::SHA256, next.data(), next.size());
    node = next;
  }
  return node;
}

Trapdoor LargestCommonTrapdoor(const Node& seed, uint32_t a, uint32_t b, uint32_t depth) {
  const uint32_t n = ClosestCommonNode(a, b, depth);
  return Trapdoor{GenerateNodeRevert(a, seed, n), depth - n};
}

crypto::SecretVector<Trapdoor> GenerateTrapdoors(uint32_t centroid, const crypto::Key& key,
                                                 uint32_t last, uint32_t depth) {
  if (depth == 0 || depth > 32) {
    throw std::invalid_argument("Trapdoor depth must be between 1 and 32");
  }
  Node seed;
  crypto::ScopedCleanse wipe_seed(seed);
  CentroidHMAC(key, centroid, seed);
  crypto::SecretVector<Trapdoor> trapdoors;
  // 64-bit so that covering position 2^32 - 1 ends the loop instead of wrapping.
  for (uint64_t s = 0; s <= last;) {
    const uint32_t position = static_cast<uint32_t>(s);
    const uint32_t n = ClosestCommonNode(position, last, depth);
    trapdoors.push_back(Trapdoor{GenerateNodeRevert(position, seed, n), depth - n});
    s += uint64_t{1} << (depth - n);
  }
  return trapdoors;
}

}  // namespace nivora_encrypted_index::internal::encrypted_index
