#include "filters/filter_walk.h"

#include <stdexcept>

namespace nivora {

void ThrowNotAFilter() { throw std::invalid_argument(kNotAFilterMessage); }

bool AbsentFieldMatches(const nlohmann::json& condition) {
  if (!condition.is_object() || condition.empty()) return false;
  const auto first = condition.begin();
  if (first.key() == "$nin") return true;
  return condition.size() == 1 && first.key() == "$exists" && first.value().is_boolean() &&
         !first.value().get<bool>();
}

}  // namespace nivora
