// A filtered query with the automatic n_probes widens over the lists the
// filter allows: it finds the nearest matches even where they lie beyond
// the first top_k matches found, reads no list twice, and ends with the
// results of one pass over the lists it read. An explicit n_probes probes
// exactly that many lists.
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "query_test_support.h"

namespace nivora::testing {
namespace {

constexpr size_t kDim = 16;
constexpr size_t kItems = 3000;
constexpr size_t kLists = 48;
constexpr size_t kRareEvery = 61;  // about 50 items: 1.6%, spread over most clusters
const char kRareFilter[] = "{\"rare\": 1}";

bool IsRare(size_t i) { return i % kRareEvery == 0; }

Array2D<float> Row(const Array2D<float>& rows, size_t r) {
  return Array2D<float>(std::vector<float>(rows.row(r), rows.row(r) + rows.cols), rows.cols);
}

// Clustered items; the rare ones carry {"rare": 1}, the others {"cat": c}.
ClusteredData RareData() {
  ClusteredData data(kItems, kDim, 40, 77);
  for (size_t i = 0; i < data.size(); ++i) {
    data.metadata[i] = IsRare(i) ? "{\"rare\": 1}" : "{\"cat\": " + std::to_string(i % 5) + "}";
  }
  return data;
}

class FilteredWideningTest : public IndexApiTest {
 protected:
  void SetUp() override {
    IndexApiTest::SetUp();
    index_ = Create(IndexIVFFlat(kDim));
    TrainByHand(*index_, data_, kLists);
    UpsertAll(*index_, data_);
  }
  // Lists the engine looked up since the last call (one lookup per
  // non-empty list per read).
  uint64_t ListReads() {
    const auto& cache = index_->engine()->token_cache();
    const uint64_t total = cache.getCacheHits() + cache.getCacheMisses() + cache.getCacheExtends();
    const uint64_t since = total - reads_seen_;
    reads_seen_ = total;
    return since;
  }
  // The lists and passes of the last widening, from its log line.
  struct Widening {
    size_t lists = 0;
    size_t passes = 0;
  };
  Widening LastWidening() const {
    const std::string log = Log();
    const std::regex line("Filtered probing: (\\d+) of \\d+ allowed lists read in (\\d+) passes");
    Widening last;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator();
         ++it) {
      last = {std::stoul((*it)[1]), std::stoul((*it)[2])};
    }
    return last;
  }

  const ClusteredData data_ = RareData();
  std::unique_ptr<EncryptedIndex> index_;
  uint64_t reads_seen_ = 0;
};

// Recall against brute force over the matching items, one query per call
// and as a batch; every answer matches the filter.
TEST_F(FilteredWideningTest, FindsTheNearestMatchesBeyondTheFirstTopK) {
  const Array2D<float> queries = NoisyQueries(data_, 30, 5);
  QueryParams params = Params(10, kRareFilter);
  params.include = {ItemFields::METADATA};
  const QueryResult batch = index_->Query(queries, params);
  double recall_single = 0, recall_batch = 0;
  for (size_t q = 0; q < queries.rows; ++q) {
    SCOPED_TRACE(q);
    const std::vector<std::string> truth =
        BruteForce(data_, queries.row(q), 10, [](size_t i) { return IsRare(i); });
    const QueryResult single = index_->Query(Row(queries, q), params);
    ASSERT_EQ(single.ids[0].size(), 10u);
    ASSERT_EQ(batch.ids[q].size(), 10u);
    for (const std::string& text : batch.metadata[q]) EXPECT_EQ(text, "{\"rare\": 1}");
    EXPECT_FALSE(HasDuplicates(batch.ids[q]));
    recall_single += Recall(single.ids[0], truth);
    recall_batch += Recall(batch.ids[q], truth);
  }
  EXPECT_GE(recall_single / queries.rows, 0.95);
  EXPECT_GE(recall_batch / queries.rows, 0.95);
}

// Each widening pass reads only lists no earlier pass read, and the merged
// answer is the one of a single pass over all of them.
TEST_F(FilteredWideningTest, WideningReadsEachListOnceAndEqualsOnePass) {
  const Array2D<float> queries = NoisyQueries(data_, 8, 9);
  size_t widened = 0;
  for (size_t q = 0; q < queries.rows; ++q) {
    SCOPED_TRACE(q);
    const Array2D<float> query = Row(queries, q);
    ListReads();
    const QueryResult automatic = index_->Query(query, Params(10, kRareFilter));
    const uint64_t automatic_reads = ListReads();
    const Widening widening = LastWidening();
    ASSERT_GT(widening.lists, 0u);
    EXPECT_EQ(automatic_reads, widening.lists);
    widened += widening.passes > 1 ? 1 : 0;

    const QueryResult one_pass = index_->Query(query, Params(10, kRareFilter, widening.lists));
    EXPECT_EQ(ListReads(), widening.lists);
    EXPECT_EQ(automatic.ids, one_pass.ids);
    EXPECT_EQ(automatic.distances, one_pass.distances);
  }
  EXPECT_GT(widened, 0u);  // the case under test happened
}

// An explicit n_probes reads that many lists, in one pass, even when it
// finds fewer than top_k matches there.
TEST_F(FilteredWideningTest, ExplicitNProbesKeepsItsMeaning) {
  const Array2D<float> query = NoisyQueries(data_, 1, 13);
  const size_t widenings = LogCount("Filtered probing: ");
  for (uint64_t n_probes : {1, 3}) {
    SCOPED_TRACE(n_probes);
    ListReads();
    const QueryResult result = index_->Query(query, Params(10, kRareFilter, n_probes));
    EXPECT_EQ(ListReads(), n_probes);
    EXPECT_LT(result.ids[0].size(), 10u);
  }
  EXPECT_EQ(LogCount("Filtered probing: "), widenings);
}

}  // namespace
}  // namespace nivora::testing
