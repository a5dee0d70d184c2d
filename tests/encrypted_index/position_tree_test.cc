#include "encrypted_index/position_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <omp.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <limits>
#include <random>

#include "crypto_reference.h"
#include "encrypted_index/counter_assignment.h"
#include "encrypted_index/ingest_tokens.h"
#include "encrypted_index/token_helpers.h"

namespace nivora_encrypted_index::internal::encrypted_index {
namespace {

using ::testing::ThrowsMessage;
using nivora_test::BigEndian64;
using nivora_test::OpenSSLSHA3;

// The path exactly as written down: state j + 1 = SHA3-256(state j with
// bit (p >> ((d - 1 - j) mod 32)) & 1 XORed into byte 0), from OpenSSL.
std::vector<Node> ReferencePath(const Node& seed, uint32_t p, size_t d) {
  std::vector<Node> states = {seed};
  for (size_t j = 0; j < d; ++j) {
    Node input = states.back();
    input[0] ^= static_cast<uint8_t>((p >> ((d - 1 - j) % 32)) & 1);
    states.push_back(OpenSSLSHA3(input.data(), input.size()));
  }
  return states;
}

// Token key and pad from OpenSSL: D64 of the salt half followed by the leaf half.
Token ReferenceToken(const std::array<uint8_t, 32>& salt, const Node& leaf) {
  auto d64 = [&](size_t half) {
    std::array<uint8_t, 32> input;
    std::copy_n(salt.begin() + 16 * half, 16, input.begin());
    std::copy_n(leaf.begin() + 16 * half, 16, input.begin() + 16);
    return BigEndian64(OpenSSLSHA3(input.data(), input.size()).data());
  };
  return Token{d64(0), d64(1)};
}

Node RandomNode(std::mt19937_64& rng) { return nivora_test::RandomKey(rng); }

TEST(PositionTreeTest, PathMatchesTheWrittenDefinition) {
  std::mt19937_64 rng(1);
  const Node seed = RandomNode(rng);
  for (size_t depth : {1, 3, 31, 32, 33, 40}) {
    for (uint32_t p : {0u, 1u, 2u, 5u, 0x7fffffffu, 0x80000000u, 0xffffffffu,
                       static_cast<uint32_t>(rng())}) {
      PathStates states;
      RecomputePathStates(seed, p, depth, states);
      EXPECT_TRUE(std::ranges::equal(states, ReferencePath(seed, p, depth))) << depth << " " << p;
      EXPECT_EQ(cpu::GenerateNodeSHA3(p, seed, depth), states.back());
    }
  }
}

TEST(PositionTreeTest, SharedPrefixesOfTheDepth32Tree) {
  std::mt19937_64 rng(2);
  const Node seed = RandomNode(rng);
  PathStates zero, one, high;
  RecomputePathStates(seed, 0, 32, zero);
  RecomputePathStates(seed, 1, 32, one);
  RecomputePathStates(seed, 0x80000000u, 32, high);
  // Position 0: the seed hashed 32 times, nothing changed.
  Node node = seed;
  for (int i = 0; i < 32; ++i) node = OpenSSLSHA3(node.data(), node.size());
  EXPECT_EQ(zero.back(), node);
  // Positions 0 and 1 part only at the last step.
  EXPECT_TRUE(std::equal(zero.begin(), zero.begin() + 32, one.begin()));
  Node flipped = zero[31];
  flipped[0] ^= 1;
  EXPECT_EQ(one.back(), OpenSSLSHA3(flipped.data(), flipped.size()));
  // The highest bit is taken first.
  EXPECT_EQ(high[0], zero[0]);
  EXPECT_NE(high[1], zero[1]);
}

// Moving along a path from any earlier (or later) position gives the path
// derived from scratch.
TEST(PositionTreeTest, IncrementalPathEqualsFullDerivation) {
  std::mt19937_64 rng(3);
  const Node seed = RandomNode(rng);
  PositionPath path(32);
  path.Reset(seed, 0);
  std::vector<uint32_t> walk;
  for (uint32_t p = 1; p < 70; ++p) walk.push_back(p);
  for (int i = 0; i < 30; ++i) walk.push_back(static_cast<uint32_t>(rng()));
  walk.push_back(3);
  walk.push_back(3);
  for (uint32_t p : walk) {
    path.MoveTo(p);
    PathStates full;
    RecomputePathStates(seed, p, 32, full);
    ASSERT_EQ(path.states(), full) << p;
  }
}

TEST(PositionTreeTest, TokenUsesFirstHalvesForTheKeyAndSecondHalvesForThePad) {
  std::mt19937_64 rng(4);
  const std::array<uint8_t, 32> salt = RandomNode(rng);
  const Node leaf = RandomNode(rng);
  const Token token = DeriveToken(salt, leaf);
  const Token reference = ReferenceToken(salt, leaf);
  EXPECT_EQ(token.key, reference.key);
  EXPECT_EQ(token.pad, reference.pad);
  EXPECT_EQ(cpu::GenerateKeyHash(salt, leaf), token.key);
  EXPECT_EQ(cpu::GenerateKeyValueHash(salt, leaf), std::make_pair(token.key, token.pad));

  std::array<uint8_t, 32> swapped;
  std::copy_n(salt.begin() + 16, 16, swapped.begin());
  std::copy_n(salt.begin(), 16, swapped.begin() + 16);
  const Token other = DeriveToken(swapped, leaf);
  EXPECT_NE(other.key, token.key);
  EXPECT_NE(other.pad, token.pad);

  std::vector<uint64_t> keys(3), values(3);
  cpu::PerformHashing(salt, leaf, keys, values, 1);
  EXPECT_EQ(keys[1], token.key);
  EXPECT_EQ(values[1], token.pad);
  cpu::PerformHashingXOR(salt, leaf, keys, values, 2, 0x1234);
  EXPECT_EQ(values[2], 0x1234 ^ token.pad);
}

// The batch derivation against tokens derived from scratch, for request
// lists that exercise its four walks: fewer requests than walks, walks of
// unequal work, trees changing inside a walk, repeated and far-apart
// positions, moves back to earlier positions, and depths 0 (the leaf is the
// seed), 1, 3 and 32.
TEST(PositionTreeTest, DeriveTokensEqualsTokensFromScratch) {
  std::mt19937_64 rng(4);
  SaltsAndSeedsList centroids(3);
  for (auto& c : centroids) {
    c.salt = RandomNode(rng);
    c.seed = RandomNode(rng);
  }
  struct Case {
    const char* name;
    std::vector<std::pair<size_t, uint32_t>> requests;  // (centroid, position)
  };
  std::vector<Case> cases = {{"none", {}}, {"one", {{1, 5}}}, {"three", {{0, 0}, {0, 1}, {2, 9}}}};
  Case consecutive{"consecutive in two trees", {}};
  for (uint32_t p = 0; p < 37; ++p) consecutive.requests.push_back({0, p});
  for (uint32_t p = 100; p < 111; ++p) consecutive.requests.push_back({1, p});
  cases.push_back(consecutive);
  Case mixed{"random, repeated, backwards", {}};
  for (int i = 0; i < 45; ++i) {
    mixed.requests.push_back({rng() % 3, i % 7 == 0 ? 3u : static_cast<uint32_t>(rng())});
  }
  mixed.requests.push_back(mixed.requests.back());
  cases.push_back(mixed);

  for (size_t depth : {0, 1, 3, 32}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", depth " + std::to_string(depth));
      std::vector<TokenRequest> requests;
      for (const auto& [centroid, position] : c.requests) {
        requests.push_back({&centroids[centroid], position});
      }
      std::vector<Token> tokens(requests.size() + 1, Token{7, 7});
      DeriveTokens(requests, depth, tokens.data());
      for (size_t k = 0; k < requests.size(); ++k) {
        const SaltsAndSeeds& s = *requests[k].centroid;
        const Token expected =
            ReferenceToken(s.salt, ReferencePath(s.seed, requests[k].position, depth).back());
        EXPECT_EQ(tokens[k].key, expected.key) << k;
        EXPECT_EQ(tokens[k].pad, expected.pad) << k;
      }
      EXPECT_EQ(tokens.back().key, 7u);  // nothing written past the end
    }
  }
}

TEST(PositionTreeTest, SaltsAndSeedsAreHMACsOfLittleEndianCentroidIds) {
  std::mt19937_64 rng(5);
  const cryptography::Key index_key = nivora_test::RandomKey(rng);
  const cryptography::Key name_key = nivora_test::RandomKey(rng);
  auto hmac = [](const cryptography::Key& key, uint32_t c) {
    const uint8_t le[4] = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8),
                           static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 24)};
    std::array<uint8_t, 32> out;
    unsigned int len = 0;
    HMAC(EVP_sha3_256(), key.data(), 32, le, 4, out.data(), &len);
    return out;
  };
  const SaltsAndSeedsList all = ComputeAllSaltsAndSeeds(300, index_key, name_key);
  ASSERT_EQ(all.size(), 300u);
  for (uint32_t c : {0u, 1u, 255u, 256u, 299u}) {
    EXPECT_EQ(all[c].salt, hmac(name_key, c));
    EXPECT_EQ(all[c].seed, hmac(index_key, c));
  }
  const auto some = ComputeSaltsAndSeeds({299, 0x01020304u}, index_key, name_key);
  EXPECT_EQ(some[0].salt, all[299].salt);
  EXPECT_EQ(some[1].seed, hmac(index_key, 0x01020304u));
}

class IngestCentroidsTest : public ::testing::Test {
 protected:
  std::mt19937_64 rng_{6};
  SaltsAndSeedsList salts_ = ComputeAllSaltsAndSeeds(
      5, nivora_test::RandomKey(rng_), nivora_test::RandomKey(rng_));

  Token Expected(uint32_t c, uint32_t p, size_t depth = 32) {
    return ReferenceToken(salts_[c].salt, ReferencePath(salts_[c].seed, p, depth).back());
  }
};

// Items in any order, of several centroids, with repeated and far-apart
// positions: every token equals the one derived from scratch, whatever the
// number of threads.
TEST_F(IngestCentroidsTest, TokensEqualThoseDerivedFromScratch) {
  std::vector<uint32_t> centroids, positions;
  std::vector<uint64_t> hashes;
  for (uint32_t c = 0; c < 5; ++c) {
    for (uint32_t p = 0; p < 40; ++p) {
      centroids.push_back(c);
      positions.push_back(c == 3 ? p * 1000003u : p);
      hashes.push_back(rng_());
    }
  }
  centroids.push_back(2);  // the same (c, p) twice, another hash
  positions.push_back(7);
  hashes.push_back(rng_());
  std::vector<size_t> order(centroids.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::shuffle(order.begin(), order.end(), rng_);
  auto permute = [&](auto v) {
    auto out = v;
    for (size_t i = 0; i < order.size(); ++i) out[i] = v[order[i]];
    return out;
  };
  centroids = permute(centroids);
  positions = permute(positions);
  hashes = permute(hashes);

  const int saved = omp_get_max_threads();
  omp_set_num_threads(1);
  const EncryptedTokens single = cpu::IngestCentroids(centroids, hashes, salts_, 32, positions);
  omp_set_num_threads(8);
  const EncryptedTokens parallel = cpu::IngestCentroids(centroids, hashes, salts_, 32, positions);
  omp_set_num_threads(saved);

  EXPECT_EQ(single.keys, parallel.keys);
  EXPECT_EQ(single.values, parallel.values);
  for (size_t i = 0; i < centroids.size(); ++i) {
    const Token t = Expected(centroids[i], positions[i]);
    ASSERT_EQ(single.keys[i], t.key) << i;
    ASSERT_EQ(single.values[i], hashes[i] ^ t.pad) << i;
  }
}

TEST_F(IngestCentroidsTest, ShallowTreesFollowTheModuloRule) {
  const std::vector<uint32_t> centroids = {1, 1, 1};
  const std::vector<uint32_t> positions = {0, 9, 1};  // 9 and 1 share a leaf at depth 3
  const EncryptedTokens t = cpu::IngestCentroids(centroids, {10, 20, 30}, salts_, 3, positions);
  EXPECT_EQ(t.keys[0], Expected(1, 0, 3).key);
  EXPECT_EQ(t.keys[1], t.keys[2]);
  EXPECT_EQ(t.values[1] ^ 20, t.values[2] ^ 30);
}

TEST_F(IngestCentroidsTest, ArgumentChecks) {
  EXPECT_THAT([&] { cpu::IngestCentroids({0, 1, 2}, {1, 2}, salts_, 32, {0, 0, 0}); },
              ThrowsMessage<std::invalid_argument>(
                  "The number of centroid Ids does not match the number item Ids."));
  EXPECT_THAT([&] { cpu::IngestCentroids({0}, {1}, salts_, 0, {0}); },
              ThrowsMessage<std::invalid_argument>("The number of round should be at least 1."));
  EXPECT_THROW(cpu::IngestCentroids({0, 1}, {1, 2}, salts_, 32, {0}), std::invalid_argument);
  EXPECT_THAT([&] { cpu::IngestCentroids({0, 5}, {1, 2}, salts_, 32, {0, 0}); },
              ThrowsMessage<std::out_of_range>("Centroid id 5 is out of range for 5 salts and seeds"));
  const EncryptedTokens none = cpu::IngestCentroids({}, {}, salts_, 32, {});
  EXPECT_TRUE(none.keys.empty());
  // A depth whose path cannot be held is refused, also from the parallel loop.
  const uint64_t unholdable = std::numeric_limits<size_t>::max();
  EXPECT_THROW(cpu::IngestCentroids({0}, {1}, salts_, unholdable, {0}), std::length_error);
  PathStates states;
  EXPECT_THROW(RecomputePathStates(salts_[0].seed, 0, unholdable, states), std::length_error);
}

TEST(CountCentroidsTest, HandsOutConsecutivePositionsAndNeverWraps) {
  std::vector<uint32_t> counters = {5, 0, 7};
  EXPECT_EQ(CountCentroids({2, 0, 2}, counters), (std::vector<uint32_t>{7, 5, 8}));
  EXPECT_EQ(counters, (std::vector<uint32_t>{6, 0, 9}));

  EXPECT_THAT([&] { CountCentroids({0, 3}, counters); },
              ThrowsMessage<std::out_of_range>("Centroid id 3 is out of range for 3 counters"));
  EXPECT_EQ(counters, (std::vector<uint32_t>{6, 0, 9}));

  counters = {0xfffffffeu, 4};
  EXPECT_THAT([&] { CountCentroids({1, 0, 0}, counters); },
              ThrowsMessage<std::overflow_error>("Counter of centroid 0 is exhausted"));
  EXPECT_EQ(counters, (std::vector<uint32_t>{0xfffffffeu, 4}));
  EXPECT_EQ(CountCentroids({0}, counters), (std::vector<uint32_t>{0xfffffffeu}));
}

TEST(TokenHelpersTest, BitsCommonNodesAndTrapdoors) {
  EXPECT_EQ(ConvertToBinaryRevert(5, 4), (std::vector<uint8_t>{0, 1, 0, 1}));
  struct Case {
    uint32_t a, b, depth, expected;
  };
  for (const Case& c : std::vector<Case>{{0, 5, 3, 1}, {4, 5, 3, 3}, {5, 5, 3, 3}, {2, 3, 3, 3},
                                         {0, 0x80000000u, 32, 1}, {6, 7, 32, 32}}) {
    EXPECT_EQ(ClosestCommonNode(c.a, c.b, c.depth), c.expected) << c.a << " " << c.b;
  }

  const cryptography::Key key{};
  const auto trapdoors = GenerateTrapdoors(9, key, 5, 3);
  ASSERT_EQ(trapdoors.size(), 3u);
  Node seed;
  CentroidHMAC(key, 9, seed);
  const uint32_t starts[] = {0, 4, 5}, remaining[] = {2, 0, 0}, lengths[] = {1, 3, 3};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(trapdoors[i].remaining_depth, remaining[i]);
    EXPECT_EQ(trapdoors[i].node, GenerateNodeRevert(starts[i], seed, lengths[i]));
  }
  const Trapdoor largest = LargestCommonTrapdoor(seed, 4, 5, 3);
  EXPECT_EQ(largest.remaining_depth, 0u);
  EXPECT_EQ(largest.node, trapdoors[1].node);
  // Covering up to the last position of a 32-bit tree ends instead of
  // wrapping: halves of shrinking size, then the last leaf.
  const auto full = GenerateTrapdoors(1, key, 0xffffffffu, 32);
  ASSERT_EQ(full.size(), 33u);
  EXPECT_EQ(full.front().remaining_depth, 31u);
  EXPECT_EQ(full.back().remaining_depth, 0u);

  // A revert node is an HMAC-SHA-256 chain, not the SHA3 tree.
  std::array<uint8_t, 32> once;
  Node message = seed;
  message[0] ^= 1;
  unsigned int len = 0;
  HMAC(EVP_sha256(), seed.data(), 32, message.data(), 32, once.data(), &len);
  EXPECT_EQ(GenerateNodeRevert(1, seed, 1), once);
}

TEST(TokenHelpersTest, MetadataFieldHashesAreUnkeyedDigests) {
  std::vector<std::string> fields;
  for (int i = 0; i < 1000; ++i) fields.push_back("field." + std::to_string(i));
  const std::vector<uint64_t> hashes = HashMetadataFields(fields);
  for (size_t i = 0; i < fields.size(); i += 97) {
    EXPECT_EQ(hashes[i], nivora_test::ReferenceD64(nivora_test::Bytes(fields[i])));
  }
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::encrypted_index
