// Row compaction of retrieved candidates: which rows stand for live items,
// and how dropping rows reshapes ids, payloads, presence, offsets and
// metadata.
#include "api/row_compaction.h"

#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace nivora::internal {
namespace {

using nivora_encrypted_index::RetrieveNeighborsResult;

// Rows with the given ids and offsets; payload row r holds byte r + 1 twice,
// so moved rows can be recognised.
RetrieveNeighborsResult MakeRows(const std::vector<uint64_t>& ids,
                                 const std::vector<uint64_t>& offsets,
                                 std::vector<uint8_t> present = {}) {
  RetrieveNeighborsResult result;
  result.matching_ids = ids;
  result.centroid_to_matching_indices = offsets;
  result.payloads = Array2D<uint8_t>(ids.size(), 2);
  for (size_t r = 0; r < ids.size(); ++r) {
    std::memset(result.payloads.row(r), static_cast<int>(r + 1), 2);
  }
  result.row_present = present.empty() ? std::vector<uint8_t>(ids.size(), 1) : present;
  return result;
}

std::vector<uint8_t> FirstBytes(const Array2D<uint8_t>& payloads) {
  std::vector<uint8_t> bytes;
  for (size_t r = 0; r < payloads.rows; ++r) bytes.push_back(payloads.row(r)[0]);
  return bytes;
}

TEST(FindLiveRowsTest, DropsAbsentRowsAndRepeatsWithinAList) {
  // List 0: ids 7, 8, 7 (repeat), 9 (absent); list 1: 8 again (another list),
  // 10; list 2: empty.
  const auto rows = MakeRows({7, 8, 7, 9, 8, 10}, {0, 4, 6, 6}, {1, 1, 1, 0, 1, 1});
  const LiveRows live = FindLiveRows(rows);
  EXPECT_EQ(live.keep, (std::vector<uint8_t>{1, 1, 0, 0, 1, 1}));
  EXPECT_EQ(live.kept, 4u);
  EXPECT_EQ(live.repeated_across_lists, 1u);  // id 8 in lists 0 and 1
}

TEST(FindLiveRowsTest, AnAbsentFirstRowDoesNotHideALaterPresentOne) {
  // The old token of an item comes back absent only when the item was
  // deleted; a present row of the same hash later in the list still counts.
  const auto rows = MakeRows({5, 5}, {0, 2}, {0, 1});
  EXPECT_EQ(FindLiveRows(rows).keep, (std::vector<uint8_t>{0, 1}));
}

TEST(FindLiveRowsTest, EmptyAndManyRows) {
  EXPECT_EQ(FindLiveRows(MakeRows({}, {0})).kept, 0u);
  EXPECT_EQ(FindLiveRows(MakeRows({}, {})).kept, 0u);
  std::vector<uint64_t> ids;
  for (uint64_t i = 0; i < 50000; ++i) ids.push_back(i * 0x9E3779B97F4A7C15ULL);
  ids.push_back(ids[123]);
  const LiveRows live = FindLiveRows(MakeRows(ids, {0, ids.size()}));
  EXPECT_EQ(live.kept, 50000u);
  EXPECT_EQ(live.keep.back(), 0);
  EXPECT_EQ(live.repeated_across_lists, 0u);
}

TEST(FindLiveRowsTest, ALargeBatchSplitByHashMarksWhatOnePassWould) {
  // 120,000 rows in 300 lists: ids drawn from a small pool, so items repeat
  // within lists and across them; one row in 17 absent. The reference is
  // the rule itself, row by row.
  std::mt19937_64 random(7);
  std::vector<uint64_t> ids, offsets{0};
  std::vector<uint8_t> present;
  for (size_t list = 0; list < 300; ++list) {
    for (size_t r = 0; r < 400; ++r) {
      ids.push_back(random() % 60000);
      present.push_back(random() % 17 != 0);
    }
    offsets.push_back(ids.size());
  }
  std::vector<uint8_t> keep(ids.size(), 0);
  std::set<uint64_t> seen_anywhere;
  size_t kept = 0;
  for (size_t list = 0; list + 1 < offsets.size(); ++list) {
    std::set<uint64_t> seen_here;
    for (size_t r = offsets[list]; r < offsets[list + 1]; ++r) {
      if (present[r] == 0 || !seen_here.insert(ids[r]).second) continue;
      seen_anywhere.insert(ids[r]);
      keep[r] = 1;
      ++kept;
    }
  }
  const LiveRows live = FindLiveRows(MakeRows(ids, offsets, present));
  EXPECT_EQ(live.keep, keep);
  EXPECT_EQ(live.kept, kept);
  EXPECT_EQ(live.repeated_across_lists, kept - seen_anywhere.size());
}

TEST(FindLiveRowsTest, RefusesInconsistentRows) {
  auto short_presence = MakeRows({1, 2}, {0, 2});
  short_presence.row_present.pop_back();
  auto short_payload = MakeRows({1, 2}, {0, 2});
  short_payload.payloads.rows = 1;
  const std::vector<RetrieveNeighborsResult> cases = {
      short_presence, short_payload, MakeRows({1, 2}, {0, 1}), MakeRows({1, 2}, {1, 2}),
      MakeRows({1, 2}, {0, 2, 1, 2}), MakeRows({1, 2}, {}), MakeRows({1, 2}, {0, 3})};
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_THROW(FindLiveRows(cases[i]), std::runtime_error) << "case " << i;
  }
}

TEST(CompactRowsTest, KeepsChosenRowsAndShrinksEachListsRange) {
  auto rows = MakeRows({10, 11, 12, 13, 14}, {0, 3, 3, 5});
  std::vector<std::string> metadata = {"a", "b", "c", "d", "e"};
  CompactRows(rows, &metadata, {0, 1, 0, 0, 1});
  EXPECT_EQ(rows.matching_ids, (std::vector<uint64_t>{11, 14}));
  EXPECT_EQ(rows.centroid_to_matching_indices, (std::vector<uint64_t>{0, 1, 1, 2}));
  EXPECT_EQ(rows.payloads.rows, 2u);
  EXPECT_EQ(rows.payloads.cols, 2u);
  EXPECT_EQ(FirstBytes(rows.payloads), (std::vector<uint8_t>{2, 5}));
  EXPECT_EQ(rows.row_present, (std::vector<uint8_t>{1, 1}));
  EXPECT_EQ(metadata, (std::vector<std::string>{"b", "e"}));
}

TEST(CompactRowsTest, APayloadBlockHeldElsewhereIsNotChanged) {
  auto rows = MakeRows({10, 11, 12}, {0, 3});
  const Array2D<uint8_t> held = rows.payloads;
  CompactRows(rows, nullptr, {1, 0, 1});
  EXPECT_EQ(FirstBytes(rows.payloads), (std::vector<uint8_t>{1, 3}));
  EXPECT_EQ(FirstBytes(held), (std::vector<uint8_t>{1, 2, 3}));
  // The copy holds plaintext rows: wiped when released.
  EXPECT_NE(std::get_deleter<nivora::WipingFree>(rows.payloads.owner), nullptr);
}

TEST(CompactRowsTest, KeepingAllOrNoneAndRowsWithoutPresence) {
  auto all = MakeRows({1, 2, 3}, {0, 1, 3});
  CompactRows(all, nullptr, {1, 1, 1});
  EXPECT_EQ(all.matching_ids, (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(FirstBytes(all.payloads), (std::vector<uint8_t>{1, 2, 3}));

  auto none = MakeRows({1, 2, 3}, {0, 1, 3});
  CompactRows(none, nullptr, {0, 0, 0});
  EXPECT_TRUE(none.matching_ids.empty());
  EXPECT_EQ(none.payloads.rows, 0u);
  EXPECT_EQ(none.centroid_to_matching_indices, (std::vector<uint64_t>{0, 0, 0}));

  auto bare = MakeRows({1, 2}, {0, 2});
  bare.row_present.clear();
  CompactRows(bare, nullptr, {0, 1});
  EXPECT_EQ(bare.matching_ids, (std::vector<uint64_t>{2}));
  EXPECT_TRUE(bare.row_present.empty());
}

TEST(CompactRowsTest, MismatchedArgumentsChangeNothing) {
  auto rows = MakeRows({1, 2, 3}, {0, 3});
  std::vector<std::string> metadata = {"a", "b"};
  EXPECT_THROW(CompactRows(rows, &metadata, {1, 0, 1}), std::invalid_argument);
  EXPECT_THROW(CompactRows(rows, nullptr, {1, 0}), std::invalid_argument);
  rows.centroid_to_matching_indices = {0, 4};
  EXPECT_THROW(CompactRows(rows, nullptr, {1, 0, 1}), std::runtime_error);
  EXPECT_EQ(rows.matching_ids.size(), 3u);
  EXPECT_EQ(metadata.size(), 2u);
}

}  // namespace
}  // namespace nivora::internal
