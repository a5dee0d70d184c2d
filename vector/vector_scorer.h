// The Scorer (see ranking_driver.h) of the rankers whose payload rows are
// vectors: raw floats read in place (IVFFlat) or scalar-quantizer codes
// decoded on the fly (IVFSQ, 8 and 16 bits). Two policies are combined:
//  - a row source: how rows [first, first + count) become contiguous floats
//    (in place, or decoded into the query's scratch block);
//  - a metric policy: the row formula, the block kernel and the per-query
//    precomputation (q.q for squared L2, the unit query for cosine).
// Lists of at least BlockThreshold(dim) rows are block-scored, shorter
// lists row by row. Block scoring of one query is one BLAS matrix-vector
// product over rows read in place, or for codes one pass that decodes and
// scores together; several queries of a group share one matrix product over
// the rows (codes decoded once per kFlattenChunk rows). A row source with kRefusesNaN (IVFFlat) refuses a NaN in
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
#include "core/index_config.h"
#include "core/item_batch.h"
#include "encrypted_index/cryptography/secret.h"
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
  // Block distances of one query while decoding (no decoded block).
  void BlockSquaredL2(size_t first, size_t n, const float* q, float qq, float* norms,
                      float* out) const {
    cpu::SQBlockSquaredL2(base + first * dim, dim, n, scale, min, q, qq, norms, out);
  }
  void BlockCosine(size_t first, size_t n, const float* q_hat, float* norms, float* out) const {
    cpu::SQBlockCosine(base + first * dim, dim, n, scale, min, q_hat, norms, out);
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
  template <typename Source>
  static void SourceBlock(const Source& source, size_t first, size_t n, const float* q,
                          const State& s, float* norms, float* out) {
    source.BlockSquaredL2(first, n, q, s.qq, norms, out);
  }
  // What a matrix of queries holds per query, and the scalar beside it.
  static const float* BlockQuery(const float* q, const State&) { return q; }
  static float BlockScalar(const State& s) { return s.qq; }
  static void BlockMany(const float* rows, size_t dim, size_t n, const float* Q,
                        const float* scalars, size_t u, float* norms, float* product,
                        float* const* outs) {
    cpu::BlockSquaredL2Many(rows, dim, n, Q, scalars, u, norms, product, outs);
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
  template <typename Source>
  static void SourceBlock(const Source& source, size_t first, size_t n, const float*,
                          const State& s, float* norms, float* out) {
    source.BlockCosine(first, n, s.q_hat.data(), norms, out);
  }
  static const float* BlockQuery(const float*, const State& s) { return s.q_hat.data(); }
  static float BlockScalar(const State&) { return 0.0f; }
  static void BlockMany(const float* rows, size_t dim, size_t n, const float* Q,
                        const float* /*scalars*/, size_t u, float* norms, float* product,
                        float* const* outs) {
    cpu::BlockCosineMany(rows, dim, n, Q, u, norms, product, outs);
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
  // Buffers of one thread's scoring, reused from list to list. Decoded rows
  // are plaintext: their storage is wiped whenever it is given back (growth
  // or release), never per row.
  struct Scratch {
    nivora_encrypted_index::internal::cryptography::SecretVector<float>
        decoded;                 // decoded rows of one block (decoding sources)
    std::vector<float> norms;    // per-row norms of one block
    // Of ScoreListMany:
    std::vector<float> gathered;  // the group's block queries, d x u
    std::vector<float> scalars;   // their scalars
    std::vector<float> product;   // block rows x u dot products
    std::vector<float*> outs;     // per query: where the current block goes
  };
  struct Query {
    const float* q = nullptr;
    typename Metric::State state;
    bool q_has_nan = false;
    Scratch scratch;  // of the per-query and grouped paths (the first query of a group)
  };

  static constexpr bool kScoresMany = true;

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

  // The same scorer over rows held elsewhere: row 0 is rows[0] (a list's
  // rows decrypted into a buffer of `count` rows).
  VectorScorer OnRows(const uint8_t* rows, size_t /*count*/) const {
    VectorScorer moved = *this;
    moved.source_.base = reinterpret_cast<decltype(source_.base)>(rows);
    return moved;
  }

  void ScoreList(Query& query, size_t first, size_t count, float* out) const {
    ScoreListWith(query, query.scratch, first, count, out);
  }

  void ScoreBlock(Query& query, size_t first, size_t count, float* out) const {
    ScoreBlockWith(query, query.scratch, first, count, out);
  }

  // ScoreList for u queries of one group over the same list: outs[j]
  // receives query *qs[j]'s distances. A block-scored list is read (or
  // decoded) once and scored against all u queries by one matrix product.
  void ScoreListMany(Query* const* qs, size_t u, size_t first, size_t count,
                     float* const* outs) const {
    ScoreListManyWith(qs, u, qs[0]->scratch, first, count, outs);
  }

  // ScoreListMany with the caller's scratch: the queries are only read, so
  // several threads may score the same queries at once.
  template <typename QueryPtr>
  void ScoreListManyWith(const QueryPtr* qs, size_t u, Scratch& scratch, size_t first,
                         size_t count, float* const* outs) const {
    const size_t dim = source_.dim;
    if (u == 1 || count < block_ || dim == 0) {
      for (size_t j = 0; j < u; ++j) ScoreListWith(*qs[j], scratch, first, count, outs[j]);
      return;
    }
    scratch.gathered.resize(dim * u);
    scratch.scalars.resize(u);
    for (size_t j = 0; j < u; ++j) {
      const float* v = Metric::BlockQuery(qs[j]->q, qs[j]->state);
      std::copy(v, v + dim, scratch.gathered.data() + j * dim);
      scratch.scalars[j] = Metric::BlockScalar(qs[j]->state);
    }
    // Blocks of at most kFlattenChunk rows bound the scratch (and keep a
    // block cache-sized) however long the list is.
    const size_t step = kFlattenChunk;
    const size_t most = std::min(count, step);
    scratch.norms.resize(std::max(scratch.norms.size(), most));
    scratch.product.resize(std::max(scratch.product.size(), most * u));
    if constexpr (Source::kDecodes) {
      scratch.decoded.resize(std::max(scratch.decoded.size(), dim * most));
    }
    scratch.outs.resize(u);
    for (size_t done = 0; done < count; done += step) {
      const size_t n = std::min(step, count - done);
      const float* rows = source_.Rows(first + done, n, scratch.decoded.data());
      for (size_t j = 0; j < u; ++j) scratch.outs[j] = outs[j] + done;
      Metric::BlockMany(rows, dim, n, scratch.gathered.data(), scratch.scalars.data(), u,
                        scratch.norms.data(), scratch.product.data(), scratch.outs.data());
      if constexpr (Source::kRefusesNaN) {
        for (size_t j = 0; j < u; ++j) {
          CheckNaN(scratch.norms.data(), *qs[j], n, scratch.outs[j]);
        }
      }
    }
  }

 private:
  void ScoreListWith(const Query& query, Scratch& scratch, size_t first, size_t count,
                     float* out) const {
    if (count >= block_ && source_.dim != 0) {
      ScoreBlockWith(query, scratch, first, count, out);
      return;
    }
    const size_t dim = source_.dim;
    if constexpr (Source::kDecodes) scratch.decoded.resize(std::max(scratch.decoded.size(), dim));
    for (size_t i = 0; i < count; ++i) {
      const float* x = source_.Rows(first + i, 1, scratch.decoded.data());
      out[i] = Metric::Row(query.q, x, dim);
    }
  }

  void ScoreBlockWith(const Query& query, Scratch& scratch, size_t first, size_t count,
                      float* out) const {
    const size_t dim = source_.dim;
    scratch.norms.resize(std::max(scratch.norms.size(), count));
    if constexpr (Source::kDecodes) {
      // Codes are scored while they are decoded: no decoded block.
      Metric::SourceBlock(source_, first, count, query.q, query.state, scratch.norms.data(), out);
    } else {
      const float* rows = source_.Rows(first, count, nullptr);
      Metric::Block(rows, dim, count, query.q, query.state, scratch.norms.data(), out);
    }
    if constexpr (Source::kRefusesNaN) CheckNaN(scratch.norms.data(), query, count, out);
  }

  void CheckNaN(const float* norms, const Query& query, size_t n, const float* out) const {
    const auto is_nan = [](float v) { return std::isnan(v); };
    if (std::any_of(norms, norms + n, is_nan)) {
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
