#include "vector/kmeans_seeding.h"

#include <omp.h>

#include <algorithm>
#include <armadillo>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "vector/codeword_search.h"
#include "vector/distance_kernels.h"
#include "core/parallel_for.h"

namespace nivora::internal::vector_index {
namespace {

// Sample columns per distance pass: enough work per block to pay for its
// share of a parallel region.
constexpr size_t kMinSeedBlock = 1024;

// The sample of one subspace, prepared once for the seeding kernel: raw
// sub-vectors with their squared norms (squared L2) or normalised sub-vectors
// (cosine).
struct Sample {
  arma::uvec rows;      // input row of each sample column; empty when the sample is all rows
  arma::fmat vectors;   // dsub x S
  arma::frowvec norms;  // squared L2 only
  size_t block = 0;     // columns per distance pass
  std::vector<arma::fvec> distances;  // one buffer per block, reused by every pass

  size_t blocks() const { return distances.size(); }
  size_t input_row(size_t i) const { return rows.is_empty() ? i : static_cast<size_t>(rows[i]); }
};

Sample DrawSample(const Array2D<float>& data, const KMeansShape& shape, size_t s,
                  MetricFamily distance, bool parallel_blocks) {
  Sample sample;
  // About four blocks per thread balance the team; serial runs use one.
  const size_t threads = parallel_blocks ? static_cast<size_t>(nivora::ThreadCount()) : 1;
  sample.block = std::max(kMinSeedBlock, (shape.sample + 4 * threads - 1) / (4 * threads));
  if (!parallel_blocks) sample.block = shape.sample;
  sample.distances.resize((shape.sample + sample.block - 1) / sample.block);
  if (shape.sample < shape.n) sample.rows = arma::randperm<arma::uvec>(shape.n, shape.sample);
  sample.vectors.set_size(shape.dsub, shape.sample);
  GatherSlice(data, sample.rows.is_empty() ? nullptr : sample.rows.memptr(), 0, shape.sample,
              s * shape.dsub, shape.dsub, sample.vectors.memptr());
  if (distance == MetricFamily::kSquaredL2) {
    sample.norms = cpu::ColumnSquaredNorms(sample.vectors);
  } else {
    sample.vectors = cpu::NormaliseColumns(sample.vectors);
  }
  return sample;
}

// dmin[i] = min(dmin[i], distance of sample column i to centre).
void UpdateMinDistances(Sample& sample, MetricFamily distance, const float* centre,
                        std::vector<float>& dmin, bool parallel_blocks) {
  const size_t dsub = sample.vectors.n_rows;
  const size_t count = sample.vectors.n_cols;
  const size_t blocks = sample.blocks();
  const arma::fvec q(const_cast<float*>(centre), dsub, /*copy_aux_mem=*/false, /*strict=*/true);
  ParallelErrors errors;
  const bool parallel = parallel_blocks && blocks > 1 && WorthParallel(count * dsub);
#pragma omp parallel for schedule(dynamic, 1) num_threads(nivora::ThreadCount()) if (parallel)
  for (size_t b = 0; b < blocks; ++b) {
    errors.Run([&] {
      const size_t first = b * sample.block;
      const size_t len = std::min(sample.block, count - first);
      const arma::fmat block = ViewMatrix(sample.vectors.colptr(first), dsub, len);
      arma::fvec& d = sample.distances[b];
      if (distance == MetricFamily::kSquaredL2) {
        const arma::frowvec norms(const_cast<float*>(sample.norms.memptr() + first), len, false,
                                  true);
        cpu::SquaredL2ToQueryWithNorms(block, norms, q, d);
      } else {
        cpu::CosineToQueryNormalised(block, q, d);
      }
      float* mins = dmin.data() + first;
      for (size_t i = 0; i < len; ++i) mins[i] = std::min(mins[i], d[i]);
    });
  }
  errors.RethrowFirst();
}

// Index of the next centre: D^2-style draw over the running sums of dmin,
// or uniform when every weight is 0.
uint32_t DrawWeighted(const std::vector<float>& dmin, std::vector<float>& cum, std::mt19937& gen,
                      std::uniform_int_distribution<uint32_t>& uniform) {
  float total = 0.0f;
  for (size_t i = 0; i < dmin.size(); ++i) {
    total += dmin[i];
    cum[i] = total;
  }
  // dmin never holds NaN (a NaN distance never lowers it) and no weight is
  // negative, so total is a number >= 0, at worst +infinity.
  if (total <= 0.0f) return uniform(gen);
  // A range up to +infinity is undefined for the distribution; overflowed
  // weights still meet any finite draw.
  const float upper = std::isfinite(total) ? total : FLT_MAX;
  std::uniform_real_distribution<float> real(0.0f, upper);
  const float r = real(gen);
  const size_t index = std::lower_bound(cum.begin(), cum.end(), r) - cum.begin();
  return static_cast<uint32_t>(std::min(index, cum.size() - 1));
}

}  // namespace

void SeedSubspace(const Array2D<float>& data, const KMeansShape& shape, size_t s,
                  MetricFamily distance, float* centres, bool parallel_blocks) {
  Sample sample = DrawSample(data, shape, s, distance, parallel_blocks);
  const size_t offset = s * shape.dsub;
  auto take = [&](size_t q, size_t i) {
    std::memcpy(centres + q * shape.dsub, data.row(sample.input_row(i)) + offset,
                shape.dsub * sizeof(float));
  };

  std::random_device device("/dev/urandom");
  std::mt19937 gen(device());
  std::uniform_int_distribution<uint32_t> uniform(0, static_cast<uint32_t>(shape.sample - 1));
  std::vector<float> dmin(shape.sample, FLT_MAX);
  std::vector<float> cum(shape.sample);

  take(0, uniform(gen));
  for (size_t q = 1; q < shape.k; ++q) {
    UpdateMinDistances(sample, distance, centres + (q - 1) * shape.dsub, dmin, parallel_blocks);
    take(q, DrawWeighted(dmin, cum, gen, uniform));
  }
}

}  // namespace nivora::internal::vector_index
