#include "encrypted_index/cryptography/secret.h"

#include <gtest/gtest.h>

#include <numeric>
#include <utility>

namespace nivora_encrypted_index::internal::cryptography {
namespace {

struct Pair {
  std::array<uint8_t, 32> salt;
  std::array<uint8_t, 32> seed;
};

// Wiped storage on release cannot be observed safely; what can: the type
// behaves as a vector (growth keeps the values, copies and moves are deep)
// and Cleanse zeroes what it holds without changing its length.
TEST(SecretVectorTest, BehavesAsAVectorAndCleansesInPlace) {
  SecretVector<uint32_t> v;
  for (uint32_t i = 0; i < 1000; ++i) v.push_back(i);  // several reallocations
  ASSERT_EQ(v.size(), 1000u);
  std::vector<uint32_t> expected(1000);
  std::iota(expected.begin(), expected.end(), 0u);
  EXPECT_TRUE(std::equal(v.begin(), v.end(), expected.begin()));

  SecretVector<uint32_t> copy = v;
  copy[3] = 77;
  EXPECT_EQ(v[3], 3u);
  SecretVector<uint32_t> moved = std::move(copy);
  EXPECT_EQ(moved[3], 77u);
  moved = v;  // assignment over a live block
  EXPECT_EQ(moved, v);
  moved.resize(10);
  moved.shrink_to_fit();
  EXPECT_EQ(moved.size(), 10u);
  EXPECT_EQ(moved[9], 9u);

  Cleanse(v);
  EXPECT_EQ(v.size(), 1000u);
  EXPECT_TRUE(std::all_of(v.begin(), v.end(), [](uint32_t x) { return x == 0; }));

  SecretVector<Pair> pairs(3);
  pairs[2].seed.fill(0xAB);
  Cleanse(pairs);
  EXPECT_EQ(pairs[2].seed, (std::array<uint8_t, 32>{}));

  SecretVector<uint8_t> empty;
  Cleanse(empty);  // no storage: nothing to wipe, no null write
  EXPECT_TRUE(empty.empty());
}

TEST(SecretVectorTest, ScopedCleanseAndWipedKey) {
  std::array<uint8_t, 16> buffer;
  buffer.fill(7);
  { ScopedCleanse wipe(buffer); }
  EXPECT_EQ(buffer, (std::array<uint8_t, 16>{}));

  Key raw;
  raw.fill(5);
  WipedKey key = raw;
  const Key& as_key = key;
  EXPECT_EQ(as_key, raw);
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::cryptography
