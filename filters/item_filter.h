// Exact filter evaluation on item metadata: which of the retrieved items'
// JSON metadata documents satisfy a parsed filter (see filter_language.h).
//
// A field clause names a dotted path: each segment but the last must name a
// member whose value is an object; arrays are never entered. A missing member
// or a null value makes the field absent, and for an absent field a clause
// holds only as {"$exists": false} alone or with "$nin" as its first
// operator. Against an array value, $eq, $ne, the range operators, $in and
// $nin look at the elements. Numbers compare by numeric value across integer
// and floating forms (JsonEquals). A long $in / $nin operand is looked up
// through a hashed set of its elements (json_value_set.h) rather than
// compared pairwise.
//
// Errors are logged at CRITICAL through GetLogger() and thrown as
// std::invalid_argument:
//   "Invalid JSON string provided: <reason>"           (a metadata text)
//   "Invalid regex pattern: <pattern>\nError: <why>"   ($regex; see
//                                                       bounded_regex.h for
//                                                       what is refused)
//   "Unsupported type in $type operator: <name>"
//   "Unsupported operator: <op>"
// A $exists operand that is not a boolean, or a $regex / $type operand that is
// not a string, raises the JSON library's type error unchanged; a logical
// operand element that is not an object (null and [] excepted) raises its
// invalid-iterator error.
//
// Thread-safe: every function works on its arguments only.
#ifndef NIVORA_FILTERS_ITEM_FILTER_H_
#define NIVORA_FILTERS_ITEM_FILTER_H_

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "filters/filter_context.h"

namespace nivora {

// One document per text, in order: "" gives {}, anything else must be one
// strict JSON value of any kind (nested at most 64 levels).
FilterContext ParseMetadataDocuments(const std::vector<std::string>& metadata);

// Positions of the documents of context that match filter, ascending. With
// validate, ValidateFilter runs first. Each $regex pattern is compiled, and
// each long $in / $nin operand hashed, once per call.
std::vector<int> EvaluateFilter(const FilterContext& context, const nlohmann::json& filter,
                                bool validate);

// Whether document satisfies filter. null and {} match everything.
bool MatchesFilter(const nlohmann::json& filter, const nlohmann::json& document);

// One field operator against a present (non-null) field value.
bool EvaluateOperator(const std::string& op, const nlohmann::json& field_value,
                      const nlohmann::json& operand);

// The value a dotted path designates in document, or null when the field is
// absent (a missing member, a non-object on the way, or a null value).
const nlohmann::json* ResolveField(const nlohmann::json& document, const std::string& path);

}  // namespace nivora

#endif  // NIVORA_FILTERS_ITEM_FILTER_H_
