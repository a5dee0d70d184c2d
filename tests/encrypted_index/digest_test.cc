// HMAC, the EVP digests and the keyed 64-bit digests of stored keys.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "crypto_reference.h"
#include "encrypted_index/cryptography/digest.h"
#include "encrypted_index/cryptography/hmac.h"
#include "encrypted_index/cryptography/keyed_digest.h"

namespace nivora_encrypted_index::internal::cryptography {
namespace {

using ::testing::ThrowsMessage;
using nivora_test::Bytes;
using nivora_test::Concat;
using nivora_test::Hex;
using nivora_test::ReferenceD64;

Key CountingKey() {
  Key key;
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i);
  return key;
}

TEST(HMACTest, SHA3256MatchesThePublishedSample) {
  // Key 00..1f, the "keylen<blocklen" sample message.
  const auto mac = ComputeHMAC256(CountingKey(), Bytes("Sample message for keylen<blocklen"));
  EXPECT_EQ(Hex(mac), "4fe8e202c4f058e8dddc23d8c34e467343e23555e24fc2f025d598f558f67205");
  const std::vector<uint8_t> key = Bytes(CountingKey());
  EXPECT_EQ(ComputeHMAC(key, Bytes("Sample message for keylen<blocklen"), HMACMode::SHA3_256),
            Bytes(mac));
}

// A reused keyed context gives the one-shot results, message after message
// (empty ones and ones longer than a block included), and the pointer form
// of the general HMAC checks its output size.
TEST(HMACTest, ReusedContextAndPointerFormMatchTheOneShot) {
  std::mt19937_64 rng(8);
  const Key key = nivora_test::RandomKey(rng);
  HMAC256Context context(key);
  for (size_t n : {0, 4, 4, 135, 136, 137, 300}) {
    const std::vector<uint8_t> message = nivora_test::RandomBytes(rng, n);
    std::array<uint8_t, 32> out;
    context.Compute(message.data(), message.size(), out);
    EXPECT_EQ(out, ComputeHMAC256(key, message)) << n;
  }
  const std::vector<uint8_t> message = Bytes("m");
  std::vector<uint8_t> out(32);
  ComputeHMACInto(key.data(), key.size(), message.data(), message.size(), HMACMode::SHA256,
                  out.data(), out.size());
  EXPECT_EQ(out, ComputeHMAC(Bytes(key), message, HMACMode::SHA256));
  EXPECT_THROW(ComputeHMACInto(key.data(), key.size(), message.data(), message.size(),
                               HMACMode::SHA512, out.data(), out.size()),
               std::invalid_argument);
}

TEST(HMACTest, ModesGiveTheirDigestLengthsAndBadInputsFail) {
  const std::vector<uint8_t> key = {1, 2, 3};
  const std::vector<std::pair<HMACMode, size_t>> modes = {
      {HMACMode::SHA224, 28},   {HMACMode::SHA256, 32},   {HMACMode::SHA384, 48},
      {HMACMode::SHA512, 64},   {HMACMode::SHA3_224, 28}, {HMACMode::SHA3_256, 32},
      {HMACMode::SHA3_384, 48}, {HMACMode::SHA3_512, 64}};
  for (auto [mode, length] : modes) {
    EXPECT_EQ(ComputeHMAC(key, Bytes("m"), mode).size(), length) << static_cast<int>(mode);
  }
  EXPECT_THAT([&] { ComputeHMAC(key, Bytes("m"), static_cast<HMACMode>(8)); },
              ThrowsMessage<std::invalid_argument>("Unsupported HMAC mode"));
  EXPECT_THAT([&] { ComputeHMAC({}, Bytes("m"), HMACMode::SHA256); },
              ThrowsMessage<std::runtime_error>("Failed to compute HMAC hash"));
}

TEST(DigestTest, SHA3ModesAndStringForm) {
  const std::vector<std::pair<SHA3Mode, size_t>> modes = {
      {SHA3Mode::SHA3_224, 28}, {SHA3Mode::SHA3_256, 32}, {SHA3Mode::SHA3_384, 48},
      {SHA3Mode::SHA3_512, 64}};
  for (auto [mode, length] : modes) EXPECT_EQ(ComputeSHA3(Bytes("abc"), mode).size(), length);
  EXPECT_EQ(Hex(ComputeSHA3256(std::string("abc"))),
            "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532");
  EXPECT_EQ(ComputeSHA3256(Bytes("abc")), ComputeSHA3256(std::string("abc")));
  EXPECT_THAT([] { ComputeSHA3(Bytes("abc"), static_cast<SHA3Mode>(4)); },
              ThrowsMessage<std::invalid_argument>("Invalid SHA3 mode"));
}

TEST(KeyedDigestTest, IdHashIsD64OfKeyThenIdBytes) {
  const Key key = CountingKey();
  // Enough ids to run on several threads, with lengths that straddle a block.
  std::vector<std::string> ids;
  for (int i = 0; i < 3000; ++i) ids.push_back(std::string(i % 211, 'x') + std::to_string(i));
  ids.push_back("");
  const std::vector<uint64_t> hashes = ComputeSHA3256String(ids, key);
  ASSERT_EQ(hashes.size(), ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    ASSERT_EQ(hashes[i], ReferenceD64(Concat(Bytes(key), Bytes(ids[i])))) << i;
  }
  EXPECT_TRUE(ComputeSHA3256String({}, key).empty());
}

TEST(KeyedDigestTest, StoreKeysTakeTheInputLittleEndian) {
  const Key key = CountingKey();
  const std::vector<uint8_t> one_le = {1, 0, 0, 0, 0, 0, 0, 0};
  const std::vector<uint8_t> one_be = {0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(DeriveKeystoreKey(1, key), ReferenceD64(Concat(Bytes(key), one_le)));
  EXPECT_NE(DeriveKeystoreKey(1, key), ReferenceD64(Concat(Bytes(key), one_be)));

  std::mt19937_64 rng(5);
  std::vector<uint64_t> inputs(2000);
  for (auto& v : inputs) v = rng();
  const std::vector<uint64_t> derived = DeriveKeystoreKeys(inputs, key);
  ASSERT_EQ(derived.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) ASSERT_EQ(derived[i], DeriveKeystoreKey(inputs[i], key));
  EXPECT_TRUE(DeriveKeystoreKeys({}, key).empty());
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::cryptography
