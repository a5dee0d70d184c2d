#include "vector/distance_kernels.h"

#include "vector/blas_threads.h"
#include "vector/multiversion.h"

namespace nivora::internal::vector_index::cpu {
namespace {

// Eight independent lanes, combined pairwise: a fixed order that the
// compiler can keep in one vector register without reassociating.
NIVORA_INLINE_INTO_CLONES float SquaredNormLanes(const float* x, size_t n) {
  float lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (size_t l = 0; l < 8; ++l) lanes[l] += x[i + l] * x[i + l];
  }
  float sum = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) +
              ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
  for (; i < n; ++i) sum += x[i] * x[i];
  return sum;
}

// maxNum(v, 0): NaN compares false and becomes 0.
NIVORA_INLINE_INTO_CLONES float MaxZero(float v) { return v > 0.0f ? v : 0.0f; }

// Below 0 -> 0, above 2 -> 2; NaN compares false both times and stays.
NIVORA_INLINE_INTO_CLONES float ClampZeroTwo(float v) {
  v = v < 0.0f ? 0.0f : v;
  return v > 2.0f ? 2.0f : v;
}

// D (n x m, holding y_i.x_j) becomes (-2 D + b_i) + a_j, optionally max(v, 0).
NIVORA_MULTIVERSION
void SquaredL2Pass(float* D, size_t n, size_t m, const float* b, const float* a, bool clamp) {
  for (size_t j = 0; j < m; ++j) {
    float* col = D + j * n;
    const float aj = a[j];
    if (clamp) {
      for (size_t i = 0; i < n; ++i) col[i] = MaxZero((-2.0f * col[i] + b[i]) + aj);
    } else {
      for (size_t i = 0; i < n; ++i) col[i] = (-2.0f * col[i] + b[i]) + aj;
    }
  }
}

// D (holding similarities) becomes 1 - D, optionally clamped to [0, 2].
NIVORA_MULTIVERSION
void CosinePass(float* D, size_t count, bool clamp) {
  if (clamp) {
    for (size_t i = 0; i < count; ++i) D[i] = ClampZeroTwo(1.0f - D[i]);
  } else {
    for (size_t i = 0; i < count; ++i) D[i] = 1.0f - D[i];
  }
}

NIVORA_MULTIVERSION
void ColumnSquaredNormsInto(const float* X, size_t d, size_t m, float* out) {
  for (size_t j = 0; j < m; ++j) out[j] = SquaredNormLanes(X + j * d, d);
}

arma::fmat SquaredL2(const arma::fmat& X, const arma::fmat& Y, bool clamp) {
  const arma::frowvec a = ColumnSquaredNorms(X);
  const arma::frowvec b = ColumnSquaredNorms(Y);
  arma::fmat D = Y.t() * X;
  SquaredL2Pass(D.memptr(), D.n_rows, D.n_cols, b.memptr(), a.memptr(), clamp);
  return D;
}

arma::fmat Cosine(const arma::fmat& X, const arma::fmat& Y, bool clamp) {
  arma::fmat D = NormaliseColumns(Y).t() * NormaliseColumns(X);
  CosinePass(D.memptr(), D.n_elem, clamp);
  return D;
}

}  // namespace

float SquaredNorm(const float* x, size_t n) { return SquaredNormLanes(x, n); }

arma::frowvec ColumnSquaredNorms(const arma::fmat& X) {
  arma::frowvec out(X.n_cols);
  ColumnSquaredNormsInto(X.memptr(), X.n_rows, X.n_cols, out.memptr());
  return out;
}

arma::fmat NormaliseColumns(const arma::fmat& X) { return arma::normalise(X, 2, 0); }

arma::fmat PairwiseSquaredL2(const arma::fmat& X, const arma::fmat& Y) {
  return SquaredL2(X, Y, false);
}

arma::fmat PairwiseSquaredL2Clamped(const arma::fmat& X, const arma::fmat& Y) {
  return SquaredL2(X, Y, true);
}

arma::fmat PairwiseSquaredL2WithNorms(const arma::fmat& X, const arma::fmat& Y,
                                      const arma::fmat& w) {
  const arma::frowvec a = ColumnSquaredNorms(X);
  arma::fmat D = Y.t() * X;
  arma::arma_assert_same_size(D.n_rows, arma::uword(1), w.n_rows, w.n_cols, "addition");
  SquaredL2Pass(D.memptr(), D.n_rows, D.n_cols, w.memptr(), a.memptr(), true);
  return D;
}

arma::fmat PairwiseCosine(const arma::fmat& X, const arma::fmat& Y) {
  return Cosine(X, Y, false);
}

arma::fmat PairwiseCosineClamped(const arma::fmat& X, const arma::fmat& Y) {
  return Cosine(X, Y, true);
}

void SquaredL2ToQueryWithNorms(const arma::fmat& X, const arma::frowvec& s, const arma::fvec& q,
                               arma::fvec& out) {
  const float qq = SquaredNorm(q.memptr(), q.n_elem);
  out = X.t() * q;
  arma::arma_assert_same_size(s.n_elem, arma::uword(1), out.n_elem, arma::uword(1),
                              "subtraction");
  const float* sp = s.memptr();
  float* t = out.memptr();
  for (size_t i = 0; i < out.n_elem; ++i) t[i] = MaxZero((sp[i] + qq) - (t[i] + t[i]));
}

arma::fvec SquaredL2ToQuery(const arma::fmat& X, const arma::fvec& q) {
  arma::fvec out;
  SquaredL2ToQueryWithNorms(X, ColumnSquaredNorms(X), q, out);
  return out;
}

void CosineToQueryNormalised(const arma::fmat& X_hat, const arma::fvec& q, arma::fvec& out) {
  const float length = arma::norm(q, 2);
  const arma::fvec q_hat = q / (length != 0.0f ? length : 1.0f);
  out = X_hat.t() * q_hat;
  CosinePass(out.memptr(), out.n_elem, true);
}

arma::fvec CosineToQuery(const arma::fmat& X, const arma::fvec& q) {
  arma::fvec out;
  CosineToQueryNormalised(NormaliseColumns(X), q, out);
  return out;
}

}  // namespace nivora::internal::vector_index::cpu

namespace {
// The BLAS is held to one thread as soon as the kernels are loaded.
[[maybe_unused]] const bool kBlasThreadsHeld = (nivora::SetBlasThreads(), true);
}  // namespace
