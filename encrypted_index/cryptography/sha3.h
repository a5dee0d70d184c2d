// The engine's own SHA3-256 (FIPS 202: Keccak-f[1600], rate 136 bytes,
// domain padding 0x06 ... 0x80), used on the hot paths of position tokens
// and stored keys.
//
// The entry points (SHA3Direct256, SHA3Direct64, SHA3Variable64) keep their
// whole state on the caller's stack, allocate nothing, branch on no data and
// wipe their sponge state before returning (their inputs are keyed). They are
// safe to call concurrently. The sponge building blocks are exported as
// well; they operate on a state the caller owns and are specified byte by
// byte, so the entry points and the building blocks give the same digests.
//
// The 64-bit digest (D64) is the first 8 digest bytes read big-endian:
// byte 0 is the most significant.
#ifndef NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_SHA3_H_
#define NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_SHA3_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nivora_encrypted_index::internal::cryptography::cpu {

// Keccak state: lane k holds state bytes 8k..8k+7, little-endian.
using Lanes = std::array<uint64_t, 25>;
// Bytes waiting to be absorbed; Permute XORs all 200 into the state.
using Block = std::array<uint8_t, 200>;

inline constexpr size_t kSHA3256Rate = 136;

// Keccak-f[1600], 24 rounds, in place.
void KeccakF(Lanes& lanes);

// XORs the block into the state (byte k into state byte k), runs KeccakF,
// zeroes the block and sets position to 0.
void Permute(Lanes& lanes, Block& block, size_t& position);

// XOR input bytes into the block at position, advancing it; Permute runs
// whenever position reaches rate.
void Absorb(Lanes& lanes, size_t rate, Block& block, size_t& position,
            const std::array<uint8_t, 32>& input);
void AbsorbVariable(Lanes& lanes, size_t rate, Block& block, size_t& position,
                    const std::vector<uint8_t>& input);

// Domain padding: 0x06 at position, 0x80 at rate - 1 (one byte 0x86 when
// they meet), then Permute.
void Pad(Lanes& lanes, size_t rate, Block& block, size_t& position);

// Output byte j is state byte position + j; the position advances (and the
// state is permuted should it reach rate).
std::array<uint8_t, 32> Squeeze256(Lanes& lanes, size_t rate, Block& block, size_t& position);
// 8 bytes assembled most significant first.
uint64_t Squeeze64(Lanes& lanes, size_t rate, Block& block, size_t& position);

// SHA3-256 of 32 bytes.
std::array<uint8_t, 32> SHA3Direct256(const std::array<uint8_t, 32>& input);
// D64 of 32 bytes.
uint64_t SHA3Direct64(const std::array<uint8_t, 32>& input);
// D64 of any number of bytes; reads the caller's buffer in place.
uint64_t SHA3Variable64(const std::vector<uint8_t>& input);
uint64_t SHA3Variable64(const uint8_t* data, size_t size);

}  // namespace nivora_encrypted_index::internal::cryptography::cpu

#endif  // NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_SHA3_H_
