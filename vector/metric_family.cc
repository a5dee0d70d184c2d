#include "vector/metric_family.h"

#include "vector/vector_errors.h"

namespace nivora::internal::vector_index {

MetricFamily FamilyOf(DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::Euclidean:
    case DistanceMetric::SquaredEuclidean:
      return MetricFamily::kSquaredL2;
    case DistanceMetric::Cosine:
      return MetricFamily::kCosine;
  }
  LogAndThrowRuntime(kUnsupportedMetricMessage);
}

}  // namespace nivora::internal::vector_index
