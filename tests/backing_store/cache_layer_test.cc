// The cache layer of Keystore in front of a keystore that reports an external
// location, so that it gets the process-wide cache of its store kind.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "backing_store/byte_rows.h"
#include "backing_store/counting_keystore.h"
#include "backing_store/log_capture.h"
#include "backing_store/thread_safe_memory_keystore.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {



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

  // An index already loaded is not copied again: by this keystore, or by
  // another client's keystore of the same location and kind.
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

// ---- Every stored item reads back with its newest value ------------------

// Writes through the cache layer of one keystore and keeps what the store
// must hold, so that after a fill the cache can be compared with it.
class NewestValueTest : public CacheLayerTest {
 public:  // for the case tables' lambdas
  using CacheLayerTest::index_;
  using CacheLayerTest::store_;

  void Write(Keystore& via, const std::vector<uint64_t>& keys, uint8_t fill) {
    via.BatchPushItems(index_, keys, Same(keys.size(), fill));
    for (uint64_t key : keys) expected_[key] = Bytes(8, fill);
  }
  void Delete(Keystore& via, const std::vector<uint64_t>& keys) {
    via.BatchDeleteItems(index_, keys);
    for (uint64_t key : keys) expected_[key] = Bytes(8, 0);  // a zero row: absent
  }
  // Items put into the store alone, as another process would.
  void StoreOnly(const std::vector<uint64_t>& keys, uint8_t fill) {
    store_.BatchPushItemsImpl(index_, keys, Same(keys.size(), fill));
    for (uint64_t key : keys) expected_[key] = Bytes(8, fill);
  }
  // Loads the index and reads every key ever touched from the cache alone.
  void ExpectNewestFromTheCache(size_t other_items = 0) {
    store_.fail_key_scan = false;
    store_.fail_variable_read_call = -1;
    store_.EagerLoadCache(index_);
    ASSERT_TRUE(store_.IsCacheLoaded(index_));
    std::vector<uint64_t> keys;
    for (const auto& [key, value] : expected_) keys.push_back(key);
    const size_t store_reads = store_.fixed_reads;
    const auto rows = store_.BatchGetItems(index_, keys);
    EXPECT_EQ(store_.fixed_reads, store_reads) << "read the store, not the cache";
    for (size_t i = 0; i < keys.size(); ++i) {
      EXPECT_EQ(RowOf(rows, i), expected_[keys[i]]) << "key " << keys[i];
    }
    // Absent keys are absent from the cache, not stored as zeros.
    size_t present = 0;
    for (const auto& [key, value] : expected_) present += value != Bytes(8, 0);
    EXPECT_EQ(cache().GetTotalSize(index_), present + other_items);
  }
  static nivora::Array2D<unsigned char> Same(size_t n, uint8_t fill) {
    nivora::Array2D<unsigned char> m(n, 8);
    std::fill(m.data, m.data + m.size(), fill);
    return m;
  }

  std::map<uint64_t, Bytes> expected_;
};

TEST_F(NewestValueTest, SequentialCases) {
  struct Case {
    const char* name;
    std::function<void(NewestValueTest&)> before_load;
  };
  const Case cases[] = {
      {"enable on an index with stored items, then write through",
       [](NewestValueTest& t) {
         t.StoreOnly(Keys(1500), 1);
         t.Write(t.store_, {1000, 5000}, 2);
         t.Delete(t.store_, {1001});
       }},
      {"a failed fill, then write-throughs",
       [](NewestValueTest& t) {
         t.StoreOnly(Keys(2500), 1);
         t.store_.fail_variable_read_call = 1;
         EXPECT_THROW(t.store_.EagerLoadCache(t.index_), std::runtime_error);
         t.Write(t.store_, {1000, 3000, 9000}, 3);
         t.Delete(t.store_, {1002});
       }},
      {"a failed key scan, then write-throughs",
       [](NewestValueTest& t) {
         t.StoreOnly(Keys(10), 1);
         t.store_.fail_key_scan = true;
         EXPECT_THROW(t.store_.EagerLoadCache(t.index_), std::runtime_error);
         t.Write(t.store_, {1003}, 4);
       }},
      {"loaded, cleared (as a payload-size change does), written, loaded again",
       [](NewestValueTest& t) {
         t.StoreOnly(Keys(20), 1);
         t.store_.EagerLoadCache(t.index_);
         t.store_.ClearCacheForIndex(t.index_);
         t.Write(t.store_, {1004, 7000}, 5);
       }},
      {"written elsewhere after a clear, stale write-throughs left in the cache",
       [](NewestValueTest& t) {
         t.Write(t.store_, Keys(5), 6);
         t.store_.BatchDeleteItemsImpl(t.index_, {1000});  // another process deletes
         t.expected_[1000] = Bytes(8, 0);
         t.StoreOnly({1001}, 7);  // and updates
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_.DeleteIndex(index_);
    store_.variable_read_sizes.clear();
    expected_.clear();
    c.before_load(*this);
    ExpectNewestFromTheCache();
  }
}

// A write-through or delete that lands after the fill read a batch, and
// before the fill put it into the cache, wins over the fill's older copy:
// made by this keystore, or by another client's keystore of the same store
// on another thread.
TEST_F(NewestValueTest, WritesAndDeletesDuringAFillWin) {
  struct Case {
    const char* name;
    bool from_another_thread;
  };
  const Case cases[] = {{"same thread", false}, {"another client on another thread", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_.DeleteIndex(index_);
    store_.variable_read_sizes.clear();
    expected_.clear();
    StoreOnly(Keys(2500), 1);
    bool raced = false;
    nivora_test::ForwardingKeystore other_client(store_, nivora::Location::ROCKSDB);
    other_client.EnableCache();
    ASSERT_EQ(other_client.GetCache(), cache_);
    store_.after_variable_read = [&](size_t call, const std::vector<uint64_t>& read) {
      if (call != 1) return;  // the second batch has just been read
      raced = true;
      auto race = [&] {
        Write(other_client, {read[0], read[1]}, 9);
        Delete(other_client, {read[2], read[3]});
        Write(other_client, {8000}, 9);                // new
        const Bytes map(12, 7);
        ASSERT_TRUE(other_client.PushMap(index_, kMapKey, map.data(), map.size(), kVersionKey, 0));
      };
      if (c.from_another_thread) {
        std::thread(race).join();
      } else {
        race();
      }
    };
    store_.EagerLoadCache(index_);
    store_.after_variable_read = nullptr;
    ASSERT_TRUE(raced);
    ExpectNewestFromTheCache(2);  // and the map's two items
    const VersionedMap map = cache().GetMapImpl(index_, kMapKey, kVersionKey);
    EXPECT_EQ(map.version, 1u);
    EXPECT_EQ(RowOf(map.map, 0), Bytes(12, 7));
  }
}

// Writers keep changing items of a shared store while it is filled into the
// cache and cleared again; afterwards the cache holds what the store holds.
TEST(CacheFillRaceTest, ConcurrentWritersAndFillsAgree) {
  LogCapture log;
  nivora::DBConfig config = ConfigAt(nivora::Location::THREADSAFEMEMORY);
  ThreadSafeMemoryKeystore shared(config, BackingStoreType::ID);
  nivora_test::ForwardingKeystore filler(shared, nivora::Location::POSTGRES, "fill race");
  const uint64_t index = RandomId();
  constexpr size_t kItems = 3000;
  filler.BatchPushItemsImpl(index, Keys(kItems), Rows(kItems, 8));
  filler.EnableCache();

  constexpr int kWriters = 3;
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      nivora_test::ForwardingKeystore client(shared, nivora::Location::POSTGRES, "fill race");
      client.EnableCache();
      std::mt19937_64 random(static_cast<uint64_t>(w) + 1);
      for (int round = 0; round < 300 && !stop; ++round) {
        // Each writer owns every kWriters-th key, so each key has one writer.
        std::vector<uint64_t> keys;
        for (int k = 0; k < 20; ++k) {
          keys.push_back(1000 + (random() % (kItems / kWriters)) * kWriters + w);
        }
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        if (round % 4 == 3) {
          client.BatchDeleteItems(index, keys);
        } else {
          nivora::Array2D<unsigned char> values(keys.size(), 8);
          std::fill(values.data, values.data + values.size(), static_cast<uint8_t>(round));
          client.BatchPushItems(index, keys, values);
        }
      }
    });
  }
  for (int fill = 0; fill < 5; ++fill) {
    filler.EagerLoadCache(index);
    if (fill < 4) filler.ClearCacheForIndex(index);
  }
  stop = true;
  for (auto& writer : writers) writer.join();

  ASSERT_TRUE(filler.IsCacheLoaded(index));
  std::vector<uint64_t> keys = filler.GetAllKeys(index);
  Keystore* cache = filler.GetCache();
  EXPECT_EQ(cache->GetTotalSize(index), keys.size());
  const auto from_store = filler.BatchGetVariableImpl(index, keys);
  const auto from_cache = cache->BatchGetVariableImpl(index, keys);
  EXPECT_EQ(from_cache, from_store);
  filler.DeleteIndex(index);
}

// Refills at changing marks, re-marks and mark checks from several threads:
// a copy is current only at the mark of its last refill or re-mark, and a
// refill at a mark the copy has already is no refill.
TEST(CacheMarkTest, RefillsAndReMarksFromSeveralThreads) {
  LogCapture log;
  nivora::DBConfig config = ConfigAt(nivora::Location::THREADSAFEMEMORY);
  ThreadSafeMemoryKeystore shared(config, BackingStoreType::ID);
  nivora_test::ForwardingKeystore store(shared, nivora::Location::POSTGRES, "marks");
  const uint64_t index = RandomId();
  store.BatchPushItemsImpl(index, Keys(200), Rows(200, 8));
  store.EnableCache();
  EXPECT_FALSE(store.IsCacheCurrent(index, {0, 0}));

  std::vector<std::thread> threads;
  for (uint64_t t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      nivora_test::ForwardingKeystore client(shared, nivora::Location::POSTGRES, "marks");
      client.EnableCache();
      for (uint64_t round = 0; round < 50; ++round) {
        const CacheMark mark{round, t + 1};
        client.RefillCache(index, mark);
        client.AdvanceCacheMark(index, mark, {round + 1, t + 1});
        client.BatchPushItems(index, {1000 + t}, Rows(1, 8));
        static_cast<void>(client.IsCacheCurrent(index, mark));
      }
    });
  }
  for (auto& thread : threads) thread.join();

  store.RefillCache(index, {7, 7});
  EXPECT_TRUE(store.IsCacheCurrent(index, {7, 7}));
  EXPECT_FALSE(store.IsCacheCurrent(index, {7, 8}));
  store.AdvanceCacheMark(index, {6, 6}, {8, 8});  // not the copy's mark: nothing
  EXPECT_TRUE(store.IsCacheCurrent(index, {7, 7}));
  store.AdvanceCacheMark(index, {7, 7}, {8, 8});
  EXPECT_TRUE(store.IsCacheCurrent(index, {8, 8}));
  const std::vector<uint64_t> keys = store.GetAllKeys(index);
  EXPECT_EQ(store.GetCache()->BatchGetVariableImpl(index, keys),
            store.BatchGetVariableImpl(index, keys));
  store.ClearCacheForIndex(index);
  EXPECT_FALSE(store.IsCacheCurrent(index, {8, 8}));
  store.DeleteIndex(index);
}

TEST(CacheLocationsTest, TwoLocationsWithOneIndexIdStayApart) {
  LogCapture log;
  CountingKeystore first(BackingStoreType::METADATA, nivora::Location::ROCKSDB, "/data/one");
  CountingKeystore second(BackingStoreType::METADATA, nivora::Location::ROCKSDB, "/data/two");
  const uint64_t index = RandomId();
  first.EnableCache();
  second.EnableCache();
  first.BatchPushVariable(index, {1, 2}, {Bytes(4, 1), Bytes(4, 1)});
  second.BatchPushVariable(index, {1}, {Bytes(4, 2)});
  first.EagerLoadCache(index);
  second.EagerLoadCache(index);
  ASSERT_TRUE(first.IsCacheLoaded(index));
  ASSERT_TRUE(second.IsCacheLoaded(index));
  const auto a = first.BatchGetVariable(index, {1, 2});
  const auto b = second.BatchGetVariable(index, {1, 2});
  EXPECT_EQ(a, (std::vector<Bytes>{Bytes(4, 1), Bytes(4, 1)}));
  EXPECT_EQ(b, (std::vector<Bytes>{Bytes(4, 2), Bytes()}));
  EXPECT_TRUE(first.variable_read_sizes.size() == 1 && second.variable_read_sizes.size() == 1);
  // Deleting one location's index leaves the other's cache as it was.
  first.DeleteIndex(index);
  EXPECT_TRUE(second.IsCacheLoaded(index));
  EXPECT_EQ(second.GetCache()->GetTotalSize(index), 1u);
  second.DeleteIndex(index);
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
