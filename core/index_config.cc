#include "core/index_config.h"

#include <stdexcept>

namespace nivora {

std::string MetricToString(DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::Cosine: return "cosine";
    case DistanceMetric::Euclidean: return "euclidean";
    case DistanceMetric::SquaredEuclidean: return "squared_euclidean";
  }
  throw std::invalid_argument("Invalid distance metric");
}

std::string IndexTypeToString(IndexType type) {
  switch (type) {
    case IndexType::IVF: return "ivf";
    case IndexType::IVFPQ: return "ivfpq";
    case IndexType::IVFFLAT: return "ivfflat";
    case IndexType::IVFSQ: return "ivfsq";
  }
  return "unknown";
}

}  // namespace nivora
