// Filter evaluation over metadata summaries: which coarse centroids may hold
// an item that matches a parsed filter, judged from each centroid's
// CentroidSummary per field. The test may keep centroids that hold no match
// but never drops one that holds an item the exact evaluator (item_filter.h)
// would match:
//  - numeric operands of $eq, $gt, $gte, $lt, $lte are compared with the
//    summary's range; string and boolean operands of $eq are looked up among
//    its hashes; $in passes when one of its elements would pass $eq (elements
//    that are not numbers, strings or booleans always pass; [] never does);
//  - every other operator and operand passes, and so do $not and $nor;
//  - a clause that holds for an absent field ({"$exists": false}, or "$nin"
//    as the first operator) passes; any other clause on a field for which the
//    centroid has no summary fails;
//  - a field clause whose name begins with '$' (never loaded, see
//    GetFilterFieldNames) passes; one whose condition is not an object fails.
// Logical operands that are not filters fail as in item_filter.h.
//
// Thread-safe: every function reads its arguments only.
#ifndef NIVORA_FILTERS_CENTROID_FILTER_H_
#define NIVORA_FILTERS_CENTROID_FILTER_H_

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "filters/filter_context.h"

namespace nivora {

// Adds to names the field names under node: the names of field clauses at
// the top and inside $and and $or, prefixed by prefix (joined with "."), and
// the names nested inside their values. $nor, $not and field operators are
// skipped with their operands.
void CollectFilterFieldNames(const nlohmann::json& node, std::set<std::string>& names,
                             const std::string& prefix);

// The fields whose summaries pre-filtering must load for filter, sorted and
// distinct.
std::vector<std::string> GetFilterFieldNames(const nlohmann::json& filter);

// Whether the centroid may hold an item matching filter, by the rules above.
bool CentroidMayMatch(const FilterContext& context, const nlohmann::json& filter,
                      uint32_t centroid_id);

// The ids of context.centroid_ids, in their order, that may match. With
// validate, ValidateFilter runs first. Pass every centroid of the coarse
// quantizer as candidates: a centroid without summaries can still match a
// filter that holds for absent fields.
std::vector<uint32_t> EvaluateCentroidFilter(const FilterContext& context,
                                             const nlohmann::json& filter, bool validate);

}  // namespace nivora

#endif  // NIVORA_FILTERS_CENTROID_FILTER_H_
