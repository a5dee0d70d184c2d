// Item ingest: the stored layout, write order and slices, re-upserts,
// removal, rebuilding the tokens, centroid metadata, and that a malformed
// call destroys nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "backing_store/forwarding_keystore.h"
#include "encrypted_index/ingest_tokens.h"
#include "ingest_fixture.h"

namespace nivora_test {
namespace {

using ::testing::ElementsAre;
using ::testing::ThrowsMessage;

using IngestTest = EngineTest;

TEST_F(IngestTest, OneAddItemsStoresTheLayoutOfEveryStore) {
  stores_ = Stores(nivora::Location::MEMORY);
  auto client = Create(2, 16);
  ItemBatch batch = MakeBatch(3, 16);
  batch.metadata = {"{\"a\":1}", "", ""};
  client->AddItems(batch, {1, 0, 1});

  const uint64_t id = index_id();
  // One 8-byte token per item: the id hash masked with the pad of its
  // (centroid, position), positions counted per centroid.
  const auto salts = layout::ComputeAllSaltsAndSeeds(2, key_, SubKey(""));
  const std::vector<uint64_t> hashes = {Hash("item-0"), Hash("item-1"), Hash("item-2")};
  const auto tokens = layout::cpu::IngestCentroids({1, 0, 1}, hashes, salts, 32, {0, 0, 1});
  // Beside them, one location record per item names its token's place.
  std::vector<uint64_t> expected_keys = tokens.keys;
  for (int i = 0; i < 3; ++i) expected_keys.push_back(StoreKey("item-" + std::to_string(i), ".location"));
  std::vector<uint64_t> token_keys;
  for (uint64_t key : Store(BackingStoreType::INDEX).GetAllKeys(id)) {
    if (key != layout::kCounterMapKey && key != layout::kCounterMapVersionKey &&
        key != layout::kChangeStampKey && key != layout::kChangeStampVersionKey) {
      token_keys.push_back(key);
    }
  }
  EXPECT_THAT(token_keys, ::testing::UnorderedElementsAreArray(expected_keys));
  const std::vector<uint8_t> location = crypto::DecryptItemsVariable(
      Store(BackingStoreType::INDEX).BatchGetVariable(id, {StoreKey("item-2", ".location")}),
      SubKey(".location"))[0];
  EXPECT_THAT(location, ElementsAre(1, 0, 0, 0, 1, 0, 0, 0));  // centroid 1, position 1
  for (size_t i = 0; i < 3; ++i) {
    const auto entry = Store(BackingStoreType::INDEX).GetItem(id, tokens.keys[i]);
    ASSERT_EQ(entry.cols, 8u);
    uint64_t value = 0;
    for (int b = 7; b >= 0; --b) value = (value << 8) | entry.data[b];
    EXPECT_EQ(value, tokens.values[i]);
  }
  for (size_t i = 0; i < 3; ++i) {
    const std::string item = "item-" + std::to_string(i);
    EXPECT_EQ(Store(BackingStoreType::VECTORS).GetItem(id, hashes[i]).cols, 16u + 28u);
    EXPECT_EQ(Store(BackingStoreType::ID).GetItem(id, StoreKey(item, ".id")).cols,
              item.size() + 28u);
    EXPECT_EQ(Store(BackingStoreType::METADATA).GetItem(id, StoreKey(item, ".metadata")).cols,
              batch.metadata[i].size() + 28u);
  }
  EXPECT_EQ(Store(BackingStoreType::VECTORS).GetTotalSize(id), 3u);
  EXPECT_EQ(Store(BackingStoreType::METADATA).GetTotalSize(id), 3u);
  EXPECT_EQ(Store(BackingStoreType::ID).GetTotalSize(id), 3u);
  EXPECT_EQ(Store(BackingStoreType::CONTENTS).GetTotalSize(id), 0u);
  EXPECT_EQ(client->num_vectors(), 3u);
  EXPECT_EQ(client->get_counter_map(), (std::vector<uint32_t>{1, 2}));
}

// Records, per store kind, every batch write and VECTORS read that reaches
// the real store.
struct WriteLog {
  std::mutex mutex;
  std::vector<std::pair<BackingStoreType, size_t>> writes;
  std::vector<size_t> vector_reads;
};

class RecordingKeystore : public ForwardingKeystore {
 public:
  RecordingKeystore(Keystore& target, WriteLog& log)
      : ForwardingKeystore(target, nivora::Location::THREADSAFEMEMORY), log_(log) {}
  void BatchPushItemsImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                          const nivora::Array2D<unsigned char>& values) override {
    Record(keys.size());
    ForwardingKeystore::BatchPushItemsImpl(index, keys, values);
  }
  void BatchPushVariableImpl(const uint64_t& index, const std::vector<uint64_t>& keys,
                             const std::vector<std::vector<uint8_t>>& values) override {
    Record(keys.size());
    ForwardingKeystore::BatchPushVariableImpl(index, keys, values);
  }
  nivora::Array2D<unsigned char> BatchGetItemsImpl(const uint64_t& index,
                                                   const std::vector<uint64_t>& keys) override {
    if (GetBackingStoreType() == BackingStoreType::VECTORS) {
      std::lock_guard lock(log_.mutex);
      log_.vector_reads.push_back(keys.size());
    }
    return ForwardingKeystore::BatchGetItemsImpl(index, keys);
  }

 private:
  void Record(size_t count) {
    std::lock_guard lock(log_.mutex);
    log_.writes.emplace_back(GetBackingStoreType(), count);
  }
  WriteLog& log_;
};

TEST_F(IngestTest, LargeBatchesAreWrittenInSlicesWithTokensFirstAndReadInBatchesOf1000) {
  WriteLog log;
  std::vector<std::unique_ptr<RecordingKeystore>> recording;
  for (int t = 0; t < 6; ++t) {
    const auto type = static_cast<BackingStoreType>(t);
    recording.push_back(std::make_unique<RecordingKeystore>(Store(type), log));
    stores_.Replace(type, recording.back().get());
  }
  auto client = Create(4, 8);
  const size_t n = 25000;
  ItemBatch batch = MakeBatch(n, 8);
  std::vector<uint32_t> centroids(n);
  for (size_t i = 0; i < n; ++i) centroids[i] = static_cast<uint32_t>(i % 4);
  log.writes.clear();
  log.vector_reads.clear();
  client->AddItems(batch, centroids);

  using T = BackingStoreType;
  std::vector<std::pair<T, size_t>> expected;
  // Each slice's location records once its items are whole.
  for (size_t slice : {10000, 10000, 5000}) {
    for (T type : {T::INDEX, T::VECTORS, T::METADATA, T::ID, T::INDEX}) {
      expected.emplace_back(type, slice);
    }
  }
  EXPECT_EQ(log.writes, expected);
  // Each slice looks up the earlier versions of its items.
  EXPECT_THAT(log.vector_reads, ElementsAre(10000, 10000, 5000));

  log.vector_reads.clear();
  std::vector<uint32_t> probe = {0, 1, 2, 3};
  RetrieveNeighborsResult result;
  client->RetrieveNeighbors(probe, result);
  EXPECT_EQ(log.vector_reads, std::vector<size_t>(25, 1000));
  EXPECT_THAT(result.centroid_to_matching_indices, ElementsAre(0, 6250, 12500, 18750, 25000));
  ASSERT_EQ(result.matching_ids.size(), n);
  // Centroid c holds items c, c + 4, ... at positions 0, 1, ...
  for (size_t row : {size_t{0}, size_t{6251}, size_t{24999}}) {
    const size_t c = row / 6250, item = c + 4 * (row % 6250);
    EXPECT_EQ(result.matching_ids[row], Hash("item-" + std::to_string(item)));
    EXPECT_EQ(Row(result.payloads, row), ExpectedPayload(item, 8));
  }
  EXPECT_EQ(std::count(result.row_present.begin(), result.row_present.end(), 1), n);
}

TEST_F(IngestTest, UpsertingAStoredIdReplacesItsRecordsAndItsToken) {
  auto client = Create(2, 4);
  ItemBatch first = MakeBatch(2, 4, "item-", 0, /*with_metadata=*/true, /*with_contents=*/true);
  client->AddItems(first, {0, 0});
  ItemBatch again = MakeBatch(1, 4, "item-", 0);
  nivora::Array2D<uint8_t> payload(1, 4);
  for (int j = 0; j < 4; ++j) payload.data[j] = static_cast<uint8_t>(0xC0 + j);
  again.payload = payload;
  client->AddItems(again, {1});

  const auto items = client->RetrieveItems({"item-0", "item-1"}, {});
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].vector, (std::vector<uint8_t>{0xC0, 0xC1, 0xC2, 0xC3}));
  EXPECT_EQ(items[0].metadata, "");  // upserted without metadata
  EXPECT_TRUE(items[0].contents.empty());
  EXPECT_EQ(items[1].metadata, "{\"n\":1}");
  EXPECT_EQ(Store(BackingStoreType::CONTENTS).GetTotalSize(index_id()), 1u);
  EXPECT_EQ(client->num_vectors(), 3u);

  // The earlier token of item-0 is gone: only its new one, in list 1,
  // leads to its record.
  std::vector<uint32_t> probe = {0, 1};
  RetrieveNeighborsResult result;
  client->RetrieveNeighbors(probe, result);
  ASSERT_EQ(result.matching_ids.size(), 3u);
  EXPECT_THAT(result.row_present, ElementsAre(0, 1, 1));
  EXPECT_EQ(result.matching_ids[1], Hash("item-1"));
  EXPECT_EQ(result.matching_ids[2], Hash("item-0"));
  EXPECT_EQ(Row(result.payloads, 2), items[0].vector);
}

TEST_F(IngestTest, RemoveItemsDeletesTheFourRecordsAndTheToken) {
  auto client = Create(1, 4);
  ItemBatch batch = MakeBatch(3, 4, "item-", 0, true, true);
  client->AddItems(batch, {0, 0, 0});
  client->RemoveItems({"item-1", "never-stored"});

  const uint64_t id = index_id();
  EXPECT_EQ(Store(BackingStoreType::VECTORS).GetItem(id, Hash("item-1")).size(), 0u);
  EXPECT_EQ(Store(BackingStoreType::METADATA).GetItem(id, StoreKey("item-1", ".metadata")).size(), 0u);
  EXPECT_EQ(Store(BackingStoreType::ID).GetItem(id, StoreKey("item-1", ".id")).size(), 0u);
  EXPECT_EQ(Store(BackingStoreType::CONTENTS).GetItem(id, StoreKey("item-1", ".contents")).size(), 0u);
  EXPECT_TRUE(Store(BackingStoreType::INDEX)
                  .BatchGetVariable(id, {StoreKey("item-1", ".location")})[0]
                  .empty());
  for (BackingStoreType type : {BackingStoreType::VECTORS, BackingStoreType::METADATA,
                                BackingStoreType::ID, BackingStoreType::CONTENTS}) {
    EXPECT_EQ(Store(type).GetTotalSize(id), 2u);
  }
  EXPECT_EQ(client->num_vectors(), 3u);

  std::vector<uint32_t> probe = {0};
  RetrieveNeighborsResult result;
  client->RetrieveNeighbors(probe, result);
  ASSERT_EQ(result.matching_ids.size(), 3u);
  EXPECT_EQ(result.matching_ids[0], Hash("item-0"));
  EXPECT_EQ(result.matching_ids[2], Hash("item-2"));
  EXPECT_THAT(result.row_present, ElementsAre(1, 0, 1));
  EXPECT_EQ(Row(result.payloads, 1), std::vector<uint8_t>(4, 0));
  std::vector<std::string> ids;
  client->RetrieveItemIDs(result.matching_ids, ids);
  EXPECT_THAT(ids, ElementsAre("item-0", "", "item-2"));
  EXPECT_EQ(client->RetrieveItems({"item-1"}, {}).size(), 0u);
  client->RemoveItems({});
}

TEST_F(IngestTest, RebuildIndexAfterAVocabularyChangeRewritesOnlyTheTokens) {
  auto client = Create(1, 4);
  ItemBatch batch = MakeBatch(6, 4, "item-", 0, true);
  client->AddItems(batch, std::vector<uint32_t>(6, 0));
  client->AddCentroidMetadata({"field"}, {{1, 2, 3}});
  std::vector<uint32_t> probe = {0};
  RetrieveNeighborsResult result;
  client->RetrieveNeighbors(probe, result);  // fills the token cache
  const size_t vectors_before = Store(BackingStoreType::VECTORS).GetTotalSize(index_id());

  client->ResizeVocabulary(3);
  ItemBatch& all = client->RetrieveAllEmbeddings();
  ASSERT_EQ(all.ids.size(), 6u);
  std::vector<uint32_t> centroids;
  for (const std::string& id : all.ids) centroids.push_back(std::stoi(id.substr(5)) % 3);
  client->RebuildIndex(all, centroids);

  EXPECT_EQ(client->token_cache().getCacheSize(), 0u);
  EXPECT_EQ(client->num_vectors(), 6u);
  EXPECT_EQ(client->get_counter_map(), (std::vector<uint32_t>{2, 2, 2}));
  EXPECT_EQ(Store(BackingStoreType::VECTORS).GetTotalSize(index_id()), vectors_before);
  EXPECT_THAT(client->RetrieveCentroidMetadata({"field"}), ElementsAre(std::vector<uint8_t>{}));

  probe = {2, 0, 1};
  client->RetrieveNeighbors(probe, result);
  EXPECT_THAT(result.centroid_to_matching_indices, ElementsAre(0, 2, 4, 6));
  std::vector<std::string> ids;
  client->RetrieveItemIDs(result.matching_ids, ids);
  for (size_t row = 0; row < 6; ++row) {
    const size_t item = std::stoul(ids[row].substr(5));
    EXPECT_EQ(item % 3, probe[row / 2]) << ids[row];
    EXPECT_EQ(Row(result.payloads, row), ExpectedPayload(item, 4));
  }
}

TEST_F(IngestTest, CentroidMetadataIsStoredEncryptedAndReplaced) {
  auto client = Create(1, 0);
  client->AddCentroidMetadata({"a", "b"}, {{1}, {2, 2}});
  client->AddCentroidMetadata({"a"}, {{9, 9, 9}});
  EXPECT_THAT(client->RetrieveCentroidMetadata({"b", "a", "missing"}),
              ElementsAre(std::vector<uint8_t>{2, 2}, std::vector<uint8_t>{9, 9, 9},
                          std::vector<uint8_t>{}));
  EXPECT_THROW(client->AddCentroidMetadata({"a"}, {}), std::invalid_argument);
  EXPECT_TRUE(client->RetrieveCentroidMetadata({}).empty());
}

TEST_F(IngestTest, CentroidMetadataMergesStartFromWhatTheStoreHolds) {
  auto a = Create(1, 0);
  auto b = Open();
  a->AddCentroidMetadata({"old"}, {{1}});  // the layout written before versions
  auto append = [](uint8_t value) {
    return [value](size_t, const std::vector<uint8_t>& stored) {
      std::vector<uint8_t> merged = stored;
      merged.push_back(value);
      return merged;
    };
  };
  // Two clients, each merging onto what the other stored.
  a->MergeCentroidMetadata({"old", "new"}, append(2));
  b->MergeCentroidMetadata({"old", "new"}, append(3));
  a->MergeCentroidMetadata({"new"}, append(4));
  EXPECT_THAT(b->RetrieveCentroidMetadata({"old", "new"}),
              ElementsAre(std::vector<uint8_t>{1, 2, 3}, std::vector<uint8_t>{2, 3, 4}));
  // A merge that changes nothing stores nothing, and every merge is stamped.
  const auto before = a->ReadChangeStamp();
  a->MergeCentroidMetadata({"new"}, [](size_t, const std::vector<uint8_t>& s) { return s; });
  EXPECT_EQ(a->RetrieveCentroidMetadata({"new"}).front(), (std::vector<uint8_t>{2, 3, 4}));
  EXPECT_EQ(a->ReadChangeStamp().version, before.version + 1);
}

TEST_F(IngestTest, EmptyBatchStillUpdatesTheCounterMapAndWritesNothingElse) {
  auto client = Create(1, 0);
  ItemBatch empty;
  client->AddItems(empty, {});
  EXPECT_EQ(ReadStoredCounters(Store(BackingStoreType::INDEX), index_id(), key_).version, 1u);
  EXPECT_EQ(Store(BackingStoreType::VECTORS).GetTotalSize(index_id()), 0u);
}

TEST_F(IngestTest, ZeroPayloadSizeStoresRecordsOf28Bytes) {
  auto client = Create(1, 0);
  ItemBatch batch = MakeBatch(2, 0);
  batch.payload = nivora::Array2D<uint8_t>();
  client->AddItems(batch, {0, 0});
  EXPECT_EQ(Store(BackingStoreType::VECTORS).GetItem(index_id(), Hash("item-1")).cols, 28u);
  // No metadata: one empty record per item.
  EXPECT_EQ(Store(BackingStoreType::METADATA).GetItem(index_id(), StoreKey("item-1", ".metadata")).cols,
            28u);
  std::vector<uint32_t> probe = {0};
  RetrieveNeighborsResult result;
  client->RetrieveNeighbors(probe, result);
  EXPECT_THAT(result.row_present, ElementsAre(1, 1));
  EXPECT_EQ(result.payloads.cols, 0u);
  EXPECT_EQ(client->RetrieveItems({"item-0"}, {nivora::ItemFields::VECTOR}).size(), 1u);
}

// Every malformed call fails before positions are reserved or the stored
// versions of its ids deleted.
TEST_F(IngestTest, MalformedAddItemsLeavesEveryStoredItemIntact) {
  auto client = Create(2, 4);
  ItemBatch stored = MakeBatch(2, 4, "item-", 0, true, true);
  client->AddItems(stored, {0, 1});
  const StoredCounters counters = ReadStoredCounters(Store(BackingStoreType::INDEX), index_id(), key_);

  struct Case {
    const char* name;
    std::function<void(ItemBatch&, std::vector<uint32_t>&)> spoil;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"centroid count", [](ItemBatch&, std::vector<uint32_t>& c) { c.pop_back(); },
       "Mismatch between size of centroid IDs and item IDs"},
      {"payload rows", [](ItemBatch& b, std::vector<uint32_t>&) { b.payload = nivora::Array2D<uint8_t>(1, 4); },
       "Mismatch between size of payload tokens and item IDs"},
      {"payload width", [](ItemBatch& b, std::vector<uint32_t>&) { b.payload = nivora::Array2D<uint8_t>(2, 8); },
       "Mismatch between payload row size and payload size"},
      {"float payload width", [](ItemBatch& b, std::vector<uint32_t>&) { b.payload = nivora::Array2D<float>(2, 2); },
       "Mismatch between payload row size and payload size"},
      {"metadata count", [](ItemBatch& b, std::vector<uint32_t>&) { b.metadata.pop_back(); },
       "Mismatch between size of metadata and item IDs"},
      {"contents count", [](ItemBatch& b, std::vector<uint32_t>&) { b.contents.emplace_back(); },
       "Mismatch between size of contents and item IDs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ItemBatch batch = MakeBatch(2, 4, "item-", 0, true, true);
    std::vector<uint32_t> centroids = {1, 0};
    c.spoil(batch, centroids);
    EXPECT_THAT([&] { client->AddItems(batch, centroids); },
                ThrowsMessage<std::invalid_argument>(c.message));
  }
  ItemBatch batch = MakeBatch(2, 4, "item-", 0, true, true);
  EXPECT_THROW(client->AddItems(batch, {0, 2}), std::out_of_range);
  auto gpu_client = Open(/*gpu_config=*/1);
  EXPECT_THAT([&] { gpu_client->AddItems(batch, {0, 1}); },
              ThrowsMessage<std::runtime_error>(::testing::HasSubstr("CUDA support is required")));

  const StoredCounters after = ReadStoredCounters(Store(BackingStoreType::INDEX), index_id(), key_);
  EXPECT_EQ(after.version, counters.version);
  EXPECT_EQ(after.counters, counters.counters);
  const auto items = client->RetrieveItems({"item-0", "item-1"}, {});
  ASSERT_EQ(items.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(items[i].vector, ExpectedPayload(i, 4));
    EXPECT_EQ(items[i].metadata, stored.metadata[i]);
    EXPECT_EQ(items[i].contents, stored.contents[i]);
  }
}

TEST_F(IngestTest, RebuildWithMalformedArgumentsKeepsTheTokens) {
  auto client = Create(1, 4);
  ItemBatch batch = MakeBatch(2, 4);
  client->AddItems(batch, {0, 0});
  EXPECT_THROW(client->RebuildIndex(batch, {0}), std::invalid_argument);
  EXPECT_EQ(client->num_vectors(), 2u);
  std::vector<uint32_t> probe = {0};
  RetrieveNeighborsResult result;
  client->RetrieveNeighbors(probe, result);
  EXPECT_THAT(result.row_present, ElementsAre(1, 1));
}

}  // namespace
}  // namespace nivora_test
