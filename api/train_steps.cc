#include "api/train_steps.h"

#include <omp.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/log_and_throw.h"
#include "core/parallel_for.h"
#include "api/quantizer_params.h"

namespace nivora::internal {

namespace {

constexpr float kFloatMax = std::numeric_limits<float>::max();

void CheckScalarQuantizer(const IndexConfig& config, Logger& logger) {
  const size_t bits = config.sq_bits();
  if (bits != 8 && bits != 16) {
    LogAndThrow<std::invalid_argument>(
        logger, ERROR,
        "Invalid sq_bits value: " + std::to_string(bits) +
            ". Only 8 or 16 bits are supported for scalar quantization.");
  }
}

// Per-thread minima and maxima of the rows [begin, end) of matrix into the
// caller's arrays of matrix.cols values each.
void ColumnRange(const Array2D<float>& matrix, size_t begin, size_t end, float* lo, float* hi) {
  const size_t dim = matrix.cols;
  for (size_t r = begin; r < end; ++r) {
    const float* row = matrix.row(r);
    for (size_t d = 0; d < dim; ++d) {
      const float x = row[d];
      if (x < lo[d]) lo[d] = x;
      if (x > hi[d]) hi[d] = x;
    }
  }
}

}  // namespace

void CheckTrainingParameters(const IndexConfig& config, uint64_t requested_n_lists,
                             Logger& logger) {
  if (config.index_type_ == IndexType::IVFSQ) CheckScalarQuantizer(config, logger);
  ValidateQuantizerParams(config);
  if (requested_n_lists > kMaxNLists) {
    LogAndThrow<std::invalid_argument>(logger, ERROR, "n_lists cannot exceed 2147483647.");
  }
}

size_t AutoNLists(size_t rows, size_t dim) {
  if (rows < kMinTrainingItems) return 1;
  const double m = rows < 100000 ? 4.0 : (rows < 1000000 ? 6.0 : 8.0);
  double f = m * std::sqrt(static_cast<double>(rows));
  if (dim >= 129) f *= 1.0 + 0.2 * std::log10(static_cast<double>(dim) / 128.0);
  size_t n = static_cast<size_t>(f);
  n = std::clamp<size_t>(n, 16, 65536);
  return std::bit_floor(n);
}

size_t KMeansBatchSize(uint64_t batch_size, size_t n_lists) {
  if (batch_size != 0) return static_cast<size_t>(batch_size);
  return n_lists < 1024 ? 8192 : 16384;
}

bool FewerThanTwicePerList(uint64_t rows, uint64_t n_lists) {
  return rows / 2 < n_lists;
}

vector_index::SQQuantizer TrainScalarQuantizer(const Array2D<float>& matrix, int32_t bits) {
  const size_t dim = matrix.cols;
  const size_t rows = matrix.rows;
  const size_t planned = static_cast<size_t>(ThreadCount());
  // One pair of arrays per thread: threads share nothing until the fold.
  std::vector<float> lo(planned * dim, kFloatMax);
  std::vector<float> hi(planned * dim, -kFloatMax);
  size_t team_size = 1;
  const bool parallel = planned > 1 && WorthParallel(rows * dim);
#pragma omp parallel num_threads(static_cast<int>(planned)) if (parallel)
  {
    const size_t t = static_cast<size_t>(omp_get_thread_num());
    const size_t team = static_cast<size_t>(omp_get_num_threads());
    if (t == 0) team_size = team;
    const size_t per_thread = (rows + team - 1) / team;
    const size_t begin = std::min(rows, t * per_thread);
    const size_t end = std::min(rows, begin + per_thread);
    ColumnRange(matrix, begin, end, lo.data() + t * dim, hi.data() + t * dim);
  }
  vector_index::SQQuantizer quantizer;
  quantizer.bits = bits;
  quantizer.min.assign(dim, kFloatMax);
  quantizer.scale.assign(dim, 1.0f);
  std::vector<float> max(dim, -kFloatMax);
  for (size_t t = 0; t < team_size; ++t) {
    for (size_t d = 0; d < dim; ++d) {
      quantizer.min[d] = std::min(quantizer.min[d], lo[t * dim + d]);
      max[d] = std::max(max[d], hi[t * dim + d]);
    }
  }
  const float steps = bits == 16 ? 65535.0f : 255.0f;
  for (size_t d = 0; d < dim; ++d) {
    const float range = max[d] - quantizer.min[d];
    if (range > 0.0f) quantizer.scale[d] = range / steps;
  }
  return quantizer;
}

}  // namespace nivora::internal
