#include "filters/filter_walk.h"

namespace nivora {

void ThrowNotAFilter(const nlohmann::json& value) {
  throw nlohmann::json::invalid_iterator::create(207, "cannot use key() for non-object iterators",
                                                 &value);
}

bool AbsentFieldMatches(const nlohmann::json& condition) {
  if (!condition.is_object() || condition.empty()) return false;
  const auto first = condition.begin();
  if (first.key() == "$nin") return true;
  return condition.size() == 1 && first.key() == "$exists" && first.value().is_boolean() &&
         !first.value().get<bool>();
}

}  // namespace nivora
