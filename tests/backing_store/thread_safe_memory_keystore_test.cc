// ThreadSafeMemoryKeystore beyond the shared contract: its process-wide
// tables, its few log lines, and what it promises to concurrent callers.
#include "backing_store/thread_safe_memory_keystore.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <latch>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "backing_store/item_bytes.h"
#include "backing_store/log_capture.h"
#include "backing_store/store_config.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

using Bytes = std::vector<uint8_t>;

uint64_t RandomId() {
  static std::mt19937_64 engine{std::random_device{}()};
  return engine();
}

class ThreadSafeMemoryKeystoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<ThreadSafeMemoryKeystore> Make(BackingStoreType type) {
    return std::make_unique<ThreadSafeMemoryKeystore>(config_, type);
  }
  void TearDown() override {
    for (auto type : {BackingStoreType::INDEX, BackingStoreType::VECTORS}) {
      Make(type)->DeleteIndexImpl(index_);
    }
  }

  LogCapture log_;
  nivora::DBConfig config_ = ConfigAt(nivora::Location::THREADSAFEMEMORY);
  uint64_t index_ = RandomId();
};

TEST_F(ThreadSafeMemoryKeystoreTest, LogsOnlyItsConstructionAndItsFailures) {
  auto store = Make(BackingStoreType::VECTORS);
  EXPECT_EQ(log_.Take(), std::vector<std::string>{"[INFO] ThreadSafeMemoryKeystore constructor called"});

  struct Failure {
    const char* name;
    std::function<void()> action;
    std::string line;
    bool invalid_argument;
    std::string what;
  };
  const Failure failures[] = {
      {"no keys", [&] { store->BatchPushItemsImpl(index_, {}, {}); },
       "[ERROR] No keys provided for batch insertion", true, "No keys provided for batch insertion"},
      {"no variable keys", [&] { store->BatchPushVariableImpl(index_, {}, {}); },
       "[ERROR] No keys provided for batch insertion", true, "No keys provided for batch insertion"},
      {"rows", [&] { store->BatchPushItemsImpl(index_, {1, 2}, {3, 8}); },
       "[ERROR] Keys and values sizes do not match in BatchPushItems", true,
       "Keys and values sizes do not match"},
      {"values", [&] { store->BatchPushVariableImpl(index_, {1, 2}, {Bytes(1)}); },
       "[ERROR] Keys and values sizes do not match in BatchPushVariable", true,
       "Keys and values sizes do not match"},
      {"value size 0",
       [&] {
         store->SetValueSizeImpl(index_, 0);
         store->BatchGetItemsImpl(index_, {1});
       },
       "[ERROR] Value size not set in BatchGetItems", false, "Value size not set"},
  };
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.name);
    try {
      f.action();
      ADD_FAILURE() << "nothing thrown";
    } catch (const std::invalid_argument& e) {
      EXPECT_TRUE(f.invalid_argument);
      EXPECT_EQ(e.what(), f.what);
    } catch (const std::runtime_error& e) {
      EXPECT_FALSE(f.invalid_argument);
      EXPECT_EQ(e.what(), f.what);
    }
    EXPECT_EQ(log_.Take(), std::vector<std::string>{f.line});
  }

  // Everything else is silent, absent data included.
  store->SetValueSizeImpl(index_, 8);
  const Bytes value(8, 1);
  store->PushItem(index_, 1, value.data(), value.size());
  store->BatchGetItemsImpl(index_, {1, 2});
  store->GetMapImpl(index_ + 1, 1, 2);
  store->LoadConfigItem("never stored");
  store->DeleteIndexImpl(index_);
  EXPECT_TRUE(log_.Take().empty());
}

TEST_F(ThreadSafeMemoryKeystoreTest, ObjectsShareOneProcessWideStoreThatNoCacheSees) {
  const Bytes value(8, 5);
  {
    auto first_client = Make(BackingStoreType::VECTORS);
    first_client->PushItem(index_, 9, value.data(), value.size());
  }
  auto second_client = Make(BackingStoreType::VECTORS);
  EXPECT_EQ(second_client->GetTotalSize(index_), 1u);
  EXPECT_EQ(second_client->BatchGetVariableImpl(index_, {9})[0], value);

  // Another store kind of the same index is apart.
  EXPECT_EQ(Make(BackingStoreType::INDEX)->GetTotalSize(index_), 0u);

  // A store with tables of its own (a RAM cache) neither sees the
  // process-wide items nor is seen by them, config items included.
  auto private_store = ThreadSafeMemoryKeystore::NewPrivate(BackingStoreType::VECTORS);
  EXPECT_EQ(private_store->GetTotalSize(index_), 0u);
  private_store->PushItem(index_, 10, value.data(), value.size());
  private_store->SetValueSizeImpl(index_, 44);
  private_store->PushConfigItem("private.nvs", value.data(), value.size());
  EXPECT_EQ(second_client->GetTotalSize(index_), 1u);
  EXPECT_EQ(second_client->GetValueSizeImpl(index_), 8u);
  EXPECT_FALSE(second_client->ConfigItemExists("private.nvs"));
  const std::vector<std::string> names = ThreadSafeMemoryKeystore::ListAllConfigItems();
  EXPECT_EQ(std::count(names.begin(), names.end(), "private"), 0);
  EXPECT_EQ(ThreadSafeMemoryKeystore::NewPrivate(BackingStoreType::VECTORS)->GetTotalSize(index_),
            0u);
}

TEST_F(ThreadSafeMemoryKeystoreTest, VersionIsReadFromTheFirstEightBytes) {
  auto store = Make(BackingStoreType::INDEX);
  Bytes nine(9, 0);
  const auto three = EncodeVersion(3);
  std::copy(three.begin(), three.end(), nine.begin());
  nine[8] = 0xAB;
  store->PushItem(index_, 42, nine.data(), nine.size());
  EXPECT_EQ(store->GetMapImpl(index_, 100, 42).version, 3u);
  const Bytes map(2, 1);
  EXPECT_FALSE(store->PushMapImpl(index_, 100, map.data(), map.size(), 42, 0));
  EXPECT_TRUE(store->PushMapImpl(index_, 100, map.data(), map.size(), 42, 3));
  EXPECT_EQ(store->GetMapImpl(index_, 100, 42).version, 4u);

  // Shorter than 8 bytes counts as 0.
  store->PushItem(index_, 42, nine.data(), 7);
  EXPECT_EQ(store->GetMapImpl(index_, 100, 42).version, 0u);
}

TEST_F(ThreadSafeMemoryKeystoreTest, ValueSizeIsPerIndexAndStoreKind) {
  auto vectors = Make(BackingStoreType::VECTORS);
  vectors->SetValueSizeImpl(index_, 44);
  EXPECT_EQ(vectors->GetValueSizeImpl(index_), 44u);
  EXPECT_EQ(Make(BackingStoreType::VECTORS)->GetValueSizeImpl(index_), 44u);
  EXPECT_EQ(vectors->GetValueSizeImpl(index_ + 1000), kDefaultValueSize);
  EXPECT_EQ(Make(BackingStoreType::ID)->GetValueSizeImpl(index_), kDefaultValueSize);
}

// A deleted index leaves nothing: a later index of the same name starts from
// no items, version 0 and the default value size.
TEST_F(ThreadSafeMemoryKeystoreTest, DeletingAnIndexForgetsEverythingOfIt) {
  auto vectors = Make(BackingStoreType::VECTORS);
  auto index = Make(BackingStoreType::INDEX);
  const Bytes version = {1, 0, 0, 0, 0, 0, 0, 0};
  vectors->SetValueSizeImpl(index_, 44);
  vectors->PushItem(index_, 1, version.data(), version.size());
  ASSERT_TRUE(vectors->PushMapImpl(index_, 100, version.data(), version.size(), 42, 0));
  index->PushItem(index_, 1, version.data(), version.size());
  vectors->DeleteIndexImpl(index_);
  EXPECT_EQ(vectors->GetValueSizeImpl(index_), kDefaultValueSize);
  EXPECT_EQ(vectors->GetTotalSize(index_), 0u);
  EXPECT_EQ(vectors->GetMapImpl(index_, 100, 42).version, 0u);
  EXPECT_EQ(index->GetTotalSize(index_), 1u);  // another store kind keeps its items
  ASSERT_TRUE(vectors->PushMapImpl(index_, 100, version.data(), version.size(), 42, 0));
  EXPECT_EQ(vectors->GetMapImpl(index_, 100, 42).version, 1u);
}

TEST_F(ThreadSafeMemoryKeystoreTest, ListsIndexNamesOfStateItems) {
  auto store = Make(BackingStoreType::CONFIG);
  const std::string prefix = "list_" + std::to_string(RandomId()) + "_";
  const std::vector<std::string> names = {prefix + "a.nvs", prefix + "a.nei", ".nvs",
                                          prefix + "bb.nvs", prefix + "c.nvsx"};
  for (const std::string& name : names) store->PushConfigItem(name, nullptr, 0);
  std::vector<std::string> listed;
  for (const std::string& name : ListMemoryIndexes(config_)) {
    EXPECT_FALSE(name.empty());
    if (name.starts_with(prefix)) listed.push_back(name);
  }
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{prefix + "a", prefix + "bb"}));

  // An empty item exists but loads as nothing.
  EXPECT_TRUE(store->ConfigItemExists(prefix + "a.nvs"));
  EXPECT_TRUE(store->LoadConfigItem(prefix + "a.nvs").empty());
  for (const std::string& name : names) store->DeleteConfigItem(name);
  EXPECT_FALSE(store->ConfigItemExists(prefix + "a.nvs"));
}

// Readers check that every map comes with its own version: the writer stores
// map bytes that spell the version they were pushed at. A map read taken
// apart from its version would show up as a mismatch, and a stale map could
// then win a compare-and-set.
TEST_F(ThreadSafeMemoryKeystoreTest, MapReadsNeverTearUnderConcurrentPushes) {
  constexpr uint64_t kMapKey = 0xFFFFFFFFFFFFFFFFull, kVersionKey = 42;
  constexpr int kReaders = 4;
  constexpr uint64_t kPushes = 20000;
  auto writer = Make(BackingStoreType::INDEX);
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<uint64_t> reads{0};

  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      auto reader = Make(BackingStoreType::INDEX);
      while (!done.load()) {
        VersionedMap read = reader->GetMapImpl(index_, kMapKey, kVersionKey);
        ++reads;
        if (read.map.empty()) {
          if (read.version != 0) ++torn;
          continue;
        }
        // Map pushed at expected version v is stored with version v + 1.
        if (read.map.cols != 64 || DecodeVersion(read.map.data) + 1 != read.version) ++torn;
      }
    });
  }
  // Push only once the readers run, so they overlap the pushes on any machine.
  while (reads.load() < kReaders) std::this_thread::yield();
  for (uint64_t v = 0; v < kPushes; ++v) {
    Bytes map(64);
    const auto spelled = EncodeVersion(v);
    for (size_t i = 0; i < map.size(); i += 8) {
      std::copy(spelled.begin(), spelled.end(), map.begin() + i);
    }
    ASSERT_TRUE(writer->PushMapImpl(index_, kMapKey, map.data(), map.size(), kVersionKey, v));
  }
  done = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0u);
  EXPECT_EQ(writer->GetMapImpl(index_, kMapKey, kVersionKey).version, kPushes);
}

// Pushes, batch reads and deletes of many threads on one index at once; each
// thread owns its keys, so every final value is known.
TEST_F(ThreadSafeMemoryKeystoreTest, ConcurrentWritersAndReadersOfOneIndex) {
  constexpr int kThreads = 8;
  constexpr uint64_t kKeysPerThread = 2000;
  auto shared = Make(BackingStoreType::VECTORS);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto store = Make(BackingStoreType::VECTORS);
      std::vector<uint64_t> keys(kKeysPerThread);
      for (uint64_t i = 0; i < kKeysPerThread; ++i) keys[i] = (static_cast<uint64_t>(t) << 32) | i;
      nivora::Array2D<unsigned char> rows(kKeysPerThread, 8);
      std::fill(rows.data, rows.data + rows.size(), static_cast<unsigned char>(t + 1));
      start.arrive_and_wait();
      for (int round = 0; round < 5; ++round) {
        store->BatchPushItemsImpl(index_, keys, rows);
        const auto read = store->BatchGetItemsImpl(index_, keys);
        for (size_t i = 0; i < read.size(); ++i) {
          if (read.data[i] != t + 1) {
            ADD_FAILURE() << "thread " << t << " read a foreign or missing value";
            return;
          }
        }
        const std::vector<uint64_t> first_keys(keys.begin(), keys.begin() + 100);
        store->BatchDeleteItemsImpl(index_, first_keys);
        store->GetAllKeys(index_);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(shared->GetTotalSize(index_), kThreads * (kKeysPerThread - 100));
}

// Calls on an index while another thread deletes it over and over: each
// sees the index before or after a delete and never freed memory (what the
// sanitizer builds check), and reads find only their own values.
TEST_F(ThreadSafeMemoryKeystoreTest, DeletesWhileOtherThreadsUseTheIndex) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  std::atomic<bool> done{false};
  std::thread deleter([&] {
    auto store = Make(BackingStoreType::VECTORS);
    while (!done.load()) store->DeleteIndexImpl(index_);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto store = Make(BackingStoreType::VECTORS);
      const std::vector<uint64_t> keys = {static_cast<uint64_t>(t) + 1};
      nivora::Array2D<unsigned char> row(1, 8);
      std::fill(row.data, row.data + row.size(), static_cast<unsigned char>(t + 1));
      for (int round = 0; round < kRounds; ++round) {
        store->SetValueSizeImpl(index_, 8);
        store->BatchPushItemsImpl(index_, keys, row);
        const auto read = store->BatchGetItemsImpl(index_, keys);
        if (read.size() == 8 && read.data[0] != 0 && read.data[0] != t + 1) {
          ADD_FAILURE() << "thread " << t << " read a foreign value";
          return;
        }
        const Bytes value(8, static_cast<uint8_t>(round));
        store->PushMapImpl(index_, 100, value.data(), value.size(), 42,
                           store->GetMapImpl(index_, 100, 42).version);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  done.store(true);
  deleter.join();
  Make(BackingStoreType::VECTORS)->DeleteIndexImpl(index_);
  EXPECT_EQ(Make(BackingStoreType::VECTORS)->GetTotalSize(index_), 0u);
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
