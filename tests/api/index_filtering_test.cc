// Pre-filtering, metadata summary updates and post-filtering of one index,
// called as the query and upsert paths call them.
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "query_test_support.h"

namespace nivora::testing {
namespace {

using nivora_encrypted_index::RetrieveNeighborsResult;

constexpr size_t kDim = 8;
constexpr size_t kLists = 16;

// Rows with ids 100 + r and payload byte r + 1 in every column.
RetrieveNeighborsResult Rows(size_t n, std::vector<uint64_t> offsets) {
  RetrieveNeighborsResult result;
  for (size_t r = 0; r < n; ++r) result.matching_ids.push_back(100 + r);
  result.centroid_to_matching_indices = std::move(offsets);
  result.payloads = Array2D<uint8_t>(n, 4);
  for (size_t r = 0; r < n; ++r) std::memset(result.payloads.row(r), static_cast<int>(r + 1), 4);
  result.row_present.assign(n, 1);
  return result;
}

class PostFilteringTest : public IndexApiTest {
 protected:
  void SetUp() override {
    IndexApiTest::SetUp();
    index_ = Create(IndexIVFFlat(kDim));
  }
  std::unique_ptr<EncryptedIndex> index_;
};

TEST_F(PostFilteringTest, NoFilterLeavesRowsUntouchedButSizesAreChecked) {
  for (const std::string filter : {"", "{}", "[]", "null"}) {
    SCOPED_TRACE(filter);
    auto rows = Rows(3, {0, 3});
    std::vector<std::string> metadata = {"{\"k\": 1}", "", "{\"k\": 2}"};
    index_->PostFiltering(rows, metadata, filter);
    EXPECT_EQ(rows.matching_ids.size(), 3u);
    EXPECT_EQ(metadata.size(), 3u);
  }
  EXPECT_EQ(LogCount("PostFiltering"), 0u);

  auto rows = Rows(3, {0, 3});
  std::vector<std::string> four(4);
  try {
    index_->PostFiltering(rows, four, "");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "PostFiltering: metadata and item_ids size mismatch. metadata=4, "
                           "item_ids=3");
  }
  EXPECT_EQ(LogCount("PostFiltering: metadata.size() (4) != item_ids.size() (3)"), 1u);
}

TEST_F(PostFilteringTest, KeepsMatchingRowsInTheirListsPlaces) {
  auto rows = Rows(5, {0, 3, 3, 5});
  std::vector<std::string> metadata = {"{\"k\": 0}", "{\"k\": 1}", "", "{\"k\": 2}", "{\"k\": 1}"};
  index_->PostFiltering(rows, metadata, "{\"k\": 1}");
  EXPECT_EQ(rows.matching_ids, (std::vector<uint64_t>{101, 104}));
  EXPECT_EQ(rows.centroid_to_matching_indices, (std::vector<uint64_t>{0, 1, 1, 2}));
  ASSERT_EQ(rows.payloads.rows, 2u);
  EXPECT_EQ(rows.payloads.row(0)[0], 2);
  EXPECT_EQ(rows.payloads.row(1)[3], 5);
  EXPECT_EQ(metadata, (std::vector<std::string>{"{\"k\": 1}", "{\"k\": 1}"}));
  EXPECT_EQ(LogCount("PostFiltering"), 1u);

  // Nothing matching empties everything, offsets included.
  auto none = Rows(3, {0, 1, 3});
  std::vector<std::string> texts = {"{\"k\": 0}", "", "{\"k\": 2}"};
  index_->PostFiltering(none, texts, "{\"k\": 7}");
  EXPECT_TRUE(none.matching_ids.empty());
  EXPECT_TRUE(none.centroid_to_matching_indices.empty());
  EXPECT_EQ(none.payloads.rows, 0u);
  EXPECT_TRUE(texts.empty());
}

TEST_F(PostFilteringTest, FailuresLeaveRowsAsTheyWere) {
  struct Case {
    const char* name;
    std::vector<std::string> metadata;
    std::string filter;
    size_t payload_rows;
  };
  const std::vector<Case> cases = {
      {"invalid metadata not named by the filter", {"{\"k\": 1}", "{oops", ""}, "{\"k\": 1}", 3},
      {"invalid filter", {"", "", ""}, "{\"k\": {\"$between\": [1, 2]}}", 3},
      {"fewer payload rows than ids", {"{\"k\": 1}", "", "{\"k\": 1}"}, "{\"k\": 1}", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto rows = Rows(3, {0, 3});
    rows.payloads.rows = c.payload_rows;
    std::vector<std::string> metadata = c.metadata;
    EXPECT_ANY_THROW(index_->PostFiltering(rows, metadata, c.filter));
    EXPECT_EQ(rows.matching_ids.size(), 3u);
    EXPECT_EQ(rows.centroid_to_matching_indices, (std::vector<uint64_t>{0, 3}));
    EXPECT_EQ(metadata, c.metadata);
  }
}

// A trained index whose coarse quantizer has kLists lists; its summaries
// are written with UpdateMetadata directly, under chosen centroids.
class PreFilteringTest : public IndexApiTest {
 protected:
  void SetUp() override {
    IndexApiTest::SetUp();
    const ClusteredData data(2000, kDim, kLists, 3);
    index_ = Create(IndexIVFFlat(kDim));
    TrainByHand(*index_, data, kLists);
    index_->Upsert(data.ids, data.All(), {}, {});  // no metadata: no summaries yet
  }
  std::unique_ptr<EncryptedIndex> index_;
};

TEST_F(PreFilteringTest, EmptyFiltersKeepEveryCentroid) {
  const PreFilterResult none = index_->PreFiltering("");
  EXPECT_EQ(none.centroid_ids.size(), kLists);
  EXPECT_EQ(none.centroid_ids.back(), kLists - 1);
  EXPECT_EQ(LogCount("PreFiltering"), 0u);
  for (const std::string filter : {"{}", "null", "[]"}) {
    EXPECT_EQ(index_->PreFiltering(filter).centroid_ids.size(), kLists);
  }
  EXPECT_EQ(LogCount("PreFiltering"), 3u);
  EXPECT_THROW(index_->PreFiltering("{\"a\": 1, \"b\": 1}"), std::invalid_argument);
}

TEST_F(PreFilteringTest, MatchingCentroidsBecomeTheRowsOfTheWorkingCopy) {
  index_->UpdateMetadata({"{\"shelf\": 7}", "{\"shelf\": 9}", "{\"shelf\": 7}"}, {3, 5, 9});
  const PreFilterResult seven = index_->PreFiltering("{\"shelf\": 7}");
  EXPECT_EQ(seven.centroid_ids, (std::vector<uint32_t>{3, 9}));
  ASSERT_NE(seven.quantizers, nullptr);
  ASSERT_EQ(seven.quantizers->centroids.size(), 1u);
  EXPECT_EQ(seven.quantizers->centroids[0].k, 2);
  EXPECT_EQ(seven.quantizers->centroids[0].centroids.rows, 2u);
  EXPECT_EQ(seven.quantizers->centroids[0].centroids.cols, kDim);

  // A field no item has: an empty list and a working copy without rows.
  const PreFilterResult missing = index_->PreFiltering("{\"colour\": \"red\"}");
  EXPECT_TRUE(missing.centroid_ids.empty());
  EXPECT_EQ(missing.quantizers->centroids[0].k, 0);
  // Filters that hold where the field is absent keep centroids without it.
  EXPECT_EQ(index_->PreFiltering("{\"shelf\": {\"$exists\": false}}").centroid_ids.size(),
            kLists);
  EXPECT_EQ(index_->PreFiltering("{\"$not\": {\"shelf\": 7}}").centroid_ids.size(), kLists);
}

TEST_F(PreFilteringTest, UpdateMetadataSkipsBlankAndInvalidTexts) {
  index_->UpdateMetadata({"", "  \t\r\n", "5", "\"text\""}, {0, 1, 2, 3});
  EXPECT_EQ(LogCount("No valid metadata found to update, skipping metadata update"), 1u);

  index_->UpdateMetadata({"{\"row\": 0}", "{\"row\": 1}", "{\"row\": 2}", "{\"row\": 3}",
                          "{\"row\": oops}", "{\"row\": 5}"},
                         {0, 1, 2, 3, 4, 5});
  EXPECT_EQ(LogCount("Skipping invalid JSON metadata at index 4: "), 1u);
  EXPECT_EQ(index_->PreFiltering("{\"row\": {\"$gte\": 0}}").centroid_ids,
            (std::vector<uint32_t>{0, 1, 2, 3, 5}));
  EXPECT_THROW(index_->UpdateMetadata({"{}"}, {0, 1}), std::invalid_argument);
}

// Two index objects on one stored index add summaries at once: the
// read-merge-write of each field is serialised, so no addition is lost.
TEST_F(PreFilteringTest, ConcurrentUpdatesOfOneFieldLoseNothing) {
  auto other = client_->LoadIndex(index_->index_name(), key_, &logger_);
  constexpr int kFields = 100;
  // Each thread adds every other centroid once to each field.
  auto add = [](EncryptedIndex* index, uint32_t first) {
    for (int f = 0; f < kFields; ++f) {
      for (uint32_t c = first; c < kLists; c += 2) {
        index->UpdateMetadata({"{\"f" + std::to_string(f) + "\": 1}"}, {c});
      }
    }
  };
  std::thread a(add, index_.get(), 0);
  std::thread b(add, other.get(), 1);
  a.join();
  b.join();
  for (int f = 0; f < kFields; ++f) {
    EXPECT_EQ(index_->PreFiltering("{\"f" + std::to_string(f) + "\": 1}").centroid_ids.size(),
              kLists)
        << "field f" << f;
  }
}

}  // namespace
}  // namespace nivora::testing
