// Query end to end through nivora::Client on the in-process stores: recall
// against brute force per index type, filters, deleted and upserted-again
// items, refusals and the log lines callers rely on.
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "query_test_support.h"
#include "vector/gpu_entry_points.h"

namespace nivora::testing {
namespace {

constexpr size_t kDim = 16;

struct TypeCase {
  const char* name;
  std::unique_ptr<IndexConfig> (*make)();
};

const std::vector<TypeCase>& TypeCases() {
  static const std::vector<TypeCase> cases = {
      {"IVF", [] { return std::unique_ptr<IndexConfig>(new IndexIVF(kDim)); }},
      {"IVFPQ", [] { return std::unique_ptr<IndexConfig>(new IndexIVFPQ(kDim, 8, 8)); }},
      {"IVFFLAT", [] { return std::unique_ptr<IndexConfig>(new IndexIVFFlat(kDim)); }},
      {"IVFSQ8", [] { return std::unique_ptr<IndexConfig>(new IndexIVFSQ(kDim, 8)); }},
      {"IVFSQ16", [] { return std::unique_ptr<IndexConfig>(new IndexIVFSQ(kDim, 16)); }},
  };
  return cases;
}

bool CatIs(const ClusteredData& data, size_t i, int cat) {
  return !data.metadata[i].empty() && static_cast<int>(i % 5) == cat;
}

// Metadata texts of a result must all satisfy {"cat": cat}.
void ExpectAllCat(const std::vector<std::string>& metadata, int cat) {
  for (const auto& text : metadata) {
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(nlohmann::json::parse(text).at("cat").get<int>(), cat) << text;
  }
}

using QueryTest = IndexApiTest;

// An untrained index of any type ranks raw vectors exactly: recall is 1,
// and a filter restricts the answer to matching items without losing any.
TEST_F(QueryTest, UntrainedRecallIsExactPerTypeWithAndWithoutFilter) {
  const ClusteredData data(600, kDim, 10, 7);
  const Array2D<float> queries = NoisyQueries(data, 12, 8);
  for (const TypeCase& type : TypeCases()) {
    SCOPED_TRACE(type.name);
    auto index = Create(*type.make());
    UpsertAll(*index, data);
    QueryParams plain = Params(10);
    QueryParams filtered = Params(10, "{\"cat\": 2}");
    filtered.include = {ItemFields::METADATA};
    const QueryResult all = index->Query(queries, plain);
    const QueryResult cat2 = index->Query(queries, filtered);
    ASSERT_EQ(all.num_queries, queries.rows);
    for (size_t q = 0; q < queries.rows; ++q) {
      const float* query = queries.row(q);
      const auto expected = BruteForce(data, query, 10, [](size_t) { return true; });
      EXPECT_EQ(Recall(all.ids[q], expected), 1.0);
      EXPECT_EQ(all.num_results[q], 10u);
      EXPECT_TRUE(all.metadata[q].empty());
      // Euclidean distances come back as square roots.
      const float nearest = std::sqrt(SquaredL2(query, data.row(std::stoul(
                                          expected[0].substr(5))), kDim));
      EXPECT_NEAR(all.distances[q][0], nearest, 1e-3);

      const auto expected_cat2 =
          BruteForce(data, query, 10, [&](size_t i) { return CatIs(data, i, 2); });
      EXPECT_EQ(Recall(cat2.ids[q], expected_cat2), 1.0);
      ASSERT_EQ(cat2.metadata[q].size(), cat2.ids[q].size());
      ExpectAllCat(cat2.metadata[q], 2);
    }
  }
}

// Trained indexes: recall@10 against brute force with and without a
// filter; every filtered answer matches the filter, a trained IVF index too.
TEST_F(QueryTest, TrainedRecallPerTypeWithAndWithoutFilter) {
  const ClusteredData data(4000, kDim, 32, 11);
  const Array2D<float> queries = NoisyQueries(data, 20, 12);
  struct Floor {
    const char* type;
    double plain;
    double filtered;
  };
  // IVF ranks by list, not by item: its recall is not measured.
  const std::vector<Floor> floors = {{"IVF", 0.0, 0.0},
                                     {"IVFPQ", 0.6, 0.6},
                                     {"IVFFLAT", 0.95, 0.95},
                                     {"IVFSQ8", 0.9, 0.9},
                                     {"IVFSQ16", 0.95, 0.95}};
  for (size_t t = 0; t < TypeCases().size(); ++t) {
    const TypeCase& type = TypeCases()[t];
    SCOPED_TRACE(type.name);
    auto index = Create(*type.make());
    TrainByHand(*index, data, 32);
    UpsertAll(*index, data);
    QueryParams plain = Params(10, "", 8);
    QueryParams filtered = Params(10, "{\"cat\": 2}", 8);
    filtered.include = {ItemFields::METADATA};
    const QueryResult all = index->Query(queries, plain);
    const QueryResult cat2 = index->Query(queries, filtered);
    double recall = 0, recall_filtered = 0;
    for (size_t q = 0; q < queries.rows; ++q) {
      const float* query = queries.row(q);
      recall += Recall(all.ids[q], BruteForce(data, query, 10, [](size_t) { return true; }));
      recall_filtered += Recall(
          cat2.ids[q], BruteForce(data, query, 10, [&](size_t i) { return CatIs(data, i, 2); }));
      EXPECT_EQ(all.ids[q].size(), 10u);
      EXPECT_FALSE(HasDuplicates(all.ids[q]));
      EXPECT_TRUE(std::is_sorted(all.distances[q].begin(), all.distances[q].end()));
      ExpectAllCat(cat2.metadata[q], 2);
    }
    EXPECT_GE(recall / queries.rows, floors[t].plain);
    EXPECT_GE(recall_filtered / queries.rows, floors[t].filtered);
  }
}

// Items without metadata sit alone in one cluster: a filter that holds for
// absent fields must still reach that cluster's list, which has no
// summaries. A filter nothing satisfies gives empty lists, not an error.
TEST_F(QueryTest, FiltersOnTrainedIndexReachListsWithoutSummaries) {
  const ClusteredData data(2100, kDim, 7, 21);  // cluster 0 = the items without metadata
  auto index = Create(IndexIVFFlat(kDim));
  TrainByHand(*index, data, 7);
  UpsertAll(*index, data);
  const Array2D<float> query = data.Rows(0, 1);  // an item of cluster 0
  QueryParams absent = Params(10, "{\"cat\": {\"$exists\": false}}", 2);
  const QueryResult got = index->Query(query, absent);
  ASSERT_EQ(got.ids[0].size(), 10u);
  for (const auto& id : got.ids[0]) EXPECT_EQ(std::stoul(id.substr(5)) % 7, 0u) << id;

  const QueryResult none = index->Query(query, Params(10, "{\"cat\": 99}", 7));
  ASSERT_EQ(none.num_queries, 1u);
  EXPECT_TRUE(none.ids[0].empty());
  EXPECT_EQ(none.num_results[0], 0u);
}

// Deleted items never come back and an item upserted again (to the same
// list, or with a new vector into another list) comes back once, at its
// new place, also when one query probes both of its lists.
TEST_F(QueryTest, DeleteAndUpsertAgainLeaveNoPhantomOrDuplicate) {
  for (bool trained : {false, true}) {
    SCOPED_TRACE(trained ? "trained" : "untrained");
    const ClusteredData data(trained ? 2000 : 400, kDim, 16, 31);
    auto index = Create(IndexIVFFlat(kDim));
    if (trained) TrainByHand(*index, data, 16);
    UpsertAll(*index, data);
    std::vector<std::string> deleted(data.ids.begin(), data.ids.begin() + 50);
    index->Delete(deleted);
    // Items 50..59 again with the same vectors, twice.
    for (int round = 0; round < 2; ++round) {
      index->Upsert({data.ids.begin() + 50, data.ids.begin() + 60}, data.Rows(50, 60), {},
                    {data.metadata.begin() + 50, data.metadata.begin() + 60});
    }
    // Item 60 moves onto item 61's vector (another cluster: 16 clusters).
    index->Upsert({data.ids[60]}, data.Rows(61, 62), {}, {data.metadata[60]});

    // Two queries, each probing every list.
    std::vector<float> two(data.row(61), data.row(61) + kDim);
    two.insert(two.end(), data.row(55), data.row(55) + kDim);
    const QueryResult got = index->Query(Array2D<float>(two, kDim), Params(40, "", 16));
    for (size_t q = 0; q < 2; ++q) {
      EXPECT_EQ(got.ids[q].size(), 40u);
      EXPECT_FALSE(HasDuplicates(got.ids[q]));
      for (const auto& id : got.ids[q]) {
        EXPECT_GE(std::stoul(id.substr(5)), 50u) << "deleted item " << id << " returned";
      }
    }
    // Item 60 sits on item 61's vector now: both at distance 0.
    const std::vector<std::string> top2(got.ids[0].begin(), got.ids[0].begin() + 2);
    EXPECT_EQ(std::set<std::string>(top2.begin(), top2.end()),
              (std::set<std::string>{data.ids[60], data.ids[61]}));
    EXPECT_NEAR(got.distances[0][1], 0.0f, 0.05);
    EXPECT_EQ(got.ids[1][0], data.ids[55]);

    index->Delete({data.ids[60]});
    const QueryResult after = index->Query(data.Rows(61, 62), Params(40, "", 16));
    for (const auto& id : after.ids[0]) EXPECT_NE(id, data.ids[60]);
  }
}

TEST_F(QueryTest, RefusalsNameTheProblemAndLeaveTheIndexUsable) {
  const ClusteredData data(50, kDim, 2, 41);
  auto index = Create(IndexIVFFlat(kDim));
  UpsertAll(*index, data);
  auto unset = Create(IndexIVFFlat(0));

  std::vector<float> nan_row(kDim, 1.0f), inf_row(kDim, 1.0f);
  nan_row[3] = std::numeric_limits<float>::quiet_NaN();
  inf_row[0] = -std::numeric_limits<float>::infinity();
  QueryParams huge_k = Params(uint64_t{1} << 32);
  struct Case {
    const char* name;
    EncryptedIndex* index;
    Array2D<float> queries;
    QueryParams params;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no rows", index.get(), Array2D<float>(), Params(5), "Query vectors cannot be empty."},
      {"dimension unset", unset.get(), data.Rows(0, 1), Params(5),
       "Index dimension is not set. Please upsert vectors first to auto-detect dimension."},
      {"dimension mismatch", index.get(), Array2D<float>(std::vector<float>(8, 0.0f), 4),
       Params(5), "The dimension of the vectors provided (4) doesn't match the index "
                  "configuration (16)."},
      {"NaN", index.get(), Array2D<float>(nan_row, kDim), Params(5),
       "Vectors must contain only finite values."},
      {"infinity", index.get(), Array2D<float>(inf_row, kDim), Params(5),
       "Vectors must contain only finite values."},
      {"top_k past 32 bits", index.get(), data.Rows(0, 1), huge_k,
       "top_k must not exceed 4294967295."},
      {"bad filter", index.get(), data.Rows(0, 1), Params(5, "{\"a\": 1, \"b\": 2}"),
       "The filters argument must contain exactly one top-level filter."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.index->Query(c.queries, c.params);
      ADD_FAILURE() << "no exception";
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  EXPECT_THROW(index->Query(data.Rows(0, 1), Params(5, "{not json")), std::invalid_argument);
  EXPECT_EQ(index->Query(data.Rows(0, 1), Params(5)).ids[0].size(), 5u);

  index->DeleteIndex();
  try {
    index->Query(data.Rows(0, 1), Params(5));
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), kNotConnectedMessage);
  }
}

TEST_F(QueryTest, ProbeCountsAndTheirLogLines) {
  const ClusteredData data(2000, kDim, 16, 51);
  auto index = Create(IndexIVFFlat(kDim));
  UpsertAll(*index, data);
  const Array2D<float> query = data.Rows(3, 4);
  index->Query(query, Params(5, "", 1));
  EXPECT_EQ(LogCount("n_probes exceeds n_lists"), 0u);
  index->Query(query, Params(5, "", 2));
  EXPECT_EQ(LogCount("n_probes exceeds n_lists. Capping to n_lists (1)."), 1u);

  auto trained = Create(IndexIVFFlat(kDim));
  TrainByHand(*trained, data, 16);
  UpsertAll(*trained, data);
  index = std::move(trained);
  index->Query(query, Params(5, "", 16));
  EXPECT_EQ(LogCount("n_probes exceeds n_lists"), 1u);
  index->Query(query, Params(5, "", 17));
  EXPECT_EQ(LogCount("n_probes exceeds n_lists. Capping to n_lists (16)."), 1u);
  EXPECT_EQ(LogCount("Adaptive n_probes: "), 0u);
  const QueryResult adaptive = index->Query(query, Params(5));
  EXPECT_EQ(LogCount("Adaptive n_probes: "), 1u);
  EXPECT_EQ(adaptive.ids[0][0], data.ids[3]);
}

// Metadata comes back one text per id only when asked for, with or without
// a filter; items without metadata give "".
TEST_F(QueryTest, MetadataOnlyWhenAskedFor) {
  const ClusteredData data(200, kDim, 4, 61);
  auto index = Create(IndexIVFSQ(kDim, 8));
  UpsertAll(*index, data);
  const Array2D<float> query = data.Rows(0, 1);  // item 0 has no metadata
  for (const std::string filter : {"", "{\"cat\": {\"$nin\": [1]}}"}) {
    SCOPED_TRACE(filter);
    QueryParams with = Params(5, filter);
    with.include = {ItemFields::METADATA};
    const QueryResult got = index->Query(query, with);
    ASSERT_EQ(got.metadata[0].size(), got.ids[0].size());
    EXPECT_EQ(got.ids[0][0], data.ids[0]);
    EXPECT_EQ(got.metadata[0][0], "");
    for (size_t j = 0; j < got.ids[0].size(); ++j) {
      EXPECT_EQ(got.metadata[0][j], data.metadata[std::stoul(got.ids[0][j].substr(5))]);
    }
    QueryParams without = Params(5, filter);
    without.include = {ItemFields::VECTOR};
    EXPECT_TRUE(index->Query(query, without).metadata[0].empty());
  }
}

// Each query counts rows x top_k; a failed one, or one with top_k 0, counts
// nothing (top_k 0 answers with empty lists).
TEST_F(QueryTest, UsageCountsRowsTimesTopK) {
  const ClusteredData data(100, kDim, 2, 71);
  auto index = Create(IndexIVFFlat(kDim));
  UpsertAll(*index, data);
  telemetry_.Reset();
  index->Query(data.Rows(0, 3), Params(4));
  EXPECT_EQ(telemetry_.Count("query"), 12);
  const QueryResult none = index->Query(data.Rows(0, 2), Params(0));
  EXPECT_EQ(none.num_queries, 2u);
  EXPECT_TRUE(none.ids[1].empty());
  EXPECT_THROW(index->Query(data.Rows(0, 1), Params(4, "{\"a\": {\"$between\": 1}}")),
               std::invalid_argument);
  EXPECT_EQ(telemetry_.Count("query"), 12);
}

// A client whose GPU query flag is set fails queries with the CUDA message.
TEST_F(QueryTest, GpuQueryFlagNeedsCuda) {
  auto gpu_client = MakeClient(GPUConfig::QUERY);
  const ClusteredData data(50, kDim, 2, 81);
  auto index = Create(*gpu_client, IndexIVFFlat(kDim));
  UpsertAll(*index, data);
  try {
    index->Query(data.Rows(0, 1), Params(5));
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), internal::vector_index::kCudaRequiredMessage);
  }
}

}  // namespace
}  // namespace nivora::testing
