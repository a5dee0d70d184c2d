#include "vector/pq_encoding.h"

#include <algorithm>
#include <armadillo>

#include "vector/codeword_search.h"
#include "vector/distance_kernels.h"
#include "vector/metric_family.h"
#include "core/parallel_for.h"
#include "vector/vector_errors.h"

namespace nivora::internal::vector_index {
namespace {

// Vectors per distance matrix: bounds it to k x 1000 floats per thread.
constexpr size_t kEncodeBlock = 1000;
// Rows per block at least this many, however many threads share a batch.
constexpr size_t kMinEncodeBlock = 128;

// Rows per block for n rows of m subspaces: at most kEncodeBlock, and small
// enough that every thread gets about four tasks, so that the last round of
// a batch (10,000 rows are ten blocks of 1,000 on eight threads) does not
// leave most threads idle.
size_t EncodeBlock(size_t n, size_t m) {
  const size_t threads = static_cast<size_t>(nivora::ThreadCount());
  const size_t tasks_wanted = 4 * threads;
  const size_t per_subspace = (tasks_wanted + m - 1) / std::max<size_t>(m, 1);
  return std::clamp((n + per_subspace - 1) / per_subspace, kMinEncodeBlock, kEncodeBlock);
}

size_t CheckDivisible(const Array2D<float>& data, const std::vector<Codebook>& codebooks) {
  const size_t m = codebooks.size();
  if (m == 0 || data.cols % m != 0) LogAndThrowInvalid(kNotDivisibleMessage);
  return data.cols / m;
}

// Only k and the storage are read, so the storage must hold exactly k rows
// of dsub values; anything else would read past it or misread it.
void CheckCodebooks(const std::vector<Codebook>& codebooks, size_t dsub) {
  for (const Codebook& book : codebooks) {
    if (book.k < 1) LogAndThrowInvalid("Codebook has no codewords.");
    if (book.centroids.size() != static_cast<size_t>(book.k) * dsub ||
        (dsub != 0 && book.centroids.data == nullptr)) {
      LogAndThrowInvalid("Codebook storage does not hold k x dsub values.");
    }
  }
}

// Encodes after every check has passed. Task t covers subspace t / blocks and
// the t % blocks-th block of EncodeBlock rows; each writes its own cells only.
void EncodeChecked(const Array2D<float>& data, const std::vector<Codebook>& codebooks,
                   size_t dsub, Array2DView<uint32_t> out, MetricFamily distance) {
  const size_t n = data.rows;
  const size_t m = codebooks.size();
  const size_t block = EncodeBlock(n, m);
  const size_t blocks = (n + block - 1) / block;
  const size_t tasks = m * blocks;
  size_t total_k = 0;
  for (const Codebook& book : codebooks) total_k += static_cast<size_t>(book.k);
  ParallelErrors errors;
#pragma omp parallel num_threads(nivora::ThreadCount()) if (tasks > 1 && WorthParallel(n * total_k * dsub))
  {
    arma::fmat gathered;          // this thread's slice scratch (m > 1)
    std::vector<uint32_t> codes;  // this thread's codes of one block
#pragma omp for schedule(dynamic, 1)
    for (size_t t = 0; t < tasks; ++t) {
      errors.Run([&] {
        const size_t s = t / blocks;
        const size_t first = (t % blocks) * block;
        const size_t len = std::min(block, n - first);
        const float* slice = data.row(first);
        if (m > 1) {
          // Rows of one slice are strided in the input: copy them together.
          if (gathered.n_elem == 0) gathered.set_size(dsub, block);
          GatherSlice(data, nullptr, first, len, s * dsub, dsub, gathered.memptr());
          slice = gathered.memptr();
        }
        const Codebook& book = codebooks[s];
        const size_t k = static_cast<size_t>(book.k);
        const arma::fmat block = ViewMatrix(slice, dsub, len);
        const arma::fmat words = ViewMatrix(book.centroids.data, dsub, k);
        const arma::fmat d = distance == MetricFamily::kSquaredL2
                                 ? cpu::PairwiseSquaredL2(block, words)
                                 : cpu::PairwiseCosine(block, words);
        codes.resize(len);
        ArgMinColumns(d.memptr(), k, len, codes.data());
        for (size_t j = 0; j < len; ++j) out.row(first + j)[s] = codes[j];
      });
    }
  }
  errors.RethrowFirst();
}

void EncodeInto(const Array2D<float>& data, const std::vector<Codebook>& codebooks,
                Array2DView<uint32_t> out, MetricFamily distance) {
  const size_t dsub = CheckDivisible(data, codebooks);
  if (out.rows != data.rows || out.cols != codebooks.size()) {
    LogAndThrowInvalid("Output view dimensions do not match expected dimensions.",
                       "Output view dimensions do not match expected dimensions");
  }
  CheckCodebooks(codebooks, dsub);
  EncodeChecked(data, codebooks, dsub, out, distance);
}

Array2D<uint32_t> EncodeNew(const Array2D<float>& data, const std::vector<Codebook>& codebooks,
                            MetricFamily distance) {
  const size_t dsub = CheckDivisible(data, codebooks);
  CheckCodebooks(codebooks, dsub);
  Array2D<uint32_t> codes(data.rows, codebooks.size());
  EncodeChecked(data, codebooks, dsub, Array2DView<uint32_t>(codes), distance);
  return codes;
}

}  // namespace

size_t PQCodewordCount(size_t pq_bits) {
  if (pq_bits < 1 || pq_bits > 16) LogAndThrowInvalid("pq_bits must be between 1 and 16.");
  return size_t{1} << pq_bits;
}

namespace cpu {

Array2D<uint32_t> EncodePQL2(const Array2D<float>& data, const std::vector<Codebook>& codebooks) {
  return EncodeNew(data, codebooks, MetricFamily::kSquaredL2);
}

Array2D<uint32_t> EncodePQCosine(const Array2D<float>& data,
                                 const std::vector<Codebook>& codebooks) {
  return EncodeNew(data, codebooks, MetricFamily::kCosine);
}

Array2D<uint32_t> EncodePQ(const Array2D<float>& data, const std::vector<Codebook>& codebooks,
                           DistanceMetric metric) {
  return FamilyOf(metric) == MetricFamily::kCosine ? EncodePQCosine(data, codebooks)
                                                    : EncodePQL2(data, codebooks);
}

void EncodePQIntoL2(const Array2D<float>& data, const std::vector<Codebook>& codebooks,
                    Array2DView<uint32_t> out) {
  EncodeInto(data, codebooks, out, MetricFamily::kSquaredL2);
}

void EncodePQIntoCosine(const Array2D<float>& data, const std::vector<Codebook>& codebooks,
                        Array2DView<uint32_t> out) {
  EncodeInto(data, codebooks, out, MetricFamily::kCosine);
}

}  // namespace cpu
}  // namespace nivora::internal::vector_index
