// The constants of Keccak-f[1600] (FIPS 202) and the last-block rule of
// SHA3-256, shared by the one-way and the four-way code so that both run
// the very same rounds and padding.
#ifndef NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_KECCAK_CONSTANTS_H_
#define NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_KECCAK_CONSTANTS_H_

#include <cstddef>
#include <cstdint>

#include "core/little_endian.h"

namespace nivora_encrypted_index::internal::cryptography::cpu::keccak {

inline constexpr uint64_t kRoundConstants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808AULL,
    0x8000000080008000ULL, 0x000000000000808BULL, 0x0000000080000001ULL,
    0x8000000080008081ULL, 0x8000000000008009ULL, 0x000000000000008AULL,
    0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000AULL,
    0x000000008000808BULL, 0x800000000000008BULL, 0x8000000000008089ULL,
    0x8000000000008003ULL, 0x8000000000008002ULL, 0x8000000000000080ULL,
    0x000000000000800AULL, 0x800000008000000AULL, 0x8000000080008081ULL,
    0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

// Rotation of lane x + 5y in the rho step.
inline constexpr int kRho[25] = {
    0,  1,  62, 28, 27,  //
    36, 44, 6,  55, 20,  //
    3,  10, 43, 25, 39,  //
    41, 45, 15, 21, 8,   //
    18, 2,  61, 56, 14,
};

// XORs the last block of a message into a state: its remaining rest bytes
// (0..135) at data, the padding 0x06 right after them and 0x80 in byte 135.
// lane(k) gives lane k of the state by reference. No copy of the bytes is
// made, so there is no buffer to wipe.
template <typename Lane>
inline void XorLastBlock(const uint8_t* data, size_t rest, Lane&& lane) {
  const size_t words = rest / 8;
  for (size_t k = 0; k < words; ++k) lane(k) ^= nivora::LoadLittleEndian<uint64_t>(data + 8 * k);
  uint64_t tail = 0;
  for (size_t i = 0; i < rest % 8; ++i) tail |= static_cast<uint64_t>(data[8 * words + i]) << (8 * i);
  lane(words) ^= tail ^ (uint64_t{0x06} << (8 * (rest % 8)));
  lane(16) ^= uint64_t{0x80} << 56;
}

}  // namespace nivora_encrypted_index::internal::cryptography::cpu::keccak

#endif  // NIVORA_ENCRYPTED_INDEX_CRYPTOGRAPHY_KECCAK_CONSTANTS_H_
