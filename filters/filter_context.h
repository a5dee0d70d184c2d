// FilterContext: the working record of one filter evaluation, built per call
// and discarded by the caller. Item evaluation fills `documents`; evaluation
// over summaries uses `summaries` and `centroid_ids`.
#ifndef NIVORA_FILTERS_FILTER_CONTEXT_H_
#define NIVORA_FILTERS_FILTER_CONTEXT_H_

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

#include "filters/centroid_summary.h"

namespace nivora {

struct FilterContext {
  std::vector<nlohmann::json> documents;  // one metadata document per item
  FieldSummaryMaps summaries;             // field -> centroid id -> summary
  std::vector<uint32_t> centroid_ids;     // the candidates to judge

  FilterContext() = default;
  FilterContext(const FieldSummaryMaps& summaries, const std::vector<uint32_t>& centroid_ids)
      : summaries(summaries), centroid_ids(centroid_ids) {}
};

}  // namespace nivora

#endif  // NIVORA_FILTERS_FILTER_CONTEXT_H_
