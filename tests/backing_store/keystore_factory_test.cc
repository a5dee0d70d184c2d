// Keystore::CreateKeystore and the process-wide cache registry. A binary of
// its own: the registry's first-use log line can only be seen once per
// process and store kind.
#include <latch>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "backing_store/counting_keystore.h"
#include "backing_store/log_capture.h"
#include "backing_store/memory_keystore.h"
#include "backing_store/thread_safe_memory_keystore.h"
#include "backing_store/store_config.h"

namespace nivora_encrypted_index::internal::backing_store::testing {
namespace {

constexpr char kCacheBuilt[] = "[INFO] ThreadSafeMemoryKeystore constructor called";

std::unique_ptr<Keystore> Create(nivora::Location location, BackingStoreType type) {
  nivora::DBConfig config = ConfigAt(location);
  return Keystore::CreateKeystore(config, type);
}

TEST(KeystoreFactoryTest, BuildsTheInProcessKeystores) {
  LogCapture log;
  auto memory = Create(nivora::Location::MEMORY, BackingStoreType::CONTENTS);
  ASSERT_NE(dynamic_cast<MemoryKeystore*>(memory.get()), nullptr);
  EXPECT_EQ(memory->GetBackingStoreType(), BackingStoreType::CONTENTS);
  auto shared = Create(nivora::Location::THREADSAFEMEMORY, BackingStoreType::ID);
  ASSERT_NE(dynamic_cast<ThreadSafeMemoryKeystore*>(shared.get()), nullptr);
  EXPECT_EQ(shared->GetBackingStoreType(), BackingStoreType::ID);
  EXPECT_EQ(log.Take(), (std::vector<std::string>{"[INFO] MemoryKeystore constructor called",
                                                  "[INFO] ThreadSafeMemoryKeystore constructor called"}));

  // They are their own RAM copy: no cache is attached.
  memory->EnableCache();
  shared->EnableCache();
  EXPECT_FALSE(memory->IsCacheEnabled());
  EXPECT_FALSE(shared->IsCacheEnabled());
}

TEST(KeystoreFactoryTest, RefusesLocationsWithoutAKeystoreAfterACriticalLine) {
  struct Refusal {
    nivora::Location location;
    std::string what;
  };
  const Refusal refusals[] = {
      {nivora::Location::NONE, "Invalid location for backing store"},
      {static_cast<nivora::Location>(7), "Invalid location for backing store"},
      {static_cast<nivora::Location>(-1), "Invalid location for backing store"},
      {nivora::Location::REDIS, "Invalid DBConfig: missing db_connection_string or table_name."},
      {nivora::Location::POSTGRES, "Invalid DBConfig: missing db_connection_string or table_name."},
  };
  LogCapture log;
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.what);
    try {
      Create(refusal.location, BackingStoreType::INDEX);
      ADD_FAILURE() << "a keystore was built";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(e.what(), refusal.what);
    }
    const std::string critical = "[CRITICAL] Failed to create keystore: " + refusal.what;
    EXPECT_EQ(log.Take(), std::vector<std::string>{critical});
  }
}

TEST(KeystoreFactoryTest, OneSharedCachePerLocationAndStoreKind) {
  LogCapture log;
  CountingKeystore first(BackingStoreType::VECTORS);
  CountingKeystore same_place(BackingStoreType::VECTORS);
  CountingKeystore other_kind(BackingStoreType::INDEX);
  CountingKeystore other_location(BackingStoreType::VECTORS, nivora::Location::REDIS);
  CountingKeystore other_folder(BackingStoreType::VECTORS, nivora::Location::ROCKSDB, "/elsewhere");
  first.EnableCache();
  EXPECT_EQ(log.Count(kCacheBuilt), 1u);
  same_place.EnableCache();
  first.EnableCache();  // twice is harmless
  EXPECT_EQ(log.Count(kCacheBuilt), 1u);
  ASSERT_NE(first.GetCache(), nullptr);
  EXPECT_EQ(first.GetCache(), same_place.GetCache());
  EXPECT_FALSE(first.IsCacheLoaded(1));

  // Another store kind, location code or storage of the same code: a cache
  // of its own each.
  other_kind.EnableCache();
  other_location.EnableCache();
  other_folder.EnableCache();
  EXPECT_EQ(log.Count(kCacheBuilt), 4u);
  const std::set<Keystore*> caches{first.GetCache(), other_kind.GetCache(),
                                   other_location.GetCache(), other_folder.GetCache()};
  EXPECT_EQ(caches.size(), 4u);

  Keystore* cache = first.GetCache();
  EXPECT_EQ(cache->GetLocation(), nivora::Location::THREADSAFEMEMORY);
  EXPECT_EQ(cache->GetBackingStoreType(), BackingStoreType::VECTORS);

  // Detaching one keystore leaves the cache to the others.
  first.DisableCache();
  first.EnableCache();
  EXPECT_EQ(first.GetCache(), same_place.GetCache());
  EXPECT_EQ(log.Count(kCacheBuilt), 4u);

  // The cache is not the THREADSAFEMEMORY location: neither sees the other's
  // items of one index id.
  auto in_process = Create(nivora::Location::THREADSAFEMEMORY, BackingStoreType::VECTORS);
  const uint64_t index = 0x5EED5EED5EED5EEDull;
  const std::vector<uint8_t> in_process_value(8, 3);
  const std::vector<uint8_t> cached_value(8, 4);
  in_process->PushItem(index, 1, in_process_value.data(), in_process_value.size());
  first.BatchPushVariable(index, {1}, {cached_value});
  first.EagerLoadCache(index);
  EXPECT_EQ(cache->BatchGetVariableImpl(index, {1})[0], cached_value);
  EXPECT_EQ(first.BatchGetVariable(index, {1})[0], cached_value);
  EXPECT_EQ(in_process->BatchGetVariable(index, {1})[0], in_process_value);
  EXPECT_EQ(other_folder.GetCache()->GetTotalSize(index), 0u);
  in_process->DeleteIndexImpl(index);
  first.DeleteIndex(index);
}

TEST(KeystoreFactoryTest, StorageIdentityComesFromTheLocationStrings) {
  LogCapture log;
  auto build = [](std::optional<std::string> table, std::optional<std::string> connection) {
    nivora::DBConfig config(nivora::Location::THREADSAFEMEMORY, table, connection);
    return Keystore::CreateKeystore(config, BackingStoreType::INDEX)->StorageIdentity();
  };
  EXPECT_EQ(build("t", "c"), build("t", "c"));
  const std::set<std::string> distinct{build("t", "c"), build("t", "d"), build("u", "c"),
                                       build(std::nullopt, "c"), build("", "c"),
                                       build("t", std::nullopt), build("tc", ""),
                                       build(std::nullopt, std::nullopt)};
  EXPECT_EQ(distinct.size(), 8u);
}

TEST(KeystoreFactoryTest, ConcurrentEnablesShareOneCache) {
  LogCapture log;
  constexpr int kThreads = 8;
  std::vector<std::unique_ptr<CountingKeystore>> keystores;
  for (int t = 0; t < kThreads; ++t) {
    keystores.push_back(std::make_unique<CountingKeystore>(BackingStoreType::METADATA));
  }
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      keystores[t]->EnableCache();
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& keystore : keystores) EXPECT_EQ(keystore->GetCache(), keystores[0]->GetCache());
  EXPECT_EQ(log.Count(kCacheBuilt), 1u);
}

}  // namespace
}  // namespace nivora_encrypted_index::internal::backing_store::testing
