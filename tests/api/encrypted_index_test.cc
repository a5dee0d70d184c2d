// Client and EncryptedIndex: creation and loading, upsert validation, get
// per index type, deletion, quantizer synchronisation across indexes, and
// concurrent use of one index.
#include "api/encrypted_index.h"

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "api/client.h"
#include "api/encrypted_quantizer_cache.h"
#include "api/error_guard.h"
#include "tests/api/index_test_support.h"
#include "tests/backing_store/external/rocksdb/temp_folder.h"

namespace nivora::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;
using nivora_encrypted_index::internal::backing_store::testing::FreshFolder;

class IndexTest : public ::testing::Test {
 protected:
  std::unique_ptr<Client> MakeClient(DBConfig index = ThreadSafeMemory(),
                                     DBConfig config = ThreadSafeMemory(),
                                     DBConfig items = ThreadSafeMemory()) {
    return std::make_unique<Client>("test-key", index, config, items, 0, GPUConfig::NONE,
                                    telemetry_.aggregator());
  }

  std::unique_ptr<EncryptedIndex> Create(Client& client, const std::string& name,
                                         const IndexConfig& config, uint8_t key_seed = 1) {
    return client.CreateIndex(name, TestKey(key_seed), config, std::nullopt, nullptr);
  }

  // An index of the given configuration whose stored state is trained with
  // hand-made quantizers (n_lists lists), loaded back through the API.
  std::unique_ptr<EncryptedIndex> TrainedByHand(Client& client, const std::string& name,
                                                const IndexConfig& config, size_t n_lists) {
    Create(client, name, config).reset();
    {
      EngineHandle handle = OpenEngine(name, TestKey(1));
      std::vector<uint8_t> bytes = TrainedStateBytes(name, config, n_lists, 1);
      handle.engine->StoreIndexConfig(bytes);
      const size_t d = config.dimension();
      size_t payload = 4 * d;
      if (config.index_type_ == IndexType::IVF) payload = 0;
      if (config.index_type_ == IndexType::IVFPQ) payload = 4 * config.pq_dim();
      if (config.index_type_ == IndexType::IVFSQ) payload = config.sq_bits() / 8 * d;
      handle.engine->payload_size(payload);
    }
    return client.LoadIndex(name, TestKey(1), nullptr);
  }

  CapturedTelemetry telemetry_;
};

// ---- CreateIndex ------------------------------------------------------------

struct CreateCase {
  const char* label;
  std::function<std::unique_ptr<IndexConfig>()> config;
  std::string name;
  std::array<uint8_t, 32> key;
  std::optional<DistanceMetric> metric;
  const char* message;
};

TEST_F(IndexTest, CreateIndexRefusalsStoreNothing) {
  auto ivf = [] { return std::unique_ptr<IndexConfig>(std::make_unique<IndexIVF>(4)); };
  std::array<uint8_t, 32> zero_key{};
  const std::vector<CreateCase> cases = {
      {"long name", ivf, std::string(256, 'n'), TestKey(1), std::nullopt,
       "Index name cannot be longer than 255 bytes."},
      {"empty name", ivf, "", TestKey(1), std::nullopt, "Index name cannot be an empty string."},
      {"zero key", ivf, "zk", zero_key, std::nullopt, "An index key of all zero bytes is refused."},
      {"no lists",
       [] {
         auto c = std::make_unique<IndexIVFFlat>(4);
         c->n_lists_ = 0;
         return std::unique_ptr<IndexConfig>(std::move(c));
       },
       "nl", TestKey(1), std::nullopt, "n_lists cannot be 0."},
      {"bad type",
       [] {
         auto c = std::make_unique<IndexIVF>(4);
         c->index_type_ = static_cast<IndexType>(4);
         return std::unique_ptr<IndexConfig>(std::move(c));
       },
       "bt", TestKey(1), std::nullopt, "Index type must be IVF, IVFFLAT, IVFPQ, or IVFSQ."},
      {"bad metric", ivf, "bm", TestKey(1), static_cast<DistanceMetric>(3),
       "Metric must be Cosine, Euclidean or SquaredEuclidean."},
      {"pq bits 0", [] { return std::unique_ptr<IndexConfig>(std::make_unique<IndexIVFPQ>(8, 4, 0)); },
       "pb0", TestKey(1), std::nullopt, "pq_bits must be between 1 and 16."},
      {"pq bits 17", [] { return std::unique_ptr<IndexConfig>(std::make_unique<IndexIVFPQ>(8, 4, 17)); },
       "pb17", TestKey(1), std::nullopt, "pq_bits must be between 1 and 16."},
      {"pq dim", [] { return std::unique_ptr<IndexConfig>(std::make_unique<IndexIVFPQ>(10, 3, 4)); },
       "pd", TestKey(1), std::nullopt,
       "Vector dimension must be divisible by the number of subvectors."},
      {"sq bits", [] { return std::unique_ptr<IndexConfig>(std::make_unique<IndexIVFSQ>(4, 12)); },
       "sq", TestKey(1), std::nullopt, "Unsupported sq_bits value. Only 8 or 16 are supported."},
      {"huge n_lists",
       [] {
         auto c = std::make_unique<IndexIVFFlat>(4);
         c->n_lists_ = size_t{1} << 31;
         return std::unique_ptr<IndexConfig>(std::move(c));
       },
       "hn", TestKey(1), std::nullopt, "n_lists cannot exceed 2147483647."},
  };
  auto client = MakeClient();
  const std::vector<std::string> before = client->ListIndexes();
  for (const CreateCase& c : cases) {
    SCOPED_TRACE(c.label);
    const std::unique_ptr<IndexConfig> config = c.config();
    const std::string name = c.name.size() > 200 || c.name.empty() ? c.name : UniqueName(c.name);
    try {
      client->CreateIndex(name, c.key, *config, c.metric, nullptr);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  EXPECT_EQ(client->ListIndexes(), before);
  // Every call counted, refused or not, and each sent an init event.
  EXPECT_EQ(telemetry_.Count("create_index"), static_cast<int64_t>(cases.size()));
}

TEST_F(IndexTest, CreateIndexLimitsAndMetricOverride) {
  auto client = MakeClient();
  std::array<uint8_t, 32> almost_zero{};
  almost_zero[31] = 1;
  const std::string long_name = UniqueName(std::string(240, 'x')).substr(0, 255);
  const std::string name255 = long_name + std::string(255 - long_name.size(), 'y');
  auto index = client->CreateIndex(name255, almost_zero, IndexIVF(4), std::nullopt, nullptr);
  EXPECT_EQ(index->index_name(), name255);

  auto pq = client->CreateIndex(UniqueName("pq"), TestKey(2), IndexIVFPQ(8, 8, 4),
                                DistanceMetric::Cosine, nullptr);
  const std::unique_ptr<IndexConfig> config = pq->config();
  EXPECT_EQ(config->metric_, DistanceMetric::Cosine);
  EXPECT_EQ(config->pq_dim(), 8u);
  EXPECT_EQ(config->pq_bits(), 4u);
  EXPECT_EQ(config->n_lists(), 1u);

  auto defaults = client->CreateIndex(UniqueName("def"), TestKey(3), std::nullopt, nullptr);
  const std::unique_ptr<IndexConfig> d = defaults->config();
  EXPECT_EQ(d->index_type_, IndexType::IVFSQ);
  EXPECT_EQ(d->sq_bits(), 16u);
  EXPECT_EQ(d->dimension(), 0u);

  // The same name again: the engine refuses, through the constructor's guard.
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(client->CreateIndex(name255, almost_zero, IndexIVF(4), std::nullopt, nullptr),
               std::runtime_error);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("[ERROR] Exception in EncryptedIndex: "));
}

// ---- Upsert ---------------------------------------------------------------

struct UpsertCase {
  const char* label;
  std::vector<std::string> ids;
  Array2D<float> vectors;
  std::vector<std::vector<uint8_t>> contents;
  std::vector<std::string> metadata;
  const char* message;
};

TEST_F(IndexTest, UpsertRefusalsLeaveTheStoresUnchanged) {
  Array2D<float> with_nan = Vectors(2, 4);
  with_nan.data[5] = std::numeric_limits<float>::quiet_NaN();
  Array2D<float> with_inf = Vectors(2, 4);
  with_inf.data[0] = -std::numeric_limits<float>::infinity();
  const std::vector<UpsertCase> cases = {
      {"ids vs rows", {"a", "b"}, Vectors(3, 4), {}, {},
       "Mismatch between the number of vectors and IDs."},
      {"empty", {}, Array2D<float>(), {}, {}, "Vectors and IDs cannot be empty."},
      {"contents", {"a", "b"}, Vectors(2, 4), {{1}}, {},
       "Mismatch between the number of vectors and items."},
      {"metadata count", {"a", "b"}, Vectors(2, 4), {}, {"{}"},
       "Mismatch between the number of vectors and metadata."},
      {"bad json", {"a", "b"}, Vectors(2, 4), {}, {"{\"x\": 1}", "{secret-text"},
       "Invalid JSON metadata at position 1."},
      {"deep json", {"a", "b"}, Vectors(2, 4), {},
       {"{}", std::string(65, '[') + std::string(65, ']')},
       "Metadata at position 1 nests deeper than 64 levels; at most 64 are allowed."},
      {"nan", {"a", "b"}, with_nan, {}, {}, "Vectors must contain only finite values."},
      {"inf", {"a", "b"}, with_inf, {}, {}, "Vectors must contain only finite values."},
  };
  auto client = MakeClient();
  for (const UpsertCase& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string name = UniqueName("up");
    // Dimension left to the first upsert: a refusal must not fix it.
    auto index = Create(*client, name, IndexIVFFlat(0));
    try {
      index->Upsert(c.ids, c.vectors, c.contents, c.metadata);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(index->get_num_vectors(), 0u);
    EXPECT_EQ(index->config()->dimension(), 0u);
    index.reset();
    auto loaded = client->LoadIndex(name, TestKey(1), nullptr);
    EXPECT_EQ(loaded->config()->dimension(), 0u);
    EXPECT_EQ(loaded->get_num_vectors(), 0u);
  }
  EXPECT_EQ(telemetry_.Count("upsert"), 0);

  // Once known, the dimension is enforced; a detected dimension that the
  // PQ parameters cannot serve is refused before it is stored.
  auto fixed = Create(*client, UniqueName("fixed"), IndexIVFFlat(4));
  try {
    fixed->Upsert({"a"}, Vectors(1, 5), {}, {});
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "The dimension of the vectors provided (5) doesn't match the index "
                 "configuration (4).");
  }
  auto pq = Create(*client, UniqueName("pq"), IndexIVFPQ(0, 3, 4));
  EXPECT_THROW(pq->Upsert({"a"}, Vectors(1, 4), {}, {}), std::invalid_argument);
  EXPECT_EQ(pq->config()->dimension(), 0u);
}

TEST_F(IndexTest, FirstUpsertFixesDimensionAndGetReturnsItems) {
  auto client = MakeClient();
  const std::string name = UniqueName("first");
  auto index = client->CreateIndex(name, TestKey(1), std::nullopt, nullptr);
  const Array2D<float> v = Vectors(3, 4);
  index->Upsert({"a", "b", "c"}, v, {{1, 2}, {}, {3}}, {"{\"k\": 1}", "", "[1,2]"});
  EXPECT_EQ(index->config()->dimension(), 4u);
  EXPECT_EQ(client->LoadIndex(name, TestKey(1), nullptr)->config()->dimension(), 4u);
  EXPECT_EQ(telemetry_.Count("upsert"), 3);

  const std::vector<GetResultItem> items = index->Get({"a", "x", "c", "b"}, {});
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].id, "a");
  EXPECT_EQ(items[0].vector, Row(v, 0));
  EXPECT_EQ(items[0].contents, (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(items[0].metadata, "{\"k\": 1}");
  EXPECT_EQ(items[1].id, "c");
  EXPECT_EQ(items[1].metadata, "[1,2]");
  EXPECT_EQ(items[2].id, "b");
  EXPECT_TRUE(items[2].contents.empty());
  EXPECT_EQ(telemetry_.Count("get"), 4);

  // Only the fields asked for.
  const std::vector<GetResultItem> meta = index->Get({"a"}, {ItemFields::METADATA});
  ASSERT_EQ(meta.size(), 1u);
  EXPECT_TRUE(meta[0].vector.empty());
  EXPECT_EQ(meta[0].metadata, "{\"k\": 1}");
  EXPECT_TRUE(index->Get({}, {}).empty());

  // A stored zero vector is an item like any other.
  index->Upsert({"zero"}, Array2D<float>(1, 4), {}, {});
  const std::vector<GetResultItem> zero = index->Get({"zero"}, {ItemFields::VECTOR});
  ASSERT_EQ(zero.size(), 1u);
  EXPECT_EQ(zero[0].vector, std::vector<float>(4, 0.0f));
}

TEST_F(IndexTest, RepeatedIdInABatchKeepsTheLastOccurrence) {
  auto client = MakeClient();
  auto index = Create(*client, UniqueName("dup"), IndexIVFFlat(4));
  const Array2D<float> v = Vectors(3, 4);
  ::testing::internal::CaptureStderr();
  index->Upsert({"a", "b", "a"}, v, {{1}, {2}, {3}}, {"{\"n\":1}", "{\"n\":2}", "{\"n\":3}"});
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("Warning: Duplicate IDs detected. Skipping duplicate IDs."));
  const std::vector<GetResultItem> a = index->Get({"a"}, {});
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].vector, Row(v, 2));
  EXPECT_EQ(a[0].contents, std::vector<uint8_t>{3});
  EXPECT_EQ(a[0].metadata, "{\"n\":3}");
  EXPECT_EQ(index->get_num_vectors(), 2u);  // one list entry per distinct id
  EXPECT_THAT(index->ListIDs(), UnorderedElementsAre("a", "b"));
  EXPECT_EQ(telemetry_.Count("upsert"), 3);  // rows received
}

TEST_F(IndexTest, DeleteAndReUpsertLeaveNoPhantomOrDuplicate) {
  auto client = MakeClient();
  auto index = Create(*client, UniqueName("del"), IndexIVFFlat(4));
  index->Upsert({"a", "b"}, Vectors(2, 4), {}, {});
  index->Delete({"a", "never-stored"});
  EXPECT_EQ(telemetry_.Count("delete"), 2);
  EXPECT_TRUE(index->Get({"a"}, {}).empty());
  EXPECT_THAT(index->ListIDs(), UnorderedElementsAre("b"));
  EXPECT_EQ(index->get_num_vectors(), 2u);  // counters never go down

  const Array2D<float> fresh = Vectors(1, 4, 100.0f);
  index->Upsert({"a"}, fresh, {}, {});
  EXPECT_THAT(index->ListIDs(), UnorderedElementsAre("a", "b"));
  const std::vector<GetResultItem> a = index->Get({"a"}, {});
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].vector, Row(fresh, 0));

  // Stored again under the same id: still one item.
  index->Upsert({"b"}, Vectors(1, 4, 50.0f), {}, {});
  EXPECT_THAT(index->ListIDs(), UnorderedElementsAre("a", "b"));

  index->Delete({"a", "b"});
  EXPECT_TRUE(index->ListIDs().empty());
}

// ---- Get per index type, under hand-made trained quantizers ----------------

TEST_F(IndexTest, GetTurnsStoredPayloadsBackIntoVectorsPerType) {
  auto client = MakeClient();
  const size_t d = 4;
  // Values inside the SQ ranges of the hand-made quantizer (min 1 - i).
  const Array2D<float> v = Vectors(3, d, 2.0f);

  {
    SCOPED_TRACE("IVFFLAT");
    auto index = TrainedByHand(*client, UniqueName("flat"), IndexIVFFlat(d), 2);
    ASSERT_TRUE(index->is_trained());
    index->Upsert({"a", "b", "c"}, v, {}, {});
    const auto items = index->Get({"a", "b", "c"}, {ItemFields::VECTOR});
    ASSERT_EQ(items.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(items[i].vector, Row(v, i));
  }
  for (size_t bits : {8u, 16u}) {
    SCOPED_TRACE("IVFSQ " + std::to_string(bits));
    auto index = TrainedByHand(*client, UniqueName("sq"), IndexIVFSQ(d, bits), 2);
    index->Upsert({"a", "b", "c"}, v, {}, {});
    const auto items = index->Get({"a", "b", "c"}, {});
    ASSERT_EQ(items.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      ASSERT_EQ(items[i].vector.size(), d);
      for (size_t j = 0; j < d; ++j) {
        const float scale = 0.5f + static_cast<float>(j) / 8.0f;
        EXPECT_NEAR(items[i].vector[j], v.row(i)[j], scale / 2 + 1e-4f) << i << "," << j;
      }
    }
  }
  {
    // 8-bit codes of an odd dimension: rows that are no whole number of
    // floats still come back as vectors.
    SCOPED_TRACE("IVFSQ 8 bits, dimension 6");
    auto index = TrainedByHand(*client, UniqueName("sq6"), IndexIVFSQ(6, 8), 2);
    const Array2D<float> v6 = Vectors(2, 6, 2.0f);
    index->Upsert({"a", "b"}, v6, {}, {});
    const auto items = index->Get({"b"}, {ItemFields::VECTOR});
    ASSERT_EQ(items.size(), 1u);
    ASSERT_EQ(items[0].vector.size(), 6u);
    EXPECT_NEAR(items[0].vector[5], v6.row(1)[5], 0.6f);
  }
  {
    SCOPED_TRACE("IVFPQ");
    auto index = TrainedByHand(*client, UniqueName("pq"), IndexIVFPQ(d, 2, 2), 2);
    index->Upsert({"a"}, Vectors(1, d, 2.0f), {}, {});
    const auto items = index->Get({"a"}, {});
    ASSERT_EQ(items.size(), 1u);
    ASSERT_EQ(items[0].vector.size(), d);
    // Each half is one codeword of its codebook (values base + 100 + s + ...).
    for (size_t s = 0; s < 2; ++s) {
      const float first = items[0].vector[2 * s];
      EXPECT_GE(first, 101.0f + static_cast<float>(s));
      EXPECT_LT(first, 103.0f + static_cast<float>(s));
      EXPECT_FLOAT_EQ(items[0].vector[2 * s + 1] - first, 1.0f / 1024.0f);
    }
  }
  {
    SCOPED_TRACE("IVF");
    auto index = TrainedByHand(*client, UniqueName("ivf"), IndexIVF(d), 2);
    index->Upsert({"a"}, Vectors(1, d), {{9}}, {});
    const auto items = index->Get({"a"}, {});
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items[0].vector.empty());
    EXPECT_EQ(items[0].contents, std::vector<uint8_t>{9});
  }
}

// ---- Quantizer synchronisation -----------------------------------------------

TEST_F(IndexTest, AnOpenIndexAdoptsATrainingStoredMeanwhile) {
  auto client = MakeClient();
  const std::string name = UniqueName("adopt");
  auto index = Create(*client, name, IndexIVFSQ(4, 8));
  index->Upsert({"a"}, Vectors(1, 4, 2.0f), {}, {});  // caches the untrained state
  EXPECT_FALSE(index->is_trained());
  {
    EngineHandle handle = OpenEngine(name, TestKey(1));
    handle.engine->StoreIndexConfig(TrainedStateBytes(name, IndexIVFSQ(4, 8), 4, 1));
  }
  // This object's own untrained entry still matches its stamp; a training
  // by another process reaches it once that entry is gone.
  internal::EncryptedQuantizerCache::Instance().Remove(index->cache_key());
  index->Upsert({"b"}, Vectors(1, 4, 3.0f), {}, {});
  EXPECT_TRUE(index->is_trained());
  EXPECT_EQ(index->config()->n_lists(), 4u);
  const auto b = index->Get({"b"}, {});
  ASSERT_EQ(b.size(), 1u);
  EXPECT_NEAR(b[0].vector[0], 3.0f, 0.5f);

  // A second object on the same stored index sees the training too: its
  // stamp differs from the cached one, so it rereads the stored state.
  auto other = client->LoadIndex(name, TestKey(1), nullptr);
  EXPECT_TRUE(other->is_trained());
  EXPECT_EQ(other->Get({"b"}, {}).size(), 1u);
}

TEST_F(IndexTest, StaleObjectRereadsWhenTheCachedStampDiffers) {
  auto client = MakeClient();
  const std::string name = UniqueName("stale");
  auto stale = Create(*client, name, IndexIVFFlat(4));
  stale->Upsert({"a"}, Vectors(1, 4), {}, {});
  // Another object of this process publishes a trained state.
  {
    EngineHandle handle = OpenEngine(name, TestKey(1));
    handle.engine->StoreIndexConfig(TrainedStateBytes(name, IndexIVFFlat(4), 2, 1));
  }
  auto fresh = client->LoadIndex(name, TestKey(1), nullptr);  // puts the trained set
  EXPECT_TRUE(fresh->is_trained());
  // The stale object's untrained stamp no longer matches the entry: it
  // rereads the stored state instead of running with a set of another state.
  stale->Upsert({"b"}, Vectors(1, 4, 9.0f), {}, {});
  EXPECT_TRUE(stale->is_trained());
  EXPECT_EQ(stale->config()->n_lists(), 2u);
}

TEST_F(IndexTest, SameNameElsewhereOrUnderAnotherKeySharesNothing) {
  auto client = MakeClient();
  const std::string name = UniqueName("shared");
  auto trained = TrainedByHand(*client, name, IndexIVFSQ(4, 16), 2);
  trained->Upsert({"a"}, Vectors(1, 4, 2.0f), {}, {});

  // Same name in a RocksDB folder, other key: an untrained index of its own.
  const std::string folder = FreshFolder("shared");
  auto rocks_client = MakeClient(RocksDB(folder), RocksDB(folder), RocksDB(folder));
  auto rocks = rocks_client->CreateIndex(name, TestKey(9), IndexIVFSQ(4, 16), std::nullopt,
                                         nullptr);
  const Array2D<float> raw = Vectors(1, 4, 7.0f);
  rocks->Upsert({"a"}, raw, {}, {});
  EXPECT_FALSE(rocks->is_trained());
  const auto items = rocks->Get({"a"}, {});
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].vector, Row(raw, 0));
  EXPECT_NE(rocks->cache_key(), trained->cache_key());

  // The trained one is still served its own set.
  const auto mine = trained->Get({"a"}, {});
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_NEAR(mine[0].vector[0], 2.0f, 0.5f);
}

TEST_F(IndexTest, APlainMemoryIndexNeverRunsOnZeros) {
  auto client = MakeClient(PlainMemory(), PlainMemory(), PlainMemory());
  const std::string name = UniqueName("plain");
  auto index = Create(*client, name, IndexIVFSQ(4, 8));
  // No stored state to reread here: install a trained state by hand.
  index->DeserializeIndexState(TrainedStateBytes(name, IndexIVFSQ(4, 8), 2, 1));
  index->SyncEngineShape();
  index->CacheQuantizers();
  index->EndQuantizerUse();
  index->Upsert({"a"}, Vectors(1, 4, 2.0f), {}, {});
  const auto served = index->Get({"a"}, {});
  ASSERT_EQ(served.size(), 1u);
  EXPECT_NEAR(served[0].vector[0], 2.0f, 0.5f);
  // The entry was the only copy; once gone, operations fail instead of
  // using the wiped set.
  internal::EncryptedQuantizerCache::Instance().Remove(index->cache_key());
  EXPECT_THROW(index->Get({"a"}, {}), std::runtime_error);
  EXPECT_THROW(index->Upsert({"b"}, Vectors(1, 4), {}, {}), std::runtime_error);
  // Fields that need no quantizers are still served.
  EXPECT_EQ(index->Get({"a"}, {ItemFields::METADATA}).size(), 1u);

  // Two plain-memory clients never share entries, even for the same name.
  auto other_client = MakeClient(PlainMemory(), PlainMemory(), PlainMemory());
  EXPECT_NE(other_client->quantizer_cache_location(), client->quantizer_cache_location());
}

TEST_F(IndexTest, AMissWhoseStoredStateIsUnreadableFails) {
  auto client = MakeClient();
  const std::string name = UniqueName("broken");
  auto index = Create(*client, name, IndexIVFFlat(4));
  index->Upsert({"a"}, Vectors(1, 4), {}, {});
  {
    EngineHandle handle = OpenEngine(name, TestKey(1));
    handle.engine->StoreIndexConfig(std::vector<uint8_t>(40, 0x5a));
  }
  internal::EncryptedQuantizerCache::Instance().Remove(index->cache_key());
  try {
    index->Upsert({"b"}, Vectors(1, 4), {}, {});
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Could not deserialize index config: buffer is invalid");
  }
  EXPECT_TRUE(index->Get({"b"}, {ItemFields::METADATA, ItemFields::CONTENTS}).empty());
  EXPECT_EQ(index->get_num_vectors(), 1u);
}

// ---- LoadIndex, DeleteIndex, guards -------------------------------------------

TEST_F(IndexTest, LoadIndexOfABrokenStateReportsOnceAndPrintsTwice) {
  auto client = MakeClient();
  const std::string name = UniqueName("nested");
  Create(*client, name, IndexIVFFlat(4)).reset();
  {
    EngineHandle handle = OpenEngine(name, TestKey(1));
    handle.engine->StoreIndexConfig(std::vector<uint8_t>{1, 2, 3});
  }
  telemetry_.Reset();
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(client->LoadIndex(name, TestKey(1), nullptr), std::invalid_argument);
  const std::string err = ::testing::internal::GetCapturedStderr();
  const std::string what = "Could not deserialize index config: buffer is invalid";
  const size_t inner = err.find("[ERROR] Exception in EncryptedIndex: " + what);
  const size_t outer = err.find("[ERROR] Exception in LoadIndex: " + what);
  ASSERT_NE(inner, std::string::npos) << err;
  ASSERT_NE(outer, std::string::npos) << err;
  EXPECT_LT(inner, outer);
  const std::vector<std::string> errors = telemetry_.Errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], HasSubstr("Exception in EncryptedIndex"));
  EXPECT_EQ(internal::t_api_call_depth, 0);
  EXPECT_FALSE(internal::t_api_error_reported);

  // A wrong key and a missing index fail the same way.
  EXPECT_ANY_THROW(client->LoadIndex(name, TestKey(2), nullptr));
  EXPECT_ANY_THROW(client->LoadIndex(UniqueName("missing"), TestKey(1), nullptr));
}

TEST_F(IndexTest, AKeystoreThatCannotBeMadeFailsTheClientUnguarded) {
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(MakeClient(ThreadSafeMemory(), DBConfig(Location::NONE, std::nullopt, std::nullopt)),
               std::invalid_argument);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::Not(HasSubstr("[ERROR] Exception in Client")));
  EXPECT_TRUE(telemetry_.Errors().empty());
}

TEST_F(IndexTest, LoadIndexRefusesPlainMemoryAndEmptyNames) {
  auto client = MakeClient(ThreadSafeMemory(), ThreadSafeMemory(), PlainMemory());
  try {
    client->LoadIndex("x", TestKey(1), nullptr);
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Memory location is not supported for loading an existing index.");
  }
  auto ok = MakeClient();
  EXPECT_THROW(ok->LoadIndex("", TestKey(1), nullptr), std::invalid_argument);
}

TEST_F(IndexTest, OperationsAfterDeleteIndexFailAsNotConnected) {
  auto client = MakeClient();
  const std::string name = UniqueName("gone");
  auto index = Create(*client, name, IndexIVFFlat(4));
  index->Upsert({"a"}, Vectors(1, 4), {}, {});
  index->DeleteIndex();
  EXPECT_EQ(telemetry_.Count("delete_index"), 1);
  EXPECT_FALSE(index->is_trained());
  EXPECT_EQ(index->index_name(), "");
  EXPECT_EQ(index->config(), nullptr);

  auto expect_runtime = [](const std::function<void()>& op) {
    try {
      op();
      ADD_FAILURE();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), kNotConnectedMessage);
    }
  };
  expect_runtime([&] { index->Get({"a"}, {}); });
  expect_runtime([&] { index->Delete({"a"}); });
  expect_runtime([&] { index->ListIDs(); });
  expect_runtime([&] { index->get_num_vectors(); });
  expect_runtime([&] { index->DeleteIndex(); });
  try {
    index->Upsert({"a"}, Vectors(1, 4), {}, {});
    ADD_FAILURE();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), kNotConnectedMessage);
  }
  EXPECT_EQ(telemetry_.Count("delete_index"), 2);

  EXPECT_THAT(client->ListIndexes(), ::testing::Not(::testing::Contains(name)));
  EXPECT_ANY_THROW(client->LoadIndex(name, TestKey(1), nullptr));
  // The name is free again, and the new index starts empty.
  auto again = Create(*client, name, IndexIVFFlat(4));
  EXPECT_EQ(again->get_num_vectors(), 0u);
  EXPECT_TRUE(again->Get({"a"}, {}).empty());
}

TEST_F(IndexTest, ListIndexesReadsTheConfigLocation) {
  const std::string folder = FreshFolder("listing");
  const std::string name = UniqueName("listed");
  {
    // Items in memory, states in RocksDB.
    auto client = MakeClient(ThreadSafeMemory(), RocksDB(folder), ThreadSafeMemory());
    Create(*client, name, IndexIVFFlat(4)).reset();
    EXPECT_THAT(client->ListIndexes(), ::testing::Contains(name));
    EXPECT_THAT(MakeClient()->ListIndexes(), ::testing::Not(::testing::Contains(name)));
  }
  // Items in RocksDB, states in memory.
  const std::string folder2 = FreshFolder("listing2");
  const std::string name2 = UniqueName("listed");
  auto client = MakeClient(RocksDB(folder2), ThreadSafeMemory(), RocksDB(folder2));
  Create(*client, name2, IndexIVFFlat(4)).reset();
  EXPECT_THAT(client->ListIndexes(), ::testing::Contains(name2));
  EXPECT_THAT(client->ListIndexes(), ::testing::Not(::testing::Contains(name)));
  EXPECT_GE(telemetry_.Count("list_indexes"), 4);
}

TEST_F(IndexTest, ConcurrentCallsOnOneIndexAreSerialised) {
  auto client = MakeClient();
  auto index = Create(*client, UniqueName("conc"), IndexIVFFlat(4));
  constexpr int kThreads = 4;
  constexpr int kBatches = 10;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int b = 0; b < kBatches; ++b) {
        std::string id = std::to_string(t * 1000 + b);
        index->Upsert({id}, Vectors(1, 4, static_cast<float>(t * 100 + b)), {}, {});
        const auto got = index->Get({id}, {});
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].vector[0], static_cast<float>(t * 100 + b));
        if (b % 3 == 0) index->ListIDs();
        EXPECT_FALSE(index->is_trained());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(index->ListIDs().size(), static_cast<size_t>(kThreads * kBatches));
  EXPECT_EQ(index->get_num_vectors(), static_cast<size_t>(kThreads * kBatches));
}

}  // namespace
}  // namespace nivora::testing
