// The cache layer of Keystore in front of a keystore that reports an external
// location, so that it gets the process-wide cache of its store kind.
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "backing_store/counting_keystore.h"
#include "backing_store/log_capture.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kMapKey = 0xFFFFFFFFFFFFFFFFull;
constexpr uint64_t kVersionKey = 42;

uint64_t RandomId() {
  static std::mt19937_64 engine{std::random_device{}()};
  return engine();
}

// n rows of `width` bytes; row i is filled with the low byte of i + 1.
nivora::Array2D<unsigned char> Rows(size_t n, size_t width) {
  nivora::Array2D<unsigned char> m(n, width);
  for (size_t i = 0; i < n; ++i) {
    std::fill(m.row(i), m.row(i) + width, static_cast<unsigned char>(i + 1));
  }
  return m;
}

std::vector<uint64_t> Keys(size_t n, uint64_t first = 1000) {
  std::vector<uint64_t> keys(n);
  for (size_t i = 0; i < n; ++i) keys[i] = first + i;
  return keys;
}

Bytes RowOf(const nivora::Array2D<unsigned char>& m, size_t r) {
  return Bytes(m.row(r), m.row(r) + m.cols);
}

class CacheLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_.EnableCache();
    cache_ = store_.GetCache();
    ASSERT_NE(cache_, nullptr);
  }
  void TearDown() override {
    for (uint64_t index : {index_, other_index_}) cache_->DeleteIndexImpl(index);
  }

  Keystore& cache() { return *cache_; }
  // Pushes a map into the store alone until it reaches `version`.
  void StoreMapAt(uint64_t index, uint64_t version, const Bytes& map) {
    for (uint64_t v = 0; v < version; ++v) {
      ASSERT_TRUE(store_.PushMapImpl(index, kMapKey, map.data(), map.size(), kVersionKey, v));
    }
  }

  LogCapture log_;
  uint64_t index_ = RandomId();
  uint64_t other_index_ = index_ + 0x100000;
  CountingKeystore store_{BackingStoreType::VECTORS};
  Keystore* cache_ = nullptr;  // the shared cache of VECTORS
};

TEST(CacheLayerWithoutCacheTest, EveryOperationIsTheStoreItself) {
  LogCapture log;
  CountingKeystore store(BackingStoreType::VECTORS);
  const uint64_t index = RandomId();
  store.BatchPushItems(index, Keys(3), Rows(3, 8));
  store.EagerLoadCache(index);
  store.EagerLoadMapCache(index, kMapKey, kVersionKey);
  store.ClearCacheForIndex(index);
  EXPECT_FALSE(store.IsCacheEnabled());
  EXPECT_FALSE(store.IsCacheLoaded(index));
  EXPECT_EQ(store.GetCache(), nullptr);
  EXPECT_TRUE(store.variable_read_sizes.empty());

  EXPECT_EQ(store.BatchGetItems(index, Keys(3)).rows, 3u);
  EXPECT_EQ(store.fixed_reads, 1u);
  const Bytes map(10, 1);
  EXPECT_TRUE(store.PushMap(index, kMapKey, map.data(), map.size(), kVersionKey, 0));
  EXPECT_EQ(store.GetMap(index, kMapKey, kVersionKey).version, 1u);
  store.DeleteIndex(index);
  EXPECT_EQ(store.GetTotalSize(index), 0u);
}

TEST_F(CacheLayerTest, AttachedCacheTakesWritesWhileReadsStayOnTheStore) {
  ASSERT_TRUE(store_.IsCacheEnabled());
  EXPECT_FALSE(store_.IsCacheLoaded(index_));
  store_.SetValueSize(index_, 16);
  EXPECT_EQ(cache().GetValueSizeImpl(index_), 16u);
  store_.BatchPushItems(index_, Keys(4), Rows(4, 16));
  store_.BatchPushVariable(index_, {7}, {Bytes(3, 9)});
  EXPECT_EQ(cache().GetTotalSize(index_), 5u);

  const auto rows = store_.BatchGetItems(index_, Keys(4));
  EXPECT_EQ(store_.fixed_reads, 1u);
  EXPECT_EQ(RowOf(rows, 3), Bytes(16, 4));
  EXPECT_EQ(store_.BatchGetVariable(index_, {7})[0], Bytes(3, 9));
  EXPECT_EQ(store_.variable_read_sizes.size(), 1u);

  store_.BatchDeleteItems(index_, {1000, 7});
  EXPECT_EQ(store_.GetTotalSize(index_), 3u);
  EXPECT_EQ(cache().GetTotalSize(index_), 3u);
}

TEST_F(CacheLayerTest, EagerLoadCopiesInBatchesOfAThousandThenServesReads) {
  constexpr size_t kItems = 2500;
  store_.SetValueSizeImpl(index_, 16);  // the store alone: the load must copy it
  store_.BatchPushItemsImpl(index_, Keys(kItems), Rows(kItems, 16));

  store_.EagerLoadCache(index_);
  EXPECT_EQ(store_.variable_read_sizes, (std::vector<size_t>{1000, 1000, 500}));
  EXPECT_TRUE(store_.IsCacheLoaded(index_));
  EXPECT_EQ(cache().GetTotalSize(index_), kItems);
  EXPECT_EQ(cache().GetValueSizeImpl(index_), 16u);

  const auto rows = store_.BatchGetItems(index_, {1000, 3499, 5});
  EXPECT_EQ(store_.fixed_reads, 0u);
  EXPECT_EQ(RowOf(rows, 0), Bytes(16, 1));
  EXPECT_EQ(RowOf(rows, 1), Bytes(16, static_cast<uint8_t>(2500)));
  EXPECT_EQ(RowOf(rows, 2), Bytes(16, 0));
  EXPECT_EQ(store_.BatchGetVariable(index_, {1001})[0], Bytes(16, 2));
  EXPECT_EQ(store_.variable_read_sizes.size(), 3u);

  // A cache that already holds the index is only marked loaded: by this
  // keystore again, or by another client's keystore of the same kind.
  store_.EagerLoadCache(index_);
  CountingKeystore second(BackingStoreType::VECTORS);
  second.EnableCache();
  second.EagerLoadCache(index_);
  EXPECT_EQ(store_.variable_read_sizes.size(), 3u);
  EXPECT_TRUE(second.variable_read_sizes.empty());
  EXPECT_TRUE(second.IsCacheLoaded(index_));
}

TEST_F(CacheLayerTest, EagerLoadOfAnEmptyIndexOnlyMarksItLoaded) {
  store_.EagerLoadCache(index_);
  EXPECT_TRUE(store_.IsCacheLoaded(index_));
  EXPECT_TRUE(store_.variable_read_sizes.empty());
  EXPECT_EQ(cache().GetTotalSize(index_), 0u);
}

TEST_F(CacheLayerTest, FailedLoadPassesOnAndLeavesNothingBehind) {
  struct Fault {
    const char* name;
    bool fail_key_scan;
    int fail_variable_read_call;
  };
  const Fault faults[] = {{"key scan", true, -1},
                          {"first batch", false, 0},
                          {"third batch", false, 2}};
  store_.BatchPushItemsImpl(index_, Keys(2500), Rows(2500, 8));
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    store_.variable_read_sizes.clear();
    store_.fail_key_scan = fault.fail_key_scan;
    store_.fail_variable_read_call = fault.fail_variable_read_call;
    EXPECT_THROW(store_.EagerLoadCache(index_), std::runtime_error);
    EXPECT_FALSE(store_.IsCacheLoaded(index_));
    EXPECT_EQ(cache().GetTotalSize(index_), 0u);
    store_.BatchGetItems(index_, {1000});
    EXPECT_GT(store_.fixed_reads, 0u);
    store_.fixed_reads = 0;
  }
  store_.fail_key_scan = false;
  store_.fail_variable_read_call = -1;
  store_.EagerLoadCache(index_);
  EXPECT_TRUE(store_.IsCacheLoaded(index_));
  EXPECT_EQ(cache().GetTotalSize(index_), 2500u);
}

// A clear that arrives while another keystore fills the cache must win: the
// fill may not mark its copy loaded after part of it was dropped.
TEST_F(CacheLayerTest, ClearDuringAFillIsNotUndoneByIt) {
  store_.BatchPushItemsImpl(index_, Keys(2500), Rows(2500, 8));
  CountingKeystore other_client(BackingStoreType::VECTORS);
  other_client.EnableCache();
  std::thread clearer;
  std::atomic<bool> cleared{false};
  store_.before_variable_read = [&](size_t call) {
    if (call != 1) return;
    clearer = std::thread([&] {
      other_client.ClearCacheForIndex(index_);
      cleared = true;
    });
    // Give the clear every chance to slip in between two batches.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (!cleared && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
  };
  store_.EagerLoadCache(index_);
  clearer.join();
  EXPECT_FALSE(store_.IsCacheLoaded(index_));
  EXPECT_EQ(cache().GetTotalSize(index_), 0u);
}

TEST_F(CacheLayerTest, MapPushReachesTheCacheOnlyAfterTheStoreAcceptedIt) {
  const Bytes map(24, 5);
  store_.refuse_map_pushes = true;
  EXPECT_FALSE(store_.PushMap(index_, kMapKey, map.data(), map.size(), kVersionKey, 0));
  VersionedMap cached = cache().GetMapImpl(index_, kMapKey, kVersionKey);
  EXPECT_TRUE(cached.map.empty());
  EXPECT_EQ(cached.version, 0u);

  store_.refuse_map_pushes = false;
  EXPECT_TRUE(store_.PushMap(index_, kMapKey, map.data(), map.size(), kVersionKey, 0));
  cached = cache().GetMapImpl(index_, kMapKey, kVersionKey);
  EXPECT_EQ(RowOf(cached.map, 0), map);
  EXPECT_EQ(cached.version, 1u);
}

TEST_F(CacheLayerTest, GetMapReadsTheCacheOnlyWhenLoadedAndHoldingAMap) {
  store_.EagerLoadCache(index_);  // empty index: marked loaded, nothing copied
  ASSERT_TRUE(store_.IsCacheLoaded(index_));
  const Bytes stored(12, 3);
  StoreMapAt(index_, 5, stored);  // the store alone moves on
  const size_t before = store_.map_reads;
  VersionedMap read = store_.GetMap(index_, kMapKey, kVersionKey);
  EXPECT_EQ(read.version, 5u);
  EXPECT_EQ(store_.map_reads, before + 1);

  // Once the cache holds a map, the store is not asked.
  const Bytes cached(12, 8);
  ASSERT_TRUE(cache().PushMapImpl(index_, kMapKey, cached.data(), cached.size(), kVersionKey, 0));
  read = store_.GetMap(index_, kMapKey, kVersionKey);
  EXPECT_EQ(RowOf(read.map, 0), cached);
  EXPECT_EQ(read.version, 1u);
  EXPECT_EQ(store_.map_reads, before + 1);
}

TEST_F(CacheLayerTest, EagerLoadMapCacheTakesOnlyAMapOneVersionAhead) {
  const Bytes map(30, 4);
  StoreMapAt(index_, 1, map);
  StoreMapAt(other_index_, 5, map);
  store_.EagerLoadMapCache(index_, kMapKey, kVersionKey);
  store_.EagerLoadMapCache(other_index_, kMapKey, kVersionKey);

  VersionedMap taken = cache().GetMapImpl(index_, kMapKey, kVersionKey);
  EXPECT_EQ(RowOf(taken.map, 0), map);
  EXPECT_EQ(taken.version, 1u);
  VersionedMap left = cache().GetMapImpl(other_index_, kMapKey, kVersionKey);
  EXPECT_TRUE(left.map.empty());
  EXPECT_EQ(left.version, 0u);
}

TEST_F(CacheLayerTest, LoadedStateIsKeptPerIndex) {
  // The store holds items of index_ that never went through the cache.
  store_.BatchPushItemsImpl(index_, Keys(2), Rows(2, 8));
  store_.BatchPushItems(other_index_, Keys(2), Rows(2, 8));
  store_.EagerLoadCache(other_index_);
  ASSERT_TRUE(store_.IsCacheLoaded(other_index_));
  EXPECT_FALSE(store_.IsCacheLoaded(index_));

  // Loading another index must not send reads of index_ to the empty cache.
  EXPECT_EQ(RowOf(store_.BatchGetItems(index_, Keys(2)), 1), Bytes(8, 2));
  EXPECT_EQ(store_.fixed_reads, 1u);

  store_.EagerLoadCache(index_);
  store_.ClearCacheForIndex(index_);
  EXPECT_FALSE(store_.IsCacheLoaded(index_));
  EXPECT_TRUE(store_.IsCacheLoaded(other_index_));
  EXPECT_EQ(store_.GetTotalSize(index_), 2u);  // the store keeps its items
  EXPECT_EQ(RowOf(store_.BatchGetItems(index_, Keys(2)), 0), Bytes(8, 1));
  EXPECT_EQ(store_.fixed_reads, 2u);
  store_.BatchGetItems(other_index_, Keys(2));
  EXPECT_EQ(store_.fixed_reads, 2u);
}

TEST_F(CacheLayerTest, DeleteIndexEmptiesBothAndReadsGoBackToTheStore) {
  store_.BatchPushItems(index_, Keys(3), Rows(3, 8));
  store_.EagerLoadCache(index_);
  store_.DeleteIndex(index_);
  EXPECT_FALSE(store_.IsCacheLoaded(index_));
  EXPECT_EQ(store_.GetTotalSize(index_), 0u);
  EXPECT_EQ(cache().GetTotalSize(index_), 0u);

  store_.BatchPushItemsImpl(index_, Keys(1), Rows(1, 8));
  EXPECT_EQ(RowOf(store_.BatchGetItems(index_, Keys(1)), 0), Bytes(8, 1));
  EXPECT_EQ(store_.fixed_reads, 1u);
}

TEST_F(CacheLayerTest, DisableCacheDetachesButKeepsTheCachedData) {
  store_.BatchPushItems(index_, Keys(2), Rows(2, 8));
  store_.EagerLoadCache(index_);
  store_.DisableCache();
  EXPECT_FALSE(store_.IsCacheEnabled());
  EXPECT_FALSE(store_.IsCacheLoaded(index_));
  EXPECT_EQ(cache().GetTotalSize(index_), 2u);
  store_.BatchGetItems(index_, Keys(2));
  EXPECT_EQ(store_.fixed_reads, 1u);
}

TEST_F(CacheLayerTest, OneClientsClearReachesEveryKeystoreOfTheCache) {
  store_.BatchPushItems(index_, Keys(2), Rows(2, 8));
  store_.EagerLoadCache(index_);
  CountingKeystore second(BackingStoreType::VECTORS);
  second.EnableCache();
  second.BatchPushItemsImpl(index_, Keys(2), Rows(2, 8));
  second.EagerLoadCache(index_);
  ASSERT_TRUE(second.IsCacheLoaded(index_));

  // The other client drops the cache's copy: this keystore must not read the
  // now empty cache as if it still held the index.
  second.ClearCacheForIndex(index_);
  EXPECT_FALSE(store_.IsCacheLoaded(index_));
  EXPECT_EQ(RowOf(store_.BatchGetItems(index_, Keys(2)), 1), Bytes(8, 2));
  EXPECT_EQ(store_.fixed_reads, 1u);
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
