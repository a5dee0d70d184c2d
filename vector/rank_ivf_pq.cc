#include "vector/rank_ivf_pq.h"

#include <type_traits>

#include "core/item_batch.h"
#include "vector/ranker_common.h"
#include "vector/vector_scorer.h"

namespace nivora::internal::vector_index::cpu {

static_assert(std::is_same_v<decltype(&RankIVFPQ), RankIVFPQFn>);

namespace {

constexpr char kName[] = "RankIVFPQMetric";

std::string EndMessage(uint64_t /*start*/, uint64_t end, size_t rows) {
  return std::string(kName) + ": end_index (" + std::to_string(end) + ") > pq_embeddings.rows() (" +
         std::to_string(rows) + ")";
}

// The shape every codebook must share: M subquantizers of K codewords of
// width w.
struct PQShape {
  size_t m = 0;
  size_t k = 0;
  size_t w = 0;
};

void CheckCodes(Array2DView<uint32_t> codes, const PQShape& shape);

// The instance's checks; every code is verified once here so that the
// scoring loops index codebooks and tables without bounds tests.
PQShape CheckedShape(Array2DView<uint32_t> codes, Array2DView<float> queries,
                     const std::vector<Codebook>& books) {
  if (books.empty()) LogAndThrowInvalid(std::string(kName) + ": no PQ codebooks");
  PQShape shape{books.size(), books[0].centroids.rows, books[0].centroids.cols};
  if (queries.cols != shape.m * shape.w) {
    LogAndThrowInvalid("Query embedding dimension does not match product quantizer.",
                       "Query embedding dimension does not match product quantizer");
  }
  for (const Codebook& book : books) {
    if (book.centroids.rows != shape.k || book.centroids.cols != shape.w ||
        (book.centroids.size() != 0 && book.centroids.data == nullptr)) {
      LogAndThrowInvalid(std::string(kName) + ": every PQ codebook must hold " +
                         std::to_string(shape.k) + " x " + std::to_string(shape.w) +
                         " codewords");
    }
  }
  if (codes.cols != shape.m) {
    LogAndThrowInvalid(std::string(kName) + ": PQ code rows hold " + std::to_string(codes.cols) +
                       " codes, expected " + std::to_string(shape.m));
  }
  CheckCodes(codes, shape);
  return shape;
}

void CheckCodes(Array2DView<uint32_t> codes, const PQShape& shape) {
  for (size_t r = 0; r < codes.rows; ++r) {
    const uint32_t* row = codes.row(r);
    for (size_t s = 0; s < shape.m; ++s) {
      if (row[s] >= shape.k) {
        LogAndThrowInvalid(std::string(kName) + ": PQ code " + std::to_string(row[s]) +
                           " at row " + std::to_string(r) + " is not below the codeword count " +
                           std::to_string(shape.k));
      }
    }
  }
}

template <typename Metric>
class PQScorer {
 public:
  struct Query {
    const float* q = nullptr;
    std::vector<float> tables;  // M x K sub-distances, when tables are used
  };
  struct Scratch {};

  // Table lookups gain nothing from scoring queries together.
  static constexpr bool kScoresMany = false;

  PQScorer(Array2DView<uint32_t> codes, const std::vector<Codebook>& books, PQShape shape,
           Array2DView<float> queries, bool use_tables)
      : codes_(codes), books_(books), shape_(shape), queries_(queries), use_tables_(use_tables) {}

  Query Prepare(size_t q) const {
    Query query;
    query.q = queries_.row(q);
    if (!use_tables_) return query;
    query.tables.resize(shape_.m * shape_.k);
    for (size_t s = 0; s < shape_.m; ++s) {
      const float* u = query.q + s * shape_.w;
      float* table = query.tables.data() + s * shape_.k;
      for (size_t j = 0; j < shape_.k; ++j) table[j] = SubDistance(s, u, j);
    }
    return query;
  }

  // Codes read where the list-major path decrypted them, checked first.
  PQScorer OnRows(const uint8_t* rows, size_t count) const {
    PQScorer moved = *this;
    moved.codes_ = Array2DView<uint32_t>(reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(rows)),
                                         count, codes_.cols);
    CheckCodes(moved.codes_, shape_);
    return moved;
  }

  void ScoreListManyWith(const Query* const* qs, size_t u, Scratch& /*scratch*/, size_t first,
                         size_t count, float* const* outs) const {
    for (size_t j = 0; j < u; ++j) ScoreList(*qs[j], first, count, outs[j]);
  }

  void ScoreList(const Query& query, size_t first, size_t count, float* out) const {
    for (size_t i = 0; i < count; ++i) {
      const uint32_t* code = codes_.row(first + i);
      float sum = 0.0f;
      if (use_tables_) {
        const float* tables = query.tables.data();
        for (size_t s = 0; s < shape_.m; ++s) sum += tables[s * shape_.k + code[s]];
      } else {
        for (size_t s = 0; s < shape_.m; ++s) {
          sum += SubDistance(s, query.q + s * shape_.w, code[s]);
        }
      }
      out[i] = sum;
    }
  }

  // PQ has no block kernel: the flattened path scores with its tables.
  void ScoreBlock(const Query& query, size_t first, size_t count, float* out) const {
    ScoreList(query, first, count, out);
  }

 private:
  float SubDistance(size_t s, const float* u, size_t j) const {
    return Metric::Row(u, books_[s].centroids.row(j), shape_.w);
  }

  Array2DView<uint32_t> codes_;
  const std::vector<Codebook>& books_;
  PQShape shape_;
  Array2DView<float> queries_;
  bool use_tables_;
};

template <typename Metric>
void RankIVFPQMetric(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                     const std::vector<std::string>& metadata, const CentroidSelection& selection,
                     Array2DView<float> queries, const std::vector<Codebook>& books, uint32_t k,
                     const std::vector<ItemFields>& include, bool take_sqrt,
                     RankingResults& results) {
  const Array2DView<uint32_t> codes = view_as<uint32_t>(Array2DView<uint8_t>(retrieved.payloads));
  const PQShape shape = CheckedShape(codes, queries, books);
  const RankingCall call = MakeRankingCall(kName, retrieved, metadata, selection, queries,
                                           include, k, take_sqrt, &EndMessage);
  const bool tables = retrieved.matching_ids.size() >= shape.k || UseFlattenedPath(call);
  const PQScorer<Metric> scorer(codes, books, shape, queries, tables);
  RankCandidates(call, scorer, results);
}

}  // namespace

RankingResults RankIVFPQ(const nivora_encrypted_index::RetrieveNeighborsResult& retrieved,
                         const std::vector<std::string>& metadata,
                         const CentroidSelection& selection, Array2DView<float> queries,
                         const std::vector<Codebook>& pq_codebooks, uint32_t top_k,
                         DistanceMetric metric, const std::vector<ItemFields>& include) {
  return RankByMetric(retrieved, selection, queries, top_k, metric,
                      [&](auto tag, bool take_sqrt, uint32_t k, RankingResults& results) {
                        RankIVFPQMetric<typename decltype(tag)::type>(
                            retrieved, metadata, selection, queries, pq_codebooks, k, include,
                            take_sqrt, results);
                      });
}

}  // namespace nivora::internal::vector_index::cpu
