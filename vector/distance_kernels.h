// Distance kernels over sets of vectors held as column-major single-precision
// matrices, one vector per column (Armadillo on a BLAS). Each kernel is one
// matrix product (or matrix-vector product), column norms and one
// element-wise final pass; none takes a square root. In the pairwise kernels
// row i of the result belongs to column y_i of Y and column j to column x_j
// of X (X is d x m, Y is d x n, the result n x m).
//
// Final passes: "max(v, 0)" turns negatives and NaN into 0; "clamp [0, 2]"
// turns negatives into 0 and values above 2 into 2, keeping NaN.
//
// The kernels hold no state, take no locks and log nothing: safe to call
// from many threads at once on separate arguments. Arguments are read only;
// every result is a fresh matrix. Shape mismatches raise Armadillo's
// std::logic_error; a failed allocation raises std::bad_alloc.
#ifndef NIVORA_VECTOR_DISTANCE_KERNELS_H_
#define NIVORA_VECTOR_DISTANCE_KERNELS_H_

#include <armadillo>
#include <cstddef>

namespace nivora::internal::vector_index::cpu {

// (-2 y_i.x_j + |y_i|^2) + |x_j|^2, no final pass (may be slightly negative).
arma::fmat PairwiseSquaredL2(const arma::fmat& X, const arma::fmat& Y);

// PairwiseSquaredL2, then max(v, 0).
arma::fmat PairwiseSquaredL2Clamped(const arma::fmat& X, const arma::fmat& Y);

// (-2 y_i.x_j + w_i) + |x_j|^2, then max(v, 0); w holds the caller's kept
// |y_i|^2 and must be n x 1.
arma::fmat PairwiseSquaredL2WithNorms(const arma::fmat& X, const arma::fmat& Y,
                                      const arma::fmat& w);

// 1 - yhat_i.xhat_j, no final pass. A zero column stays zero (distance 1).
arma::fmat PairwiseCosine(const arma::fmat& X, const arma::fmat& Y);

// PairwiseCosine, then clamp [0, 2].
arma::fmat PairwiseCosineClamped(const arma::fmat& X, const arma::fmat& Y);

// (|x_i|^2 + q.q) - 2 x_i.q per column of X, then max(v, 0); m values.
arma::fvec SquaredL2ToQuery(const arma::fmat& X, const arma::fvec& q);

// 1 - xhat_i.(q / |q|) per column of X (|q| taken as 1 when 0), then
// clamp [0, 2]; m values. A zero query gives 1 everywhere.
arma::fvec CosineToQuery(const arma::fmat& X, const arma::fvec& q);

// Building blocks of the kernels, for callers that reuse one side across many
// calls (k-means++ seeding). Results equal those the kernels compute inside.

// Squared Euclidean length of every column, summed in a fixed order.
arma::frowvec ColumnSquaredNorms(const arma::fmat& X);

// Squared Euclidean length of n contiguous values, in the same order as
// ColumnSquaredNorms.
float SquaredNorm(const float* x, size_t n);

// Every column divided by its robust 2-norm; zero columns unchanged.
arma::fmat NormaliseColumns(const arma::fmat& X);

// SquaredL2ToQuery with s = ColumnSquaredNorms(X) supplied by the caller
// (must hold one value per column), written into out (whose storage is
// reused when it already has X.n_cols elements).
void SquaredL2ToQueryWithNorms(const arma::fmat& X, const arma::frowvec& s, const arma::fvec& q,
                               arma::fvec& out);

// CosineToQuery with X_hat = NormaliseColumns(X) supplied by the caller,
// written into out as above.
void CosineToQueryNormalised(const arma::fmat& X_hat, const arma::fvec& q, arma::fvec& out);

}  // namespace nivora::internal::vector_index::cpu

#endif  // NIVORA_VECTOR_DISTANCE_KERNELS_H_
