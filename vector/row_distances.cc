#include "vector/row_distances.h"

#include <armadillo>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

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

// out[i] from the dot products t[i] (t may be out itself).
NIVORA_MULTIVERSION
void SquaredL2Pass(const float* norms, float qq, size_t n, const float* t, float* out) {
  for (size_t i = 0; i < n; ++i) {
    const float v = (norms[i] + qq) - (t[i] + t[i]);
    out[i] = v > 0.0f ? v : 0.0f;  // NaN compares false and becomes 0
  }
}

NIVORA_MULTIVERSION
void CosinePass(const float* norms, size_t n, const float* t, float* out) {
  for (size_t i = 0; i < n; ++i) {
    const float length = norms[i] != 0.0f ? norms[i] : 1.0f;
    float v = 1.0f - t[i] / length;
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

// xx = x.x and xq = x.q of R consecutive decoded code rows, eight lanes per
// row and sum. Rows are decoded piece by piece into a small buffer (a plain
// loop the compiler vectorises), then summed over it; pieces are whole
// multiples of the lanes, so every row is summed in the same order whatever
// R is. Several rows at once keep independent sums in flight.
typedef float Floats8 __attribute__((vector_size(32)));

NIVORA_INLINE_INTO_CLONES float CombineLanes(const Floats8& v) {
  return ((v[0] + v[1]) + (v[2] + v[3])) + ((v[4] + v[5]) + (v[6] + v[7]));
}

template <size_t R, typename CodeT>
NIVORA_INLINE_INTO_CLONES void SQRowSums(const CodeT* __restrict c, const float* __restrict scale,
                                         const float* __restrict min, const float* __restrict q,
                                         size_t d, float* xx_out, float* xq_out) {
  constexpr size_t kPiece = 128;
  alignas(32) float x[R][kPiece];
  Floats8 xx[R] = {};
  Floats8 xq[R] = {};
  float sxx[R] = {}, sxq[R] = {};
  for (size_t base = 0; base < d; base += kPiece) {
    const size_t m = std::min(kPiece, d - base);
    for (size_t r = 0; r < R; ++r) {
      const CodeT* cr = c + r * d + base;
      for (size_t j = 0; j < m; ++j) {
        x[r][j] = std::fma(static_cast<float>(cr[j]), scale[base + j], min[base + j]);
      }
    }
    const float* qb = q + base;
    size_t i = 0;
    for (; i + 8 <= m; i += 8) {
      Floats8 qv;
      std::memcpy(&qv, qb + i, sizeof(qv));
      for (size_t r = 0; r < R; ++r) {
        Floats8 xv;
        std::memcpy(&xv, x[r] + i, sizeof(xv));
        xx[r] += xv * xv;
        xq[r] += xv * qv;
      }
    }
    for (; i < m; ++i) {  // the tail of the last piece
      for (size_t r = 0; r < R; ++r) {
        sxx[r] += x[r][i] * x[r][i];
        sxq[r] += x[r][i] * qb[i];
      }
    }
  }
  for (size_t r = 0; r < R; ++r) {
    xx_out[r] = CombineLanes(xx[r]) + sxx[r];
    xq_out[r] = CombineLanes(xq[r]) + sxq[r];
  }
}

// SQRowSums over n rows: four at a time, then one by one.
template <typename CodeT>
NIVORA_INLINE_INTO_CLONES void SQRowsSums(const CodeT* codes, size_t d, size_t n,
                                          const float* scale, const float* min, const float* q,
                                          float* xx, float* xq) {
  size_t r = 0;
  for (; r + 4 <= n; r += 4) SQRowSums<4>(codes + r * d, scale, min, q, d, xx + r, xq + r);
  for (; r < n; ++r) SQRowSums<1>(codes + r * d, scale, min, q, d, xx + r, xq + r);
}

template <typename CodeT>
NIVORA_INLINE_INTO_CLONES void SQSquaredL2Rows(const CodeT* codes, size_t d, size_t n,
                                               const float* scale, const float* min,
                                               const float* q, float qq, float* norms,
                                               float* out) {
  SQRowsSums(codes, d, n, scale, min, q, norms, out);
  for (size_t r = 0; r < n; ++r) {
    const float v = (norms[r] + qq) - (out[r] + out[r]);
    out[r] = v > 0.0f ? v : 0.0f;
  }
}

// Dot products with the unit query and squared lengths; the lengths are
// turned into norms (and the distances finished) by the caller.
template <typename CodeT>
NIVORA_INLINE_INTO_CLONES void SQCosineSums(const CodeT* codes, size_t d, size_t n,
                                            const float* scale, const float* min,
                                            const float* q_hat, float* squares, float* dots) {
  SQRowsSums(codes, d, n, scale, min, q_hat, squares, dots);
}

NIVORA_MULTIVERSION
void SQSquaredL2Rows8(const uint8_t* codes, size_t d, size_t n, const float* scale,
                      const float* min, const float* q, float qq, float* norms, float* out) {
  SQSquaredL2Rows(codes, d, n, scale, min, q, qq, norms, out);
}

NIVORA_MULTIVERSION
void SQSquaredL2Rows16(const uint16_t* codes, size_t d, size_t n, const float* scale,
                       const float* min, const float* q, float qq, float* norms, float* out) {
  SQSquaredL2Rows(codes, d, n, scale, min, q, qq, norms, out);
}

NIVORA_MULTIVERSION
void SQCosineSums8(const uint8_t* codes, size_t d, size_t n, const float* scale,
                   const float* min, const float* q_hat, float* squares, float* dots) {
  SQCosineSums(codes, d, n, scale, min, q_hat, squares, dots);
}

NIVORA_MULTIVERSION
void SQCosineSums16(const uint16_t* codes, size_t d, size_t n, const float* scale,
                    const float* min, const float* q_hat, float* squares, float* dots) {
  SQCosineSums(codes, d, n, scale, min, q_hat, squares, dots);
}

// Squared lengths become robust norms: a length that is 0 or not finite is
// recomputed with scaling from the decoded row, as RobustNorm does.
template <typename CodeT>
void FinishSQCosine(const CodeT* codes, size_t d, size_t n, const float* scale, const float* min,
                    float* norms, float* out) {
  for (size_t r = 0; r < n; ++r) {
    float length = std::sqrt(norms[r]);
    if (length == 0.0f || !std::isfinite(length)) {
      std::vector<float> x(d);
      for (size_t i = 0; i < d; ++i) {
        x[i] = std::fma(static_cast<float>(codes[r * d + i]), scale[i], min[i]);
      }
      length = RobustNorm(x.data(), d);
    }
    norms[r] = length;
  }
  CosinePass(norms, n, out, out);
}

// product = rows^T Q (n x u), written in place.
void BlockTimesQueries(const float* rows, size_t d, size_t n, const float* Q, size_t u,
                       float* product) {
  if (d == 0) {
    for (size_t i = 0; i < n * u; ++i) product[i] = 0.0f;
    return;
  }
  const arma::fmat X = ViewMatrix(rows, d, n);
  const arma::fmat Qm = ViewMatrix(Q, d, u);
  arma::fmat T(product, n, u, /*copy_aux_mem=*/false, /*strict=*/true);
  T = X.t() * Qm;
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
  SquaredL2Pass(norms, qq, n, out, out);
}

void BlockCosine(const float* rows, size_t d, size_t n, const float* q_hat, float* norms,
                 float* out) {
  if (n == 0) return;
  for (size_t i = 0; i < n; ++i) norms[i] = RobustNorm(rows + i * d, d);
  BlockTimesQuery(rows, d, n, q_hat, out);
  CosinePass(norms, n, out, out);
}

void SQBlockSquaredL2(const uint8_t* codes, size_t d, size_t n, const float* scale,
                      const float* min, const float* q, float qq, float* norms, float* out) {
  SQSquaredL2Rows8(codes, d, n, scale, min, q, qq, norms, out);
}

void SQBlockSquaredL2(const uint16_t* codes, size_t d, size_t n, const float* scale,
                      const float* min, const float* q, float qq, float* norms, float* out) {
  SQSquaredL2Rows16(codes, d, n, scale, min, q, qq, norms, out);
}

void SQBlockCosine(const uint8_t* codes, size_t d, size_t n, const float* scale, const float* min,
                   const float* q_hat, float* norms, float* out) {
  SQCosineSums8(codes, d, n, scale, min, q_hat, norms, out);
  FinishSQCosine(codes, d, n, scale, min, norms, out);
}

void SQBlockCosine(const uint16_t* codes, size_t d, size_t n, const float* scale,
                   const float* min, const float* q_hat, float* norms, float* out) {
  SQCosineSums16(codes, d, n, scale, min, q_hat, norms, out);
  FinishSQCosine(codes, d, n, scale, min, norms, out);
}

void BlockSquaredL2Many(const float* rows, size_t d, size_t n, const float* Q, const float* qq,
                        size_t u, float* norms, float* product, float* const* outs) {
  if (n == 0) return;
  for (size_t i = 0; i < n; ++i) norms[i] = SquaredNorm(rows + i * d, d);
  BlockTimesQueries(rows, d, n, Q, u, product);
  for (size_t j = 0; j < u; ++j) SquaredL2Pass(norms, qq[j], n, product + j * n, outs[j]);
}

void BlockCosineMany(const float* rows, size_t d, size_t n, const float* Q_hat, size_t u,
                     float* norms, float* product, float* const* outs) {
  if (n == 0) return;
  for (size_t i = 0; i < n; ++i) norms[i] = RobustNorm(rows + i * d, d);
  BlockTimesQueries(rows, d, n, Q_hat, u, product);
  for (size_t j = 0; j < u; ++j) CosinePass(norms, n, product + j * n, outs[j]);
}

}  // namespace nivora::internal::vector_index::cpu
