// JSON helpers shared by the filter language, item evaluation and metadata
// summaries: a bounded parser for untrusted text, numeric-value equality and
// the "elements" rule by which operators walk an operand as a collection.
//
// Thread-safe: every function works on its arguments only.
#ifndef NIVORA_FILTERS_JSON_TEXT_H_
#define NIVORA_FILTERS_JSON_TEXT_H_

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nivora {

// Deepest container nesting accepted in filters and metadata documents: every
// walk over them recurses, so deeper input is refused at the door.
inline constexpr int kMaxJsonDepth = 64;

// The error text ParseJsonText gives for containers nested deeper than
// kMaxJsonDepth.
inline constexpr std::string_view kJsonTooDeepError = "nesting deeper than 64 levels";

// Parses text as one strict JSON value (no comments, only white space after
// it). Returns nullopt and sets *error for any failure: a syntax error, a
// number out of range, or containers nested deeper than kMaxJsonDepth (the
// text kJsonTooDeepError). Never throws a nlohmann exception.
std::optional<nlohmann::json> ParseJsonText(const std::string& text, std::string* error);

// Whether value holds containers nested more than max_depth levels (a lone
// array or object is one level). Iterative, so safe on any depth.
bool NestedDeeperThan(const nlohmann::json& value, int max_depth);

// Equality by value: different kinds are unequal except numbers, which
// compare by numeric value across integer, unsigned and floating forms (an
// integer meets a floating value as a double, so 1 equals 1.0, while -1 never
// equals 2^64 - 1); strings byte for byte; arrays element-wise in order;
// objects by member names and values.
bool JsonEquals(const nlohmann::json& a, const nlohmann::json& b);

// Calls pred on each element of a collection operand until it returns true:
// the elements of an array, the member values of an object, nothing for
// null, and any other value as its own single element. Returns whether pred
// returned true.
template <typename Pred>
bool AnyElement(const nlohmann::json& operand, Pred&& pred) {
  if (operand.is_null()) return false;
  if (!operand.is_array() && !operand.is_object()) return pred(operand);
  for (const auto& element : operand) {
    if (pred(element)) return true;
  }
  return false;
}

}  // namespace nivora

#endif  // NIVORA_FILTERS_JSON_TEXT_H_
