#include "api/encrypted_quantizer_cache.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "quantizer_test_sets.h"

namespace nivora::internal {

// Reaches into the published table to damage entries.
class QuantizerCacheTestPeer {
 public:
  // Replaces entry i of the published table by a copy, with its own chunk
  // storage, altered by edit.
  static void Alter(EncryptedQuantizerCache& cache, size_t i,
                    const std::function<void(QuantizerCacheEntry&)>& edit) {
    cache.Publish([&](EncryptedQuantizerCache::Table& table) {
      auto copy = std::make_shared<QuantizerCacheEntry>(*table.at(i));
      copy->chunks = Array2D<unsigned char>(copy->chunks.rows, copy->chunks.cols);
      std::memcpy(copy->chunks.data, table[i]->chunks.data, copy->chunks.size());
      edit(*copy);
      table[i] = std::move(copy);
    });
  }
};

namespace {

using testing::ExpectSameSets;
using testing::FilledSet;
using vector_index::QuantizerSet;
using nivora_encrypted_index::internal::backing_store::Keystore;

QuantizerCacheIndexKey MakeKey(uint8_t seed) {
  QuantizerCacheIndexKey key;
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(seed * 31 + i);
  return key;
}

class QuantizerCacheTest : public ::testing::Test {
 protected:
  size_t EntryCount() const { return cache_.Snapshot()->size(); }

  EncryptedQuantizerCache cache_;
  const QuantizerCacheKey key_{"5|", "docs"};
  const QuantizerCacheIndexKey index_key_ = MakeKey(1);
  const QuantizerStamp stamp_{true, 2, 256};
};

TEST_F(QuantizerCacheTest, PutThenGetGivesTheSetBackFromChunkedCiphertext) {
  // 256 x 128 coarse codebook, PQ codebooks and an SQ quantizer: the layout
  // crosses two chunk boundaries.
  const QuantizerSet set = FilledSet(256, 128, 1.5f, /*pq=*/8, /*pq_bits=*/4, /*sq=*/true);
  cache_.Put(key_, index_key_, stamp_, set);

  const auto table = cache_.Snapshot();
  ASSERT_EQ(table->size(), 1u);
  const QuantizerCacheEntry& entry = *table->front();
  EXPECT_EQ(entry.chunk_size, 65536u);
  EXPECT_EQ(entry.chunk_count, 3u);
  EXPECT_EQ(entry.chunks.rows, 3u);
  EXPECT_EQ(entry.chunks.cols, 65564u);
  EXPECT_EQ(entry.plaintext_size, SerializeQuantizerBlock(set).plaintext_size);
  // No plaintext value shows through: the first centroid row is nowhere in
  // the ciphertext.
  const auto* row = reinterpret_cast<const unsigned char*>(set.centroids[0].centroids.data);
  const unsigned char* chunks = entry.chunks.data;
  EXPECT_EQ(std::search(chunks, chunks + entry.chunks.size(), row, row + 512),
            chunks + entry.chunks.size());
  // Every chunk has its own IV.
  std::set<std::string> ivs;
  for (size_t i = 0; i < entry.chunk_count; ++i) {
    ivs.insert(std::string(reinterpret_cast<const char*>(entry.chunks.row(i)), 12));
  }
  EXPECT_EQ(ivs.size(), entry.chunk_count);

  const auto back = cache_.Get(key_, index_key_, stamp_);
  ASSERT_NE(back, nullptr);
  ExpectSameSets(*back, set);
  EXPECT_EQ(back->aux_matrix.cols, 3u * 65536u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(back->centroids[0].centroids.data) % 64, 0u);
}

TEST_F(QuantizerCacheTest, UntrainedEmptySetComesBackEmptyNotNull) {
  cache_.Put(key_, index_key_, {false, 0, 1}, QuantizerSet());
  EXPECT_EQ(cache_.Snapshot()->front()->plaintext_size, 12u);
  EXPECT_EQ(cache_.Snapshot()->front()->chunk_count, 1u);
  const auto back = cache_.Get(key_, index_key_, {false, 0, 1});
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(back->centroids.empty());
  EXPECT_TRUE(back->pq_codebooks.empty());
  EXPECT_TRUE(back->sq_quantizers.empty());
}

TEST_F(QuantizerCacheTest, LookupsThatDoNotMatchMissAndKeepTheEntry) {
  cache_.Put(key_, index_key_, stamp_, FilledSet(256, 4, 0.0f));
  struct Case {
    const char* name;
    QuantizerCacheKey key;
    QuantizerCacheIndexKey index_key;
    QuantizerStamp stamp;
  };
  const Case cases[] = {
      {"other name", {key_.location, "docs2"}, index_key_, stamp_},
      {"name differing in case", {key_.location, "Docs"}, index_key_, stamp_},
      {"other location", {"0|+1:t-", "docs"}, index_key_, stamp_},
      {"other key", key_, MakeKey(2), stamp_},
      {"caller untrained", key_, index_key_, {false, 2, 256}},
      {"caller at another version", key_, index_key_, {true, 3, 256}},
      {"caller with other n_lists", key_, index_key_, {true, 2, 128}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(cache_.Get(c.key, c.index_key, c.stamp), nullptr);
    EXPECT_EQ(EntryCount(), 1u);
  }
  EXPECT_NE(cache_.Get(key_, index_key_, stamp_), nullptr);
}

TEST_F(QuantizerCacheTest, DamagedEntryIsAMissAndIsDropped) {
  struct Case {
    const char* name;
    std::function<void(QuantizerCacheEntry&)> damage;
  };
  const Case cases[] = {
      {"IV of the first chunk", [](QuantizerCacheEntry& e) { e.chunks.row(0)[3] ^= 1; }},
      {"ciphertext of the middle chunk", [](QuantizerCacheEntry& e) { e.chunks.row(1)[5000] ^= 0x80; }},
      {"tag of the last chunk", [](QuantizerCacheEntry& e) { e.chunks.row(2)[65563] ^= 1; }},
      {"padding of the last chunk", [](QuantizerCacheEntry& e) { e.chunks.row(2)[60000] ^= 1; }},
      {"chunk head zeroed", [](QuantizerCacheEntry& e) { std::memset(e.chunks.row(1), 0, 16); }},
      {"chunks swapped", [](QuantizerCacheEntry& e) {
         std::swap_ranges(e.chunks.row(0), e.chunks.row(1), e.chunks.row(1));
       }},
      {"plaintext size beyond the chunks", [](QuantizerCacheEntry& e) { e.plaintext_size = 3 * 65536 + 1; }},
      {"plaintext size cut short", [](QuantizerCacheEntry& e) { e.plaintext_size = 100; }},
  };
  const QuantizerSet set = FilledSet(256, 128, 0.0f, 2, 2, false);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cache_.Put(key_, index_key_, stamp_, set);
    ASSERT_EQ(cache_.Snapshot()->front()->chunk_count, 3u);
    QuantizerCacheTestPeer::Alter(cache_, 0, c.damage);
    EXPECT_EQ(cache_.Get(key_, index_key_, stamp_), nullptr);
    EXPECT_EQ(EntryCount(), 0u) << "the damaged entry stays";
    EXPECT_EQ(cache_.Get(key_, index_key_, stamp_), nullptr);
  }
}

TEST_F(QuantizerCacheTest, PutReplacesRemoveDropsEveryKeyOfTheIndex) {
  cache_.Put(key_, index_key_, stamp_, FilledSet(256, 4, 1.0f));
  cache_.Put(key_, index_key_, {true, 3, 256}, FilledSet(256, 4, 2.0f));
  EXPECT_EQ(EntryCount(), 1u);
  EXPECT_EQ(cache_.Get(key_, index_key_, stamp_), nullptr);
  auto second = cache_.Get(key_, index_key_, {true, 3, 256});
  ASSERT_NE(second, nullptr);
  ExpectSameSets(*second, FilledSet(256, 4, 2.0f));

  // The same name under another key and at another location are entries of
  // their own; neither disturbs the other.
  const QuantizerCacheKey elsewhere{"4|+5:/data", "docs"};
  cache_.Put(key_, MakeKey(9), stamp_, FilledSet(256, 4, 9.0f));
  cache_.Put(elsewhere, index_key_, stamp_, FilledSet(256, 4, 7.0f));
  EXPECT_EQ(EntryCount(), 3u);
  ExpectSameSets(*cache_.Get(key_, MakeKey(9), stamp_), FilledSet(256, 4, 9.0f));
  ExpectSameSets(*cache_.Get(elsewhere, index_key_, stamp_), FilledSet(256, 4, 7.0f));
  ExpectSameSets(*cache_.Get(key_, index_key_, {true, 3, 256}), FilledSet(256, 4, 2.0f));

  const auto before = cache_.Snapshot();
  cache_.Remove({key_.location, "absent"});
  EXPECT_EQ(*cache_.Snapshot(), *before) << "removing nothing publishes an equal table";
  cache_.Remove(key_);
  ASSERT_EQ(EntryCount(), 1u);
  EXPECT_EQ(cache_.Snapshot()->front()->key, elsewhere);

  // A set already handed out outlives its entry.
  ExpectSameSets(*second, FilledSet(256, 4, 2.0f));
  EXPECT_EQ(before->size(), 3u) << "an old snapshot stays readable";
}

TEST_F(QuantizerCacheTest, ARetiringSetIsWipedAndItsBlockDecryptedIntoAgain) {
  const QuantizerSet set = FilledSet(256, 128, 1.5f, /*pq=*/8, /*pq_bits=*/4, /*sq=*/true);
  cache_.Put(key_, index_key_, stamp_, set);
  std::unique_ptr<QuantizerSet> first = cache_.Get(key_, index_key_, stamp_);
  ASSERT_NE(first, nullptr);
  const unsigned char* block = first->aux_matrix.data;

  // A stamp miss leaves the caller's set as it was.
  EXPECT_EQ(cache_.Get(key_, index_key_, {true, 3, 256}, first.get()), nullptr);
  ExpectSameSets(*first, set);

  // A hit empties the retiring set and reuses its block, in place.
  std::unique_ptr<QuantizerSet> second = cache_.Get(key_, index_key_, stamp_, first.get());
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(first->centroids.empty());
  EXPECT_EQ(first->aux_matrix.data, nullptr);
  EXPECT_EQ(second->aux_matrix.data, block);
  ExpectSameSets(*second, set);

  // A block someone else still holds is never written: a new one is used.
  const Array2D<unsigned char> held = second->aux_matrix;
  std::unique_ptr<QuantizerSet> third = cache_.Get(key_, index_key_, stamp_, second.get());
  ASSERT_NE(third, nullptr);
  EXPECT_NE(third->aux_matrix.data, block);
  ExpectSameSets(*third, set);
  EXPECT_TRUE(std::all_of(held.data, held.data + held.size(), [](unsigned char b) { return b == 0; }))
      << "the retired block was wiped";
}

TEST_F(QuantizerCacheTest, PutRefusesASetThatBreaksItsStampAndChangesNothing) {
  EXPECT_THROW(cache_.Put(key_, index_key_, {true, 1, 255}, FilledSet(256, 4, 0.0f)),
               std::invalid_argument);
  EXPECT_THROW(cache_.Put(key_, index_key_, {false, 0, 256}, FilledSet(256, 4, 0.0f)),
               std::invalid_argument);
  EXPECT_THROW(cache_.Put(key_, index_key_, {true, 1, 1}, QuantizerSet()), std::invalid_argument);
  EXPECT_EQ(EntryCount(), 0u);
}

TEST_F(QuantizerCacheTest, ConcurrentGetsPutsAndRemovesSeeWholeSets) {
  // Writers put, for a few names, sets whose values all derive from their
  // version; readers ask for a version and must get exactly that set or
  // nothing.
  constexpr int kNames = 3;
  constexpr int kVersions = 4;
  constexpr int kRounds = 60;
  std::vector<QuantizerSet> sets;
  for (int v = 0; v < kVersions; ++v) sets.push_back(FilledSet(64, 300, 10.0f * v, 3, 2, true));
  const auto name = [](int i) { return QuantizerCacheKey{"5|", "index-" + std::to_string(i)}; };

  std::atomic<int> hits{0};
  std::atomic<int> wrong{0};
  std::atomic<int> writers_left{2};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        const int v = (r + t) % kVersions;
        cache_.Put(name(r % kNames), index_key_, {true, v, 64}, sets[v]);
        if (r % 7 == 6) cache_.Remove(name((r + 1) % kNames));
      }
      --writers_left;
    });
  }
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      // Read for as long as anyone writes, and a little after.
      for (int after = 0; after < 50; after += writers_left.load() == 0 ? 1 : 0) {
        const int v = static_cast<int>(rng() % kVersions);
        const auto got = cache_.Get(name(static_cast<int>(rng() % kNames)), index_key_, {true, v, 64});
        if (!got) continue;
        ++hits;
        const QuantizerSet& expected = sets[v];
        if (got->centroids.size() != 1 ||
            std::memcmp(got->centroids[0].centroids.data, expected.centroids[0].centroids.data,
                        expected.centroids[0].centroids.size() * sizeof(float)) != 0 ||
            got->sq_quantizers.size() != 1 ||
            got->sq_quantizers[0].min != expected.sq_quantizers[0].min) {
          ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(hits.load(), 0);
  EXPECT_LE(EntryCount(), static_cast<size_t>(kNames));
}

// The config keystore of location and folder (null for none).
std::unique_ptr<Keystore> ConfigKeystore(Location location, std::optional<std::string> folder) {
  DBConfig config(location, std::nullopt, std::move(folder));
  return Keystore::CreateKeystore(config, nivora_encrypted_index::BackingStoreType::CONFIG);
}

TEST(QuantizerCacheLocationTest, OneLocationPerStoreHoweverItIsSpelled) {
  const std::filesystem::path root = std::filesystem::temp_directory_path() /
                                     ("nivora_qcl_" + std::to_string(::getpid()));
  const std::string a = (root / "a").string();
  {
  const auto rocks_a = ConfigKeystore(Location::ROCKSDB, a);
  const auto rocks_a_slash = ConfigKeystore(Location::ROCKSDB, a + "/");
  const auto rocks_a_dotted = ConfigKeystore(Location::ROCKSDB, (root / "." / "a").string());
  const auto rocks_b = ConfigKeystore(Location::ROCKSDB, (root / "b").string());
  const auto memory = ConfigKeystore(Location::MEMORY, std::nullopt);
  const auto shared = ConfigKeystore(Location::THREADSAFEMEMORY, std::nullopt);

  EXPECT_EQ(QuantizerCacheLocation(*rocks_a, 0), QuantizerCacheLocation(*rocks_a_slash, 1));
  EXPECT_EQ(QuantizerCacheLocation(*rocks_a, 0), QuantizerCacheLocation(*rocks_a_dotted, 0));
  EXPECT_EQ(QuantizerCacheLocation(*shared, 1), QuantizerCacheLocation(*shared, 2));
  EXPECT_NE(QuantizerCacheLocation(*memory, 1), QuantizerCacheLocation(*memory, 2));
  const std::string distinct[] = {
      QuantizerCacheLocation(*rocks_a, 0), QuantizerCacheLocation(*rocks_b, 0),
      QuantizerCacheLocation(*memory, 0), QuantizerCacheLocation(*shared, 0)};
  EXPECT_EQ(std::set<std::string>(std::begin(distinct), std::end(distinct)).size(),
            std::size(distinct));
  }
  std::filesystem::remove_all(root);
}

TEST(QuantizerCacheInstanceTest, OneCachePerProcess) {
  EXPECT_EQ(&EncryptedQuantizerCache::Instance(), &EncryptedQuantizerCache::Instance());
}

}  // namespace
}  // namespace nivora::internal
