// The logical skeleton shared by the two evaluators of a parsed filter: the
// exact test of one item document and the "may match" test of one centroid's
// summaries. Each supplies only its test of a field clause.
//
// Thread-safe: works on its arguments only.
#ifndef NIVORA_FILTERS_FILTER_WALK_H_
#define NIVORA_FILTERS_FILTER_WALK_H_

#include <string>

#include <nlohmann/json.hpp>

#include "filters/json_text.h"

namespace nivora {

// How negations are judged. A "may match" cannot be negated into either "may"
// or "must", so a coarse evaluation lets $not and $nor pass.
enum class Negation { kExact, kPass };

inline constexpr const char* kNotAFilterMessage =
    "Invalid filter: the operands of $and, $or, $nor and $not must be filter objects.";

// Throws std::invalid_argument kNotAFilterMessage: a logical operator's
// operand holds a value that is not a filter object where one is evaluated.
[[noreturn]] void ThrowNotAFilter();

// Whether a field clause holds for a document in which the field is absent
// (or null): only {"$exists": false} alone, or a condition whose first
// operator is "$nin".
bool AbsentFieldMatches(const nlohmann::json& condition);

// Whether filter holds, with field_test(name, condition) -> bool deciding
// each field clause. Members are taken in order and the first that fails
// ends the walk. null and [] hold for everything; any other non-object
// throws ThrowNotAFilter. $and and $or walk their operand's elements
// (AnyElement); $nor and $not negate under Negation::kExact and pass under
// Negation::kPass. Every other name, "$" names included, is a field clause.
template <typename FieldTest>
bool WalkFilter(const nlohmann::json& filter, FieldTest& field_test, Negation negation) {
  if (!filter.is_object()) {
    if (filter.is_null() || (filter.is_array() && filter.empty())) return true;
    ThrowNotAFilter();
  }
  auto holds = [&](const nlohmann::json& f) { return WalkFilter(f, field_test, negation); };
  const bool exact = negation == Negation::kExact;
  for (auto it = filter.begin(); it != filter.end(); ++it) {
    const std::string& name = it.key();
    const nlohmann::json& operand = it.value();
    bool clause_holds;
    if (name == "$and") {
      clause_holds = !AnyElement(operand, [&](const nlohmann::json& f) { return !holds(f); });
    } else if (name == "$or") {
      clause_holds = AnyElement(operand, holds);
    } else if (name == "$nor") {
      clause_holds = !exact || !AnyElement(operand, holds);
    } else if (name == "$not") {
      clause_holds = !exact || !holds(operand);
    } else {
      clause_holds = field_test(name, operand);
    }
    if (!clause_holds) return false;
  }
  return true;
}

}  // namespace nivora

#endif  // NIVORA_FILTERS_FILTER_WALK_H_
