// Query tokens and the encrypted token cache: equality with ingest tokens,
// hit / miss / extension counts, the entry format, and entries that fail to
// open.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "core/parallel_for.h"
#include "encrypted_index/ingest_tokens.h"
#include "encrypted_index/query_tokens.h"
#include "ingest_fixture.h"

namespace nivora_test {
namespace {

using ::testing::ElementsAre;
using ::testing::ThrowsMessage;
using layout::cpu::CachedCentroidData;
using layout::cpu::EncryptedCacheEntry;
using layout::cpu::EncryptedTokenCache;

class QueryTokensTest : public ::testing::Test {
 protected:
  layout::SaltsAndSeedsList salts_ =
      layout::ComputeAllSaltsAndSeeds(4, TestIndexKey(1), TestIndexKey(2));
};

TEST_F(QueryTokensTest, EqualIngestTokensWithAndWithoutTheCacheOnAnyThreadCount) {
  const std::vector<uint32_t> counters = {5, 0, 300, 70};
  // Ingest tokens of every position, pads recovered from id hash 0.
  std::vector<uint32_t> centroids, positions;
  for (uint32_t c = 0; c < 4; ++c) {
    for (uint32_t p = 0; p < counters[c]; ++p) {
      centroids.push_back(c);
      positions.push_back(p);
    }
  }
  const auto ingest = layout::cpu::IngestCentroids(
      centroids, std::vector<uint64_t>(centroids.size(), 0), salts_, 32, positions);

  EncryptedTokenCache cache;
  const std::vector<uint32_t> probe = {3, 1, 2, 0};
  for (int threads : {1, 4}) {
    nivora::ScopedThreadCount scope(threads);
    for (EncryptedTokenCache* with : {static_cast<EncryptedTokenCache*>(nullptr), &cache, &cache}) {
      const auto tokens = layout::cpu::GenerateQueryTokens(probe, salts_, counters, 32, with);
      EXPECT_THAT(tokens.offsets, ElementsAre(0, 70, 70, 370, 375));
      for (size_t i = 0; i < probe.size(); ++i) {
        for (uint32_t p = 0; p < counters[probe[i]]; ++p) {
          size_t at = 0;
          while (centroids[at] != probe[i] || positions[at] != p) ++at;
          ASSERT_EQ(tokens.keys[tokens.offsets[i] + p], ingest.keys[at]);
          ASSERT_EQ(tokens.value_hashes[tokens.offsets[i] + p], ingest.values[at]);
        }
      }
    }
  }
}

// Long lists take the path that looks entries up inside the parallel loop.
TEST_F(QueryTokensTest, LongListsGiveTheSameTokensFromTheCache) {
  EncryptedTokenCache cache;
  const std::vector<uint32_t> counters = {40000, 0, 30000, 0};
  const std::vector<uint32_t> probe = {2, 0};
  const auto derived = layout::cpu::GenerateQueryTokens(probe, salts_, counters, 32, nullptr);
  const auto missed = layout::cpu::GenerateQueryTokens(probe, salts_, counters, 32, &cache);
  const auto hit = layout::cpu::GenerateQueryTokens(probe, salts_, counters, 32, &cache);
  EXPECT_EQ(cache.getCacheMisses(), 2u);
  EXPECT_EQ(cache.getCacheHits(), 2u);
  EXPECT_EQ(missed.keys, derived.keys);
  EXPECT_EQ(hit.keys, derived.keys);
  EXPECT_TRUE(hit.value_hashes == derived.value_hashes);
}

TEST_F(QueryTokensTest, ArgumentChecks) {
  EXPECT_THAT([&] { layout::cpu::GenerateQueryTokens({0, 1, 2, 3, 0}, salts_, {1, 1, 1, 1}, 32, nullptr); },
              ThrowsMessage<std::invalid_argument>("Number of centroid not matching the number of seeds."));
  EXPECT_THAT([&] { layout::cpu::GenerateQueryTokens({0}, salts_, {1, 1, 1, 1}, 0, nullptr); },
              ThrowsMessage<std::invalid_argument>("The number of round should be at lest 1."));
  const auto empty = layout::cpu::GenerateQueryTokens({}, salts_, {1}, 32, nullptr);
  EXPECT_TRUE(empty.offsets.empty());
  EXPECT_TRUE(empty.keys.empty());
  EXPECT_THROW(layout::cpu::GenerateQueryTokens({3}, salts_, {1, 1}, 32, nullptr), std::out_of_range);
  EXPECT_THROW(layout::gpu::GenerateQueryTokens({0}, salts_, {1}, 32), std::runtime_error);
}

TEST_F(QueryTokensTest, CacheCountsMissesHitsAndExtensions) {
  EncryptedTokenCache cache;
  std::vector<uint32_t> counters = {5, 0, 0, 0};
  const std::vector<uint32_t> probe = {0};
  layout::cpu::GenerateQueryTokens(probe, salts_, counters, 32, &cache);
  EXPECT_EQ(cache.getCacheMisses(), 1u);
  EXPECT_EQ(cache.getCacheSize(), 1u);
  layout::cpu::GenerateQueryTokens(probe, salts_, counters, 32, &cache);
  EXPECT_EQ(cache.getCacheHits(), 1u);

  counters[0] = 8;
  const auto extended = layout::cpu::GenerateQueryTokens(probe, salts_, counters, 32, &cache);
  EXPECT_EQ(cache.getCacheExtends(), 1u);
  CachedCentroidData data;
  ASSERT_TRUE(cache.tryGet(0, 8, data));
  EXPECT_EQ(data.count, 8u);
  EXPECT_EQ(data.last_position, 7u);
  EXPECT_EQ(data.keys[7], extended.keys[7]);
  EXPECT_EQ(cache.getCacheHits(), 2u);

  counters[0] = 3;  // fewer positions than cached: a hit, the first three
  const auto fewer = layout::cpu::GenerateQueryTokens(probe, salts_, counters, 32, &cache);
  EXPECT_EQ(cache.getCacheHits(), 3u);
  EXPECT_EQ(std::vector<uint64_t>(fewer.keys.begin(), fewer.keys.end()),
            std::vector<uint64_t>(extended.keys.begin(), extended.keys.begin() + 3));

  EXPECT_FALSE(cache.tryGet(2, 1, data));
  EXPECT_EQ(cache.getCacheMisses(), 2u);
  cache.clear();
  EXPECT_EQ(cache.getCacheSize(), 0u);
  EXPECT_EQ(cache.getCacheHits() + cache.getCacheMisses() + cache.getCacheExtends(), 0u);
}

TEST(TokenCacheEntryTest, SerializedFormAndMalformedPlaintexts) {
  CachedCentroidData data;
  data.keys = {0x1111, 0x2222};
  data.value_hashes = {0x3333, 0x4444};
  data.count = 2;
  data.last_position = 1;
  crypto::SecretVector<uint8_t> bytes;
  layout::cpu::serializeCacheDataInto(data, bytes);
  ASSERT_EQ(bytes.size(), 44u);
  EXPECT_THAT(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 12),
              ElementsAre(2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0));
  CachedCentroidData back;
  ASSERT_TRUE(layout::cpu::deserializeCacheDataInto(bytes.data(), bytes.size(), back));
  EXPECT_EQ(back.value_hashes[1], 0x4444u);

  struct Case {
    const char* name;
    std::function<void(crypto::SecretVector<uint8_t>&)> spoil;
  };
  const std::vector<Case> cases = {
      {"short", [](auto& b) { b.resize(10); }},
      {"one byte more", [](auto& b) { b.push_back(0); }},
      {"count too large", [](auto& b) { b[0] = 3; }},
      {"count huge", [](auto& b) { b[7] = 0x80; }},
      {"count zero", [](auto& b) { b[0] = 0; }},
      {"wrong last position", [](auto& b) { b[8] = 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    crypto::SecretVector<uint8_t> spoilt = bytes;
    c.spoil(spoilt);
    CachedCentroidData out;
    EXPECT_FALSE(layout::cpu::deserializeCacheDataInto(spoilt.data(), spoilt.size(), out));
  }
}

TEST(TokenCacheEntryTest, TamperedEntriesDoNotOpen) {
  layout::cpu::AESEncryptor encryptor;
  encryptor.key.fill(7);
  const std::vector<uint8_t> plain = {1, 2, 3, 4, 5};
  EncryptedCacheEntry entry;
  ASSERT_TRUE(encryptor.encrypt(plain.data(), plain.size(), entry));
  EXPECT_EQ(entry.iv.size(), 12u);
  EXPECT_EQ(entry.tag.size(), 16u);
  const auto opened = encryptor.decrypt(entry);
  EXPECT_EQ(std::vector<uint8_t>(opened.begin(), opened.end()), plain);

  EncryptedCacheEntry second;
  ASSERT_TRUE(encryptor.encrypt(plain.data(), plain.size(), second));
  EXPECT_NE(entry.iv, second.iv);

  const std::vector<std::function<void(EncryptedCacheEntry&)>> spoils = {
      [](EncryptedCacheEntry& e) { e.ciphertext[0] ^= 1; },
      [](EncryptedCacheEntry& e) { e.tag[15] ^= 1; },
      [](EncryptedCacheEntry& e) { e.iv[0] ^= 1; },
      [](EncryptedCacheEntry& e) { e.tag.pop_back(); },
      [](EncryptedCacheEntry& e) { e.iv.clear(); },
  };
  for (const auto& spoil : spoils) {
    EncryptedCacheEntry bad = entry;
    spoil(bad);
    crypto::SecretVector<uint8_t> out = {9, 9};
    EXPECT_FALSE(encryptor.decryptInto(bad, out));
    EXPECT_TRUE(out.empty());
  }
}

// A thread's cipher contexts keep the key of the cache that used them last:
// caches used in turn on one thread each open only their own entries.
TEST(TokenCacheEntryTest, CachesUsedInTurnOnOneThreadKeepTheirOwnKeys) {
  EncryptedTokenCache first;
  EncryptedTokenCache second;
  const uint64_t keys[] = {11, 12, 13};
  const uint64_t pads[] = {21, 22, 23};
  const uint64_t other_keys[] = {31, 32};
  const uint64_t other_pads[] = {41, 42};
  for (int round = 0; round < 3; ++round) {
    first.Store(0, keys, pads, 3);
    second.Store(0, other_keys, other_pads, 2);
    for (auto [cache, want_keys, want_pads, count] :
         {std::tuple{&first, keys, pads, uint64_t{3}},
          std::tuple{&second, other_keys, other_pads, uint64_t{2}},
          std::tuple{&first, keys, pads, uint64_t{3}}}) {
      uint64_t got_keys[3] = {};
      uint64_t got_pads[3] = {};
      uint32_t last = 0;
      ASSERT_EQ(cache->Lookup(0, count, got_keys, got_pads, 3, last), count);
      EXPECT_EQ(last, count - 1);
      EXPECT_TRUE(std::equal(want_keys, want_keys + count, got_keys));
      EXPECT_TRUE(std::equal(want_pads, want_pads + count, got_pads));
    }
  }
  EXPECT_EQ(first.getCacheMisses() + second.getCacheMisses(), 0u);
}

// Warming derives every stored list into the cache: the first query hits.
TEST_F(EngineTest, AWarmedCacheServesTheFirstQuery) {
  auto writer = Create(3, 4);
  ItemBatch batch = MakeBatch(6, 4);
  writer->AddItems(batch, {0, 0, 2, 2, 2, 0});
  auto client = Open();
  client->WarmTokenCache();
  const auto& cache = client->token_cache();
  EXPECT_EQ(cache.getCacheSize(), 2u);  // list 1 is empty
  const uint64_t misses = cache.getCacheMisses();
  std::vector<uint32_t> probe = {2, 0};
  RetrieveNeighborsResult warmed;
  client->RetrieveNeighbors(probe, warmed);
  EXPECT_EQ(cache.getCacheMisses(), misses);
  EXPECT_EQ(cache.getCacheHits(), 2u);
  RetrieveNeighborsResult cold;
  Open()->RetrieveNeighbors(probe, cold);
  EXPECT_EQ(warmed.matching_ids, cold.matching_ids);
  EXPECT_EQ(warmed.centroid_to_matching_indices, cold.centroid_to_matching_indices);
}

// Through the engine: the first query of a list misses, the next hits, a
// grown list extends; a fresh client derives the same rows.
TEST_F(EngineTest, EngineQueriesUseTheTokenCache) {
  auto client = Create(2, 4);
  ItemBatch batch = MakeBatch(5, 4);
  client->AddItems(batch, std::vector<uint32_t>(5, 0));
  std::vector<uint32_t> probe = {0, 1};
  RetrieveNeighborsResult result;
  client->RetrieveNeighbors(probe, result);
  const auto& cache = client->token_cache();
  EXPECT_EQ(cache.getCacheMisses(), 1u);  // list 1 is empty: never looked up
  client->RetrieveNeighbors(probe, result);
  EXPECT_EQ(cache.getCacheHits(), 1u);
  ItemBatch more = MakeBatch(3, 4, "item-", 5);
  client->AddItems(more, std::vector<uint32_t>(3, 0));
  client->RetrieveNeighbors(probe, result);
  EXPECT_EQ(cache.getCacheExtends(), 1u);
  EXPECT_EQ(result.matching_ids.size(), 8u);

  auto fresh = Open();
  RetrieveNeighborsResult derived;
  fresh->RetrieveNeighbors(probe, derived);
  EXPECT_EQ(derived.matching_ids, result.matching_ids);
  EXPECT_EQ(fresh->token_cache().getCacheMisses(), 1u);
}

}  // namespace
}  // namespace nivora_test
