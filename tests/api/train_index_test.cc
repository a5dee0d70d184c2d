// TrainIndex end to end over real in-process stores: the choice of n_lists,
// the refusals, a failed re-ingest that must leave the index as it was,
// items another client adds while training reads, and IVFSQ retraining.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "api/encrypted_index.h"
#include "api/index_state.h"
#include "core/test_points.h"
#include "backing_store/forwarding_keystore.h"
#include "encrypted_index/engine_fixture.h"
#include "telemetry/telemetry_aggregator.h"

namespace nivora_test {
namespace {

using nivora::Array2D;
using nivora::EncryptedIndex;
using nivora::GetResultItem;
using nivora::IndexConfig;
using nivora::TrainParams;

constexpr size_t kDim = 8;

using ConfigFactory = std::function<std::unique_ptr<IndexConfig>()>;

// Items of a clustered data set: 32 fixed centres, noise drawn from seed. Item i has id
// "item-<i>", metadata on every third item and contents on every fifth.
struct Items {
  std::vector<std::string> ids;
  Array2D<float> vectors;
  std::vector<std::vector<uint8_t>> contents;
  std::vector<std::string> metadata;
};

Items MakeItems(size_t first, size_t count, uint32_t seed, bool with_metadata) {
  std::mt19937 centre_rng(1);  // the same centres in every call
  std::uniform_real_distribution<float> centre(-1.0f, 1.0f);
  std::vector<float> centres(32 * kDim);
  for (float& c : centres) c = centre(centre_rng);
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  Items items;
  items.vectors = Array2D<float>(count, kDim);
  for (size_t i = 0; i < count; ++i) {
    const size_t n = first + i;
    items.ids.push_back("item-" + std::to_string(n));
    const float* c = &centres[(n % 32) * kDim];
    for (size_t d = 0; d < kDim; ++d) items.vectors.row(i)[d] = c[d] + noise(rng);
    items.metadata.push_back(with_metadata && n % 3 == 0 ? "{\"n\": " + std::to_string(n) + "}" : "");
    items.contents.push_back(n % 5 == 0 ? std::vector<uint8_t>{uint8_t(n), uint8_t(n >> 8)}
                                        : std::vector<uint8_t>{});
  }
  return items;
}

// A keystore that fails its next writes of item rows while armed, once.
class FailingKeystore : public ForwardingKeystore {
 public:
  using ForwardingKeystore::ForwardingKeystore;
  std::atomic<bool> fail_next_push{false};  // writers in several threads read it

  void BatchPushItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                          const nivora::Array2D<unsigned char>& values) override {
    if (fail_next_push.exchange(false)) throw std::runtime_error("injected write failure");
    ForwardingKeystore::BatchPushItemsImpl(index, keys, values);
  }
};

// A keystore that runs a hook once, right after its next listing of keys
// (the listing itself is the one made before the hook).
class HookedKeystore : public ForwardingKeystore {
 public:
  using ForwardingKeystore::ForwardingKeystore;
  std::function<void()> after_next_listing;

  std::vector<uint64_t> GetAllKeys(const uint64_t& index) override {
    std::vector<uint64_t> keys = ForwardingKeystore::GetAllKeys(index);
    if (after_next_listing) std::exchange(after_next_listing, nullptr)();
    return keys;
  }
};

class TrainIndexTest : public ::testing::Test {
 protected:
  TrainIndexTest()
      : stores_(nivora::Location::THREADSAFEMEMORY),
        failing_vectors_(stores_[BackingStoreType::VECTORS], nivora::Location::THREADSAFEMEMORY),
        failing_index_(stores_[BackingStoreType::INDEX], nivora::Location::THREADSAFEMEMORY),
        hooked_ids_(stores_[BackingStoreType::ID], nivora::Location::THREADSAFEMEMORY),
        telemetry_(std::make_shared<nivora::internal::TelemetryAggregator>(
            "", nivora::internal::TelemetryOptions{})),
        name_(UniqueIndexName()) {
    stores_.Replace(BackingStoreType::VECTORS, &failing_vectors_);
    stores_.Replace(BackingStoreType::INDEX, &failing_index_);
    stores_.Replace(BackingStoreType::ID, &hooked_ids_);
    with_metadata_ = MetadataSummariesBuilt();
  }

  std::unique_ptr<EncryptedIndex> Create(const IndexConfig& config) {
    NewIndexConfig engine = NewConfig(stores_, name_, key_, 1, 4 * kDim);
    return std::make_unique<EncryptedIndex>(name_, key_, config, engine, &TestLogger(),
                                            telemetry_);
  }

  // Whether this build keeps metadata summaries: trained ingest of items
  // with metadata needs them.
  bool MetadataSummariesBuilt() {
    const std::string name = std::exchange(name_, UniqueIndexName());
    auto probe = Create(nivora::IndexIVFFlat(kDim));
    name_ = name;
    try {
      probe->UpdateMetadata({}, {});
    } catch (const std::logic_error& e) {
      if (std::string(e.what()) == "not implemented") return false;
    }
    return true;
  }

  // Items with metadata when this build can index them (see MakeItems).
  Items MakeItems(size_t first, size_t count, uint32_t seed = 1) const {
    return nivora_test::MakeItems(first, count, seed, with_metadata_);
  }

  std::unique_ptr<EncryptedIndex> Open() {
    ExistingIndexConfig engine = OpenConfig(stores_, name_, key_);
    return std::make_unique<EncryptedIndex>(name_, key_, engine, &TestLogger(), telemetry_);
  }

  // Few k-means iterations: the tests check what training does, not how well.
  static TrainParams QuickParams() {
    TrainParams params;
    params.max_iters = 5;
    return params;
  }

  // A new index holding items, trained once.
  std::unique_ptr<EncryptedIndex> CreateTrained(const IndexConfig& config, const Items& items) {
    auto index = Create(config);
    Upsert(*index, items);
    index->TrainIndex(QuickParams());
    return index;
  }

  static void Upsert(EncryptedIndex& index, const Items& items) {
    index.Upsert(items.ids, items.vectors, items.contents, items.metadata);
  }

  // The state stored for the index, read through an engine client of its own.
  nivora::IndexState StoredState() {
    ExistingIndexConfig engine = OpenConfig(stores_, name_, key_);
    nivora_encrypted_index::Client client(engine, TestLogger());
    return nivora::DeserializeIndexState(client.LoadIndexConfig());
  }

  // Every item comes back by id with its metadata and contents; vectors
  // within tolerance (0 asks for bit equality).
  static void ExpectItemsReadable(EncryptedIndex& index, const Items& items, float tolerance) {
    const std::vector<GetResultItem> got = index.Get(items.ids, {});
    ASSERT_EQ(got.size(), items.ids.size());
    for (size_t i = 0; i < got.size(); ++i) {
      SCOPED_TRACE(items.ids[i]);
      ASSERT_EQ(got[i].id, items.ids[i]);
      EXPECT_EQ(got[i].metadata, items.metadata[i]);
      EXPECT_EQ(got[i].contents, items.contents[i]);
      ASSERT_EQ(got[i].vector.size(), kDim);
      for (size_t d = 0; d < kDim; ++d) {
        if (tolerance == 0.0f) {
          EXPECT_EQ(got[i].vector[d], items.vectors.row(i)[d]);
        } else {
          EXPECT_NEAR(got[i].vector[d], items.vectors.row(i)[d], tolerance);
        }
      }
    }
  }

  Stores stores_;
  FailingKeystore failing_vectors_;
  FailingKeystore failing_index_;
  HookedKeystore hooked_ids_;
  std::shared_ptr<nivora::internal::TelemetryAggregator> telemetry_;
  std::string name_;
  std::array<uint8_t, 32> key_ = TestIndexKey(3);
  bool with_metadata_ = true;
};

TEST_F(TrainIndexTest, FewerThanTenThousandItemsTrainNothing) {
  auto index = Create(nivora::IndexIVFFlat(kDim));
  Upsert(*index, MakeItems(0, 9999));
  index->TrainIndex(TrainParams{});
  EXPECT_FALSE(index->is_trained());
  EXPECT_EQ(index->config()->n_lists(), 1u);
  EXPECT_EQ(index->get_num_vectors(), 9999u);
  EXPECT_FALSE(StoredState().trained);
}

TEST_F(TrainIndexTest, NListsAutomaticOrGiven) {
  struct Case {
    uint64_t requested;
    size_t items;
    size_t expected;  // 0: refused, nothing changes
    std::string error;
  };
  const Case cases[] = {
      {0, 10000, 256, ""},  // automatic: 4 * sqrt(10000) = 400 -> 256
      {100, 10000, 100, ""},
      {8000, 15000, 0,
       "Number of embeddings is less than the 2 * n_lists. Please ingest more data before "
       "training."},
      {uint64_t{1} << 31, 10000, 0, "n_lists cannot exceed 2147483647."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requested);
    name_ = UniqueIndexName();
    auto index = Create(nivora::IndexIVFFlat(kDim));
    const Items items = MakeItems(0, c.items);
    Upsert(*index, items);
    TrainParams params = QuickParams();
    params.n_lists = c.requested;
    if (c.error.empty()) {
      index->TrainIndex(params);
      EXPECT_TRUE(index->is_trained());
      EXPECT_EQ(index->config()->n_lists(), c.expected);
      const nivora::IndexState stored = StoredState();
      EXPECT_TRUE(stored.trained);
      EXPECT_EQ(stored.config->n_lists(), c.expected);
      EXPECT_EQ(stored.quantizer_version, 1);
      ASSERT_EQ(stored.quantizers.centroids.size(), 1u);
      EXPECT_EQ(stored.quantizers.centroids[0].centroids.rows, c.expected);
      // Every item indexed once under the new lists.
      EXPECT_EQ(index->get_num_vectors(), c.items);
      continue;
    }
    try {
      index->TrainIndex(params);
      ADD_FAILURE() << "trained";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
    EXPECT_FALSE(index->is_trained());
    EXPECT_EQ(index->config()->n_lists(), 1u);
    EXPECT_FALSE(StoredState().trained);
    EXPECT_EQ(index->get_num_vectors(), c.items);
  }
}

// A write that fails during the re-ingest leaves the index untrained, with
// every item readable as before and its stored state untouched; training
// afterwards works.
TEST_F(TrainIndexTest, FailedReingestLeavesOldStateAndItems) {
  struct Case {
    const char* name;
    ConfigFactory config;
    FailingKeystore* store;
  };
  const Case cases[] = {
      {"IVFSQ, vectors write fails", [] { return std::make_unique<nivora::IndexIVFSQ>(kDim, 8); },
       &failing_vectors_},
      {"IVFFLAT, token write fails", [] { return std::make_unique<nivora::IndexIVFFlat>(kDim); },
       &failing_index_},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    name_ = UniqueIndexName();
    auto index = Create(*c.config());
    const Items items = MakeItems(0, 10000);
    Upsert(*index, items);
    c.store->fail_next_push = true;
    EXPECT_THROW(index->TrainIndex(QuickParams()), std::runtime_error);
    EXPECT_FALSE(c.store->fail_next_push);

    EXPECT_FALSE(index->is_trained());
    EXPECT_EQ(index->config()->n_lists(), 1u);
    EXPECT_EQ(index->get_num_vectors(), items.ids.size());
    ExpectItemsReadable(*index, items, 0.0f);
    EXPECT_FALSE(StoredState().trained);
    EXPECT_FALSE(Open()->is_trained());

    index->TrainIndex(QuickParams());
    EXPECT_TRUE(index->is_trained());
    EXPECT_EQ(index->get_num_vectors(), items.ids.size());
    EXPECT_EQ(StoredState().quantizer_version, 1);
  }
}

// Retraining that fails keeps the first training's quantizers and version.
TEST_F(TrainIndexTest, FailedRetrainingKeepsTheTrainedState) {
  const Items items = MakeItems(0, 10000);
  auto index = CreateTrained(nivora::IndexIVFSQ(kDim, 8), items);
  const nivora::IndexState first = StoredState();

  failing_vectors_.fail_next_push = true;
  EXPECT_THROW(index->TrainIndex(QuickParams()), std::runtime_error);
  EXPECT_TRUE(index->is_trained());
  EXPECT_EQ(index->get_num_vectors(), items.ids.size());
  const nivora::IndexState stored = StoredState();
  EXPECT_EQ(stored.quantizer_version, 1);
  EXPECT_EQ(stored.quantizers.sq_quantizers[0].min, first.quantizers.sq_quantizers[0].min);
  // Codes of a range of about 2 over 255 steps.
  ExpectItemsReadable(*index, items, 0.02f);
}

// Items [begin, end) of items.
Items Part(const Items& items, size_t begin, size_t end) {
  Items part;
  part.ids.assign(items.ids.begin() + begin, items.ids.begin() + end);
  part.vectors = Array2D<float>(end - begin, kDim);
  std::copy(items.vectors.row(begin), items.vectors.row(end), part.vectors.data);
  part.contents.assign(items.contents.begin() + begin, items.contents.begin() + end);
  part.metadata.assign(items.metadata.begin() + begin, items.metadata.begin() + end);
  return part;
}

// What another client does when training reaches a chosen test point.
struct PointAction {
  std::string point;
  std::function<void()> action;
};

PointAction& CurrentPointAction() {
  static PointAction current;
  return current;
}

void RunPointAction(const char* point) {
  PointAction& current = CurrentPointAction();
  if (current.action && current.point == point) std::exchange(current.action, nullptr)();
}

// Installs the action for the scope of one training.
class ScopedPointAction {
 public:
  ScopedPointAction(std::string point, std::function<void()> action) {
    CurrentPointAction() = {std::move(point), std::move(action)};
    nivora::internal::SetTestPointHandler(&RunPointAction);
  }
  ~ScopedPointAction() {
    nivora::internal::SetTestPointHandler(nullptr);
    CurrentPointAction() = {};
  }
  bool ran() const { return !CurrentPointAction().action; }
};

// Another client adds, updates and deletes items while training reads the
// stored ones, builds its lists or is about to commit them: afterwards each
// item is in its last state, found by an exhaustive query at its vector.
TEST_F(TrainIndexTest, WritesOfAnotherClientDuringTrainingAreKept) {
  for (const char* point : {"training-claimed", "list-tokens-written", "training-state-stored"}) {
    SCOPED_TRACE(point);
    name_ = UniqueIndexName();
    auto index = Create(nivora::IndexIVFFlat(kDim));
    const Items items = MakeItems(0, 10000);
    Upsert(*index, items);
    const Items added = MakeItems(10000, 600, 2);
    const Items updated = MakeItems(0, 300, 3);  // new vectors for item-0 .. item-299
    const Items deleted = Part(items, 9000, 9300);
    {
      ScopedPointAction during(point, [&] {
        auto other = Open();
        Upsert(*other, added);
        Upsert(*other, updated);
        other->Delete(deleted.ids);
      });
      index->TrainIndex(QuickParams());
      ASSERT_TRUE(during.ran());
    }
    EXPECT_TRUE(index->is_trained());
    EXPECT_EQ(index->ListIDs().size(), 10000u + 600u - 300u);
    EXPECT_TRUE(index->Get(deleted.ids, {}).empty());
    const Items kept[] = {added, updated, Part(items, 300, 9000), Part(items, 9300, 10000)};
    for (const Items& part : kept) ExpectItemsReadable(*index, part, 0.0f);

    nivora::QueryParams query;
    query.top_k = 1;
    query.n_probes = index->config()->n_lists();
    for (const Items& part : {added, updated}) {
      const nivora::QueryResult result = index->Query(part.vectors, query);
      ASSERT_EQ(result.ids.size(), part.ids.size());
      for (size_t q = 0; q < part.ids.size(); ++q) {
        ASSERT_EQ(result.ids[q].size(), 1u);
        EXPECT_EQ(result.ids[q][0], part.ids[q]);
      }
    }
    const nivora::QueryResult gone = index->Query(deleted.vectors, query);
    for (size_t q = 0; q < deleted.ids.size(); ++q) {
      EXPECT_NE(gone.ids[q].at(0), deleted.ids[q]);
    }
  }
}

// Writers with index objects of their own, in other threads, keep writing
// while another object trains: every write they were told succeeded is in
// its last state afterwards.
TEST_F(TrainIndexTest, WritersInOtherThreadsDuringTrainingLoseNothing) {
  auto index = Create(nivora::IndexIVFFlat(kDim));
  const Items items = MakeItems(0, 10000);
  Upsert(*index, items);
  constexpr size_t kWriters = 3;
  constexpr size_t kRounds = 6;
  std::vector<std::unique_ptr<EncryptedIndex>> writers;
  for (size_t w = 0; w < kWriters; ++w) writers.push_back(Open());
  std::vector<Items> added(kWriters);
  std::vector<std::vector<std::string>> deleted(kWriters);
  std::atomic<bool> trained{false};
  std::vector<std::thread> threads;
  for (size_t w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      // At least kRounds rounds; more while the training runs.
      for (size_t round = 0; round < kRounds || (!trained && round < 100); ++round) {
        const size_t first = 20000 + (w * 100 + round) * 10;
        Items batch = MakeItems(first, 10, static_cast<uint32_t>(first));
        Upsert(*writers[w], batch);
        added[w] = batch;  // the last batch stays; earlier ones are deleted
        if (round != 0) {
          const size_t earlier = 20000 + (w * 100 + round - 1) * 10;
          std::vector<std::string> ids;
          for (size_t i = 0; i < 10; ++i) ids.push_back("item-" + std::to_string(earlier + i));
          writers[w]->Delete(ids);
          deleted[w].insert(deleted[w].end(), ids.begin(), ids.end());
        }
      }
    });
  }
  index->TrainIndex(QuickParams());
  trained = true;
  for (std::thread& t : threads) t.join();

  auto reader = Open();
  EXPECT_TRUE(reader->is_trained());
  ExpectItemsReadable(*reader, items, 0.0f);
  for (size_t w = 0; w < kWriters; ++w) {
    ExpectItemsReadable(*reader, added[w], 0.0f);
    EXPECT_TRUE(reader->Get(deleted[w], {}).empty());
  }
  nivora::QueryParams query;
  query.top_k = 1;
  query.n_probes = reader->config()->n_lists();
  for (size_t w = 0; w < kWriters; ++w) {
    const nivora::QueryResult result = reader->Query(added[w].vectors, query);
    for (size_t q = 0; q < added[w].ids.size(); ++q) {
      EXPECT_EQ(result.ids[q].at(0), added[w].ids[q]);
    }
  }
}

TEST_F(TrainIndexTest, IVFSQRetraining) {
  const Items items = MakeItems(0, 10000);
  auto index = CreateTrained(nivora::IndexIVFSQ(kDim, 8), items);
  const nivora::IndexState first = StoredState();
  EXPECT_EQ(first.quantizer_version, 1);

  // Retraining decodes the stored codes under the first quantizer and
  // learns its ranges again from them, with the items added since.
  const Items more = MakeItems(10000, 2000, 5);
  Upsert(*index, more);
  index->TrainIndex(QuickParams());

  const nivora::IndexState stored = StoredState();
  EXPECT_TRUE(stored.trained);
  EXPECT_EQ(stored.quantizer_version, 2);
  ASSERT_EQ(stored.quantizers.sq_quantizers.size(), 1u);
  const auto& old_q = first.quantizers.sq_quantizers[0];
  const auto& new_q = stored.quantizers.sq_quantizers[0];
  for (size_t d = 0; d < kDim; ++d) {
    // The decoded extremes lie within a step of the first ranges.
    EXPECT_NEAR(new_q.min[d], old_q.min[d], 2 * old_q.scale[d]);
    EXPECT_NEAR(new_q.scale[d], old_q.scale[d], old_q.scale[d] * 0.05f);
  }
  EXPECT_EQ(index->get_num_vectors(), items.ids.size() + more.ids.size());
  // Coded twice: once by each quantizer.
  ExpectItemsReadable(*index, items, 0.03f);
  ExpectItemsReadable(*index, more, 0.03f);
}

TEST_F(TrainIndexTest, RetrainingIVFOrIVFPQIsRefused) {
  const ConfigFactory configs[] = {
      [] { return std::make_unique<nivora::IndexIVF>(kDim); },
      [] { return std::make_unique<nivora::IndexIVFPQ>(kDim, 4, 4); },
  };
  for (const ConfigFactory& config : configs) {
    name_ = UniqueIndexName();
    auto index = CreateTrained(*config(), MakeItems(0, 10000));
    EXPECT_TRUE(index->is_trained());
    EXPECT_EQ(index->get_num_vectors(), 10000u);
    EXPECT_THROW(index->TrainIndex(QuickParams()), std::runtime_error);
    EXPECT_EQ(StoredState().quantizer_version, 1);
  }
}

// After training, a query for an item's own vector finds it first.
TEST_F(TrainIndexTest, QueriesFindTrainedItems) {
  const ConfigFactory configs[] = {
      [] { return std::make_unique<nivora::IndexIVFFlat>(kDim); },
      [] { return std::make_unique<nivora::IndexIVFSQ>(kDim, 8); },
  };
  for (const ConfigFactory& config : configs) {
    name_ = UniqueIndexName();
    const Items items = MakeItems(0, 10000);
    auto index = CreateTrained(*config(), items);

    const size_t n_queries = 50;
    Array2D<float> queries(n_queries, kDim);
    for (size_t q = 0; q < n_queries; ++q) {
      for (size_t d = 0; d < kDim; ++d) queries.row(q)[d] = items.vectors.row(q * 97)[d];
    }
    nivora::QueryParams query;
    query.top_k = 10;
    query.n_probes = 8;
    const auto& tokens = index->engine()->token_cache();
    const uint64_t misses_after_training = tokens.getCacheMisses();
    EXPECT_EQ(tokens.getCacheSize(), index->config()->n_lists());
    nivora::QueryResult result;
    try {
      result = index->Query(queries, query);
    } catch (const std::logic_error& e) {
      if (std::string(e.what()) == "not implemented") GTEST_SKIP() << "Query not built yet";
      throw;
    }
    ASSERT_EQ(result.ids.size(), n_queries);
    // Training left every list's tokens in the token cache: the query
    // derived none.
    EXPECT_EQ(tokens.getCacheMisses(), misses_after_training);
    EXPECT_EQ(tokens.getCacheExtends(), 0u);
    EXPECT_GT(tokens.getCacheHits(), 0u);
    size_t found = 0;
    for (size_t q = 0; q < n_queries; ++q) {
      for (const std::string& id : result.ids[q]) found += id == items.ids[q * 97];
    }
    EXPECT_GE(found, n_queries * 9 / 10);
  }
}

}  // namespace
}  // namespace nivora_test
