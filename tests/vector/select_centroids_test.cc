#include "vector/select_centroids.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace nivora::internal::vector_index::cpu {
namespace {

constexpr DistanceMetric kL2 = DistanceMetric::Euclidean;
constexpr DistanceMetric kSq = DistanceMetric::SquaredEuclidean;

QuantizerSet SetOf(const std::vector<float>& centres, size_t dim, int32_t k = -1) {
  QuantizerSet set;
  Codebook book;
  book.centroids = centres.empty() ? Array2D<float>() : Array2D<float>(centres, dim);
  book.k = k >= 0 ? k : static_cast<int32_t>(book.centroids.rows);
  set.centroids.push_back(std::move(book));
  return set;
}

// Ten centres on a line: centre i at (i, 0).
QuantizerSet Line() {
  std::vector<float> c;
  for (int i = 0; i < 10; ++i) c.insert(c.end(), {static_cast<float>(i), 0.0f});
  return SetOf(c, 2);
}

// Centres 1, 4 and 7 near the origin, the others far away.
QuantizerSet ThreeNear() {
  std::vector<float> c;
  for (int i = 0; i < 10; ++i) c.insert(c.end(), {100.0f + i, 100.0f});
  c[2] = 0.0f, c[3] = 0.0f;   // centre 1 at (0, 0)
  c[8] = 1.0f, c[9] = 0.0f;   // centre 4 at (1, 0)
  c[14] = 2.0f, c[15] = 0.0f; // centre 7 at (2, 0)
  return SetOf(c, 2);
}

std::vector<uint32_t> Row(const Array2D<uint32_t>& m, size_t r) {
  return std::vector<uint32_t>(m.row(r), m.row(r) + m.cols);
}

CentroidSelection Select(const std::vector<float>& queries, const QuantizerSet& set,
                         size_t n_probes, float greedy, DistanceMetric metric = kSq,
                         bool ivf = false) {
  const Array2D<float> q(queries, 2);
  return ivf ? SelectCentroidsIVF(q, set, n_probes, metric, 10, {}, 0, greedy, 0.95)
             : SelectCentroids(q, set, n_probes, metric, 10, {}, 0, greedy, 0.95);
}

TEST(SelectCentroidsTest, OneQueryProbesItsNearestListsNearestFirst) {
  for (float greedy : {0.0f, 1.0f}) {
    const CentroidSelection s = Select({6.2f, 0.0f}, Line(), 3, greedy, kL2, /*ivf=*/true);
    EXPECT_EQ(s.n_queries, 1u);
    EXPECT_EQ(s.probed_lists, (std::vector<uint32_t>{6, 7, 5}));
    EXPECT_EQ(Row(s.query_lists, 0), (std::vector<uint32_t>{0, 1, 2}));
    ASSERT_EQ(s.query_distances.cols, 3u);
    EXPECT_NEAR(s.query_distances.row(0)[0], 0.2f, 1e-4);
    EXPECT_NEAR(s.query_distances.row(0)[1], 0.8f, 1e-4);
    EXPECT_NEAR(s.query_distances.row(0)[2], 1.2f, 1e-4);
    EXPECT_EQ(s.n_probes, 0u);
    EXPECT_EQ(s.difficulty, 1.0);
    EXPECT_EQ(s.budget, 0.0);
  }
  // SquaredEuclidean reports squared distances; SelectCentroids none at all.
  const CentroidSelection sq = Select({6.2f, 0.0f}, Line(), 1, 0.0f, kSq, true);
  EXPECT_NEAR(sq.query_distances.row(0)[0], 0.04f, 1e-4);
  const CentroidSelection plain = Select({6.2f, 0.0f}, Line(), 3, 0.0f);
  EXPECT_EQ(plain.query_distances.rows, 0u);
  EXPECT_EQ(plain.query_distances.cols, 0u);
  EXPECT_EQ(plain.query_distances.data, nullptr);
}

TEST(SelectCentroidsTest, TiesGoToTheLowerListWhetherFewOrManyAreProbed) {
  // 64 centres in groups of four at one place: (0,0) x4, (1,0) x4, ...
  std::vector<float> c;
  for (int i = 0; i < 64; ++i) c.insert(c.end(), {static_cast<float>(i / 4), 0.0f});
  const QuantizerSet set = SetOf(c, 2);
  std::vector<uint32_t> order(64);
  for (uint32_t i = 0; i < 64; ++i) order[i] = i;
  const auto distance = [](uint32_t i) { return std::fabs(static_cast<float>(i / 4) - 5.2f); };
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return distance(a) < distance(b); });
  // A few of many (one pass with a bounded heap) and many (a sort).
  for (size_t probes : {1u, 3u, 6u, 8u, 20u, 64u}) {
    SCOPED_TRACE(probes);
    const CentroidSelection s = Select({5.2f, 0.0f}, set, probes, 0.0f, kL2, /*ivf=*/true);
    EXPECT_EQ(s.probed_lists, std::vector<uint32_t>(order.begin(), order.begin() + probes));
  }
}

TEST(SelectCentroidsTest, SeveralQueriesShareTheSortedUnion) {
  const CentroidSelection s = Select({0.4f, 0.0f, 1.6f, 0.0f}, ThreeNear(), 2, 0.0f, kL2, true);
  EXPECT_EQ(s.probed_lists, (std::vector<uint32_t>{1, 4, 7}));
  EXPECT_EQ(Row(s.query_lists, 0), (std::vector<uint32_t>{0, 1}));  // lists 1, 4
  EXPECT_EQ(Row(s.query_lists, 1), (std::vector<uint32_t>{2, 1}));  // lists 7, 4
  EXPECT_NEAR(s.query_distances.row(1)[0], 0.4f, 1e-4);
  EXPECT_NEAR(s.query_distances.row(1)[1], 0.6f, 1e-4);
}

TEST(SelectCentroidsTest, GreedyWideningChoosesAmongTheUnionOnly) {
  // n_probes 2 widened to 4, cut to the union of 3 lists.
  const CentroidSelection s = Select({0.4f, 0.0f, 1.6f, 0.0f}, ThreeNear(), 2, 1.0f, kL2, true);
  EXPECT_EQ(s.probed_lists, (std::vector<uint32_t>{1, 4, 7}));
  EXPECT_EQ(Row(s.query_lists, 0), (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(Row(s.query_lists, 1), (std::vector<uint32_t>{2, 1, 0}));
  EXPECT_NEAR(s.query_distances.row(0)[2], 1.6f, 1e-4);  // list 7, chosen by query 1
  // Two queries choosing the same 3 lists: 6 is cut to 3.
  const CentroidSelection same = Select({1.1f, 0.0f, 0.9f, 0.0f}, ThreeNear(), 3, 1.0f);
  EXPECT_EQ(same.query_lists.cols, 3u);
  // n_probes 8 widened to 16 is capped at the 10 lists.
  const CentroidSelection wide = Select({0.0f, 0.0f, 9.0f, 0.0f}, Line(), 8, 1.0f);
  EXPECT_EQ(wide.probed_lists.size(), 10u);
  EXPECT_EQ(wide.query_lists.cols, 10u);
  EXPECT_EQ(Row(wide.query_lists, 1)[0], 9u);
}

TEST(SelectCentroidsTest, ProbesAboveTheListCountProbeEveryListWithoutWidening) {
  const CentroidSelection s = Select({0.0f, 0.0f, 9.0f, 0.0f}, Line(), 12, 1.0f);
  EXPECT_EQ(s.probed_lists.size(), 10u);
  EXPECT_EQ(s.query_lists.cols, 10u);
  EXPECT_EQ(Row(s.query_lists, 0)[0], 0u);
  EXPECT_EQ(Row(s.query_lists, 1)[0], 9u);
  // A filtered copy holding fewer rows than its k: the rows count.
  const QuantizerSet filtered = SetOf({0, 0, 1, 0, 2, 0}, 2, /*k=*/10);
  const CentroidSelection f = Select({0.9f, 0.0f}, filtered, 5, 0.0f);
  EXPECT_EQ(f.probed_lists, (std::vector<uint32_t>{1, 0, 2}));
}

TEST(SelectCentroidsTest, NothingProbedWithoutCountOrCentroids) {
  // n_probes 0 without the inputs of the adaptive step.
  for (size_t top_k : {size_t{0}, size_t{10}}) {
    const Array2D<float> q(std::vector<float>{1, 0, 2, 0}, 2);
    const CentroidSelection s = SelectCentroids(q, Line(), 0, kSq, top_k, {}, 100, 0.0f, 0.95);
    EXPECT_TRUE(s.probed_lists.empty());
    EXPECT_EQ(s.query_lists.rows, 2u);
    EXPECT_EQ(s.query_lists.cols, 0u);
  }
  // A codebook without rows (a pre-filter that kept nothing), or none.
  QuantizerSet none;
  for (const QuantizerSet* set : {&none}) {
    const CentroidSelection s = Select({1, 0}, *set, 3, 1.0f);
    EXPECT_TRUE(s.probed_lists.empty());
    EXPECT_EQ(s.query_lists.cols, 0u);
  }
  const QuantizerSet empty = SetOf({}, 2, 5);
  const Array2D<float> q(std::vector<float>{1, 0}, 2);
  const CentroidSelection s =
      SelectCentroidsIVF(q, empty, 0, kL2, 10, std::vector<uint32_t>(5, 10), 50, 0.0f, 0.95);
  EXPECT_TRUE(s.probed_lists.empty());
  EXPECT_EQ(s.query_lists.cols, 0u);
  EXPECT_EQ(s.n_probes, 0u);
}

TEST(SelectCentroidsTest, AdaptiveCountIsRecordedAndUsed) {
  // 10 lists of 100 items; top_k 10: b = (10 / sqrt(1000)) x 50 x 10 = 158.1;
  // the query sits between centres 3 and 4 (ratio 1 after 3.5): difficulty
  // 1.5, B = 237: two lists (a third would bring 300 > 1.2 x B).
  const Array2D<float> q(std::vector<float>{3.5f, 0.0f, 0.0f, 0.0f}, 2);
  const std::vector<uint32_t> sizes(10, 100);
  const CentroidSelection s = SelectCentroids(q, Line(), 0, kSq, 10, sizes, 1000, 0.0f, 0.95);
  EXPECT_EQ(s.n_probes, 2u);
  EXPECT_DOUBLE_EQ(s.difficulty, 1.5);
  EXPECT_NEAR(s.budget, 10.0 / std::sqrt(1000.0) * 500.0, 1e-9);
  EXPECT_EQ(s.query_lists.cols, 2u);
  EXPECT_EQ(s.probed_lists, (std::vector<uint32_t>{0, 1, 3, 4}));  // query 1 at (0, 0)
}

TEST(SelectCentroidsTest, EuclideanQueryOnACentreIsZeroNotNaN) {
  std::vector<float> c;
  for (int i = 0; i < 64; ++i) c.push_back(0.1f * static_cast<float>(i % 7) + 0.013f * i);
  for (int i = 0; i < 64; ++i) c.push_back(-0.3f + 0.01f * i);
  QuantizerSet set = SetOf(c, 64);
  const Array2D<float> q(std::vector<float>(c.begin(), c.begin() + 64), 64);
  const CentroidSelection s = SelectCentroidsIVF(q, set, 2, kL2, 10, {}, 0, 0.0f, 0.95);
  EXPECT_EQ(s.probed_lists[0], 0u);
  EXPECT_FALSE(std::isnan(s.query_distances.row(0)[0]));
  EXPECT_LT(s.query_distances.row(0)[0], 1e-2f);
}

TEST(SelectCentroidsTest, CosineOrdersByAngle) {
  const QuantizerSet set = SetOf({1, 0, 0, 1, -1, 0}, 2);
  const Array2D<float> q(std::vector<float>{0.1f, 5.0f}, 2);
  const CentroidSelection s =
      SelectCentroidsIVF(q, set, 3, DistanceMetric::Cosine, 10, {}, 0, 0.0f, 0.95);
  EXPECT_EQ(s.probed_lists[0], 1u);
  EXPECT_EQ(s.probed_lists[2], 2u);
}

TEST(SelectCentroidsTest, RefusesBadInput) {
  const Array2D<float> none;
  const Array2D<float> q(std::vector<float>{1, 0}, 2);
  const Array2D<float> q3(std::vector<float>{1, 0, 0}, 3);
  const QuantizerSet set = Line();
  struct Case {
    std::function<void()> call;
    bool runtime;
    std::string message;
  };
  const Case cases[] = {
      {[&] { SelectCentroids(none, set, 1, kSq, 1, {}, 0, 0, 0.95); }, false,
       "No query embeddings provided."},
      {[&] { SelectCentroidsIVF(none, set, 1, kSq, 1, {}, 0, 0, 0.95); }, false,
       "No query embeddings provided."},
      {[&] { SelectCentroids(q, set, 1, static_cast<DistanceMetric>(7), 1, {}, 0, 0, 0.95); },
       true, "Unsupported distance metric."},
      {[&] {
         SelectCentroids(q, set, 1, kSq, size_t{1} << 32, {}, 0, 0, 0.95);
       },
       false, "top_k must not exceed 4294967295."},
      {[&] { SelectCentroids(q3, set, 1, kSq, 1, {}, 0, 0, 0.95); }, false,
       "Query embedding dimension does not match centroid dimension."},
  };
  for (const Case& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << "no exception: " << c.message;
    } catch (const std::invalid_argument& e) {
      EXPECT_FALSE(c.runtime) << c.message;
      EXPECT_EQ(std::string(e.what()), c.message);
    } catch (const std::runtime_error& e) {
      EXPECT_TRUE(c.runtime) << c.message;
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

}  // namespace
}  // namespace nivora::internal::vector_index::cpu
