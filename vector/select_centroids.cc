#include "vector/select_centroids.h"

#include <algorithm>
#include <armadillo>
#include <cmath>
#include <limits>
#include <numeric>
#include <type_traits>

#include "core/parallel_for.h"
#include "vector/adaptive_probes.h"
#include "vector/codeword_search.h"
#include "vector/distance_kernels.h"
#include "vector/metric_family.h"
#include "vector/vector_errors.h"

namespace nivora::internal::vector_index::cpu {

static_assert(std::is_same_v<decltype(&SelectCentroids), SelectCentroidsFn>);
static_assert(std::is_same_v<decltype(&SelectCentroidsIVF), SelectCentroidsFn>);

namespace {

// What the two entry points differ in.
struct Variant {
  MetricFamily family;
  bool take_root;       // IVF under Euclidean: distances are square roots
  bool with_distances;  // IVF: fill query_distances
};

// The probe counts of one call.
struct Probes {
  size_t n = 0;        // lists per query
  size_t widened = 0;  // n + floor(n x greedy), capped at the number of lists
  float greedy = 0.0f;
};

// n + floor(n x g) with the product in single precision, saturating; a
// negative or NaN factor widens nothing.
size_t Widen(size_t n, float greedy) {
  const float extra = static_cast<float>(n) * greedy;
  if (!(extra > 0.0f)) return n;
  constexpr float kLimit = 1e18f;
  return n + (extra >= kLimit ? static_cast<size_t>(kLimit) : static_cast<size_t>(extra));
}

Probes CapProbes(size_t n, float greedy, size_t n_lists) {
  Probes p{n, std::min(Widen(n, greedy), n_lists), greedy};
  if (p.n >= n_lists) {
    p.n = n_lists;
    p.greedy = 0.0f;
  }
  return p;
}

float OrderKey(float d) { return std::isnan(d) ? std::numeric_limits<float>::infinity() : d; }

// The m nearest of n distances, nearest first; ties go to the lower index.
// A few of many (a query's probes among the lists) through a bounded heap
// in one pass; else by sorting an index.
void Nearest(const float* d, size_t n, size_t m, uint32_t* out) {
  if (m == 0) return;
  if (m * 8 <= n) {
    struct Entry {
      float key;
      uint32_t index;
    };
    // Max-heap by (key, index): the farthest kept entry on top. Indices
    // arrive ascending, so an equal key never displaces a kept entry.
    const auto farther = [](const Entry& a, const Entry& b) {
      return a.key < b.key || (a.key == b.key && a.index < b.index);
    };
    std::vector<Entry> heap;
    heap.reserve(m);
    for (size_t i = 0; i < n; ++i) {
      const float key = OrderKey(d[i]);
      const auto index = static_cast<uint32_t>(i);  // list positions fit 32 bits
      if (heap.size() < m) {
        heap.push_back({key, index});
        std::push_heap(heap.begin(), heap.end(), farther);
      } else if (key < heap.front().key) {
        std::pop_heap(heap.begin(), heap.end(), farther);
        heap.back() = {key, index};
        std::push_heap(heap.begin(), heap.end(), farther);
      }
    }
    std::sort_heap(heap.begin(), heap.end(), farther);
    for (size_t j = 0; j < m; ++j) out[j] = heap[j].index;
    return;
  }
  std::vector<uint32_t> index(n);
  std::iota(index.begin(), index.end(), 0u);
  std::partial_sort(index.begin(), index.begin() + m, index.end(), [&](uint32_t a, uint32_t b) {
    const float da = OrderKey(d[a]), db = OrderKey(d[b]);
    return da < db || (da == db && a < b);
  });
  std::copy(index.begin(), index.begin() + m, out);
}

// Column-major d x n over row-major rows; an empty matrix when d is 0.
arma::fmat ColumnsOf(const float* rows, size_t d, size_t n) {
  return d == 0 ? arma::fmat(0, n, arma::fill::zeros) : ViewMatrix(rows, d, n);
}

// Queries per block of the distance product of a batch.
constexpr size_t kQueryBlock = 32;

// n_lists x n_queries: column q holds query q's distance to every centre. A
// large batch is cut into blocks of queries, each one product on one thread
// of a team (the BLAS below stays single-threaded).
arma::fmat Distances(const Array2D<float>& queries, const float* centres, size_t n_lists,
                     const Variant& v) {
  const size_t d = queries.cols;
  const size_t n = queries.rows;
  const arma::fmat Y = ColumnsOf(centres, d, n_lists);
  auto block_distances = [&](size_t first, size_t count) {
    const arma::fmat X = ColumnsOf(queries.row(first), d, count);
    arma::fmat D = v.family == MetricFamily::kCosine ? PairwiseCosine(X, Y) : PairwiseSquaredL2(X, Y);
    if (v.take_root) D.transform([](float x) { return std::sqrt(x > 0.0f ? x : 0.0f); });
    return D;
  };
  const size_t blocks = (n + kQueryBlock - 1) / kQueryBlock;
  if (!WorthParallel(n * n_lists * std::max<size_t>(d, 1) / 16)) {
    // A small product (one query's) on this thread: a team of the BLAS
    // would cost more than the product.
    const parallel_detail::SerialLoop serial;
    return block_distances(0, n);
  }
  if (blocks < 2) return block_distances(0, n);
  arma::fmat D(n_lists, n, arma::fill::none);
  ParallelForDynamic(blocks, [&](size_t b) {
    const size_t first = b * kQueryBlock;
    const size_t count = std::min(kQueryBlock, n - first);
    D.cols(first, first + count - 1) = block_distances(first, count);
  });
  return D;
}

bool WorthParallelLoop(size_t n_queries, size_t n_lists) {
  return n_queries > 1 && WorthParallel(n_queries * n_lists);
}

// Fills query_lists (and query_distances) with P columns: row q takes the P
// nearest of the n candidates in column q of D, named by their index.
void ChooseNearest(const arma::fmat& D, size_t P, const Variant& v, CentroidSelection& sel) {
  const size_t n = D.n_rows;
  ParallelForStatic(sel.n_queries, WorthParallelLoop(sel.n_queries, n) ? 0 : sel.n_queries,
                    [&](size_t q) {
                      uint32_t* row = sel.query_lists.row(q);
                      Nearest(D.colptr(q), n, P, row);
                      if (v.with_distances) {
                        for (size_t j = 0; j < P; ++j) {
                          sel.query_distances.row(q)[j] = D(row[j], q);
                        }
                      }
                    });
}

void SelectOne(const arma::fmat& D, size_t P, const Variant& v, CentroidSelection& sel) {
  ChooseNearest(D, P, v, sel);
  sel.probed_lists.assign(sel.query_lists.row(0), sel.query_lists.row(0) + P);
  for (size_t j = 0; j < P; ++j) sel.query_lists.row(0)[j] = static_cast<uint32_t>(j);
}

void SelectMany(const Array2D<float>& queries, const Array2D<float>& centres,
                const arma::fmat& D, const Probes& probes, const Variant& v,
                CentroidSelection& sel) {
  const size_t n_lists = D.n_rows;
  ChooseNearest(D, probes.n, v, sel);
  // The union of the chosen lists, ascending, and each list's position in it.
  std::vector<uint32_t> position(n_lists, 0);
  std::vector<char> chosen(n_lists, 0);
  for (size_t q = 0; q < sel.n_queries; ++q) {
    for (size_t j = 0; j < probes.n; ++j) chosen[sel.query_lists.row(q)[j]] = 1;
  }
  for (size_t i = 0; i < n_lists; ++i) {
    if (chosen[i]) {
      position[i] = static_cast<uint32_t>(sel.probed_lists.size());
      sel.probed_lists.push_back(static_cast<uint32_t>(i));
    }
  }
  if (probes.greedy == 0.0f) {
    for (size_t q = 0; q < sel.n_queries; ++q) {
      for (size_t j = 0; j < probes.n; ++j) {
        sel.query_lists.row(q)[j] = position[sel.query_lists.row(q)[j]];
      }
    }
    return;
  }
  // Greedy widening: every query chooses again among the union's centres.
  const size_t U = sel.probed_lists.size();
  const size_t P = std::min(probes.widened, U);
  Array2D<float> gathered(U, centres.cols);
  for (size_t u = 0; u < U; ++u) {
    std::copy(centres.row(sel.probed_lists[u]), centres.row(sel.probed_lists[u]) + centres.cols,
              gathered.row(u));
  }
  const arma::fmat DU = Distances(queries, gathered.data, U, v);
  sel.query_lists = Array2D<uint32_t>(sel.n_queries, P);
  if (v.with_distances) sel.query_distances = Array2D<float>(sel.n_queries, P);
  ChooseNearest(DU, P, v, sel);
}

CentroidSelection Select(const Array2D<float>& queries, const QuantizerSet& set, size_t n_probes,
                         size_t top_k, const std::vector<uint32_t>& list_sizes,
                         uint64_t total_items, float greedy_factor, double target_recall,
                         const Variant& v) {
  if (queries.rows == 0) LogAndThrowInvalid("No query embeddings provided.");
  if (top_k > std::numeric_limits<uint32_t>::max()) {
    LogAndThrowInvalid("top_k must not exceed 4294967295.");
  }
  CentroidSelection sel;
  sel.n_queries = queries.rows;
  const Array2D<float>* centres = set.centroids.empty() ? nullptr : &set.centroids[0].centroids;
  const size_t n_lists = centres != nullptr ? centres->rows : 0;
  if (n_lists != 0 && centres->cols != queries.cols) {
    LogAndThrowInvalid("Query embedding dimension does not match centroid dimension.");
  }
  Probes probes = CapProbes(n_probes, greedy_factor, n_lists);
  if (n_lists != 0 && top_k != 0 && probes.n == 0 && total_items != 0 && !list_sizes.empty()) {
    const AdaptiveChoice choice = ChooseAdaptiveProbes(queries.row(0), queries.cols, *centres,
                                                       top_k, list_sizes, total_items,
                                                       target_recall);
    sel.n_probes = choice.n_probes;
    sel.difficulty = choice.difficulty;
    sel.budget = choice.budget;
    probes = CapProbes(sel.n_probes, greedy_factor, n_lists);
  }
  sel.query_lists = Array2D<uint32_t>(sel.n_queries, probes.n);
  if (v.with_distances) sel.query_distances = Array2D<float>(sel.n_queries, probes.n);
  if (probes.n == 0) return sel;  // nothing to probe
  const arma::fmat D = Distances(queries, centres->data, n_lists, v);
  if (sel.n_queries == 1) {
    SelectOne(D, probes.n, v, sel);
  } else {
    SelectMany(queries, *centres, D, probes, v, sel);
  }
  return sel;
}

}  // namespace

CentroidSelection SelectCentroids(const Array2D<float>& queries, const QuantizerSet& set,
                                  size_t n_probes, DistanceMetric metric, size_t top_k,
                                  const std::vector<uint32_t>& list_sizes, uint64_t total_items,
                                  float greedy_factor, double target_recall) {
  const Variant v{FamilyOf(metric), false, false};
  return Select(queries, set, n_probes, top_k, list_sizes, total_items, greedy_factor,
                target_recall, v);
}

CentroidSelection SelectCentroidsIVF(const Array2D<float>& queries, const QuantizerSet& set,
                                     size_t n_probes, DistanceMetric metric, size_t top_k,
                                     const std::vector<uint32_t>& list_sizes,
                                     uint64_t total_items, float greedy_factor,
                                     double target_recall) {
  const Variant v{FamilyOf(metric), metric == DistanceMetric::Euclidean, true};
  return Select(queries, set, n_probes, top_k, list_sizes, total_items, greedy_factor,
                target_recall, v);
}

}  // namespace nivora::internal::vector_index::cpu
