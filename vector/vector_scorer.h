// The Scorer (see ranking_driver.h) of the rankers whose payload rows are
// vectors: raw floats read in place (IVFFlat) or scalar-quantizer codes
// decoded on the fly (IVFSQ, 8 and 16 bits). Two policies are combined:
//  - a row source: how rows [first, first + count) become contiguous floats
//    (in place, or decoded into the query's scratch block);
//  - a metric policy: the row formula, the block kernel and the per-query
//    precomputation (q.q for squared L2, the unit query for cosine).
// Lists of at least BlockThreshold(dim) rows are block-scored (one BLAS
// matrix-vector product per block of at most kFlattenChunk rows), shorter
// lists row by row. A row source with kRefusesNaN (IVFFlat) refuses a NaN in
// a block's rows, in the query or among the block's distances with
// std::runtime_error, logged at ERROR: "<name>: NaN detected in batch
// embeddings.", "... batch query embedding.", "... batch computed distances.".
//
// Header-only policies; every instance lives in one ranker's .cc.
#ifndef NIVORA_VECTOR_VECTOR_SCORER_H_
#define NIVORA_VECTOR_VECTOR_SCORER_H_

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "core/array2d.h"
#include "core/item_batch.h"
#include "vector/distance_kernels.h"
#include "vector/ranker_common.h"
#include "vector/ranking_driver.h"
#include "vector/row_distances.h"
#include "vector/sq_codec.h"
#include "vector/vector_errors.h"

namespace nivora::internal::vector_index {

// IVFFlat: float rows read where they lie.
struct FloatRowSource {
  static constexpr bool kDecodes = false;
  static constexpr bool kRefusesNaN = true;
  const float* base = nullptr;
  size_t dim = 0;
  const float* Rows(size_t first, size_t /*count*/, float* /*scratch*/) const {
    return base + first * dim;
  }
};

// IVFSQ: code rows decoded (code * scale + min) into the caller's scratch.
template <typename CodeT>
struct SQRowSource {
  static constexpr bool kDecodes = true;
  static constexpr bool kRefusesNaN = false;
  const CodeT* base = nullptr;
  size_t dim = 0;
  const float* scale = nullptr;
  const float* min = nullptr;
  const float* Rows(size_t first, size_t count, float* scratch) const {
    cpu::DecodeSQRows<CodeT>(base + first * dim, count, dim, scale, min, scratch);
    return scratch;
  }
};

struct SquaredL2Policy {
  struct State {
    float qq = 0.0f;
  };
  static State Prepare(const float* q, size_t dim) { return {cpu::SquaredNorm(q, dim)}; }
  static float Row(const float* q, const float* x, size_t dim) {
    return cpu::RowSquaredL2(q, x, dim);
  }
  static void Block(const float* rows, size_t dim, size_t n, const float* q, const State& s,
                    float* norms, float* out) {
    cpu::BlockSquaredL2(rows, dim, n, q, s.qq, norms, out);
  }
};

struct CosinePolicy {
  struct State {
    std::vector<float> q_hat;  // the query over its robust norm (or over 1 when 0)
  };
  static State Prepare(const float* q, size_t dim) {
    State s;
    const float length = cpu::RobustNorm(q, dim);
    const float divisor = length != 0.0f ? length : 1.0f;
    s.q_hat.resize(dim);
    for (size_t i = 0; i < dim; ++i) s.q_hat[i] = q[i] / divisor;
    return s;
  }
  static float Row(const float* q, const float* x, size_t dim) {
    return cpu::RowCosine(q, x, dim);
  }
  static void Block(const float* rows, size_t dim, size_t n, const float*, const State& s,
                    float* norms, float* out) {
    cpu::BlockCosine(rows, dim, n, s.q_hat.data(), norms, out);
  }
};

template <typename Metric>
struct MetricTag {
  using type = Metric;
};

// The frame of every scoring ranker's entry point: empty slots for nothing
// to rank (before the metric is looked at); k = min(top_k, candidates); the
// results built with k reserved per slot; then instance(MetricTag<Policy>,
// take_sqrt, k, results) for the metric's policy, or "Unsupported distance
// metric." (logged at ERROR, std::runtime_error) for another code.
template <typename Instance>
RankingResults RankByMetric(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                            const CentroidSelection& selection, Array2DView<float> queries,
                            uint32_t top_k, DistanceMetric metric, Instance&& instance) {
  if (NothingToRank(retrieved, selection, queries)) return RankingResults(selection.n_queries, 0);
  const uint32_t k = HeapCapacity(top_k, retrieved.matching_ids.size());
  RankingResults results(selection.n_queries, k);
  switch (metric) {
    case DistanceMetric::Cosine:
      instance(MetricTag<CosinePolicy>{}, false, k, results);
      return results;
    case DistanceMetric::Euclidean:
    case DistanceMetric::SquaredEuclidean:
      instance(MetricTag<SquaredL2Policy>{}, metric == DistanceMetric::Euclidean, k, results);
      return results;
  }
  LogAndThrowRuntime(kUnsupportedMetricMessage);
}

template <typename Source, typename Metric>
class VectorScorer {
 public:
  struct Query {
    const float* q = nullptr;
    typename Metric::State state;
    bool q_has_nan = false;
    std::vector<float> decoded;  // decoded rows of one block (decoding sources)
    std::vector<float> norms;    // per-row norms of one block
  };

  VectorScorer(Source source, Array2DView<float> queries, const char* name)
      : source_(source), queries_(queries), name_(name), block_(BlockThreshold(source.dim)) {}

  Query Prepare(size_t q) const {
    Query query;
    query.q = queries_.row(q);
    query.state = Metric::Prepare(query.q, source_.dim);
    if constexpr (Source::kRefusesNaN) {
      query.q_has_nan = std::any_of(query.q, query.q + source_.dim,
                                    [](float v) { return std::isnan(v); });
    }
    return query;
  }

  void ScoreList(Query& query, size_t first, size_t count, float* out) const {
    if (count >= block_ && source_.dim != 0) {
      ScoreBlock(query, first, count, out);
      return;
    }
    const size_t dim = source_.dim;
    if constexpr (Source::kDecodes) query.decoded.resize(std::max(query.decoded.size(), dim));
    for (size_t i = 0; i < count; ++i) {
      const float* x = source_.Rows(first + i, 1, query.decoded.data());
      out[i] = Metric::Row(query.q, x, dim);
    }
  }

  void ScoreBlock(Query& query, size_t first, size_t count, float* out) const {
    const size_t dim = source_.dim;
    // Decoded blocks are bounded so that the scratch stays cache-sized; rows
    // read in place need no bound.
    const size_t step = Source::kDecodes ? kFlattenChunk : std::max<size_t>(count, 1);
    query.norms.resize(std::max(query.norms.size(), std::min(count, step)));
    if constexpr (Source::kDecodes) {
      query.decoded.resize(std::max(query.decoded.size(), dim * std::min(count, step)));
    }
    for (size_t done = 0; done < count; done += step) {
      const size_t n = std::min(step, count - done);
      const float* rows = source_.Rows(first + done, n, query.decoded.data());
      Metric::Block(rows, dim, n, query.q, query.state, query.norms.data(), out + done);
      if constexpr (Source::kRefusesNaN) CheckNaN(query, n, out + done);
    }
  }

 private:
  void CheckNaN(const Query& query, size_t n, const float* out) const {
    const auto is_nan = [](float v) { return std::isnan(v); };
    if (std::any_of(query.norms.data(), query.norms.data() + n, is_nan)) {
      LogAndThrowRuntime(std::string(name_) + ": NaN detected in batch embeddings.");
    }
    if (query.q_has_nan) {
      LogAndThrowRuntime(std::string(name_) + ": NaN detected in batch query embedding.");
    }
    if (std::any_of(out, out + n, is_nan)) {
      LogAndThrowRuntime(std::string(name_) + ": NaN detected in batch computed distances.");
    }
  }

  Source source_;
  Array2DView<float> queries_;
  const char* name_;
  size_t block_;
};

}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_VECTOR_SCORER_H_
