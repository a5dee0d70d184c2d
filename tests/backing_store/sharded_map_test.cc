// nivora::ShardedMap, the 16-way locked map under the thread-safe keystore.
#include "core/sharded_map.h"

#include <array>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace nivora {
namespace {

using Map = ShardedMap<uint64_t, std::string>;

TEST(ShardedMapTest, BasicOperations) {
  Map map;
  map.InsertOrAssign(1, "one");
  map.InsertOrAssign(2, "two");
  map.InsertOrAssign(1, "uno");
  map.Upsert(3, [](std::string& value) { value += "three"; });
  map.Upsert(3, [](std::string& value) { value += "!"; });
  EXPECT_EQ(map.size(), 3u);

  std::string seen;
  EXPECT_TRUE(map.Find(1, [&](const std::string& value) { seen = value; }));
  EXPECT_EQ(seen, "uno");
  EXPECT_TRUE(map.Find(3, [&](const std::string& value) { seen = value; }));
  EXPECT_EQ(seen, "three!");
  EXPECT_FALSE(map.Find(4, [&](const std::string&) { ADD_FAILURE(); }));

  EXPECT_TRUE(map.Erase(2));
  EXPECT_FALSE(map.Erase(2));
  EXPECT_EQ(map.size(), 2u);
  map.clear();
  EXPECT_EQ(map.size(), 0u);
}

TEST(ShardedMapTest, KeysSpreadOverAllShardsAndForEachVisitsThemInShardOrder) {
  Map map;
  constexpr uint64_t kKeys = 16000;
  std::array<size_t, Map::kShardCount> per_shard{};
  for (uint64_t key = 0; key < kKeys; ++key) {
    map.InsertOrAssign(key, "");
    ++per_shard[Map::ShardOf(key)];
  }
  for (size_t count : per_shard) {
    EXPECT_GT(count, kKeys / Map::kShardCount / 2);
    EXPECT_LT(count, kKeys / Map::kShardCount * 2);
  }
  size_t visited = 0;
  size_t last_shard = 0;
  map.ForEach([&](uint64_t key, const std::string&) {
    EXPECT_GE(Map::ShardOf(key), last_shard);
    last_shard = Map::ShardOf(key);
    ++visited;
  });
  EXPECT_EQ(visited, kKeys);
}

TEST(ShardedMapTest, ConcurrentUpdatesLoseNothing) {
  ShardedMap<uint32_t, uint64_t> counters;
  constexpr int kThreads = 8;
  constexpr int kRounds = 20000;
  constexpr uint32_t kKeys = 64;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const uint32_t key = static_cast<uint32_t>(i * 7 + t) % kKeys;
        counters.Upsert(key, [](uint64_t& value) { ++value; });
        counters.Find(key, [](const uint64_t&) {});
        if (i % 1000 == 0) counters.size();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  uint64_t total = 0;
  counters.ForEach([&](uint32_t, uint64_t value) { total += value; });
  EXPECT_EQ(total, static_cast<uint64_t>(kThreads) * kRounds);
  EXPECT_EQ(counters.size(), kKeys);
}

}  // namespace
}  // namespace nivora
