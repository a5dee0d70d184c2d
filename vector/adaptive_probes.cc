#include "vector/adaptive_probes.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace nivora::internal::vector_index::cpu {
namespace {

// NaN sorts as +infinity, so orderings over distances stay strict.
float OrderKey(float d) { return std::isnan(d) ? std::numeric_limits<float>::infinity() : d; }

// min(0.15 x sigma / mean, 0.3) over the non-zero sizes; 0 when none.
double SizeSpread(const std::vector<uint32_t>& list_sizes) {
  size_t nz = 0;
  double sum = 0.0;
  for (uint32_t s : list_sizes) {
    if (s != 0) {
      ++nz;
      sum += s;
    }
  }
  if (nz == 0 || sum == 0.0) return 0.0;
  const double mean = sum / static_cast<double>(nz);
  double squares = 0.0;
  for (uint32_t s : list_sizes) {
    if (s != 0) squares += (s - mean) * (s - mean);
  }
  const double sigma = std::sqrt(squares / static_cast<double>(nz));
  return std::min(0.15 * sigma / mean, 0.3);
}

}  // namespace

std::vector<float> QueryCentroidDistances(const float* query, size_t dim,
                                          const Array2D<float>& centres) {
  std::vector<float> out(centres.rows);
  float qq = 0.0f;
  for (size_t j = 0; j < dim; ++j) qq += query[j] * query[j];
  for (size_t i = 0; i < centres.rows; ++i) {
    const float* c = centres.row(i);
    float cc = 0.0f, qc = 0.0f;
    for (size_t j = 0; j < dim; ++j) {
      cc += c[j] * c[j];
      qc += query[j] * c[j];
    }
    out[i] = std::sqrt(std::max(qq + cc - 2.0f * qc, 0.0f));
  }
  return out;
}

double AdaptiveBaseBudget(size_t top_k, const std::vector<uint32_t>& list_sizes,
                          size_t total_items, size_t n_lists, double target_recall) {
  const double f = target_recall >= 0.99 ? 75.0 : 50.0;
  const double k = static_cast<double>(top_k);
  double b = (static_cast<double>(n_lists) / std::sqrt(static_cast<double>(total_items))) * f *
             k * (1.0 + SizeSpread(list_sizes));
  b = std::max(b, 2.0 * k);
  return std::min(b, 0.5 * static_cast<double>(total_items));
}

double AdaptiveDifficulty(const std::vector<float>& distances) {
  if (distances.size() < 2) return 1.0;
  float d1 = std::numeric_limits<float>::infinity();
  float d2 = std::numeric_limits<float>::infinity();
  for (float raw : distances) {
    const float d = OrderKey(raw);
    if (d < d1) {
      d2 = d1;
      d1 = d;
    } else if (d < d2) {
      d2 = d;
    }
  }
  // A second occurrence of the smallest value counts as the next one.
  if (d1 < 1e-9) return 0.5;
  const float r = d2 / d1;
  if (r > 1.5f) return 0.7;
  if (r > 1.2f) return 1.0;
  return 1.5;
}

size_t AdaptiveNProbes(size_t top_k, const std::vector<float>& distances,
                       const std::vector<uint32_t>& list_sizes, size_t total_items,
                       size_t n_lists, double target_recall) {
  if (n_lists == 0 || list_sizes.empty()) return 1;
  const double budget =
      AdaptiveBaseBudget(top_k, list_sizes, total_items, n_lists, target_recall) *
      AdaptiveDifficulty(distances);
  std::vector<size_t> order(distances.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return OrderKey(distances[a]) < OrderKey(distances[b]);
  });
  size_t taken = 0;
  uint64_t sum = 0;
  for (size_t i : order) {
    if (i >= list_sizes.size()) return std::max<size_t>(taken, 1);
    sum += list_sizes[i];
    if (taken > 0 && static_cast<double>(sum) > 1.2 * budget) return taken;
    ++taken;
    if (static_cast<double>(sum) >= budget || taken >= n_lists / 2 || taken >= order.size()) {
      return taken;
    }
  }
  return std::max<size_t>(taken, 1);
}

AdaptiveChoice ChooseAdaptiveProbes(const float* first_query, size_t dim,
                                    const Array2D<float>& centres, size_t top_k,
                                    const std::vector<uint32_t>& list_sizes, size_t total_items,
                                    double target_recall) {
  const size_t n_lists = centres.rows;
  const std::vector<float> d = QueryCentroidDistances(first_query, dim, centres);
  AdaptiveChoice choice;
  choice.n_probes = AdaptiveNProbes(top_k, d, list_sizes, total_items, n_lists, target_recall);
  choice.difficulty = AdaptiveDifficulty(d);
  choice.budget = AdaptiveBaseBudget(top_k, list_sizes, total_items, n_lists, target_recall);
  return choice;
}

}  // namespace nivora::internal::vector_index::cpu
