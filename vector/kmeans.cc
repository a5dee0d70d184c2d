#include "vector/kmeans.h"

#include <omp.h>

#include <algorithm>
#include <armadillo>
#include <cstdint>
#include <iostream>
#include <limits>
#include <string>

#include "vector/codeword_search.h"
#include "vector/distance_kernels.h"
#include "vector/kmeans_seeding.h"
#include "vector/metric_family.h"
#include "core/parallel_for.h"
#include "vector/vector_errors.h"

namespace nivora::internal::vector_index::cpu {
namespace {

constexpr size_t kDefaultBatch = 1024;
// Centre components updated per task: one cache line of floats.
constexpr size_t kUpdateChunk = 16;
// Distance-matrix elements per assignment task (k x block columns), about
// 1 MiB, so a task's distances stay in cache while their minima are found.
constexpr size_t kAssignElements = size_t{1} << 18;

KMeansShape CheckShape(const Array2D<float>& data, const KMeansParams& params) {
  KMeansShape shape;
  shape.n = data.rows;
  shape.dim = data.cols;
  shape.m = params.n_subvectors;
  if (shape.m == 0 || shape.dim % shape.m != 0) LogAndThrowInvalid(kNotDivisibleMessage);
  shape.dsub = shape.dim / shape.m;
  shape.k = params.n_clusters;
  if (shape.n == 0) LogAndThrowInvalid("No training vectors provided.");
  if (shape.dsub == 0) LogAndThrowInvalid("Vector dimension must be greater than 0.");
  if (shape.k == 0 || shape.k > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    LogAndThrowInvalid("Number of clusters must be between 1 and 2147483647.");
  }
  shape.batch = std::min(shape.n, params.batch_size == 0 ? kDefaultBatch : params.batch_size);
  shape.sample = std::min(3 * std::max(shape.k, shape.batch), shape.n);
  return shape;
}

void WarnSmallSample(const KMeansShape& shape) {
  if (shape.sample >= shape.k) return;
  std::cerr << "Warning: Initialization sample size (" << shape.sample
            << ") is smaller than the number of clusters (" << shape.k
            << "). KMeans++ may fail to select enough unique centroids." << std::endl;
}

// Many subspaces share the cores by subspace; few (the coarse quantizer has
// one) split each subspace's work into column blocks instead.
bool ParallelOverSubspaces(size_t m) { return m >= static_cast<size_t>(nivora::ThreadCount()); }

// The working state of one call: the centres (written straight into the
// result codebooks, dsub x k column-major each), per-centre counts and, for
// squared L2, the kept squared centre norms.
class MiniBatchTrainer {
 public:
  MiniBatchTrainer(const Array2D<float>& data, const KMeansShape& shape, MetricFamily distance)
      : data_(data), shape_(shape), distance_(distance), books_(shape.m) {
    for (Codebook& book : books_) {
      book.k = static_cast<int32_t>(shape.k);
      book.centroids = Array2D<float>(shape.k, shape.dsub);
    }
    counts_.assign(shape.m, std::vector<float>(shape.k, 0.0f));
    block_ = std::clamp<size_t>(kAssignElements / shape.k, 64, 4096);
    block_ = std::min(block_, shape.batch);
    blocks_ = (shape.batch + block_ - 1) / block_;
    assign_.resize(shape.m * shape.batch);
    eta_.resize(shape.m * shape.batch);
  }

  void Seed() {
    if (ParallelOverSubspaces(shape_.m)) {
      ParallelErrors errors;
      const bool parallel = WorthParallel(shape_.k * shape_.sample * shape_.dim);
#pragma omp parallel for schedule(static) num_threads(nivora::ThreadCount()) if (parallel)
      for (size_t s = 0; s < shape_.m; ++s) {
        errors.Run([&] { SeedSubspace(data_, shape_, s, distance_, centres(s), false); });
      }
      errors.RethrowFirst();
    } else {
      // Not inside a (one-thread) parallel region: the block loops of the
      // seeding must be top-level regions to reuse the thread pool.
      for (size_t s = 0; s < shape_.m; ++s) {
        SeedSubspace(data_, shape_, s, distance_, centres(s), /*parallel_blocks=*/true);
      }
    }
    if (distance_ == MetricFamily::kSquaredL2) {
      norms_.resize(shape_.m);
      for (size_t s = 0; s < shape_.m; ++s) norms_[s] = ColumnSquaredNorms(centre_matrix(s)).t();
    }
  }

  void Iterate() {
    const arma::uvec batch = arma::randperm<arma::uvec>(shape_.n, shape_.batch);
    Assign(batch);
    ComputeSteps();
    MoveCentres(batch);
    if (distance_ == MetricFamily::kSquaredL2) RefreshNorms();
  }

  std::vector<Codebook> TakeResult() { return std::move(books_); }

 private:
  float* centres(size_t s) { return books_[s].centroids.data; }
  arma::fmat centre_matrix(size_t s) { return ViewMatrix(centres(s), shape_.dsub, shape_.k); }

  // Nearest centre of every batch vector in every subspace, against the
  // centres as they stand at the start of the round; one task per
  // (subspace, column block).
  void Assign(const arma::uvec& batch) {
    ParallelErrors errors;
    const size_t tasks = shape_.m * blocks_;
    const bool parallel = tasks > 1 && WorthParallel(shape_.batch * shape_.k * shape_.dim);
#pragma omp parallel num_threads(nivora::ThreadCount()) if (parallel)
    {
      arma::fmat gathered;  // this thread's scratch, reused across its tasks
#pragma omp for schedule(dynamic, 1)
      for (size_t t = 0; t < tasks; ++t) {
        errors.Run([&] {
          if (gathered.n_elem == 0) gathered.set_size(shape_.dsub, block_);
          const size_t s = t / blocks_;
          const size_t first = (t % blocks_) * block_;
          const size_t len = std::min(block_, shape_.batch - first);
          GatherSlice(data_, batch.memptr() + first, 0, len, s * shape_.dsub, shape_.dsub,
                      gathered.memptr());
          const arma::fmat block = ViewMatrix(gathered.memptr(), shape_.dsub, len);
          const arma::fmat d = distance_ == MetricFamily::kSquaredL2
                                   ? PairwiseSquaredL2WithNorms(block, centre_matrix(s), norms_[s])
                                   : PairwiseCosineClamped(block, centre_matrix(s));
          ArgMinColumns(d.memptr(), shape_.k, len, assign_.data() + s * shape_.batch + first);
        });
      }
    }
    errors.RethrowFirst();
  }

  // The learning rate of every update, in batch order: count[q] += 1,
  // eta = 1 / count[q].
  void ComputeSteps() {
    const bool parallel = shape_.m > 1 && WorthParallel(shape_.m * shape_.batch);
#pragma omp parallel for schedule(static) num_threads(nivora::ThreadCount()) if (parallel)
    for (size_t s = 0; s < shape_.m; ++s) {
      std::vector<float>& count = counts_[s];
      const uint32_t* assigned = assign_.data() + s * shape_.batch;
      float* eta = eta_.data() + s * shape_.batch;
      for (size_t j = 0; j < shape_.batch; ++j) {
        count[assigned[j]] += 1.0f;
        eta[j] = 1.0f / count[assigned[j]];
      }
    }
  }

  // centre = (1 - eta) * centre + eta * x for every batch vector in batch
  // order. Components are independent, so tasks own (subspace, component
  // range) pairs and each walks the whole batch in order.
  void MoveCentres(const arma::uvec& batch) {
    const size_t chunks = (shape_.dsub + kUpdateChunk - 1) / kUpdateChunk;
    const size_t tasks = shape_.m * chunks;
    const bool parallel = tasks > 1 && WorthParallel(shape_.batch * shape_.dim);
#pragma omp parallel for schedule(dynamic, 1) num_threads(nivora::ThreadCount()) if (parallel)
    for (size_t t = 0; t < tasks; ++t) {
      const size_t s = t / chunks;
      const size_t lo = (t % chunks) * kUpdateChunk;
      const size_t hi = std::min(lo + kUpdateChunk, shape_.dsub);
      const uint32_t* assigned = assign_.data() + s * shape_.batch;
      const float* eta = eta_.data() + s * shape_.batch;
      float* base = centres(s);
      const size_t offset = s * shape_.dsub;
      for (size_t j = 0; j < shape_.batch; ++j) {
        const float step = eta[j];
        const float keep = 1.0f - step;
        float* c = base + static_cast<size_t>(assigned[j]) * shape_.dsub;
        const float* x = data_.row(batch[j]) + offset;
        for (size_t e = lo; e < hi; ++e) c[e] = keep * c[e] + step * x[e];
      }
    }
  }

  // The norm after a centre's last update of the round is the one the next
  // round reads; untouched centres recompute to the same value.
  void RefreshNorms() {
    const bool parallel = shape_.m > 1 && WorthParallel(shape_.k * shape_.dim);
#pragma omp parallel for schedule(static) num_threads(nivora::ThreadCount()) if (parallel)
    for (size_t s = 0; s < shape_.m; ++s) {
      const float* base = centres(s);
      for (size_t q = 0; q < shape_.k; ++q) {
        norms_[s][q] = SquaredNorm(base + q * shape_.dsub, shape_.dsub);
      }
    }
  }

  const Array2D<float>& data_;
  const KMeansShape shape_;
  const MetricFamily distance_;
  std::vector<Codebook> books_;
  std::vector<std::vector<float>> counts_;  // per subspace, k counts kept across rounds
  std::vector<arma::fvec> norms_;           // per subspace, k squared norms (squared L2)
  std::vector<uint32_t> assign_;            // m x batch: nearest centre per batch vector
  std::vector<float> eta_;                  // m x batch: learning rate per update
  size_t block_ = 0;                        // batch columns per assignment task
  size_t blocks_ = 0;
};

std::vector<Codebook> Train(const Array2D<float>& data, const KMeansParams& params,
                            MetricFamily distance) {
  const KMeansShape shape = CheckShape(data, params);
  WarnSmallSample(shape);
  MiniBatchTrainer trainer(data, shape, distance);
  trainer.Seed();
  for (size_t it = 0; it < params.max_iters; ++it) trainer.Iterate();
  return trainer.TakeResult();
}

}  // namespace

std::vector<Codebook> TrainKMeansL2(const Array2D<float>& data, const KMeansParams& params) {
  return Train(data, params, MetricFamily::kSquaredL2);
}

std::vector<Codebook> TrainKMeansCosine(const Array2D<float>& data, const KMeansParams& params) {
  return Train(data, params, MetricFamily::kCosine);
}

std::vector<Codebook> TrainKMeans(const Array2D<float>& data, const KMeansParams& params,
                                  DistanceMetric metric) {
  return FamilyOf(metric) == MetricFamily::kCosine ? TrainKMeansCosine(data, params)
                                                    : TrainKMeansL2(data, params);
}

}  // namespace nivora::internal::vector_index::cpu
