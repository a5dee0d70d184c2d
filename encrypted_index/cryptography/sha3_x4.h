// Four independent SHA3-256 computations at once, for the batch paths that
// hash many short inputs (keyed ids and store keys, position-tree nodes and
// tokens). The digests are exactly those of sha3.h.
//
// The permutation runs four Keccak-f[1600] states side by side: with AVX2
// each 256-bit register holds the same lane of the four states. The AVX2
// kernel is compiled for that target alone (never for the whole build) and
// picked when the program is loaded, on processors that have it; elsewhere
// the one-way permutation of sha3.h runs four times.
//
// Like sha3.h, the functions keep their whole state on the caller's stack,
// allocate nothing, wipe their state before returning and are safe to call
// concurrently. Inputs and outputs may be anywhere; an output may overlap
// an input (all inputs are read before any output is written).
#ifndef NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_SHA3_X4_H_
#define NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_SHA3_X4_H_

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace nivora_encrypted_index::internal::cryptography::cpu {

inline constexpr size_t kWays = 4;

// Four Keccak states: lanes[k][j] is lane k of state j.
struct alignas(32) States4 {
  uint64_t lanes[25][kWays];
};

// Keccak-f[1600], 24 rounds, on each of the four states, by the kernel
// chosen at load time.
void KeccakF4(States4& states);
// The two kernels, for tests and benchmarks. KeccakF4Avx2 may run only
// where HasAvx2() is true.
void KeccakF4Portable(States4& states);
void KeccakF4Avx2(States4& states);
bool HasAvx2();

// SHA3-256 of four 32-byte inputs: *out[j] = SHA3Direct256(*in[j]).
void SHA3Direct256x4(const std::array<uint8_t, 32>* const in[kWays],
                     std::array<uint8_t, 32>* const out[kWays]);
// D64 of four 32-byte inputs: out[j] = SHA3Direct64(*in[j]).
void SHA3Direct64x4(const std::array<uint8_t, 32>* const in[kWays], uint64_t out[kWays]);
// D64 of four inputs of any length: out[j] = SHA3Variable64(data[j], size[j]).
// Reads the inputs in place; inputs of different lengths are fine (the
// shorter ones are done early and wait for the longest).
void SHA3Variable64x4(const uint8_t* const data[kWays], const size_t size[kWays],
                      uint64_t out[kWays]);

// out[i] = D64 of message i for i in [0, n), four at a time.
// message(i, way) returns the bytes of message i as a std::span<const
// uint8_t> that stays valid until the next call with the same way (0..3):
// a caller assembling messages in scratch buffers keeps one per way.
template <typename Message>
void SHA3Variable64Batch(size_t n, Message&& message, uint64_t* out) {
  for (size_t i = 0; i < n; i += kWays) {
    const uint8_t* data[kWays];
    size_t size[kWays];
    uint64_t digests[kWays];
    const size_t count = std::min(kWays, n - i);
    for (size_t j = 0; j < kWays; ++j) {
      // A short last group hashes its first message again in the spare ways.
      const std::span<const uint8_t> bytes = message(j < count ? i + j : i, j);
      data[j] = bytes.data();
      size[j] = bytes.size();
    }
    SHA3Variable64x4(data, size, digests);
    std::copy(digests, digests + count, out + i);
  }
}

}  // namespace nivora_encrypted_index::internal::cryptography::cpu

#endif  // NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_SHA3_X4_H_
