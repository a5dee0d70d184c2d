#include "vector/distance_kernels.h"

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace nivora::internal::vector_index::cpu {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

double Dot(const arma::fmat& A, size_t a, const arma::fmat& B, size_t b) {
  double s = 0;
  for (size_t r = 0; r < A.n_rows; ++r) s += double(A(r, a)) * double(B(r, b));
  return s;
}

double NaiveSquaredL2(const arma::fmat& X, size_t j, const arma::fmat& Y, size_t i) {
  double s = 0;
  for (size_t r = 0; r < X.n_rows; ++r) {
    const double d = double(X(r, j)) - double(Y(r, i));
    s += d * d;
  }
  return s;
}

double NaiveCosine(const arma::fmat& X, size_t j, const arma::fmat& Y, size_t i) {
  const double nx = std::sqrt(Dot(X, j, X, j));
  const double ny = std::sqrt(Dot(Y, i, Y, i));
  return 1.0 - Dot(X, j, Y, i) / ((nx == 0 ? 1 : nx) * (ny == 0 ? 1 : ny));
}

class DistanceKernelsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    arma::arma_rng::set_seed(7);
    X = arma::randn<arma::fmat>(24, 37);  // 37 points of dimension 24
    Y = arma::randn<arma::fmat>(24, 11);  // 11 centres
    X.col(5).zeros();                     // a zero column
  }
  arma::fmat X, Y;
};

TEST_F(DistanceKernelsTest, PairwiseKernelsMatchNaiveLoopsInOrientation) {
  const arma::fmat w = ColumnSquaredNorms(Y).t();
  struct Case {
    std::string name;
    arma::fmat result;
    std::function<double(size_t, size_t)> naive;
  };
  const std::vector<Case> cases = {
      {"PairwiseSquaredL2", PairwiseSquaredL2(X, Y),
       [&](size_t i, size_t j) { return NaiveSquaredL2(X, j, Y, i); }},
      {"PairwiseSquaredL2Clamped", PairwiseSquaredL2Clamped(X, Y),
       [&](size_t i, size_t j) { return NaiveSquaredL2(X, j, Y, i); }},
      {"PairwiseSquaredL2WithNorms", PairwiseSquaredL2WithNorms(X, Y, w),
       [&](size_t i, size_t j) { return NaiveSquaredL2(X, j, Y, i); }},
      {"PairwiseCosine", PairwiseCosine(X, Y),
       [&](size_t i, size_t j) { return NaiveCosine(X, j, Y, i); }},
      {"PairwiseCosineClamped", PairwiseCosineClamped(X, Y),
       [&](size_t i, size_t j) { return NaiveCosine(X, j, Y, i); }},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.result.n_rows, Y.n_cols) << c.name;
    ASSERT_EQ(c.result.n_cols, X.n_cols) << c.name;
    for (size_t i = 0; i < Y.n_cols; ++i) {
      for (size_t j = 0; j < X.n_cols; ++j) {
        EXPECT_NEAR(c.result(i, j), c.naive(i, j), 1e-4 * (1 + std::abs(c.naive(i, j))))
            << c.name << " (" << i << ", " << j << ")";
      }
    }
  }
}

TEST_F(DistanceKernelsTest, QueryKernelsMatchNaiveLoops) {
  const arma::fvec q = Y.col(3);
  const arma::fvec l2 = SquaredL2ToQuery(X, q);
  const arma::fvec cos = CosineToQuery(X, q);
  ASSERT_EQ(l2.n_elem, X.n_cols);
  ASSERT_EQ(cos.n_elem, X.n_cols);
  for (size_t j = 0; j < X.n_cols; ++j) {
    const double d2 = NaiveSquaredL2(X, j, Y, 3);
    const double dc = NaiveCosine(X, j, Y, 3);
    EXPECT_NEAR(l2[j], d2, 1e-4 * (1 + d2)) << j;
    EXPECT_NEAR(cos[j], dc, 1e-5) << j;
  }
}

TEST_F(DistanceKernelsTest, SelfDistanceIsNeverNegativeInClampedKernels) {
  const arma::fmat big = X * 1000.0f + 3.0f;  // large norms make cancellation visible
  const arma::fmat w = ColumnSquaredNorms(big).t();
  const arma::fmat clamped = PairwiseSquaredL2Clamped(big, big);
  const arma::fmat with_norms = PairwiseSquaredL2WithNorms(big, big, w);
  for (size_t j = 0; j < big.n_cols; ++j) {
    EXPECT_GE(clamped(j, j), 0.0f);
    EXPECT_GE(with_norms(j, j), 0.0f);
    EXPECT_GE(SquaredL2ToQuery(big, big.col(j))[j], 0.0f);
  }
}

TEST_F(DistanceKernelsTest, ZeroVectorsHaveCosineDistanceExactlyOne) {
  const arma::fmat pc = PairwiseCosine(X, Y);
  const arma::fmat pcc = PairwiseCosineClamped(X, Y);
  for (size_t i = 0; i < Y.n_cols; ++i) {
    EXPECT_EQ(pc(i, 5), 1.0f);
    EXPECT_EQ(pcc(i, 5), 1.0f);
  }
  EXPECT_EQ(CosineToQuery(X, Y.col(0))[5], 1.0f);
  const arma::fvec zero_query = CosineToQuery(X, arma::fvec(24, arma::fill::zeros));
  for (float v : zero_query) EXPECT_EQ(v, 1.0f);
}

TEST_F(DistanceKernelsTest, OppositeVectorsStayWithinTwoWhenClamped) {
  arma::fmat opposite = -X;
  const arma::fmat pc = PairwiseCosine(X, opposite);
  const arma::fmat pcc = PairwiseCosineClamped(X, opposite);
  for (size_t j = 0; j < X.n_cols; ++j) {
    if (j == 5) continue;
    EXPECT_NEAR(pc(j, j), 2.0f, 1e-6);
    EXPECT_LE(pcc(j, j), 2.0f);
    EXPECT_GE(pcc(j, j), 0.0f);
    const float q = CosineToQuery(X, opposite.col(j))[j];
    EXPECT_LE(q, 2.0f);
    EXPECT_NEAR(q, 2.0f, 1e-6);
  }
}

TEST_F(DistanceKernelsTest, FinalPassesHandleNaN) {
  X(2, 9) = kNaN;  // column 9 becomes NaN against everything
  const arma::fmat w = ColumnSquaredNorms(Y).t();
  const arma::fvec q = Y.col(0);
  struct Case {
    std::string name;
    float value;
    bool nan_expected;  // otherwise 0 expected
  };
  const std::vector<Case> cases = {
      {"PairwiseSquaredL2 keeps NaN", PairwiseSquaredL2(X, Y)(1, 9), true},
      {"PairwiseSquaredL2Clamped: max(NaN, 0) = 0", PairwiseSquaredL2Clamped(X, Y)(1, 9), false},
      {"PairwiseSquaredL2WithNorms: max(NaN, 0) = 0", PairwiseSquaredL2WithNorms(X, Y, w)(1, 9),
       false},
      {"PairwiseCosine keeps NaN", PairwiseCosine(X, Y)(1, 9), true},
      {"PairwiseCosineClamped: clamp keeps NaN", PairwiseCosineClamped(X, Y)(1, 9), true},
      {"SquaredL2ToQuery: max(NaN, 0) = 0", SquaredL2ToQuery(X, q)[9], false},
      {"CosineToQuery: clamp keeps NaN", CosineToQuery(X, q)[9], true},
  };
  for (const Case& c : cases) {
    if (c.nan_expected) {
      EXPECT_TRUE(std::isnan(c.value)) << c.name << ": " << c.value;
    } else {
      EXPECT_EQ(c.value, 0.0f) << c.name;
    }
  }
  // Columns without NaN are untouched by it.
  EXPECT_FALSE(std::isnan(PairwiseSquaredL2(X, Y)(1, 8)));
}

TEST_F(DistanceKernelsTest, BlockShapesAndSizeMismatch) {
  const arma::fmat none(24, 0);
  EXPECT_EQ(PairwiseSquaredL2(none, Y).n_cols, 0u);
  EXPECT_EQ(PairwiseCosine(none, Y).n_rows, Y.n_cols);
  EXPECT_EQ(SquaredL2ToQuery(none, Y.col(0)).n_elem, 0u);
  EXPECT_EQ(CosineToQuery(none, Y.col(0)).n_elem, 0u);
  EXPECT_EQ(SquaredL2ToQuery(X.cols(0, 0), Y.col(0)).n_elem, 1u);

  const arma::fmat short_norms(Y.n_cols - 1, 1, arma::fill::zeros);
  EXPECT_THROW(PairwiseSquaredL2WithNorms(X, Y, short_norms), std::logic_error);
  const arma::fmat row_norms(1, Y.n_cols, arma::fill::zeros);
  EXPECT_THROW(PairwiseSquaredL2WithNorms(X, Y, row_norms), std::logic_error);
  EXPECT_THROW(PairwiseSquaredL2(X, arma::fmat(23, 4)), std::logic_error);
}

TEST(SquaredNormTest, LaneOrderCoversEveryLength) {
  for (size_t n : {0, 1, 7, 8, 9, 16, 31}) {
    std::vector<float> x(n);
    double expected = 0;
    for (size_t i = 0; i < n; ++i) {
      x[i] = 0.5f * float(i) - 3.0f;
      expected += double(x[i]) * x[i];
    }
    EXPECT_NEAR(SquaredNorm(x.data(), n), expected, 1e-4) << n;
  }
}

}  // namespace
}  // namespace nivora::internal::vector_index::cpu
