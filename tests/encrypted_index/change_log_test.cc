// The change record and its log: the codec, the log kept in the record and
// behind it, and RAM caches that follow another process by rereading only
// what its changes touched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <utility>

#include "encrypted_index/change_log.h"
#include "encrypted_index/stored_layout.h"
#include "ingest_fixture.h"

namespace nivora_test {
namespace {

namespace engine = nivora_encrypted_index::internal::encrypted_index;
using nivora_encrypted_index::ChangeEntry;
using nivora_encrypted_index::ChangeLog;
using nivora_encrypted_index::ChangeRecord;
using nivora_encrypted_index::kNoGeneration;
using nivora_encrypted_index::internal::backing_store::CacheMark;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

ChangeEntry ItemsEntry(std::vector<uint64_t> items, std::vector<uint64_t> index_keys = {}) {
  ChangeEntry entry;
  entry.whole = false;
  entry.items = std::move(items);
  entry.index_keys = std::move(index_keys);
  return entry;
}

TEST(ChangeRecordCodec, RoundTripsEveryField) {
  ChangeRecord record;
  record.stamp = {7, 11, 13, 2, 3, 3, 2, true, true, false};
  record.recent.push_back(ItemsEntry({1, 2}, {9}));
  record.recent.back().version = 6;
  record.recent.back().tag = 5;
  record.recent.push_back(ChangeEntry{7, 11, 2, true, {}, {}});
  const std::vector<uint8_t> plain = engine::EncodeChangeRecord(record);
  const ChangeRecord read = engine::DecodeChangeRecord(plain.data(), plain.size(), 7);
  EXPECT_EQ(read.stamp, record.stamp);
  EXPECT_EQ(read.recent, record.recent);
  const std::vector<uint8_t> entry = engine::EncodeChangeEntry(record.recent[0]);
  EXPECT_EQ(engine::DecodeChangeEntry(entry.data(), entry.size()), record.recent[0]);
}

// Records of earlier releases: tags alone, then the generation too. They
// claim nothing and keep no log.
TEST(ChangeRecordCodec, ReadsTheEarlierForms) {
  std::vector<uint8_t> plain(24, 0);
  plain[0] = 1;   // tag
  plain[8] = 2;   // state tag
  plain[16] = 4;  // generation
  const ChangeRecord with_generation = engine::DecodeChangeRecord(plain.data(), 24, 9);
  EXPECT_EQ(with_generation.stamp.generation, 4u);
  EXPECT_EQ(with_generation.stamp.legacy_below, 5u);
  EXPECT_EQ(with_generation.stamp.pending, kNoGeneration);
  EXPECT_TRUE(with_generation.stamp.earlier_form);
  EXPECT_TRUE(with_generation.recent.empty());
  const ChangeRecord tags_only = engine::DecodeChangeRecord(plain.data(), 16, 9);
  EXPECT_EQ(tags_only.stamp.tag, 1u);
  EXPECT_EQ(tags_only.stamp.generation, 0u);
}

TEST(ChangeRecordCodec, RefusesDamagedRecords) {
  ChangeRecord record;
  record.recent.push_back(ItemsEntry({1, 2, 3}));
  const std::vector<uint8_t> good = engine::EncodeChangeRecord(record);
  std::vector<std::vector<uint8_t>> damaged = {
      std::vector<uint8_t>(good.begin(), good.end() - 1),  // cut short
      good,                                                // one byte too many
      good,                                                // another form
      good,                                                // an entry count past the end
  };
  damaged[1].push_back(0);
  damaged[2][24] = 9;
  damaged[3][50] = 0xFF;
  for (const auto& plain : damaged) {
    EXPECT_THROW(engine::DecodeChangeRecord(plain.data(), plain.size(), 1), std::runtime_error);
  }
  EXPECT_THROW(engine::DecodeChangeRecord(good.data(), 20, 1), std::runtime_error);
}

class ChangeLogTest : public EngineTest {
 protected:
  // Logs one change naming item i, as a writer does; returns the record.
  ChangeRecord Log(uint64_t i) {
    const ChangeRecord seen = log_.Read();
    ChangeRecord next = ChangeLog::Next(seen);
    ChangeLog::Append(next, ItemsEntry({i}));
    EXPECT_TRUE(log_.Push(seen, next));
    return next;
  }
  static std::vector<uint64_t> Items(const std::vector<ChangeEntry>& entries) {
    std::vector<uint64_t> items;
    for (const ChangeEntry& entry : entries) items.insert(items.end(), entry.items.begin(), entry.items.end());
    return items;
  }

  ChangeLog log_{&Store(BackingStoreType::INDEX), 77, 78, &key_};
};

// Entries older than the record's are read back from the external log;
// every mark of this history is served, others are not.
TEST_F(ChangeLogTest, EntriesSinceAMarkComeFromTheRecordAndTheLogBehindIt) {
  std::vector<CacheMark> marks = {{0, 0}};
  for (uint64_t i = 1; i <= 100; ++i) marks.push_back(Log(i).stamp.mark());
  const ChangeRecord now = log_.Read();
  EXPECT_EQ(now.stamp.version, 100u);
  EXPECT_LE(now.recent.size(), ChangeLog::kRecentEntries);

  for (uint64_t since : {0u, 10u, 90u, 99u, 100u}) {
    const auto entries = log_.Since(now, marks[since]);
    ASSERT_TRUE(entries.has_value()) << since;
    std::vector<uint64_t> expected;
    for (uint64_t i = since + 1; i <= 100; ++i) expected.push_back(i);
    EXPECT_EQ(Items(*entries), expected) << since;
  }
  EXPECT_FALSE(log_.Since(now, {10, marks[10].tag + 1}).has_value());  // another history
  EXPECT_FALSE(log_.Since(now, {101, 1}).has_value());                // ahead of the store
  // An entry pushed out of the record that never reached the log.
  Store(BackingStoreType::INDEX).BatchDeleteItemsImpl(78, {50});
  EXPECT_FALSE(log_.Since(now, marks[10]).has_value());
  EXPECT_TRUE(log_.Since(now, marks[90]).has_value());
}

// A bulk change is logged whole: readers refill, a training rereads.
TEST_F(ChangeLogTest, ABulkChangeIsLoggedWhole) {
  const ChangeRecord seen = log_.Read();
  ChangeRecord next = ChangeLog::Next(seen);
  ChangeLog::Append(next, ItemsEntry(std::vector<uint64_t>(ChangeLog::kMaxEntryKeys + 1, 5)));
  ASSERT_TRUE(log_.Push(seen, next));
  EXPECT_FALSE(log_.Push(seen, next));  // the version moved on
  const auto entries = log_.Since(log_.Read(), seen.stamp.mark());
  ASSERT_TRUE(entries.has_value());
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_TRUE(entries->front().whole);
  EXPECT_TRUE(entries->front().items.empty());
}

// An INDEX store that runs a hook once, right before the next
// compare-and-set of the change record reaches the store.
class HookedRecordStore : public ForwardingKeystore {
 public:
  using ForwardingKeystore::ForwardingKeystore;
  std::function<void()> before_next_record_push;

  bool PushMapImpl(const uint64_t& index, const uint64_t& map_key, const uint8_t* data,
                   size_t size, const uint64_t& version_key,
                   const uint64_t& expected_version) override {
    if (map_key == engine::kChangeStampKey && before_next_record_push) {
      std::exchange(before_next_record_push, nullptr)();
    }
    return ForwardingKeystore::PushMapImpl(index, map_key, data, size, version_key,
                                           expected_version);
  }
};

class ChangeCatchUpTest : public CachedEngineTest {
 protected:
  // The id hashes of the rows each listed centroid holds, as the cached
  // client reads them.
  std::vector<std::set<uint64_t>> Lists(Client& client, std::vector<uint32_t> centroids) {
    nivora_encrypted_index::RetrieveNeighborsResult result;
    client.RetrieveNeighbors(centroids, result);
    std::vector<std::set<uint64_t>> lists(centroids.size());
    for (size_t c = 0; c < centroids.size(); ++c) {
      for (uint64_t r = result.centroid_to_matching_indices[c];
           r < result.centroid_to_matching_indices[c + 1]; ++r) {
        if (result.row_present[r] != 0) lists[c].insert(result.matching_ids[r]);
      }
    }
    return lists;
  }
  size_t KeyListings() const {
    size_t n = 0;
    for (const auto& store : forwarding_) n += store->key_listings;
    return n;
  }
  // Another process on the same stores whose INDEX store is `index`.
  std::unique_ptr<Client> OpenOther(Keystore& index) {
    Stores other{nivora::Location::MEMORY};
    for (int t = 0; t < 6; ++t) {
      const auto type = static_cast<BackingStoreType>(t);
      other.Replace(type, &raw_[type]);
    }
    other.Replace(BackingStoreType::INDEX, &index);
    ExistingIndexConfig config = OpenConfig(other, name_, key_);
    return std::make_unique<Client>(config, logger_);
  }
};

TEST_F(ChangeCatchUpTest, CachesFollowAnotherProcessByRereadingWhatItChanged) {
  auto cached = Create(3, 4);
  auto other = OpenRaw();
  ItemBatch batch = MakeBatch(6, 4, "item-", 0, true);
  other->AddItems(batch, {0, 0, 1, 1, 2, 2});
  cached->SyncCaches(cached->ReadChangeStamp());
  const size_t listings = KeyListings();

  other->RemoveItems({"item-0"});
  ItemBatch moved = MakeBatch(1, 4, "item-", 2, true);  // item-2 from list 1 to list 2
  other->AddItems(moved, {2});
  ItemBatch fresh = MakeBatch(1, 4, "new-", 0, true);
  other->AddItems(fresh, {0});
  cached->SyncCaches(cached->ReadChangeStamp());

  EXPECT_EQ(KeyListings(), listings);  // no cache was filled anew
  EXPECT_THAT(Lists(*cached, {0, 1, 2}),
              ElementsAre(UnorderedElementsAre(Hash("item-1"), Hash("new-0")),
                          UnorderedElementsAre(Hash("item-3")),
                          UnorderedElementsAre(Hash("item-4"), Hash("item-5"), Hash("item-2"))));
  std::vector<std::string> metadata;
  cached->RetrieveItemMetadata({Hash("new-0"), Hash("item-0")}, metadata);
  EXPECT_THAT(metadata, ElementsAre("{\"n\":0}", ""));
}

// Q has written Y and is about to log it when P writes X and logs it
// first: Q's compare-and-set fails, and Q logs Y after X, so that P, whose
// cache its own write marked current, still learns of Y.
TEST_F(ChangeCatchUpTest, AWriteThatLosesTheRaceToLogIsStillSeenByTheWinner) {
  auto p = Create(1, 4);
  HookedRecordStore q_index(raw_[BackingStoreType::INDEX], nivora::Location::MEMORY);
  auto q = OpenOther(q_index);
  ItemBatch x = MakeBatch(1, 4, "x-");
  ItemBatch y = MakeBatch(1, 4, "y-");
  q_index.before_next_record_push = [&] { p->AddItems(x, {0}); };
  q->AddItems(y, {0});

  p->SyncCaches(p->ReadChangeStamp());
  EXPECT_THAT(Lists(*p, {0}), ElementsAre(UnorderedElementsAre(Hash("x-0"), Hash("y-0"))));
}

// A write whose index is deleted before it is logged fails and leaves
// nothing behind in any store.
TEST_F(ChangeCatchUpTest, AWriteToAnIndexDeletedMeanwhileIsUndone) {
  auto owner = Create(1, 4);
  HookedRecordStore w_index(raw_[BackingStoreType::INDEX], nivora::Location::MEMORY);
  auto writer = OpenOther(w_index);
  ItemBatch late = MakeBatch(3, 4, "late-", 0, true);
  w_index.before_next_record_push = [&] { owner->DeleteIndex(true); };
  EXPECT_THAT([&] { writer->AddItems(late, {0, 0, 0}); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::HasSubstr("was deleted")));
  for (int t = 0; t < 6; ++t) {
    EXPECT_EQ(raw_[static_cast<BackingStoreType>(t)].GetTotalSize(index_id()), 0u) << t;
  }
}

}  // namespace
}  // namespace nivora_test
