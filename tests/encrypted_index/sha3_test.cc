#include "encrypted_index/cryptography/sha3.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "crypto_reference.h"

namespace nivora_encrypted_index::internal::cryptography::cpu {
namespace {

using nivora_test::BigEndian64;
using nivora_test::Bytes;
using nivora_test::Hex;
using nivora_test::OpenSSLSHA3;

// The full digest through the exported building blocks.
std::array<uint8_t, 32> SpongeSHA3(const std::vector<uint8_t>& input) {
  Lanes lanes{};
  Block block{};
  size_t position = 0;
  AbsorbVariable(lanes, kSHA3256Rate, block, position, input);
  Pad(lanes, kSHA3256Rate, block, position);
  return Squeeze256(lanes, kSHA3256Rate, block, position);
}

TEST(SHA3Test, NISTVectors) {
  struct Case {
    std::vector<uint8_t> input;
    const char* digest;
  };
  const std::vector<Case> cases = {
      {{}, "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a"},
      {Bytes("abc"), "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532"},
      {Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
       "41c0dba2a9d6240849100376a8235e2c82e1b9998a999e21db32dd97496d3376"},
      {Bytes("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmn"
             "opqrlmnopqrsmnopqrstnopqrstu"),
       "916f6061fe879741ca6469b43971dfdb28b1a32dc36cb3254e812be27aad1d18"},
      {std::vector<uint8_t>(200, 0xa3),
       "79f38adec5c20307a98ef76e8324afbfd46cfd81b22e3973c65fa1bd9de31787"},
      {std::vector<uint8_t>(1000000, 'a'),
       "5c8875ae474a3634ba4fd55ec85bffd661f32aca75c6d699d0cdcb6c115891c1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.size());
    EXPECT_EQ(Hex(SpongeSHA3(c.input)), c.digest);
    const std::string first8 = std::string(c.digest).substr(0, 16);
    EXPECT_EQ(SHA3Variable64(c.input), std::stoull(first8, nullptr, 16));
  }
}

// Every length from 0 to 300 bytes crosses the block boundary at 135/136
// and 271/272: the entry points and the building blocks against OpenSSL.
TEST(SHA3Test, MatchesOpenSSLForEveryLengthUpTo300) {
  std::mt19937_64 rng(7);
  for (size_t n = 0; n <= 300; ++n) {
    SCOPED_TRACE(n);
    const std::vector<uint8_t> input = nivora_test::RandomBytes(rng, n);
    const std::array<uint8_t, 32> expected = OpenSSLSHA3(input);
    EXPECT_EQ(SpongeSHA3(input), expected);
    EXPECT_EQ(SHA3Variable64(input), BigEndian64(expected.data()));
    EXPECT_EQ(SHA3Variable64(input.data(), input.size()), BigEndian64(expected.data()));
  }
}

TEST(SHA3Test, DirectFormsOfThirtyTwoBytes) {
  std::mt19937_64 rng(11);
  std::vector<std::array<uint8_t, 32>> inputs = {std::array<uint8_t, 32>{}};
  for (int i = 0; i < 50; ++i) inputs.push_back(nivora_test::RandomKey(rng));
  for (const auto& input : inputs) {
    const std::array<uint8_t, 32> expected = OpenSSLSHA3(input.data(), input.size());
    EXPECT_EQ(SHA3Direct256(input), expected);
    EXPECT_EQ(SHA3Direct64(input), BigEndian64(expected.data()));
  }
}

// Absorbing in pieces continues at the buffer position: a 32-byte piece
// followed by a variable one hashes like their concatenation, also when the
// pieces straddle the block boundary, and Squeeze64 is the big-endian head
// of Squeeze256.
TEST(SHA3Test, BuildingBlocksComposeAcrossPieces) {
  std::mt19937_64 rng(3);
  for (size_t rest : {0, 1, 103, 104, 105, 239, 240, 500}) {
    SCOPED_TRACE(rest);
    const std::array<uint8_t, 32> head = nivora_test::RandomKey(rng);
    const std::vector<uint8_t> tail = nivora_test::RandomBytes(rng, rest);
    const std::array<uint8_t, 32> expected =
        OpenSSLSHA3(nivora_test::Concat(Bytes(head), tail));

    Lanes lanes{};
    Block block{};
    size_t position = 0;
    Absorb(lanes, kSHA3256Rate, block, position, head);
    EXPECT_EQ(position, 32u);
    AbsorbVariable(lanes, kSHA3256Rate, block, position, tail);
    EXPECT_EQ(position, (32 + rest) % kSHA3256Rate);
    Pad(lanes, kSHA3256Rate, block, position);
    EXPECT_EQ(position, 0u);
    Lanes copy = lanes;
    Block copy_block = block;
    size_t copy_position = position;
    EXPECT_EQ(Squeeze256(lanes, kSHA3256Rate, block, position), expected);
    EXPECT_EQ(Squeeze64(copy, kSHA3256Rate, copy_block, copy_position),
              BigEndian64(expected.data()));
  }
}

TEST(SHA3Test, KeccakFOfZeroState) {
  // The first lane of Keccak-f[1600] applied to the all-zero state.
  Lanes lanes{};
  KeccakF(lanes);
  EXPECT_EQ(lanes[0], 0xF1258F7940E1DDE7ULL);
  EXPECT_EQ(lanes[24], 0xEAF1FF7B5CECA249ULL);
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::cryptography::cpu
