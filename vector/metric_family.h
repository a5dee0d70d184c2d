// The two distance computations behind the three metrics: Euclidean and
// SquaredEuclidean share every computation on squared L2 distances (a
// Euclidean distance is only square-rooted when a ranker reports it), and
// Cosine works on 1 - cosine similarity.
#ifndef NIVORA_VECTOR_METRIC_FAMILY_H_
#define NIVORA_VECTOR_METRIC_FAMILY_H_

#include "core/index_config.h"

namespace nivora::internal::vector_index {

enum class MetricFamily { kSquaredL2, kCosine };

// The family of a metric code. Any code other than 0, 1 or 2 logs
// "Unsupported distance metric." at ERROR and throws std::runtime_error with
// the same text.
MetricFamily FamilyOf(DistanceMetric metric);

}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_METRIC_FAMILY_H_
