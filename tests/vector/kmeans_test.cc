#include "vector/kmeans.h"

#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace nivora::internal::vector_index::cpu {
namespace {

constexpr DistanceMetric kMetrics[] = {DistanceMetric::Cosine, DistanceMetric::Euclidean,
                                       DistanceMetric::SquaredEuclidean};

Array2D<float> RandomData(size_t n, size_t dim, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal;
  Array2D<float> data(n, dim);
  for (size_t i = 0; i < data.size(); ++i) data.data[i] = normal(gen);
  return data;
}

// True when `centre` equals slice s of some row of `data`, bit for bit.
bool IsInputSlice(const Array2D<float>& data, size_t s, size_t dsub, const float* centre) {
  for (size_t r = 0; r < data.rows; ++r) {
    if (std::memcmp(data.row(r) + s * dsub, centre, dsub * sizeof(float)) == 0) return true;
  }
  return false;
}

std::string InvalidMessage(const Array2D<float>& data, const KMeansParams& params) {
  try {
    TrainKMeans(data, params, DistanceMetric::Euclidean);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(KMeansTest, NoIterationsLeavesEveryCentreAnInputSlice) {
  const Array2D<float> data = RandomData(300, 12, 1);
  for (DistanceMetric metric : kMetrics) {
    const KMeansParams params{.n_subvectors = 3, .n_clusters = 20, .max_iters = 0};
    const std::vector<Codebook> books = TrainKMeans(data, params, metric);
    ASSERT_EQ(books.size(), 3u);
    for (size_t s = 0; s < books.size(); ++s) {
      EXPECT_EQ(books[s].k, 20);
      ASSERT_EQ(books[s].centroids.rows, 20u);
      ASSERT_EQ(books[s].centroids.cols, 4u);
      for (size_t q = 0; q < 20; ++q) {
        EXPECT_TRUE(IsInputSlice(data, s, 4, books[s].centroids.row(q)))
            << "metric " << int(metric) << " subspace " << s << " centre " << q;
      }
    }
  }
}

TEST(KMeansTest, OneClusterConvergesToTheMean) {
  const Array2D<float> data = RandomData(500, 6, 2);
  std::vector<double> mean(6, 0.0);
  for (size_t r = 0; r < data.rows; ++r) {
    for (size_t c = 0; c < 6; ++c) mean[c] += data.row(r)[c] / 500.0;
  }
  for (DistanceMetric metric : kMetrics) {
    // batch >= n: every round visits every vector once, so the running mean
    // over all rounds is the mean of the data.
    const KMeansParams params{.n_subvectors = 2, .n_clusters = 1, .max_iters = 3,
                              .batch_size = 1000};
    const std::vector<Codebook> books = TrainKMeans(data, params, metric);
    for (size_t s = 0; s < 2; ++s) {
      for (size_t c = 0; c < 3; ++c) {
        EXPECT_NEAR(books[s].centroids.row(0)[c], mean[s * 3 + c], 1e-5) << int(metric);
      }
    }
  }
}

// Tight groups around well-separated grid points; true when every group has
// exactly one centre within 0.3 of its point after training.
void ExpectOneCentrePerGroup(const std::vector<std::vector<float>>& points, size_t per_group,
                             const KMeansParams& params, DistanceMetric metric) {
  const size_t dim = points[0].size();
  std::mt19937 gen(3);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  Array2D<float> data(points.size() * per_group, dim);
  for (size_t r = 0; r < data.rows; ++r) {
    for (size_t c = 0; c < dim; ++c) data.row(r)[c] = points[r % points.size()][c] + noise(gen);
  }
  const std::vector<Codebook> books = TrainKMeans(data, params, metric);
  ASSERT_EQ(books.size(), params.n_subvectors);
  const size_t dsub = dim / params.n_subvectors;
  for (size_t s = 0; s < books.size(); ++s) {
    // Distinct groups may coincide within a slice: compare distinct slices.
    std::vector<std::vector<float>> slices;
    for (const auto& p : points) {
      std::vector<float> slice(p.begin() + s * dsub, p.begin() + (s + 1) * dsub);
      bool seen = false;
      for (const auto& other : slices) seen = seen || other == slice;
      if (!seen) slices.push_back(slice);
    }
    for (const auto& slice : slices) {
      int near = 0;
      for (size_t q = 0; q < static_cast<size_t>(books[s].k); ++q) {
        double d = 0;
        for (size_t c = 0; c < dsub; ++c) {
          const double diff = books[s].centroids.row(q)[c] - slice[c];
          d += diff * diff;
        }
        near += d < 0.09;
      }
      EXPECT_EQ(near, 1) << "metric " << int(metric) << " m " << params.n_subvectors << " s "
                         << s;
    }
  }
}

// Four groups in distinct directions (so cosine separates them too), as one
// subspace (blocks of the sample in parallel) and as eight (subspaces in
// parallel).
TEST(KMeansTest, SeparatedGroupsEachGetOneCentre) {
  std::vector<std::vector<float>> points(4, std::vector<float>(32, 0.0f));
  for (size_t g = 0; g < 4; ++g) {
    for (size_t c = g; c < 32; c += 4) points[g][c] = 10.0f;
  }
  for (DistanceMetric metric : kMetrics) {
    for (size_t m : {size_t{1}, size_t{8}}) {
      ExpectOneCentrePerGroup(
          points, 1500, {.n_subvectors = m, .n_clusters = 4, .max_iters = 10, .batch_size = 2500},
          metric);
    }
  }
}

// 160 groups: the batch of one subspace splits into several assignment blocks.
TEST(KMeansTest, ManyGroupsEachGetOneCentreAcrossAssignmentBlocks) {
  std::mt19937 gen(9);
  std::uniform_int_distribution<int> grid(0, 1000);
  std::vector<std::vector<float>> points;
  while (points.size() < 160) {
    std::vector<float> p(6);
    for (float& v : p) v = 10.0f * grid(gen);
    points.push_back(p);
  }
  ExpectOneCentrePerGroup(
      points, 30, {.n_subvectors = 1, .n_clusters = 160, .max_iters = 6, .batch_size = 4000},
      DistanceMetric::SquaredEuclidean);
}

TEST(KMeansTest, SmallSampleWarnsAndRepeatsCentres) {
  const Array2D<float> data = RandomData(10, 4, 4);
  testing::internal::CaptureStderr();
  const std::vector<Codebook> books =
      TrainKMeans(data, {.n_subvectors = 1, .n_clusters = 40, .max_iters = 0, .batch_size = 0},
                  DistanceMetric::Euclidean);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: Initialization sample size (10) is smaller than the number of clusters "
            "(40). KMeans++ may fail to select enough unique centroids.\n");
  ASSERT_EQ(books[0].centroids.rows, 40u);
  for (size_t q = 0; q < 40; ++q) EXPECT_TRUE(IsInputSlice(data, 0, 4, books[0].centroids.row(q)));
}

TEST(KMeansTest, IdenticalVectorsGiveIdenticalCentres) {
  Array2D<float> data(50, 3);
  for (size_t r = 0; r < 50; ++r) {
    data.row(r)[0] = 1.5f;
    data.row(r)[1] = -2.0f;
    data.row(r)[2] = 0.25f;
  }
  for (DistanceMetric metric : kMetrics) {
    const std::vector<Codebook> books =
        TrainKMeans(data, {.n_subvectors = 1, .n_clusters = 5, .max_iters = 2}, metric);
    for (size_t q = 0; q < 5; ++q) {
      EXPECT_EQ(books[0].centroids.row(q)[0], 1.5f);
      EXPECT_EQ(books[0].centroids.row(q)[1], -2.0f);
      EXPECT_EQ(books[0].centroids.row(q)[2], 0.25f);
    }
  }
}

TEST(KMeansTest, RejectsBadArguments) {
  const std::string kDivisible = "Vector dimension must be divisible by the number of subvectors.";
  const Array2D<float> data = RandomData(20, 10, 5);
  testing::internal::CaptureStderr();
  EXPECT_EQ(InvalidMessage(data, {.n_subvectors = 3, .n_clusters = 2}), kDivisible);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("[ERROR] " + kDivisible + "\n"),
            std::string::npos);
  EXPECT_EQ(InvalidMessage(data, {.n_subvectors = 0, .n_clusters = 2}), kDivisible);
  EXPECT_NE(InvalidMessage(data, {.n_subvectors = 1, .n_clusters = 0}), "");
  EXPECT_NE(InvalidMessage(Array2D<float>(0, 10), {.n_subvectors = 1, .n_clusters = 2}), "");
  EXPECT_NE(InvalidMessage(Array2D<float>(5, 0), {.n_subvectors = 1, .n_clusters = 2}), "");

  testing::internal::CaptureStderr();  // the logged copy of the message
  try {
    TrainKMeans(data, {.n_subvectors = 1, .n_clusters = 2}, static_cast<DistanceMetric>(3));
    ADD_FAILURE() << "metric 3 accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unsupported distance metric.");
  }
  EXPECT_NE(testing::internal::GetCapturedStderr().find("[ERROR] Unsupported distance metric."),
            std::string::npos);
}

}  // namespace
}  // namespace nivora::internal::vector_index::cpu
