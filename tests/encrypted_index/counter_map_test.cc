// The counter map: loading, storing, position assignment by compare-and-set
// with retries, vocabulary resizing, and recovery from a stale RAM cache.
#include <unistd.h>

#include <omp.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine_config_generated.h"
#include "engine_fixture.h"
#include "backing_store/forwarding_keystore.h"
#include "core/parallel_for.h"

namespace nivora_test {
namespace {

using ::testing::ThrowsMessage;

class CounterMapTest : public ::testing::Test {
 protected:
  std::unique_ptr<Client> Create(int32_t vocab_size) {
    NewIndexConfig config = NewConfig(stores_, name_, key_, vocab_size);
    return std::make_unique<Client>(config, logger_);
  }
  std::unique_ptr<Client> Open() {
    ExistingIndexConfig config = OpenConfig(stores_, name_, key_);
    return std::make_unique<Client>(config, logger_);
  }
  StoredCounters Stored() {
    return ReadStoredCounters(stores_[BackingStoreType::INDEX], index_id_, key_);
  }
  // Hands out positions through client, taking ids by value for brevity.
  static std::vector<uint32_t> Update(Client& client, std::vector<uint32_t> ids) {
    return client.UpdateMap(ids);
  }

  Stores stores_{nivora::Location::THREADSAFEMEMORY};
  std::array<uint8_t, 32> key_ = TestIndexKey(3);
  std::string name_ = UniqueIndexName();
  uint64_t index_id_ = ReferenceIndexId(key_, name_);
  nivora::Logger& logger_ = TestLogger();
};

TEST_F(CounterMapTest, PositionsAreHandedOutInInputOrderAndStored) {
  auto client = Create(1);
  EXPECT_EQ(Stored().version, 0u);  // nothing stored at creation
  EXPECT_EQ(Update(*client, {0, 0, 0}), (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(Stored().counters, (std::vector<uint32_t>{3}));
  EXPECT_EQ(Stored().version, 1u);
  EXPECT_EQ(Update(*client, {0}), (std::vector<uint32_t>{3}));
}

TEST_F(CounterMapTest, AssignsFromTheLoadedCounters) {
  auto client = Create(3);
  ASSERT_TRUE(WriteStoredCounters(stores_[BackingStoreType::INDEX], index_id_, key_, {5, 0, 7}, 0));
  EXPECT_EQ(Update(*client, {2, 0, 2}), (std::vector<uint32_t>{7, 5, 8}));
  EXPECT_EQ(Stored().counters, (std::vector<uint32_t>{6, 0, 9}));
  EXPECT_EQ(Stored().version, 2u);
  // After a store the counters in memory are zero until the next load.
  EXPECT_EQ(client->get_counter_map(), (std::vector<uint32_t>{0, 0, 0}));
  client->LoadMap();
  EXPECT_EQ(client->get_counter_map(), (std::vector<uint32_t>{6, 0, 9}));
  EXPECT_EQ(client->num_vectors(), 15u);
  // An empty update still raises the version.
  EXPECT_TRUE(Update(*client, {}).empty());
  EXPECT_EQ(Stored().version, 3u);
}

TEST_F(CounterMapTest, StoreMapIsOneCompareAndSetAgainstTheLoadedVersion) {
  auto a = Create(2);
  auto b = Open();
  Update(*a, {1});  // version 1
  a->LoadMap();
  b->LoadMap();
  EXPECT_TRUE(a->StoreMap());
  EXPECT_FALSE(b->StoreMap());  // loaded the same version: exactly one wins
  EXPECT_FALSE(a->StoreMap());  // the version is not advanced by a store
  EXPECT_EQ(Stored().version, 2u);
  // The loser's next update retries and hands out the following positions.
  EXPECT_EQ(Update(*b, {1, 1}), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(Stored().counters, (std::vector<uint32_t>{0, 3}));
}

TEST_F(CounterMapTest, RangeAndOverflowAreRefusedBeforeAnythingIsStored) {
  auto client = Create(2);
  EXPECT_THAT([&] { Update(*client, {0, 2}); },
              ThrowsMessage<std::out_of_range>("Centroid id 2 is out of range for 2 centroids"));
  EXPECT_EQ(Stored().version, 0u);
  // A stored map shorter than the vocabulary (another client's): refused at
  // once, not retried.
  ASSERT_TRUE(WriteStoredCounters(stores_[BackingStoreType::INDEX], index_id_, key_, {4}, 0));
  EXPECT_THAT([&] { Update(*client, {1}); },
              ThrowsMessage<std::out_of_range>("Centroid id 1 is out of range for 1 counters"));
  ASSERT_TRUE(WriteStoredCounters(stores_[BackingStoreType::INDEX], index_id_, key_,
                                  {0xffffffffu, 0}, 1));
  EXPECT_THAT([&] { Update(*client, {1, 0}); },
              ThrowsMessage<std::overflow_error>("Counter of centroid 0 is exhausted"));
  EXPECT_EQ(Stored().version, 2u);
  EXPECT_EQ(Update(*client, {1}), (std::vector<uint32_t>{0}));
}

TEST_F(CounterMapTest, EmptyMapCannotBeStoredAndNoMapLoadsAsZeros) {
  auto client = Create(2);
  client->LoadMap();
  EXPECT_EQ(client->get_counter_map(), (std::vector<uint32_t>{0, 0}));
  EXPECT_EQ(client->num_vectors(), 0u);
  // A stored map that does not decrypt fails the load.
  stores_[BackingStoreType::INDEX].PushMapImpl(index_id_, layout::kCounterMapKey,
                                               std::vector<uint8_t>(36, 1).data(), 36,
                                               layout::kCounterMapVersionKey, 0);
  const std::string undecryptable =
      "The stored counter map does not decrypt with this index key: Decryption failed for 1 items";
  EXPECT_THAT([&] { client->LoadMap(); }, ThrowsMessage<std::runtime_error>(undecryptable));
  // An update reports it as it is, not as a hundred refusals.
  EXPECT_THAT([&] { Update(*client, {0}); }, ThrowsMessage<std::runtime_error>(undecryptable));
  // Nor does one whose head is zero: a stored map is never an absent item,
  // and reading it as zeros would hand out positions again.
  stores_[BackingStoreType::INDEX].PushMapImpl(index_id_, layout::kCounterMapKey,
                                               std::vector<uint8_t>(36, 0).data(), 36,
                                               layout::kCounterMapVersionKey, 1);
  EXPECT_THAT([&] { client->LoadMap(); }, ThrowsMessage<std::runtime_error>(undecryptable));
}

// A concurrent writer stores between this client's load and store: the
// refused store is retried with a fresh load.
TEST_F(CounterMapTest, RefusedStoresAreRetriedForUpdatesAndResizes) {
  ForwardingKeystore index_store(stores_[BackingStoreType::INDEX], nivora::Location::THREADSAFEMEMORY);
  stores_.Replace(BackingStoreType::INDEX, &index_store);
  auto a = Create(2);
  auto b = Open();
  index_store.before_next_push_map = [&] { Update(*b, {1, 1}); };
  EXPECT_EQ(Update(*a, {1}), (std::vector<uint32_t>{2}));
  EXPECT_EQ(Stored().counters, (std::vector<uint32_t>{0, 3}));

  // Resizing to the same length keeps the counters, also when it must retry.
  index_store.before_next_push_map = [&] { Update(*b, {0}); };
  a->ResizeVocabulary(2);
  EXPECT_EQ(Stored().counters, (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(Stored().version, 4u);  // two updates of b, two stores of a
  // Another length starts from zeros.
  a->ResizeVocabulary(4);
  EXPECT_EQ(Stored().counters, (std::vector<uint32_t>{0, 0, 0, 0}));
  EXPECT_EQ(a->vocab_size(), 4);
  EXPECT_THROW(a->ResizeVocabulary(0), std::invalid_argument);
  EXPECT_EQ(a->vocab_size(), 4);
}

// The salts and seeds follow the vocabulary size; only a table that
// already covered another size is announced as regenerated.
TEST_F(CounterMapTest, ResizeAndSaltsAndSeedsLogTheirSteps) {
  auto client = Create(2);
  Update(*client, {1});  // a stored map of 2 counters
  const auto log = std::filesystem::temp_directory_path() /
                   (name_ + "_" + std::to_string(::getpid()) + ".log");
  logger_.configure("info", true, log.string());
  client->GetSaltsAndSeeds();
  client->ResizeVocabulary(3);
  client->GetSaltsAndSeeds();
  // A configuration of another vocabulary size, as a reopened index reads it.
  flatbuffers::FlatBufferBuilder builder;
  const auto version = builder.CreateString("0.15.0");
  layout::EngineConfigTableBuilder table(builder);
  table.add_vocab_size(5);
  table.add_tree_depth(32);
  table.add_version(version);
  builder.Finish(table.Finish());
  client->DeserializeIndexConfig(
      std::vector<uint8_t>(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize()));
  client->GetSaltsAndSeeds();
  logger_.ResetToConsole();

  std::ifstream in(log);
  std::vector<std::string> messages;
  for (std::string line; std::getline(in, line);) {
    const size_t start = line.find("] ", line.find("]") + 1);
    if (start != std::string::npos) messages.push_back(line.substr(start + 2));
  }
  std::filesystem::remove(log);
  auto count = [&](const std::string& text) {
    return std::count(messages.begin(), messages.end(), text);
  };
  EXPECT_EQ(count("Resizing vocabulary from 2 to 3"), 1);
  EXPECT_EQ(count("Counter map size mismatch (has 2, needs 3), creating new empty counter map"), 1);
  EXPECT_EQ(count("Vocabulary resized and salts/seeds regenerated"), 1);
  EXPECT_EQ(count("Regenerating salts_and_seeds due to size mismatch. Current size: 3, Expected: 5"), 1);
  EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                          [](const std::string& m) { return m.starts_with("Regenerating"); }),
            1);
  EXPECT_EQ(Stored().counters, (std::vector<uint32_t>{0, 0, 0}));
}

TEST_F(CounterMapTest, DestructorDoesNotStoreAStaleMap) {
  auto a = Create(1);
  Update(*a, {0, 0});
  auto b = Open();  // loads version 1 with counter 2
  a->DeleteIndex(false);
  Update(*a, {0, 0, 0});  // the index starts again: version 1, counter 3
  b.reset();
  EXPECT_EQ(Stored().version, 1u);
  EXPECT_EQ(Stored().counters, (std::vector<uint32_t>{3}));
}

TEST_F(CounterMapTest, AFailedMapReadLeavesAtOnceWithItsCause) {
  ForwardingKeystore index_store(stores_[BackingStoreType::INDEX], nivora::Location::THREADSAFEMEMORY);
  stores_.Replace(BackingStoreType::INDEX, &index_store);
  auto client = Create(1);
  index_store.fail_map_reads = true;
  index_store.map_reads = 0;  // creating read and stored the change record
  index_store.map_pushes = 0;
  EXPECT_THAT([&] { Update(*client, {0}); }, ThrowsMessage<std::runtime_error>("map read failed"));
  EXPECT_EQ(index_store.map_reads, 1u);
  EXPECT_EQ(index_store.map_pushes, 0u);
}

TEST_F(CounterMapTest, GivesUpAfterOneHundredRefusals) {
  ForwardingKeystore index_store(stores_[BackingStoreType::INDEX], nivora::Location::THREADSAFEMEMORY);
  stores_.Replace(BackingStoreType::INDEX, &index_store);
  auto client = Create(1);
  index_store.refuse_map_pushes = true;
  index_store.map_pushes = 0;  // creating stored the change record
  EXPECT_THAT([&] { Update(*client, {0}); },
              ThrowsMessage<std::runtime_error>("Failed to update map in 100 retries."));
  EXPECT_EQ(index_store.map_pushes, 100u);
}

// Another process (here: a client of the same store without the RAM cache)
// moves the stored map on; this process's cache still holds the old map.
// Updates read the store itself, so nothing is refused, and the cache is
// brought up to the stored version.
TEST_F(CounterMapTest, StaleRamCacheIsCaughtUpFromTheStore) {
  nivora::DBConfig memory(nivora::Location::MEMORY, std::nullopt, std::nullopt);
  MemoryKeystore store(memory, BackingStoreType::INDEX);
  ForwardingKeystore cached_view(store, nivora::Location::ROCKSDB);  // gets the process cache
  ForwardingKeystore other_process(store, nivora::Location::MEMORY);
  stores_.Replace(BackingStoreType::INDEX, &cached_view);
  auto a = Create(1);
  Keystore* cache = cached_view.GetCache();
  ASSERT_NE(cache, nullptr);
  ASSERT_TRUE(cached_view.IsCacheLoaded(index_id_));
  EXPECT_EQ(Update(*a, {0}), (std::vector<uint32_t>{0}));  // store and cache at version 1

  stores_.Replace(BackingStoreType::INDEX, &other_process);
  auto b = Open();
  EXPECT_EQ(Update(*b, {0, 0}), (std::vector<uint32_t>{1, 2}));  // store at 2, cache at 1
  EXPECT_EQ(ReadStoredCounters(*cache, index_id_, key_).version, 1u);

  cached_view.map_pushes = 0;
  EXPECT_EQ(Update(*a, {0}), (std::vector<uint32_t>{3}));
  EXPECT_EQ(cached_view.map_pushes, 1u);  // based on the store: no refusal
  const StoredCounters in_store = ReadStoredCounters(store, index_id_, key_);
  const StoredCounters in_cache = ReadStoredCounters(*cache, index_id_, key_);
  EXPECT_EQ(in_store.version, 3u);
  EXPECT_EQ(in_store.counters, (std::vector<uint32_t>{4}));
  EXPECT_EQ(in_cache.version, 3u);  // caught up, so the successful store reached it too
  EXPECT_EQ(in_cache.counters, (std::vector<uint32_t>{4}));
  a->DeleteIndex(true);
}

// Another process deletes the index's data and counts up from version 0
// again, until the store is back at the version this process's RAM cache
// holds an old map of. Positions must still never be handed out twice: every
// compare-and-set starts from the map read from the store.
TEST_F(CounterMapTest, DeletedAndRecountedMapIsNeverTakenFromTheCache) {
  nivora::DBConfig memory(nivora::Location::MEMORY, std::nullopt, std::nullopt);
  MemoryKeystore store(memory, BackingStoreType::INDEX);
  ForwardingKeystore cached_view(store, nivora::Location::ROCKSDB, "aba " + name_);
  ForwardingKeystore other_process(store, nivora::Location::MEMORY);
  stores_.Replace(BackingStoreType::INDEX, &cached_view);
  auto cached = Create(1);
  stores_.Replace(BackingStoreType::INDEX, &other_process);
  auto uncached = Open();
  ASSERT_TRUE(cached_view.IsCacheLoaded(index_id_));

  std::set<uint32_t> handed_out;
  auto hand_out = [&](Client& client, std::vector<uint32_t> ids) {
    for (uint32_t position : client.UpdateMap(ids)) {
      EXPECT_TRUE(handed_out.insert(position).second) << "position " << position << " twice";
    }
  };
  hand_out(*cached, {0, 0});  // store and cache at version 1, counter 2
  uncached->DeleteIndex(false);
  handed_out.clear();  // the index starts again empty
  hand_out(*uncached, {0, 0, 0});  // store at version 1 again, counter 3
  ASSERT_EQ(ReadStoredCounters(*cached_view.GetCache(), index_id_, key_).version, 1u);

  hand_out(*cached, {0});
  hand_out(*uncached, {0});
  hand_out(*cached, {0, 0});
  EXPECT_EQ(handed_out, (std::set<uint32_t>{0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(Stored().counters, (std::vector<uint32_t>{7}));
  // The cache lost the other history's map and follows the store again.
  EXPECT_EQ(cached->num_vectors(), 7u);
  StoredCounters in_cache = ReadStoredCounters(*cached_view.GetCache(), index_id_, key_);
  EXPECT_EQ(in_cache.counters, (std::vector<uint32_t>{7}));

  // Once more up to the cache's version: a plain load may be served by the
  // stale cache, but a store on top of it is refused rather than writing
  // over the recounted map.
  uncached->DeleteIndex(false);
  handed_out.clear();
  for (uint64_t v = 0; v < in_cache.version; ++v) hand_out(*uncached, {0});
  ASSERT_EQ(Stored().version, in_cache.version);
  cached->LoadMap();
  EXPECT_EQ(cached->get_counter_map(), (std::vector<uint32_t>{7}));
  EXPECT_FALSE(cached->StoreMap());
  EXPECT_EQ(Stored().counters, (std::vector<uint32_t>{static_cast<uint32_t>(in_cache.version)}));
  cached->DeleteIndex(true);
}

// The client's thread count reaches parallel regions started below its
// operations on whatever thread calls them, whatever that thread's own
// OpenMP default is.
TEST_F(CounterMapTest, CpuThreadsReachRegionsOnAnyCallingThread) {
  ForwardingKeystore index_store(stores_[BackingStoreType::INDEX],
                                 nivora::Location::THREADSAFEMEMORY);
  stores_.Replace(BackingStoreType::INDEX, &index_store);
  for (int cpu_threads : {1, 3}) {
    SCOPED_TRACE(cpu_threads);
    NewIndexConfig config = NewConfig(stores_, name_ + std::to_string(cpu_threads), key_);
    config.cpu_threads = cpu_threads;
    auto client = std::make_unique<Client>(config, logger_);
    int scoped = 0;
    int team = 0;
    std::thread caller([&] {
      omp_set_num_threads(7);  // this thread's own default must not matter
      index_store.before_next_push_map = [&] {
        scoped = nivora::ThreadCount();
#pragma omp parallel num_threads(nivora::ThreadCount())
        {
#pragma omp single
          team = omp_get_num_threads();
        }
      };
      std::vector<uint32_t> ids{0};
      client->UpdateMap(ids);
    });
    caller.join();
    EXPECT_EQ(scoped, cpu_threads);
    EXPECT_EQ(team, cpu_threads);
    client->DeleteIndex(true);
  }
}

// The engine-side logger is the client's for as long as the client lives;
// afterwards, or once the logger itself is gone, keystores log through the
// logger selected before (here the default one), never a destroyed one.
TEST_F(CounterMapTest, EngineLoggerFollowsTheLivesOfClientAndLogger) {
  namespace engine = nivora_encrypted_index::internal::encrypted_index;
  nivora::Logger* before = engine::GetLogger();
  {
    nivora::Logger outliving;
    {
      NewIndexConfig config = NewConfig(stores_, name_ + "_outliving", key_);
      Client client(config, outliving);
      EXPECT_EQ(engine::GetLogger(), &outliving);
      client.DeleteIndex(true);
    }
    EXPECT_EQ(engine::GetLogger(), before);  // the client went first
  }
  {
    NewIndexConfig config = NewConfig(stores_, name_ + "_short", key_);
    std::unique_ptr<Client> client;
    {
      nivora::Logger short_lived;
      client = std::make_unique<Client>(config, short_lived);
      EXPECT_EQ(engine::GetLogger(), &short_lived);
    }  // the logger goes first
    EXPECT_EQ(engine::GetLogger(), before);
    // A keystore logging now reaches a live logger.
    nivora::DBConfig none(nivora::Location::THREADSAFEMEMORY, std::nullopt, std::nullopt);
    ThreadSafeMemoryKeystore logs_on_construction(none, BackingStoreType::ID);
    client.reset();
    EXPECT_EQ(engine::GetLogger(), before);
  }
}

}  // namespace
}  // namespace nivora_test
