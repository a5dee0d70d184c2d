#include "api/train_steps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/quantizer_params.h"
#include "core/parallel_for.h"

namespace nivora::internal {
namespace {

TEST(AutoNListsTest, FollowsTheRowCountAndDimension) {
  struct Case {
    size_t rows;
    size_t dim;
    size_t expected;
  };
  const Case cases[] = {
      {9999, 128, 1},          // too few rows: one list
      {10000, 128, 256},       // f = 400
      {10000, 129, 256},       // widened, f ~ 400.27
      {10000, 8, 256},         // small dimensions are not narrowed
      {99999, 128, 1024},      // f ~ 1264.9
      {100000, 128, 1024},     // m = 6: f ~ 1897.4
      {200000, 768, 2048},     // f ~ 3100.9
      {1000000, 128, 4096},    // m = 8: f = 8000
      {5000000, 64, 16384},    // f ~ 17888.5
      {size_t{1} << 40, 128, 65536},  // capped
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AutoNLists(c.rows, c.dim), c.expected) << c.rows << " x " << c.dim;
  }
}

TEST(KMeansBatchSizeTest, GrowsWithTheListCountUnlessGiven) {
  EXPECT_EQ(KMeansBatchSize(0, 1023), 8192u);
  EXPECT_EQ(KMeansBatchSize(0, 1024), 16384u);
  EXPECT_EQ(KMeansBatchSize(500, 4096), 500u);
}

TEST(FewerThanTwicePerListTest, ComparesWithoutOverflow) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  EXPECT_TRUE(FewerThanTwicePerList(15000, 8000));
  EXPECT_FALSE(FewerThanTwicePerList(16000, 8000));
  EXPECT_TRUE(FewerThanTwicePerList(15999, 8000));
  EXPECT_TRUE(FewerThanTwicePerList(0, 1));
  // 2 * n_lists would wrap to a small number here.
  EXPECT_TRUE(FewerThanTwicePerList(kMax, kMax / 2 + 1));
  EXPECT_FALSE(FewerThanTwicePerList(kMax, kMax / 2));
}

TEST(TrainScalarQuantizerTest, RangesPerDimension) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Column 0 spans -1 .. 4, column 1 is constant, column 2 has a NaN.
  const Array2D<float> matrix(std::vector<float>{-1, 7, 0,   //
                                                 4, 7, nan,  //
                                                 2, 7, 10},
                              3);
  const vector_index::SQQuantizer q8 = TrainScalarQuantizer(matrix, 8);
  EXPECT_EQ(q8.bits, 8);
  EXPECT_EQ(q8.min, (std::vector<float>{-1, 7, 0}));
  EXPECT_FLOAT_EQ(q8.scale[0], 5.0f / 255.0f);
  EXPECT_EQ(q8.scale[1], 1.0f);  // no range: scale 1
  EXPECT_FLOAT_EQ(q8.scale[2], 10.0f / 255.0f);

  const vector_index::SQQuantizer q16 = TrainScalarQuantizer(matrix, 16);
  EXPECT_EQ(q16.bits, 16);
  EXPECT_FLOAT_EQ(q16.scale[0], 5.0f / 65535.0f);
}

TEST(TrainScalarQuantizerTest, ThreadsAgreeWithOneThread) {
  // Big enough to run in parallel; extremes placed in the last rows so a
  // missed thread block shows.
  const size_t rows = 40000;
  const size_t dim = 4;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> values(rows * dim);
  for (float& v : values) v = uniform(rng);
  values[(rows - 1) * dim + 0] = -50.0f;
  values[(rows - 1) * dim + 3] = 80.0f;
  const Array2D<float> matrix(values, dim);

  vector_index::SQQuantizer serial;
  {
    const ScopedThreadCount one(1);
    serial = TrainScalarQuantizer(matrix, 8);
  }
  const ScopedThreadCount four(4);
  const vector_index::SQQuantizer parallel = TrainScalarQuantizer(matrix, 8);
  EXPECT_EQ(parallel.min, serial.min);
  EXPECT_EQ(parallel.scale, serial.scale);
  EXPECT_EQ(serial.min[0], -50.0f);
  EXPECT_FLOAT_EQ(serial.scale[3], (80.0f - serial.min[3]) / 255.0f);
}

TEST(CheckTrainingParametersTest, RefusesWhatTrainingCannotServe) {
  struct Case {
    std::string name;
    std::unique_ptr<IndexConfig> config;
    uint64_t n_lists;
    std::string error;  // empty: accepted
  };
  std::vector<Case> cases;
  cases.push_back({"pq ok", std::make_unique<IndexIVFPQ>(8, 4, 8), 0, ""});
  cases.push_back({"pq 16 bits", std::make_unique<IndexIVFPQ>(8, 8, 16), 0, ""});
  cases.push_back({"pq 0 bits", std::make_unique<IndexIVFPQ>(8, 4, 0), 0,
                   "pq_bits must be between 1 and 16."});
  cases.push_back({"pq 17 bits", std::make_unique<IndexIVFPQ>(8, 4, 17), 0,
                   "pq_bits must be between 1 and 16."});
  cases.push_back({"pq_dim 3 of 8", std::make_unique<IndexIVFPQ>(8, 3, 8), 0,
                   "Vector dimension must be divisible by the number of subvectors."});
  cases.push_back({"sq 8", std::make_unique<IndexIVFSQ>(8, 8), 0, ""});
  cases.push_back({"sq 16", std::make_unique<IndexIVFSQ>(8, 16), 0, ""});
  cases.push_back({"sq 12", std::make_unique<IndexIVFSQ>(8, 12), 0,
                   "Invalid sq_bits value: 12. Only 8 or 16 bits are supported for scalar "
                   "quantization."});
  cases.push_back({"n_lists at limit", std::make_unique<IndexIVFFlat>(8), nivora::kMaxNLists, ""});
  cases.push_back({"n_lists past limit", std::make_unique<IndexIVFFlat>(8), nivora::kMaxNLists + 1,
                   "n_lists cannot exceed 2147483647."});
  Logger logger;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.error.empty()) {
      EXPECT_NO_THROW(CheckTrainingParameters(*c.config, c.n_lists, logger));
      continue;
    }
    try {
      CheckTrainingParameters(*c.config, c.n_lists, logger);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
  }
}

}  // namespace
}  // namespace nivora::internal
