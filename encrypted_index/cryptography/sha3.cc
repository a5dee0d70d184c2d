#include "encrypted_index/cryptography/sha3.h"

#include <openssl/crypto.h>

#include <bit>

#include "core/little_endian.h"
#include "encrypted_index/cryptography/keccak_constants.h"

namespace nivora_encrypted_index::internal::cryptography::cpu {
namespace {

using keccak::kRho;
using keccak::kRoundConstants;

inline uint8_t StateByte(const Lanes& lanes, size_t k) {
  return static_cast<uint8_t>(lanes[k / 8] >> (8 * (k % 8)));
}

// Output row Y of chi after theta, rho and pi. After pi, lane (X, Y) holds
// the rotated input lane (x, X) with x = (X + 3Y) mod 5.
template <int Y>
inline void ThetaRhoPiChiRow(const uint64_t* a, const uint64_t* d, uint64_t* e) {
  uint64_t b[5];
#pragma GCC unroll 5
  for (int X = 0; X < 5; ++X) {
    const int x = (X + 3 * Y) % 5;
    b[X] = std::rotl(a[x + 5 * X] ^ d[x], kRho[x + 5 * X]);
  }
#pragma GCC unroll 5
  for (int X = 0; X < 5; ++X) e[X + 5 * Y] = b[X] ^ (~b[(X + 1) % 5] & b[(X + 2) % 5]);
}

// One round from a into e.
inline void Round(const uint64_t* a, uint64_t* e, uint64_t round_constant) {
  uint64_t c[5];
  uint64_t d[5];
#pragma GCC unroll 5
  for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
#pragma GCC unroll 5
  for (int x = 0; x < 5; ++x) d[x] = c[(x + 4) % 5] ^ std::rotl(c[(x + 1) % 5], 1);
  ThetaRhoPiChiRow<0>(a, d, e);
  ThetaRhoPiChiRow<1>(a, d, e);
  ThetaRhoPiChiRow<2>(a, d, e);
  ThetaRhoPiChiRow<3>(a, d, e);
  ThetaRhoPiChiRow<4>(a, d, e);
  e[0] ^= round_constant;
}

// XORs one full rate block (136 bytes, 17 lanes) into the state.
inline void XorBlock(uint64_t* lanes, const uint8_t* p) {
#pragma GCC unroll 17
  for (int k = 0; k < 17; ++k) lanes[k] ^= nivora::LoadLittleEndian<uint64_t>(p + 8 * k);
}

}  // namespace

void KeccakF(Lanes& lanes) {
  uint64_t* a = lanes.data();
  uint64_t e[25];
  for (int r = 0; r < 24; r += 2) {
    Round(a, e, kRoundConstants[r]);
    Round(e, a, kRoundConstants[r + 1]);
  }
  // e holds the state one round back, from which the input can be recovered.
  OPENSSL_cleanse(e, sizeof(e));
}

void Permute(Lanes& lanes, Block& block, size_t& position) {
  for (size_t k = 0; k < 25; ++k) lanes[k] ^= nivora::LoadLittleEndian<uint64_t>(block.data() + 8 * k);
  KeccakF(lanes);
  OPENSSL_cleanse(block.data(), block.size());
  position = 0;
}

namespace {

void AbsorbBytes(Lanes& lanes, size_t rate, Block& block, size_t& position, const uint8_t* data,
                 size_t size) {
  for (size_t i = 0; i < size; ++i) {
    block[position++] ^= data[i];
    if (position == rate) Permute(lanes, block, position);
  }
}

}  // namespace

void AbsorbVariable(Lanes& lanes, size_t rate, Block& block, size_t& position,
                    const std::vector<uint8_t>& input) {
  AbsorbBytes(lanes, rate, block, position, input.data(), input.size());
}

void Absorb(Lanes& lanes, size_t rate, Block& block, size_t& position,
            const std::array<uint8_t, 32>& input) {
  AbsorbBytes(lanes, rate, block, position, input.data(), input.size());
}

void Pad(Lanes& lanes, size_t rate, Block& block, size_t& position) {
  block[position] ^= 0x06;
  block[rate - 1] ^= 0x80;
  Permute(lanes, block, position);
}

std::array<uint8_t, 32> Squeeze256(Lanes& lanes, size_t rate, Block& block, size_t& position) {
  std::array<uint8_t, 32> out;
  for (uint8_t& byte : out) {
    if (position == rate) Permute(lanes, block, position);
    byte = StateByte(lanes, position++);
  }
  return out;
}

uint64_t Squeeze64(Lanes& lanes, size_t rate, Block& block, size_t& position) {
  uint64_t out = 0;
  for (int j = 0; j < 8; ++j) {
    if (position == rate) Permute(lanes, block, position);
    out |= static_cast<uint64_t>(StateByte(lanes, position++)) << (56 - 8 * j);
  }
  return out;
}

// The entry points below are the building blocks written out for the one
// case each serves: 32 input bytes fit the first block, so absorbing,
// padding and squeezing are fixed lane operations.

namespace {

// Absorbs and pads 32 bytes into a zero state and permutes.
inline void HashThirtyTwo(const std::array<uint8_t, 32>& input, Lanes& lanes) {
  lanes.fill(0);
  for (int k = 0; k < 4; ++k) lanes[k] = nivora::LoadLittleEndian<uint64_t>(input.data() + 8 * k);
  lanes[4] = 0x06;                          // padding byte 32
  lanes[16] = 0x80ULL << 56;                // padding byte 135
  KeccakF(lanes);
}

}  // namespace

std::array<uint8_t, 32> SHA3Direct256(const std::array<uint8_t, 32>& input) {
  Lanes lanes;
  HashThirtyTwo(input, lanes);
  std::array<uint8_t, 32> out;
  for (int k = 0; k < 4; ++k) nivora::StoreLittleEndian(lanes[k], out.data() + 8 * k);
  OPENSSL_cleanse(lanes.data(), sizeof(lanes));
  return out;
}

uint64_t SHA3Direct64(const std::array<uint8_t, 32>& input) {
  Lanes lanes;
  HashThirtyTwo(input, lanes);
  // Lane 0 holds digest bytes 0..7 least significant first, as a number,
  // so swapping its bytes gives the big-endian reading on any host.
  const uint64_t out = __builtin_bswap64(lanes[0]);
  OPENSSL_cleanse(lanes.data(), sizeof(lanes));
  return out;
}

uint64_t SHA3Variable64(const uint8_t* data, size_t size) {
  Lanes lanes{};
  while (size >= kSHA3256Rate) {
    XorBlock(lanes.data(), data);
    KeccakF(lanes);
    data += kSHA3256Rate;
    size -= kSHA3256Rate;
  }
  keccak::XorLastBlock(data, size, [&lanes](size_t k) -> uint64_t& { return lanes[k]; });
  KeccakF(lanes);
  const uint64_t out = __builtin_bswap64(lanes[0]);
  OPENSSL_cleanse(lanes.data(), sizeof(lanes));
  return out;
}

uint64_t SHA3Variable64(const std::vector<uint8_t>& input) {
  return SHA3Variable64(input.data(), input.size());
}

}  // namespace nivora_encrypted_index::internal::cryptography::cpu
