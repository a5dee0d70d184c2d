#include "encrypted_index/cryptography/sha3_x4.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "crypto_reference.h"
#include "encrypted_index/cryptography/sha3.h"

namespace nivora_encrypted_index::internal::cryptography::cpu {
namespace {

using nivora_test::BigEndian64;
using nivora_test::OpenSSLSHA3;

States4 RandomStates(std::mt19937_64& rng) {
  States4 s;
  for (auto& lane : s.lanes) {
    for (uint64_t& word : lane) word = rng();
  }
  return s;
}

// Both kernels are the one-way permutation applied to each state: the
// portable one everywhere, the AVX2 one where the processor can run it
// (the loaded choice is whichever of them the processor allows).
TEST(SHA3x4Test, KernelsPermuteEachStateLikeTheOneWayPermutation) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 20; ++round) {
    const States4 input = RandomStates(rng);
    States4 expected = input;
    for (size_t j = 0; j < kWays; ++j) {
      Lanes lanes;
      for (size_t k = 0; k < 25; ++k) lanes[k] = input.lanes[k][j];
      KeccakF(lanes);
      for (size_t k = 0; k < 25; ++k) expected.lanes[k][j] = lanes[k];
    }
    States4 portable = input;
    KeccakF4Portable(portable);
    EXPECT_EQ(0, std::memcmp(&portable, &expected, sizeof(States4)));
    States4 loaded = input;
    KeccakF4(loaded);
    EXPECT_EQ(0, std::memcmp(&loaded, &expected, sizeof(States4)));
    if (HasAvx2()) {
      States4 avx2 = input;
      KeccakF4Avx2(avx2);
      EXPECT_EQ(0, std::memcmp(&avx2, &expected, sizeof(States4)));
    }
  }
}

// Four inputs of unequal lengths in one call, for every length up to 700
// (block boundaries at 135/136, 271/272, ...), against OpenSSL. The other
// ways carry lengths far from the first, so short and long inputs finish
// in different permutations of the same call.
TEST(SHA3x4Test, VariableDigestsMatchOpenSSLForManyLengths) {
  std::mt19937_64 rng(9);
  for (size_t n = 0; n <= 700; ++n) {
    SCOPED_TRACE(n);
    const size_t sizes[kWays] = {n, (n * 7) % 701, 700 - n, n % 41};
    std::vector<uint8_t> inputs[kWays];
    const uint8_t* data[kWays];
    for (size_t j = 0; j < kWays; ++j) {
      inputs[j] = nivora_test::RandomBytes(rng, sizes[j]);
      data[j] = inputs[j].data();
    }
    uint64_t out[kWays];
    SHA3Variable64x4(data, sizes, out);
    for (size_t j = 0; j < kWays; ++j) {
      EXPECT_EQ(out[j], BigEndian64(OpenSSLSHA3(inputs[j]).data())) << "way " << j;
    }
  }
}

TEST(SHA3x4Test, ThirtyTwoByteFormsMatchOpenSSLAndMayWorkInPlace) {
  std::mt19937_64 rng(13);
  for (int round = 0; round < 50; ++round) {
    std::array<uint8_t, 32> inputs[kWays];
    for (auto& input : inputs) input = nivora_test::RandomKey(rng);
    if (round == 0) inputs[1].fill(0);
    std::array<uint8_t, 32> expected[kWays];
    for (size_t j = 0; j < kWays; ++j) expected[j] = OpenSSLSHA3(inputs[j].data(), 32);

    const std::array<uint8_t, 32>* in[kWays] = {&inputs[0], &inputs[1], &inputs[2], &inputs[3]};
    uint64_t d64[kWays];
    SHA3Direct64x4(in, d64);
    std::array<uint8_t, 32>* out[kWays] = {&inputs[0], &inputs[1], &inputs[2], &inputs[3]};
    SHA3Direct256x4(in, out);  // in place
    for (size_t j = 0; j < kWays; ++j) {
      EXPECT_EQ(inputs[j], expected[j]);
      EXPECT_EQ(d64[j], BigEndian64(expected[j].data()));
    }
  }
}

// The batch helper covers every count, including short last groups.
TEST(SHA3x4Test, BatchHashesEveryMessageOnce) {
  std::vector<std::string> messages;
  for (int i = 0; i < 11; ++i) messages.push_back(std::string(static_cast<size_t>(i * 29), 'a' + i));
  for (size_t n = 0; n <= messages.size(); ++n) {
    SCOPED_TRACE(n);
    std::vector<uint64_t> out(n + 1, 0xEEEE);
    SHA3Variable64Batch(
        n,
        [&](size_t i, size_t) {
          return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(messages[i].data()),
                                          messages[i].size());
        },
        out.data());
    for (size_t i = 0; i < n; ++i) {
      EXPECT_EQ(out[i], SHA3Variable64(reinterpret_cast<const uint8_t*>(messages[i].data()),
                                       messages[i].size()));
    }
    EXPECT_EQ(out[n], 0xEEEEu);  // nothing written past the end
  }
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::cryptography::cpu
