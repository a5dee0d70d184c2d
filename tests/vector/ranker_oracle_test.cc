// Every scoring ranker against a brute-force oracle, over metric x path x
// index type: row-scored lists, block-scored lists, and the flattened path
// of one query with at least 5,000 candidates.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/parallel_for.h"
#include "ranking_test_util.h"
#include "vector/rank_ivf_flat.h"
#include "vector/rank_ivf_pq.h"
#include "vector/rank_ivf_sq.h"
#include "vector/ranking_driver.h"

namespace nivora::internal::vector_index {
namespace {

using nivora_encrypted_index::RetrieveNeighborsResult;

enum class Kind { kFlat, kSQ8, kSQ16, kPQ };
constexpr size_t kDim = 16;
constexpr size_t kSubquantizers = 4;  // PQ: 4 sub-vectors of width 4
constexpr size_t kCodewords = 16;

const char* NameOf(Kind kind) {
  switch (kind) {
    case Kind::kFlat: return "IVFFlat";
    case Kind::kSQ8: return "IVFSQ8";
    case Kind::kSQ16: return "IVFSQ16";
    case Kind::kPQ: return "IVFPQ";
  }
  return "";
}

size_t RowBytes(Kind kind) {
  switch (kind) {
    case Kind::kFlat: return kDim * 4;
    case Kind::kSQ8: return kDim;
    case Kind::kSQ16: return kDim * 2;
    case Kind::kPQ: return kSubquantizers * 4;
  }
  return 0;
}

double Distance(DistanceMetric metric, const float* q, const float* x, size_t d) {
  if (metric == DistanceMetric::Cosine) {
    double dot = 0, qq = 0, xx = 0;
    for (size_t i = 0; i < d; ++i) {
      dot += double(q[i]) * x[i];
      qq += double(q[i]) * q[i];
      xx += double(x[i]) * x[i];
    }
    const double den = std::sqrt(qq) * std::sqrt(xx);
    return den == 0 ? 1.0 : 1.0 - dot / den;
  }
  double s = 0;
  for (size_t i = 0; i < d; ++i) s += (double(q[i]) - x[i]) * (double(q[i]) - x[i]);
  return s;
}

class RankerOracleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::normal_distribution<float> normal;
    for (size_t j = 0; j < kDim; ++j) {
      quantizer_.min.push_back(-2.0f - 0.1f * j);
      quantizer_.scale.push_back(0.02f + 0.001f * j);
    }
    for (size_t s = 0; s < kSubquantizers; ++s) {
      std::vector<float> words(kCodewords * 4);
      for (float& v : words) v = normal(gen_);
      pq_.push_back(Codebook{static_cast<int32_t>(kCodewords), Array2D<float>(words, 4)});
    }
  }

  // Random payload rows of the kind; a zero row now and then.
  void Fill(Kind kind, RetrieveNeighborsResult& r) {
    std::normal_distribution<float> normal;
    std::uniform_int_distribution<uint32_t> code(0, 65535);
    for (size_t row = 0; row < r.payloads.rows; ++row) {
      const bool zero = row % 97 == 5;
      switch (kind) {
        case Kind::kFlat: {
          std::vector<float> v(kDim);
          for (float& x : v) x = zero ? 0.0f : normal(gen_);
          PutRow(r, row, v);
          break;
        }
        case Kind::kSQ8: {
          std::vector<uint8_t> v(kDim);
          for (uint8_t& x : v) x = static_cast<uint8_t>(code(gen_));
          PutRow(r, row, v);
          break;
        }
        case Kind::kSQ16: {
          std::vector<uint16_t> v(kDim);
          for (uint16_t& x : v) x = static_cast<uint16_t>(code(gen_) / 256 + 32000);
          PutRow(r, row, v);
          break;
        }
        case Kind::kPQ: {
          std::vector<uint32_t> v(kSubquantizers);
          for (uint32_t& x : v) x = code(gen_) % kCodewords;
          PutRow(r, row, v);
          break;
        }
      }
    }
  }

  // The decoded row (Flat, SQ) as floats.
  std::vector<float> Decoded(Kind kind, const RetrieveNeighborsResult& r, size_t row) const {
    std::vector<float> x(kDim);
    const uint8_t* bytes = r.payloads.row(row);
    for (size_t j = 0; j < kDim; ++j) {
      if (kind == Kind::kFlat) {
        std::memcpy(&x[j], bytes + 4 * j, 4);
      } else {
        uint16_t c = bytes[j];
        if (kind == Kind::kSQ16) std::memcpy(&c, bytes + 2 * j, 2);
        x[j] = std::fma(float(c), quantizer_.scale[j], quantizer_.min[j]);
      }
    }
    return x;
  }

  double Oracle(Kind kind, DistanceMetric metric, const float* q, const RetrieveNeighborsResult& r,
                size_t row) const {
    double d = 0;
    if (kind == Kind::kPQ) {
      uint32_t codes[kSubquantizers];
      std::memcpy(codes, r.payloads.row(row), sizeof(codes));
      for (size_t s = 0; s < kSubquantizers; ++s) {
        d += Distance(metric, q + 4 * s, pq_[s].centroids.row(codes[s]), 4);
      }
    } else {
      d = Distance(metric, q, Decoded(kind, r, row).data(), kDim);
    }
    return metric == DistanceMetric::Euclidean ? std::sqrt(d) : d;
  }

  RankingResults Rank(Kind kind, const RetrieveNeighborsResult& r,
                      const std::vector<std::string>& metadata, const CentroidSelection& sel,
                      Array2DView<float> queries, uint32_t top_k, DistanceMetric metric,
                      const std::vector<ItemFields>& include) const {
    switch (kind) {
      case Kind::kFlat:
        return cpu::RankIVFFlat(r, metadata, sel, queries, top_k, metric, include);
      case Kind::kSQ8:
        return cpu::RankIVFSQ<uint8_t>(r, metadata, sel, queries, quantizer_, top_k, metric,
                                       include);
      case Kind::kSQ16:
        return cpu::RankIVFSQ<uint16_t>(r, metadata, sel, queries, quantizer_, top_k, metric,
                                        include);
      case Kind::kPQ:
        return cpu::RankIVFPQ(r, metadata, sel, queries, pq_, top_k, metric, include);
    }
    return {};
  }

  // Ranks and compares every query with the oracle: the count, ascending
  // distances equal to the oracle's k smallest, each id's own distance, and
  // its metadata.
  void CheckAgainstOracle(Kind kind, DistanceMetric metric, const RetrieveNeighborsResult& r,
                          const CentroidSelection& sel, const Array2D<float>& queries,
                          uint32_t top_k, bool with_metadata) {
    const std::vector<std::string> metadata = Metadata(r.payloads.rows);
    const std::vector<ItemFields> include =
        with_metadata ? std::vector<ItemFields>{ItemFields::METADATA} : std::vector<ItemFields>{};
    const RankingResults got = Rank(kind, r, metadata, sel, queries, top_k, metric, include);
    const size_t k = std::min<size_t>(top_k, r.matching_ids.size());
    ASSERT_EQ(got.num_results.size(), sel.n_queries);
    for (size_t q = 0; q < sel.n_queries; ++q) {
      SCOPED_TRACE("query " + std::to_string(q));
      std::map<uint64_t, double> oracle;
      std::vector<double> sorted;
      for (size_t j = 0; j < sel.query_lists.cols; ++j) {
        const uint32_t p = sel.query_lists.row(q)[j];
        for (uint64_t row = r.centroid_to_matching_indices[p];
             row < r.centroid_to_matching_indices[p + 1]; ++row) {
          const double d = Oracle(kind, metric, queries.row(q), r, row);
          oracle[r.matching_ids[row]] = d;
          sorted.push_back(d);
        }
      }
      std::sort(sorted.begin(), sorted.end());
      const size_t n = std::min(k, sorted.size());
      ASSERT_EQ(got.num_results[q], n);
      ASSERT_EQ(got.ids[q].size(), n);
      ASSERT_EQ(got.distances[q].size(), n);
      EXPECT_EQ(got.metadata[q].size(), with_metadata ? n : 0u);
      std::set<uint64_t> seen;
      for (size_t i = 0; i < n; ++i) {
        const double tol = 2e-4 * (1.0 + std::abs(sorted[i]));
        EXPECT_NEAR(got.distances[q][i], sorted[i], tol) << "rank " << i;
        EXPECT_NEAR(got.distances[q][i], oracle.at(got.ids[q][i]), tol) << "rank " << i;
        if (i > 0) {
          EXPECT_LE(got.distances[q][i - 1], got.distances[q][i]);
        }
        EXPECT_TRUE(seen.insert(got.ids[q][i]).second) << "id twice";
        if (with_metadata) {
          EXPECT_EQ(got.metadata[q][i], MetadataOf(got.ids[q][i] - 1000));
        }
      }
    }
  }

  Array2D<float> Queries(size_t n) {
    std::normal_distribution<float> normal;
    Array2D<float> q(n, kDim);
    for (size_t i = 0; i < q.size(); ++i) q.data[i] = normal(gen_);
    if (n > 2) std::fill(q.row(2), q.row(2) + kDim, 0.0f);  // a zero query
    return q;
  }

  std::mt19937 gen_{1234};
  SQQuantizer quantizer_;
  std::vector<Codebook> pq_;
};

constexpr Kind kKinds[] = {Kind::kFlat, Kind::kSQ8, Kind::kSQ16, Kind::kPQ};
constexpr DistanceMetric kMetrics[] = {DistanceMetric::Cosine, DistanceMetric::Euclidean,
                                       DistanceMetric::SquaredEuclidean};

TEST_F(RankerOracleTest, PerQueryPathScoresRowsAndBlocks) {
  // dim 16: lists of 128 rows or more are block-scored, shorter ones row by
  // row; 127 and 128 sit at the threshold.
  const std::vector<size_t> sizes = {3, 0, 127, 128, 40, 300, 15, 16, 1};
  for (Kind kind : kKinds) {
    RetrieveNeighborsResult r = Retrieved(sizes, RowBytes(kind));
    Fill(kind, r);
    const CentroidSelection sel = Selection(
        {{2, 3, 0}, {5, 1, 8}, {4, 6, 7}, {0, 1, 8}, {8, 3, 5}, {7, 6, 2}});
    const Array2D<float> queries = Queries(6);
    for (DistanceMetric metric : kMetrics) {
      for (uint32_t top_k : {1u, 10u, 200u, 100000u}) {
        SCOPED_TRACE(std::string(NameOf(kind)) + " metric " +
                     std::to_string(static_cast<int>(metric)) + " top_k " +
                     std::to_string(top_k));
        CheckAgainstOracle(kind, metric, r, sel, queries, top_k, top_k == 10);
      }
    }
  }
}

TEST_F(RankerOracleTest, GroupedQueriesMatchTheOracle) {
  // Two threads: 40 queries go in groups of 20 that share list scoring.
  ScopedThreadCount threads(2);
  const std::vector<size_t> sizes = {3, 150, 200, 0, 130, 20, 1000};
  std::vector<std::vector<uint32_t>> positions;
  for (size_t q = 0; q < 40; ++q) {
    std::vector<uint32_t> all = {0, 1, 2, 3, 4, 5, 6};
    std::shuffle(all.begin(), all.end(), gen_);
    positions.emplace_back(all.begin(), all.begin() + 4);
  }
  const CentroidSelection sel = Selection(positions);
  const Array2D<float> queries = Queries(40);
  for (Kind kind : kKinds) {
    RetrieveNeighborsResult r = Retrieved(sizes, RowBytes(kind));
    Fill(kind, r);
    for (DistanceMetric metric : kMetrics) {
      SCOPED_TRACE(std::string(NameOf(kind)) + " metric " +
                   std::to_string(static_cast<int>(metric)));
      CheckAgainstOracle(kind, metric, r, sel, queries, 10, true);
    }
  }
}

TEST_F(RankerOracleTest, FlattenedPathFromFiveThousandCandidates) {
  for (size_t total : {4999u, 5000u, 7777u}) {
    const std::vector<size_t> sizes = {total / 3, 0, total - 2 * (total / 3), total / 3};
    for (Kind kind : kKinds) {
      RetrieveNeighborsResult r = Retrieved(sizes, RowBytes(kind));
      Fill(kind, r);
      const CentroidSelection sel = Selection({{3, 1, 0}});  // list 2 not probed
      const Array2D<float> queries = Queries(1);
      for (DistanceMetric metric : kMetrics) {
        SCOPED_TRACE(std::string(NameOf(kind)) + " metric " +
                     std::to_string(static_cast<int>(metric)) + " total " +
                     std::to_string(total));
        CheckAgainstOracle(kind, metric, r, sel, queries, 25, true);
      }
    }
  }
}

TEST_F(RankerOracleTest, EqualDistancesNeverDisplaceTheEarlierCandidate) {
  // Every row identical: all distances tie, so the first k rows offered (in
  // probe order: list 2 first) must stay, on every path.
  for (Kind kind : kKinds) {
    for (size_t list : {size_t{5}, size_t{200}, size_t{2000}}) {
      RetrieveNeighborsResult r = Retrieved({list, list, list}, RowBytes(kind));
      if (kind != Kind::kPQ) {  // PQ rows keep code 0 everywhere
        std::fill(r.payloads.data, r.payloads.data + r.payloads.size(), uint8_t{1});
      }
      if (kind == Kind::kFlat) {
        for (size_t row = 0; row < r.payloads.rows; ++row) {
          PutRow(r, row, std::vector<float>(kDim, 0.5f));
        }
      }
      const CentroidSelection sel = Selection({{2, 0, 1}});
      const Array2D<float> queries = Queries(4);
      for (DistanceMetric metric : kMetrics) {
        SCOPED_TRACE(std::string(NameOf(kind)) + " list " + std::to_string(list));
        if (3 * list < 5000) {
          // Four queries on two threads: the grouped path keeps the same
          // survivors as one query alone.
          ScopedThreadCount threads(2);
          const CentroidSelection four = Selection({{2, 0, 1}, {2, 0, 1}, {2, 0, 1}, {2, 0, 1}});
          const RankingResults grouped = Rank(kind, r, {}, four, queries, 3, metric, {});
          for (size_t q = 0; q < 4; ++q) {
            EXPECT_EQ(std::set<uint64_t>(grouped.ids[q].begin(), grouped.ids[q].end()),
                      (std::set<uint64_t>{IdOf(2 * list), IdOf(2 * list + 1), IdOf(2 * list + 2)}));
          }
        }
        const RankingResults got = Rank(kind, r, {}, sel, queries, 3, metric, {});
        ASSERT_EQ(got.num_results[0], 3u);
        const std::set<uint64_t> ids(got.ids[0].begin(), got.ids[0].end());
        if (3 * list < 5000) {
          // The per-query path offers list 2's rows first.
          EXPECT_EQ(ids, (std::set<uint64_t>{IdOf(2 * list), IdOf(2 * list + 1),
                                              IdOf(2 * list + 2)}));
        } else {
          // Flattened: chunks run in any order, but one thread's heap keeps
          // its earliest ties and the merge takes the first heap's whole:
          // three consecutive candidates that open a chunk of 1024.
          std::vector<uint64_t> flat;
          for (size_t p : {2, 0, 1}) {
            for (size_t i = 0; i < list; ++i) flat.push_back(IdOf(p * list + i));
          }
          const size_t at = std::find(flat.begin(), flat.end(), *ids.begin()) - flat.begin();
          bool opens_chunk = false;
          for (size_t start = 0; start < flat.size(); start += 1024) {
            opens_chunk |= std::set<uint64_t>(flat.begin() + start, flat.begin() + start + 3) == ids;
          }
          EXPECT_TRUE(opens_chunk) << "first survivor at " << at;
        }
      }
    }
  }
}

// Rows read on demand (list by list, through read_payloads) rank as the
// same rows held in place without the rows dropped: rows whose flag is 0 and
// rows whose record the reader finds absent. Lists longer than a task are
// read in pieces; lists probed by more queries than a group are scored in
// several groups. Every buffer handed to the reader holds zeros: the rows
// of the previous task were wiped.
TEST_F(RankerOracleTest, ListMajorPathMatchesRowsHeldInPlace) {
  ScopedThreadCount threads(3);
  const std::vector<size_t> sizes = {3, 0, 1500, 128, 40, 300, 1, 2100};
  const size_t n_lists = sizes.size();
  std::vector<std::vector<uint32_t>> positions;
  for (size_t q = 0; q < 90; ++q) {
    std::vector<uint32_t> all(n_lists);
    for (size_t p = 0; p < n_lists; ++p) all[p] = static_cast<uint32_t>(p);
    std::shuffle(all.begin(), all.end(), gen_);
    positions.emplace_back(all.begin(), all.begin() + 3);
  }
  const CentroidSelection sel = Selection(positions);
  const Array2D<float> queries = Queries(90);
  const auto dropped = [](size_t row) { return row % 13 == 7; };
  const auto absent = [](size_t row) { return row % 11 == 3; };
  for (Kind kind : kKinds) {
    RetrieveNeighborsResult held = Retrieved(sizes, RowBytes(kind));
    Fill(kind, held);
    // In place: the surviving rows only, list ranges shrunk to them.
    RetrieveNeighborsResult kept;
    kept.centroid_to_matching_indices.push_back(0);
    std::vector<size_t> survivors;
    for (size_t p = 0; p < n_lists; ++p) {
      for (uint64_t row = held.centroid_to_matching_indices[p];
           row < held.centroid_to_matching_indices[p + 1]; ++row) {
        if (!dropped(row) && !absent(row)) survivors.push_back(row);
      }
      kept.centroid_to_matching_indices.push_back(survivors.size());
    }
    kept.payloads = Array2D<uint8_t>(survivors.size(), RowBytes(kind));
    std::vector<std::string> kept_metadata;
    for (size_t i = 0; i < survivors.size(); ++i) {
      kept.matching_ids.push_back(IdOf(survivors[i]));
      kept_metadata.push_back(MetadataOf(survivors[i]));
      std::memcpy(kept.payloads.row(i), held.payloads.row(survivors[i]), RowBytes(kind));
    }
    // On demand: every row, with flags and a reader.
    RetrieveNeighborsResult lazy;
    lazy.matching_ids = held.matching_ids;
    lazy.centroid_to_matching_indices = held.centroid_to_matching_indices;
    lazy.payloads.cols = RowBytes(kind);
    for (size_t row = 0; row < held.payloads.rows; ++row) lazy.row_present.push_back(!dropped(row));
    std::atomic<size_t> dirty{0}, calls{0}, longest{0};
    lazy.read_payloads = [&](const uint64_t* ids, size_t count, uint8_t* out, uint8_t* present) {
      const size_t width = RowBytes(kind);
      if (std::any_of(out, out + count * width, [](uint8_t b) { return b != 0; })) ++dirty;
      ++calls;
      size_t seen = longest.load();
      while (count > seen && !longest.compare_exchange_weak(seen, count)) {
      }
      for (size_t i = 0; i < count; ++i) {
        const size_t row = ids[i] - IdOf(0);
        if (absent(row)) {
          present[i] = 0;
          std::memset(out + i * width, 0, width);
        } else {
          std::memcpy(out + i * width, held.payloads.row(row), width);
        }
      }
    };
    const std::vector<std::string> metadata = Metadata(held.payloads.rows);
    for (DistanceMetric metric : kMetrics) {
      for (uint32_t top_k : {10u, 100000u}) {
        SCOPED_TRACE(std::string(NameOf(kind)) + " metric " +
                     std::to_string(static_cast<int>(metric)) + " top_k " +
                     std::to_string(top_k));
        const std::vector<ItemFields> include = {ItemFields::METADATA};
        const RankingResults want = Rank(kind, kept, kept_metadata, sel, queries, top_k, metric,
                                         include);
        const RankingResults got = Rank(kind, lazy, metadata, sel, queries, top_k, metric,
                                        include);
        for (size_t q = 0; q < sel.n_queries; ++q) {
          ASSERT_EQ(got.num_results[q], want.num_results[q]) << "query " << q;
          // Rows at equal distances (zero rows, the zero query under
          // cosine) may come in another order, and at the cut another of
          // them may be kept.
          std::map<uint64_t, float> wanted;
          for (size_t i = 0; i < want.ids[q].size(); ++i) wanted[want.ids[q][i]] = want.distances[q][i];
          for (size_t i = 0; i < got.ids[q].size(); ++i) {
            const uint64_t id = got.ids[q][i];
            const float d = got.distances[q][i];
            const auto found = wanted.find(id);
            const float expected = found != wanted.end() ? found->second : want.distances[q].back();
            EXPECT_NEAR(d, expected, 1e-5 * (1.0 + std::abs(expected))) << "query " << q;
            EXPECT_NEAR(d, want.distances[q][i], 1e-5 * (1.0 + std::abs(expected)))
                << "query " << q;
            EXPECT_EQ(got.metadata[q][i], MetadataOf(id - IdOf(0))) << "query " << q;
          }
        }
      }
    }
    EXPECT_EQ(dirty.load(), 0u);
    EXPECT_GT(calls.load(), n_lists / 2);
    EXPECT_LE(longest.load(), kMaxTaskRows);
  }
}

TEST_F(RankerOracleTest, TopKZeroAndNothingToRankGiveEmptySlots) {
  for (Kind kind : kKinds) {
    RetrieveNeighborsResult r = Retrieved({10, 10}, RowBytes(kind));
    Fill(kind, r);
    const CentroidSelection sel = Selection({{0, 1}, {1, 0}});
    const Array2D<float> queries = Queries(2);
    const RankingResults zero = Rank(kind, r, {}, sel, queries, 0, DistanceMetric::Cosine, {});
    EXPECT_EQ(zero.num_results, (std::vector<uint32_t>{0, 0}));
    EXPECT_TRUE(zero.ids[0].empty() && zero.ids[1].empty());
    // No payload rows: empty slots even for an unknown metric.
    const RetrieveNeighborsResult none = Retrieved({0, 0}, RowBytes(kind));
    const RankingResults empty =
        Rank(kind, none, {}, sel, queries, 5, static_cast<DistanceMetric>(7), {});
    EXPECT_EQ(empty.num_results, (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(empty.ids.size(), 2u);
  }
}

TEST_F(RankerOracleTest, PQTablesAndDirectScoringAgree) {
  // 256 codewords: 255 retrieved rows score from the codewords, 256 through
  // tables. The distances of the shared rows must be identical.
  std::normal_distribution<float> normal;
  std::vector<Codebook> books;
  for (size_t s = 0; s < 2; ++s) {
    std::vector<float> words(256 * 3);
    for (float& v : words) v = normal(gen_);
    books.push_back(Codebook{256, Array2D<float>(words, 3)});
  }
  RetrieveNeighborsResult all = Retrieved({256}, 8);
  for (size_t row = 0; row < 256; ++row) {
    PutRow(all, row, std::vector<uint32_t>{static_cast<uint32_t>(row),
                                           static_cast<uint32_t>((row * 7) % 256)});
  }
  RetrieveNeighborsResult fewer = Retrieved({255}, 8);
  std::memcpy(fewer.payloads.data, all.payloads.data, 255 * 8);
  Array2D<float> q(1, 6);
  for (size_t i = 0; i < 6; ++i) q.data[i] = normal(gen_);
  const CentroidSelection sel = Selection({{0}});
  for (DistanceMetric metric : kMetrics) {
    const RankingResults a = cpu::RankIVFPQ(all, {}, sel, q, books, 1000, metric, {});
    const RankingResults b = cpu::RankIVFPQ(fewer, {}, sel, q, books, 1000, metric, {});
    ASSERT_EQ(a.num_results[0], 256u);
    ASSERT_EQ(b.num_results[0], 255u);
    std::map<uint64_t, float> by_id;
    for (size_t i = 0; i < 256; ++i) by_id[a.ids[0][i]] = a.distances[0][i];
    for (size_t i = 0; i < 255; ++i) EXPECT_EQ(by_id.at(b.ids[0][i]), b.distances[0][i]);
  }
}

TEST_F(RankerOracleTest, SQDecodingExamples) {
  // min [1, -1], scale [0.5, 0.25]: code row [4, 8] decodes to [3, 1].
  const SQQuantizer quantizer{8, {1.0f, -1.0f}, {0.5f, 0.25f}};
  RetrieveNeighborsResult r = Retrieved({1}, 2);
  PutRow(r, 0, std::vector<uint8_t>{4, 8});
  const Array2D<float> q(std::vector<float>{0, 0}, 2);
  const CentroidSelection sel = Selection({{0}});
  const auto rank = [&](DistanceMetric m) {
    return cpu::RankIVFSQ<uint8_t>(r, {}, sel, q, quantizer, 1, m, {}).distances[0][0];
  };
  EXPECT_FLOAT_EQ(rank(DistanceMetric::SquaredEuclidean), 10.0f);
  EXPECT_FLOAT_EQ(rank(DistanceMetric::Euclidean), std::sqrt(10.0f));
  EXPECT_FLOAT_EQ(rank(DistanceMetric::Cosine), 1.0f);  // a zero query
}

}  // namespace
}  // namespace nivora::internal::vector_index
