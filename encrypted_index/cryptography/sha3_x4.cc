#include "encrypted_index/cryptography/sha3_x4.h"

#include <openssl/crypto.h>

#include <cstring>

#include "core/little_endian.h"
#include "encrypted_index/cryptography/keccak_constants.h"
#include "encrypted_index/cryptography/sha3.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define NIVORA_SHA3_X86 1
#endif

namespace nivora_encrypted_index::internal::cryptography::cpu {
namespace {

constexpr size_t kRate = kSHA3256Rate;

// The state of a 32-byte input: the input in lanes 0..3, the padding bytes
// 0x06 at byte 32 and 0x80 at byte 135, the rest zero.
void LoadThirtyTwo(const std::array<uint8_t, 32>* const in[kWays], States4& s) {
  std::memset(&s, 0, sizeof(s));
  for (size_t j = 0; j < kWays; ++j) {
    for (int k = 0; k < 4; ++k) s.lanes[k][j] = nivora::LoadLittleEndian<uint64_t>(in[j]->data() + 8 * k);
    s.lanes[4][j] = 0x06;
    s.lanes[16][j] = 0x80ULL << 56;
  }
}

void XorBlock(States4& s, size_t j, const uint8_t* block) {
  for (size_t k = 0; k < kRate / 8; ++k) s.lanes[k][j] ^= nivora::LoadLittleEndian<uint64_t>(block + 8 * k);
}

#ifdef NIVORA_SHA3_X86

#define NIVORA_AVX2 __attribute__((target("avx2")))

NIVORA_AVX2 inline __m256i Rotl(__m256i x, int n) {
  if (n == 0) return x;
  return _mm256_or_si256(_mm256_slli_epi64(x, n), _mm256_srli_epi64(x, 64 - n));
}

NIVORA_AVX2 inline __m256i Xor(__m256i a, __m256i b) { return _mm256_xor_si256(a, b); }

// Output row Y of chi after theta, rho and pi, as in the one-way kernel.
template <int Y>
NIVORA_AVX2 inline void ThetaRhoPiChiRow(const __m256i* a, const __m256i* d, __m256i* e) {
  __m256i b[5];
#pragma GCC unroll 5
  for (int X = 0; X < 5; ++X) {
    const int x = (X + 3 * Y) % 5;
    b[X] = Rotl(Xor(a[x + 5 * X], d[x]), keccak::kRho[x + 5 * X]);
  }
#pragma GCC unroll 5
  for (int X = 0; X < 5; ++X) {
    e[X + 5 * Y] = Xor(b[X], _mm256_andnot_si256(b[(X + 1) % 5], b[(X + 2) % 5]));
  }
}

NIVORA_AVX2 inline void Round(const __m256i* a, __m256i* e, uint64_t round_constant) {
  __m256i c[5];
  __m256i d[5];
#pragma GCC unroll 5
  for (int x = 0; x < 5; ++x) {
    c[x] = Xor(Xor(Xor(a[x], a[x + 5]), Xor(a[x + 10], a[x + 15])), a[x + 20]);
  }
#pragma GCC unroll 5
  for (int x = 0; x < 5; ++x) d[x] = Xor(c[(x + 4) % 5], Rotl(c[(x + 1) % 5], 1));
  ThetaRhoPiChiRow<0>(a, d, e);
  ThetaRhoPiChiRow<1>(a, d, e);
  ThetaRhoPiChiRow<2>(a, d, e);
  ThetaRhoPiChiRow<3>(a, d, e);
  ThetaRhoPiChiRow<4>(a, d, e);
  e[0] = Xor(e[0], _mm256_set1_epi64x(static_cast<long long>(round_constant)));
}

#ifndef __SANITIZE_THREAD__
// Picked when the program is loaded: the AVX2 kernel where the processor
// has it, the one-way permutation four times elsewhere.
__attribute__((target("default"))) void Permute4(States4& s) { KeccakF4Portable(s); }
NIVORA_AVX2 void Permute4(States4& s) { KeccakF4Avx2(s); }
#else
// ThreadSanitizer instruments the loader-time resolver, which then runs
// before its runtime is up: pick on first use instead.
void Permute4(States4& s) {
  static const bool avx2 = HasAvx2();
  avx2 ? KeccakF4Avx2(s) : KeccakF4Portable(s);
}
#endif

#else

void Permute4(States4& s) { KeccakF4Portable(s); }

#endif  // NIVORA_SHA3_X86

}  // namespace

void KeccakF4Portable(States4& s) {
  Lanes lanes;
  for (size_t j = 0; j < kWays; ++j) {
    for (size_t k = 0; k < 25; ++k) lanes[k] = s.lanes[k][j];
    KeccakF(lanes);
    for (size_t k = 0; k < 25; ++k) s.lanes[k][j] = lanes[k];
  }
  OPENSSL_cleanse(lanes.data(), sizeof(lanes));
}

#ifdef NIVORA_SHA3_X86

NIVORA_AVX2 void KeccakF4Avx2(States4& s) {
  __m256i a[25];
  __m256i e[25];
  for (int k = 0; k < 25; ++k) a[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(s.lanes[k]));
  for (int r = 0; r < 24; r += 2) {
    Round(a, e, keccak::kRoundConstants[r]);
    Round(e, a, keccak::kRoundConstants[r + 1]);
  }
  for (int k = 0; k < 25; ++k) _mm256_store_si256(reinterpret_cast<__m256i*>(s.lanes[k]), a[k]);
  // a and e hold the states one and two rounds back (spilled to the stack).
  OPENSSL_cleanse(a, sizeof(a));
  OPENSSL_cleanse(e, sizeof(e));
}

bool HasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

#else

void KeccakF4Avx2(States4& s) { KeccakF4Portable(s); }
bool HasAvx2() { return false; }

#endif  // NIVORA_SHA3_X86

void KeccakF4(States4& states) { Permute4(states); }

void SHA3Direct256x4(const std::array<uint8_t, 32>* const in[kWays],
                     std::array<uint8_t, 32>* const out[kWays]) {
  States4 s;
  LoadThirtyTwo(in, s);
  Permute4(s);
  for (size_t j = 0; j < kWays; ++j) {
    for (int k = 0; k < 4; ++k) nivora::StoreLittleEndian(s.lanes[k][j], out[j]->data() + 8 * k);
  }
  OPENSSL_cleanse(&s, sizeof(s));
}

void SHA3Direct64x4(const std::array<uint8_t, 32>* const in[kWays], uint64_t out[kWays]) {
  States4 s;
  LoadThirtyTwo(in, s);
  Permute4(s);
  // Lane 0 holds digest bytes 0..7 least significant first.
  for (size_t j = 0; j < kWays; ++j) out[j] = __builtin_bswap64(s.lanes[0][j]);
  OPENSSL_cleanse(&s, sizeof(s));
}

void SHA3Variable64x4(const uint8_t* const data[kWays], const size_t size[kWays],
                      uint64_t out[kWays]) {
  // Way j absorbs full[j] whole blocks, then its last block: the remaining
  // 0..135 bytes with the padding. The permutations continue until the
  // longest input is done; a finished way just takes no more input.
  size_t full[kWays];
  size_t blocks = 0;
  for (size_t j = 0; j < kWays; ++j) {
    full[j] = size[j] / kRate;
    blocks = std::max(blocks, full[j] + 1);
  }
  States4 s;
  std::memset(&s, 0, sizeof(s));
  uint64_t digests[kWays] = {};
  for (size_t t = 0; t < blocks; ++t) {
    for (size_t j = 0; j < kWays; ++j) {
      if (t < full[j]) {
        XorBlock(s, j, data[j] + kRate * t);
      } else if (t == full[j]) {
        keccak::XorLastBlock(data[j] + kRate * t, size[j] % kRate,
                             [&s, j](size_t k) -> uint64_t& { return s.lanes[k][j]; });
      }
    }
    Permute4(s);
    for (size_t j = 0; j < kWays; ++j) {
      if (t == full[j]) digests[j] = __builtin_bswap64(s.lanes[0][j]);
    }
  }
  std::copy(digests, digests + kWays, out);
  OPENSSL_cleanse(&s, sizeof(s));
}

}  // namespace nivora_encrypted_index::internal::cryptography::cpu
