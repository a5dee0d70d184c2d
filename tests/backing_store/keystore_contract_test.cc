#include "backing_store/keystore_contract_test.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <latch>
#include <random>
#include <thread>

#include "backing_store/byte_rows.h"
#include "backing_store/item_bytes.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

uint64_t RandomId() {
  static std::mt19937_64 engine{std::random_device{}()};
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  return engine();
}

// `length` bytes that differ with `seed`.
Bytes Pattern(size_t length, uint8_t seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed * 31 + i * 7 + 1);
  return bytes;
}

std::vector<uint64_t> Sorted(std::vector<uint64_t> keys) {
  std::sort(keys.begin(), keys.end());
  return keys;
}

// Runs attempt(t) on threads t = 0 .. n - 1, released together; returns
// those whose attempt returned true.
std::vector<int> WinnersOf(int n, const std::function<bool(int)>& attempt) {
  std::mutex mutex;
  std::vector<int> winners;
  std::latch start(n);
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      if (!attempt(t)) return;
      std::lock_guard lock(mutex);
      winners.push_back(t);
    });
  }
  for (auto& thread : threads) thread.join();
  return winners;
}

const std::vector<BackingStoreType> kAllTypes = {
    BackingStoreType::INDEX,    BackingStoreType::CONFIG,   BackingStoreType::CONTENTS,
    BackingStoreType::VECTORS,  BackingStoreType::METADATA, BackingStoreType::ID};

}  // namespace

std::string KeystoreBackendName(const ::testing::TestParamInfo<KeystoreBackend>& info) {
  return info.param.name;
}

void KeystoreContractTest::SetUp() {
  index_ = RandomId();
  do {
    other_index_ = RandomId();
  } while (other_index_ - index_ < 16 || index_ - other_index_ < 16);
  config_prefix_ = "contract_" + std::to_string(RandomId()) + "_";
}

void KeystoreContractTest::TearDown() {
  for (auto& keystore : keystores_) {
    keystore->DeleteIndexImpl(index_);
    keystore->DeleteIndexImpl(other_index_);
    if (GetParam().keeps_config_items) {
      for (const std::string& name : config_names_) keystore->DeleteConfigItem(name);
    }
  }
  keystores_.clear();
}

Keystore& KeystoreContractTest::Make(BackingStoreType type) {
  keystores_.push_back(GetParam().make(type));
  return *keystores_.back();
}

std::string KeystoreContractTest::ConfigName(const std::string& suffix) {
  config_names_.push_back(config_prefix_ + suffix);
  return config_names_.back();
}

TEST_P(KeystoreContractTest, ReportsItsLocationAndStoreKind) {
  for (BackingStoreType type : kAllTypes) {
    Keystore& keystore = Make(type);
    EXPECT_EQ(keystore.GetBackingStoreType(), type);
    EXPECT_EQ(keystore.GetLocation(), GetParam().location);
  }
}

TEST_P(KeystoreContractTest, FixedItemsReadBackInKeyOrderWithZeroRowsForAbsentKeys) {
  Keystore& keystore = Make();
  EXPECT_EQ(keystore.GetValueSizeImpl(index_), kDefaultValueSize);
  const std::vector<uint64_t> keys = {5, 0xFFFFFFFFFFFFFFFFull, 77};
  keystore.BatchPushItemsImpl(index_, keys, Matrix({Pattern(8, 1), Pattern(8, 2), Pattern(8, 3)}));

  const auto rows = keystore.BatchGetItemsImpl(index_, {77, 1234, 5, 0xFFFFFFFFFFFFFFFFull});
  ASSERT_EQ(rows.rows, 4u);
  ASSERT_EQ(rows.cols, 8u);
  EXPECT_EQ(RowOf(rows, 0), Pattern(8, 3));
  EXPECT_EQ(RowOf(rows, 1), Bytes(8, 0));
  EXPECT_EQ(RowOf(rows, 2), Pattern(8, 1));
  EXPECT_EQ(RowOf(rows, 3), Pattern(8, 2));

  // Replacing, and reading through GetItem.
  keystore.BatchPushItemsImpl(index_, {5}, Matrix({Pattern(8, 9)}));
  EXPECT_EQ(OnlyRow(keystore.GetItem(index_, 5)), Pattern(8, 9));
  EXPECT_TRUE(keystore.GetItem(index_, 1234).empty());
  EXPECT_TRUE(keystore.GetItem(other_index_, 5).empty());

  EXPECT_EQ(keystore.GetTotalSize(index_), 3u);
  EXPECT_EQ(Sorted(keystore.GetAllKeys(index_)), Sorted(keys));
  EXPECT_EQ(keystore.GetTotalSize(other_index_), 0u);
  EXPECT_TRUE(keystore.GetAllKeys(other_index_).empty());

  EXPECT_TRUE(keystore.BatchGetItemsImpl(index_, {}).empty());
  const auto absent = keystore.BatchGetItemsImpl(other_index_, {1, 2});
  ASSERT_EQ(absent.rows, 2u);
  EXPECT_EQ(RowOf(absent, 1), Bytes(8, 0));
}

TEST_P(KeystoreContractTest, BatchPushArgumentErrorsStoreNothing) {
  Keystore& keystore = Make();
  const std::function<void()> pushes_without_keys[] = {
      [&] { keystore.BatchPushItemsImpl(index_, {}, {}); },
      [&] { keystore.BatchPushVariableImpl(index_, {}, {}); }};
  for (const auto& push : pushes_without_keys) {
    try {
      push();
      ADD_FAILURE() << "no keys were accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "No keys provided for batch insertion");
    }
  }
  EXPECT_THROW(keystore.BatchPushItemsImpl(index_, {1, 2}, Matrix({Pattern(8, 1), Pattern(8, 2),
                                                                  Pattern(8, 3)})),
               std::invalid_argument);
  EXPECT_THROW(keystore.BatchPushItemsImpl(index_, {1, 2, 3}, Matrix({Pattern(8, 1)})),
               std::invalid_argument);
  // The variable push may report the mismatch as either kind of failure.
  EXPECT_THROW(keystore.BatchPushVariableImpl(index_, {1, 2}, {Pattern(3, 1)}), std::exception);
  EXPECT_EQ(keystore.GetTotalSize(index_), 0u);
}

TEST_P(KeystoreContractTest, VariableItemsKeepTheirLengths) {
  Keystore& keystore = Make();
  keystore.BatchPushVariable(index_, {1, 2, 3}, {Pattern(1, 1), Pattern(5, 2), Pattern(300, 3)});
  auto values = keystore.BatchGetVariableImpl(index_, {3, 99, 1, 2});
  ASSERT_EQ(values.size(), 4u);
  EXPECT_EQ(values[0], Pattern(300, 3));
  EXPECT_TRUE(values[1].empty());
  EXPECT_EQ(values[2], Pattern(1, 1));
  EXPECT_EQ(values[3], Pattern(5, 2));

  keystore.BatchPushVariableImpl(index_, {2}, {Pattern(40, 7)});
  EXPECT_EQ(OnlyRow(keystore.GetItem(index_, 2)), Pattern(40, 7));

  // An empty value under a new key reads as nothing stored (whether the
  // keystore stores it or skips it).
  keystore.BatchPushVariableImpl(index_, {4}, {Bytes{}});
  EXPECT_TRUE(keystore.BatchGetVariableImpl(index_, {4})[0].empty());

  EXPECT_TRUE(keystore.BatchGetVariableImpl(index_, {}).empty());
  auto absent = keystore.BatchGetVariableImpl(other_index_, {1, 2});
  ASSERT_EQ(absent.size(), 2u);
  EXPECT_TRUE(absent[0].empty() && absent[1].empty());
}

TEST_P(KeystoreContractTest, LargeBatchesKeepKeyOrder) {
  Keystore& keystore = Make();
  constexpr size_t kCount = 1500;
  std::vector<uint64_t> keys(kCount);
  std::vector<Bytes> fixed(kCount);
  std::vector<Bytes> variable(kCount);
  for (size_t i = 0; i < kCount; ++i) {
    keys[i] = 0x9E3779B97F4A7C15ull * (i + 1);
    fixed[i] = Pattern(8, static_cast<uint8_t>(i));
    variable[i] = Pattern(1 + i % 50, static_cast<uint8_t>(i + 3));
  }
  keystore.BatchPushItemsImpl(index_, keys, Matrix(fixed));
  keystore.BatchPushVariableImpl(other_index_, keys, variable);

  std::vector<size_t> order(kCount);
  for (size_t i = 0; i < kCount; ++i) order[i] = (i * 7919) % kCount;
  std::vector<uint64_t> shuffled(kCount);
  for (size_t i = 0; i < kCount; ++i) shuffled[i] = keys[order[i]];

  const auto rows = keystore.BatchGetItemsImpl(index_, shuffled);
  const auto values = keystore.BatchGetVariableImpl(other_index_, shuffled);
  ASSERT_EQ(rows.rows, kCount);
  ASSERT_EQ(values.size(), kCount);
  for (size_t i = 0; i < kCount; ++i) {
    ASSERT_EQ(RowOf(rows, i), fixed[order[i]]) << "position " << i;
    ASSERT_EQ(values[i], variable[order[i]]) << "position " << i;
  }
  EXPECT_EQ(keystore.GetTotalSize(index_), kCount);
}

TEST_P(KeystoreContractTest, ValueSizeIsKeptPerIndex) {
  Keystore& keystore = Make();
  keystore.SetValueSizeImpl(index_, 16);
  keystore.SetValueSizeImpl(other_index_, 4);
  EXPECT_EQ(keystore.GetValueSizeImpl(index_), 16u);
  EXPECT_EQ(keystore.GetValueSizeImpl(other_index_), 4u);
  EXPECT_EQ(keystore.GetValueSizeImpl(index_ + 1000), kDefaultValueSize);

  keystore.BatchPushItemsImpl(index_, {1, 2}, Matrix({Pattern(16, 1), Pattern(16, 2)}));
  keystore.BatchPushItemsImpl(other_index_, {1, 2}, Matrix({Pattern(4, 3), Pattern(4, 4)}));
  // Values of another width in the same index: a short and a long one.
  keystore.BatchPushVariableImpl(index_, {3, 4}, {Pattern(12, 5), Pattern(20, 6)});

  const auto wide = keystore.BatchGetItemsImpl(index_, {2, 1, 3, 4});
  ASSERT_EQ(wide.cols, 16u);
  EXPECT_EQ(RowOf(wide, 0), Pattern(16, 2));
  EXPECT_EQ(RowOf(wide, 1), Pattern(16, 1));
  EXPECT_EQ(RowOf(wide, 2), Bytes(16, 0));
  EXPECT_EQ(RowOf(wide, 3), Bytes(16, 0));

  const auto narrow = keystore.BatchGetItemsImpl(other_index_, {1, 2});
  ASSERT_EQ(narrow.cols, 4u);
  EXPECT_EQ(RowOf(narrow, 0), Pattern(4, 3));
  EXPECT_EQ(RowOf(narrow, 1), Pattern(4, 4));
}

// A store that hands records over in place hands exactly what BatchGetItems
// reads (null for a missing key or a value of another size), once per key,
// on the calling thread; any other store visits nothing.
TEST_P(KeystoreContractTest, VisitedRecordsAreTheRowsBatchGetItemsReads) {
  Keystore& keystore = Make();
  keystore.SetValueSizeImpl(index_, 16);
  constexpr size_t kCount = 3000;  // past the in-process store's team threshold
  std::vector<uint64_t> keys(kCount);
  std::vector<Bytes> rows(kCount);
  for (size_t i = 0; i < kCount; ++i) {
    keys[i] = 0x9E3779B97F4A7C15ull * (i + 1);
    rows[i] = Pattern(16, static_cast<uint8_t>(i));
  }
  keystore.BatchPushItemsImpl(index_, keys, Matrix(rows));
  keystore.BatchPushVariableImpl(index_, {keys[1]}, {Pattern(12, 5)});  // another size
  std::vector<uint64_t> asked = keys;
  asked.push_back(12345);  // never stored
  asked.push_back(keys[0]);  // asked twice
  std::vector<Bytes> seen(asked.size());
  std::vector<int> visits(asked.size(), 0);
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<size_t> elsewhere{0};
  const bool visited =
      keystore.VisitItemsImpl(index_, asked, [&](size_t i, const uint8_t* record) {
        if (std::this_thread::get_id() != caller) ++elsewhere;
        ++visits[i];
        seen[i] = record != nullptr ? Bytes(record, record + 16) : Bytes(16, 0);
      });
  if (!visited) {
    EXPECT_EQ(std::count(visits.begin(), visits.end(), 0), static_cast<long>(asked.size()));
    return;
  }
  EXPECT_EQ(elsewhere.load(), 0u);
  const auto read = keystore.BatchGetItemsImpl(index_, asked);
  for (size_t i = 0; i < asked.size(); ++i) {
    ASSERT_EQ(visits[i], 1) << "position " << i;
    ASSERT_EQ(seen[i], RowOf(read, i)) << "position " << i;
  }
  EXPECT_EQ(seen[1], Bytes(16, 0));
  EXPECT_EQ(seen[kCount], Bytes(16, 0));
}

TEST_P(KeystoreContractTest, SingleItemsAndDeletion) {
  Keystore& keystore = Make();
  keystore.PushItem(index_, 10, Pattern(5, 1).data(), 5);
  keystore.PushItem(index_, 11, Pattern(7, 2).data(), 7);
  keystore.PushItem(index_, 12, Pattern(9, 3).data(), 9);
  keystore.PushItem(index_, 10, Pattern(3, 4).data(), 3);
  EXPECT_EQ(OnlyRow(keystore.GetItem(index_, 10)), Pattern(3, 4));
  EXPECT_EQ(keystore.GetTotalSize(index_), 3u);

  keystore.DeleteItem(index_, 11);
  keystore.DeleteItem(index_, 404);
  keystore.DeleteItem(other_index_, 10);
  EXPECT_TRUE(keystore.GetItem(index_, 11).empty());
  EXPECT_EQ(keystore.GetTotalSize(index_), 2u);

  keystore.BatchDeleteItems(index_, {10, 405});
  keystore.BatchDeleteItemsImpl(index_, {});
  keystore.BatchDeleteItemsImpl(other_index_, {10});
  EXPECT_EQ(keystore.GetAllKeys(index_), std::vector<uint64_t>{12});
  EXPECT_EQ(OnlyRow(keystore.GetItem(index_, 12)), Pattern(9, 3));
}

TEST_P(KeystoreContractTest, VersionedMapIsCompareAndSet) {
  Keystore& keystore = Make(BackingStoreType::INDEX);
  constexpr uint64_t kMapKey = 0xFFFFFFFFFFFFFFFFull;
  constexpr uint64_t kVersionKey = 42;
  VersionedMap absent = keystore.GetMapImpl(index_, kMapKey, kVersionKey);
  EXPECT_TRUE(absent.map.empty());
  EXPECT_EQ(absent.version, 0u);

  const Bytes a = Pattern(100, 1), b = Pattern(60, 2), c = Pattern(130, 3);
  EXPECT_TRUE(keystore.PushMapImpl(index_, kMapKey, a.data(), a.size(), kVersionKey, 0));
  EXPECT_FALSE(keystore.PushMapImpl(index_, kMapKey, b.data(), b.size(), kVersionKey, 0));
  EXPECT_FALSE(keystore.PushMapImpl(index_, kMapKey, b.data(), b.size(), kVersionKey, 5));
  VersionedMap first = keystore.GetMapImpl(index_, kMapKey, kVersionKey);
  EXPECT_EQ(OnlyRow(first.map), a);
  EXPECT_EQ(first.version, 1u);

  EXPECT_TRUE(keystore.PushMapImpl(index_, kMapKey, c.data(), c.size(), kVersionKey, 1));
  VersionedMap second = keystore.GetMapImpl(index_, kMapKey, kVersionKey);
  EXPECT_EQ(OnlyRow(second.map), c);
  EXPECT_EQ(second.version, 2u);

  // Another index keeps its own map and version.
  VersionedMap other = keystore.GetMapImpl(other_index_, kMapKey, kVersionKey);
  EXPECT_TRUE(other.map.empty());
  EXPECT_EQ(other.version, 0u);
  EXPECT_TRUE(keystore.PushMap(other_index_, kMapKey, b.data(), b.size(), kVersionKey, 0));
  EXPECT_EQ(keystore.GetMap(other_index_, kMapKey, kVersionKey).version, 1u);
  EXPECT_EQ(keystore.GetMapImpl(index_, kMapKey, kVersionKey).version, 2u);
}

TEST_P(KeystoreContractTest, ConcurrentMapPushesHaveExactlyOneWinnerPerVersion) {
  if (!GetParam().concurrent_use) GTEST_SKIP() << "used by one thread at a time";
  constexpr int kThreads = 8;
  constexpr uint64_t kMapKey = 7, kVersionKey = 42;
  std::vector<Keystore*> keystores;
  for (int t = 0; t < kThreads; ++t) keystores.push_back(&Make(BackingStoreType::INDEX));
  const Bytes seed = Pattern(16, 0);
  ASSERT_TRUE(keystores[0]->PushMapImpl(index_, kMapKey, seed.data(), seed.size(), kVersionKey, 0));

  const std::vector<int> winners = WinnersOf(kThreads, [&](int t) {
    const Bytes mine = Pattern(16, static_cast<uint8_t>(t + 1));
    return keystores[t]->PushMapImpl(index_, kMapKey, mine.data(), mine.size(), kVersionKey, 1);
  });
  EXPECT_EQ(winners.size(), 1u);
  VersionedMap result = keystores[0]->GetMapImpl(index_, kMapKey, kVersionKey);
  EXPECT_EQ(result.version, 2u);
  ASSERT_EQ(result.map.cols, 16u);
  EXPECT_NE(OnlyRow(result.map), seed);
}

TEST_P(KeystoreContractTest, ConfigItemsAreNamedAndIndependentOfIndexes) {
  if (!GetParam().keeps_config_items) GTEST_SKIP() << "keeps no config items";
  Keystore& keystore = Make(BackingStoreType::CONFIG);
  const std::string name = ConfigName("idx.nvs");
  EXPECT_FALSE(keystore.ConfigItemExists(name));
  keystore.PushConfigItem(name, Pattern(33, 1).data(), 33);
  EXPECT_TRUE(keystore.ConfigItemExists(name));
  EXPECT_EQ(OnlyRow(keystore.LoadConfigItem(name)), Pattern(33, 1));

  keystore.PushConfigItem(name, Pattern(5, 2).data(), 5);
  EXPECT_EQ(OnlyRow(keystore.LoadConfigItem(name)), Pattern(5, 2));

  // Another keystore of the location sees the same namespace.
  Keystore& second = Make(BackingStoreType::CONFIG);
  EXPECT_TRUE(second.ConfigItemExists(name));

  keystore.DeleteIndexImpl(index_);
  EXPECT_TRUE(keystore.ConfigItemExists(name));
  keystore.DeleteConfigItem(name);
  EXPECT_FALSE(keystore.ConfigItemExists(name));
  keystore.DeleteConfigItem(ConfigName("never_stored"));
}

TEST_P(KeystoreContractTest, ConfigItemIfAbsentNeverReplacesAnItem) {
  Keystore& keystore = Make(BackingStoreType::CONFIG);
  const std::string name = ConfigName("claimed.nei");
  if (!GetParam().keeps_config_items) {
    // Nothing is kept, so no name is ever taken.
    EXPECT_TRUE(keystore.PushConfigItemIfAbsent(name, Pattern(9, 1).data(), 9));
    EXPECT_TRUE(keystore.PushConfigItemIfAbsent(name, Pattern(9, 2).data(), 9));
    EXPECT_FALSE(keystore.ConfigItemExists(name));
    return;
  }
  EXPECT_TRUE(keystore.PushConfigItemIfAbsent(name, Pattern(9, 1).data(), 9));
  EXPECT_FALSE(keystore.PushConfigItemIfAbsent(name, Pattern(4, 2).data(), 4));
  EXPECT_FALSE(Make(BackingStoreType::CONFIG).PushConfigItemIfAbsent(name, Pattern(4, 3).data(), 4));
  EXPECT_EQ(OnlyRow(keystore.LoadConfigItem(name)), Pattern(9, 1));
  // An item stored by a plain push counts as taken too.
  const std::string pushed = ConfigName("pushed.nei");
  keystore.PushConfigItem(pushed, Pattern(5, 4).data(), 5);
  EXPECT_FALSE(keystore.PushConfigItemIfAbsent(pushed, Pattern(5, 5).data(), 5));
  EXPECT_EQ(OnlyRow(keystore.LoadConfigItem(pushed)), Pattern(5, 4));
  // A deleted name is free again.
  keystore.DeleteConfigItem(name);
  EXPECT_TRUE(keystore.PushConfigItemIfAbsent(name, Pattern(7, 6).data(), 7));
  EXPECT_EQ(OnlyRow(keystore.LoadConfigItem(name)), Pattern(7, 6));
}

TEST_P(KeystoreContractTest, ConcurrentConfigClaimsHaveExactlyOneWinner) {
  if (!GetParam().keeps_config_items) GTEST_SKIP() << "keeps no config items";
  if (!GetParam().concurrent_use) GTEST_SKIP() << "used by one thread at a time";
  constexpr int kThreads = 8;
  constexpr int kRounds = 5;
  std::vector<Keystore*> keystores;
  for (int t = 0; t < kThreads; ++t) keystores.push_back(&Make(BackingStoreType::CONFIG));
  for (int round = 0; round < kRounds; ++round) {
    const std::string name = ConfigName("race" + std::to_string(round) + ".nei");
    const std::vector<int> winners = WinnersOf(kThreads, [&](int t) {
      const Bytes mine = Pattern(12, static_cast<uint8_t>(t + 1));
      return keystores[t]->PushConfigItemIfAbsent(name, mine.data(), mine.size());
    });
    ASSERT_EQ(winners.size(), 1u) << "round " << round;
    EXPECT_EQ(OnlyRow(keystores[0]->LoadConfigItem(name)),
              Pattern(12, static_cast<uint8_t>(winners[0] + 1)));
  }
}

TEST_P(KeystoreContractTest, DeleteIndexRemovesOneStoreOfOneIndex) {
  Keystore& vectors = Make(BackingStoreType::VECTORS);
  Keystore& index_store = Make(BackingStoreType::INDEX);
  const Bytes map = Pattern(20, 1);
  for (Keystore* keystore : {&vectors, &index_store}) {
    keystore->BatchPushItemsImpl(index_, {1, 2}, Matrix({Pattern(8, 1), Pattern(8, 2)}));
    keystore->PushMapImpl(index_, 100, map.data(), map.size(), 42, 0);
  }
  vectors.BatchPushItemsImpl(other_index_, {1}, Matrix({Pattern(8, 3)}));

  vectors.DeleteIndexImpl(index_);
  EXPECT_EQ(vectors.GetTotalSize(index_), 0u);
  EXPECT_TRUE(vectors.GetItem(index_, 1).empty());
  VersionedMap gone = vectors.GetMapImpl(index_, 100, 42);
  EXPECT_TRUE(gone.map.empty());
  EXPECT_EQ(gone.version, 0u);
  EXPECT_EQ(OnlyRow(vectors.GetItem(other_index_, 1)), Pattern(8, 3));
  EXPECT_EQ(OnlyRow(index_store.GetItem(index_, 2)), Pattern(8, 2));
  EXPECT_EQ(index_store.GetMapImpl(index_, 100, 42).version, 1u);

  // The index can be written again at once, its map starting over.
  vectors.BatchPushItemsImpl(index_, {5}, Matrix({Pattern(8, 5)}));
  EXPECT_EQ(vectors.GetTotalSize(index_), 1u);
  EXPECT_TRUE(vectors.PushMapImpl(index_, 100, map.data(), map.size(), 42, 0));
  vectors.DeleteIndexImpl(other_index_ + 1000);  // never written: no failure
}

TEST_P(KeystoreContractTest, StoreKindsOfOneIndexStayApart) {
  Keystore& index_store = Make(BackingStoreType::INDEX);
  Keystore& id_store = Make(BackingStoreType::ID);
  index_store.PushItem(index_, 1, Pattern(4, 1).data(), 4);
  id_store.PushItem(index_, 1, Pattern(6, 2).data(), 6);
  EXPECT_EQ(OnlyRow(index_store.GetItem(index_, 1)), Pattern(4, 1));
  EXPECT_EQ(OnlyRow(id_store.GetItem(index_, 1)), Pattern(6, 2));
  EXPECT_EQ(index_store.GetTotalSize(index_), 1u);
  EXPECT_EQ(id_store.GetTotalSize(index_), 1u);
}

}  // namespace nivora_encrypted_index::internal::backing_store::testing
