#include "vector/row_distances.h"

#include <armadillo>
#include <cmath>

#include "vector/codeword_search.h"
#include "vector/distance_kernels.h"
#include "vector/multiversion.h"

namespace nivora::internal::vector_index::cpu {
namespace {

// Eight independent lanes combined pairwise: a fixed order the compiler can
// keep in vector registers without reassociating.
NIVORA_INLINE_INTO_CLONES float CombineLanes(const float* l) {
  return ((l[0] + l[1]) + (l[2] + l[3])) + ((l[4] + l[5]) + (l[6] + l[7]));
}

NIVORA_MULTIVERSION
float SquaredL2Lanes(const float* q, const float* x, size_t d) {
  float lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  size_t i = 0;
  for (; i + 8 <= d; i += 8) {
    for (size_t l = 0; l < 8; ++l) {
      const float diff = q[i + l] - x[i + l];
      lanes[l] += diff * diff;
    }
  }
  float sum = CombineLanes(lanes);
  for (; i < d; ++i) {
    const float diff = q[i] - x[i];
    sum += diff * diff;
  }
  return sum;
}

// dot, qq and xx of one row in one pass.
NIVORA_MULTIVERSION
void CosineSums(const float* q, const float* x, size_t d, float* sums) {
  float dot[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  float qq[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  float xx[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  size_t i = 0;
  for (; i + 8 <= d; i += 8) {
    for (size_t l = 0; l < 8; ++l) {
      dot[l] += q[i + l] * x[i + l];
      qq[l] += q[i + l] * q[i + l];
      xx[l] += x[i + l] * x[i + l];
    }
  }
  float s_dot = CombineLanes(dot), s_qq = CombineLanes(qq), s_xx = CombineLanes(xx);
  for (; i < d; ++i) {
    s_dot += q[i] * x[i];
    s_qq += q[i] * q[i];
    s_xx += x[i] * x[i];
  }
  sums[0] = s_dot;
  sums[1] = s_qq;
  sums[2] = s_xx;
}

NIVORA_MULTIVERSION
void SquaredL2Pass(const float* norms, float qq, size_t n, float* out) {
  for (size_t i = 0; i < n; ++i) {
    const float v = (norms[i] + qq) - (out[i] + out[i]);
    out[i] = v > 0.0f ? v : 0.0f;  // NaN compares false and becomes 0
  }
}

NIVORA_MULTIVERSION
void CosinePass(const float* norms, size_t n, float* out) {
  for (size_t i = 0; i < n; ++i) {
    const float length = norms[i] != 0.0f ? norms[i] : 1.0f;
    float v = 1.0f - out[i] / length;
    v = v < 0.0f ? 0.0f : v;  // NaN compares false both times and stays
    out[i] = v > 2.0f ? 2.0f : v;
  }
}

// out = rows^T q over the d x n block, written in place.
void BlockTimesQuery(const float* rows, size_t d, size_t n, const float* q, float* out) {
  if (d == 0) {  // no storage to view: every product is the empty sum
    for (size_t i = 0; i < n; ++i) out[i] = 0.0f;
    return;
  }
  const arma::fmat X = ViewMatrix(rows, d, n);
  const arma::fvec qv(const_cast<float*>(q), d, /*copy_aux_mem=*/false, /*strict=*/true);
  arma::fvec t(out, n, /*copy_aux_mem=*/false, /*strict=*/true);
  t = X.t() * qv;
}

}  // namespace

float RowSquaredL2(const float* q, const float* x, size_t d) { return SquaredL2Lanes(q, x, d); }

float RowCosine(const float* q, const float* x, size_t d) {
  float sums[3];
  CosineSums(q, x, d, sums);
  const float den = std::sqrt(sums[1]) * std::sqrt(sums[2]);
  return den != 0.0f ? 1.0f - sums[0] / den : 1.0f;
}

float RobustNorm(const float* x, size_t n) {
  const float plain = std::sqrt(SquaredNorm(x, n));
  if (plain != 0.0f && std::isfinite(plain)) return plain;
  if (n == 0) return 0.0f;
  const arma::fvec v(const_cast<float*>(x), n, /*copy_aux_mem=*/false, /*strict=*/true);
  return arma::norm(v, 2);
}

void BlockSquaredL2(const float* rows, size_t d, size_t n, const float* q, float qq,
                    float* norms, float* out) {
  if (n == 0) return;
  for (size_t i = 0; i < n; ++i) norms[i] = SquaredNorm(rows + i * d, d);
  BlockTimesQuery(rows, d, n, q, out);
  SquaredL2Pass(norms, qq, n, out);
}

void BlockCosine(const float* rows, size_t d, size_t n, const float* q_hat, float* norms,
                 float* out) {
  if (n == 0) return;
  for (size_t i = 0; i < n; ++i) norms[i] = RobustNorm(rows + i * d, d);
  BlockTimesQuery(rows, d, n, q_hat, out);
  CosinePass(norms, n, out);
}

}  // namespace nivora::internal::vector_index::cpu
