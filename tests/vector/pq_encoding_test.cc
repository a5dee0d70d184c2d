#include "vector/pq_encoding.h"

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace nivora::internal::vector_index::cpu {
namespace {

Codebook MakeCodebook(const std::vector<std::vector<float>>& words) {
  Codebook book;
  book.k = static_cast<int32_t>(words.size());
  book.centroids = Array2D<float>(words);
  return book;
}

// Codewords on a coarse integer grid, vectors close to a known codeword: the
// nearest codeword is unambiguous, so brute force and encoder must agree.
struct GridCase {
  std::vector<Codebook> books;
  Array2D<float> data;
  std::vector<uint32_t> expected;  // n x m
};

GridCase MakeGridCase(size_t n, size_t dsub, const std::vector<int>& ks, bool cosine) {
  std::mt19937 gen(11);
  std::uniform_int_distribution<int> grid(-5, 5);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  GridCase c;
  for (int k : ks) {
    std::vector<std::vector<float>> words(k, std::vector<float>(dsub));
    for (int q = 0; q < k; ++q) {
      for (size_t e = 0; e < dsub; ++e) {
        // Cosine: distinct directions, far from each other on the sphere.
        words[q][e] = cosine ? (e == size_t(q) % dsub ? 3.0f + q / dsub : 0.1f * (q / dsub))
                             : 4.0f * grid(gen);
      }
    }
    c.books.push_back(MakeCodebook(words));
  }
  const size_t m = ks.size();
  c.data = Array2D<float>(n, m * dsub);
  std::uniform_int_distribution<int> pick(0, 1 << 20);
  for (size_t r = 0; r < n; ++r) {
    for (size_t s = 0; s < m; ++s) {
      const uint32_t q = pick(gen) % ks[s];
      c.expected.push_back(q);
      for (size_t e = 0; e < dsub; ++e) {
        c.data.row(r)[s * dsub + e] = c.books[s].centroids.row(q)[e] + noise(gen);
      }
    }
  }
  return c;
}

std::vector<uint32_t> Flat(const Array2D<uint32_t>& codes) {
  return std::vector<uint32_t>(codes.data, codes.data + codes.size());
}

TEST(PQEncodingTest, CodesMatchBruteForceAcrossBlocksAndSubspaces) {
  // 2500 rows: blocks of 1000, 1000 and 500; codebooks of different sizes.
  const GridCase l2 = MakeGridCase(2500, 8, {16, 7, 33, 1}, false);
  EXPECT_EQ(Flat(EncodePQ(l2.data, l2.books, DistanceMetric::SquaredEuclidean)), l2.expected);
  EXPECT_EQ(Flat(EncodePQ(l2.data, l2.books, DistanceMetric::Euclidean)), l2.expected);
  Array2D<uint32_t> into(2500, 4);
  EncodePQIntoL2(l2.data, l2.books, Array2DView<uint32_t>(into));
  EXPECT_EQ(Flat(into), l2.expected);

  const GridCase cos = MakeGridCase(2500, 8, {8, 5, 8}, true);
  EXPECT_EQ(Flat(EncodePQ(cos.data, cos.books, DistanceMetric::Cosine)), cos.expected);
  Array2D<uint32_t> into_cos(2500, 3);
  EncodePQIntoCosine(cos.data, cos.books, Array2DView<uint32_t>(into_cos));
  EXPECT_EQ(Flat(into_cos), cos.expected);
}

TEST(PQEncodingTest, CoarseAssignmentIsTheNearestCentroid) {
  const GridCase c = MakeGridCase(3001, 16, {40}, false);
  const Array2D<uint32_t> codes = EncodePQ(c.data, c.books, DistanceMetric::Euclidean);
  EXPECT_EQ(codes.rows, 3001u);
  EXPECT_EQ(codes.cols, 1u);
  EXPECT_EQ(Flat(codes), c.expected);
}

TEST(PQEncodingTest, TiesGoToTheLowestIndexAndNaNIsNeverChosen) {
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  // Codewords 3 and 7 are equal; codeword 0 is NaN.
  const Codebook book = MakeCodebook({{kNaN, 0}, {9, 9}, {5, 5}, {1, 2}, {7, 7}, {8, 8}, {6, 6},
                                      {1, 2}});
  const Array2D<float> data(std::vector<float>{1, 2,        // equals codewords 3 and 7
                                               5.9f, 5.9f,  // nearest codeword 6
                                               kNaN, 1,     // NaN everywhere: code 0
                                               kInf, 0},    // inf/NaN distances only: code 0
                            2);
  for (DistanceMetric metric : {DistanceMetric::Euclidean, DistanceMetric::Cosine}) {
    const std::vector<uint32_t> codes = Flat(EncodePQ(data, {book}, metric));
    EXPECT_EQ(codes[0], 3u) << int(metric);
    EXPECT_EQ(codes[2], 0u) << int(metric);
    EXPECT_EQ(codes[3], 0u) << int(metric);
    if (metric == DistanceMetric::Euclidean) {
      EXPECT_EQ(codes[1], 6u);
    }
  }
  // All codewords equal: every vector takes codeword 0.
  const Codebook same = MakeCodebook({{2, 2}, {2, 2}, {2, 2}});
  EXPECT_EQ(Flat(EncodePQ(data, {same}, DistanceMetric::SquaredEuclidean))[1], 0u);
}

TEST(PQEncodingTest, EmptyInputGivesEmptyCodes) {
  const std::vector<Codebook> books = {MakeCodebook({{1, 2}}), MakeCodebook({{3, 4}})};
  const Array2D<float> none(0, 4);
  const Array2D<uint32_t> codes = EncodePQ(none, books, DistanceMetric::Euclidean);
  EXPECT_EQ(codes.rows, 0u);
  EXPECT_EQ(codes.cols, 2u);
  EXPECT_NO_THROW(EncodePQIntoCosine(none, books, Array2DView<uint32_t>(nullptr, 0, 2)));
}

TEST(PQEncodingTest, RejectsBadArgumentsBeforeWritingAnything) {
  const std::string kDivisible = "Vector dimension must be divisible by the number of subvectors.";
  const std::string kView = "Output view dimensions do not match expected dimensions";
  const Array2D<float> data(3, 12);
  const std::vector<Codebook> five(5, MakeCodebook({{0, 0}}));
  const std::vector<Codebook> two = {MakeCodebook({{0, 0, 0, 0, 0, 0}}),
                                     MakeCodebook({{1, 1, 1, 1, 1, 1}})};
  Codebook short_book = MakeCodebook({{0, 0, 0, 0, 0, 0}});
  short_book.k = 2;  // claims a row it does not have
  Codebook empty_book = MakeCodebook({{0, 0, 0, 0, 0, 0}});
  empty_book.k = 0;
  Array2D<uint32_t> out(4, 2);
  for (size_t i = 0; i < out.size(); ++i) out.data[i] = 77;
  const Array2DView<uint32_t> wrong_view(out.data, 4, 2);   // one row too many
  const Array2DView<uint32_t> right_view(out.data, 3, 2);

  struct Case {
    std::string name;
    std::function<void()> call;
    std::string message;  // empty: any message
  };
  const std::vector<Case> cases = {
      {"12 columns, 5 codebooks (before the view)",
       [&] { EncodePQIntoL2(data, five, wrong_view); }, kDivisible},
      {"no codebooks", [&] { EncodePQ(data, {}, DistanceMetric::Euclidean); }, kDivisible},
      {"view of n + 1 rows", [&] { EncodePQIntoL2(data, two, wrong_view); }, kView},
      {"view of n + 1 rows, cosine", [&] { EncodePQIntoCosine(data, two, wrong_view); }, kView},
      {"storage short of k x dsub",
       [&] { EncodePQIntoL2(data, {two[0], short_book}, right_view); }, ""},
      {"k of 0", [&] { EncodePQ(data, {two[0], empty_book}, DistanceMetric::Cosine); }, ""},
  };
  for (const Case& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const std::invalid_argument& e) {
      if (!c.message.empty()) {
        EXPECT_EQ(e.what(), c.message) << c.name;
      }
    }
  }
  for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out.data[i], 77u);

  try {
    EncodePQ(data, two, static_cast<DistanceMetric>(3));
    ADD_FAILURE() << "metric 3 accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unsupported distance metric.");
  }
}

TEST(PQEncodingTest, ViewMessageIsLoggedWithAFullStop) {
  const Array2D<float> data(2, 2);
  Array2D<uint32_t> out(3, 1);
  testing::internal::CaptureStderr();
  EXPECT_THROW(EncodePQIntoL2(data, {MakeCodebook({{0, 0}})}, Array2DView<uint32_t>(out)),
               std::invalid_argument);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "[ERROR] Output view dimensions do not match expected dimensions.\n"),
            std::string::npos);
}

TEST(PQEncodingTest, CodewordCountAcceptsOnlyOneToSixteenBits) {
  EXPECT_EQ(PQCodewordCount(1), 2u);
  EXPECT_EQ(PQCodewordCount(8), 256u);
  EXPECT_EQ(PQCodewordCount(16), 65536u);
  for (size_t bits : {size_t{0}, size_t{17}, size_t{32}, size_t{64}}) {
    EXPECT_THROW(PQCodewordCount(bits), std::invalid_argument) << bits;
  }
}

}  // namespace
}  // namespace nivora::internal::vector_index::cpu
