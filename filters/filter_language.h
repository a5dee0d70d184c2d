// The metadata filter language: a JSON object of clauses that an item's JSON
// metadata must satisfy. Field clauses name a dotted path and hold one
// operator object ({"price": {"$gt": 5}}); logical clauses ($and, $or, $nor,
// $not) combine filters. A field clause written without an operator object is
// shorthand for equality ({"price": 5} is {"price": {"$eq": 5}}).
//
// Every user of a filter obtains it through ParseFilters. Its result null, {}
// or [] means "no filter".
//
// Thread-safe: the functions work on their arguments and on constant tables.
#ifndef NIVORA_FILTERS_FILTER_LANGUAGE_H_
#define NIVORA_FILTERS_FILTER_LANGUAGE_H_

#include <array>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nivora {

// The field operators, sorted byte-wise.
inline constexpr std::array<std::string_view, 11> kFilterOperators = {
    "$eq", "$exists", "$gt", "$gte", "$in", "$lt", "$lte", "$ne", "$nin", "$regex", "$type"};

// The logical operators, sorted byte-wise; the only "$" names allowed as the
// top-level clause.
inline constexpr std::array<std::string_view, 4> kLogicalOperators = {"$and", "$nor", "$not",
                                                                       "$or"};

bool IsFilterOperator(std::string_view name);
bool IsLogicalOperator(std::string_view name);

// A member name is an operator name when its first byte is '$'.
inline bool IsOperatorName(std::string_view name) { return !name.empty() && name[0] == '$'; }

// Text to validated filter. "" gives {}; text that parses to null, {} or []
// is returned as it is. Anything else is normalised and validated.
// Throws std::invalid_argument "Invalid JSON format for filters: <reason>"
// (not logged) for text that is not one JSON value, holds a number out of
// range or nests deeper than 64 levels, and the ValidateFilter errors.
nlohmann::json ParseFilters(const std::string& filters);

// Rewrites shorthand equality in place: every field clause whose value is not
// an object with a "$" member becomes {"$eq": value}. Descends into the
// operands of $and, $or, $nor and $not, and into the conditions of field
// clauses; operands of field operators stay as written.
void NormalizeFilter(nlohmann::json& filter);

// Checks the top level only: one clause, which is a logical clause or a field
// clause with exactly one known operator whose operand is neither null nor
// {}. Logical operands are not examined. Each failure is logged at ERROR
// through GetLogger() and thrown as std::invalid_argument:
//   "The filters argument must be a JSON object."
//   "The filters argument must contain exactly one top-level filter."
//   "The top-level filter must be one of: $and, $or, $nor, $not."
//   "The field condition must be a JSON object."
//   "A single field can only have one condition. Found multiple conditions
//    for field: <field>"
//   "Invalid query: Operator `<op>` cannot have an empty object or null as a
//    value."
//   "Unsupported operator: <op> for field: <field>"
void ValidateFilter(const nlohmann::json& filter);

// True for null, {} and []: the parsed forms of "no filter".
bool IsEmptyFilter(const nlohmann::json& filter);

}  // namespace nivora

#endif  // NIVORA_FILTERS_FILTER_LANGUAGE_H_
