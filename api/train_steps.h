// The self-contained steps of training an index: refusing parameters that
// cannot be trained, choosing n_lists, the k-means batch size and the
// scalar-quantizer ranges. They hold
// no state and touch no store, so TrainIndex (encrypted_index_train.cc)
// runs them on its own data and the tests run them on small matrices.
//
// Thread-safe: plain functions; the statistics run an OpenMP region on
// ThreadCount() threads.
#ifndef NIVORA_API_TRAIN_STEPS_H_
#define NIVORA_API_TRAIN_STEPS_H_

#include <cstddef>
#include <cstdint>

#include "core/array2d.h"
#include "core/index_config.h"
#include "core/logger.h"
#include "vector/quantizer_set.h"

namespace nivora::internal {

// Fewer counted items than this: training does nothing.
inline constexpr uint64_t kMinTrainingItems = 10000;

// Refuses, before any item is read, a configuration or request that
// training cannot serve. Each failure is logged at ERROR through logger and
// thrown as std::invalid_argument:
// - IVFSQ: "Invalid sq_bits value: <bits>. Only 8 or 16 bits are supported
//   for scalar quantization." (checked first);
// - the refusals of ValidateQuantizerParams (quantizer_params.h): pq_bits
//   outside 1..16, a pq_dim not dividing the dimension;
// - "n_lists cannot exceed 2147483647." for a requested_n_lists above
//   kMaxNLists (0 asks for the automatic count).
void CheckTrainingParameters(const IndexConfig& config, uint64_t requested_n_lists,
                             Logger& logger);

// The automatic n_lists for rows vectors of dim columns: 1 below 10000
// rows, else the largest power of two not above m * sqrt(rows) (m = 4, 6, 8
// by decade from 100000), widened for dim >= 129 and clamped to 16..65536.
size_t AutoNLists(size_t rows, size_t dim);

// batch_size when not 0, else 8192 below 1024 lists and 16384 from 1024.
size_t KMeansBatchSize(uint64_t batch_size, size_t n_lists);

// Whether rows is below 2 * n_lists, computed without overflow.
bool FewerThanTwicePerList(uint64_t rows, uint64_t n_lists);

// One scalar quantizer of `bits` (8 or 16, not checked here) over the
// columns of matrix: per column the minimum and maximum of the finite
// comparisons (a NaN never counts), scale = (max - min) / (2^bits - 1), or
// 1.0 where max - min is not positive. A column with no usable value keeps
// min +3.4028235e38 and scale 1.0.
vector_index::SQQuantizer TrainScalarQuantizer(const Array2D<float>& matrix, int32_t bits);

}  // namespace nivora::internal

#endif  // NIVORA_API_TRAIN_STEPS_H_
